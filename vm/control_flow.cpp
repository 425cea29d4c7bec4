// The ends of a cycle and of the test (ENDCYCLE, END, ENDERROR) and NOP, branches, jump
// tables, subroutines, index pushes and calls of program functions.
//
// Jump and table targets are offsets from the code base; a CALLSUB offset counts from the end
// of its operand and wraps modulo 2^32, so a subroutine may lie before its call. Every target
// is checked against the code before pc moves, so the loop never fetches outside the code.
// Where control goes back, or into a function, a standing stop request of the host ends the
// running code instead (zek_stopGoingBack).
#include "channel_access.h"
#include "opcodes.h"
#include "operands.h"
#include "stacks.h"

namespace {
// A handler's message quoted in "Function '%s': %s" is cut to this many characters.
constexpr uint32_t kMaxQuotedMessage = 2047;

// Moves pc to code base + target when the target lies inside the code (117 otherwise) and no
// stop request ends the code there.
inline void jumpTo(uint32_t target) {
  if (!zek_checkTarget(target)) return;
  uint32_t to = vmstate0.codeBase + target;
  if (!zek_stopGoingBack(to)) vmstate0.pc = to;
}

// The function at a position of the function table, or null after raising 103.
FunctionDecl *functionAt(uint16_t index) {
  const VmData &data = vmstate0.data;
  if (index >= data.functionCount) {
    zek_raiseError(ZEK_ERR_FUNCTION, "Function %u does not exist; the program declares %u functions.",
                   (unsigned)index, (unsigned)data.functionCount);
    return nullptr;
  }
  return &data.functions[index];
}

// A function's arguments are its consecutive argument channels. A single element is marked by
// its first byte, several by every byte they cover, as every write marks them.
void markArgumentsWritten(const FunctionDecl &function) {
  for (uint16_t a = 0; a < function.argCount; ++a) {
    const ChannelDecl &c = function.firstArg[a];
    uint64_t last = c.elementCount == 1 ? c.heapOffset
                                        : (uint64_t)c.heapOffset + (uint64_t)c.elementSize * c.elementCount - 1;
    zek_setWrittenFlagInRange(c.heapOffset, (uint32_t)last);
  }
}

// Raises the standing error again with the function's name in front. The old message is the
// error state's own buffer, which the new raise rewrites, so it is quoted from a copy. Kept out
// of line so that the copy does not enlarge the frame of every nested call.
[[gnu::noinline]] void reraiseNamingFunction(const FunctionDecl &function) {
  char previous[kMaxQuotedMessage + 1];
  const char *message = zek_getErrorMessage();
  uint32_t length = zek_nstrlen(message, kMaxQuotedMessage);
  std::memcpy(previous, message, length);
  previous[length] = '\0';
  // The quoted message already ends with the context of the failing instruction; the context
  // handler would append the same context a second time.
  ZekErrorContextHandler context = zek_setErrorContextHandler(nullptr);
  zek_raiseError(zek_getErrorCode(), "Function '%s': %s", function.name, previous);
  zek_setErrorContextHandler(context);
}

bool hasHandler(const FunctionDecl &function) {
  if (function.handler != nullptr) return true;
  zek_raiseError(ZEK_ERR_FUNCTION, "Function '%s' has no assigned function handler", function.name);
  return false;
}
}  // namespace

void zek__NOP(void) {}
void zek__ENDCYCLE(void) { vmstate0.runState = ZEK_END_OF_CYCLE; }
void zek__END(void) { vmstate0.runState = ZEK_END_OF_TEST; }

void zek__ENDERROR(void) {
  uint16_t code = op_u16();
  const char *text = op_text();
  if (text == nullptr) return;
  // A code of 0 would leave no error standing and the cycle would pass as a success.
  zek_raiseError(code != 0 ? code : (uint16_t)ZEK_ERR_FATAL, "%s", text);
}

void zek__PUSHINDEX(void) {
  int32_t value;
  if (zek_pstack_popScalar<int32_t>(ZEK_INT32, &value)) zek_istack_push((uint32_t)value);
}

void zek__PUSHCONSTINDEX(void) {
  uint32_t value = op_u32();
  zek_istack_push(value);
}

// Copies the top group (n index values and the count n above them) once more on top.
void zek__DUPINDEX(void) {
  WordStack &index = vmstate0.index;
  uint64_t used = (uint64_t)(index.top - index.base);
  if (used == 0) {
    zek_raiseError(ZEK_ERR_OVERFLOW, "An underflow of the size stack occurred.");
    return;
  }
  uint64_t group = (uint64_t)index.top[-1] + 1;
  if (group > used) {
    zek_raiseError(ZEK_ERR_UNDERFLOW, "An underflow of the size stack occurred.");
    return;
  }
  if (group > (uint64_t)(index.end - index.top)) {
    zek_raiseError(ZEK_ERR_OVERFLOW, "An overflow of the size stack occurred.");
    return;
  }
  std::memcpy(index.top, index.top - group, (size_t)group * sizeof(uint32_t));
  index.top += group;
}

void zek__JUMP(void) {
  uint32_t target = op_u32();
  jumpTo(target);
}

void zek__JUMPONTRUE(void) {
  uint32_t target = op_u32();
  uint8_t condition;
  if (zek_pstack_popScalar<uint8_t>(ZEK_BOOL, &condition) && condition != 0) jumpTo(target);
}

void zek__JUMPONFALSE(void) {
  uint32_t target = op_u32();
  uint8_t condition;
  if (zek_pstack_popScalar<uint8_t>(ZEK_BOOL, &condition) && condition == 0) jumpTo(target);
}

// The tested value stays on the stack whether or not the jump is taken.
void zek__JUMP_IF_ZERO(void) {
  uint32_t target = op_u32();
  const uint8_t *value = zek_pstack_peekScalarWithType(ZEK_UINT16);
  if (value != nullptr && zek_load_as<uint16_t>(value) == 0) jumpTo(target);
}

// u16 count n, then n u32 targets. The index is a 16-bit scalar read as its unsigned pattern,
// so a negative int16 fails the bound test like any index >= n.
void zek__JUMPTABLE(void) {
  VmState &vm = vmstate0;
  uint16_t count = op_u16();
  uint32_t type;
  const uint8_t *value = zek_pstack_dropScalar(&type);
  if (value == nullptr) return;
  if (type != ZEK_UINT16 && type != ZEK_INT16) {
    zek_raiseError(ZEK_ERR_SHAPE, "Expected scalar, got array.");
    return;
  }
  uint16_t index = zek_load_as<uint16_t>(value);
  if (index >= count) {
    zek_raiseError(ZEK_ERR_JUMPTABLE, "Fatal. JUMPTABLE index=%u is greater than table length=%u.", (unsigned)index,
                   (unsigned)count);
    return;
  }
  uint64_t entry = (uint64_t)vm.pc + 4u * (uint64_t)index;
  if (entry > vm.crcPosition) {
    zek_raiseOperandOutOfCode();
    return;
  }
  vm.pc = (uint32_t)entry;
  uint32_t target;
  if (op_checked_u32(&target)) jumpTo(target);
}

void zek__CALLSUB(void) {
  VmState &vm = vmstate0;
  uint32_t offset = op_u32();
  uint32_t returnAddress = vm.pc;
  uint32_t target = returnAddress + offset;  // modulo 2^32: negative offsets call backwards
  // Relative to the code base; a target below it wraps to a value beyond the code.
  if (!zek_checkTarget((uint32_t)(target - vm.codeBase)) || zek_stopGoingBack(target)) return;
  if (zek_cstack_push(returnAddress)) vm.pc = target;
}

void zek__RETURN(void) {
  uint32_t address;
  if (zek_cstack_pop(&address) && !zek_stopGoingBack(address)) vmstate0.pc = address;
}

void zek__CALLFUNCTION(void) {
  uint16_t index = op_u16();
  FunctionDecl *function = functionAt(index);
  if (function == nullptr || !hasHandler(*function)) return;
  function->handler(function);
  if (zek_errorPending()) {
    reraiseNamingFunction(*function);
    return;
  }
  markArgumentsWritten(*function);
}

// Runs a server function's byte code through the one instruction loop, inside the current
// cycle (from CALLFUNCTION) or for a host. Each nesting adds one to the call depth of the loop,
// so a function that calls itself ends with 108 at the depth limit. Nothing travels on the
// parameter stack: it must stand where it stood when the function ends. A function may call
// itself twice over, which the depth limit bounds only by 2^100 calls: a stop request ends a
// call before it runs, and a function that it cut short leaves the run state ZEK_STOPPED to
// its caller, whose loop ends behind the call.
void zek_serverFunctionHandler(FunctionDecl *function) {
  VmState &vm = vmstate0;
  // A standing error belongs to the caller; running would need to clear it.
  if (zek_errorPending()) return;
  if (zek_stopRequested()) {
    vm.runState = ZEK_STOPPED;
    return;
  }
  markArgumentsWritten(*function);
  PstackState saved;
  zek_pstack_saveState(&saved);
  uint32_t pc = vm.pc;
  uint32_t instructionAddress = vm.instructionAddress;
  uint32_t runState = vm.runState;
  vm.pc = vm.codeBase + function->entryPoint;
  vm.runState = ZEK_RUNNING;

  zek_executeLoop();

  bool stopped = vm.runState == ZEK_STOPPED && !zek_errorPending();
  int mismatch = zek_errorPending() || stopped ? 0 : zek_pstack_checkState(&saved);
  if (zek_errorPending() || stopped || mismatch != 0) {
    // Leave the stacks as the caller had them, whatever the function did to them.
    zek_pstack_restoreState(&saved);
    vm.calls.top = saved.calls;
  }
  vm.pc = pc;
  vm.instructionAddress = instructionAddress;
  vm.runState = stopped ? (uint32_t)ZEK_STOPPED : runState;
  if (mismatch == 1)
    zek_raiseError(ZEK_ERR_PSTACK_MISMATCH, "Parameter stack pointer mismatch in function call %s", function->name);
  else if (mismatch == 2)
    zek_raiseError(ZEK_ERR_CSTACK, "Call stack pointer mismatch in function call %s", function->name);
}

// index is the function's position in the function table (hosts pass the function's id, which
// program images set to that position). 0 when the function ran without error, else 1; a
// function that a stop request cut short did not run to its end, which the host learns as an
// error.
uint32_t zek_runServerStubFunction(uint16_t index) {
  VmState &vm = vmstate0;
  // Server functions nest inside running byte code, but not inside a load, which builds the
  // function table, nor inside a host's export that holds the program.
  if (zek_refusedWhileInUse("zek_runServerStubFunction", false)) return 1;
  FunctionDecl *function = functionAt(index);
  if (function == nullptr || !hasHandler(*function)) return 1;
  uint32_t runState = vm.runState;
  vm.runState = ZEK_RUNNING;
  function->handler(function);
  bool stopped = vm.runState == ZEK_STOPPED;
  vm.runState = runState;
  if (stopped && !zek_errorPending())
    zek_raiseError(ZEK_ERR_FATAL, "Function '%s' was ended by a stop request.", function->name);
  return zek_errorPending() ? 1 : 0;
}
