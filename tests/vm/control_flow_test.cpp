#include <string>
#include <vector>

#include "vm_harness.h"

namespace {

using zt::bareError;

const bool kByteOrders[] = {false, true};

std::string order(bool big) { return big ? "big-endian" : "little-endian"; }

// ---------------------------------------------------------------------------------------------
// Branches

TEST(Branches, FollowTheirConditionInBothByteOrders) {
  struct Row {
    const char *setup;
    const char *jump;
    bool taken;
    bool keepsValue;  // JUMP_IF_ZERO leaves the tested value below the result
  };
  const Row rows[] = {
      {"PUSHTRUE", "JUMPONTRUE", true, false},     {"PUSHFALSE", "JUMPONTRUE", false, false},
      {"PUSHBOOL 2", "JUMPONTRUE", true, false},   {"PUSHTRUE", "JUMPONFALSE", false, false},
      {"PUSHFALSE", "JUMPONFALSE", true, false},   {"PUSHBOOL 2", "JUMPONFALSE", false, false},
      {"PUSHUINT16 0", "JUMP_IF_ZERO", true, true}, {"PUSHUINT16 7", "JUMP_IF_ZERO", false, true},
      {"PUSHUINT16 256", "JUMP_IF_ZERO", false, true}, {"NOP", "JUMP", true, false},
  };
  for (bool big : kByteOrders)
    for (const Row &row : rows) {
      std::string code = std::string(row.setup) + "; " + row.jump +
                         " yes; PUSHINT32 0; ENDCYCLE; yes: PUSHINT32 1; ENDCYCLE";
      SCOPED_TRACE(code + " " + order(big));
      auto l = zt::bothWays(code, [&] { return zt::run(code, big); });
      ASSERT_FALSE(zek_hasError()) << zt::errorText();
      EXPECT_EQ(vmstate0.runState, (uint32_t)ZEK_END_OF_CYCLE);
      EXPECT_EQ(zt::top<int32_t>(), row.taken ? 1 : 0);
      ASSERT_EQ(zek_pstack_valueCount(), row.keepsValue ? 2u : 1u);
      if (row.keepsValue) {
        EXPECT_EQ(zt::topView(1).type, (uint32_t)ZEK_UINT16);
      }
    }
}

TEST(Branches, RefuseWrongConditionsAndTargetsOutsideTheCode) {
  struct Row {
    const char *code;
    uint16_t error;
    const char *message;  // null: only the code is checked
  };
  const Row rows[] = {
      {"PUSHUINT8 1; JUMPONTRUE 0", ZEK_ERR_TYPE, "Type mismatch on parameter stack. Expected bool, got uint8."},
      {"JUMPONFALSE 0", ZEK_ERR_UNDERFLOW, "An underflow of the parameter stack occurred."},
      {"PUSHINT16 0; JUMP_IF_ZERO 0", ZEK_ERR_TYPE, "Type mismatch on parameter stack. Expected uint16, got int16."},
      {"PUSHSTRING \"ab\"; JUMP_IF_ZERO 0", ZEK_ERR_SHAPE, "peekScalarWithType: Expected scalar, got array (2)."},
      {"JUMP 100000", ZEK_ERR_BYTECODE, nullptr},
      {"PUSHTRUE; JUMPONTRUE 100000", ZEK_ERR_BYTECODE, nullptr},
      {"PUSHFALSE; JUMPONFALSE 0xFFFFFFFF", ZEK_ERR_BYTECODE, nullptr},
      {"PUSHUINT16 0; JUMP_IF_ZERO 4000000000", ZEK_ERR_BYTECODE, nullptr},
      // The first byte behind the code is the CRC: not a target.
      {"JUMP end; end:", ZEK_ERR_BYTECODE, nullptr},
      // A jump whose operand is cut by the end of the code.
      {"BYTES 19 1", ZEK_ERR_BYTECODE, nullptr},
      {"PUSHTRUE; BYTES 20 0 0", ZEK_ERR_BYTECODE, nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.code);
    auto l = zt::bothWays(row.code, [&] { return zt::run(row.code); });
    EXPECT_EQ(zek_getErrorCode(), row.error) << zt::errorText();
    if (row.message != nullptr) {
      EXPECT_EQ(bareError(), row.message);
    }
  }
  // A branch that is not taken does not look at its target.
  auto l = zt::run("PUSHFALSE; JUMPONTRUE 100000; ENDCYCLE");
  EXPECT_FALSE(zek_hasError()) << zt::errorText();
  // A cut operand is reported as such, not as the condition it would have popped.
  auto cut = zt::run("BYTES 20 0 0");
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_BYTECODE);
  EXPECT_NE(zt::errorText().find("past the end of the code"), std::string::npos) << zt::errorText();
}

// ---------------------------------------------------------------------------------------------
// Jump tables

TEST(JumpTable, SelectsItsTargetOrRefusesTheIndex) {
  struct Row {
    const char *index;
    int32_t result;  // -1: error
    uint16_t error;
    const char *message;
  };
  const Row rows[] = {
      {"PUSHUINT16 0", 0, 0, nullptr},
      {"PUSHINT16 1", 1, 0, nullptr},
      {"PUSHUINT16 2", 2, 0, nullptr},
      {"PUSHUINT16 3", -1, ZEK_ERR_JUMPTABLE, "Fatal. JUMPTABLE index=3 is greater than table length=3."},
      {"PUSHINT16 -1", -1, ZEK_ERR_JUMPTABLE, "Fatal. JUMPTABLE index=65535 is greater than table length=3."},
      {"PUSHINT32 1", -1, ZEK_ERR_SHAPE, "Expected scalar, got array."},
      {"PUSHSTRING \"ab\"", -1, ZEK_ERR_SHAPE, "dropScalar: Expected scalar, got array (2)."},
      {"NOP", -1, ZEK_ERR_UNDERFLOW, "An underflow of the parameter stack occurred."},
  };
  for (bool big : kByteOrders)
    for (const Row &row : rows) {
      std::string code = std::string(row.index) +
                         "; JUMPTABLE a b c; PUSHINT32 9; ENDCYCLE"
                         "; a: PUSHINT32 0; ENDCYCLE; b: PUSHINT32 1; ENDCYCLE; c: PUSHINT32 2; ENDCYCLE";
      SCOPED_TRACE(code + " " + order(big));
      auto l = zt::bothWays(code, [&] { return zt::run(code, big); });
      if (row.result >= 0) {
        ASSERT_FALSE(zek_hasError()) << zt::errorText();
        EXPECT_EQ(zek_pstack_valueCount(), 1u);
        EXPECT_EQ(zt::top<int32_t>(), row.result);
      } else {
        EXPECT_EQ(zek_getErrorCode(), row.error) << zt::errorText();
        EXPECT_EQ(bareError(), row.message);
      }
    }
}

TEST(JumpTable, TargetsAndTablesOutsideTheCodeAreRefused) {
  const char *rows[] = {
      "PUSHUINT16 0; JUMPTABLE 99999",
      "PUSHUINT16 1; JUMPTABLE 0 0xFFFFFFF0",
      // The count announces two targets, the code ends after one.
      "PUSHUINT16 1; BYTES 23 2 0 0 0 0 0",
  };
  for (const char *code : rows) {
    auto l = zt::bothWays(code, [&] { return zt::run(code); });
    EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_BYTECODE) << code << ": " << zt::errorText();
  }
}

// ---------------------------------------------------------------------------------------------
// Subroutines

TEST(Subroutines, ReturnBehindTheCallForwardAndBackward) {
  // The backward call's offset is negative and wraps modulo 2^32.
  const char *code =
      "JUMP main; back: PUSHINT32 7; RETURN"
      "; main: CALLSUB back; CALLSUB ahead; PUSHINT32 9; ENDCYCLE"
      "; ahead: PUSHINT32 8; RETURN";
  for (bool big : kByteOrders) {
    SCOPED_TRACE(order(big));
    auto l = zt::bothWays(code, [&] { return zt::run(code, big); });
    ASSERT_FALSE(zek_hasError()) << zt::errorText();
    EXPECT_EQ(zek_cstack_count(), 0u);
    ASSERT_EQ(zek_pstack_valueCount(), 3u);
    EXPECT_EQ(zt::top<int32_t>(2), 7);
    EXPECT_EQ(zt::top<int32_t>(1), 8);
    EXPECT_EQ(zt::top<int32_t>(0), 9);
  }
}

TEST(Subroutines, CallStackLimitsAndLeftovers) {
  {
    // A subroutine that never returns leaves its return address at the end of the cycle.
    zt::Program p;
    p.code = "CALLSUB sub; ENDCYCLE; sub: ENDCYCLE";
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    EXPECT_EQ(zek_runCycle(), (uint32_t)ZEK_CYCLE_ERROR);
    EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_FATAL);
    EXPECT_EQ(bareError(), "Call stack pointer mismatch 1");
  }
  {
    // Capacity comes from the image: 16 calls fit, the 17th overflows.
    zt::Program p;
    p.callStack = 16;
    p.code = "sub: CALLSUB sub";
    auto l = zt::load(p);
    zt::execute(l);
    EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_OVERFLOW);
    EXPECT_EQ(bareError(), "An overflow of the call stack occurred.");
    EXPECT_EQ(zek_cstack_count(), 16u);
  }
  struct Row {
    const char *code;
    uint16_t error;
  };
  const Row rows[] = {
      {"RETURN", ZEK_ERR_CSTACK},
      {"CALLSUB 100000", ZEK_ERR_BYTECODE},
      // Return address code base + 5; -6 lands on the last byte before the code base.
      {"CALLSUB -6", ZEK_ERR_BYTECODE},
      {"CALLSUB -100000", ZEK_ERR_BYTECODE},
      {"BYTES 70 0 0", ZEK_ERR_BYTECODE},
  };
  for (const Row &row : rows) {
    auto l = zt::bothWays(row.code, [&] { return zt::run(row.code); });
    EXPECT_EQ(zek_getErrorCode(), row.error) << row.code << ": " << zt::errorText();
    EXPECT_EQ(zek_cstack_count(), 0u) << row.code;
  }
  auto l = zt::run("RETURN");
  EXPECT_EQ(bareError(), "An underflow of the call stack occurred.");
}

// ---------------------------------------------------------------------------------------------
// Index stack

std::vector<uint32_t> indexStack() { return std::vector<uint32_t>(vmstate0.index.base, vmstate0.index.top); }

TEST(IndexStack, PushesAndDuplicatesGroups) {
  for (bool big : kByteOrders) {
    const char *code = "PUSHINT32 -5; PUSHINDEX; PUSHCONSTINDEX 0x01020304; PUSHCONSTINDEX 2; DUPINDEX; ENDCYCLE";
    auto l = zt::bothWays(code, [&] { return zt::run(code, big); });
    ASSERT_FALSE(zek_hasError()) << zt::errorText();
    EXPECT_EQ(indexStack(), (std::vector<uint32_t>{0xFFFFFFFBu, 0x01020304u, 2, 0xFFFFFFFBu, 0x01020304u, 2}))
        << order(big);
    EXPECT_EQ(zek_pstack_valueCount(), 0u);
  }
  // The 48 entries of the index stack can all be used.
  std::string fill;
  for (int i = 0; i < 47; ++i) fill += "PUSHCONSTINDEX 1; ";
  auto full = zt::run(fill + "PUSHCONSTINDEX 1; ENDCYCLE");
  EXPECT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(zek_istack_count(), 48u);
}

TEST(IndexStack, RefusesWhatDoesNotFit) {
  std::string fill48, group30;
  for (int i = 0; i < 48; ++i) fill48 += "PUSHCONSTINDEX 1; ";
  for (int i = 0; i < 29; ++i) group30 += "PUSHCONSTINDEX 1; ";
  group30 += "PUSHCONSTINDEX 29; ";
  struct Row {
    std::string code;
    uint16_t error;
    const char *message;
  };
  const Row rows[] = {
      {fill48 + "PUSHCONSTINDEX 1", ZEK_ERR_OVERFLOW, "An overflow of the size stack occurred."},
      {fill48 + "PUSHINT32 1; PUSHINDEX", ZEK_ERR_OVERFLOW, "An overflow of the size stack occurred."},
      {"PUSHINT16 1; PUSHINDEX", ZEK_ERR_TYPE, "Type mismatch on parameter stack. Expected int32, got int16."},
      {"DUPINDEX", ZEK_ERR_OVERFLOW, "An underflow of the size stack occurred."},
      // A count larger than the entries below it would copy from below the stack.
      {"PUSHCONSTINDEX 7; PUSHCONSTINDEX 5; DUPINDEX", ZEK_ERR_UNDERFLOW, "An underflow of the size stack occurred."},
      {"PUSHCONSTINDEX 0xFFFFFFFF; DUPINDEX", ZEK_ERR_UNDERFLOW, "An underflow of the size stack occurred."},
      {group30 + "DUPINDEX", ZEK_ERR_OVERFLOW, "An overflow of the size stack occurred."},
  };
  for (const Row &row : rows) {
    zt::Program p;
    p.code = row.code + "; ENDCYCLE";
    SCOPED_TRACE(row.code.substr(row.code.size() > 60 ? row.code.size() - 60 : 0));
    auto l = zt::bothWays(row.code, [&] {
      auto loaded = zt::load(p);
      zt::execute(loaded);
      return loaded;
    });
    EXPECT_EQ(zek_getErrorCode(), row.error) << zt::errorText();
    EXPECT_EQ(bareError(), row.message);
    EXPECT_LE(zek_istack_count(), 48u);
  }
}

// ---------------------------------------------------------------------------------------------
// Functions

// A program whose function f (server, at label f) has the arguments a (int32) and b (int16[3]).
zt::Program functionProgram(const std::string &code, uint8_t role = 1) {
  zt::Program p;
  p.channel("x", ZEK_INT32);
  p.channel("a", ZEK_INT32, ZEK_ROLE_FUNC_INPUT);
  p.channel("b", ZEK_INT16, ZEK_ROLE_FUNC_OUTPUT, 3);
  zt::Function f;
  f.name = "f";
  f.role = role;
  f.entry = role == 1 ? "f" : "";
  f.firstArg = 1;
  f.argCount = 2;
  p.functions.push_back(f);
  p.code = code;
  return p;
}

// Bits of the written-flag bitmap over the heap bytes of a channel.
std::vector<bool> writtenBits(const char *name) {
  ChannelDecl *c = zt::channel(name);
  std::vector<bool> bits;
  for (uint32_t i = 0; i < c->elementCount * c->elementSize; ++i) bits.push_back(zek_isWrittenFlag(c->heapOffset + i) != 0);
  return bits;
}

void expectArgumentsWritten() {
  EXPECT_EQ(writtenBits("a"), (std::vector<bool>{true, false, false, false})) << "a scalar marks its first byte";
  EXPECT_EQ(writtenBits("b"), std::vector<bool>(6, true)) << "an array marks every byte";
  EXPECT_EQ(writtenBits("x"), std::vector<bool>(4, false));
}

TEST(ServerFunctions, RunInsideTheCycleAndRestoreTheCaller) {
  for (bool big : kByteOrders) {
    zt::Program p = functionProgram(
        "PUSHINT32 1; CALLFUNCTION f; PUSHINT32 2; ENDCYCLE"
        "; f: PUSHINT32 5; CALLSUB sub; DROP; ENDCYCLE; sub: DROP; PUSHINT32 6; RETURN");
    p.bigEndian = big;
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    zt::execute(l);
    SCOPED_TRACE(order(big));
    ASSERT_FALSE(zek_hasError()) << zt::errorText();
    EXPECT_EQ(vmstate0.runState, (uint32_t)ZEK_END_OF_CYCLE);
    EXPECT_EQ(vmstate0.callDepth, 0u);
    ASSERT_EQ(zek_pstack_valueCount(), 2u);
    EXPECT_EQ(zt::top<int32_t>(1), 1);
    EXPECT_EQ(zt::top<int32_t>(0), 2);
    EXPECT_EQ(zek_cstack_count(), 0u);
  }
}

TEST(ServerFunctions, MarkTheirArgumentsWritten) {
  auto l = zt::load(functionProgram("CALLFUNCTION f; ENDCYCLE; f: ENDCYCLE"));
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  ASSERT_EQ(zek_runCycle(), (uint32_t)ZEK_CYCLE_GO_ON) << zt::errorText();
  expectArgumentsWritten();
}

TEST(ServerFunctions, ImbalanceAndErrorsEndTheCallWithTheCallersStacks) {
  struct Row {
    const char *body;
    uint16_t error;
    const char *message;  // prefix of the message
  };
  const Row rows[] = {
      {"PUSHINT32 5; ENDCYCLE", ZEK_ERR_PSTACK_MISMATCH,
       "Function 'f': Parameter stack pointer mismatch in function call f (error=113"},
      {"DROP; ENDCYCLE", ZEK_ERR_PSTACK_MISMATCH,
       "Function 'f': Parameter stack pointer mismatch in function call f (error=113"},
      {"CALLSUB sub; ENDCYCLE; sub: ENDCYCLE", ZEK_ERR_CSTACK,
       "Function 'f': Call stack pointer mismatch in function call f (error=114"},
      {"PUSHINT32 5; CALLSUB sub; sub: ENDERROR 42 \"bad\"", 42, "Function 'f': bad"},
      // Recursion stops at the call-depth limit, not on the native stack.
      {"CALLFUNCTION f; ENDCYCLE", ZEK_ERR_OVERFLOW, "Function 'f': Function 'f': "},
  };
  for (const Row &row : rows) {
    auto l = zt::load(functionProgram(std::string("PUSHINT32 1; CALLFUNCTION f; PUSHINT32 2; ENDCYCLE; f: ") + row.body));
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    zt::execute(l);
    SCOPED_TRACE(row.body);
    EXPECT_EQ(zek_getErrorCode(), row.error) << zt::errorText();
    EXPECT_EQ(std::string(zek_getErrorMessage()).rfind(row.message, 0), 0u) << zt::errorText();
    // The context of the failing instruction stands once, however deep the quoting.
    std::string text = zek_getErrorMessage();
    EXPECT_EQ(text.find("(error="), text.rfind("(error=")) << text;
    // The caller's stacks as they stood at CALLFUNCTION; the caller goes no further.
    ASSERT_EQ(zek_pstack_valueCount(), 1u);
    EXPECT_EQ(zt::top<int32_t>(), 1);
    EXPECT_EQ(zek_cstack_count(), 0u);
    EXPECT_EQ(vmstate0.callDepth, 0u);
  }
}

TEST(ServerFunctions, RunForTheHost) {
  auto l = zt::load(functionProgram("ENDCYCLE; f: PUSHINT32 5; DROP; ENDCYCLE"));
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  ASSERT_EQ(zek_runCycle(), (uint32_t)ZEK_CYCLE_GO_ON);
  zek_resetError();
  uint32_t pc = vmstate0.pc;
  EXPECT_EQ(zek_runServerStubFunction(0), 0u) << zt::errorText();
  EXPECT_EQ(vmstate0.pc, pc);
  EXPECT_EQ(zek_pstack_valueCount(), 0u);
  expectArgumentsWritten();

  // An error that stands already is kept, and the function does not run over it.
  zek_raiseError(77, "earlier");
  EXPECT_EQ(zek_runServerStubFunction(0), 1u);
  EXPECT_EQ(zek_getErrorCode(), 77);
  EXPECT_EQ(bareError(), "earlier");

  zek_resetError();
  EXPECT_EQ(zek_runServerStubFunction(1), 1u);
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_FUNCTION);

  auto failing = zt::load(functionProgram("ENDCYCLE; f: PUSHINT32 5; ENDCYCLE"));
  zek_resetError();
  EXPECT_EQ(zek_runServerStubFunction(0), 1u);
  EXPECT_EQ(bareError(), "Parameter stack pointer mismatch in function call f");
  EXPECT_EQ(zek_pstack_valueCount(), 0u);
}

TEST(ServerFunctions, ComputeOnTheirArgumentsForTheCycleAndTheHost) {
  zt::Program p;
  p.channel("in", ZEK_INT32, ZEK_ROLE_FUNC_INPUT);
  p.channel("out", ZEK_INT32, ZEK_ROLE_FUNC_OUTPUT);
  zt::Function f;
  f.name = "inc";
  f.entry = "inc";
  f.argCount = 2;
  p.functions.push_back(f);
  p.code =
      "PUSHINT32 41; WRITEALL in; CALLFUNCTION inc; ENDCYCLE"
      "; inc: READALL in; PUSHINT32 1; PLUS; WRITEALL out; ENDCYCLE";
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  ASSERT_EQ(zek_runCycle(), (uint32_t)ZEK_CYCLE_GO_ON) << zt::errorText();
  EXPECT_EQ(zt::value<int32_t>("out"), 42);
  zt::setValue<int32_t>("in", -8);
  EXPECT_EQ(zek_runServerStubFunction(0), 0u) << zt::errorText();
  EXPECT_EQ(zt::value<int32_t>("out"), -7);
}

// Client functions are the host's: a handler installed on the FunctionDecl.
int g_calls;
const FunctionDecl *g_called;
std::string g_raise;

void clientHandler(FunctionDecl *function) {
  ++g_calls;
  g_called = function;
  if (!g_raise.empty()) zek_raiseError(55, "%s", g_raise.c_str());
}

zt::Loaded loadClient(const std::string &code, bool withHandler) {
  auto l = zt::load(functionProgram(code, 2));
  EXPECT_EQ(l.result, 0u) << zt::errorText();
  zek_getData()->functions[0].handler = withHandler ? clientHandler : nullptr;
  g_calls = 0;
  g_called = nullptr;
  g_raise.clear();
  return l;
}

TEST(ClientFunctions, CallTheHandlerAndMarkTheArguments) {
  auto l = loadClient("PUSHINT32 3; CALLFUNCTION f; ENDCYCLE", true);
  zt::execute(l);
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(g_called, &zek_getData()->functions[0]);
  EXPECT_EQ(zt::top<int32_t>(), 3);
  expectArgumentsWritten();

  auto host = loadClient("ENDCYCLE", true);
  EXPECT_EQ(zek_runServerStubFunction(0), 0u);
  EXPECT_EQ(g_calls, 1);
}

TEST(ClientFunctions, FailuresNameTheFunction) {
  {
    auto l = loadClient("CALLFUNCTION f; ENDCYCLE", false);
    zt::execute(l);
    EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_FUNCTION);
    EXPECT_EQ(bareError(), "Function 'f' has no assigned function handler");
    zek_resetError();
    EXPECT_EQ(zek_runServerStubFunction(0), 1u);
    EXPECT_EQ(bareError(), "Function 'f' has no assigned function handler");
  }
  {
    auto l = loadClient("CALLFUNCTION f; ENDCYCLE", true);
    g_raise = "boom";
    zt::execute(l);
    EXPECT_EQ(zek_getErrorCode(), 55);
    EXPECT_EQ(std::string(zek_getErrorMessage()).rfind("Function 'f': boom (error=55", 0), 0u) << zt::errorText();
    EXPECT_EQ(writtenBits("a"), std::vector<bool>(4, false)) << "a failed call marks nothing";
  }
  {
    // The quoted message is cut to 2047 characters.
    auto l = loadClient("CALLFUNCTION f; ENDCYCLE", true);
    g_raise = std::string(3000, 'x');
    zt::execute(l);
    EXPECT_EQ(zek_getErrorCode(), 55);
    EXPECT_EQ(bareError(), "Function 'f': " + std::string(2047, 'x'));
  }
  {
    auto l = loadClient("CALLFUNCTION 1; ENDCYCLE", true);
    zt::execute(l);
    EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_FUNCTION);
    EXPECT_EQ(g_calls, 0);
  }
  {
    // A cut operand must not call function 0.
    auto l = loadClient("BYTES 72 0", true);
    zt::execute(l);
    EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_BYTECODE);
    EXPECT_EQ(g_calls, 0);
  }
}

}  // namespace
