// The embedding library with its peers as real processes: the dialog program (a native stand-in)
// and the test IDE on the shared-memory exchange. Closing an execution ends both in order.
#include <cstdlib>

#include "exchange.h"
#include "vmapi_support.h"
#include "zek_platform.h"

namespace {

using namespace vt;

constexpr uint32_t kPeerLimitMs = 30000;  // only a bound for a peer that fails

std::vector<std::string> lines(const std::string &path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class VmapiDialog : public testing::Test {
 protected:
  std::string log;
  void SetUp() override {
    log = tempPath("dialog.log");
    std::remove(log.c_str());
    setenv("JAVA_EXE_PATH", ZEK_TEST_FAKE_DIALOG, 1);
    setenv("ZEKMSGBOX_JAR_PATH", "ignore-shutdown", 1);  // answers 7, outlives the shutdown line
    setenv("ZEK_TEST_DIALOG_LOG", log.c_str(), 1);
    setenv("ZEK_PLATFORM_NAME_PREFIX", ("vmapi-" + std::to_string(getpid()) + "-").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("JAVA_EXE_PATH");
    unsetenv("ZEKMSGBOX_JAR_PATH");
    unsetenv("ZEK_TEST_DIALOG_LOG");
    unsetenv("ZEK_PLATFORM_NAME_PREFIX");
  }
};

VmapiExecution *g_box;
uint8_t g_answer;
void bindAnswer() { zek_vmapi_bindSignal(g_box, "answer", 1, 1, 1, 0, 0, 1, &g_answer, 1); }

TEST_F(VmapiDialog, BoxesGoToTheDialogWhichCloseShutsDown) {
  VmapiExecution *e = zek_vmapi_createExecution(image("box.zvm").c_str(), nullptr);
  ASSERT_NE(e, nullptr);
  uint8_t answer = 0;
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "answer", 1, 1, 1, 0, 0, 1, &answer, 1));
  EXPECT_EQ(zek_vmapi_runCycle(e), 0) << message();
  EXPECT_EQ(answer, 7);
  zek_vmapi_closeExecution(e);
  std::vector<std::string> seen = lines(log);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(seen.begin() + 1, seen.end()),
            (std::vector<std::string>{"connected", "request", "shutdown ignored"}));
}

TEST_F(VmapiDialog, ARuntimeErrorOfAWholeTestCaseShutsTheDialogDown) {
  std::string record = tempPath("box.zekbin");
  Child c = inChild([&] {
    zek_vmapi_runTestcase(image("boxfail.zvm").c_str(), record.c_str(), &g_box, bindAnswer, nullptr);
    return 0;
  });
  EXPECT_EQ(c.exitCode, 1);
  EXPECT_EQ(c.out.rfind("Error: late (error=3, ", 0), 0u) << c.out;
  std::vector<std::string> seen = lines(log);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), "shutdown ignored");
  EXPECT_EQ(decode(record).rows(), 0) << "the failing first cycle has no row, the file is complete";
}

TEST(VmapiIde, CloseHandsTheEndToAnAttachedIde) {
  setenv("ZEK_PLATFORM_NAME_PREFIX", ("vmapi-ide-" + std::to_string(getpid()) + "-").c_str(), 1);
  // Both events exist before the execution starts, so that the IDE's attach stands at cycle 0.
  PlatEvent *attach = plat_event_create(ZEK_EXCHANGE_TO_VM_EVENT);
  PlatEvent *vm = plat_event_create(ZEK_EXCHANGE_TO_IDE_EVENT);
  ASSERT_NE(attach, nullptr);
  ASSERT_NE(vm, nullptr);
  std::string log = tempPath("ide.log");
  std::remove(log.c_str());
  const char *argv[] = {ZEK_TEST_IDE, log.c_str(), "attach", "await", "answer", "await", "answer", "await", "answer",
                        nullptr};
  PlatProcess *ide = plat_process_start(argv);
  ASSERT_NE(ide, nullptr);
  ASSERT_EQ(plat_event_wait(attach, kPeerLimitMs), PLAT_WAIT_OK);

  VmapiExecution *e = zek_vmapi_createExecution(image("notsync.zvm").c_str(), nullptr);
  ASSERT_NE(e, nullptr);
  int32_t x = 1, y = 0;
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "x", 6, 6, 1, 0, 0, 1, &x, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "y", 6, 6, 1, 0, 0, 1, &y, 1));
  EXPECT_EQ(zek_vmapi_runCycle(e), 0);
  EXPECT_EQ(zek_vmapi_runCycle(e), 0);
  // The frame stops before the program ends: closing still tells the IDE that the run is over.
  zek_vmapi_closeExecution(e);
  EXPECT_EQ(plat_process_wait(ide, kPeerLimitMs), PLAT_WAIT_OK);
  EXPECT_EQ(plat_process_exit_code(ide), 0);
  std::vector<std::string> seen;
  for (const std::string &line : lines(log))
    if (line.rfind("seen ", 0) == 0) seen.push_back(line.substr(0, line.find(" hold=")));
  EXPECT_EQ(seen, (std::vector<std::string>{"seen cycle=0 result=0", "seen cycle=1 result=0", "seen cycle=1 result=2"}))
      << "the cycle count is the one published before the last cycle";
  plat_process_close(ide);
  plat_event_close(attach);
  plat_event_close(vm);
  unsetenv("ZEK_PLATFORM_NAME_PREFIX");
}

}  // namespace
