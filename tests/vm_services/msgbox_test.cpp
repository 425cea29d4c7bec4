// Tests of the message-box command with real dialog processes: the scripted Java dialog,
// started through the real java as JAVA_EXE_PATH names it, and a native fake for dialogs
// that die before connecting, never connect or ignore the shutdown line.
#include "msgbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "vm_harness.h"
#include "zek_platform.h"

namespace {

namespace fs = std::filesystem;

const char *const kPrefixVariable = "ZEK_PLATFORM_NAME_PREFIX";

struct Shown {
  uint8_t answer;
  std::string printed;
};

std::string prefix() { return std::getenv(kPrefixVariable); }

// Files of pipes that this test process created and that still exist.
std::vector<fs::path> pipeFiles() {
  std::vector<fs::path> files;
  for (const fs::directory_entry &entry : fs::directory_iterator("/tmp")) {
    std::string name = entry.path().filename().string();
    if (name.rfind(prefix(), 0) == 0 && name.find("_zek_vmmsgboxPipe") != std::string::npos)
      files.push_back(entry.path());
  }
  return files;
}

class Msgbox : public testing::Test {
 protected:
  fs::path dir;

  void SetUp() override {
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::temp_directory_path() /
          ("zek-msgbox-" + std::to_string(getpid()) + "-" + test->test_suite_name() + "." + test->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    setenv("ZEK_TEST_DIALOG_LOG", (dir / "log").c_str(), 1);
    setenv("ZEK_TEST_DIALOG_SCRIPT", (dir / "script").c_str(), 1);
    useJavaDialog();
    // Only a bound for a dialog that fails to come up; a passing run never reaches it.
    msgbox_setConnectTimeout(20000);
  }

  void TearDown() override {
    msgbox_shutdown();
    unsetenv("JAVA_EXE_PATH");
    unsetenv("ZEKMSGBOX_JAR_PATH");
    fs::remove_all(dir);
  }

  void useJavaDialog() {
    setenv("JAVA_EXE_PATH", ZEK_TEST_JAVA, 1);
    setenv("ZEKMSGBOX_JAR_PATH", ZEK_TEST_DIALOG_JAR, 1);
  }

  void useFakeDialog(const char *mode) {
    setenv("JAVA_EXE_PATH", ZEK_TEST_FAKE_DIALOG, 1);
    setenv("ZEKMSGBOX_JAR_PATH", mode, 1);
  }

  void script(const std::vector<std::string> &answers) {
    std::ofstream out(dir / "script", std::ios::binary);
    for (const std::string &answer : answers) out << answer << "\n";
  }

  // The dialog's log, line by line; a request line keeps its bytes.
  std::vector<std::string> log() {
    std::ifstream in(dir / "log", std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::vector<std::string> requests() {
    std::vector<std::string> lines;
    for (const std::string &line : log())
      if (line.rfind("request ", 0) == 0) lines.push_back(line.substr(8) + "\n");
    return lines;
  }

  // The pid a fake dialog logs first thing; -1 when it has not within 10 s.
  int fakePid() {
    for (int i = 0; i < 1000; ++i) {
      std::vector<std::string> lines = log();
      if (!lines.empty() && lines[0].rfind("pid ", 0) == 0) return std::stoi(lines[0].substr(4));
      usleep(10000);
    }
    return -1;
  }

  static Shown show(uint32_t position, uint8_t flag, const char *text, uint8_t count = 0) {
    const char items[] = "Yes\0No";
    testing::internal::CaptureStdout();
    uint8_t answer = msgbox_command(position, flag, text, count, items);
    return {answer, testing::internal::GetCapturedStdout()};
  }

  static std::string shutdownPrinting() {
    testing::internal::CaptureStdout();
    msgbox_shutdown();
    return testing::internal::GetCapturedStdout();
  }
};

std::string code(int error) { return std::to_string(error); }

struct RequestCase {
  const char *what;
  uint32_t position;
  uint8_t flag;
  std::string text;  // "<null>": no text at all
  uint8_t count;
  std::string line;
};

TEST_F(Msgbox, RequestLinesEscapeTheTextAndKeepTheirShape) {
  std::string longText(40000, 'x');
  for (size_t i = 0; i < longText.size(); i += 7) longText[i] = ';';
  const RequestCase cases[] = {
      {"escaped text", 1, 0, "a;b\nc", 2, "open:1;0;a\x1e" "b\x1f" "c;2;[];10;0\n"},
      {"no text", 7, 1, "<null>", 0, "open:7;1;\"\";0;[];10;0\n"},
      {"empty text", 7, 1, "", 1, "open:7;1;\"\";1;[];10;0\n"},
      {"large position and count", 4294967295u, 1, "x", 255, "open:4294967295;1;x;255;[];10;0\n"},
      {"other bytes as they are", 3, 0, "\"q\"\t\x1e\xff", 0, "open:3;0;\"q\"\t\x1e\xff;0;[];10;0\n"},
  };
  std::vector<std::string> answers(std::size(cases) + 1, "1\\n");
  script(answers);
  for (const RequestCase &c : cases) {
    SCOPED_TRACE(c.what);
    Shown shown = show(c.position, c.flag, c.text == "<null>" ? nullptr : c.text.c_str(), c.count);
    EXPECT_EQ(shown.answer, 1);
    EXPECT_EQ(shown.printed, "");
  }
  // A text too long for the request buffer is shortened; the line keeps its end.
  Shown shown = show(5, 0, longText.c_str());
  EXPECT_EQ(shown.answer, 1);

  std::vector<std::string> sent = requests();
  ASSERT_EQ(sent.size(), std::size(cases) + 1);
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(sent[i], cases[i].line) << cases[i].what;
  const std::string &longest = sent.back();
  std::string head = "open:5;0;", tail = ";0;[];10;0\n";
  EXPECT_EQ(longest.size(), MSGBOX_BUFFER_SIZE - 1);
  ASSERT_GT(longest.size(), head.size() + tail.size());
  EXPECT_EQ(longest.substr(0, head.size()), head);
  EXPECT_EQ(longest.substr(longest.size() - tail.size()), tail);
  std::string expectedText = longText.substr(0, longest.size() - head.size() - tail.size());
  for (char &c : expectedText) c = c == ';' ? '\x1e' : c;
  EXPECT_EQ(longest.substr(head.size(), expectedText.size()), expectedText);

  // One dialog for all of them, started with the local form of the pipe as its argument; the
  // pipe takes no further client once the dialog has connected.
  std::vector<std::string> lines = log();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("args /tmp/" + prefix() + "[0-9]+_zek_vmmsgboxPipe"))) << lines[0];
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string &l) { return l.rfind("args", 0) == 0; }), 1);
  EXPECT_TRUE(pipeFiles().empty());
}

TEST_F(Msgbox, AnswerIsTheLowByteOfTheFirstNumber) {
  struct AnswerCase {
    const char *answer;  // as the script sends it
    uint8_t expected;
    std::string printed;
  };
  const AnswerCase cases[] = {
      {"1\\n", 1, ""},
      {"257", 1, ""},
      {"  42", 42, ""},
      {"-1\\n", 255, ""},
      {"+3 4", 3, ""},
      {"123456789012345678901", 53, ""},  // beyond 64 bits; its low byte still counts
      {"\\n", 0, "Could not scan result (1)!\n"},
      {"abc", 0, "Could not scan result (3)!\n"},
      {"<close>", 0, "Could not read open dialog result from pipe (" + code(EPIPE) + ")!\n"},
  };
  std::vector<std::string> answers;
  for (const AnswerCase &c : cases) answers.push_back(c.answer);
  script(answers);
  for (const AnswerCase &c : cases) {
    SCOPED_TRACE(c.answer);
    Shown shown = show(9, 0, "Continue?");
    EXPECT_EQ(shown.answer, c.expected);
    EXPECT_EQ(shown.printed, c.printed);
  }
  // The dialog has gone: the dialog stays started, and the next box fails on the pipe.
  Shown after = show(9, 0, "Continue?");
  EXPECT_EQ(after.answer, 0);
  EXPECT_EQ(after.printed, "Could not write open dialog to pipe (" + code(EPIPE) + ")!\n");
  EXPECT_EQ(shutdownPrinting(), "Could not write EOF to pipe (" + code(EPIPE) + ")!\n");
}

TEST_F(Msgbox, MissingJavaVariableIsReportedAtEveryBox) {
  unsetenv("JAVA_EXE_PATH");
  for (int i = 0; i < 2; ++i) {
    Shown shown = show(1, 0, "a");
    EXPECT_EQ(shown.answer, 0);
    EXPECT_EQ(shown.printed, "Could not get environment variable 'JAVA_EXE_PATH'.\n");
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(msgbox_startDialogProcess(), uint32_t{ENOENT});
  testing::internal::GetCapturedStdout();

  // Once the variable is there, the next box starts the dialog.
  useJavaDialog();
  script({"4"});
  EXPECT_EQ(show(1, 0, "a").answer, 4);
}

TEST_F(Msgbox, MissingJarVariableIsReportedOnceUntilShutdown) {
  unsetenv("ZEKMSGBOX_JAR_PATH");
  Shown first = show(1, 0, "a");
  EXPECT_EQ(first.answer, 0);
  EXPECT_EQ(first.printed, "Could not get environment variable 'ZEKMSGBOX_JAR_PATH'.\n");
  useJavaDialog();
  Shown second = show(1, 0, "a");
  EXPECT_EQ(second.answer, 0);
  EXPECT_EQ(second.printed, "") << "no further start before the shutdown";

  EXPECT_EQ(shutdownPrinting(), "") << "a shutdown without dialog only clears the flag";
  script({"6"});
  EXPECT_EQ(show(1, 0, "a").answer, 6);
}

TEST_F(Msgbox, DialogThatCannotBeStartedLeavesNoPipe) {
  setenv("JAVA_EXE_PATH", (dir / "no-such-java").c_str(), 1);
  Shown first = show(1, 0, "a");
  EXPECT_EQ(first.answer, 0);
  EXPECT_EQ(first.printed, "CreateProcess failed (" + code(ENOENT) + ").\n");
  EXPECT_TRUE(pipeFiles().empty());
  Shown second = show(1, 0, "a");
  EXPECT_EQ(second.answer, 0);
  EXPECT_EQ(second.printed, "");
  EXPECT_EQ(shutdownPrinting(), "");
}

TEST_F(Msgbox, DialogThatEndsBeforeConnectingDoesNotHang) {
  // The connect time-out stays long: the start must end with the dialog, not with the bound.
  useFakeDialog("exit");
  Shown first = show(1, 0, "a");
  EXPECT_EQ(first.answer, 0);
  EXPECT_EQ(first.printed, "Client did not connect to pipe (" + code(EPIPE) + ").\n");
  // The dialog counts as started; requests go to its pipe and fail there.
  Shown second = show(1, 0, "a");
  EXPECT_EQ(second.answer, 0);
  EXPECT_EQ(second.printed, "Could not write open dialog to pipe (" + code(ENOTCONN) + ")!\n");
  EXPECT_EQ(shutdownPrinting(), "Could not write EOF to pipe (" + code(ENOTCONN) + ")!\n");
  EXPECT_TRUE(pipeFiles().empty());
}

TEST_F(Msgbox, DialogThatNeverConnectsIsGivenUpAndTerminated) {
  useFakeDialog("silent");
  msgbox_setConnectTimeout(100);
  Shown shown = show(1, 0, "a");
  EXPECT_EQ(shown.answer, 0);
  EXPECT_EQ(shown.printed, "Client did not connect to pipe (" + code(ETIMEDOUT) + ").\n");
  int pid = fakePid();
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(fs::exists("/proc/" + std::to_string(pid)));
  shutdownPrinting();
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid))) << "terminated and collected";
}

TEST_F(Msgbox, ShutdownOfADialogThatObeys) {
  script({"2"});
  EXPECT_EQ(show(1, 0, "a").answer, 2);
  EXPECT_EQ(shutdownPrinting(), "");
  // The dialog took its time to end and was let end by itself.
  std::vector<std::string> lines = log();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "shutdown");
  EXPECT_EQ(lines.back(), "ended");
  EXPECT_TRUE(pipeFiles().empty());

  // A later box starts a new dialog.
  fs::remove(dir / "log");
  script({"3"});
  EXPECT_EQ(show(1, 0, "a").answer, 3);
  EXPECT_EQ(log().front().rfind("args", 0), 0u);
}

TEST_F(Msgbox, ShutdownOfADialogThatIgnoresTheLine) {
  useFakeDialog("ignore-shutdown");
  EXPECT_EQ(show(1, 0, "a").answer, 7);
  int pid = fakePid();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(shutdownPrinting(), "");
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid))) << "terminated and collected";
  std::vector<std::string> lines = log();
  EXPECT_EQ(lines.back(), "shutdown ignored");
}

// The VM's MESSAGEBOX instruction through the installed command, as a host runs a program.
TEST_F(Msgbox, ProgramAsksTheDialogThroughTheInstalledCommand) {
  zt::Program p;
  p.channel("answer", ZEK_UINT8, 1);
  p.code = "PUSHTRUE; box: MESSAGEBOX \"Go on;now?\" \"Yes\" \"No\"; WRITEALL answer; END";
  std::map<std::string, uint32_t> labels;
  zt::assemble(p, p.code, &labels);
  zt::Loaded loaded = zt::load(p);
  ASSERT_EQ(loaded.result, 0u) << zt::errorText();
  zek_installMessageBoxCmd(msgbox_command);  // after the load, which clears it
  script({"5\\n"});

  testing::internal::CaptureStdout();
  EXPECT_EQ(zek_runCycle(), uint32_t{ZEK_CYCLE_TEST_ENDED}) << zt::errorText();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(zt::value<uint8_t>("answer"), 5);
  // The position is the image offset of the byte behind the count.
  uint32_t position = vmstate0.codeBase + labels.at("box") + 1 + (uint32_t)std::strlen("Go on;now?") + 1 + 1;
  EXPECT_EQ(requests(), std::vector<std::string>{"open:" + std::to_string(position) + ";1;Go on\x1enow?;2;[];10;0\n"});
}

}  // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  // Pipes of test processes running side by side stay apart.
  setenv(kPrefixVariable, ("zek-msgbox-" + std::to_string(getpid()) + "-").c_str(), 1);
  return RUN_ALL_TESTS();
}
