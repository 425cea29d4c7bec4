// The console runner's recording with every write, and every allocation, failing in turn over
// a whole run. The fault hooks reach only into this process, so the runner runs here, through
// consoleMain, with its standard error in a file: the exit code, the one message and the record
// file it leaves are what a user of zekvm sees. A failure of the recording ends the run with
// exit code 1 and "ERROR: while writing outputfile: <why>" once, leaving the file clearly
// unfinished (a writer that could not be had leaves a valid recording of no signal); any other
// failure leaves a finished file, as every way out of the runner does. Leaks show in the
// sanitizer build's leak check.
#include <fcntl.h>
#include <unistd.h>

#include "console.h"
#include "faults.h"
#include "recording_sweep.h"
#include "runner_support.h"

namespace {

// The 28 header bytes that the finish patches are still zero.
bool unfinished(const rr::Bytes &bytes) {
  if (bytes.size() < 45) return true;
  for (size_t i = 17; i < 45; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

struct ConsoleRun {
  int exitCode;
  std::string err;
};

// consoleMain as zekvm's main calls it, standard output and error into files.
ConsoleRun runInProcess(std::vector<std::string> args, const std::string &name) {
  std::string out = rr::tempPath(name + ".out"), err = rr::tempPath(name + ".err");
  std::fflush(stdout);
  std::fflush(stderr);
  int savedOut = dup(1), savedErr = dup(2);
  int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(outFd, 1);
  dup2(errFd, 2);
  close(outFd);
  close(errFd);
  args.insert(args.begin(), "zekvm");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int code = consoleMain((int)args.size(), argv.data());
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  return ConsoleRun{code, rr::readText(err)};
}

using Case = zt::RecordingSweepCase;

class ZekvmRecordFaults : public ::testing::TestWithParam<Case> {
 protected:
  std::string program;
  void SetUp() override {
    zt::Program p = zt::recordingSweepProgram(GetParam().sut);
    program = rr::writeProgram(p, std::string("faults_") + (GetParam().sut ? "sut" : "plain") + ".zvm");
  }

  void check(const ConsoleRun &r, const std::string &record, bool fired, const std::vector<std::string> &failures) {
    const std::string prefix = "ERROR: while writing outputfile: ";
    if (!fired) {
      EXPECT_EQ(r.exitCode, 0) << r.err;
      EXPECT_EQ(r.err, "");
      zd::File f = rr::decodeFile(record);
      EXPECT_EQ(f.error, "");
      EXPECT_EQ(f.rows(), GetParam().rows);
      return;
    }
    EXPECT_EQ(r.exitCode, 1) << r.err;
    rr::Bytes bytes = rt::readAll(record);
    if (r.err.rfind(prefix, 0) != 0) {
      // The fault met the run elsewhere (the program file, the load, a cycle): reported once,
      // and the record file, when it was created, finished.
      EXPECT_EQ(r.err.find(prefix), std::string::npos) << r.err;
      EXPECT_NE(r.err, "");
      if (!bytes.empty()) {
        EXPECT_EQ(zd::parse(bytes).error, "") << r.err;
      }
      return;
    }
    ASSERT_EQ(r.err.back(), '\n');
    std::string why = r.err.substr(prefix.size(), r.err.size() - prefix.size() - 1);
    EXPECT_NE(std::find(failures.begin(), failures.end(), why), failures.end()) << r.err;
    if (why == "No record writer: it could not be created.") {
      zd::File f = zd::parse(bytes);
      EXPECT_EQ(f.error, "") << "a valid recording of no signal";
      EXPECT_EQ(f.signals.size(), 0u);
    } else {
      EXPECT_TRUE(unfinished(bytes)) << why;
    }
  }
};

TEST_P(ZekvmRecordFaults, EachWriteFailingInTurn) {
  std::vector<std::string> failures = {"Writing the record file failed; the file is incomplete."};
  uint64_t writes = zt::failEachCallInTurn(PLAT_FAULT_WRITE, [&](uint64_t n) {
    std::string record = rr::tempPath("write" + std::to_string(n) + ".zekbin");
    ConsoleRun r = runInProcess({program, "-o", record}, "write" + std::to_string(n));
    return [=, this](bool fired) {
      SCOPED_TRACE("write " + std::to_string(n));
      check(r, record, fired, failures);
    };
  });
  EXPECT_GT(writes, 3u);
}

TEST_P(ZekvmRecordFaults, EachAllocationFailingInTurn) {
  std::vector<std::string> failures = {"Not enough memory to record; the record file is incomplete.",
                                       "No record writer: it could not be created."};
  uint64_t allocations = zt::failEachCallInTurn(PLAT_FAULT_ALLOCATION, [&](uint64_t n) {
    std::string record = rr::tempPath("alloc" + std::to_string(n) + ".zekbin");
    ConsoleRun r = runInProcess({program, "-o", record}, "alloc" + std::to_string(n));
    return [=, this](bool fired) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      check(r, record, fired, failures);
    };
  });
  EXPECT_GT(allocations, 10u);
}

INSTANTIATE_TEST_SUITE_P(Runs, ZekvmRecordFaults, ::testing::ValuesIn(zt::kRecordingSweepCases),
                         [](const auto &info) { return std::string(info.param.what); });

}  // namespace
