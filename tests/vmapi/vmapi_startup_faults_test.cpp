// The creation of an execution with every allocation, and every write, failing in turn: the
// program file's reading, the load, the execution's records, the path conversion of the wide
// form, the record file's writer and header. Each creation either fails with its error and
// leaves no file behind but an empty one, or gives a live execution; either way the next
// creation, a cycle and the close work. Like the recording's fault tests, the library's sources
// are compiled into this program so that the fault hooks reach them; leaks show in the sanitizer
// build's leak check.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "faults.h"
#include "image_builder.h"
#include "test_files.h"
#include "vmapi_internal.h"
#include "zekbin_decoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The message without the VM's error context " (error=…)" behind it.
std::string bareMessage() {
  std::string m = zek_vmapi_hasError() ? zek_vmapi_getErrorMessage() : "";
  return m.substr(0, m.find(" (error="));
}

struct Case {
  const char *what;
  bool wide;    // the wide form of the whole-test-case run
  bool record;  // with a record file
};

struct Start {
  bool created = false;
  uint16_t code = 0;
  std::string message;
};

// A failed creation's error: the code and the message, or its beginning and end where it
// names a size.
struct Refusal {
  uint16_t code;
  std::string message, end;
  bool wideOnly = false, recordOnly = false;  // met only by the wide form, only with a record file
};

bool matches(const Refusal &r, const Start &s) {
  if (r.code != s.code) return false;
  if (r.end.empty()) return s.message == r.message;
  return s.message.size() >= r.message.size() + r.end.size() && s.message.rfind(r.message, 0) == 0 &&
         s.message.compare(s.message.size() - r.end.size(), r.end.size(), r.end) == 0;
}

class VmapiStartupFaults : public ::testing::TestWithParam<Case> {
 protected:
  std::string program;
  VmapiExecution *execution = nullptr;

  void SetUp() override {
    // A recorded output, an event and a client function: the creation allocates function slots
    // and opens a writer over a channel.
    zt::Program p;
    p.timeout = 5;
    p.density = 1000;
    p.channel("y", 6, 1).flags = 0x02;
    p.channel("a", 6, 5);
    zt::Function f;
    f.name = "f";
    f.role = 2;
    f.firstArg = 1;
    f.argCount = 1;
    p.functions.push_back(f);
    p.events.push_back({1, "tick"});
    p.code = "READALL y; PUSHINT32 1; PLUS; WRITEALL y; EVENT tick 0; ENDCYCLE";
    zt::Image image = p.build();
    program = ztf::tempPath(std::string("startup_") + GetParam().what + ".zvm");
    std::ofstream out(program, std::ios::binary | std::ios::trunc);
    out.write((const char *)image.bytes.data(), (std::streamsize)image.bytes.size());
  }

  std::string recordPath(const char *kind, uint64_t n) const {
    if (!GetParam().record) return "";
    return ztf::tempPath(std::string("startup_") + GetParam().what + "_" + kind + std::to_string(n) + ".zekbin");
  }

  VmapiExecution *create(const std::string &record) const {
    const char *r = record.empty() ? nullptr : record.c_str();
    if (!GetParam().wide) return zek_vmapi_createExecution(program.c_str(), r);
    std::wstring wideProgram(program.begin(), program.end()), wideRecord(record.begin(), record.end());
    return vmapi_createExecutionWide(wideProgram.c_str(), r != nullptr ? wideRecord.c_str() : nullptr);
  }

  Start start(const std::string &record) {
    zek_vmapi_resetError();
    execution = create(record);
    return {execution != nullptr, zek_vmapi_getErrorCode(), bareMessage()};
  }

  // After the fault: the creation's answer, then the close of what it gave, then a creation
  // without a fault that runs a cycle and closes.
  // The refusals that the sweep met, by their place in the table.
  std::set<size_t> met;

  void check(const Start &s, const std::string &record, bool fired, const std::vector<Refusal> &refusals,
             const std::vector<std::string> &closeFailures) {
    if (!s.created) {
      ASSERT_TRUE(fired) << "only a fault fails the creation: " << s.message;
      bool known = false;
      for (size_t i = 0; i < refusals.size(); ++i)
        if (matches(refusals[i], s)) {
          known = true;
          met.insert(i);
        }
      EXPECT_TRUE(known) << s.code << " " << s.message;
      if (!record.empty()) {
        // No record file, or an empty one; where the creation fails after the file was
        // opened, the file is a finished recording of no row.
        Bytes bytes = readAll(record);
        if (s.message == "Unable to allocate memory for the function bindings.") {
          zd::File f = zd::parse(bytes);
          EXPECT_EQ(f.error, "");
          EXPECT_EQ(f.rows(), 0);
        } else {
          EXPECT_TRUE(bytes.empty()) << s.message;
        }
      }
    } else {
      EXPECT_EQ(s.message, "") << "a live execution, and no error with it";
      EXPECT_EQ(s.code, 0);
      EXPECT_EQ(zek_vmapi_runCycle(execution), 0) << bareMessage();
      zek_vmapi_closeExecution(execution);
      std::string closed = bareMessage();
      if (!fired) {
        EXPECT_EQ(closed, "");
      } else {
        // The fault met the header, which is told when the file is finished.
        bool known = false;
        for (const std::string &m : closeFailures) known = known || closed == m;
        EXPECT_TRUE(known) << closed;
        EXPECT_NE(record, "");
      }
      if (!record.empty() && closed == "") {
        EXPECT_EQ(zd::parse(readAll(record)).error, "");
      }
    }
    execution = nullptr;
    // The library is whole: the next creation runs.
    std::string next = recordPath("next", 0);
    zek_vmapi_resetError();
    VmapiExecution *e = create(next);
    ASSERT_NE(e, nullptr) << bareMessage();
    EXPECT_EQ(zek_vmapi_runCycle(e), 0) << bareMessage();
    zek_vmapi_closeExecution(e);
    EXPECT_EQ(bareMessage(), "");
    if (!next.empty()) {
      zd::File f = zd::parse(readAll(next));
      EXPECT_EQ(f.error, "");
      EXPECT_EQ(f.rows(), 1);
    }
  }
};

std::vector<Refusal> allocationRefusals(const std::string &record) {
  return {
      {ZEK_ERR_API_MEMORY, "Unable to allocate memory for file buffer.", ""},
      {ZEK_ERR_MEMORY, "Not enough heap memory for ", " bytes."},  // the load's
      {ZEK_ERR_API_MEMORY, "Unable to allocate memory for file name.", "", true},
      {ZEK_ERR_API_MEMORY, "Unable to allocate memory for the execution.", ""},
      {ZEK_ERR_API_MEMORY, "Unable to allocate memory for the function bindings.", ""},
      {ZEK_ERR_API_MEMORY, "Unable to allocate memory for the record file.", "", false, true},
      {ZEK_ERR_FILE,
       "ERROR: The record file '" + record + "' cannot be written: No record writer: it could not be created.", "",
       false, true},
  };
}

TEST_P(VmapiStartupFaults, EachAllocationFailingInTurn) {
  uint64_t allocations = zt::failEachCallInTurn(PLAT_FAULT_ALLOCATION, [&](uint64_t n) {
    std::string record = recordPath("alloc", n);
    Start s = start(record);
    return [=, this](bool fired) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      check(s, record, fired, allocationRefusals(record),
            {"ERROR: while writing the record file: Not enough memory to record; the record file is incomplete."});
    };
  });
  EXPECT_GT(allocations, GetParam().record ? 20u : 10u);
  // Every step of the start met its fault.
  std::vector<Refusal> refusals = allocationRefusals("");
  for (size_t i = 0; i < refusals.size(); ++i) {
    bool due = (!refusals[i].wideOnly || GetParam().wide) && (!refusals[i].recordOnly || GetParam().record);
    EXPECT_EQ(met.count(i) == 1, due) << refusals[i].message;
  }
}

TEST_P(VmapiStartupFaults, EachWriteFailingInTurn) {
  uint64_t writes = zt::failEachCallInTurn(PLAT_FAULT_WRITE, [&](uint64_t n) {
    std::string record = recordPath("write", n);
    Start s = start(record);
    return [=, this](bool fired) {
      SCOPED_TRACE("write " + std::to_string(n));
      check(s, record, fired, {},
            {"ERROR: while writing the record file: Writing the record file failed; the file is incomplete."});
    };
  });
  // The header is the one write of the start.
  EXPECT_EQ(writes, GetParam().record ? 2u : 1u);
}

const Case kCases[] = {
    {"plain", false, false}, {"recorded", false, true}, {"wide", true, false}, {"wide_recorded", true, true}};

INSTANTIATE_TEST_SUITE_P(Starts, VmapiStartupFaults, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.what); });

}  // namespace
