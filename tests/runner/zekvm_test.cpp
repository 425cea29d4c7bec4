// zekvm run as a user runs it: a child process with real program, input and record files.
// Record files are checked with the independent decoder.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "image_builder.h"
#include "runner_support.h"
#include "zek_platform.h"

namespace {

using rr::Bytes;

const std::string kUsageTail =
    " <programfile> [-i <inputfile>] [-o <outputfile>] [options]\n\n"
    "Where [options] are:\n"
    "\t-c log outputs to console\n"
    "\t-s execute program step-by-step\n"
    "\t-m use shared mem\n"
    "\t-b use message box\n"
    "\t-e show raw error message\n";

std::string usage(const std::string &self) { return "Please specify the inputfile\n\n" + self + kUsageTail; }

const std::string kPrompt = "Please enter <s> : Single Step <c> : Cancel <r> : Run ";

constexpr uint8_t kRecorded = 0x02;
constexpr uint32_t kCycleTime = 2500;

// A program with a recorded input x (int32, initial value 5), an input that is not recorded,
// the inputs that extra adds, and a recorded output y.
zt::Program feedProgram(uint32_t timeout, bool sut = false, const std::string &code = "ENDCYCLE",
                        void (*extra)(zt::Program &) = nullptr) {
  zt::Program p;
  p.timeout = timeout;
  p.density = kCycleTime;
  p.flags = sut ? 1 : 0;
  zt::Channel &x = p.channel("x", 6, 0);
  x.flags = kRecorded;
  x.init = zt::bytesOf<int32_t>({5});
  p.channel("hidden", 6, 0);  // not recorded, never fed
  if (extra != nullptr) extra(p);
  p.channel("y", 6, 1).flags = kRecorded;
  p.code = code;
  return p;
}

using rr::writeProgram;

std::string writeInput(const std::vector<rr::Signal> &signals, const std::string &name = "input.zekbin") {
  std::string path = rr::tempPath(name);
  rr::writeRecording(path, signals);
  return path;
}

TEST(ZekvmCommandLine, UsageErrorsPrintTheUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"prog.zvm", "second.zvm"},
      {"prog.zvm", "-x"},
      {"prog.zvm", "-ss"},
      {"prog.zvm", "-"},
      {"prog.zvm", "-o"},
      {"prog.zvm", "-i"},
      {"prog.zvm", "-s", "-i", "in.zekbin", "-o"},
      {"prog.zvm", "-i", "in.zekbin", "extra"},
  };
  for (const auto &args : cases) {
    std::string shown;
    for (const std::string &a : args) shown += " " + a;
    rr::Run run = rr::runZekvm(args);
    EXPECT_EQ(run.exitCode, 1) << shown;
    EXPECT_EQ(run.out, usage(ZEKVM_PATH)) << shown;
    EXPECT_EQ(run.err, "") << shown;
  }
  // The usage names the program as it was called.
  rr::Run run = rr::runZekvm({}, "", "my-runner");
  EXPECT_EQ(run.out, usage("my-runner"));
}

TEST(ZekvmCommandLine, AcceptedOptionsRunTheProgram) {
  std::string program = writeProgram(feedProgram(2));
  for (const std::vector<std::string> &extra : std::vector<std::vector<std::string>>{{}, {"-c"}, {"-e"}, {"-c", "-e", "-c"}}) {
    std::vector<std::string> args{program};
    args.insert(args.end(), extra.begin(), extra.end());
    rr::Run run = rr::runZekvm(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
  }
}

struct ErrorCase {
  const char *name;
  std::vector<std::string> args;
  std::string err;  // exact
};

TEST(ZekvmErrors, EveryFailureExitsWithOneAndSaysWhy) {
  std::string program = writeProgram(feedProgram(3));
  std::string missing = rr::tempPath("missing.zvm");
  std::string dir = ::testing::TempDir();
  std::string badInput = rr::tempPath("bad.zekbin");
  rr::writeAll(badInput, Bytes{'N', 'O', 'T', 'Z', 'E', 'K', 'B', 'I', 'N'});
  rr::Signal noRows;
  noRows.name = "x";
  std::string emptyInput = writeInput({noRows}, "norows.zekbin");
  std::string missingInput = rr::tempPath("missing.zekbin");
  const std::string folderError = "ERROR: An error occurred while reading the program file '" + dir + "'.";
#if defined(_WIN32)
  // The system's texts are its own.
  char notFound[256];
  plat_error_text(2, notFound, sizeof notFound);  // ERROR_FILE_NOT_FOUND
#else
  const char *notFound = "No such file or directory";
#endif
  const ErrorCase cases[] = {
      {"program missing", {missing}, "ERROR: The program file '" + missing + "' could not be opened."},
      {"program is a folder", {dir}, folderError},
      {"record file cannot be created", {program, "-o", dir + "no/such/folder/out.zekbin"},
       "ERROR: while opening outputfile"},
      {"input missing", {program, "-i", missingInput},
       "[ERROR]: " + std::string(notFound) + "\n"
       "ERROR: The ZEKBIN reader returned error code '5' while opening the input file.\n"},
      {"input not a record file", {program, "-i", badInput},
       "[ERROR]: Invalid magic key: NOTZEK\n"
       "ERROR: The ZEKBIN reader returned error code '1' while opening the input file.\n"},
      {"input without rows", {program, "-i", emptyInput},
       "ERROR: the ZEKBIN reader returned error code '6' while reading the first block of data.\n"},
  };
  for (const ErrorCase &c : cases) {
    rr::Run run = rr::runZekvm(c.args);
    EXPECT_EQ(run.exitCode, 1) << c.name;
    EXPECT_EQ(run.err, c.err) << c.name;
    EXPECT_EQ(run.out, "") << c.name;
  }
}

// A failure after the record file was opened still leaves a finished record file.
TEST(ZekvmErrors, FailuresLeaveAFinishedRecordFile) {
  std::string out = rr::tempPath("out.zekbin");
  // The input cannot be opened: the program's channels are declared, no row is written.
  std::string program = writeProgram(feedProgram(3));
  rr::Run run = rr::runZekvm({program, "-o", out, "-i", rr::tempPath("missing.zekbin")});
  EXPECT_EQ(run.exitCode, 1);
  zd::File f = rr::decodeFile(out);
  ASSERT_EQ(f.signals.size(), 2u);
  EXPECT_EQ(f.signals[0].name, "x");
  EXPECT_EQ(f.signals[1].name, "y");
  EXPECT_EQ(f.rows(), 0);

  // The program does not load (cut short): a recording of no signal.
  Bytes image = feedProgram(3).build().bytes;
  image.resize(image.size() - 6);
  std::string cut = rr::tempPath("cut.zvm");
  rr::writeAll(cut, image);
  run = rr::runZekvm({cut, "-o", out});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("Malformed program image"), std::string::npos) << run.err;
  f = rr::decodeFile(out);
  EXPECT_EQ(f.signals.size(), 0u);
  EXPECT_EQ(f.rows(), 0);
}

// y = 100 / x fails in cycle 3, when x becomes 0.
TEST(ZekvmErrors, RuntimeErrorInALaterCycle) {
  for (bool sut : {false, true}) {
    std::string program = writeProgram(feedProgram(100, sut, "PUSHINT32 100; READALL x; DIV; WRITEALL y; ENDCYCLE"));
    std::string input = writeInput({rr::scalar<int32_t>("x", 6, {9, 4, 2, 0, 1})});
    std::string out = rr::tempPath("out.zekbin");
    rr::Run run = rr::runZekvm({program, "-i", input, "-o", out});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("time=0.007500s)"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\n'), std::string::npos) << "one message: " << run.err;
    zd::File f = rr::decodeFile(out);
    if (!sut) {
      EXPECT_EQ(rr::column<int32_t>(f, 0), (std::vector<int32_t>{5, 4, 2, 0}));
      EXPECT_EQ(rr::column<int32_t>(f, 1), (std::vector<int32_t>{20, 25, 50, 50}));
    } else {
      EXPECT_EQ(rr::column<int32_t>(f, 1), (std::vector<int32_t>{20, 25, 50}));
    }
  }
}

TEST(ZekvmErrors, RuntimeErrorEndsTheRunWithAFinishedFile) {
  for (bool sut : {false, true}) {
    std::string program = writeProgram(feedProgram(10, sut, "ENDERROR 7 \"boom\""));
    std::string out = rr::tempPath("out.zekbin");
    rr::Run run = rr::runZekvm({program, "-o", out});
    EXPECT_EQ(run.exitCode, 1) << sut;
    EXPECT_EQ(run.err.rfind("boom (error=7, ", 0), 0u) << run.err;
    EXPECT_EQ(run.out, "");
    zd::File f = rr::decodeFile(out);
    EXPECT_NE(f.indexPosition, 0);
    EXPECT_NE(f.eventListPosition, 0);
    // The failed cycle is recorded after it ran, unless rows lag a cycle behind.
    EXPECT_EQ(f.rows(), sut ? 0 : 1);
  }
}

struct StepCase {
  const char *answers;
  int prompts;
  int rows;
};

TEST(ZekvmStepMode, AnswersDecideTheCycles) {
  std::string program = writeProgram(feedProgram(5));  // cycles 0 to 5
  const StepCase cases[] = {
      {"c\n", 1, 0},            // cancel before the first cycle
      {"", 1, 0},               // no answer at all: cancel
      {"s\nc\n", 2, 1},
      {"s\n", 2, 1},            // the answers run out: cancel
      {"x\n\ns\nc\n", 4, 3},    // anything else is one step
      {"s\ns\nr\n", 3, 6},      // run to the end
      {"r\n", 1, 6},
      {"sssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssss"
       "sssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssss"
       "sssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssssss"
       "rrrr\nc\n", 2, 1},    // one long answer is one answer
  };
  for (const StepCase &c : cases) {
    std::string out = rr::tempPath("out.zekbin");
    rr::Run run = rr::runZekvm({program, "-s", "-o", out}, c.answers);
    EXPECT_EQ(run.exitCode, 0) << c.answers;
    std::string prompts;
    for (int i = 0; i < c.prompts; ++i) prompts += kPrompt;
    EXPECT_EQ(run.out, prompts) << c.answers;
    EXPECT_EQ(run.err, "") << c.answers;
    zd::File f = rr::decodeFile(out);
    EXPECT_EQ(f.rows(), c.rows) << c.answers;
    EXPECT_EQ(f.signals.size(), 2u);
  }
}

TEST(ZekvmInput, NRowsDriveNCyclesAndRowZeroIsNotApplied) {
  std::string program = writeProgram(feedProgram(100, false, "READALL x; WRITEALL y; ENDCYCLE"));
  std::string input = writeInput({rr::scalar<int32_t>("x", 6, {10, 11, 12, 13, 14, 15, 16})});
  std::string out = rr::tempPath("out.zekbin");
  rr::Run run = rr::runZekvm({program, "-i", input, "-o", out});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
  zd::File f = rr::decodeFile(out);
  ASSERT_EQ(f.rows(), 7);
  // Cycle 0 runs on the initial value; cycle k on row k. The output copies what the program read.
  EXPECT_EQ(rr::column<int32_t>(f, 0), (std::vector<int32_t>{5, 11, 12, 13, 14, 15, 16}));
  EXPECT_EQ(rr::column<int32_t>(f, 1), (std::vector<int32_t>{5, 11, 12, 13, 14, 15, 16}));
}

// Paths are UTF-8 on every system: program, input and record file in a folder whose name is
// not ASCII (wide-character names towards Windows).
TEST(ZekvmInput, FilesBehindUtf8Paths) {
  namespace fs = std::filesystem;
  const std::string dir = rr::tempPath("Gr\xC3\xBC\xC3\x9F" "e-\xD0\xB6") + "/";
  fs::create_directories(fs::u8path(dir));
  const std::string program = dir + "pr\xC3\xB6gram.zvm", input = dir + "\xC3\xA9in.zekbin",
                    out = dir + "\xC3\xA4us.zekbin";
  fs::copy_file(writeProgram(feedProgram(100, false, "READALL x; WRITEALL y; ENDCYCLE")), fs::u8path(program),
                fs::copy_options::overwrite_existing);
  fs::copy_file(writeInput({rr::scalar<int32_t>("x", 6, {10, 11, 12})}), fs::u8path(input),
                fs::copy_options::overwrite_existing);
  rr::Run run = rr::runZekvm({program, "-i", input, "-o", out});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  Bytes bytes;
  {
    std::ifstream recorded(fs::u8path(out), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(recorded), std::istreambuf_iterator<char>());
  }
  zd::File f = zd::parse(bytes);
  EXPECT_EQ(f.error, "");
  EXPECT_EQ(rr::column<int32_t>(f, 1), (std::vector<int32_t>{5, 11, 12}));
  fs::remove_all(fs::u8path(dir));
}

TEST(ZekvmInput, OnlyRecordedInputsOfAgreeingTypeAreFed) {
  std::string program = writeProgram(feedProgram(100, false, "ENDCYCLE", [](zt::Program &p) {
    zt::Channel &z = p.channel("z", 9, 0, 2);
    z.flags = kRecorded;
    z.init = zt::bytesOf<double>({0.5, 0.25});
  }));
  // x in the file is a double array of 3: its 24 bytes must not land in the 4 of the channel.
  rr::Signal x;
  x.name = "x";
  x.type = 9;
  x.count = 3;
  rr::Signal zFile;
  zFile.name = "z";
  zFile.type = 9;
  zFile.count = 2;
  rr::Signal y = rr::scalar<int32_t>("y", 6, {70, 71, 72, 73});      // an output: not fed
  rr::Signal hidden = rr::scalar<int32_t>("hidden", 6, {1, 2, 3, 4});  // not recorded: not fed
  for (int r = 0; r < 4; ++r) {
    x.rows.push_back(rr::bytesOf<double>({1.0 * r, 2.0 * r, 3.0 * r}));
    zFile.rows.push_back(rr::bytesOf<double>({10.0 + r, 20.0 + r}));
  }
  std::string input = writeInput({x, zFile, y, hidden});
  std::string out = rr::tempPath("out.zekbin");
  rr::Run run = rr::runZekvm({program, "-i", input, "-o", out});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err,
            "WARNING: The input variable 'x' (base type 9, 3 elements) does not match the channel (base type 6, 1 "
            "elements); the channel is not fed from the input file.\n");
  zd::File f = rr::decodeFile(out);
  ASSERT_EQ(f.rows(), 4);
  ASSERT_EQ(f.signals.size(), 3u);  // x, z, y
  EXPECT_EQ(rr::column<int32_t>(f, 0), (std::vector<int32_t>{5, 5, 5, 5}));
  EXPECT_EQ(rr::column<double>(f, 1), (std::vector<double>{0.5, 11.0, 12.0, 13.0}));
  EXPECT_EQ(rr::column<double>(f, 2), (std::vector<double>{0.25, 21.0, 22.0, 23.0}));
  EXPECT_EQ(rr::column<int32_t>(f, 3), (std::vector<int32_t>{0, 0, 0, 0}));
}

struct RowCase {
  bool sut;
  uint32_t timeout;
  int inputRows;  // 0: no input file
  int rows;       // rows of the record file
};

TEST(ZekvmRecording, SutSynchronousRowsLagOneCycle) {
  const RowCase cases[] = {
      {false, 4, 0, 5},  {true, 4, 0, 4},     // the test ends in cycle 4
      {false, 0, 0, 1},  {true, 0, 0, 0},     // ... in cycle 0
      {false, 100, 3, 3}, {true, 100, 3, 2},  // the input runs out after cycle 2
  };
  for (const RowCase &c : cases) {
    std::string name = std::string(c.sut ? "sut" : "plain") + " timeout " + std::to_string(c.timeout) + " input " +
                       std::to_string(c.inputRows);
    std::string program = writeProgram(feedProgram(c.timeout, c.sut));
    std::vector<std::string> args{program, "-o", rr::tempPath("out.zekbin")};
    if (c.inputRows > 0) {
      std::vector<int32_t> values;
      for (int r = 0; r < c.inputRows; ++r) values.push_back(100 + r);
      args.insert(args.end(), {"-i", writeInput({rr::scalar<int32_t>("x", 6, values)})});
    }
    rr::Run run = rr::runZekvm(args);
    EXPECT_EQ(run.exitCode, 0) << name << run.err;
    zd::File f = rr::decodeFile(args[2]);
    EXPECT_EQ(f.sut, c.sut ? 1 : 0) << name;
    EXPECT_EQ(f.rows(), c.rows) << name;
    if (c.rows > 0) {
      ASSERT_EQ(f.blocks.size(), 1u);
      EXPECT_EQ(f.blocks[0].firstTime, 0) << name;
      EXPECT_EQ(f.blocks[0].step, (int64_t)kCycleTime) << name;
    }
  }
}

struct EventCase {
  bool sut;
  uint32_t timeout;
  int inputRows;
  int rows;
};

// Every cycle raises one event; each event record carries the time of its cycle, once.
TEST(ZekvmRecording, EventsOfEveryCycleOnceWithTheirCyclesTime) {
  const EventCase cases[] = {
      {false, 4, 0, 5}, {true, 4, 0, 4}, {false, 0, 0, 1}, {true, 0, 0, 0}, {false, 100, 3, 3}, {true, 100, 3, 2},
  };
  for (const EventCase &c : cases) {
    std::string name = std::string(c.sut ? "sut" : "plain") + " timeout " + std::to_string(c.timeout) + " input " +
                       std::to_string(c.inputRows);
    zt::Program p = feedProgram(c.timeout, c.sut, "EVENT tick 0; ENDCYCLE");
    p.events = {{3, "tick"}};
    std::vector<std::string> args{writeProgram(p), "-o", rr::tempPath("out.zekbin")};
    int cycles = (int)c.timeout + 1;
    if (c.inputRows > 0) {
      args.insert(args.end(), {"-i", writeInput({rr::scalar<int32_t>("x", 6, std::vector<int32_t>(c.inputRows, 1))})});
      cycles = c.inputRows;
    }
    rr::Run run = rr::runZekvm(args);
    EXPECT_EQ(run.exitCode, 0) << name << run.err;
    zd::File f = rr::decodeFile(args[2]);
    EXPECT_EQ(f.rows(), c.rows) << name;
    ASSERT_EQ(f.eventDecls.size(), 1u);
    EXPECT_EQ(f.eventDecls[0].second, "tick");
    std::vector<uint64_t> times, expected;
    for (const zd::EventRecord &e : f.events) {
      times.push_back(e.time);
      ASSERT_EQ(e.events.size(), 1u) << name;
      EXPECT_EQ(e.events[0].id, 3) << name;
    }
    for (int k = 0; k < cycles; ++k) expected.push_back((uint64_t)k * kCycleTime);
    EXPECT_EQ(times, expected) << name;
  }
}

}  // namespace
