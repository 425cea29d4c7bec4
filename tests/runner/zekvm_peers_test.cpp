// zekvm with its peers as real processes: the test IDE on the shared-memory exchange (-m) and a
// native stand-in for the dialog program (-b).
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "exchange.h"
#include "image_builder.h"
#include "runner_support.h"
#include "shared_objects.h"
#include "zek_platform.h"

namespace {

constexpr uint32_t kIdeLimitMs = 30000;  // only a bound for a peer that fails

std::vector<std::string> lines(const std::string &path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

using rr::writeProgram;

// x (recorded input, initial value 5) is copied into y (recorded output) in every cycle.
zt::Program copyProgram(uint32_t timeout) {
  zt::Program p;
  p.timeout = timeout;
  zt::Channel &x = p.channel("x", 6, 0);
  x.flags = 0x02;
  x.init = zt::bytesOf<int32_t>({5});
  p.channel("y", 6, 1).flags = 0x02;
  p.code = "READALL x; WRITEALL y; ENDCYCLE";
  return p;
}

class ZekvmIde : public testing::Test {
 protected:
  PlatEvent *attachEvent = nullptr;
  PlatEvent *vmEvent = nullptr;
  PlatProcess *ide = nullptr;
  std::string log;
  const std::string prefix = "zekvm-" + std::to_string(getpid()) + "-";

  void SetUp() override {
    // The objects of tests running side by side stay apart; zekvm inherits the prefix.
    setenv("ZEK_PLATFORM_NAME_PREFIX", prefix.c_str(), 1);
    // Both events exist before zekvm starts, so that the IDE's attach stands at its first look.
    attachEvent = plat_event_create(ZEK_EXCHANGE_TO_VM_EVENT);
    vmEvent = plat_event_create(ZEK_EXCHANGE_TO_IDE_EVENT);
    ASSERT_NE(attachEvent, nullptr);
    ASSERT_NE(vmEvent, nullptr);
    log = rr::tempPath("ide.log");
    std::remove(log.c_str());
  }

  void TearDown() override {
    // An IDE still running is ended by force: it cannot close what it holds, so the exchange
    // block that zekvm released before stays behind it and is removed here. Peers that ended
    // by themselves leave nothing.
    bool forced = false;
    if (ide != nullptr) {
      forced = plat_process_wait(ide, 0) != PLAT_WAIT_OK;
      plat_process_terminate(ide);
      plat_process_wait(ide, kIdeLimitMs);
      plat_process_close(ide);
    }
    plat_event_close(attachEvent);
    plat_event_close(vmEvent);
    std::vector<std::string> left = zt::removeLeftOverObjects(prefix);
    if (!forced) {
      EXPECT_EQ(left, std::vector<std::string>{}) << "objects left behind by zekvm or the IDE";
    }
    unsetenv("ZEK_PLATFORM_NAME_PREFIX");
  }

  // Starts the IDE and waits until it has attached.
  void startIde(const std::vector<std::string> &commands) {
    std::vector<const char *> argv{ZEK_TEST_IDE, log.c_str()};
    for (const std::string &c : commands) argv.push_back(c.c_str());
    argv.push_back(nullptr);
    ide = plat_process_start(argv.data());
    ASSERT_NE(ide, nullptr);
    ASSERT_EQ(plat_event_wait(attachEvent, kIdeLimitMs), PLAT_WAIT_OK);
  }

  std::vector<std::string> finishIde() {
    EXPECT_EQ(plat_process_wait(ide, kIdeLimitMs), PLAT_WAIT_OK);
    EXPECT_EQ(plat_process_exit_code(ide), 0);
    return lines(log);
  }
};

std::vector<std::string> seenResults(const std::vector<std::string> &log) {
  std::vector<std::string> out;
  for (const std::string &line : log)
    if (line.rfind("seen ", 0) == 0) out.push_back(line.substr(0, line.find(" hold=")));
  return out;
}

// The IDE's change before cycle 0 is what cycle 0 computes with and what row 0 records; the
// end of the test is handed over once more.
TEST_F(ZekvmIde, ExchangeBeforeTheRowAndTheCycle) {
  startIde({"attach", "await", "poke", "0", "42", "answer", "await", "answer", "await", "answer", "await", "answer"});
  std::string out = rr::tempPath("out.zekbin");
  rr::Run run = rr::runZekvm({writeProgram(copyProgram(2)), "-m", "-o", out});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(seenResults(finishIde()), (std::vector<std::string>{"seen cycle=0 result=0", "seen cycle=1 result=0",
                                                                 "seen cycle=2 result=0", "seen cycle=2 result=2"}));
  zd::File f = rr::decodeFile(out);
  EXPECT_EQ(rr::column<int32_t>(f, 0), (std::vector<int32_t>{42, 42, 42}));
  EXPECT_EQ(rr::column<int32_t>(f, 1), (std::vector<int32_t>{42, 42, 42}));
}

// The input runs out after a cycle that went on: the IDE still learns that the run ended.
TEST_F(ZekvmIde, EndOfTheInputIsHandedOver) {
  startIde({"attach", "await", "answer", "await", "answer", "await", "answer"});
  std::string input = rr::tempPath("input.zekbin");
  rr::writeRecording(input, {rr::scalar<int32_t>("x", 6, {1, 2})});
  rr::Run run = rr::runZekvm({writeProgram(copyProgram(100)), "-m", "-i", input});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  std::vector<std::string> seen = seenResults(finishIde());
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].substr(seen[2].find(" result=")), " result=2");
}

// A termination request while zekvm waits for the IDE's answer ends the wait at once (the
// unanswered wait alone would last five seconds) and the run in order.
TEST_F(ZekvmIde, ARequestEndsTheWaitForTheIde) {
  startIde({"attach", "await", "sleep", "20000"});
  std::string out = rr::tempPath("out.zekbin");
  rr::Child c = rr::start({writeProgram(copyProgram(1000000)), "-m", "-o", out});
  ASSERT_TRUE(rr::waitUntil([&] { return !seenResults(lines(log)).empty(); }));
  kill(c.pid, SIGTERM);
  ASSERT_TRUE(rr::ended(c, std::chrono::milliseconds(3000)));
  EXPECT_EQ(rr::exitCode(c), 1);
  EXPECT_EQ(rr::readText(c.err), "ERROR: The run was ended by SIGTERM.\n");
  EXPECT_EQ(rr::decodeFile(out).rows(), 0);
}

// The first request ends a cycle that never ends by itself and begins the ordered ending, which
// hands the final state to the IDE and waits for its last answer (five seconds at most). A
// second request ends the process at once, also during that wait.
TEST_F(ZekvmIde, ASecondRequestEndsTheProcessAtOnce) {
  startIde({"attach", "await", "answer", "await", "sleep", "20000"});
  zt::Program p = copyProgram(1000000);
  p.code = "spin: JUMP spin";
  rr::Child c = rr::start({writeProgram(p), "-m", "-o", rr::tempPath("out.zekbin")});
  ASSERT_TRUE(rr::waitUntil([&] { return seenResults(lines(log)).size() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(c.pid, SIGTERM);
  ASSERT_TRUE(rr::waitUntil([&] { return seenResults(lines(log)).size() == 2; }));
  EXPECT_EQ(seenResults(lines(log))[1], "seen cycle=0 result=1");
  ASSERT_EQ(waitpid(c.pid, &c.status, WNOHANG), 0) << "the ending waits for the IDE";
  kill(c.pid, SIGTERM);
  ASSERT_TRUE(rr::ended(c, std::chrono::milliseconds(2000)));
  ASSERT_TRUE(WIFSIGNALED(c.status));
  EXPECT_EQ(WTERMSIG(c.status), SIGTERM);
}

class ZekvmDialog : public testing::Test {
 protected:
  std::string log;
  void SetUp() override {
    log = rr::tempPath("dialog.log");
    std::remove(log.c_str());
    setenv("JAVA_EXE_PATH", ZEK_TEST_FAKE_DIALOG, 1);
    setenv("ZEKMSGBOX_JAR_PATH", "ignore-shutdown", 1);  // answers 7, outlives the shutdown line
    setenv("ZEK_TEST_DIALOG_LOG", log.c_str(), 1);
    setenv("ZEK_PLATFORM_NAME_PREFIX", ("zekvm-" + std::to_string(getpid()) + "-").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("JAVA_EXE_PATH");
    unsetenv("ZEKMSGBOX_JAR_PATH");
    unsetenv("ZEK_TEST_DIALOG_LOG");
    unsetenv("ZEK_PLATFORM_NAME_PREFIX");
  }
};

zt::Program boxProgram(const std::string &after) {
  zt::Program p;
  p.timeout = 1;
  p.channel("answer", 1, 1).flags = 0x02;
  p.code = "PUSHTRUE; MESSAGEBOX \"Go on?\" \"Yes\" \"No\"; WRITEALL answer; " + after;
  return p;
}

TEST_F(ZekvmDialog, BoxesGoToTheDialogOnlyWithB) {
  std::string program = writeProgram(boxProgram("ENDCYCLE"));
  std::string out = rr::tempPath("out.zekbin");
  rr::Run run = rr::runZekvm({program, "-o", out});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(rr::column<uint8_t>(rr::decodeFile(out), 0), (std::vector<uint8_t>{255, 255}));
  EXPECT_TRUE(lines(log).empty()) << "no dialog without -b";

  run = rr::runZekvm({program, "-b", "-o", out});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(rr::column<uint8_t>(rr::decodeFile(out), 0), (std::vector<uint8_t>{7, 7}));
  std::vector<std::string> seen = lines(log);
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(seen.begin() + 1, seen.end()),
            (std::vector<std::string>{"connected", "request", "request", "shutdown ignored"}));
}

TEST_F(ZekvmDialog, RuntimeErrorShutsTheDialogDown) {
  std::string out = rr::tempPath("out.zekbin");
  rr::Run run = rr::runZekvm({writeProgram(boxProgram("ENDERROR 3 \"late\"")), "-b", "-o", out});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err.rfind("late (error=3, ", 0), 0u) << run.err;
  EXPECT_EQ(rr::column<uint8_t>(rr::decodeFile(out), 0), (std::vector<uint8_t>{7}));
  std::vector<std::string> seen = lines(log);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), "shutdown ignored");
}

// A termination request while zekvm waits for the dialog to connect ends the wait (of 30 s)
// at once; the dialog is shut down and the record file finished.
TEST_F(ZekvmDialog, ARequestEndsTheWaitForTheDialog) {
  setenv("ZEKMSGBOX_JAR_PATH", "silent", 1);
  std::string out = rr::tempPath("out.zekbin");
  rr::Child c = rr::start({writeProgram(boxProgram("ENDCYCLE")), "-b", "-o", out});
  ASSERT_TRUE(rr::waitUntil([&] { return !lines(log).empty(); }));
  kill(c.pid, SIGTERM);
  ASSERT_TRUE(rr::ended(c));
  EXPECT_EQ(rr::exitCode(c), 1);
  EXPECT_NE(rr::readText(c.err).find("ERROR: The run was ended by SIGTERM.\n"), std::string::npos);
  rr::decodeFile(out);  // decodes without error
}

}  // namespace
