// The hardware-in-the-loop host's start-up with every allocation failing in turn, then its
// version-8 recording with every allocation failing in turn over a whole run, and a disk that
// takes no byte. The host's sources and its VM library are compiled into this program, so the
// platform layer's fault hooks are the host's (a shared library keeps its own). A failure is
// told once through the wrapper's slot and stops the block; a failed start-up leaves nothing
// in the way of a sound one. Leaks show in the sanitizer build's leak check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "faults.h"
#include "zek_mex_inprocess.h"
#include "zek_platform.h"
#include "zek_sfun_hil.h"
#include "zek_vm.h"
#include "zekbin8_reader.h"

namespace {

namespace fs = std::filesystem;

const char *const kRecordFailed = "Error writing the record file.";

std::string image(const std::string &name) { return std::string(ZEK_HIL_IMAGES) + "/" + name + ".zvm"; }

std::vector<uint8_t> readAll(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The matrix program's signals, with storage for everything the interface record points to.
struct MatrixIo {
  double u[6] = {1, 4, 2, 5, 3, 6};
  int16_t s = -7;
  double y[6] = {};
  int16_t t = 0;
  int32_t n = 0;
  void *inBuffers[2] = {u, &s};
  void *outBuffers[3] = {y, &t, &n};
  const char *inNames[2] = {"u", "s"};
  const char *outNames[3] = {"y", "t", "n"};
  uint32_t inTypes[2] = {ZEK_DOUBLE, ZEK_INT16};
  uint32_t outTypes[3] = {ZEK_DOUBLE, ZEK_INT16, ZEK_INT32};
  uint32_t inIndex[2] = {}, inDim1[2] = {}, inDim2[2] = {};
  uint32_t outIndex[3] = {}, outDim1[3] = {}, outDim2[3] = {};
  HilPortInterface record() {
    return HilPortInterface{{2, inBuffers, inNames, inIndex, inDim1, inDim2, inTypes},
                            {3, outBuffers, outNames, outIndex, outDim1, outDim2, outTypes}};
  }
};

// A failed allocation of the host's own leaves the VM's error state alone: its handler hears
// only of the VM's own failures.
int g_vmErrorCalls = 0;
void countVmError(void) { ++g_vmErrorCalls; }

// The kinds of message a failure gives.
enum class Told { Nothing, ProgramFile, Loader, Matching, RecordFile, Cycle };

const char *kindName(Told k) {
  static const char *const names[] = {"nothing", "program file", "loader", "matching", "record file", "cycle"};
  return names[(int)k];
}

Told kindOf(const std::string &text, bool inCycle) {
  if (text == "Error reading ZVM file") return Told::ProgramFile;
  if (text.rfind("Not enough heap memory for ", 0) == 0) return inCycle ? Told::Cycle : Told::Loader;
  if (text == "Out of memory matching the signals.") return Told::Matching;
  if (text == kRecordFailed) return Told::RecordFile;
  ADD_FAILURE() << "a message no failure of this kind gives: " << text;
  return Told::Nothing;
}

// One run as the wrapper makes it: init, steps while the block goes on, terminate. Every text
// that reaches the slot is kept.
struct HilRun {
  uint8_t initResult = 0;
  int steps = 0;       // steps that said go on
  int stoppedAt = -2;  // the step at which the block stopped (-1: the init), else -2
  std::vector<std::string> told;
  bool toldInCycle = false;  // the first text came from a step
  int vmErrorCalls = 0;      // during the init
  uint16_t vmErrorCode = 0;  // after the init
};

class HilFaults : public testing::Test {
 protected:
  char *slot = nullptr;
  std::string seen;
  fs::path dir;

  void SetUp() override {
    zek_sfun_terminate();
    zmx::reset();
    zek_setErrorHandler(countVmError);
    const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::temp_directory_path() / ("zek-sfun-hil-faults-" + std::to_string(getpid()) + "-" + t->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    zek_sfun_terminate();
    zek_setErrorHandler(nullptr);
    fs::remove_all(dir);
  }

  // A text that is new in the slot since the last look.
  void look(HilRun &r) {
    std::string now = slot != nullptr ? slot : "";
    if (now != seen && !now.empty()) r.told.push_back(now);
    seen = now;
  }

  uint8_t init(MatrixIo &io, const std::string &program, const std::string &record, uint8_t quiet) {
    HilPortInterface ports = io.record();
    return zek_sfun_init(0.01, &slot, program.c_str(), record.c_str(), &ports, quiet);
  }

  HilRun initOnly(MatrixIo &io, const std::string &program, const std::string &record, uint8_t quiet) {
    HilRun r;
    slot = nullptr;
    seen.clear();
    zek_resetError();
    g_vmErrorCalls = 0;
    r.initResult = init(io, program, record, quiet);
    r.vmErrorCalls = g_vmErrorCalls;
    r.vmErrorCode = zek_getErrorCode();
    if (r.initResult == 0) r.stoppedAt = -1;
    look(r);
    return r;
  }

  HilRun wholeRun(MatrixIo &io, const std::string &program, const std::string &record, int steps) {
    HilRun r = initOnly(io, program, record, 0);
    for (int k = 0; r.initResult == 1 && k < steps; ++k) {
      uint8_t goOn = zek_sfun();
      if (r.told.empty()) {
        look(r);
        r.toldInCycle = !r.told.empty();
      } else {
        look(r);
      }
      if (goOn == 0) {
        r.stoppedAt = k;
        break;
      }
      ++r.steps;
    }
    zek_sfun_terminate();
    look(r);
    return r;
  }

  // After a failure: a sound start-up and a step.
  void startsAgain(MatrixIo &io, const std::string &program, uint8_t quiet) {
    zek_sfun_terminate();
    slot = nullptr;
    std::string record = (dir / "sound.zekbin").string();
    ASSERT_EQ(init(io, program, record, quiet), 1) << (slot != nullptr ? slot : "");
    EXPECT_EQ(zek_sfun(), 1) << (slot != nullptr ? slot : "");
    EXPECT_EQ(io.n, 1);
    zek_sfun_terminate();
  }
};

struct StartUpCase {
  const char *name;
  uint8_t quiet;
  std::vector<Told> mustMeet;
};

class HilStartUpFaults : public HilFaults, public testing::WithParamInterface<StartUpCase> {};

void PrintTo(const StartUpCase &c, std::ostream *os) { *os << c.name; }

TEST_P(HilStartUpFaults, EachAllocationFailingInTurn) {
  const StartUpCase &c = GetParam();
  const std::string program = image("matrix");
  std::vector<Told> met;
  zt::failEachCallInTurn(PLAT_FAULT_ALLOCATION, [&](uint64_t n) {
    std::string record = (dir / ("start" + std::to_string(n) + ".zekbin")).string();
    auto io = std::make_shared<MatrixIo>();
    HilRun r = initOnly(*io, program, record, c.quiet);
    return [=, this, &met](bool fired) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      if (!fired) {
        EXPECT_EQ(r.initResult, 1) << (r.told.empty() ? "" : r.told[0]);
        EXPECT_TRUE(r.told.empty()) << r.told[0];
        EXPECT_EQ(fs::exists(record), c.quiet == 0);
        zek_sfun_terminate();
        return;
      }
      EXPECT_EQ(r.initResult, 0) << "a start-up that met a fault does not run";
      ASSERT_LE(r.told.size(), 1u);
      Told kind = r.told.empty() ? Told::Nothing : kindOf(r.told[0], false);
      met.push_back(kind);
      if (kind == Told::Nothing) {
        EXPECT_EQ(c.quiet, 1) << "only a quiet start-up keeps its failure to read the program to itself";
        met.push_back(Told::ProgramFile);
      }
      if (kind == Told::Loader) {
        EXPECT_EQ(r.vmErrorCode, 15) << "the VM's memory error";
      } else {
        EXPECT_EQ(r.vmErrorCode, 0) << "the host's own allocation raised into the VM";
        EXPECT_EQ(r.vmErrorCalls, 0) << "the host's own allocation called the VM's error handler";
      }
      // A record file exists only when its opening was reached; one that failed is unfinished.
      EXPECT_EQ(fs::exists(record), kind == Told::RecordFile);
      if (kind == Told::RecordFile) {
        std::vector<uint8_t> bytes = readAll(record);
        size_t blocks = 0;
        try {
          blocks = z8::read(bytes).blocks.size();
        } catch (const std::exception &) {
        }
        EXPECT_LT(blocks, 2u) << "the signal block was never begun";
      }
      // A block that reported stays stopped until the terminate; one that did not (a quiet
      // start-up without its program) was never initialised and starts again.
      EXPECT_EQ(init(*io, program, "", 1), kind == Told::Nothing ? 1 : 0);
      startsAgain(*io, program, c.quiet);
    };
  });
  for (Told k : c.mustMeet)
    EXPECT_NE(std::find(met.begin(), met.end(), k), met.end()) << "never met: " << kindName(k);
}

const StartUpCase kStartUps[] = {
    {"loud", 0, {Told::ProgramFile, Told::Loader, Told::Matching, Told::RecordFile}},
    {"quiet", 1, {Told::ProgramFile, Told::Loader, Told::Matching}},
};

INSTANTIATE_TEST_SUITE_P(StartUps, HilStartUpFaults, testing::ValuesIn(kStartUps),
                         [](const auto &info) { return std::string(info.param.name); });

struct RecordingCase {
  const char *program;
  int steps;
  size_t rows;  // the signal block's rows of a complete file
};

class HilRecordingFaults : public HilFaults, public testing::WithParamInterface<RecordingCase> {};

void PrintTo(const RecordingCase &c, std::ostream *os) { *os << c.program; }

TEST_P(HilRecordingFaults, EachAllocationFailingInTurn) {
  const RecordingCase &c = GetParam();
  const std::string program = image(c.program);
  std::vector<Told> met;
  zt::failEachCallInTurn(PLAT_FAULT_ALLOCATION, [&](uint64_t n) {
    std::string record = (dir / ("run" + std::to_string(n) + ".zekbin")).string();
    auto io = std::make_shared<MatrixIo>();
    HilRun r = wholeRun(*io, program, record, c.steps);
    return [=, &met](bool fired) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      if (!fired) {
        EXPECT_TRUE(r.told.empty()) << r.told[0];
        EXPECT_EQ(r.steps, c.steps);
        z8::File f = z8::read(readAll(record));
        ASSERT_EQ(f.blocks.size(), 2u);
        EXPECT_EQ(f.blocks[1].rows.size(), c.rows);
        return;
      }
      ASSERT_EQ(r.told.size(), 1u) << "told once";
      Told kind = kindOf(r.told[0], r.toldInCycle);
      met.push_back(kind);
      EXPECT_NE(r.stoppedAt, -2) << "the block stops at the failure";
      if (kind != Told::RecordFile && kind != Told::Cycle) {
        EXPECT_EQ(r.stoppedAt, -1);
        EXPECT_FALSE(fs::exists(record)) << "the start-up failed before the record file";
        return;
      }
      std::vector<uint8_t> bytes = readAll(record);
      if (kind == Told::Cycle) {
        // A failed cycle finishes the file with the rows of the cycles before it.
        z8::File f = z8::read(bytes);
        ASSERT_EQ(f.blocks.size(), 2u);
        EXPECT_EQ(f.blocks[1].rows.size(), (size_t)r.stoppedAt);
        return;
      }
      size_t blocks = 0;
      try {
        blocks = z8::read(bytes).blocks.size();
      } catch (const std::exception &) {
      }
      EXPECT_LT(blocks, 2u) << "a recording that failed is not finished";
    };
  });
  EXPECT_NE(std::find(met.begin(), met.end(), Told::RecordFile), met.end()) << "never met the record file";
}

const RecordingCase kRecordings[] = {
    {"matrix", 3, 3},
    {"matrix_sut", 3, 2},  // the last cycle has no row of its own
};

INSTANTIATE_TEST_SUITE_P(Runs, HilRecordingFaults, testing::ValuesIn(kRecordings),
                         [](const auto &info) { return std::string(info.param.program); });

// A disk that takes no byte: the parameter block's flush at the start-up fails, which is told
// once, and the terminate does not tell it again.
TEST_F(HilFaults, AFullDiskIsToldOnceAtTheStartUp) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  MatrixIo io;
  HilRun r = wholeRun(io, image("matrix"), "/dev/full", 3);
  EXPECT_EQ(r.initResult, 0);
  EXPECT_EQ(r.told, std::vector<std::string>{kRecordFailed});
  startsAgain(io, image("matrix"), 0);
}

}  // namespace
