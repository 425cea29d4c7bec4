// The host's start-up with every allocation, and every write, failing in turn; then its
// recording with every write, and every allocation, failing in turn over a whole run:
// initialisation, steps, and the end of the test or the terminate. A failure of the record
// file is told once, with its message, to the wrapper while a block is at hand (the block then
// stops) and on the console at the terminate; the file it leaves is clearly unfinished, or
// empty when not even its header could be had. A run that meets no fault leaves a complete
// file. Leaks show in the sanitizer build's leak check.
#include <algorithm>
#include <memory>

#include "block_lifecycle.h"
#include "faults.h"
#include "sfun_support.h"
#include "zekbin_decoder.h"

using namespace st;

namespace {

// The 28 header bytes that the finish patches are still zero.
bool unfinished(const std::vector<uint8_t> &bytes) {
  if (bytes.size() < 45) return true;
  for (size_t i = 17; i < 45; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

bool exists(const std::string &path) { return std::ifstream(path).good(); }

size_t occurrences(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

struct HostRun {
  bool initialised = false;
  int steps = 0;            // steps whose three calls all said go on
  int stoppedAt = -1;       // the step (-1: the init) at which the block stopped, else -2
  size_t reportsAtStop = 0;  // reports when it stopped
  std::vector<std::string> reports;
  std::string console;
};

struct Case {
  const char *image;
  int steps;  // the run's steps; 40 reach the end of the test
  int rows;   // rows of a complete file
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.image << ", " << c.steps << " steps"; }

class SfunRecordFaults : public SfunTest, public ::testing::WithParamInterface<Case> {
 protected:
  // One whole run into a record file of its own.
  HostRun runOnce(const std::string &record) {
    HostRun r;
    Wrapper w;
    w.ports({Port{{{"x"}}, 8}}, {Port{{{"y"}}, 8}});
    w.record = record;
    removeAtEnd.push_back(record);
    log() = Log{};
    zmx::reset();
    w.setup(GetParam().image);
    r.stoppedAt = -2;
    r.initialised = zek_sfun_init(w.handle(), 0) == 1;
    if (!r.initialised) {
      r.stoppedAt = -1;
      r.reportsAtStop = log().reports.size();
    }
    for (int k = 0; r.initialised && k < GetParam().steps; ++k) {
      w.setIn<double>(0, 0, 10.0 + k);
      int goOn = zek_sfun_update(w.handle()) + zek_sfun_cycle(w.handle()) + zek_sfun_write(w.handle());
      if (goOn != 3) {
        r.stoppedAt = k;
        r.reportsAtStop = log().reports.size();
        break;
      }
      ++r.steps;
    }
    zek_sfun_terminate();
    zek_sfun_setup(-1.0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    r.reports = log().reports;
    r.console = zmx::console();
    return r;
  }

  // The outcome of a run whose n-th call of the fault's kind failed (fired: it was reached).
  // failures: the texts a failure of the record file may give.
  void check(const HostRun &r, const std::string &record, bool fired, const std::vector<std::string> &failures) {
    const Case &c = GetParam();
    std::string allReports;
    for (const std::string &s : r.reports) allReports += s + "\n";
    std::string prefix = "Error writing output file '" + record + "': ";
    size_t told = occurrences(allReports, prefix) + occurrences(r.console, prefix);
    if (!fired) {
      EXPECT_TRUE(r.reports.empty()) << allReports;
      EXPECT_EQ(told, 0u);
      zd::File f = zd::parse(readFile(record));
      EXPECT_EQ(f.error, "");
      EXPECT_EQ(f.rows(), c.rows);
      return;
    }
    if (told == 0) {
      // The fault met the start-up before the record file was opened, or a cycle: it was
      // reported and stopped the block, and a record file that was open is finished, its rows
      // those of the cycles before (the failed cycle has none).
      ASSERT_EQ(r.reports.size(), 1u) << allReports << r.console;
      EXPECT_EQ(r.reportsAtStop, 1u);
      if (!r.initialised) {
        EXPECT_FALSE(exists(record));
        return;
      }
      zd::File f = zd::parse(readFile(record));
      EXPECT_EQ(f.error, "") << allReports;
      EXPECT_EQ(f.rows(), r.stoppedAt) << allReports;
      return;
    }
    ASSERT_EQ(told, 1u) << "told once: " << allReports << r.console;
    std::string why;
    if (occurrences(allReports, prefix) == 1) {
      // Told to the wrapper, as the last report of the call that stopped the block.
      ASSERT_EQ(r.reports.size(), 1u) << allReports;
      EXPECT_EQ(r.reportsAtStop, 1u) << "the block stops at the failure";
      EXPECT_NE(r.stoppedAt, -2);
      why = r.reports[0].substr(prefix.size());
    } else {
      // Told at the terminate, which has no block to report to.
      EXPECT_TRUE(r.reports.empty()) << allReports;
      EXPECT_EQ(r.steps, c.steps);
      size_t at = r.console.find("ZEK > " + prefix);
      ASSERT_NE(at, std::string::npos) << r.console;
      size_t start = at + 6 + prefix.size();
      size_t end = r.console.find('\n', start);
      ASSERT_NE(end, std::string::npos) << "a whole line";
      why = r.console.substr(start, end - start);
    }
    EXPECT_NE(std::find(failures.begin(), failures.end(), why), failures.end()) << why;
    std::vector<uint8_t> bytes = readFile(record);
    if (why == "No record writer: it could not be created.") {
      EXPECT_EQ(r.stoppedAt, -1);
      EXPECT_TRUE(bytes.empty()) << "no header was written";
    } else {
      EXPECT_TRUE(unfinished(bytes)) << why;
    }
  }
};

TEST_P(SfunRecordFaults, EachWriteFailingInTurn) {
  std::vector<std::string> failures = {"Writing the record file failed; the file is incomplete."};
  uint64_t writes = zt::failEachCallInTurn(PLAT_FAULT_WRITE, [&](uint64_t n) {
    std::string record = tempPath("write" + std::to_string(n) + ".zekbin");
    HostRun r = runOnce(record);
    return [=, this](bool fired) {
      SCOPED_TRACE("write " + std::to_string(n));
      check(r, record, fired, failures);
    };
  });
  EXPECT_GT(writes, 3u);
}

TEST_P(SfunRecordFaults, EachAllocationFailingInTurn) {
  std::vector<std::string> failures = {"Not enough memory to record; the record file is incomplete.",
                                       "No record writer: it could not be created."};
  uint64_t allocations = zt::failEachCallInTurn(PLAT_FAULT_ALLOCATION, [&](uint64_t n) {
    std::string record = tempPath("alloc" + std::to_string(n) + ".zekbin");
    HostRun r = runOnce(record);
    return [=, this](bool fired) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      check(r, record, fired, failures);
    };
  });
  EXPECT_GT(allocations, 10u);
}

const Case kCases[] = {
    {"long_steps.zvm", 40, 40},       // the end of the test finishes the file
    {"long_steps_sut.zvm", 40, 39},   // SuT-synchronous: the last cycle has no row
    {"long_steps.zvm", 30, 30},       // the terminate finishes it
};

INSTANTIATE_TEST_SUITE_P(Runs, SfunRecordFaults, ::testing::ValuesIn(kCases), [](const auto &info) {
  const Case &c = info.param;
  std::string name = std::string(c.image).substr(0, std::string(c.image).find('.'));
  return name + (c.steps < 40 ? "_terminated" : "_to_the_end");
});

// ---- The start-up alone ----

// A failed allocation of the host's own leaves the VM's error state alone: its handler hears
// only of the VM's own failures.
int g_vmErrorCalls = 0;
void countVmError(void) { ++g_vmErrorCalls; }

// The kinds of message a failed start-up gives.
enum class Told { Nothing, ProgramFile, Loader, Offsets, RecordFile };

struct StartUpCase {
  const char *name;
  uint8_t quiet;
  bool fixedPoint;          // the input goes through the fixed-point handlers: an offset table
  std::vector<Told> kinds;  // what the sweep must meet, each at least once
};

void PrintTo(const StartUpCase &c, std::ostream *os) { *os << c.name; }

struct StartUpRun {
  uint8_t result = 0;
  std::vector<std::string> reports;
  int vmErrorCalls = 0;
  uint16_t vmErrorCode = 0;
};

class SfunStartUpFaults : public SfunTest, public ::testing::WithParamInterface<StartUpCase> {
 protected:
  void SetUp() override {
    SfunTest::SetUp();
    zek_setErrorHandler(countVmError);
  }
  void TearDown() override {
    zek_setErrorHandler(nullptr);
    SfunTest::TearDown();
  }

  void prepare(Wrapper &w, const std::string &record) {
    Sig x{"x"};
    x.fixed = GetParam().fixedPoint;
    w.ports({Port{{x}, 8}}, {Port{{{"y"}}, 8}});
    w.record = record;
    removeAtEnd.push_back(record);
    log() = Log{};
    zmx::reset();
    w.setup("steps.zvm");
  }

  // Only the init: the checks and everything after it run with the fault disarmed.
  StartUpRun initOnce(Wrapper &w) {
    StartUpRun r;
    zek_resetError();
    g_vmErrorCalls = 0;
    r.result = zek_sfun_init(w.handle(), GetParam().quiet);
    r.reports = log().reports;
    r.vmErrorCalls = g_vmErrorCalls;
    r.vmErrorCode = zek_getErrorCode();
    return r;
  }

  Told kindOf(const std::string &text, const std::string &record) {
    if (text == "Error reading ZVM file") return Told::ProgramFile;
    if (text.rfind("Not enough heap memory for ", 0) == 0) return Told::Loader;
    if (text == "Not enough memory for the element offsets of the signal 'x'.") return Told::Offsets;
    const std::string prefix = "Error writing output file '" + record + "': ";
    if (text == prefix + "No record writer: it could not be created." ||
        text == prefix + "Not enough memory to record; the record file is incomplete." ||
        text == prefix + "Writing the record file failed; the file is incomplete.")
      return Told::RecordFile;
    ADD_FAILURE() << "a message no start-up failure gives: " << text;
    return Told::Nothing;
  }

  // The outcome of one faulted init; kinds collects what it told.
  void check(Wrapper &w, const StartUpRun &r, const std::string &record, bool fired, std::vector<Told> &kinds) {
    const StartUpCase &c = GetParam();
    if (!fired) {
      EXPECT_EQ(r.result, 1);
      EXPECT_TRUE(r.reports.empty()) << lastReport();
      EXPECT_EQ(exists(record), c.quiet == 0);
      zek_sfun_terminate();
      return;
    }
    EXPECT_EQ(r.result, 0) << "a start-up that met a fault does not run";
    ASSERT_LE(r.reports.size(), 1u) << "told once";
    Told kind = r.reports.empty() ? Told::Nothing : kindOf(r.reports[0], record);
    kinds.push_back(kind);
    if (kind == Told::Nothing) {
      // Only a quiet start-up keeps its failure to read the program to itself.
      EXPECT_EQ(c.quiet, 1);
      kinds.push_back(Told::ProgramFile);
    }
    if (kind == Told::Loader) {
      EXPECT_EQ(r.vmErrorCode, 15) << "the VM's memory error";
    } else {
      EXPECT_EQ(r.vmErrorCode, 0) << "the host's own allocation raised into the VM";
      EXPECT_EQ(r.vmErrorCalls, 0) << "the host's own allocation called the VM's error handler";
    }
    // A record file exists only when its opening was reached.
    EXPECT_EQ(exists(record), kind == Told::RecordFile);
    // The state: a block that reported stays stopped until the terminate; one that did not
    // (a quiet start-up without its program) was never initialised and starts again.
    EXPECT_EQ(zek_sfun_init(w.handle(), c.quiet), kind == Told::Nothing ? 1 : 0);
    zek_sfun_terminate();
    // Nothing of the failed start-up stays in the way of a sound one.
    log() = Log{};
    ASSERT_EQ(zek_sfun_init(w.handle(), c.quiet), 1) << lastReport();
    w.setIn<double>(0, 0, 1.0);
    EXPECT_EQ(zek_sfun_update(w.handle()) + zek_sfun_cycle(w.handle()) + zek_sfun_write(w.handle()), 3)
        << lastReport();
    zek_sfun_terminate();
  }

  void sweep(PlatFault fault, const std::string &what, const std::vector<Told> &mustMeet) {
    std::vector<Told> kinds;
    zt::failEachCallInTurn(fault, [&](uint64_t n) {
      std::string record = tempPath("start_" + what + std::to_string(n) + ".zekbin");
      auto w = std::make_shared<Wrapper>();
      prepare(*w, record);
      StartUpRun r = initOnce(*w);
      return [=, this, &kinds](bool fired) {
        SCOPED_TRACE(what + " " + std::to_string(n));
        check(*w, r, record, fired, kinds);
      };
    });
    for (Told k : mustMeet)
      EXPECT_NE(std::find(kinds.begin(), kinds.end(), k), kinds.end()) << "never met kind " << (int)k;
  }
};

TEST_P(SfunStartUpFaults, EachAllocationFailingInTurn) { sweep(PLAT_FAULT_ALLOCATION, "alloc", GetParam().kinds); }

TEST_P(SfunStartUpFaults, EachWriteFailingInTurn) {
  // Only the record file's header is written at the start-up.
  std::vector<Told> mustMeet;
  if (GetParam().quiet == 0) mustMeet.push_back(Told::RecordFile);
  sweep(PLAT_FAULT_WRITE, "write", mustMeet);
}

const StartUpCase kStartUps[] = {
    {"loud", 0, false, {Told::ProgramFile, Told::Loader, Told::RecordFile}},
    {"loud_fixed_point", 0, true, {Told::ProgramFile, Told::Loader, Told::Offsets, Told::RecordFile}},
    {"quiet_fixed_point", 1, true, {Told::ProgramFile, Told::Loader, Told::Offsets}},
};

INSTANTIATE_TEST_SUITE_P(StartUps, SfunStartUpFaults, ::testing::ValuesIn(kStartUps),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- The start-up over a program that runs ----------------------------------------------

// The exports refuse a start-up inside a step; the start-up itself, reached from inside a
// cycle all the same, meets a load that the VM refuses while byte code runs. It then keeps the
// bytes the VM runs from and frees the new ones: the rest of the cycle and the next one read
// only live memory.
struct OwnHost {
  int32_t status = ZEK_SFUN_NOT_INITIALISED;
  uint8_t *bytecode = nullptr;
  std::vector<std::string> reports;
  SfunStartUp record{this, &status, &bytecode,
                     [](void *host, const char *text) {
                       OwnHost *h = (OwnHost *)host;
                       h->reports.push_back(text);
                       h->status = ZEK_SFUN_ERROR;
                     },
                     [](void *, bool) {}, [](void *, const char *, const char *) {}};
};
OwnHost *g_ownHost = nullptr;

uint8_t boxStartsUp(uint32_t, uint8_t, const char *, uint8_t, const char *) {
  g_ownHost->status = ZEK_SFUN_NOT_INITIALISED;
  zek_sfun_startUp(&g_ownHost->record, image("steps.zvm").c_str(), "", 0.01, true);
  return 1;
}

TEST(SfunStartUp, ALoadRefusedInsideACycleKeepsTheProgramThatRuns) {
  OwnHost host;
  g_ownHost = &host;
  ASSERT_TRUE(zek_sfun_startUp(&host.record, image("reentry.zvm").c_str(), "", 0.01, true));
  const uint8_t *running = host.bytecode;
  ASSERT_EQ(zek_loadedImage(), running);
  zek_installMessageBoxCmd(boxStartsUp);
  ChannelDecl *x = &zek_getData()->inputs[0];
  std::memcpy(x->value, "\0\0\0\0\0\0\0\x40", 8);  // 2.0
  zek_runCycle();
  ASSERT_EQ(host.reports.size(), 1u);
  EXPECT_EQ(host.reports[0].rfind("zek_load(): not allowed while byte code runs", 0), 0u) << host.reports[0];
  EXPECT_EQ(host.bytecode, running) << "the bytes the VM runs from stay";
  EXPECT_EQ(zek_loadedImage(), running);
  zek_installMessageBoxCmd(nullptr);
  EXPECT_EQ(zek_runCycle(), (uint32_t)ZEK_CYCLE_ERROR) << "c0 has no handler";
  EXPECT_STREQ(zek_getData()->inputs[0].name, "x");
  zek_unload();
  zek_free(host.bytecode);
  g_ownHost = nullptr;
}

}  // namespace
