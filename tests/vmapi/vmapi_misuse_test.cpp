// The embedding library used as a careless frame would use it: calls from inside the library's
// callbacks, the handles of a replaced execution, a record file that cannot be finished and a
// result file that names the live record file. Each gets a defined answer, never corrupted
// memory (the sanitizer build proves the second half).
#include "refused_images.h"
#include "vmapi_support.h"
#include "zek_vm.h"

namespace {

using namespace vt;

const std::string kInCycle = "(): not allowed inside a cycle or a value transfer; call it between cycles.";
const std::string kInExchange = "(): not allowed inside a parameter exchange; call it after the exchange has returned.";
const std::string kInTestcase =
    "(): not allowed inside zek_vmapi_runTestcase(), which runs its execution until the test ends.";

// The refusal of a call made while the export running does its work: a library export refused
// inside a creation or a close, or a VM entry refused while an export holds the program.
std::string whileRuns(const std::string &called, const std::string &running) {
  return called + "(): not allowed while " + running + "() runs; call it after it returns.";
}

// What the latest call inside a callback was told.
uint16_t g_seenCode;
std::string g_seenText;
bool seen(bool answer) {
  g_seenCode = zek_vmapi_getErrorCode();
  g_seenText = message();
  return answer;
}

// A program other than the ones the tests run (y = 100 / x), for loads that must not happen. The
// VM runs from the bytes it loads, so they stay for the whole process.
const uint8_t *otherProgram() {
  static const Bytes bytes = readAll(image("divide.zvm"));
  return bytes.data();
}

// The calls a frame makes next: a new execution with a record file of its own binds, runs and
// closes as any other, and its file holds its rows.
void expectAnOrdinaryRun() {
  std::string record = tempPath("after.zekbin");
  int32_t x = 0, y = 0;
  VmapiExecution *e = zek_vmapi_createExecution(image("notsync.zvm").c_str(), record.c_str());
  ASSERT_NE(e, nullptr) << message();
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "x", 6, 6, 1, 0, 0, 1, &x, 1)) << message();
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "y", 6, 6, 1, 0, 0, 1, &y, 1)) << message();
  ASSERT_TRUE(zek_vmapi_bindSignalFinalize()) << message();
  for (int32_t i = 0; i < 3; ++i) {
    x = 10 * i;
    EXPECT_EQ(zek_vmapi_runCycle(e), 0) << message();
    EXPECT_EQ(y, x + 1);
  }
  zek_vmapi_closeExecution(e);
  EXPECT_FALSE(zek_vmapi_hasError()) << message();
  zd::File f = decode(record);
  ASSERT_EQ(f.rows(), 3);
  for (int32_t r = 0; r < 3; ++r) EXPECT_EQ(valueAt<int32_t>(f, 1, r), 10 * r + 1) << "row " << r;
}

// The output of a process that ended through the fatal handler, without the error context.
std::string fatalLine(const Child &c) { return c.out.substr(0, c.out.find(" (error=")); }

// ---- Calls from inside a cycle -------------------------------------------------------------

enum Inside { kGetter, kSetter, kSutFunction, kClock };

VmapiExecution *g_e, *g_other;
Inside g_inside;
bool g_armed;
std::function<bool()> g_misuse;  // true when the call gave its refusal's answer
int g_calls, g_refusedAnswers;
int32_t g_x, g_y, g_ca, g_cb;
double g_clock;

void misuseFrom(Inside where) {
  if (!g_armed || where != g_inside) return;
  ++g_calls;
  if (g_misuse()) ++g_refusedAnswers;
}

bool getX(void *value, uint32_t, uint8_t, const uint32_t *) {
  misuseFrom(kGetter);
  std::memcpy(value, &g_x, sizeof g_x);
  return true;
}

void setY(const void *value, uint32_t, uint8_t, const uint32_t *) {
  misuseFrom(kSetter);
  std::memcpy(&g_y, value, sizeof g_y);
}

void sutCf(uint16_t, const char *) {
  misuseFrom(kSutFunction);
  g_cb = g_ca * 10;
}

double clockNow() {
  misuseFrom(kClock);
  return g_clock += 0.001;
}

struct Misuse {
  const char *operation;
  bool (*call)();
};

const Misuse kMisuses[] = {
    {"zek_vmapi_closeExecution", [] { zek_vmapi_closeExecution(g_e); return true; }},
    {"zek_vmapi_createExecution",
     [] { return zek_vmapi_createExecution(image("notsync.zvm").c_str(), nullptr) == nullptr; }},
    {"zek_vmapi_runCycle", [] { return zek_vmapi_runCycle(g_e) == 1; }},
    {"zek_vmapi_internal_updateTestInputs", [] { return !zek_vmapi_internal_updateTestInputs(g_e); }},
    {"zek_vmapi_internal_callCycle", [] { return zek_vmapi_internal_callCycle(g_e) == 1; }},
    {"zek_vmapi_internal_updateTestOutputs", [] { return !zek_vmapi_internal_updateTestOutputs(g_e); }},
    {"zek_vmapi_runFunctionByID", [] { return zek_vmapi_runFunctionByID(g_e, 0) == 1; }},
    {"zek_vmapi_runFunctionByName", [] { return zek_vmapi_runFunctionByName(g_e, "cf") == 1; }},
    {"zek_vmapi_runTestcase",
     [] {
       g_other = nullptr;
       zek_vmapi_runTestcase(image("notsync.zvm").c_str(), nullptr, &g_other, nullptr, nullptr);
       return g_other == nullptr;
     }},
    {"zek_vmapi_exchangeParamsToSuT",
     [] { return !zek_vmapi_exchangeParamsToSuT(image("params.zekbin").c_str(), &g_other, nullptr); }},
    {"zek_vmapi_exchangeParamsFromSuT",
     [] {
       return !zek_vmapi_exchangeParamsFromSuT(image("params.zekbin").c_str(), tempPath("inner.zekbin").c_str(),
                                               &g_other, nullptr);
     }},
    {"zek_vmapi_bindSignal",
     [] {
       static int32_t v;
       return !zek_vmapi_bindSignal(g_e, "x", 6, 6, 1, 0, 0, 1, &v, 1);
     }},
    {"zek_vmapi_enableReadWrite", [] { return !zek_vmapi_enableReadWrite(g_e, "y"); }},
};

// g_e: an execution of the program whose x and y go through getX and setY, with ca, cb and the
// SuT function cf bound for a misuse inside that function, and the clock for one inside it.
void createMisusedExecution(const char *program, Inside inside) {
  g_e = zek_vmapi_createExecution(image(program).c_str(), nullptr);
  ASSERT_NE(g_e, nullptr) << zek_vmapi_getErrorMessage();
  ASSERT_TRUE(zek_vmapi_bindSignalGetSet_v2(g_e, "x", 6, 6, 1, 0, 0, 1, getX, nullptr, 1));
  ASSERT_TRUE(zek_vmapi_bindSignalGetSet_v2(g_e, "y", 6, 6, 1, 0, 0, 1, nullptr, setY, 1));
  if (inside == kSutFunction) {
    ASSERT_TRUE(zek_vmapi_bindSignal(g_e, "ca", 6, 6, 1, 0, 0, 1, &g_ca, 1));
    ASSERT_TRUE(zek_vmapi_bindSignal(g_e, "cb", 6, 6, 1, 0, 0, 1, &g_cb, 1));
    ASSERT_TRUE(zek_vmapi_bindFunction(g_e, "cf", sutCf));
  }
  if (inside == kClock) zek_vmapi_installRealtimeCmd(clockNow);
}

// The cycle of g_e from x = 1 whose callback at inside calls misuse; its result.
int32_t runMisusing(Inside inside, bool (*misuse)()) {
  g_x = 1;
  g_y = 0;
  g_inside = inside;
  g_misuse = misuse;
  g_calls = g_refusedAnswers = 0;
  g_armed = true;
  int32_t result = zek_vmapi_runCycle(g_e);
  g_armed = false;
  return result;
}

// After the refused cycle, g_e runs on from x = 4 to y and closes without an error.
void expectRunsOn(int32_t y) {
  zek_vmapi_resetError();
  g_x = 4;
  EXPECT_EQ(zek_vmapi_runCycle(g_e), 0) << message();
  EXPECT_EQ(g_y, y);
  zek_vmapi_closeExecution(g_e);
  EXPECT_FALSE(zek_vmapi_hasError()) << message();
}

TEST(VmapiReentry, CallsFromInsideACycleAreRefusedAndTheCycleEndsWithTheError) {
  struct Row {
    const char *what;
    Inside inside;
    const char *program;
    std::string prefix;  // the VM names the client function whose handler failed
    bool counted;        // the cycle ran and went on
    int32_t y;           // from x = 4 in the next cycle
  } rows[] = {
      {"getter (input transfer, the cycle does not run)", kGetter, "notsync.zvm", "", false, 5},
      {"setter (output transfer after the cycle)", kSetter, "notsync.zvm", "", true, 5},
      {"SuT function (inside the cycle)", kSutFunction, "functions.zvm", "Function 'cf': ", false, 40},
      {"real-time clock (before the VM resets the error)", kClock, "clock.zvm", "", true, 5},
  };
  for (const Row &row : rows) {
    for (const Misuse &m : kMisuses) {
      SCOPED_TRACE(std::string(row.what) + ": " + m.operation);
      ASSERT_NO_FATAL_FAILURE(createMisusedExecution(row.program, row.inside));
      SignalBinding *bound = zek_vmapi_getBoundSignals();
      EXPECT_EQ(runMisusing(row.inside, m.call), 1);
      EXPECT_EQ(zek_vmapi_getErrorCode(), 119);
      EXPECT_EQ(message(), row.prefix + m.operation + kInCycle);
      EXPECT_GE(g_calls, 1);
      EXPECT_EQ(g_refusedAnswers, g_calls) << "each call answered as refused";
      EXPECT_EQ(zek_vmapi_getCycleCount(), row.counted ? 1u : 0u);
      // The execution is the one it was, with its bindings, and runs on.
      EXPECT_EQ(zek_vmapi_getBoundSignals(), bound);
      expectRunsOn(row.y);
    }
  }
}

// The VM's own entries, which the library exports as well, started from inside a cycle: a SuT
// function runs inside the byte code, where the VM refuses them itself; a getter or a setter
// runs in the cycle export outside the byte code, where the export holds the program and the
// VM refuses them in its name. Either way the cycle ends with the refusal, before it runs
// (SuT function, getter) or after it (setter), and the next cycle is an ordinary one.
TEST(VmapiReentry, TheVmEntriesAreRefusedFromInsideACycle) {
  const std::string kByteCode = "(): not allowed while byte code runs (inside a cycle or a function); ";
  const struct Call {
    const char *operation;
    bool (*call)();  // true when the call gave its refusal's answer
    std::string inByteCode;
  } calls[] = {
      {"zek_runCycle", [] { return seen(zek_runCycle() == 1); }, "zek_runCycle" + kByteCode + "call it between cycles."},
      {"zek_load", [] { return seen(zek_load(otherProgram()) == 1); }, "zek_load" + kByteCode + "load between cycles."},
  };
  const struct Where {
    const char *what;
    Inside inside;
    const char *program;
    std::string prefix;  // the VM names the client function whose handler failed
    bool counted;        // the cycle ran
    int32_t y, nextY;    // after the refused cycle, and from x = 4 in the next one
  } wheres[] = {
      {"SuT function", kSutFunction, "functions.zvm", "Function 'cf': ", false, 0, 40},
      {"getter", kGetter, "notsync.zvm", "", false, 0, 5},
      {"setter", kSetter, "notsync.zvm", "", true, 2, 5},
  };
  for (const Where &where : wheres) {
    for (const Call &call : calls) {
      SCOPED_TRACE(std::string(where.what) + ": " + call.operation);
      ASSERT_NO_FATAL_FAILURE(createMisusedExecution(where.program, where.inside));
      SignalBinding *bound = zek_vmapi_getBoundSignals();
      EXPECT_EQ(runMisusing(where.inside, call.call), 1);
      EXPECT_EQ(g_calls, 1);
      EXPECT_EQ(g_refusedAnswers, 1);
      const std::string refusal = where.inside == kSutFunction ? call.inByteCode
                                                               : whileRuns(call.operation, "zek_vmapi_runCycle");
      EXPECT_EQ(g_seenCode, 123);
      EXPECT_EQ(g_seenText, refusal);
      EXPECT_EQ(zek_vmapi_getErrorCode(), 123);
      EXPECT_EQ(message(), where.prefix + refusal);
      // At most the one cycle ran, on its own program (the other one's y would be 100 / x).
      EXPECT_EQ(zek_vmapi_getCycleCount(), where.counted ? 1u : 0u);
      EXPECT_EQ(g_y, where.y);
      EXPECT_EQ(zek_vmapi_getBoundSignals(), bound);
      expectRunsOn(where.nextY);
    }
  }
  expectAnOrdinaryRun();
}

VmapiExecution *g_replaced;

bool closeReplaced(void *value, uint32_t, uint8_t, const uint32_t *) {
  zek_vmapi_closeExecution(g_replaced);
  g_replaced = nullptr;
  std::memcpy(value, &g_x, sizeof g_x);
  return true;
}

TEST(VmapiReentry, AReplacedExecutionMayBeClosedFromACallback) {
  g_replaced = zek_vmapi_createExecution(image("notsync.zvm").c_str(), nullptr);
  ASSERT_NE(g_replaced, nullptr);
  VmapiExecution *e = zek_vmapi_createExecution(image("notsync.zvm").c_str(), nullptr);
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(zek_vmapi_bindSignalGetSet_v2(e, "x", 6, 6, 1, 0, 0, 1, closeReplaced, nullptr, 1));
  ASSERT_TRUE(zek_vmapi_bindSignalGetSet_v2(e, "y", 6, 6, 1, 0, 0, 1, nullptr, setY, 1));
  g_x = 7;
  EXPECT_EQ(zek_vmapi_runCycle(e), 0) << message();
  EXPECT_FALSE(zek_vmapi_hasError());
  EXPECT_EQ(g_y, 8);
  zek_vmapi_closeExecution(e);
}

// ---- Calls from inside a whole test case ---------------------------------------------------

enum Callback { kInit, kStep };
Callback g_misuseIn;
VmapiExecution *g_run;
void (*g_runMisuse)();

void initRun() {
  zek_vmapi_bindSignal(g_run, "x", 6, 6, 1, 0, 0, 1, &g_x, 1);
  zek_vmapi_bindSignal(g_run, "y", 6, 6, 1, 0, 0, 1, &g_y, 1);
  if (g_misuseIn == kInit) g_runMisuse();
}

void stepRun() {
  if (g_misuseIn == kStep) g_runMisuse();
}

TEST(VmapiReentry, ATestCaseKeepsItsExecutionUntilItEnds) {
  const std::string kHeldByTheTestCase = whileRuns("", "zek_vmapi_runTestcase");
  struct Row {
    Callback in;
    const char *operation;
    void (*call)();
    int32_t rows;  // of the record file, finished by the fatal handler
    std::string refusal = kInTestcase;
  } rows[] = {
      {kInit, "zek_vmapi_closeExecution", [] { zek_vmapi_closeExecution(g_run); }, 0},
      {kStep, "zek_vmapi_closeExecution", [] { zek_vmapi_closeExecution(g_run); }, 1},
      {kStep, "zek_vmapi_createExecution", [] { zek_vmapi_createExecution(image("divide.zvm").c_str(), nullptr); }, 1},
      {kInit, "zek_vmapi_runTestcase",
       [] {
         static VmapiExecution *inner;
         zek_vmapi_runTestcase(image("divide.zvm").c_str(), nullptr, &inner, nullptr, nullptr);
       },
       0},
      // The VM's own entries: the test case holds the program that init and step bind to.
      {kInit, "zek_load", [] { zek_load(otherProgram()); }, 0, kHeldByTheTestCase},
      {kStep, "zek_load", [] { zek_load(otherProgram()); }, 1, kHeldByTheTestCase},
      {kStep, "zek_runCycle", [] { zek_runCycle(); }, 1, kHeldByTheTestCase},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.in == kInit ? "init: " : "step: ") + row.operation);
    std::string record = tempPath("run.zekbin");
    Child c = inChild([&] {
      g_x = 1;
      g_misuseIn = row.in;
      g_runMisuse = row.call;
      zek_vmapi_runTestcase(image("notsync.zvm").c_str(), record.c_str(), &g_run, initRun, stepRun);
      std::printf("returned\n");
      return 0;
    });
    EXPECT_EQ(c.exitCode, 1);
    EXPECT_EQ(fatalLine(c), "Error: " + std::string(row.operation) + row.refusal) << c.out;
    EXPECT_EQ(decode(record).rows(), row.rows);
  }
}

// ---- Calls from inside a parameter exchange --------------------------------------------------

VmapiExecution *g_live, *g_exchange, *g_inner;
void (*g_exchangeMisuse)();
int g_binds;

void bindMisusing() {
  ++g_binds;
  g_exchangeMisuse();
}

void bindNothing() { ++g_binds; }

TEST(VmapiReentry, AnExchangeRefusesWhatWouldReleaseWhatItUses) {
  struct Row {
    const char *what;
    const char *operation;
    void (*call)();
  } rows[] = {
      {"the saved execution", "zek_vmapi_closeExecution", [] { zek_vmapi_closeExecution(g_live); }},
      {"the exchange's own execution", "zek_vmapi_closeExecution", [] { zek_vmapi_closeExecution(g_exchange); }},
      {"an exchange into the SuT", "zek_vmapi_exchangeParamsToSuT",
       [] { zek_vmapi_exchangeParamsToSuT(image("params.zekbin").c_str(), &g_inner, bindNothing); }},
      {"an exchange from the SuT", "zek_vmapi_exchangeParamsFromSuT",
       [] {
         zek_vmapi_exchangeParamsFromSuT(image("params.zekbin").c_str(), tempPath("inner.zekbin").c_str(), &g_inner,
                                         bindNothing);
       }},
      {"a new execution", "zek_vmapi_createExecution",
       [] { zek_vmapi_createExecution(image("notsync.zvm").c_str(), nullptr); }},
      {"a cycle", "zek_vmapi_runCycle", [] { zek_vmapi_runCycle(g_live); }},
  };
  for (bool from : {false, true}) {
    for (const Row &row : rows) {
      SCOPED_TRACE(std::string(from ? "from the SuT: " : "into the SuT: ") + row.what);
      std::string record = tempPath("live.zekbin"), result = tempPath("result.zekbin");
      std::remove(result.c_str());
      Child c = inChild([&] {
        g_live = zek_vmapi_createExecution(image("notsync.zvm").c_str(), record.c_str());
        if (g_live == nullptr) return 3;
        zek_vmapi_bindSignal(g_live, "x", 6, 6, 1, 0, 0, 1, &g_x, 1);
        zek_vmapi_bindSignal(g_live, "y", 6, 6, 1, 0, 0, 1, &g_y, 1);
        if (zek_vmapi_runCycle(g_live) != 0) return 4;
        g_exchangeMisuse = row.call;
        g_binds = 0;
        if (from)
          zek_vmapi_exchangeParamsFromSuT(image("params.zekbin").c_str(), result.c_str(), &g_exchange, bindMisusing);
        else
          zek_vmapi_exchangeParamsToSuT(image("params.zekbin").c_str(), &g_exchange, bindMisusing);
        std::printf("returned\n");
        return 0;
      });
      EXPECT_EQ(c.exitCode, 1);
      EXPECT_EQ(fatalLine(c), "Error: " + std::string(row.operation) + kInExchange) << c.out;
      EXPECT_EQ(decode(record).rows(), 1) << "the live execution was finished in order";
      EXPECT_FALSE(std::filesystem::exists(pathOf(result))) << "no result file of an exchange that failed";
    }
  }
}

void closeReplacedInExchange() {
  ++g_binds;
  zek_vmapi_closeExecution(g_replaced);
}

TEST(VmapiReentry, AReplacedExecutionMayBeClosedInsideAnExchange) {
  g_replaced = zek_vmapi_createExecution(image("notsync.zvm").c_str(), nullptr);
  ASSERT_NE(g_replaced, nullptr);
  VmapiExecution *e = zek_vmapi_createExecution(image("notsync.zvm").c_str(), nullptr);
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "x", 6, 6, 1, 0, 0, 1, &g_x, 1));
  SignalBinding *bound = zek_vmapi_getBoundSignals();
  g_binds = 0;
  std::fflush(stdout);
  EXPECT_TRUE(zek_vmapi_exchangeParamsToSuT(image("params.zekbin").c_str(), &g_exchange, closeReplacedInExchange));
  EXPECT_EQ(g_binds, 1);
  EXPECT_EQ(zek_vmapi_getBoundSignals(), bound) << "the live execution is current again";
  zek_vmapi_closeExecution(e);
  EXPECT_FALSE(zek_vmapi_hasError());
}

// ---- Calls from the error handler of a creation or a close ----------------------------------

// The VM's error handler runs inside the export that raised the error. Here it runs where a
// creation or a close is in the middle of its work: the record file of a recording to a full
// disk is finished (its rows stayed buffered until then) by a creation that replaces it or by
// its close, or a cut program file fails its load.
enum Running { kReplacingAFullRecording, kClosingAFullRecording, kCreatingFromACutFile };
// What the handler calls: close the execution being finished, create a new one and bind and
// finalize it, run a cycle of the execution, or the VM's own load and cycle.
enum Called { kClose, kCreateBindFinalize, kRunCycle, kVmLoad, kVmCycle };

struct LifecycleCase {
  const char *name;
  Running running;
  Called called;
  std::string refusal;  // what the call is told inside the handler
};

void PrintTo(const LifecycleCase &c, std::ostream *os) { *os << c.name; }

VmapiExecution *g_full, *g_nested;
std::string g_nestedRecord;
Called g_calledFromHandler;
bool g_handlerArmed;
int g_handled;
uint16_t g_handledCode;
std::string g_handledText;
bool g_nestedRefused;

bool callFromHandler(Called called) {
  switch (called) {
    case kClose: zek_vmapi_closeExecution(g_full); return seen(true);
    case kCreateBindFinalize: {
      g_nested = zek_vmapi_createExecution(image("notsync.zvm").c_str(), g_nestedRecord.c_str());
      bool refused = seen(g_nested == nullptr);
      bool bound = zek_vmapi_bindSignal(g_nested, "x", 6, 6, 1, 0, 0, 1, &g_x, 1);
      bound = zek_vmapi_bindSignal(g_nested, "y", 6, 6, 1, 0, 0, 1, &g_y, 1) || bound;
      zek_vmapi_bindSignalFinalize();
      return refused && !bound;
    }
    case kRunCycle: return seen(zek_vmapi_runCycle(g_full) == 1);
    case kVmLoad: return seen(zek_load(otherProgram()) == 1);
    case kVmCycle: return seen(zek_runCycle() == 1);
  }
  return false;
}

// Acts once: a handler that calls again on errors of its own calls would never end where the
// VM calls it for those.
void misusingErrorHandler() {
  ++g_handled;
  if (!g_handlerArmed) return;
  g_handlerArmed = false;
  g_handledCode = zek_vmapi_getErrorCode();
  g_handledText = zek_vmapi_getErrorMessage();
  g_nestedRefused = callFromHandler(g_calledFromHandler);
}

class VmapiLifecycleCallbacks : public ::testing::TestWithParam<LifecycleCase> {
 protected:
  void TearDown() override {
    g_handlerArmed = false;
    zek_setErrorHandler(nullptr);
    zek_vmapi_closeExecution(g_nested);
    zek_vmapi_closeExecution(g_full);
    g_nested = g_full = nullptr;
    zek_vmapi_resetError();
  }
};

TEST_P(VmapiLifecycleCallbacks, AreRefusedAndTheExportEndsAsItWould) {
  const LifecycleCase &c = GetParam();
  std::string cut = tempPath("cut.zvm"), cutMessage;
  if (c.running == kCreatingFromACutFile) {
    Bytes whole = readAll(image("notsync.zvm"));
    for (const zt::RefusedImage &r : zt::refusedImages(whole)) {
      if (std::string(r.what) != "cut") continue;
      Bytes bytes = whole;
      r.spoil(bytes);
      writeAll(cut, bytes);
      cutMessage = r.message;
    }
    ASSERT_FALSE(cutMessage.empty());
  } else {
#if defined(_WIN32)
    GTEST_SKIP() << "no /dev/full";
#else
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
#endif
    g_full = zek_vmapi_createExecution(image("notsync.zvm").c_str(), "/dev/full");
    ASSERT_NE(g_full, nullptr) << message();
    ASSERT_TRUE(zek_vmapi_bindSignal(g_full, "x", 6, 6, 1, 0, 0, 1, &g_x, 1));
    ASSERT_TRUE(zek_vmapi_bindSignal(g_full, "y", 6, 6, 1, 0, 0, 1, &g_y, 1));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(zek_vmapi_runCycle(g_full), 0) << message();
    ASSERT_FALSE(zek_vmapi_hasError()) << "the rows are still in the stream's buffer";
  }
  g_nestedRecord = tempPath("nested.zekbin");
  std::remove(g_nestedRecord.c_str());
  zek_vmapi_resetError();
  g_handled = 0;
  g_calledFromHandler = c.called;
  g_nestedRefused = false;
  g_seenCode = 0;
  g_seenText.clear();
  g_handlerArmed = true;
  ASSERT_EQ(zek_setErrorHandler(misusingErrorHandler), nullptr);
  VmapiExecution *created = nullptr;
  switch (c.running) {
    case kReplacingAFullRecording:
      created = zek_vmapi_createExecution(image("notsync.zvm").c_str(), nullptr);
      break;
    case kClosingAFullRecording:
      zek_vmapi_closeExecution(g_full);
      g_full = nullptr;
      break;
    case kCreatingFromACutFile: created = zek_vmapi_createExecution(cut.c_str(), nullptr); break;
  }
  uint16_t code = zek_vmapi_getErrorCode();
  std::string text = zek_vmapi_getErrorMessage();
  zek_setErrorHandler(nullptr);
  // Inside: the call was refused in the name of the export that runs.
  EXPECT_FALSE(g_handlerArmed) << "the handler ran";
  EXPECT_TRUE(g_nestedRefused);
  EXPECT_EQ(g_seenCode, c.called == kVmLoad || c.called == kVmCycle ? 123 : 119);
  EXPECT_EQ(g_seenText, c.refusal);
  EXPECT_EQ(g_nested, nullptr);
  EXPECT_FALSE(std::filesystem::exists(pathOf(g_nestedRecord))) << "the refused creation opened no record file";
  EXPECT_EQ(g_handled, 1) << "not called again for the refusals inside it";
  // The export finished its own work and tells its own outcome.
  EXPECT_EQ(created, nullptr);
  zek_vmapi_closeExecution(created);
  EXPECT_EQ(code, g_handledCode);
  EXPECT_EQ(text, g_handledText);
  std::string withoutContext = text.substr(0, text.find(" (error="));
  switch (c.running) {
    case kReplacingAFullRecording:
      EXPECT_EQ(code, 19);
      EXPECT_EQ(withoutContext,
                "ERROR: The record file '/dev/full' of the replaced execution cannot be finished: Writing the record "
                "file failed; the file is incomplete.");
      break;
    case kClosingAFullRecording:
      EXPECT_EQ(code, 19);
      EXPECT_EQ(withoutContext, "ERROR: while writing the record file: Writing the record file failed; the file is "
                                "incomplete.");
      break;
    case kCreatingFromACutFile:
      EXPECT_EQ(code, 11);
      EXPECT_EQ(text, cutMessage);
      break;
  }
  // No program stays loaded; a replaced execution is left to close, with nothing to report.
  EXPECT_EQ(zek_runCycle(), 1u);
  EXPECT_EQ(message(), "No program is loaded.");
  zek_vmapi_resetError();
  if (g_full != nullptr) {
    EXPECT_EQ(zek_vmapi_runCycle(g_full), 1);
    EXPECT_EQ(message(),
              "zek_vmapi_runCycle(): the execution is not live (it is null, closed or replaced by a newer one).");
    zek_vmapi_resetError();
    zek_vmapi_closeExecution(g_full);
    g_full = nullptr;
    EXPECT_FALSE(zek_vmapi_hasError()) << message();
  }
  zek_vmapi_closeExecution(g_nested);
  g_nested = nullptr;
  zek_vmapi_resetError();
  expectAnOrdinaryRun();
}

const std::string kInCreation = "zek_vmapi_createExecution", kInClose = "zek_vmapi_closeExecution";
const LifecycleCase kLifecycleCases[] = {
    {"ReplacingCloses", kReplacingAFullRecording, kClose, whileRuns("zek_vmapi_closeExecution", kInCreation)},
    {"ReplacingCreates", kReplacingAFullRecording, kCreateBindFinalize, whileRuns("zek_vmapi_createExecution", kInCreation)},
    {"ReplacingRunsACycle", kReplacingAFullRecording, kRunCycle, whileRuns("zek_vmapi_runCycle", kInCreation)},
    {"ReplacingLoadsInTheVm", kReplacingAFullRecording, kVmLoad, whileRuns("zek_load", kInCreation)},
    {"ReplacingRunsAVmCycle", kReplacingAFullRecording, kVmCycle, whileRuns("zek_runCycle", kInCreation)},
    {"ClosingCloses", kClosingAFullRecording, kClose, whileRuns("zek_vmapi_closeExecution", kInClose)},
    {"ClosingCreates", kClosingAFullRecording, kCreateBindFinalize, whileRuns("zek_vmapi_createExecution", kInClose)},
    {"ClosingRunsACycle", kClosingAFullRecording, kRunCycle, whileRuns("zek_vmapi_runCycle", kInClose)},
    {"ClosingLoadsInTheVm", kClosingAFullRecording, kVmLoad, whileRuns("zek_load", kInClose)},
    {"ClosingRunsAVmCycle", kClosingAFullRecording, kVmCycle, whileRuns("zek_runCycle", kInClose)},
    // The load runs innermost: the VM refuses in its name.
    {"CutFileCreates", kCreatingFromACutFile, kCreateBindFinalize, whileRuns("zek_vmapi_createExecution", kInCreation)},
    {"CutFileLoadsInTheVm", kCreatingFromACutFile, kVmLoad, whileRuns("zek_load", "zek_load")},
    {"CutFileRunsAVmCycle", kCreatingFromACutFile, kVmCycle, whileRuns("zek_runCycle", "zek_load")},
};

INSTANTIATE_TEST_SUITE_P(ErrorHandler, VmapiLifecycleCallbacks, ::testing::ValuesIn(kLifecycleCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- A replaced execution --------------------------------------------------------------------

TEST(VmapiReplaced, TheBindingsOfAReplacedExecutionKeepNothingOfItsProgram) {
  Sut sut;
  VmapiExecution *a = zek_vmapi_createExecution(image("echo.zvm").c_str(), nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(zek_vmapi_bindSignal(a, "y", 6, 6, 1, 0, 0, 1, &sut.y, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(a, "g", 6, 6, 1, 0, 0, 1, sut.g, 6));
  SignalBinding *y = zek_vmapi_getSignal(a, "y"), *g = zek_vmapi_getSignal(a, "g");
  ASSERT_TRUE(y != nullptr && g != nullptr);
  ASSERT_EQ(zek_vmapi_runCycle(a), 0);
  EXPECT_TRUE(zek_vmapi_isUpdated(a, y, 0));
  // The new load frees the channel table and the dimension tables that a's bindings pointed at.
  VmapiExecution *b = zek_vmapi_createExecution(image("echo.zvm").c_str(), nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_FALSE(zek_vmapi_isUpdated(a, y, 0));
  EXPECT_EQ(zek_vmapi_getErrorCode(), 119);
  EXPECT_EQ(message(),
            "zek_vmapi_isUpdated(): the execution is not live (it is null, closed or replaced by a newer one).");
  zek_vmapi_resetError();
  for (int32_t index : {0, -1}) {
    EXPECT_FALSE(zek_vmapi_isUpdated(nullptr, y, index));
    EXPECT_FALSE(zek_vmapi_isUpdated(b, g, index));
  }
  EXPECT_FALSE(zek_vmapi_hasError());
  EXPECT_EQ(y->channel, nullptr);
  EXPECT_EQ(g->channel, nullptr);
  EXPECT_EQ(g->dims, nullptr);
  EXPECT_EQ(g->dimCount, 255);
  // The live execution's own bindings answer as before.
  int32_t yb = 0;
  ASSERT_TRUE(zek_vmapi_bindSignal(b, "y", 6, 6, 1, 0, 0, 1, &yb, 1));
  SignalBinding *live = zek_vmapi_getSignal(b, "y");
  ASSERT_EQ(zek_vmapi_runCycle(b), 0);
  EXPECT_TRUE(zek_vmapi_isUpdated(b, live, 0));
  EXPECT_TRUE(zek_vmapi_isUpdated(nullptr, live, -1));
  zek_vmapi_closeExecution(a);
  zek_vmapi_closeExecution(b);
  EXPECT_FALSE(zek_vmapi_hasError());
}

// ---- Record files that cannot be finished or are named twice ---------------------------------

TEST(VmapiRecordFiles, AReplacedRecordingThatCannotBeFinishedFailsTheNextCreation) {
#if defined(_WIN32)
  GTEST_SKIP() << "no /dev/full";
#else
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  int32_t x = 1, y = 0;
  VmapiExecution *a = zek_vmapi_createExecution(image("notsync.zvm").c_str(), "/dev/full");
  ASSERT_NE(a, nullptr) << message();
  ASSERT_TRUE(zek_vmapi_bindSignal(a, "x", 6, 6, 1, 0, 0, 1, &x, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(a, "y", 6, 6, 1, 0, 0, 1, &y, 1));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(zek_vmapi_runCycle(a), 0) << message();
  ASSERT_FALSE(zek_vmapi_hasError()) << "the rows are still in the stream's buffer";
  // Creating the next execution finishes a's file: the failure is the creation's answer.
  EXPECT_EQ(zek_vmapi_createExecution(image("notsync.zvm").c_str(), nullptr), nullptr);
  EXPECT_EQ(zek_vmapi_getErrorCode(), 19);
  EXPECT_EQ(message(),
            "ERROR: The record file '/dev/full' of the replaced execution cannot be finished: Writing the record file "
            "failed; the file is incomplete.");
  // No program stays loaded; a is replaced, and only its close is left, with nothing to report.
  EXPECT_EQ(zek_vmapi_getBoundSignals(), nullptr);
  EXPECT_EQ(zek_runCycle(), 1u);
  EXPECT_EQ(zek_vmapi_getErrorCode(), 123);
  EXPECT_EQ(zek_vmapi_runCycle(a), 1);
  EXPECT_EQ(zek_vmapi_getErrorCode(), 119);
  zek_vmapi_resetError();
  zek_vmapi_closeExecution(a);
  EXPECT_FALSE(zek_vmapi_hasError()) << message();
  // The next creation is an ordinary one.
  VmapiExecution *b = zek_vmapi_createExecution(image("notsync.zvm").c_str(), nullptr);
  ASSERT_NE(b, nullptr) << message();
  ASSERT_TRUE(zek_vmapi_bindSignal(b, "x", 6, 6, 1, 0, 0, 1, &x, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(b, "y", 6, 6, 1, 0, 0, 1, &y, 1));
  EXPECT_EQ(zek_vmapi_runCycle(b), 0);
  EXPECT_EQ(y, 2);
  zek_vmapi_closeExecution(b);
  EXPECT_FALSE(zek_vmapi_hasError());
#endif
}

int32_t g_pI32;
void bindOneParameter() {
  ++g_binds;
  zek_vmapi_bindSignal(g_exchange, "p_i32", -1, 6, 1, 0, 0, 1, &g_pI32, 1);
}

TEST(VmapiRecordFiles, TheLiveRecordFileIsNoResultFile) {
  std::string record = tempPath("live.zekbin");
  std::string other = tempDir() + "./" + std::filesystem::path(record).filename().string();
  int32_t x = 1, y = 0;
  VmapiExecution *a = zek_vmapi_createExecution(image("notsync.zvm").c_str(), record.c_str());
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(zek_vmapi_bindSignal(a, "x", 6, 6, 1, 0, 0, 1, &x, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(a, "y", 6, 6, 1, 0, 0, 1, &y, 1));
  ASSERT_EQ(zek_vmapi_runCycle(a), 0);
  g_binds = 0;
  for (const std::string &name : {record, other}) {
    zek_vmapi_resetError();
    EXPECT_FALSE(zek_vmapi_exchangeParamsFromSuT(image("params.zekbin").c_str(), name.c_str(), &g_exchange,
                                                 bindOneParameter))
        << name;
    EXPECT_EQ(zek_vmapi_getErrorCode(), 19);
    EXPECT_EQ(message(), "ERROR: The result file '" + name + "' is the record file of the running execution; it is not "
                         "overwritten.");
    std::wstring wideParam, wideName(name.begin(), name.end());
    std::string param = image("params.zekbin");
    wideParam.assign(param.begin(), param.end());
    zek_vmapi_resetError();
    EXPECT_FALSE(zek_vmapi_exchangeParamsFromSuT_v2(wideParam.c_str(), wideName.c_str(), &g_exchange,
                                                    bindOneParameter));
    EXPECT_EQ(zek_vmapi_getErrorCode(), 19);
  }
  EXPECT_EQ(g_binds, 0) << "refused before the bind callback";
  zek_vmapi_resetError();
  // The recording goes on and ends as it would have.
  x = 5;
  ASSERT_EQ(zek_vmapi_runCycle(a), 0);
  zek_vmapi_closeExecution(a);
  EXPECT_FALSE(zek_vmapi_hasError()) << message();
  zd::File f = decode(record);
  ASSERT_EQ(f.rows(), 2);
  EXPECT_EQ(valueAt<int32_t>(f, 1, 1), 6);
  // Once closed, the file is one like any other.
  g_pI32 = 11;
  std::fflush(stdout);
  EXPECT_TRUE(zek_vmapi_exchangeParamsFromSuT(image("params.zekbin").c_str(), record.c_str(), &g_exchange,
                                              bindOneParameter));
  zd::File result = decode(record);
  ASSERT_EQ(result.signals.size(), 1u);
  EXPECT_EQ(result.signals[0].name, "p_i32");
  EXPECT_EQ(valueAt<int32_t>(result, 0, 0), 11);
}

}  // namespace
