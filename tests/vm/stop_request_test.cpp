// The host's stop request: byte code that goes back or calls a function ends its cycle while a
// request stands; code that only runs forward is not cut.
#include <string>
#include <vector>

#include "vm_harness.h"
#include "zek_host.h"

namespace {

using zt::bareError;

const bool kByteOrders[] = {false, true};

// Every test leaves the request withdrawn, whatever it asserts.
struct WithdrawnAtTheEnd {
  ~WithdrawnAtTheEnd() { zek_setStopRequest(false); }
};

// The client function tick stands for the host being asked to stop while byte code runs: its
// g_stopAt-th call sets the request. A loop that the request does not end fails at the
// 100 000th call instead of running for ever.
int g_ticks;
int g_stopAt;

void tick(FunctionDecl *) {
  if (++g_ticks == g_stopAt) zek_setStopRequest(true);
  if (g_ticks == 100000) zek_raiseError(99, "The request did not end the loop.");
}

// Functions: 0 tick (client), 1 f (server, at label f, an empty function behind the code when
// the code has none); channels: calls and depth (uint32).
zt::Program stopProgram(const std::string &code) {
  zt::Program p;
  p.timeout = 100;
  p.channel("calls", ZEK_UINT32);
  p.channel("depth", ZEK_UINT32);
  zt::Function t;
  t.name = "tick";
  t.role = 2;
  p.functions.push_back(t);
  zt::Function f;
  f.name = "f";
  f.entry = "f";
  p.functions.push_back(f);
  p.code = code.find("f:") == std::string::npos ? code + "; f: ENDCYCLE" : code;
  return p;
}

zt::Loaded loadStopProgram(const std::string &code, bool big, int stopAt) {
  zt::Program p = stopProgram(code);
  p.bigEndian = big;
  zt::Loaded l = zt::load(p);
  EXPECT_EQ(l.result, 0u) << zt::errorText();
  if (l.result == 0) zek_getData()->functions[0].handler = tick;
  g_ticks = 0;
  g_stopAt = stopAt;
  return l;
}

// Each place where code can go back, reached after the request came in during the cycle (the
// first tick). The loops would never end by themselves (each turn ticks); the others show
// where the cut falls.
TEST(StopRequest, EndsTheCycleWhereCodeGoesBackOrCallsAFunction) {
  struct Row {
    const char *what;
    const char *code;
  };
  const Row rows[] = {
      {"JUMP back", "L: CALLFUNCTION tick; JUMP L"},
      {"JUMP back over a loop body", "L: CALLFUNCTION tick; PUSHINT32 1; DROP; JUMP L"},
      {"JUMPONTRUE back", "L: CALLFUNCTION tick; PUSHTRUE; JUMPONTRUE L; ENDCYCLE"},
      {"JUMPONFALSE back", "L: CALLFUNCTION tick; PUSHFALSE; JUMPONFALSE L; ENDCYCLE"},
      {"JUMP_IF_ZERO back", "PUSHUINT16 0; L: CALLFUNCTION tick; JUMP_IF_ZERO L; DROP; ENDCYCLE"},
      {"JUMPTABLE back", "L: CALLFUNCTION tick; PUSHUINT16 1; JUMPTABLE E L; E: ENDCYCLE"},
      {"CALLSUB back", "L: CALLFUNCTION tick; CALLSUB L"},
      {"RETURN back to its call", "CALLFUNCTION tick; CALLSUB S; ENDCYCLE; S: RETURN"},
      {"CALLFUNCTION of a server function", "CALLFUNCTION tick; CALLFUNCTION f; ENDCYCLE; f: ENDCYCLE"},
      {"a loop inside a server function", "CALLFUNCTION f; ENDCYCLE; f: NOP; L: CALLFUNCTION tick; JUMP L"},
  };
  WithdrawnAtTheEnd withdrawn;
  for (bool big : kByteOrders) {
    for (const Row &row : rows) {
      SCOPED_TRACE(std::string(row.what) + (big ? ", big-endian" : ", little-endian"));
      auto l = loadStopProgram(row.code, big, 1);
      ASSERT_EQ(l.result, 0u);
      EXPECT_EQ(zek_runCycle(), ZEK_CYCLE_STOPPED) << zt::errorText();
      EXPECT_FALSE(zek_hasError()) << zt::errorText();
      EXPECT_EQ(g_ticks, 1) << "the cut falls at the first place going back";
      EXPECT_EQ(vmstate0.callDepth, 0u);
      zek_setStopRequest(false);
    }
  }
}

TEST(StopRequest, DoesNotCutCodeThatRunsForward) {
  const char *codes[] = {
      "JUMP F; F: ENDCYCLE",
      "PUSHTRUE; JUMPONTRUE F; F: ENDCYCLE",
      "PUSHFALSE; JUMPONFALSE F; F: ENDCYCLE",
      "PUSHUINT16 0; JUMP_IF_ZERO F; F: DROP; ENDCYCLE",
      "PUSHUINT16 0; JUMPTABLE F; F: ENDCYCLE",
      "CALLFUNCTION tick; ENDCYCLE",
  };
  WithdrawnAtTheEnd withdrawn;
  zek_setStopRequest(true);
  for (bool big : kByteOrders) {
    for (const char *code : codes) {
      SCOPED_TRACE(code);
      auto l = loadStopProgram(code, big, 0);
      ASSERT_EQ(l.result, 0u);
      EXPECT_EQ(zek_runCycle(), ZEK_CYCLE_GO_ON) << zt::errorText();
      EXPECT_EQ(zek_getCycleCount(), 1u);
    }
  }
}

// f calls itself twice over as long as depth < 10, with forward jumps only: 2047 calls when
// nothing stops it. The depth limit does not bound such a tree of calls; the request does, at
// the next call.
TEST(StopRequest, EndsATreeOfCallsAtTheNextCall) {
  const std::string code =
      "CALLFUNCTION f; ENDCYCLE;"
      "f: READALL calls; PUSHUINT32 1; PLUS; WRITEALL calls; CALLFUNCTION tick;"
      "READALL depth; PUSHUINT32 10; LT; JUMPONFALSE out;"
      "READALL depth; PUSHUINT32 1; PLUS; WRITEALL depth; CALLFUNCTION f; CALLFUNCTION f;"
      "READALL depth; PUSHUINT32 1; MINUS; WRITEALL depth; out: ENDCYCLE";
  WithdrawnAtTheEnd withdrawn;
  {
    auto l = loadStopProgram(code, false, 0);
    ASSERT_EQ(zek_runCycle(), ZEK_CYCLE_GO_ON) << zt::errorText();
    EXPECT_EQ(zt::value<uint32_t>("calls"), 2047u);
  }
  {
    auto l = loadStopProgram(code, false, 100);
    EXPECT_EQ(zek_runCycle(), ZEK_CYCLE_STOPPED) << zt::errorText();
    EXPECT_FALSE(zek_hasError());
    EXPECT_EQ(zt::value<uint32_t>("calls"), 100u);
    EXPECT_EQ(g_ticks, 100);
    EXPECT_EQ(vmstate0.callDepth, 0u);
  }
}

// A cut cycle computed nothing: no error, the cycle count and the history as before it, while
// what it wrote until the cut stays. The request stands over a load; once withdrawn, cycles
// run again. The program loops from its second cycle on (calls >= 2).
TEST(StopRequest, ACutCycleIsNoComputedCycle) {
  WithdrawnAtTheEnd withdrawn;
  zt::Program p = stopProgram(
      "READALL calls; PUSHUINT32 1; PLUS; WRITEALL calls; CALLFUNCTION tick;"
      "L: READALL calls; PUSHUINT32 2; GE; JUMPONTRUE L; ENDCYCLE");
  p.channels[0].part = 3;  // calls goes into the history
  auto load = [&] {
    zt::Loaded l = zt::load(p);
    EXPECT_EQ(l.result, 0u) << zt::errorText();
    zek_getData()->functions[0].handler = tick;
    g_ticks = 0;
    return l;
  };
  zt::Loaded l = load();
  g_stopAt = 2;
  ASSERT_EQ(zek_runCycle(), ZEK_CYCLE_GO_ON) << zt::errorText();
  ASSERT_EQ(zek_getCycleCount(), 1u);
  const uint8_t *slot = vmstate0.historySlot;
  EXPECT_EQ(zek_load_as<uint32_t>(slot), 1u);

  EXPECT_EQ(zek_runCycle(), ZEK_CYCLE_STOPPED) << zt::errorText();
  EXPECT_FALSE(zek_hasError());
  EXPECT_EQ(zek_getCycleCount(), 1u);
  EXPECT_EQ(vmstate0.historySlot, slot) << "the history did not advance";
  EXPECT_EQ(zek_load_as<uint32_t>(slot), 1u);
  EXPECT_EQ(zt::value<uint32_t>("calls"), 2u) << "what the cycle wrote before the cut stays";

  // Standing over a load, the request cuts the first place going back of the new program.
  zt::Loaded again = load();
  g_stopAt = 0;
  zt::setValue<uint32_t>("calls", 5);
  EXPECT_EQ(zek_runCycle(), ZEK_CYCLE_STOPPED);
  EXPECT_EQ(g_ticks, 1);

  zek_setStopRequest(false);
  zt::Loaded withdrawnLoad = load();
  EXPECT_EQ(zek_runCycle(), ZEK_CYCLE_GO_ON) << zt::errorText();
  EXPECT_EQ(zek_getCycleCount(), 1u);
}

// A host that runs a function itself learns of a cut as an error, and its cycle state stays.
TEST(StopRequest, AFunctionRunForTheHostEndsWithAnError) {
  WithdrawnAtTheEnd withdrawn;
  auto l = loadStopProgram("ENDCYCLE; f: NOP; L: CALLFUNCTION tick; JUMP L", false, 1);
  ASSERT_EQ(zek_runCycle(), ZEK_CYCLE_GO_ON);
  uint32_t runState = vmstate0.runState;
  EXPECT_EQ(zek_runServerStubFunction(1), 1u);
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_FATAL);
  EXPECT_EQ(bareError(), "Function 'f' was ended by a stop request.");
  EXPECT_EQ(vmstate0.runState, runState);
  EXPECT_EQ(zek_pstack_valueCount(), 0u);
  EXPECT_EQ(zek_cstack_count(), 0u);
}

}  // namespace
