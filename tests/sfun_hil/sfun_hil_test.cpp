// The hardware-in-the-loop S-function library through its exports, with this program playing
// the wrapper and the MEX stand-in playing MATLAB. The program images come from
// make_hil_images; the VM is reached only through the library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "zek_mex_inprocess.h"
#include "lcc_message_check.h"
#include "refused_images.h"
#include "zek_platform.h"
#include "zek_sfun_hil.h"
#include "zek_vm.h"
#include "zekbin8_reader.h"

namespace {

namespace fs = std::filesystem;

// The exchange's events and block get names of this process's own; set before the library
// creates its events, which it keeps for the life of the process.
const bool g_namesOfOurOwn = [] {
  std::string prefix = "zek-sfun-hil-" + std::to_string(getpid()) + "-";
  return setenv("ZEK_PLATFORM_NAME_PREFIX", prefix.c_str(), 1) == 0;
}();

std::string image(const std::string &name) { return std::string(ZEK_HIL_IMAGES) + "/" + name + ".zvm"; }

std::vector<uint8_t> readAll(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One side of the interface record with storage for everything the record points to.
struct Side {
  std::vector<void *> buffers;
  std::vector<const char *> names;
  std::vector<uint32_t> index, dim1, dim2, types;

  void add(const char *name, uint32_t type, void *buffer) {
    buffers.push_back(buffer);
    names.push_back(name);
    types.push_back(type);
    index.push_back(0xFFFFFFFF);
    dim1.push_back(0xFFFFFFFF);
    dim2.push_back(0xFFFFFFFF);
  }
  HilPortGroup group() {
    return HilPortGroup{(uint16_t)buffers.size(), buffers.data(), names.data(), index.data(),
                        dim1.data(),              dim2.data(),    types.data()};
  }
};

struct Ports {
  Side in, out;
  HilPortInterface record() { return HilPortInterface{in.group(), out.group()}; }
};

// The matrix program's signals: u 2x3 double, s int16 in; y 2x3 double, t int16, n int32 out.
struct MatrixIo {
  double u[6] = {1, 4, 2, 5, 3, 6};  // MATLAB's column-major order of [1 2 3; 4 5 6]
  int16_t s = -7;
  double y[6] = {};
  int16_t t = 0;
  int32_t n = 0;
  Ports ports;
  MatrixIo() {
    ports.in.add("u", ZEK_DOUBLE, u);
    ports.in.add("s", ZEK_INT16, &s);
    ports.out.add("y", ZEK_DOUBLE, y);
    ports.out.add("t", ZEK_INT16, &t);
    ports.out.add("n", ZEK_INT32, &n);
  }
};

class SfunHil : public testing::Test {
 protected:
  char *slot = nullptr;
  fs::path dir;

  void SetUp() override {
    zek_sfun_terminate();
    zmx::reset();
    const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::temp_directory_path() / ("zek-sfun-hil-" + std::to_string(getpid()) + "-" + t->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    zek_sfun_terminate();
    fs::remove_all(dir);
  }

  std::string record(const char *name = "run.zekbin") { return (dir / name).string(); }

  uint8_t init(const std::string &program, Ports &ports, const std::string &recordFile = "", uint8_t quiet = 1,
               double step = 0.01) {
    HilPortInterface r = ports.record();
    return zek_sfun_init(step, &slot, program.c_str(), recordFile.c_str(), &r, quiet);
  }
  std::string error() const { return slot != nullptr ? slot : ""; }
};

ChannelDecl *vmInput(const char *name) {
  VmData *d = zek_getData();
  for (uint16_t i = 0; i < d->inputCount; ++i)
    if (std::strcmp(d->inputs[i].name, name) == 0) return &d->inputs[i];
  return nullptr;
}

TEST_F(SfunHil, AMatrixArrivesRowMajorAndGoesBackColumnMajor) {
  MatrixIo io;
  ASSERT_EQ(init(image("matrix"), io.ports), 1) << error();
  EXPECT_EQ(slot, nullptr);
  // The library fills index and dimensions: a matrix gives its two, a scalar its count and 0.
  EXPECT_EQ(io.ports.in.dim1, (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(io.ports.in.dim2, (std::vector<uint32_t>{3, 0}));
  EXPECT_EQ(io.ports.out.dim1, (std::vector<uint32_t>{2, 1, 1}));
  EXPECT_EQ(io.ports.in.index, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(io.ports.out.index, (std::vector<uint32_t>{0, 1, 2}));

  ASSERT_EQ(zek_sfun(), 1) << error();
  ChannelDecl *u = vmInput("u");
  ASSERT_NE(u, nullptr);
  std::vector<double> vm(6);
  std::memcpy(vm.data(), u->value, sizeof(double) * 6);
  EXPECT_EQ(vm, (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(std::vector<double>(io.y, io.y + 6), (std::vector<double>{1, 4, 2, 5, 3, 6}));
  EXPECT_EQ(io.t, -7);
  EXPECT_EQ(io.n, 1);
  ASSERT_EQ(zek_sfun(), 1);
  EXPECT_EQ(io.n, 2);
  EXPECT_EQ(zek_getCycleCount(), 2u);
  EXPECT_EQ(zek_getDensity(), 10000u);
}

TEST_F(SfunHil, SignalsBeyondSixteenBitsCrossWhole) {
  std::vector<uint8_t> w(70000), v(70000);
  for (size_t i = 0; i < w.size(); ++i) w[i] = (uint8_t)(i * 7 + 1);
  Ports ports;
  ports.in.add("w", ZEK_UINT8, w.data());
  ports.out.add("v", ZEK_UINT8, v.data());
  ASSERT_EQ(init(image("wide"), ports), 1) << error();
  EXPECT_EQ(ports.in.dim2, std::vector<uint32_t>{70000});
  ASSERT_EQ(zek_sfun(), 1) << error();
  EXPECT_EQ(v, w);
  // The VM's data stay readable after the end of the run, until the next load.
  zek_sfun_terminate();
  EXPECT_STREQ(zek_getData()->inputs[0].name, "w");
}

TEST_F(SfunHil, TheBannerAndTheBuildGoToTheMatlabConsole) {
  MatrixIo io;
  ASSERT_EQ(init(image("matrix"), io.ports, record(), 0), 1) << error();
  std::string console = zmx::takeConsole();
  uintmax_t size = fs::file_size(image("matrix"));
  EXPECT_EQ(console.rfind("ZEK > Init ZEK VM\nZEK > Program file : " + image("matrix") +
                              "\nZEK > Record file : " + record() + "\nZEK > Build-Date  : ",
                          0),
            0u)
      << console;
  EXPECT_NE(console.find("ZEK > ProgLength  : " + std::to_string(size) + "\n"), std::string::npos) << console;
  // zek_printf of the library is the console's, cut at 2047 characters.
  std::string longText(3000, 'x');
  zek_printf("%s", longText.c_str());
  EXPECT_EQ(zmx::takeConsole(), std::string(2047, 'x'));
}

TEST_F(SfunHil, MatchingFailuresNameTheSignal) {
  struct Case {
    std::string program;
    const char *input, *output;
    uint32_t inputType;
    std::string message;
  } cases[] = {
      {"matrix", "nope", "y", ZEK_DOUBLE, "Unable to find signal 'nope' in ZEK VM's input signals."},
      {"matrix", "u", "nope", ZEK_DOUBLE, "Unable to find a signal with name 'nope' in the ZEK VM's output signals."},
      {"matrix", "u", "y", ZEK_INT16,
       "The signal 'u' has different data types. ZEK data type is 'double', but MATLAB data type is 'int16'."},
      {"matrix", "u", "y", 77,
       "The signal 'u' has different data types. ZEK data type is 'double', but MATLAB data type is 'unknown'."},
      {"cube", "c", nullptr, ZEK_DOUBLE,
       "The signal 'c' has 3 dimensions; only scalars, vectors and matrices can be exchanged."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    zek_sfun_terminate();
    double in[8] = {}, out[6] = {9, 9, 9, 9, 9, 9};
    Ports ports;
    ports.in.add(c.input, c.inputType, in);
    if (c.output != nullptr) ports.out.add(c.output, ZEK_DOUBLE, out);
    EXPECT_EQ(init(image(c.program), ports), 0);
    EXPECT_EQ(error(), c.message);
    // Stopped: every step writes a zero into the first element of each output.
    EXPECT_EQ(zek_sfun(), 0);
    if (c.output != nullptr) {
      EXPECT_EQ(out[0], 0.0);
      EXPECT_EQ(out[1], 9.0);
    }
    // Until terminated, a new init does nothing and fails.
    EXPECT_EQ(init(image(c.program), ports), 0);
  }
}

TEST_F(SfunHil, AfterAnErrorTheFirstElementOfEveryOutputIsZero) {
  int32_t d = 3, q = 0;
  int16_t r = 0;
  Ports ports;
  ports.in.add("d", ZEK_INT32, &d);
  ports.out.add("q", ZEK_INT32, &q);
  ports.out.add("r", ZEK_INT16, &r);
  ASSERT_EQ(init(image("dividing"), ports), 1) << error();
  ASSERT_EQ(zek_sfun(), 1) << error();
  EXPECT_EQ(q, 4);
  EXPECT_EQ(r, 7);
  d = 0;
  EXPECT_EQ(zek_sfun(), 0);
  EXPECT_NE(error().find("(error=106"), std::string::npos) << error();
  EXPECT_EQ(q, 0);
  EXPECT_EQ(r, 0);
  q = 99;
  r = 99;
  d = 4;
  EXPECT_EQ(zek_sfun(), 0);
  EXPECT_EQ(q, 0);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(zek_getCycleCount(), 1u) << "no cycle runs after the error";
}

TEST_F(SfunHil, AfterTheEndTheOutputsKeepTheirValues) {
  int32_t n = 0;
  Ports ports;
  ports.out.add("n", ZEK_INT32, &n);
  ASSERT_EQ(init(image("ending"), ports), 1) << error();
  int steps = 0;
  while (zek_sfun() == 1 && steps < 100) ++steps;
  EXPECT_EQ(steps, 3);
  EXPECT_EQ(slot, nullptr) << "the end of the test is no error";
  n = 1234;
  EXPECT_EQ(zek_sfun(), 0);
  EXPECT_EQ(n, 1234);
  EXPECT_EQ(init(image("ending"), ports), 0) << "finished until terminated";
  zek_sfun_terminate();
  EXPECT_EQ(init(image("ending"), ports), 1) << error();
}

TEST_F(SfunHil, CallsBeforeInitReportWithoutASlotOrThroughIt) {
  // No slot at all: nothing is stored, nothing breaks.
  EXPECT_EQ(zek_sfun_init(0.01, nullptr, image("matrix").c_str(), "", nullptr, 1), 0);
  zek_sfun_terminate();
  EXPECT_EQ(zek_sfun(), 0);
  zek_sfun_terminate();
  // A quiet init of a missing file keeps the slot and loads nothing.
  Ports ports;
  EXPECT_EQ(init((dir / "missing.zvm").string(), ports), 0);
  EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(zek_sfun(), 0);
  EXPECT_EQ(error(),
            "ZEK S-Function has not been initialized. Please, initialize ZEK S-Function before starting it.");
  zek_sfun_terminate();
  zek_sfun_terminate();
  // Not quiet, the missing file is reported.
  EXPECT_EQ(init((dir / "missing.zvm").string(), ports, "", 0), 0);
  EXPECT_EQ(error(), "Error opening ZVM file\n");
}

TEST_F(SfunHil, TheStepSizeIsRoundedToMicrosecondsAndAnUnusableOneIsRefused) {
  MatrixIo io;
  ASSERT_EQ(init(image("matrix"), io.ports, "", 1, 0.000249), 1) << error();
  EXPECT_EQ(zek_getDensity(), 249u) << "rounded to nearest, not truncated to 248";
  for (double step : {-1.0, 0.0, 1e-7, std::nan("")}) {
    SCOPED_TRACE(step);
    zek_sfun_terminate();
    slot = nullptr;
    EXPECT_EQ(init(image("matrix"), io.ports, "", 1, step), 0);
    EXPECT_NE(error().find("The ZEK S-Function needs a fixed step size of at least one microsecond."),
              std::string::npos)
        << error();
  }
}

TEST_F(SfunHil, VmMessagesAreCutOnlyInTheLccBuild) {
  expectVmMessagesCutInLccBuildOnly(ZEK_HIL_TEST_LCC);
}

TEST_F(SfunHil, ACutProgramFileIsRefused) {
  std::vector<uint8_t> bytes = readAll(image("matrix"));
  bytes.resize(bytes.size() / 2);
  fs::path cut = dir / "cut.zvm";
  std::ofstream(cut, std::ios::binary).write((const char *)bytes.data(), (std::streamsize)bytes.size());
  MatrixIo io;
  EXPECT_EQ(init(cut.string(), io.ports), 0);
  EXPECT_FALSE(error().empty());
}

// A file whose header is wrong or that is shorter than its image fails as a load that fails on
// its check sum: the loader's message with the context of the reset VM (not of the program
// run before), the program before discarded, the cycle length set, no record file, init 0.
TEST_F(SfunHil, AFileRefusedBeforeLoadingFailsAsAFailedLoad) {
  const std::vector<uint8_t> good = readAll(image("matrix"));
  const std::vector<zt::RefusedImage> cases = zt::refusedImages(good);
  const fs::path spoiled = dir / "spoiled.zvm";
  for (const auto &c : cases) {
    for (uint8_t quiet : {1, 0}) {
      SCOPED_TRACE(std::string(c.what) + (quiet ? ", quiet" : ", loud"));
      // A run before, whose cycles a stale context would show.
      MatrixIo before;
      ASSERT_EQ(init(image("matrix"), before.ports), 1) << error();
      for (int k = 0; k < 2; ++k) ASSERT_EQ(zek_sfun(), 1) << error();
      zek_sfun_terminate();

      std::vector<uint8_t> bytes = good;
      c.spoil(bytes);
      std::ofstream(spoiled, std::ios::binary).write((const char *)bytes.data(), (std::streamsize)bytes.size());
      slot = nullptr;
      MatrixIo io;
      io.n = 99;
      EXPECT_EQ(init(spoiled.string(), io.ports, record(), quiet, 0.002), 0);
      std::string reported = error();
      EXPECT_EQ(zek_getDensity(), 2000u) << "the cycle length is set";
      EXPECT_EQ(zek_getData()->channelCount, 0) << "the program before is discarded";
      EXPECT_FALSE(fs::exists(record())) << "no record file";
      EXPECT_EQ(zek_sfun(), 0);
      EXPECT_EQ(io.n, 0) << "stopped: the first element of every output is zero";
      EXPECT_EQ(error(), reported);

      zt::expectRefusedAsLoad(reported, c, bytes, good.size());
      zek_sfun_terminate();
    }
  }
}

// The interface record is the wrapper's, which frees it after terminate: no later step may
// reach it. The record's arrays are freed here; the value buffers stay, to show any write.
TEST_F(SfunHil, AfterTerminateNoStepReachesTheRecordOfTheRun) {
  const std::string notInitialised =
      "ZEK S-Function has not been initialized. Please, initialize ZEK S-Function before starting it.";
  struct Values {
    double u[6] = {1, 4, 2, 5, 3, 6};
    int16_t s = 1;
    double y[6] = {};
    int16_t t = 0;
    int32_t n = 0;
  };
  const struct {
    const char *what;
    // After terminate; the error then standing.
    void (*after)(char **slot, const std::string &missing, Ports &fresh);
    std::string error;
    bool freshZeroed;  // the fresh record of the init gets the zero of the stopped block
  } cases[] = {
      {"nothing", [](char **, const std::string &, Ports &) {}, notInitialised, false},
      {"an init without a record",
       [](char **slot, const std::string &, Ports &) {
         EXPECT_EQ(zek_sfun_init(0.01, slot, image("matrix").c_str(), "", nullptr, 1), 0);
         EXPECT_EQ(std::string(*slot), "No interface record was given.");
       },
       "No interface record was given.", false},
      {"an init of a missing file with a new record",
       [](char **slot, const std::string &missing, Ports &fresh) {
         HilPortInterface r = fresh.record();
         EXPECT_EQ(zek_sfun_init(0.01, slot, missing.c_str(), "", &r, 1), 0);
       },
       notInitialised, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Values v;
    auto ports = std::make_unique<Ports>();
    ports->in.add("u", ZEK_DOUBLE, v.u);
    ports->in.add("s", ZEK_INT16, &v.s);
    ports->out.add("y", ZEK_DOUBLE, v.y);
    ports->out.add("t", ZEK_INT16, &v.t);
    ports->out.add("n", ZEK_INT32, &v.n);
    slot = nullptr;
    ASSERT_EQ(init(image("matrix"), *ports), 1) << error();
    for (int k = 0; k < 2; ++k) ASSERT_EQ(zek_sfun(), 1) << error();
    ASSERT_EQ(v.n, 2);
    zek_sfun_terminate();
    ports.reset();
    v.y[0] = 7;
    v.t = 7;
    v.n = 7;

    double freshOut = 5;
    Ports fresh;
    fresh.out.add("y", ZEK_DOUBLE, &freshOut);
    c.after(&slot, (dir / "missing.zvm").string(), fresh);
    for (int k = 0; k < 2; ++k) EXPECT_EQ(zek_sfun(), 0);
    EXPECT_EQ(error(), c.error);
    EXPECT_EQ(v.y[0], 7.0) << "nothing is written into the buffers of the run before";
    EXPECT_EQ(v.t, 7);
    EXPECT_EQ(v.n, 7);
    EXPECT_EQ(freshOut, c.freshZeroed ? 0.0 : 5.0);
    zek_sfun_terminate();
  }
}

TEST_F(SfunHil, TheHostSimulationEntryIsRefused) {
  uint8_t status = 0;
  zek_sfun_hil(nullptr, 0, 0.0, nullptr, &status, &slot);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(error(), "\n This version of ZEK S-Function is only applicable for HiL system testing.\n\n");
  char *other = nullptr;
  zek_sfun_hil(nullptr, 1, 1.0, nullptr, nullptr, &other);
  EXPECT_EQ(std::string(other), error());
  // An error text is cut to 1023 characters.
  zek_reportError(std::string(5000, 'e').c_str());
  EXPECT_EQ(std::string(other), std::string(1023, 'e'));
}

TEST_F(SfunHil, ARepeatedInitTakesTheNewBuffersAndKeepsTheMatching) {
  MatrixIo first;
  ASSERT_EQ(init(image("matrix"), first.ports), 1) << error();
  ASSERT_EQ(zek_sfun(), 1);
  EXPECT_EQ(first.n, 1);
  // The wrapper moved its buffers: a new record, its index arrays not yet filled.
  MatrixIo second;
  second.u[0] = 10;
  ASSERT_EQ(init(image("matrix"), second.ports), 1) << error();
  EXPECT_EQ(second.ports.in.index, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(second.ports.out.index, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(second.ports.in.dim2, (std::vector<uint32_t>{3, 0}));
  ASSERT_EQ(zek_sfun(), 1);
  EXPECT_EQ(second.n, 2);
  EXPECT_EQ(second.y[0], 10.0);
  EXPECT_EQ(first.n, 1) << "the old buffers are left alone";
  // A record naming other signals cannot keep the matching.
  MatrixIo third;
  third.ports.in.names[1] = "u";
  third.ports.in.types[1] = ZEK_DOUBLE;
  EXPECT_EQ(init(image("matrix"), third.ports), 0);
  EXPECT_EQ(error(), "The interface record of a repeated initialisation does not name the signals matched before.");
}

TEST_F(SfunHil, TheProgramFileIsNeverTakenForTheRecordFile) {
  MatrixIo io;
  std::string program = record("program.zvm");
  fs::copy_file(image("matrix"), program);
  std::vector<uint8_t> bytes = readAll(program);
  EXPECT_EQ(init(program, io.ports, program, 0), 0);
  EXPECT_EQ(error(), "The output file '" + program + "' is the program file; it is not overwritten.");
  EXPECT_EQ(readAll(program), bytes);
}

TEST_F(SfunHil, AnEmptyRecordPathFailsUnlessQuiet) {
  MatrixIo io;
  EXPECT_EQ(init(image("matrix"), io.ports, "", 0), 0);
  std::string console = zmx::takeConsole();
  EXPECT_NE(console.find("ZEK > Output file '<Empty file name>'."), std::string::npos) << console;
  EXPECT_EQ(error(), "Error opening output file. Missing or corrupt workspace variable 'zek_zekbinoutfile'.");
  zek_sfun_terminate();
  slot = nullptr;
  EXPECT_EQ(init(image("matrix"), io.ports, record(), 1), 1) << error();
  EXPECT_TRUE(zmx::takeConsole().empty()) << "quiet: no banner";
  ASSERT_EQ(zek_sfun(), 1);
  zek_sfun_terminate();
  EXPECT_FALSE(fs::exists(record())) << "quiet: no record file";
}

// Runs the matrix program for a number of steps with a record file and reads it back.
z8::File recordedRun(const std::string &program, const std::string &path, int steps) {
  MatrixIo io;
  HilPortInterface r = io.ports.record();
  char *slot = nullptr;
  EXPECT_EQ(zek_sfun_init(0.01, &slot, program.c_str(), path.c_str(), &r, 0), 1) << (slot ? slot : "");
  for (int i = 0; i < steps; ++i) {
    io.u[0] = 100 + i;
    EXPECT_EQ(zek_sfun(), 1);
  }
  zek_sfun_terminate();
  return z8::read(readAll(path));
}

TEST_F(SfunHil, TheRecordFileHoldsTheParametersAndOneRowPerCycle) {
  z8::File f = recordedRun(image("matrix"), record(), 3);
  EXPECT_EQ(f.version, 8);
  EXPECT_EQ(f.sutSynchronous, 0);
  std::vector<std::string> names;
  for (const z8::Decl &d : f.decls) names.push_back(d.name);
  EXPECT_EQ(names, (std::vector<std::string>{"u", "y", "n", "k"}));
  EXPECT_EQ(f.decls[0].dims, (std::vector<uint32_t>{2, 3}));
  ASSERT_EQ(f.blocks.size(), 2u);
  const z8::Block &params = f.blocks[0];
  EXPECT_EQ(params.ids, std::vector<uint16_t>{f.decls[3].id});
  EXPECT_EQ(params.firstTime, 0u);
  EXPECT_EQ(params.step, 20000u) << "(cycles - 1) x density";
  ASSERT_EQ(params.rows.size(), 1u);
  EXPECT_EQ(z8::valuesOf<int32_t>(f, params, 0, f.decls[3].id), std::vector<int32_t>{42});
  const z8::Block &signals = f.blocks[1];
  EXPECT_EQ(signals.step, 10000u);
  ASSERT_EQ(signals.rows.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(z8::valuesOf<int32_t>(f, signals, i, f.decls[2].id), std::vector<int32_t>{(int32_t)i + 1});
    EXPECT_EQ(z8::valuesOf<double>(f, signals, i, f.decls[0].id),
              (std::vector<double>{100.0 + (double)i, 2, 3, 4, 5, 6}));
  }
}

TEST_F(SfunHil, ShortRunsStillFinishTheirFile) {
  for (int steps : {0, 1, 2}) {
    SCOPED_TRACE(steps);
    std::string path = record(("run" + std::to_string(steps) + ".zekbin").c_str());
    z8::File f = recordedRun(image("matrix"), path, steps);  // the reader needs every end byte
    ASSERT_EQ(f.blocks.size(), 2u);
    EXPECT_EQ(f.blocks[1].rows.size(), (size_t)steps);
    EXPECT_EQ(f.blocks[0].step, steps > 1 ? (uint64_t)(steps - 1) * 10000 : 1u);
  }
}

TEST_F(SfunHil, ASutSynchronousRunRecordsBeforeTheCycle) {
  z8::File f = recordedRun(image("matrix_sut"), record(), 3);
  EXPECT_EQ(f.sutSynchronous, 1);
  ASSERT_EQ(f.blocks.size(), 2u);
  const z8::Block &signals = f.blocks[1];
  ASSERT_EQ(signals.rows.size(), 2u) << "the last cycle has no row of its own";
  // The row before cycle 2 shows cycle 1's outputs and cycle 2's inputs.
  EXPECT_EQ(z8::valuesOf<int32_t>(f, signals, 1, f.decls[2].id), std::vector<int32_t>{2});
}

// The MATLAB side of the client program's function: doubles its argument.
int twice(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], void *) {
  if (nlhs != 1 || nrhs != 1 || mxGetClassID(prhs[0]) != ZEK_MX_DOUBLE_CLASS) return 1;
  double in;
  std::memcpy(&in, mxGetData(prhs[0]), sizeof in);
  in *= 2;
  plhs[0] = zmx::numeric(ZEK_MX_DOUBLE_CLASS, {1, 1}, &in);
  return 0;
}

// Answers with an empty double array.
int nothing(int, mxArray *plhs[], int, mxArray *[], void *) {
  plhs[0] = zmx::numeric(ZEK_MX_DOUBLE_CLASS, {0, 0}, nullptr);
  return 0;
}

TEST_F(SfunHil, ClientFunctionsRunAsMatlabFunctions) {
  zmx::define("twice", twice);
  double x = 21, y = 0;
  Ports ports;
  ports.in.add("x", ZEK_DOUBLE, &x);
  ports.out.add("y", ZEK_DOUBLE, &y);
  ASSERT_EQ(init(image("client"), ports, record(), 0), 1) << error();
  ASSERT_EQ(zek_sfun(), 1) << error();
  EXPECT_EQ(y, 42.0);
  ASSERT_EQ(zmx::calls().size(), 1u);
  EXPECT_EQ(zmx::calls()[0].nlhs, 1);
  EXPECT_EQ(zmx::calls()[0].nrhs, 1);
  EXPECT_TRUE(zmx::calls()[0].trapped) << "a failing MATLAB function must come back";
  // A result too short for the channel is refused, not read past its end.
  zmx::define("twice", nothing);
  EXPECT_EQ(zek_sfun(), 0);
  EXPECT_NE(error().find("Function 'twice': MATLAB returned 0 elements for the output argument 'b' of 1 elements."),
            std::string::npos)
      << error();
  zek_sfun_terminate();
  // A MATLAB failure raises the client-function error.
  zmx::reset();
  ASSERT_EQ(init(image("client"), ports, record(), 0), 1) << error();
  EXPECT_EQ(zek_sfun(), 0);
  EXPECT_NE(error().find("Error in matlab client function"), std::string::npos) << error();
  zek_sfun_terminate();
  EXPECT_EQ(zmx::liveArrays(), 0) << "every array is released";
  EXPECT_EQ(zmx::liveBlocks(), 0) << "every block is released";
}

// The IDE exchange of this library: layout 1 with version-8 declarations.
TEST_F(SfunHil, TheExchangeBlockHasLayoutOneWithShortDeclarations) {
  PlatEvent *toVm = plat_event_create("ZEK-TO-ZVM-EVENT");
  PlatEvent *toIde = plat_event_create("ZVM-TO-ZEK-EVENT");
  ASSERT_NE(toVm, nullptr);
  ASSERT_NE(toIde, nullptr);
  fs::path dump = dir / "block";
  std::string log = (dir / "ide.log").string(), dumpPath = dump.string();
  // The IDE answers the first cycle, then waits for the end of the run.
  const char *argv[] = {ZEK_TEST_IDE, log.c_str(), "attach", "await", "layout", "dump", dumpPath.c_str(),
                        "answer",     "await",     "answer", nullptr};
  PlatProcess *ide = plat_process_start(argv);
  ASSERT_NE(ide, nullptr);
  ASSERT_EQ(plat_event_wait(toVm, 20000), PLAT_WAIT_OK);
  MatrixIo io;
  ASSERT_EQ(init(image("matrix"), io.ports), 1) << error();
  EXPECT_EQ(zek_sfun(), 1) << error();
  // Stopped before its end, the run still tells the attached IDE that it is over.
  zek_sfun_terminate();
  EXPECT_EQ(plat_process_wait(ide, 20000), PLAT_WAIT_OK);
  EXPECT_EQ(plat_process_exit_code(ide), 0);
  plat_process_close(ide);
  plat_event_close(toVm);
  plat_event_close(toIde);

  std::ifstream logIn(log);
  std::string logText{std::istreambuf_iterator<char>(logIn), std::istreambuf_iterator<char>()};
  EXPECT_NE(logText.find("names=u,s,y,t,n,k"), std::string::npos) << logText;
  EXPECT_NE(logText.find(" result=2 "), std::string::npos) << logText;
  std::vector<uint8_t> block = readAll(dump);
  ASSERT_GT(block.size(), 280u);
  EXPECT_EQ(block[4], 1) << "layout version";
  z8::Cursor c{block, 276};
  EXPECT_EQ(c.get<uint16_t>(), 0) << "no enum sets";
  uint16_t channels = c.get<uint16_t>();
  std::vector<std::string> names;
  for (uint16_t i = 0; i < channels; ++i) names.push_back(z8::readDecl(c).name);
  EXPECT_EQ(names, (std::vector<std::string>{"u", "s", "y", "t", "n", "k"}));
  // Behind the declarations: S, the heap copy and three mark levels, the overwrite flag.
  uint32_t padded = c.get<uint32_t>();
  EXPECT_EQ(padded % 512, 0u);
  EXPECT_EQ(block.size(), c.pos + padded + padded / 8 + padded / 64 + padded / 512 + 1);
}

}  // namespace

// ---- Callbacks of the wrapper inside the library's own step --------------------------------

namespace {

bool g_reenterArmed = false;
uint8_t g_reenterInit = 2;

// Terminates and initialises the library again from inside its step, once when armed.
void reenter() {
  if (!g_reenterArmed) return;
  g_reenterArmed = false;
  zek_sfun_terminate();
  g_reenterInit = zek_sfun(); // a step of its own is refused as well
  Ports none;
  HilPortInterface r = none.record();
  char *ownSlot = nullptr;
  g_reenterInit = (uint8_t)(g_reenterInit * 10 + zek_sfun_init(0.01, &ownSlot, "", "", &r, 0));
  EXPECT_NE(ownSlot, nullptr) << "the refusal is told in the slot of the refused call too";
}

uint8_t boxReenters(uint32_t, uint8_t, const char *, uint8_t, const char *) {
  reenter();
  return 1;
}
uint8_t boxAnswers(uint32_t, uint8_t, const char *, uint8_t, const char *) { return 1; }
int twiceReenters(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], void *context) {
  reenter();
  return twice(nlhs, plhs, nrhs, prhs, context);
}

// The message box and a MATLAB client function try to terminate, step and initialise the
// library from inside its step: each is refused, nothing is freed, loaded or closed, the step
// ends with the error, and the record file holds the cycles before.
TEST_F(SfunHil, TerminateStepAndInitFromInsideTheStepAreRefused) {
  for (bool byBox : {true, false}) {
    SCOPED_TRACE(byBox ? "message box" : "MATLAB client function");
    zek_sfun_terminate();
    zmx::reset();
    slot = nullptr;
    zmx::define("twice", byBox ? twice : twiceReenters);
    double x = 21, y = 0;
    Ports ports;
    ports.in.add("x", ZEK_DOUBLE, &x);
    ports.out.add("y", ZEK_DOUBLE, &y);
    ASSERT_EQ(init(image("reentry"), ports, record(), 0), 1) << error();
    zek_installMessageBoxCmd(byBox ? boxReenters : boxAnswers);
    ASSERT_EQ(zek_sfun(), 1) << error();
    EXPECT_EQ(y, 42.0);
    const VmData *data = zek_getData();

    g_reenterArmed = true;
    g_reenterInit = 2;
    x = 5;
    EXPECT_EQ(zek_sfun(), 0);
    EXPECT_EQ(g_reenterInit, 0) << "the nested step and the init answer 0";
    EXPECT_NE(error().find("zek_sfun_terminate(): not allowed inside a cycle; call it between cycles. (error=119"),
              std::string::npos)
        << error();
    EXPECT_EQ(y, 0.0) << "a failed step writes zero";
    z8::File f = z8::read(readAll(record()));
    ASSERT_EQ(f.blocks.size(), 1u);
    EXPECT_EQ(f.blocks[0].rows.size(), 1u);
    // The program run before is still the VM's, and runs again.
    EXPECT_EQ(zek_getData(), data);
    EXPECT_STREQ(vmInput("x")->name, "x");
    zek_installMessageBoxCmd(boxAnswers);
    EXPECT_EQ(zek_runCycle(), (uint32_t)ZEK_CYCLE_GO_ON) << zek_getErrorMessage();
    // Between steps the library is terminated and initialised as usual.
    zek_sfun_terminate();
    slot = nullptr;
    zmx::define("twice", twice);
    ASSERT_EQ(init(image("reentry"), ports, record("again.zekbin"), 0), 1) << error();
    zek_installMessageBoxCmd(boxAnswers);
    EXPECT_EQ(zek_sfun(), 1) << error();
    EXPECT_EQ(y, 10.0);
  }
}

}  // namespace

// ---- Callbacks of the wrapper inside the initialisation, and the host-simulation entry -----

namespace {

// What an armed callback calls, what each call answered, and the text its refusal left: in a
// slot of its own, else in the running export's slot; a call of the VM's exports leaves the
// VM's error (its message without the context).
struct CallingIn {
  bool armed = false;
  void (*call)() = nullptr;
  char **runningSlot = nullptr;
  std::vector<int64_t> answers;
  std::vector<std::string> told;
  uint16_t vmCode = 0;
};
CallingIn g_callingIn;

void callIn() {
  if (!g_callingIn.armed) return;
  g_callingIn.armed = false;
  g_callingIn.call();
}

std::string slotText(const char *text) { return text != nullptr ? text : ""; }

void callsRestart() {
  zek_sfun_terminate();
  g_callingIn.told.push_back(slotText(*g_callingIn.runningSlot));
  MatrixIo io;
  HilPortInterface r = io.ports.record();
  char *own = nullptr;
  g_callingIn.answers.push_back(zek_sfun_init(0.01, &own, image("matrix").c_str(), "", &r, 0));
  g_callingIn.told.push_back(slotText(own));
}
void callsStep() {
  g_callingIn.answers.push_back(zek_sfun());
  g_callingIn.told.push_back(slotText(*g_callingIn.runningSlot));
}
// Its slot lives on the callback's stack, gone once the callback returns.
void callsHostSimulation() {
  char *own = nullptr;
  uint8_t status = 0;
  zek_sfun_hil(nullptr, 0, 0.0, nullptr, &status, &own);
  g_callingIn.answers.push_back(status);
  g_callingIn.told.push_back(slotText(own));
}
void vmAnswered(uint32_t answer) {
  g_callingIn.answers.push_back(answer);
  g_callingIn.vmCode = zek_getErrorCode();
  std::string message = zek_getErrorMessage();
  g_callingIn.told.push_back(message.substr(0, message.rfind(" (error=")));
}
// A load that went through would leave the VM running from these bytes: they stay.
void callsLoad() {
  static const std::vector<uint8_t> other = readAll(image("matrix"));
  vmAnswered(zek_load(other.data()));
}
void callsRunCycle() { vmAnswered(zek_runCycle()); }

void errorHandlerCallsIn() { callIn(); }
uint8_t boxCallsIn(uint32_t, uint8_t, const char *, uint8_t, const char *) {
  callIn();
  return 1;
}
int twiceCallsIn(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], void *context) {
  callIn();
  return twice(nlhs, plhs, nrhs, prhs, context);
}
int twiceFails(int, mxArray *[], int, mxArray *[], void *) { return 1; }

std::string refusal(const char *called, const char *running) {
  return std::string(called) + "(): not allowed while " + running + "() runs; call it after it returns.";
}

class SfunHilCallingIn : public SfunHil {
 protected:
  void TearDown() override {
    zek_setErrorHandler(nullptr);
    zek_installMessageBoxCmd(boxAnswers);
    g_callingIn = CallingIn{};
    SfunHil::TearDown();
  }
  // Arms the callbacks to make call while the running export's slot is the wrapper's.
  void arm(void (*call)()) {
    g_callingIn = CallingIn{};
    g_callingIn.call = call;
    g_callingIn.runningSlot = &slot;
    g_callingIn.armed = true;
  }
  // Once the export has returned, the library is terminated, initialised and run as usual,
  // and the record file holds the run's cycles.
  void expectAnOrdinaryRun() {
    zek_setErrorHandler(nullptr);
    zek_installMessageBoxCmd(boxAnswers);
    zek_sfun_terminate();
    z8::File f = recordedRun(image("matrix"), record("ordinary.zekbin"), 3);
    ASSERT_EQ(f.blocks.size(), 2u);
    ASSERT_EQ(f.blocks[1].rows.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
      EXPECT_EQ(z8::valuesOf<int32_t>(f, f.blocks[1], i, f.decls[2].id), std::vector<int32_t>{(int32_t)i + 1});
  }
};

// The VM's error handler of a failing load calls the exports while the initialisation runs:
// each call is refused and told (in its own slot where it has one), nothing is freed, loaded or
// run under the initialisation, which fails with the load's own message in the wrapper's slot,
// and the library runs as usual after it.
TEST_F(SfunHilCallingIn, ExportsFromTheErrorHandlerOfInitAreRefused) {
  const std::vector<uint8_t> good = readAll(image("matrix"));
  const fs::path cut = dir / "cut.zvm";
  {
    std::vector<uint8_t> bytes(good.begin(), good.end() - 10);
    std::ofstream(cut, std::ios::binary).write((const char *)bytes.data(), (std::streamsize)bytes.size());
  }
  std::string cutLoad;
  for (const zt::RefusedImage &r : zt::refusedImages(good))
    if (std::string(r.what) == "cut") cutLoad = r.message;
  const std::string role = image("unknown_role");
  const std::string roleLoad = "Unknown role id: '9' for channel id '6'." + zt::kRefusedLoadContext;
  const struct {
    const char *what;
    std::string program;
    std::string load;  // the load's message
    void (*call)();
    std::vector<int64_t> answers;
    std::vector<std::string> told;
    uint16_t vmCode;
  } cases[] = {
      {"terminate, init; cut file", cut.string(), cutLoad, callsRestart, {0},
       {refusal("zek_sfun_terminate", "zek_sfun_init"), refusal("zek_sfun_init", "zek_sfun_init")}, 0},
      {"terminate, init; unknown role", role, roleLoad, callsRestart, {0},
       {refusal("zek_sfun_terminate", "zek_sfun_init"), refusal("zek_sfun_init", "zek_sfun_init")}, 0},
      {"a step", cut.string(), cutLoad, callsStep, {0}, {refusal("zek_sfun", "zek_sfun_init")}, 0},
      {"host simulation", cut.string(), cutLoad, callsHostSimulation, {4}, {refusal("zek_sfun_hil", "zek_sfun_init")},
       0},
      {"zek_load", role, roleLoad, callsLoad, {1}, {refusal("zek_load", "zek_load")}, 123},
      {"zek_runCycle", cut.string(), cutLoad, callsRunCycle, {1}, {refusal("zek_runCycle", "zek_load")}, 123},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    // A run before, whose program the initialisation replaces.
    zek_sfun_terminate();
    slot = nullptr;
    MatrixIo before;
    ASSERT_EQ(init(image("matrix"), before.ports), 1) << error();
    for (int k = 0; k < 2; ++k) ASSERT_EQ(zek_sfun(), 1) << error();
    zek_sfun_terminate();

    MatrixIo io;
    zek_setErrorHandler(errorHandlerCallsIn);
    arm(c.call);
    EXPECT_EQ(init(c.program, io.ports, record(), 0), 0);
    zek_setErrorHandler(nullptr);
    EXPECT_FALSE(g_callingIn.armed);
    EXPECT_EQ(g_callingIn.answers, c.answers);
    EXPECT_EQ(g_callingIn.told, c.told);
    EXPECT_EQ(g_callingIn.vmCode, c.vmCode);
    EXPECT_EQ(error(), c.load) << "the load's own message, in the wrapper's slot";
    EXPECT_EQ(zek_getData()->channelCount, 0) << "the failed load leaves no program";
    EXPECT_FALSE(fs::exists(record())) << "no record file";
    expectAnOrdinaryRun();
  }
}

// The host-simulation entry called from a callback inside the step, with a slot on the
// callback's stack: it is refused and says so in that slot while it lives; the step fails with
// its message in the wrapper's own slot, the record file holds the cycles before, and the
// library runs as usual afterwards.
TEST_F(SfunHilCallingIn, TheHostSimulationEntryFromInsideTheStepIsRefused) {
  const std::string refused = "zek_sfun_hil(): not allowed inside a cycle; call it between cycles.";
  const struct {
    const char *what;
    ZekMessageBoxCmd box;
    zmx::Function function;  // the MATLAB side of twice
    bool byErrorHandler;
    std::string stepEnd;  // the start of the step's message
  } cases[] = {
      {"message box", boxCallsIn, twice, false, refused + " (error=119,"},
      {"MATLAB client function", boxAnswers, twiceCallsIn, false, "Function 'twice': " + refused + " (error=119,"},
      {"error handler", boxAnswers, twiceFails, true, "Function 'twice': Error in matlab client function (error=10000,"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    zek_sfun_terminate();
    zmx::reset();
    slot = nullptr;
    zmx::define("twice", twice);
    double x = 21, y = 0;
    Ports ports;
    ports.in.add("x", ZEK_DOUBLE, &x);
    ports.out.add("y", ZEK_DOUBLE, &y);
    ASSERT_EQ(init(image("reentry"), ports, record(), 0), 1) << error();
    zek_installMessageBoxCmd(boxAnswers);
    ASSERT_EQ(zek_sfun(), 1) << error();
    EXPECT_EQ(y, 42.0);

    zmx::define("twice", c.function);
    zek_installMessageBoxCmd(c.box);
    zek_setErrorHandler(c.byErrorHandler ? errorHandlerCallsIn : nullptr);
    arm(callsHostSimulation);
    x = 5;
    EXPECT_EQ(zek_sfun(), 0);
    zek_setErrorHandler(nullptr);
    EXPECT_FALSE(g_callingIn.armed);
    EXPECT_EQ(g_callingIn.answers, std::vector<int64_t>{4});
    EXPECT_EQ(g_callingIn.told, std::vector<std::string>{refused});
    EXPECT_EQ(error().rfind(c.stepEnd, 0), 0u) << error();
    EXPECT_EQ(y, 0.0) << "a failed step writes zero";
    z8::File f = z8::read(readAll(record()));
    ASSERT_EQ(f.blocks.size(), 1u);
    EXPECT_EQ(f.blocks[0].rows.size(), 1u);
    expectAnOrdinaryRun();
  }
}

}  // namespace
