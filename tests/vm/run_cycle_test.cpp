#include <optional>
#include <set>
#include <stdexcept>

#include "opcodes.h"
#include "operand_stack.h"

namespace {

using zt::Program;

TEST(RunCycle, ResultTable) {
  struct Row {
    const char *what;
    uint32_t timeout;
    const char *code;
    std::vector<uint32_t> results;
    uint32_t finalCount;
  };
  const Row rows[] = {
      {"timeout 0 ends at the first ENDCYCLE", 0, "ENDCYCLE", {2}, 0},
      {"timeout 3 gives three cycles more", 3, "ENDCYCLE", {0, 0, 0, 2}, 3},
      {"END in cycle 0", 10, "END", {2}, 0},
      {"an error keeps the count", 10, "ENDERROR 42 \"stop\"", {1, 1}, 0},
  };
  for (const Row &row : rows) {
    Program p;
    p.timeout = row.timeout;
    p.code = row.code;
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    for (uint32_t expected : row.results) EXPECT_EQ(zek_runCycle(), expected) << row.what;
    EXPECT_EQ(zek_getCycleCount(), row.finalCount) << row.what;
  }
}

TEST(RunCycle, EveryUnusedByteRaises117NamingIt) {
  std::set<int> used;
#define ZEK_OPCODE(byte, name, layout, effect) used.insert(byte);
#include "opcodes.def"
#undef ZEK_OPCODE
  EXPECT_EQ(used.size(), 95u);
  int unused = 0;
  for (int b = 0; b < 256; ++b) {
    if (used.count(b)) {
      EXPECT_NE(zek_byteCodeHandler[b], &zek__NYI) << b;
      EXPECT_NE(zek_opcodeName((uint8_t)b), nullptr);
      continue;
    }
    ++unused;
    EXPECT_EQ(zek_byteCodeHandler[b], &zek__NYI) << b;
    Program p;
    p.code = "BYTES " + std::to_string(b) + "; ENDCYCLE";
    auto l = zt::load(p);
    ASSERT_EQ(zek_runCycle(), 1u);
    EXPECT_EQ(zek_getErrorCode(), 117);
    EXPECT_EQ(zt::bareError(), "Byte code " + std::to_string(b) +
                                   " not in use. Most likely your zvm-file is incompatible with this ZEK-VM version");
  }
  EXPECT_EQ(unused, 161);
}

TEST(RunCycle, EnderrorRaisesItsTextWithTheContext) {
  for (bool big : {false, true}) {
    Program p;
    p.bigEndian = big;
    p.density = 250000;
    p.timeout = 5;
    p.code = "NOP; NOP; ENDERROR 777 \"assessment failed\"";
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u);
    EXPECT_EQ(zek_runCycle(), 1u);
    EXPECT_EQ(zek_getErrorCode(), 777);
    EXPECT_EQ(zt::errorText(), "assessment failed (error=777, address=0x0003, time=0.000000s)") << big;
  }
}

TEST(RunCycle, EnderrorWithCodeZeroStillFails) {
  Program p;
  p.code = "ENDERROR 0 \"quiet\"";
  auto l = zt::load(p);
  EXPECT_EQ(zek_runCycle(), 1u);
  EXPECT_EQ(zek_getErrorCode(), 123);
  EXPECT_EQ(zt::bareError(), "quiet");
}

TEST(RunCycle, StacksMustBeEmptyAtTheEndOfACycle) {
  Program p;
  p.code = "PUSHINT32 5; PUSHDOUBLE 1.5; ENDCYCLE";
  auto l = zt::load(p);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(zek_runCycle(), 1u);
    EXPECT_EQ(zek_getErrorCode(), 123);
    EXPECT_EQ(zt::bareError(), "Parameter stack pointer mismatch 12");
  }
  EXPECT_EQ(zek_getCycleCount(), 0u);
}

TEST(RunCycle, CodeAndOperandsEndAtTheCrc) {
  struct Row {
    const char *what;
    const char *code;
  };
  const Row rows[] = {
      {"no instruction ends the cycle", "NOP; NOP"},
      {"operand cut by the end of the code", "NOP; BYTES 138 1 2"},
      {"text without terminator", "BYTES 53 1 0 65 66"},
      // A cut operand is reported once; the operands behind it are not read.
      {"error code cut", "BYTES 53 1"},
      {"structure count cut", "PUSHINT32 1; BYTES 145 1 0"},
      {"field count cut", "PUSHINT32 1; BYTES 145 1 0 0 0 1"},
  };
  static int raised;
  ZekErrorHandler previous = zek_setErrorHandler([] { ++raised; });
  for (const Row &row : rows) {
    Program p;
    p.code = row.code;
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u);
    raised = 0;
    EXPECT_EQ(zek_runCycle(), 1u) << row.what;
    EXPECT_EQ(zek_getErrorCode(), 117) << row.what << ": " << zt::errorText();
    EXPECT_EQ(raised, 1) << row.what;
  }
  zek_setErrorHandler(previous);
}

// Every instruction's fixed operands, as its layout gives them, are checked before its handler
// runs: one byte short at the end of the code, the handler does not run (the uint32 placed
// below stays, nothing else is pushed) and 117 is raised once; complete, that error does not
// come. Texts and variable data behind the fixed part are checked by their handlers.
TEST(RunCycle, FixedOperandsAreCheckedBeforeTheHandler) {
  static int raised;
  ZekErrorHandler previous = zek_setErrorHandler([] { ++raised; });
  const std::string pastTheEnd = "Byte code at address 0x0001 reads past the end of the code.";
  int checked = 0;
  for (int b = 0; b < 256; ++b) {
    const char *name = zek_opcodeName((uint8_t)b);
    if (name == nullptr) continue;
    std::string layout = zek_opcodeLayout((uint8_t)b);
    int fixed = 0;
    for (char c : layout) {
      if (c == 's' || c == '*') break;
      fixed += c == 'b' ? 1 : c == 'h' ? 2 : c == 'w' ? 4 : 8;
    }
    if (fixed == 0) continue;
    ++checked;
    SCOPED_TRACE(zt::opcodeLine((uint8_t)b));
    // Operand bytes 0xFF: no jump lands inside the code, no count or index is in range.
    bool variablePart = layout.find_first_of("s*") != std::string::npos;
    for (int given : {fixed - 1, fixed}) {
      if (given == fixed && variablePart) continue;
      Program p;
      p.code = "BYTES " + std::to_string(b);
      for (int i = 0; i < given; ++i) p.code += " 255";
      raised = 0;
      auto l = zt::runProgram(p, [] { zt::pushScalar<uint32_t>(ZEK_UINT32, 77); });
      if (given < fixed) {
        EXPECT_EQ(zek_getErrorCode(), 117);
        EXPECT_EQ(zt::bareError(), pastTheEnd);
        EXPECT_EQ(raised, 1);
        ASSERT_EQ(zek_pstack_valueCount(), 1u);
        EXPECT_EQ(zt::valueText(), "uint32 77");
        EXPECT_EQ(zek_istack_count(), 0u);
        EXPECT_EQ(vmstate0.pc, vmstate0.crcPosition);
      } else {
        EXPECT_NE(zt::bareError(), pastTheEnd) << "complete operands";
      }
    }
  }
  EXPECT_EQ(checked, 52);  // every instruction with fixed operands
  zek_setErrorHandler(previous);
}

TEST(RunCycle, HistoryRingAdvancesEveryCycleAndWraps) {
  Program p;
  p.history = 3;
  p.timeout = 10;
  p.channel("now", ZEK_INT32, 3).part = 1;
  p.channel("prev", ZEK_INT32, 3).part = 2;
  p.channel("queued", ZEK_INT32, 3).part = 3;
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  const uint32_t p3 = vmstate0.part3Size;
  ASSERT_EQ(p3, 4u);
  for (int32_t cycle = 0; cycle < 5; ++cycle) {
    zt::setValue<int32_t>("prev", 100 + cycle);
    zt::setValue<int32_t>("queued", 200 + cycle);
    ASSERT_EQ(zek_runCycle(), 0u);
    // Slots 1, 2, 0, 1, 2: the slot written last holds this cycle's values.
    EXPECT_EQ(vmstate0.historySlot, vmstate0.historyRing + ((cycle + 1) % 3) * p3);
    EXPECT_EQ(zek_load_as<int32_t>(vmstate0.historySlot), 200 + cycle);
    EXPECT_EQ(zek_load_as<int32_t>(vmstate0.previousValues), 100 + cycle);
  }
  // A failing cycle advances the history too.
  Program q = p;
  q.code = "ENDERROR 5 \"x\"";
  auto l2 = zt::load(q);
  zt::setValue<int32_t>("queued", 9);
  EXPECT_EQ(zek_runCycle(), 1u);
  EXPECT_EQ(vmstate0.historySlot, vmstate0.historyRing + p3);
  EXPECT_EQ(zek_load_as<int32_t>(vmstate0.historySlot), 9);
}

std::vector<double> g_clock;
size_t g_tick = 0;
double scriptedClock() { return g_clock[g_tick++]; }

TEST(RunCycle, RealTimeCyclesFollowTheClock) {
  Program p;
  p.density = 10000;  // 10 ms
  p.timeout = 5;      // 0.05 s
  p.channel("@realtime", ZEK_DOUBLE, 4);
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  zek_installRealtimeCmd(scriptedClock);
  g_clock = {100.0, 100.004, 100.030, 100.051};
  g_tick = 0;
  EXPECT_EQ(zek_runCycle(), 0u);
  EXPECT_EQ(vmstate0.time, 0.0);  // cycle 0 starts the clock
  EXPECT_EQ(zek_runCycle(), 0u);
  EXPECT_EQ(vmstate0.time, 0.01);  // too early: exactly one cycle time
  EXPECT_EQ(zek_runCycle(), 0u);
  EXPECT_NEAR(vmstate0.time, 0.036, 1e-9);  // the start moved back by 6 ms
  EXPECT_EQ(zek_runCycle(), 2u);            // 0.057 s >= 0.05 s ends the test
  EXPECT_EQ(zek_getCycleCount(), 3u);

  // Without the channel the installed clock is not used.
  Program plain;
  plain.density = 10000;
  auto l2 = zt::load(plain);
  zek_installRealtimeCmd(scriptedClock);
  g_tick = 0;
  zek_runCycle();
  zek_runCycle();
  EXPECT_DOUBLE_EQ(vmstate0.time, 0.01);
  EXPECT_EQ(g_tick, 0u);
}

TEST(RunCycle, DensityChangesOnlyBeforeTheFirstCompletedCycle) {
  Program p;
  p.density = 1000;
  p.timeout = 100;
  auto l = zt::load(p);
  EXPECT_EQ(zek_setDensity(2000), 0u);
  EXPECT_EQ(zek_getTimeout(), 50u);
  EXPECT_DOUBLE_EQ(vmstate0.timeoutSeconds, 0.1);
  EXPECT_EQ(zek_setDensity(0), 1u);
  EXPECT_EQ(zek_getDensity(), 2000u);
  EXPECT_EQ(zek_setDensity(1), 0u);  // 2000 * 50 cycles: stays within u32
  EXPECT_EQ(zek_getTimeout(), 100000u);
  ASSERT_EQ(zek_runCycle(), 0u);
  EXPECT_EQ(zek_setDensity(3000), 1u);
  EXPECT_EQ(zek_getErrorCode(), 115);
  EXPECT_EQ(zt::bareError(), "Density can only be adjusted if number of computed cycles is less than 1.");
  EXPECT_EQ(zek_setTimeout(7), 0u);
  EXPECT_EQ(zek_getTimeout(), 7u);
  EXPECT_DOUBLE_EQ(vmstate0.timeoutSeconds, 0.000007);

  Program huge;
  huge.density = 4000000000u;
  huge.timeout = 4000000000u;
  auto l2 = zt::load(huge);
  EXPECT_EQ(zek_setDensity(1), 0u);
  EXPECT_EQ(zek_getTimeout(), 0xFFFFFFFFu);  // saturated
}

TEST(RunCycle, GuardWordsAreCheckedWhenTheTestEnds) {
  Program p;
  p.timeout = 2;
  auto l = zt::load(p);
  vmstate0.guard3 = 0;
  EXPECT_EQ(zek_runCycle(), 0u);
  EXPECT_EQ(zek_runCycle(), 0u);
  EXPECT_EQ(zek_runCycle(), 1u);
  EXPECT_EQ(zek_getErrorCode(), 123);
  EXPECT_EQ(zt::bareError(), "Fatal error: External SUT-code may have corrupted the ZEK-VM memory.");
}

TEST(RunCycle, InitialValuesAreMarkedInTheFirstCycle) {
  Program p;
  p.channel("in", ZEK_INT16, 0, 3);
  p.channel("out", ZEK_INT32, 1);
  p.channel("rw", ZEK_INT32, 1);
  auto l = zt::load(p);
  zt::channel("rw")->readWrite = 1;
  ASSERT_EQ(zek_runCycle(), 0u);
  // in: bytes 0, 2, 4; out: byte 6 not marked; rw: byte 10.
  EXPECT_EQ(vmstate0.initialFlags[0], 0x15);
  EXPECT_EQ(vmstate0.initialFlags[1], 0x04);
}

// The tests quote an instruction by its line of the instruction table; the assembler's failures
// and the harness's error reports name the instruction so.
TEST(InstructionTable, LinesWithTheirStackEffectInFailureMessages) {
  for (int b = 0; b < 256; ++b) {
    std::string line = zt::opcodeLine((uint8_t)b);
    if (zek_opcodeName((uint8_t)b) == nullptr) {
      EXPECT_EQ(line, "byte " + std::to_string(b) + " (not in use)");
      continue;
    }
    size_t open = line.find(" [");
    ASSERT_NE(open, std::string::npos) << line;
    EXPECT_NE(line.find("--", open), std::string::npos) << line;
    EXPECT_EQ(line.back(), ']') << line;
  }
  EXPECT_EQ(zt::opcodeLine(OP_JUMPONTRUE), "JUMPONTRUE w [c:bool --]");
  EXPECT_EQ(zt::opcodeLine(OP_PLUS), "PLUS [a b -- r]");

  struct Row {
    const char *code;
    const char *message;
  };
  const Row rows[] = {
      {"PUSHINT32", "missing operand in: PUSHINT32 (PUSHINT32 w [-- k:int32])"},
      {"PLUS 3", "too many operands in: PLUS 3 (PLUS [a b -- r])"},
      {"JUMPONTRUE \"x\"", "text where a number is expected in: JUMPONTRUE \"x\" (JUMPONTRUE w [c:bool --])"},
      {"FOO 1", "unknown instruction FOO in: FOO 1"},
  };
  for (const Row &row : rows) {
    try {
      zt::assemble(Program{}, row.code);
      ADD_FAILURE() << row.code << " assembled";
    } catch (const std::runtime_error &e) {
      EXPECT_EQ(std::string(e.what()), row.message);
    }
  }

  auto l = zt::run("NOP; NOP; ENDERROR 7 \"stop\"");
  EXPECT_EQ(zt::raisedBy(), " (raised by the instruction at code offset 0x0002: ENDERROR hs [--])");
  auto clean = zt::run("ENDCYCLE");
  EXPECT_EQ(zt::raisedBy(), "");
}

// Every handler call counted by the opcode just fetched; the handlers themselves still run.
ZekOpcodeHandler g_saved[256];
int g_handled[256];
void countingHandler(void) {
  uint8_t op = vmstate0.image[vmstate0.instructionAddress - 1];
  ++g_handled[op];
  g_saved[op]();
}

struct CountedHandlers {
  CountedHandlers() {
    for (int b = 0; b < 256; ++b) {
      g_saved[b] = zek_byteCodeHandler[b];
      zek_byteCodeHandler[b] = countingHandler;
      g_handled[b] = 0;
    }
  }
  ~CountedHandlers() {
    for (int b = 0; b < 256; ++b) zek_byteCodeHandler[b] = g_saved[b];
  }
};

// The fast paths take a scalar loop whole, so its handlers run only while the tests' switch
// sends every instruction to them; past the depth limit the loop runs none.
TEST(InstructionLoop, HandlersOnlyRunsEveryInstructionThroughItsHandler) {
  Program p;
  p.channel("x", ZEK_INT32);
  p.channel("n", ZEK_UINT32);
  p.code = "L: READALL n; PUSHUINT32 3; LT; JUMPONFALSE E; READALL x; PUSHINT32 1; PLUS; WRITEALL x;"
           "READALL n; PUSHUINT32 1; PLUS; WRITEALL n; PUSHTRUE; DROP; JUMP L; E: ENDCYCLE";
  const uint8_t fast[] = {OP_READALL, OP_PUSHUINT32, OP_LT, OP_JUMPONFALSE, OP_PUSHINT32,
                          OP_PLUS, OP_WRITEALL, OP_PUSHTRUE, OP_DROP, OP_JUMP};
  for (bool handlersOnly : {false, true}) {
    SCOPED_TRACE(handlersOnly ? "handlers only" : "with the fast paths");
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    CountedHandlers counted;
    {
      std::optional<zt::HandlersOnly> only;
      if (handlersOnly) only.emplace();
      ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
    }
    EXPECT_EQ(zt::value<int32_t>("x"), 3);
    for (uint8_t op : fast) EXPECT_EQ(g_handled[op] > 0, handlersOnly) << zek_opcodeName(op);
    EXPECT_EQ(g_handled[OP_ENDCYCLE], 1);
  }
  // At the depth limit the loop's first dispatch overflows: no handler runs.
  auto l = zt::load(p);
  CountedHandlers counted;
  zt::prepareExecution();
  vmstate0.callDepth = ZEK_MAX_CALL_DEPTH;
  zek_executeLoop();
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_OVERFLOW);
  EXPECT_EQ(zt::bareError(), "An overflow of the call stack occurred.");
  int handled = 0;
  for (int count : g_handled) handled += count;
  EXPECT_EQ(handled, 0);
  EXPECT_EQ(zek_handlersOnly, false);
}

TEST(RunCycle, ContextAddressIsRelativeToTheCodeBase) {
  Program p;
  p.density = 500000;
  p.timeout = 5;
  p.code = "ENDCYCLE";
  auto l = zt::load(p);
  zek_runCycle();
  zek_runCycle();
  zek_runCycle();
  char buffer[128];
  vmstate0.instructionAddress = vmstate0.codeBase + 0x1234;
  zek_resetError();
  zek_vmErrorContextHandler(buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "error=0, address=0x1234, time=1.500000s");
}

}  // namespace
