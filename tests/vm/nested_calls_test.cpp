// What the host's callbacks may start while byte code runs. A cycle or a load started from a
// client function, from a server function's client call or from the real-time clock is refused
// and leaves the running code as it stood; a server function run from a client function is a
// nested execution of its own and runs. The same holds inside a load, whose error handler runs
// while its tables are built, and while a host's export holds the program.
#include <string>
#include <vector>

#include "refused_images.h"
#include "vm_harness.h"

namespace {

using zt::bareError;

const std::string kNoCycle =
    "zek_runCycle(): not allowed while byte code runs (inside a cycle or a function); call it between cycles.";
const std::string kNoLoad =
    "zek_load(): not allowed while byte code runs (inside a cycle or a function); load between cycles.";

// Function 0 is the client c; 1 is the server f, which calls c; 2 is the server g, which adds
// 100 to n. A cycle calls c with 7 on the stack and then adds 1 to n.
zt::Program nestedProgram() {
  zt::Program p;
  p.channel("n", ZEK_INT32);
  zt::Function c;
  c.name = "c";
  c.role = 2;
  zt::Function f;
  f.name = "f";
  f.entry = "f";
  zt::Function g;
  g.name = "g";
  g.entry = "g";
  p.functions = {c, f, g};
  p.code =
      "PUSHINT32 7; CALLFUNCTION c; DROP; READALL n; PUSHINT32 1; PLUS; WRITEALL n; ENDCYCLE"
      "; f: PUSHINT32 5; CALLFUNCTION c; DROP; ENDCYCLE"
      "; g: READALL n; PUSHINT32 100; PLUS; WRITEALL n; ENDCYCLE";
  return p;
}

// What the running code stands on: a nested call must leave every part of it.
struct Running {
  uint32_t pc, instructionAddress, callDepth, runState, cycleCount;
  zt::StackSnapshot stacks;
  const ChannelDecl *channels;
  const uint8_t *image;
  bool operator==(const Running &) const = default;
};

Running running() {
  const VmState &vm = vmstate0;
  return {vm.pc,         vm.instructionAddress, vm.callDepth,       vm.runState,
          vm.cycleCount, zt::snapshot(),        vm.data.channels, vm.image};
}

struct Nested {
  const char *what;
  uint32_t (*call)();
  uint32_t result;      // the nested call's answer
  std::string message;  // the error it leaves; empty: none
};

zt::Image g_other;  // a second program for the loads
const Nested *g_nested;
bool g_armed;
int g_calls;
uint32_t g_result;
uint16_t g_code;
std::string g_message;
bool g_intact;

void nestedCall() {
  if (!g_armed) return;
  g_armed = false;  // once: a server function that calls c again must not nest forever
  ++g_calls;
  Running before = running();
  g_result = g_nested->call();
  g_code = zek_getErrorCode();
  g_message = zek_hasError() ? bareError() : "";
  g_intact = running() == before;
}

void clientNested(FunctionDecl *) { nestedCall(); }

const Nested kNested[] = {
    {"zek_runCycle", [] { return zek_runCycle(); }, 1, kNoCycle},
    {"zek_load", [] { return zek_load(g_other.data()); }, 1, kNoLoad},
    {"zek_loadSized", [] { return zek_loadSized(g_other.data(), g_other.bytes.size()); }, 1, kNoLoad},
    {"zek_runServerStubFunction", [] { return zek_runServerStubFunction(2); }, 0, ""},
};

void arm(const Nested &n) {
  g_nested = &n;
  g_armed = true;
  g_calls = 0;
  g_result = 99;
  g_code = 0;
  g_message.clear();
  g_intact = false;
}

TEST(NestedCalls, FromAClientFunctionOfACycleOrOfAServerFunction) {
  zt::Program other;
  other.code = "ENDCYCLE";
  g_other = other.build();
  for (bool fromServer : {false, true}) {
    for (const Nested &n : kNested) {
      SCOPED_TRACE(std::string(n.what) + (fromServer ? " from the host's server function" : " from a cycle"));
      auto l = zt::load(nestedProgram());
      ASSERT_EQ(l.result, 0u) << zt::errorText();
      zek_getData()->functions[0].handler = clientNested;
      arm(n);
      uint32_t outer = fromServer ? zek_runServerStubFunction(1) : zek_runCycle();
      ASSERT_EQ(g_calls, 1);
      EXPECT_EQ(g_result, n.result);
      EXPECT_TRUE(g_intact) << "pc, depth, stacks, cycle count and program as they were";
      // The program is the one that runs, and the VM's entries answer again once it returns.
      EXPECT_EQ(zek_getData()->functions[0].handler, clientNested);
      if (n.message.empty()) {
        EXPECT_EQ(g_message, "");
        EXPECT_EQ(outer, 0u) << zt::errorText();
        EXPECT_EQ(zt::value<int32_t>("n"), fromServer ? 100 : 101);
        EXPECT_EQ(zek_getCycleCount(), fromServer ? 0u : 1u);
      } else {
        EXPECT_EQ(g_code, ZEK_ERR_FATAL);
        EXPECT_EQ(g_message, n.message);
        // The running code ends with the refusal, quoted by the client function's call.
        EXPECT_EQ(outer, 1u);
        EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_FATAL);
        EXPECT_EQ(bareError(), "Function 'c': " + n.message);
        EXPECT_EQ(zt::value<int32_t>("n"), 0);
        EXPECT_EQ(zek_getCycleCount(), 0u);
      }
      EXPECT_EQ(vmstate0.callDepth, 0u);
      zek_resetError();
      EXPECT_EQ(zek_runCycle(), 0u) << zt::errorText();
      EXPECT_EQ(zt::value<int32_t>("n"), n.message.empty() ? (fromServer ? 101 : 102) : 1);
    }
  }
  // Outside of byte code a load goes on as always.
  EXPECT_EQ(zek_load(g_other.data()), 0u) << zt::errorText();
}

// A server function that its own client function runs again ends at the depth limit, not on
// the native stack, and the cycle keeps its stacks.
bool g_recursing;
void clientRecursing(FunctionDecl *) {
  if (g_recursing) zek_runServerStubFunction(1);
}

TEST(NestedCalls, AServerFunctionRunFromItsOwnClientEndsAtTheDepthLimit) {
  auto l = zt::load(nestedProgram());
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  zek_getData()->functions[0].handler = clientRecursing;
  g_recursing = true;
  EXPECT_EQ(zek_runCycle(), 1u);
  g_recursing = false;
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_OVERFLOW);
  EXPECT_NE(bareError().find("An overflow of the call stack occurred."), std::string::npos) << bareError();
  EXPECT_EQ(vmstate0.callDepth, 0u);
  EXPECT_EQ(zek_runCycle(), 0u) << zt::errorText();
  EXPECT_EQ(zt::value<int32_t>("n"), 1);
}

// The clock runs inside zek_runCycle before the loop: the refused call answers with its error,
// which the cycle's own reset of the error state then clears, so the cycle runs as if the
// callback had not called.
double g_clockTime;
double nestedClock() {
  nestedCall();
  return g_clockTime += 0.01;
}

TEST(NestedCalls, FromTheRealTimeClock) {
  zt::Program other;
  other.code = "ENDCYCLE";
  g_other = other.build();
  for (const Nested &n : kNested) {
    if (n.message.empty()) continue;  // no server function runs outside a loop's reach here
    SCOPED_TRACE(n.what);
    zt::Program p = nestedProgram();
    p.channel("@realtime", ZEK_DOUBLE, 4);
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    zek_getData()->functions[0].handler = clientNested;
    zek_installRealtimeCmd(nestedClock);
    g_clockTime = 0.0;
    arm(n);
    EXPECT_EQ(zek_runCycle(), 0u) << zt::errorText();
    ASSERT_EQ(g_calls, 1);
    EXPECT_EQ(g_result, 1u);
    EXPECT_EQ(g_code, ZEK_ERR_FATAL);
    EXPECT_EQ(g_message, n.message);
    EXPECT_TRUE(g_intact);
    EXPECT_EQ(zek_getCycleCount(), 1u);
    EXPECT_EQ(zt::value<int32_t>("n"), 1);
  }
}

// ---- Inside a load and while a host holds the program ---------------------------------------

std::string whileRunning(const char *entry, const char *running) {
  return std::string(entry) + "(): not allowed while " + running + "() runs; call it after it returns.";
}

const Nested kEntries[] = {
    {"zek_load", [] { return zek_load(g_other.data()); }, 1, "zek_load"},
    {"zek_runCycle", [] { return zek_runCycle(); }, 1, "zek_runCycle"},
    {"zek_runServerStubFunction", [] { return zek_runServerStubFunction(2); }, 1, "zek_runServerStubFunction"},
};

int g_handled;
void handlerNests() {
  ++g_handled;
  nestedCall();
}

// The error handler of a failing load runs while the load builds its tables (or before it has
// any): a load, a cycle or a server function started from it is refused and leaves nothing
// loaded, the handler is called once, and the load fails with its own message. A load that
// the handler could start would free the tables being built, and the outer load would then
// end with "No program image given." in place of its own failure.
TEST(NestedCalls, FromTheErrorHandlerOfAFailingLoad) {
  g_other = nestedProgram().build();
  const zt::Image good = nestedProgram().build();
  for (const zt::RefusedImage &spoiled : zt::refusedImages(good.bytes)) {
    std::vector<uint8_t> bytes = good.bytes;
    spoiled.spoil(bytes);
    // The failure's own message, told by a load without a handler.
    ASSERT_EQ(zek_loadSized(bytes.data(), bytes.size()), 1u);
    const std::string own = zt::errorText();
    for (const Nested &n : kEntries) {
      SCOPED_TRACE(std::string(n.what) + " from the handler of a load refused on its " + spoiled.what);
      ASSERT_EQ(zek_load(g_other.data()), 0u) << zt::errorText();
      arm(n);
      g_handled = 0;
      ZekErrorHandler previous = zek_setErrorHandler(handlerNests);
      EXPECT_EQ(zek_loadSized(bytes.data(), bytes.size()), 1u);
      zek_setErrorHandler(previous);
      EXPECT_EQ(g_handled, 1) << "the nested refusal does not call the handler again";
      ASSERT_EQ(g_calls, 1);
      EXPECT_EQ(g_result, 1u);
      EXPECT_EQ(g_code, ZEK_ERR_FATAL);
      EXPECT_EQ(g_message, whileRunning(n.message.c_str(), "zek_load"));
      EXPECT_EQ(zt::errorText(), own);
      EXPECT_EQ(zek_getData()->channelCount, 0);
      EXPECT_EQ(zek_loadedImage(), nullptr);
      // The next load and its cycles are ordinary ones.
      zek_resetError();
      ASSERT_EQ(zek_load(g_other.data()), 0u) << zt::errorText();
      zek_getData()->functions[0].handler = clientNested;
      EXPECT_EQ(zek_runCycle(), 0u) << zt::errorText();
      EXPECT_EQ(zt::value<int32_t>("n"), 1);
    }
  }
}

// A host's export that works on the program while its caller's callbacks run holds it: the
// exported entries that would free it or start it over are refused under the export's name,
// and leave the program, its cycle count and its values as they stood. The host's own sized
// load passes the hold; once let go, every entry answers as before.
TEST(NestedCalls, WhileAHostHoldsTheProgram) {
  g_other = nestedProgram().build();
  ASSERT_EQ(zek_load(g_other.data()), 0u) << zt::errorText();
  zek_getData()->functions[0].handler = clientNested;
  ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
  for (const Nested &n : kEntries) {
    SCOPED_TRACE(n.what);
    zek_resetError();
    EXPECT_EQ(zek_holdProgram("host_step"), nullptr);
    Running before = running();
    EXPECT_EQ(n.call(), 1u);
    EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_FATAL);
    EXPECT_EQ(bareError(), whileRunning(n.message.c_str(), "host_step"));
    EXPECT_TRUE(running() == before) << "the held program as it was";
    EXPECT_EQ(zt::value<int32_t>("n"), 1);
    EXPECT_EQ(zek_holdProgram(nullptr), std::string("host_step"));
  }
  zek_resetError();
  EXPECT_EQ(zek_runServerStubFunction(2), 0u) << zt::errorText();
  EXPECT_EQ(zek_runCycle(), 0u) << zt::errorText();
  EXPECT_EQ(zt::value<int32_t>("n"), 102);
  zek_holdProgram("host_init");
  EXPECT_EQ(zek_loadSized(g_other.data(), g_other.bytes.size()), 0u) << zt::errorText();
  zek_holdProgram(nullptr);
  EXPECT_EQ(zek_getCycleCount(), 0u);
  EXPECT_EQ(zek_load(g_other.data()), 0u) << zt::errorText();
}

}  // namespace
