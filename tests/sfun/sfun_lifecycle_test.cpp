// The lifecycle of the block (init, steps, terminate) and its record files, read back with
// the independent decoder.
#include <cmath>
#include <filesystem>

#include "refused_images.h"
#include "sfun_support.h"
#include "zekbin_decoder.h"

using namespace st;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

class Lifecycle : public SfunTest {
 protected:
  Wrapper w;
  void prepare(const char *programImage, double step = 0.01) {
    w.ports({Port{{{"x"}}, 8}}, {Port{{{"y"}}, 8}});
    w.record = tempPath("run.zekbin");
    removeAtEnd.push_back(w.record);
    w.setup(programImage, step);
  }
  // One simulation step with input x; the block's go-on results of its three calls.
  int step(double x) {
    w.setIn<double>(0, 0, x);
    int a = zek_sfun_update(w.handle());
    int b = zek_sfun_cycle(w.handle());
    int c = zek_sfun_write(w.handle());
    return a + b + c;
  }
  std::vector<std::string> consoleLines() {
    std::vector<std::string> lines;
    std::string text = zmx::console();
    size_t start = 0;
    for (size_t at; (at = text.find('\n', start)) != std::string::npos; start = at + 1)
      lines.push_back(text.substr(start, at - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
  }
};

TEST_F(Lifecycle, BannerThenStepsUntilTheTestEnds) {
  prepare("steps.zvm");
  ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
  std::vector<std::string> lines = consoleLines();
  ASSERT_EQ(lines.size(), 5u) << zmx::console();
  EXPECT_EQ(lines[0], "ZEK > Init ZEK VM");
  EXPECT_EQ(lines[1], "ZEK > Program file : " + w.program);
  EXPECT_EQ(lines[2], "ZEK > Record file : " + w.record);
  EXPECT_THAT(lines[3], StartsWith("ZEK > Build-Date  : "));
  EXPECT_EQ(lines[4], "ZEK > ProgLength  : " + std::to_string(readFile(w.program).size()));
  // A second init of a loaded block changes nothing.
  EXPECT_EQ(zek_sfun_init(w.handle(), 0), 1);
  EXPECT_EQ(consoleLines().size(), 5u);
  // Four cycles; the fourth ends the test.
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(step(k), 3) << "cycle " << k << ": " << lastReport();
    EXPECT_EQ(w.outValue<double>(0, 0), k + 1.0);
  }
  EXPECT_EQ(step(3), 1) << "update goes on; the cycle ends the test and write says so";
  EXPECT_EQ(w.outValue<double>(0, 0), 3.0) << "nothing reaches the ports after the end";
  EXPECT_EQ(step(4), 0);
  EXPECT_TRUE(log().reports.empty()) << lastReport();
  // The VM's data stay readable after the end of the block, until the next load.
  zek_sfun_terminate();
  EXPECT_STREQ(zek_getData()->inputs[0].name, "x");
}

TEST_F(Lifecycle, RecordsSetUpWhileRunningAreMatchedBeforeTheyAreUsed) {
  prepare("steps.zvm");
  ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
  ASSERT_EQ(step(0), 3) << lastReport();
  EXPECT_EQ(w.outValue<double>(0, 0), 1.0);
  // The wrapper hands new records in the middle of the run, their matched fields unset; a new
  // step size waits for the next initialisation.
  Wrapper other;
  other.ports({Port{{{"x"}}, 8}}, {Port{{{"y"}}, 8}});
  other.inSignal(0, 0).zek_vm_adr = 0xBEEF;
  other.outSignal(0, 0).zek_vm_adr = 0xBEEF;
  zek_sfun_setup(0.02, onReport, w.program.c_str(), w.record.c_str(), &other.io, writeFixOut, readFixIn);
  EXPECT_TRUE(log().reports.empty()) << lastReport();
  // Matched exactly as the records of the initialisation were.
  EXPECT_EQ(other.inSignal(0, 0).zek_vm_adr, w.inSignal(0, 0).zek_vm_adr);
  EXPECT_EQ(other.outSignal(0, 0).zek_vm_adr, w.outSignal(0, 0).zek_vm_adr);
  EXPECT_EQ(other.inSignal(0, 0).nMlElementOffsets, w.inSignal(0, 0).nMlElementOffsets);
  other.setIn<double>(0, 0, 5.0);
  EXPECT_EQ(zek_sfun_update(other.handle()) + zek_sfun_cycle(other.handle()) + zek_sfun_write(other.handle()), 3)
      << lastReport();
  EXPECT_EQ(other.outValue<double>(0, 0), 6.0);
  EXPECT_EQ(w.outValue<double>(0, 0), 1.0) << "the old records are left alone";
  EXPECT_EQ(zek_getDensity(), 10000u);
  // Records that do not match stop the block before any transfer.
  Wrapper wrong;
  wrong.ports({Port{{{"nosuch"}}, 8}}, {Port{{{"y"}}, 8}});
  zek_sfun_setup(0.01, onReport, w.program.c_str(), w.record.c_str(), &wrong.io, writeFixOut, readFixIn);
  EXPECT_EQ(lastReport(), "Unable to find a signal with external name 'nosuch' in the ZEK VM's input signals.");
  EXPECT_EQ(zek_sfun_update(wrong.handle()), 0);
  uint32_t cycles = zek_getCycleCount();
  EXPECT_EQ(zek_sfun_cycle(wrong.handle()), 0);
  EXPECT_EQ(zek_getCycleCount(), cycles);
}

TEST_F(Lifecycle, AnErrorEndsTheBlockUntilTerminate) {
  prepare("failing.zvm");
  ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
  EXPECT_EQ(zek_sfun_cycle(w.handle()), 0);
  EXPECT_THAT(lastReport(), StartsWith("boom"));
  EXPECT_EQ(zek_sfun_init(w.handle(), 0), 0) << "an errored block is not initialised again";
  EXPECT_EQ(zek_sfun_update(w.handle()), 0);
  zek_sfun_terminate();
  zmx::reset();
  EXPECT_EQ(zek_sfun_init(w.handle(), 0), 1) << "terminate resets the state";
}

TEST_F(Lifecycle, QuietInitWithAMissingFileSaysNothing) {
  prepare("no_such_program.zvm");
  EXPECT_EQ(zek_sfun_init(w.handle(), 1), 0);
  EXPECT_TRUE(log().reports.empty());
  EXPECT_EQ(zmx::console(), "");
  EXPECT_EQ(zek_sfun_init(w.handle(), 0), 0) << "the state stayed 0, so a loud init tries again";
  EXPECT_EQ(lastReport(), "Error opening ZVM file\n");
}

TEST_F(Lifecycle, ACycleBeforeInitIsReported) {
  prepare("steps.zvm");
  EXPECT_EQ(zek_sfun_cycle(w.handle()), 0);
  EXPECT_EQ(lastReport(),
            "ZEK S-Function has not been initialized. Please, initialize ZEK S-Function before starting it.");
}

TEST_F(Lifecycle, MissingSetupIsReported) {
  zek_sfun_setup(0.01, onReport, nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(zek_sfun_init(nullptr, 0), 0);
  EXPECT_EQ(lastReport(), "Internal error: ZVM or ZEKPBIN file path not set\n");
}

TEST_F(Lifecycle, BadProgramFilesAreRefused) {
  // An image whose check sum fails does not load; the density is still set.
  std::vector<uint8_t> bytes = readFile(image("steps.zvm"));
  std::string garbage = tempPath("garbage.zvm");
  removeAtEnd.push_back(garbage);
  {
    std::vector<uint8_t> broken = bytes;
    broken[broken.size() / 2] ^= 0x55;
    std::ofstream f(garbage, std::ios::binary);
    f.write((const char *)broken.data(), (std::streamsize)broken.size());
  }
  w.ports({}, {});
  w.program = garbage;
  zek_sfun_setup(0.002, onReport, w.program.c_str(), "", &w.io, nullptr, nullptr);
  EXPECT_EQ(zek_sfun_init(w.handle(), 1), 0);
  EXPECT_FALSE(lastReport().empty());
  EXPECT_EQ(zek_getDensity(), 2000u);
  zek_sfun_terminate();
  // A file shorter than the image it announces is refused before it is loaded.
  std::string cut = tempPath("cut.zvm");
  removeAtEnd.push_back(cut);
  {
    std::ofstream f(cut, std::ios::binary);
    f.write((const char *)bytes.data(), (std::streamsize)bytes.size() - 10);
  }
  log() = Log{};
  w.program = cut;
  zek_sfun_setup(0.01, onReport, w.program.c_str(), "", &w.io, nullptr, nullptr);
  EXPECT_EQ(zek_sfun_init(w.handle(), 1), 0);
  EXPECT_THAT(lastReport(), HasSubstr("The program announces"));
  zek_sfun_terminate();
  // A file beyond 4 GiB (sparse, so it costs nothing) is refused before anything is allocated.
  std::string huge = tempPath("huge.zvm");
  removeAtEnd.push_back(huge);
  std::fclose(std::fopen(huge.c_str(), "wb"));
  std::error_code resized;
  std::filesystem::resize_file(huge, (uintmax_t)5 << 30, resized);
  ASSERT_FALSE(resized) << resized.message();
  log() = Log{};
  w.program = huge;
  zek_sfun_setup(0.01, onReport, w.program.c_str(), "", &w.io, nullptr, nullptr);
  EXPECT_EQ(zek_sfun_init(w.handle(), 0), 0);
  EXPECT_EQ(lastReport(), "Error reading ZVM file: the file is larger than 4 GiB");
}

// A file whose header is wrong or that is shorter than its image fails as a load that fails on
// its check sum: the loader's message with the context of the reset VM (not of the program
// run before), the program before discarded, the cycle length set, no record file, init 0.
TEST_F(Lifecycle, AFileRefusedBeforeLoadingFailsAsAFailedLoad) {
  const std::vector<uint8_t> good = readFile(image("steps.zvm"));
  const std::vector<zt::RefusedImage> cases = zt::refusedImages(good);
  std::string spoiled = tempPath("spoiled.zvm");
  std::string record = tempPath("refused.zekbin");
  removeAtEnd.push_back(spoiled);
  removeAtEnd.push_back(record);
  prepare("steps.zvm");
  for (const auto &c : cases) {
    for (uint8_t quiet : {1, 0}) {
      SCOPED_TRACE(std::string(c.what) + (quiet ? ", quiet" : ", loud"));
      // A run before, whose cycles a stale context would show.
      log() = Log{};
      w.setup("steps.zvm");
      ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
      for (int k = 0; k < 2; ++k) ASSERT_EQ(step(k), 3) << lastReport();
      zek_sfun_terminate();

      std::vector<uint8_t> bytes = good;
      c.spoil(bytes);
      {
        std::ofstream f(spoiled, std::ios::binary);
        f.write((const char *)bytes.data(), (std::streamsize)bytes.size());
      }
      log() = Log{};
      std::remove(record.c_str());
      zek_sfun_setup(0.002, onReport, spoiled.c_str(), record.c_str(), &w.io, writeFixOut, readFixIn);
      EXPECT_EQ(zek_sfun_init(w.handle(), quiet), 0);
      ASSERT_EQ(log().reports.size(), 1u) << lastReport();
      std::string reported = lastReport();
      EXPECT_EQ(zek_getDensity(), 2000u) << "the cycle length is set";
      EXPECT_EQ(zek_getData()->channelCount, 0) << "the program before is discarded";
      EXPECT_FALSE(std::filesystem::exists(record)) << "no record file";
      EXPECT_EQ(zek_sfun_cycle(w.handle()), 0);
      EXPECT_EQ(log().reports.size(), 1u) << "stopped until terminate";

      zt::expectRefusedAsLoad(reported, c, bytes, good.size());
      zek_sfun_terminate();
    }
  }
}

TEST_F(Lifecycle, StepSizesRoundToWholeMicroseconds) {
  const struct {
    double step;
    uint32_t density;  // 0: refused
  } cases[] = {{0.001, 1000}, {0.000249, 249}, {0.01, 10000}, {-1.0, 0}, {NAN, 0}, {0.0, 0}, {1e-7, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.step);
    log() = Log{};
    Wrapper v;
    v.ports({}, {});
    v.setup("steps.zvm", c.step);
    uint8_t goOn = zek_sfun_init(v.handle(), 1);
    if (c.density != 0) {
      EXPECT_EQ(goOn, 1) << lastReport();
      EXPECT_EQ(zek_getDensity(), c.density);
    } else {
      EXPECT_EQ(goOn, 0);
      EXPECT_THAT(lastReport(), StartsWith("Invalid step size"));
    }
    zek_sfun_terminate();
  }
}

class RecordFile : public Lifecycle {
 protected:
  zd::File readBack() {
    zd::File f = zd::parse(readFile(w.record));
    EXPECT_EQ(f.error, "") << "the file is finished and valid";
    return f;
  }
  double xAt(const zd::File &f, int32_t row) {
    std::vector<uint8_t> v = zd::valueAt(f, 0, row);
    double d = 0;
    if (v.size() == 8) std::memcpy(&d, v.data(), 8);
    return d;
  }
  size_t eventCount(const zd::File &f) {
    size_t n = 0;
    for (const auto &r : f.events) n += r.events.size();
    return n;
  }
};

TEST_F(RecordFile, OneRowPerCycleAndEachCyclesEventsOnce) {
  prepare("steps.zvm");
  ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
  for (int k = 0; k < 4; ++k) step(10 + k);
  zek_sfun_terminate();
  zd::File f = readBack();
  ASSERT_EQ(f.rows(), 4);
  EXPECT_EQ(f.blocks[0].step, 10000);
  for (int r = 0; r < 4; ++r) EXPECT_EQ(xAt(f, r), 10.0 + r);
  EXPECT_EQ(eventCount(f), 4u) << "the last cycle's events are in its row, not again in the finish";
  ASSERT_EQ(f.events.size(), 4u);
  for (int r = 0; r < 4; ++r) EXPECT_EQ(f.events[r].time, 10000u * r) << "rows are timed by the count before the cycle";
}

TEST_F(RecordFile, SutSynchronousRunsRecordThePreviousCycle) {
  prepare("steps_sut.zvm");
  ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
  for (int k = 0; k < 4; ++k) step(10 + k);
  zek_sfun_terminate();
  zd::File f = readBack();
  EXPECT_EQ(f.sut, 1);
  ASSERT_EQ(f.rows(), 3) << "n - 1 rows";
  // Row r is written before cycle r + 1: cycle r's outputs with the SuT's answer to them.
  for (int r = 0; r < 3; ++r) EXPECT_EQ(xAt(f, r), 11.0 + r);
  EXPECT_EQ(eventCount(f), 4u) << "the last cycle's events go into the finish";
  ASSERT_EQ(f.events.size(), 4u);
  EXPECT_EQ(f.events[3].time, 30000u);
}

TEST_F(RecordFile, ATestEndingInItsFirstCycleLeavesAFinishedFile) {
  w.ports({Port{{{"x"}}, 8}}, {Port{{{"y"}}, 8}});
  w.record = tempPath("run.zekbin");
  removeAtEnd.push_back(w.record);
  for (const char *program : {"ends_at_once.zvm", "timeout0.zvm"}) {
    SCOPED_TRACE(program);
    w.setup(program);
    ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
    EXPECT_EQ(step(5), 1);
    zd::File f = readBack();  // finished at the end of the test, before terminate
    ASSERT_EQ(f.rows(), 1);
    EXPECT_EQ(xAt(f, 0), 5.0);
    ASSERT_EQ(f.events.size(), 1u);
    EXPECT_EQ(f.events[0].time, 0u) << "cycle 0, no wrap";
    zek_sfun_terminate();
  }
}

TEST_F(RecordFile, EveryEndFinishesTheFile) {
  // Terminated before the first cycle.
  prepare("steps.zvm");
  ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
  zek_sfun_terminate();
  EXPECT_EQ(readBack().rows(), 0);
  // Ended by an error in the first cycle.
  log() = Log{};
  w.program = image("failing.zvm");
  zek_sfun_setup(0.01, onReport, w.program.c_str(), w.record.c_str(), &w.io, nullptr, nullptr);
  ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
  EXPECT_EQ(zek_sfun_cycle(w.handle()), 0);
  EXPECT_EQ(readBack().rows(), 0);
}

TEST_F(RecordFile, TheProgramFileIsNeverTakenForIt) {
  std::string program = tempPath("program.zvm");
  removeAtEnd.push_back(program);
  std::vector<uint8_t> bytes = readFile(image("steps.zvm"));
  {
    std::ofstream out(program, std::ios::binary);
    out.write((const char *)bytes.data(), (std::streamsize)bytes.size());
  }
  w.ports({Port{{{"x"}}, 8}}, {Port{{{"y"}}, 8}});
  w.record = program;
  zek_sfun_setup(0.01, onReport, program.c_str(), w.record.c_str(), &w.io, nullptr, nullptr);
  EXPECT_EQ(zek_sfun_init(w.handle(), 0), 0);
  EXPECT_EQ(lastReport(), "The output file '" + program + "' is the program file; it is not overwritten.");
  EXPECT_EQ(readFile(program), bytes);
}

TEST_F(RecordFile, AnEmptyPathFailsALoudInitOnly) {
  w.ports({Port{{{"x"}}, 8}}, {Port{{{"y"}}, 8}});
  w.setup("steps.zvm");
  EXPECT_EQ(zek_sfun_init(w.handle(), 0), 0);
  EXPECT_THAT(zmx::console(), HasSubstr("ZEK > Output file '<Empty file name>'."));
  EXPECT_EQ(lastReport(), "Error opening output file. Missing or corrupt workspace variable 'zek_zekbinoutfile'.");
  zek_sfun_terminate();
  log() = Log{};
  EXPECT_EQ(zek_sfun_init(w.handle(), 1), 1) << "a quiet init opens no file";
  EXPECT_TRUE(log().reports.empty());
}

}  // namespace

// ---- Callbacks of the wrapper inside the block's own step ----------------------------------

namespace {

// What a callback does when armed: terminate the block and initialise it again, as a MATLAB
// function does that starts another simulation of the model, or else the call set.
struct Reentry {
  bool armed = false;
  SfunHandle block = nullptr;
  int initResult = -1;
  int calls = 0;
  void (*call)() = nullptr;
  int64_t answer = -1;    // what the call set answered
  uint16_t vmCode = 0;    // a call of the VM's exports: the VM's error after it,
  std::string vmMessage;  // its message without the context
};
Reentry g_reentry;

void reenter() {
  if (!g_reentry.armed) return;
  g_reentry.armed = false;
  ++g_reentry.calls;
  if (g_reentry.call != nullptr) {
    g_reentry.call();
    return;
  }
  zek_sfun_terminate();
  g_reentry.initResult = zek_sfun_init(g_reentry.block, 0);
}

uint8_t boxAnswers(uint32_t, uint8_t, const char *, uint8_t, const char *) { return 1; }
int c0Returns(int, mxArray *[], int, mxArray *[], void *) { return 0; }
double steadyClock() {
  static double now = 0;
  return now += 0.01;
}

uint8_t boxReenters(uint32_t, uint8_t, const char *, uint8_t, const char *) {
  reenter();
  return 1;
}
int c0Reenters(int, mxArray *[], int, mxArray *[], void *) {
  reenter();
  return 0;
}
double clockReenters() {
  static double now = 0;
  reenter();
  return now += 0.01;
}
void errorHandlerReenters() { reenter(); }

class Reentering : public Lifecycle {
 protected:
  void TearDown() override {
    zek_setErrorHandler(nullptr);
    g_reentry = Reentry{};
    Lifecycle::TearDown();
  }
};

// Each callback that runs inside the cycle tries to terminate and initialise the block again.
// Both are refused, with nothing freed, reloaded or closed: the cycle ends with an error, the
// record file holds the cycles before, the VM still runs the program it ran, and the block
// starts again once the step has returned.
TEST_F(Reentering, TerminateAndInitFromInsideTheCycleAreRefused) {
  const char *terminateRefused = "zek_sfun_terminate(): not allowed inside a cycle; call it between cycles.";
  const char *initRefused = "zek_sfun_init(): not allowed inside a cycle; call it between cycles.";
  const struct {
    const char *callback;
    const char *program;
    double x;               // the second step's input; 0 fails the cycle
    const char *cycleEnd;   // the start of the last report
  } cases[] = {
      {"message box", "reentry.zvm", 2, "zek_sfun_terminate(): not allowed inside a cycle"},
      {"MATLAB client function", "reentry.zvm", 2, "Function 'c0': zek_sfun_terminate(): not allowed inside a cycle"},
      {"real-time clock", "reentry_clock.zvm", 2, "zek_sfun_init(): not allowed inside a cycle"},
      {"error handler", "reentry.zvm", 0, "Division by zero"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.callback);
    log() = Log{};
    g_reentry = Reentry{};
    w = Wrapper{};
    g_reentry.block = w.handle();
    prepare(c.program);
    zmx::define("c0", std::string(c.callback) == "MATLAB client function" ? c0Reenters : c0Returns);
    ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
    zek_installMessageBoxCmd(std::string(c.callback) == "message box" ? boxReenters : boxAnswers);
    zek_installRealtimeCmd(std::string(c.callback) == "real-time clock" ? clockReenters : steadyClock);
    zek_setErrorHandler(std::string(c.callback) == "error handler" ? errorHandlerReenters : nullptr);
    ASSERT_EQ(step(1), 3) << lastReport();
    const VmData *data = zek_getData();

    g_reentry.armed = true;
    w.setIn<double>(0, 0, c.x);
    EXPECT_EQ(zek_sfun_update(w.handle()), 1);
    EXPECT_EQ(zek_sfun_cycle(w.handle()), 0);
    EXPECT_EQ(g_reentry.calls, 1);
    EXPECT_EQ(g_reentry.initResult, 0);
    ASSERT_GE(log().reports.size(), 3u);
    EXPECT_EQ(log().reports[0], terminateRefused);
    EXPECT_EQ(log().reports[1], initRefused);
    EXPECT_THAT(lastReport(), StartsWith(c.cycleEnd));
    EXPECT_EQ(zek_sfun_write(w.handle()), 0);
    // Finished by the error, with the row of the first cycle.
    zd::File f = zd::parse(readFile(w.record));
    EXPECT_EQ(f.error, "");
    EXPECT_EQ(f.rows(), 1);
    // The program is the one loaded before, still in place: the VM runs it again.
    EXPECT_EQ(zek_getData(), data);
    EXPECT_STREQ(zek_getData()->inputs[0].name, "x");
    setValue<double>("x", 4.0);
    EXPECT_EQ(zek_runCycle(), (uint32_t)ZEK_CYCLE_GO_ON) << zek_getErrorMessage();
    EXPECT_EQ(value<double>("y"), 0.25);
    // Between steps the block is terminated and initialised as usual.
    zek_setErrorHandler(nullptr);
    zek_sfun_terminate();
    log() = Log{};
    ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
    zek_installMessageBoxCmd(boxAnswers);
    EXPECT_EQ(step(8), 3) << lastReport();
    EXPECT_EQ(w.outValue<double>(0, 0), 0.125);
    zek_sfun_terminate();
  }
}

// The exports of a step and the set-up are refused inside a step as well, and leave the block
// as it was apart from the report.
TEST_F(Reentering, EveryStepExportIsRefusedFromInsideAStep) {
  static Wrapper *wrapper = nullptr;
  wrapper = &w;
  const struct {
    const char *name;
    void (*call)();
  } exports[] = {
      {"zek_sfun_update", [] { EXPECT_EQ(zek_sfun_update(wrapper->handle()), 0); }},
      {"zek_sfun_cycle", [] { EXPECT_EQ(zek_sfun_cycle(wrapper->handle()), 0); }},
      {"zek_sfun_write", [] { EXPECT_EQ(zek_sfun_write(wrapper->handle()), 0); }},
      {"zek_sfun_setup",
       [] {
         zek_sfun_setup(0.5, onReport, "other.zvm", "other.zekbin", nullptr, nullptr, nullptr);
       }},
      {"zek_sfun_setup_fcn_io", [] { zek_sfun_setup_fcn_io(nullptr, nullptr, nullptr); }},
      {"zekCallServerFunction", [] { EXPECT_EQ(zekCallServerFunction(wrapper->handle(), 0), 0); }},
  };
  for (const auto &e : exports) {
    SCOPED_TRACE(e.name);
    log() = Log{};
    w = Wrapper{};
    prepare("reentry.zvm");
    zmx::define("c0", c0Returns);
    ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
    static void (*call)() = nullptr;
    call = e.call;
    zek_installMessageBoxCmd([](uint32_t, uint8_t, const char *, uint8_t, const char *) -> uint8_t {
      call();
      return 1;
    });
    w.setIn<double>(0, 0, 2.0);
    EXPECT_EQ(zek_sfun_update(w.handle()), 1);
    EXPECT_EQ(zek_sfun_cycle(w.handle()), 0);
    ASSERT_FALSE(log().reports.empty());
    EXPECT_EQ(log().reports[0], std::string(e.name) + "(): not allowed inside a cycle; call it between cycles.");
    EXPECT_THAT(lastReport(), StartsWith(std::string(e.name) + "(): not allowed inside a cycle; call it between "
                                                               "cycles. (error=119, address="));
    EXPECT_EQ(log().reportBlocks[0], w.handle()) << "told to the block of the step";
    // The set-up of the block is unchanged: the next initialisation uses it.
    zek_sfun_terminate();
    EXPECT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
    EXPECT_EQ(zek_getDensity(), 10000u);
    zek_sfun_terminate();
  }
}

}  // namespace

// ---- Callbacks of the wrapper inside the initialisation and the set-ups --------------------

namespace {

void reportReenters(SfunHandle block, const char *text) {
  onReport(block, text);
  reenter();
}
void writeFixOutReenters(SfunHandle block, uint32_t port, uint32_t signal, void *vm, uint32_t type, uint8_t size,
                         void *sl, uint32_t slSize) {
  writeFixOut(block, port, signal, vm, type, size, sl, slSize);
  reenter();
}

// What a callback calls instead of terminate and init.
void callsTerminate() { zek_sfun_terminate(); }
void callsInit() { g_reentry.answer = zek_sfun_init(g_reentry.block, 0); }
void callsCycle() { g_reentry.answer = zek_sfun_cycle(g_reentry.block); }
void callsSetup() { zek_sfun_setup(0.5, onReport, "other.zvm", "other.zekbin", nullptr, nullptr, nullptr); }
void keepVmAnswer(uint32_t answer) {
  g_reentry.answer = answer;
  g_reentry.vmCode = zek_getErrorCode();
  std::string message = zek_getErrorMessage();
  g_reentry.vmMessage = message.substr(0, message.rfind(" (error="));
}
// A load that went through would leave the VM running from these bytes: they stay.
void callsLoad() {
  static const std::vector<uint8_t> other = readFile(image("steps.zvm"));
  keepVmAnswer(zek_load(other.data()));
}
void callsRunCycle() { keepVmAnswer(zek_runCycle()); }

std::string refusal(const char *called, const char *running) {
  return std::string(called) + "(): not allowed while " + running + "() runs; call it after it returns.";
}

enum Callback { kErrorHandler, kReport, kFixedPoint };

// An output port whose scaled int16 2x2 signal the matching writes as its initial output, one
// element at a time through the fixed-point handler, walking the offset table it has just made.
Port initialOutput() { return Port{{{"fya", ZEK_INT16, {8}, {2, 2}, 0, true}}, 32, true, true}; }

class ReenteringOutsideSteps : public Reentering {
 protected:
  // A run of steps.zvm, terminated: the program the next initialisation replaces.
  void runBefore() {
    log() = Log{};
    g_reentry = Reentry{};
    w = Wrapper{};
    prepare("steps.zvm");
    ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
    for (int k = 0; k < 2; ++k) ASSERT_EQ(step(k), 3) << lastReport();
    zek_sfun_terminate();
  }
  // The callback called in once and was refused: call (null: terminate, then init) answered
  // answer, and a call of the VM's exports left error 123 with vmRefusal.
  void expectRefused(void (*call)(), int64_t answer, const std::string &vmRefusal) {
    EXPECT_EQ(g_reentry.calls, 1);
    EXPECT_EQ(call != nullptr ? g_reentry.answer : g_reentry.initResult, answer);
    if (!vmRefusal.empty()) {
      EXPECT_EQ(g_reentry.vmCode, 123);
      EXPECT_EQ(g_reentry.vmMessage, vmRefusal);
    }
  }
  // Once the export has returned, the block is terminated, initialised and run as usual, and
  // the record file holds the run's cycles.
  void expectAnOrdinaryRun() {
    zek_setErrorHandler(nullptr);
    zek_sfun_terminate();
    log() = Log{};
    w = Wrapper{};
    prepare("steps.zvm");
    ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
    for (int k = 0; k < 3; ++k) EXPECT_EQ(step(10 + k), 3) << lastReport();
    EXPECT_EQ(w.outValue<double>(0, 0), 13.0);
    zek_sfun_terminate();
    EXPECT_TRUE(log().reports.empty()) << lastReport();
    zd::File f = zd::parse(readFile(w.record));
    EXPECT_EQ(f.error, "");
    ASSERT_EQ(f.rows(), 3);
    for (int32_t r = 0; r < 3; ++r) {
      std::vector<uint8_t> x = zd::valueAt(f, 0, r);
      ASSERT_EQ(x.size(), 8u);
      double v;
      std::memcpy(&v, x.data(), 8);
      EXPECT_EQ(v, 10.0 + r);
    }
  }
};

// The callbacks of an initialisation (the VM's error handler of a failing load, the report, the
// fixed-point handler of an initial output) call the exports. Each call that would free, load,
// run or replace what the initialisation works on is refused and reported; the initialisation
// ends with its own outcome, and the block runs as usual after it.
TEST_F(ReenteringOutsideSteps, ExportsFromCallbacksOfInitAreRefused) {
  const std::vector<uint8_t> good = readFile(image("steps.zvm"));
  const std::string cut = tempPath("cut.zvm");
  removeAtEnd.push_back(cut);
  {
    std::ofstream f(cut, std::ios::binary);
    f.write((const char *)good.data(), (std::streamsize)good.size() - 10);
  }
  std::string cutLoad;
  for (const zt::RefusedImage &r : zt::refusedImages(good))
    if (std::string(r.what) == "cut") cutLoad = r.message;
  const std::string role = image("unknown_role.zvm");
  const std::string roleLoad = "Unknown role id: '9' for channel id '2'." + zt::kRefusedLoadContext;
  const std::string outputs = image("ports.zvm");  // initialised with initialOutput()
  const std::string terminate = refusal("zek_sfun_terminate", "zek_sfun_init");
  const std::string init = refusal("zek_sfun_init", "zek_sfun_init");
  const std::string handlerFailed = "fixed point handler failed";  // told without a block
  const struct {
    const char *what;
    Callback by;
    std::string program;
    void (*call)();         // null: terminate, then init
    int64_t answer;         // of the call; -1 for one without
    std::string vmRefusal;  // of a call of the VM's exports
    uint8_t init;
    std::vector<std::string> reports;
  } cases[] = {
      {"error handler: terminate, init; cut file", kErrorHandler, cut, nullptr, 0, "", 0, {terminate, init, cutLoad}},
      {"error handler: terminate, init; unknown role", kErrorHandler, role, nullptr, 0, "", 0,
       {terminate, init, roleLoad}},
      {"error handler: a step", kErrorHandler, cut, callsCycle, 0, "", 0,
       {refusal("zek_sfun_cycle", "zek_sfun_init"), cutLoad}},
      {"error handler: set-up", kErrorHandler, cut, callsSetup, -1, "", 0,
       {refusal("zek_sfun_setup", "zek_sfun_init"), cutLoad}},
      {"error handler: zek_load", kErrorHandler, role, callsLoad, 1, refusal("zek_load", "zek_load"), 0, {roleLoad}},
      {"error handler: zek_runCycle", kErrorHandler, cut, callsRunCycle, 1, refusal("zek_runCycle", "zek_load"), 0,
       {cutLoad}},
      {"report of the load: terminate, init", kReport, cut, nullptr, 0, "", 0, {cutLoad, terminate, init}},
      {"fixed-point handler: terminate", kFixedPoint, outputs, callsTerminate, -1, "", 0, {terminate}},
      {"report of the fixed-point handler: terminate", kReport, outputs, callsTerminate, -1, "", 0,
       {handlerFailed, terminate}},
      {"fixed-point handler: init", kFixedPoint, outputs, callsInit, 0, "", 0, {init}},
      {"fixed-point handler: zek_load", kFixedPoint, outputs, callsLoad, 1, refusal("zek_load", "zek_sfun_init"), 1,
       {}},
      {"fixed-point handler: zek_runCycle", kFixedPoint, outputs, callsRunCycle, 1,
       refusal("zek_runCycle", "zek_sfun_init"), 1, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    runBefore();
    Wrapper fx;
    fx.ports({}, {initialOutput()});
    const bool matching = c.program == outputs;
    Wrapper &block = matching ? fx : w;
    zek_sfun_setup(0.01, c.by == kReport ? reportReenters : onReport, c.program.c_str(), w.record.c_str(), &block.io,
                   c.by == kFixedPoint ? writeFixOutReenters : writeFixOut, readFixIn);
    zek_setErrorHandler(c.by == kErrorHandler ? errorHandlerReenters : nullptr);
    log() = Log{};
    if (c.by == kReport && matching) log().failAtHandlerCall = 0;
    g_reentry.block = block.handle();
    g_reentry.call = c.call;
    g_reentry.armed = true;
    EXPECT_EQ(zek_sfun_init(block.handle(), 0), c.init);
    zek_setErrorHandler(nullptr);
    expectRefused(c.call, c.answer, c.vmRefusal);
    EXPECT_EQ(log().reports, c.reports);
    // A refusal is told to the block of the initialisation, also that of terminate, which has none.
    for (size_t i = 0; i < log().reports.size(); ++i) {
      if (log().reports[i] != handlerFailed) {
        EXPECT_EQ(log().reportBlocks[i], block.handle()) << log().reports[i];
      }
    }
    if (matching) {
      EXPECT_NE(channel("fya"), nullptr) << "the program of the initialisation stays the VM's";
    } else {
      EXPECT_EQ(zek_getData()->channelCount, 0) << "the failed load leaves no program";
    }
    expectAnOrdinaryRun();
  }
}

// The set-ups match records handed in while a program is loaded, and write their initial
// outputs through the fixed-point handler: its calls into the exports, and those of the report
// of its failure, are refused alike, and the block runs as usual afterwards.
TEST_F(ReenteringOutsideSteps, ExportsFromCallbacksOfTheSetUpsAreRefused) {
  const char *setup = "zek_sfun_setup";
  const char *fcnIo = "zek_sfun_setup_fcn_io";
  const struct {
    const char *what;
    const char *running;
    Callback by;
    void (*call)();  // null: terminate, then init
    int64_t answer;
    std::string vmRefusal;
    std::vector<std::string> reports;
  } cases[] = {
      {"fixed-point handler: terminate", setup, kFixedPoint, callsTerminate, -1, "",
       {refusal("zek_sfun_terminate", setup)}},
      {"report of the fixed-point handler: terminate, init", setup, kReport, nullptr, 0, "",
       {"fixed point handler failed", refusal("zek_sfun_terminate", setup), refusal("zek_sfun_init", setup)}},
      {"fixed-point handler: zek_load", setup, kFixedPoint, callsLoad, 1, refusal("zek_load", setup), {}},
      {"fixed-point handler: set-up", fcnIo, kFixedPoint, callsSetup, -1, "", {refusal("zek_sfun_setup", fcnIo)}},
      {"report of the fixed-point handler: terminate", fcnIo, kReport, callsTerminate, -1, "",
       {"fixed point handler failed", refusal("zek_sfun_terminate", fcnIo)}},
      {"fixed-point handler: zek_runCycle", fcnIo, kFixedPoint, callsRunCycle, 1, refusal("zek_runCycle", fcnIo), {}},
  };
  const std::string program = image("ports.zvm");
  const std::string record = tempPath("set_up.zekbin");  // what an initialisation would open
  removeAtEnd.push_back(record);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    log() = Log{};
    g_reentry = Reentry{};
    ReportErrorFn report = c.by == kReport ? reportReenters : onReport;
    CopyPortDataFn toPort = c.by == kFixedPoint ? writeFixOutReenters : writeFixOut;
    Wrapper fx;
    fx.ports({}, {initialOutput()});
    zek_sfun_setup(0.01, report, program.c_str(), record.c_str(), &fx.io, toPort, readFixIn);
    ASSERT_EQ(zek_sfun_init(fx.handle(), 1), 1) << lastReport();
    ASSERT_EQ(log().handlerCalls.size(), 4u);
    // New records while the program is loaded, or the functions' set-up, which matches the
    // port records again.
    Wrapper again;
    again.ports({}, {initialOutput()});
    log() = Log{};
    if (c.by == kReport) log().failAtHandlerCall = 0;
    g_reentry.block = fx.handle();
    g_reentry.call = c.call;
    g_reentry.armed = true;
    if (c.running == setup)
      zek_sfun_setup(0.01, report, program.c_str(), record.c_str(), &again.io, toPort, readFixIn);
    else
      zek_sfun_setup_fcn_io(nullptr, nullptr, nullptr);
    expectRefused(c.call, c.answer, c.vmRefusal);
    EXPECT_EQ(log().reports, c.reports);
    EXPECT_NE(channel("fya"), nullptr) << "the program stays the VM's";
    EXPECT_EQ(zek_sfun_cycle(fx.handle()), c.reports.empty() ? 1 : 0) << "a reported refusal stops the block";
    expectAnOrdinaryRun();
  }
}

}  // namespace
