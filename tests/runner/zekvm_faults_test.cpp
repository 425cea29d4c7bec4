// zekvm under faults, as a child process with real files: termination signals, a closed
// standard output, an input file cut short under the reader, hostile program files and a record
// file that names a file the run reads. Every way out must end within seconds and, where the
// record file was created, leave one that the input reader accepts.
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "image_builder.h"
#include "runner_support.h"
#include "zekbin_reader.h"

namespace {

using rr::Bytes;
using namespace std::chrono_literals;

const std::string kPrompt = "Please enter <s> : Single Step <c> : Cancel <r> : Run ";

// Runs for as good as ever: 2^31 cycles, each recording y = x + 1.
zt::Program longProgram(const std::string &code = "READALL x; PUSHINT32 1; PLUS; WRITEALL y; ENDCYCLE") {
  zt::Program p;
  p.timeout = 0x7FFFFFFF;
  p.density = 1000;
  p.channel("x", 6, 0).flags = 0x02;
  p.channel("y", 6, 1).flags = 0x02;
  p.code = code;
  return p;
}

using rr::writeProgram;

long sizeOf(const std::string &path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

// The record file as the project's input reader opens it, and its row count (decoder).
int32_t acceptedRows(const std::string &path) {
  uint32_t count = 0;
  EXPECT_EQ(zekbin_open(path.c_str(), &count), 0u) << path;
  zekbin_close();
  return rr::decodeFile(path).rows();
}

TEST(ZekvmSignals, EachRequestEndsTheRunInOrderBetweenCycles) {
  // y counts the cycles, so the record file grows while the run goes on.
  std::string program = writeProgram(longProgram("READALL y; PUSHINT32 1; PLUS; WRITEALL y; ENDCYCLE"));
  for (auto [signal, name] : {std::pair{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}}) {
    std::string out = rr::tempPath(std::string("out_") + name);
    rr::Child c = rr::start({program, "-o", out});
    ASSERT_TRUE(rr::waitUntil([&] { return sizeOf(out) > 4096; })) << name;
    kill(c.pid, signal);
    ASSERT_TRUE(rr::ended(c)) << name;
    EXPECT_EQ(rr::exitCode(c), 1) << name;
    EXPECT_EQ(rr::readText(c.err), std::string("ERROR: The run was ended by ") + name + ".\n");
    EXPECT_GT(acceptedRows(out), 0) << name;
  }
}

TEST(ZekvmSignals, ARequestEndsTheStepPrompt) {
  std::string program = writeProgram(longProgram());
  std::string out = rr::tempPath("out.zekbin");
  rr::Child c = rr::start({program, "-s", "-o", out});
  ASSERT_EQ(write(c.input, "s\n", 2), 2);
  ASSERT_TRUE(rr::waitUntil([&] { return rr::readText(c.out) == kPrompt + kPrompt; }));
  kill(c.pid, SIGINT);
  ASSERT_TRUE(rr::ended(c));
  EXPECT_EQ(rr::exitCode(c), 1);
  EXPECT_EQ(rr::readText(c.err), "ERROR: The run was ended by SIGINT.\n");
  EXPECT_EQ(acceptedRows(out), 1);
}

// Cycles 0 to 2 count y and end; from cycle 3 on the cycle runs body, which never ends it.
zt::Program loopingFromCycle3(const std::string &body, uint8_t sut) {
  zt::Program p = longProgram("READALL y; PUSHINT32 1; PLUS; WRITEALL y; READALL y; PUSHINT32 3; GT;"
                              " JUMPONTRUE loop; ENDCYCLE; loop: NOP; " + body);
  p.flags = sut;
  p.channel("k", 6, 3);
  p.events = {{1, "tick"}};
  return p;
}

// An EVENT on every turn, back to the start through a jump table, without end: the bound of a
// cycle's events ends it within milliseconds.
const char kEventLoop[] = "start: EVENT tick 0; PUSHUINT16 0; JUMPTABLE start";
// The same with 200 000 turns of an inner loop between two events, so that the bound lies
// minutes away and a request ends the cycle.
const char kSlowEventLoop[] =
    "start: EVENT tick 0; PUSHINT32 0; WRITEALL k;"
    " inner: READALL k; PUSHINT32 1; PLUS; WRITEALL k; READALL k; PUSHINT32 200000; LT; JUMPONTRUE inner;"
    " PUSHUINT16 0; JUMPTABLE start";

// The peak resident size of a living process in KiB (VmHWM), or 0 when it cannot be read. The
// kernel's account of a reaped child is no help: a child started by posix_spawn shares its
// parent's memory until its exec, and that account keeps the parent's peak.
long residentPeakKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// rr::ended with the peak resident size of the child, as last read while it lived.
bool endedWithPeak(rr::Child &c, long *peakKiB, std::chrono::milliseconds limit = 5000ms) {
  *peakKiB = 0;
  return rr::ended(c, limit, [&] {
    long peak = residentPeakKiB(c.pid);
    if (peak > *peakKiB) *peakKiB = peak;
  });
}

// Tens of MiB for zekvm however long its cycle ran: a few MiB in the plain build, some 16 MiB
// in the sanitizer build at the bound of a cycle's events (its shadow and quarantine included).
constexpr long kPeakLimitKiB = 64 * 1024;

// Byte code that never ends its cycle: the first request ends it where it goes back. The run
// ends in order as between two cycles; the cut cycle is no computed cycle, so neither its row
// nor its events are in the record file (cycles 0 to 2 are, for either kind of program).
TEST(ZekvmSignals, TheFirstRequestEndsACycleThatNeverEnds) {
  for (auto [what, body] : {std::pair{"a jump to itself", "spin: JUMP spin"}, {"an event loop", kSlowEventLoop}}) {
    for (uint8_t sut : {0, 1}) {
      SCOPED_TRACE(std::string(what) + (sut ? ", SuT-synchronous" : ""));
      std::string program = writeProgram(loopingFromCycle3(body, sut)), out = rr::tempPath("out.zekbin");
      rr::Child c = rr::start({program, "-o", out});
      std::this_thread::sleep_for(1s);
      ASSERT_EQ(waitpid(c.pid, &c.status, WNOHANG), 0) << "the cycle runs";
      kill(c.pid, SIGTERM);
      long peak = 0;
      ASSERT_TRUE(endedWithPeak(c, &peak));
      EXPECT_EQ(rr::exitCode(c), 1);
      EXPECT_EQ(rr::readText(c.err), "ERROR: The run was ended by SIGTERM.\n");
      EXPECT_EQ(acceptedRows(out), 3);
      zd::File f = rr::decodeFile(out);
      EXPECT_EQ(rr::column<int32_t>(f, 1), (std::vector<int32_t>{1, 2, 3}));
      EXPECT_TRUE(f.events.empty());
      EXPECT_LT(peak, kPeakLimitKiB);
    }
  }
}

// Without a request the event loop ends by itself, at the bound of a cycle's events, as after
// any runtime error: exit 1, the message, the record file finished with the failed cycle's
// events (in its row, or at the end for a SuT-synchronous program, which never records the row
// of its last cycle).
TEST(ZekvmErrors, AnEventLoopEndsAtTheBoundOfACyclesEvents) {
  for (uint8_t sut : {0, 1}) {
    SCOPED_TRACE(sut ? "SuT-synchronous" : "not SuT-synchronous");
    std::string program = writeProgram(loopingFromCycle3(kEventLoop, sut)), out = rr::tempPath("out.zekbin");
    rr::Child c = rr::start({program, "-o", out});
    long peak = 0;
    ASSERT_TRUE(endedWithPeak(c, &peak, 30000ms)) << "peak " << peak << " KiB";
    EXPECT_EQ(rr::exitCode(c), 1);
    std::string err = rr::readText(c.err);
    EXPECT_EQ(err.rfind("More than 65535 EVENTs in one cycle not supported. (error=111, ", 0), 0u) << err;
    EXPECT_EQ(acceptedRows(out), sut ? 3 : 4);
    zd::File f = rr::decodeFile(out);
    ASSERT_EQ(f.events.size(), 1u);
    EXPECT_EQ(f.events[0].events.size(), 65535u);
    EXPECT_EQ(f.events[0].events.back().id, 1);
    EXPECT_LT(peak, kPeakLimitKiB);
  }
}

TEST(ZekvmStepMode, AClosedStandardOutputEndsTheRunInOrder) {
  std::string program = writeProgram(longProgram());
  std::string out = rr::tempPath("out.zekbin");
  rr::Child c = rr::start({program, "-s", "-o", out}, true);
  ASSERT_TRUE(rr::ended(c));
  EXPECT_EQ(rr::exitCode(c), 1);
  EXPECT_EQ(rr::readText(c.err), "ERROR: The step prompt could not be written to the standard output.\n");
  EXPECT_EQ(acceptedRows(out), 0);
}

// The reader holds its own copy of the input: cutting the file while the run stands at the
// prompt changes nothing of what the run reads.
TEST(ZekvmInput, AnInputFileCutUnderTheReaderIsReadAsItWas) {
  zt::Program p = longProgram();
  std::vector<int32_t> xs;
  for (int32_t r = 0; r < 3000; ++r) xs.push_back(r * 7);
  std::string input = rr::tempPath("input.zekbin");
  rr::writeRecording(input, {rr::scalar<int32_t>("x", 6, xs)});
  std::string program = writeProgram(p), out = rr::tempPath("out.zekbin");
  rr::Child c = rr::start({program, "-s", "-i", input, "-o", out});
  ASSERT_TRUE(rr::waitUntil([&] { return rr::readText(c.out) == kPrompt; }));
  ASSERT_EQ(truncate(input.c_str(), 100), 0);
  ASSERT_EQ(write(c.input, "r\n", 2), 2);
  ASSERT_TRUE(rr::ended(c));
  EXPECT_EQ(rr::exitCode(c), 0) << rr::readText(c.err);
  EXPECT_EQ(rr::readText(c.err), "");
  ASSERT_EQ(acceptedRows(out), 3000);
  std::vector<int32_t> ys = rr::column<int32_t>(rr::decodeFile(out), 1);
  EXPECT_EQ(ys[2999], 2999 * 7 + 1);
}

TEST(ZekvmErrors, EveryAnnouncedLengthBeyondTheFileIsMalformed) {
  for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFFEu}) {
    Bytes image = longProgram().build().bytes;
    std::memcpy(image.data() + 7, &length, 4);
    std::string program = rr::tempPath("long.zvm"), out = rr::tempPath("out.zekbin");
    rr::writeAll(program, image);
    rr::Run run = rr::runZekvm({program, "-o", out});
    EXPECT_EQ(run.exitCode, 1) << length;
    EXPECT_EQ(run.err.rfind("Malformed program image. The program announces " + std::to_string((uint64_t)length + 4) +
                                " bytes, the file holds " + std::to_string(image.size()) + ".",
                            0),
              0u)
        << run.err;
    zd::File f = rr::decodeFile(out);
    EXPECT_EQ(f.signals.size(), 0u);
  }
}

TEST(ZekvmErrors, OnlyARegularFileIsAProgram) {
  std::string fifo = rr::tempPath("program.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &program : {fifo, std::string("/dev/zero")}) {
    std::string out = rr::tempPath("out.zekbin");
    rr::Child c = rr::start({program, "-o", out});
    ASSERT_TRUE(rr::ended(c)) << program;
    EXPECT_EQ(rr::exitCode(c), 1);
    EXPECT_EQ(rr::readText(c.err), "ERROR: The program file '" + program + "' is not a regular file.\n");
    EXPECT_EQ(sizeOf(out), -1) << "nothing is opened for writing";
  }
}

// The record file is compared with the files the run reads by identity, not by path text.
TEST(ZekvmErrors, TheRecordFileNeverOverwritesTheInputOrTheProgram) {
  std::string program = writeProgram(longProgram());
  std::string input = rr::tempPath("input.zekbin");
  rr::writeRecording(input, {rr::scalar<int32_t>("x", 6, {1, 2, 3})});
  Bytes programBytes = rr::readAll(program), inputBytes = rr::readAll(input);
  std::string folder = input.substr(0, input.rfind('/'));
  std::string inputAgain = folder + "/./" + input.substr(input.rfind('/') + 1);
  std::string linked = rr::tempPath("linked.zvm");
  ASSERT_EQ(link(program.c_str(), linked.c_str()), 0);
  struct Case {
    std::string output, what;
  };
  for (const Case &k : {Case{input, "input"}, Case{inputAgain, "input"}, Case{program, "program"},
                        Case{linked, "program"}}) {
    rr::Run run = rr::runZekvm({program, "-i", input, "-o", k.output});
    EXPECT_EQ(run.exitCode, 1) << k.output;
    EXPECT_EQ(run.err, "ERROR: The output file '" + k.output + "' is the " + k.what + " file; it is not overwritten.\n");
    EXPECT_EQ(rr::readAll(program), programBytes);
    EXPECT_EQ(rr::readAll(input), inputBytes);
  }
}

}  // namespace
