// The embedding library's record file with every write, and every allocation, failing in turn
// over a whole run of a frame: create, cycles until one does not say go on, close. The fault
// hooks reach only into the program that holds them, so the library's sources and the VM
// library are compiled into this test program, and the frame calls the exports in-process. A
// failure of the record file stands in the error state afterwards with its message, and the
// file it leaves is clearly unfinished (empty when not even the writer could be had); any other
// failure leaves the file finished. Leaks show in the sanitizer build's leak check.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "faults.h"
#include "recording_sweep.h"
#include "image_builder.h"
#include "test_files.h"
#include "zek_vmapi.h"
#include "zekbin_decoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string &path) { return std::ifstream(path).good(); }

// The 28 header bytes that the finish patches are still zero.
bool unfinished(const Bytes &bytes) {
  if (bytes.size() < 45) return true;
  for (size_t i = 17; i < 45; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

struct FrameRun {
  bool created = false;
  int cycles = 0;  // cycles that said go on
  std::string message;
};

using Case = zt::RecordingSweepCase;

class VmapiRecordFaults : public ::testing::TestWithParam<Case> {
 protected:
  std::string program;
  void SetUp() override {
    zt::Program p = zt::recordingSweepProgram(GetParam().sut);
    zt::Image image = p.build();
    program = ztf::tempPath(std::string("faults_") + GetParam().what + ".zvm");
    std::ofstream out(program, std::ios::binary | std::ios::trunc);
    out.write((const char *)image.bytes.data(), (std::streamsize)image.bytes.size());
  }

  FrameRun runOnce(const std::string &record) {
    FrameRun r;
    zek_vmapi_resetError();
    VmapiExecution *e = zek_vmapi_createExecution(program.c_str(), record.c_str());
    r.created = e != nullptr;
    if (e != nullptr) {
      zek_vmapi_bindSignalFinalize();
      while (r.cycles < 100 && zek_vmapi_runCycle(e) == 0) ++r.cycles;
      zek_vmapi_closeExecution(e);
    }
    // The message without the VM's error context " (error=…)" behind it.
    r.message = zek_vmapi_hasError() ? zek_vmapi_getErrorMessage() : "";
    r.message = r.message.substr(0, r.message.find(" (error="));
    return r;
  }

  void check(const FrameRun &r, const std::string &record, bool fired, const std::vector<std::string> &failures) {
    if (!fired) {
      EXPECT_TRUE(r.created);
      EXPECT_EQ(r.message, "");
      zd::File f = zd::parse(readAll(record));
      EXPECT_EQ(f.error, "");
      EXPECT_EQ(f.rows(), GetParam().rows);
      return;
    }
    const std::string cannot = "ERROR: The record file '" + record + "' cannot be written: ";
    const std::string writing = "ERROR: while writing the record file: ";
    ASSERT_NE(r.message, "") << "a fault that was met is told";
    Bytes bytes = readAll(record);
    if (r.message.rfind(cannot, 0) == 0 || r.message == "Unable to allocate memory for the record file.") {
      EXPECT_FALSE(r.created);
      if (r.message != "Unable to allocate memory for the record file.") {
        EXPECT_EQ(r.message.substr(cannot.size()), "No record writer: it could not be created.");
      }
      EXPECT_TRUE(bytes.empty()) << "no header was written";
      return;
    }
    if (r.message.rfind(writing, 0) == 0) {
      std::string why = r.message.substr(writing.size());
      EXPECT_NE(std::find(failures.begin(), failures.end(), why), failures.end()) << r.message;
      EXPECT_TRUE(unfinished(bytes)) << why;
      return;
    }
    // The fault met the program file, the load or a cycle: a file that was created is finished.
    EXPECT_EQ(r.message.find("record file"), std::string::npos) << r.message;
    if (!r.created) {
      EXPECT_TRUE(!exists(record) || bytes.empty()) << r.message;
    } else {
      EXPECT_EQ(zd::parse(bytes).error, "") << r.message;
    }
  }
};

TEST_P(VmapiRecordFaults, EachWriteFailingInTurn) {
  std::vector<std::string> failures = {"Writing the record file failed; the file is incomplete."};
  uint64_t writes = zt::failEachCallInTurn(PLAT_FAULT_WRITE, [&](uint64_t n) {
    std::string record = ztf::tempPath(std::string(GetParam().what) + "_write" + std::to_string(n) + ".zekbin");
    FrameRun r = runOnce(record);
    return [=, this](bool fired) {
      SCOPED_TRACE("write " + std::to_string(n));
      check(r, record, fired, failures);
    };
  });
  EXPECT_GT(writes, 3u);
}

TEST_P(VmapiRecordFaults, EachAllocationFailingInTurn) {
  std::vector<std::string> failures = {"Not enough memory to record; the record file is incomplete."};
  uint64_t allocations = zt::failEachCallInTurn(PLAT_FAULT_ALLOCATION, [&](uint64_t n) {
    std::string record = ztf::tempPath(std::string(GetParam().what) + "_alloc" + std::to_string(n) + ".zekbin");
    FrameRun r = runOnce(record);
    return [=, this](bool fired) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      check(r, record, fired, failures);
    };
  });
  EXPECT_GT(allocations, 10u);
}

INSTANTIATE_TEST_SUITE_P(Runs, VmapiRecordFaults, ::testing::ValuesIn(zt::kRecordingSweepCases),
                         [](const auto &info) { return std::string(info.param.what); });

}  // namespace
