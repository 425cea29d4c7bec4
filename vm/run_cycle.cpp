// The run cycle: one call of zek_runCycle interprets one cycle of the loaded program, through
// the one instruction loop (with its fast paths) and its dispatch, which zek_callByteCode
// shares.
#include "fast_paths.h"
#include "opcodes.h"
#include "operands.h"
#include "stacks.h"

namespace {
constexpr double kMicro = 1000000.0;

void markInitialValues(void) {
  VmState &vm = vmstate0;
  for (uint16_t i = 0; i < vm.data.channelCount; ++i) {
    const ChannelDecl &c = vm.data.channels[i];
    bool input = c.role == ZEK_ROLE_INPUT && c.valueLoader == nullptr;
    bool hostWritten = (c.role == ZEK_ROLE_OUTPUT || c.role == ZEK_ROLE_PARAMETER) && c.readWrite;
    if (!input && !hostWritten) continue;
    for (uint32_t k = 0; k < c.elementCount; ++k)
      zek_bitmap_set(vm.initialFlags, c.heapOffset + k * (uint32_t)c.elementSize);
  }
}

double cycleClock(void) {
  VmState &vm = vmstate0;
  if (!vm.realtimeActive) return (double)vm.cycleTime / kMicro * (double)vm.cycleCount;
  double t = vm.realtimeCmd();
  if (vm.cycleCount == 0) {
    vm.realtimeStart = t;
    return 0.0;
  }
  double dt = (double)vm.cycleTime / kMicro;
  // A second cycle that comes too early still sees exactly one cycle time.
  if (vm.cycleCount == 1 && t - vm.realtimeStart < dt) {
    vm.realtimeStart = t - dt;
    return dt;
  }
  return t - vm.realtimeStart;
}

void copyHistory(void) {
  VmState &vm = vmstate0;
  uint8_t *part2 = vm.heap + vm.part1Size;
  uint8_t *part3 = part2 + vm.part2Size;
  if (vm.part2Size > 0) std::memcpy(vm.previousValues, part2, vm.part2Size);
  if (vm.part3Size == 0) return;
  vm.historySlot += vm.part3Size;
  if (vm.historySlot >= vm.historyRing + (size_t)vm.historySize * vm.part3Size) vm.historySlot = vm.historyRing;
  std::memcpy(vm.historySlot, part3, vm.part3Size);
}
}  // namespace

uint8_t zek_stopRequest = 0;

void zek_setStopRequest(bool requested) { zek_relaxedStore(&zek_stopRequest, requested ? 1 : 0); }

// Runs one handler one level deeper. The depth counts nested executions (server functions
// called from byte code); past the limit the instruction is not run, so a function that calls
// itself cannot exhaust the native stack. An instruction whose fixed operands reach into the
// CRC is not run either: the one test here is what lets the handlers read those operands
// without a check of their own.
static inline bool dispatch(VmState &vm, uint8_t opcode) {
  if (++vm.callDepth > ZEK_MAX_CALL_DEPTH) {
    --vm.callDepth;
    zek_raiseError(ZEK_ERR_OVERFLOW, "An overflow of the call stack occurred.");
    return false;
  }
  if ((uint64_t)vm.pc + zek_fixedOperandBytes[opcode] > vm.crcPosition) zek_raiseOperandOutOfCode();
  else zek_byteCodeHandler[opcode]();
  --vm.callDepth;
  return true;
}

namespace {

ZEK_NOINLINE void raisePcOutside(const VmState &vm) {
  zek_raiseError(ZEK_ERR_BYTECODE, "Program counter 0x%04x lies outside of the byte code.",
                 vm.pc >= vm.codeBase ? vm.pc - vm.codeBase : 0);
}

// The loop without fast paths: every instruction goes to its handler. It runs the instructions
// while zek_handlersOnly is set; past the depth limit its first dispatch raises the overflow, so
// there it runs none.
void runHandlersOnly(VmState &vm) {
  while (vm.runState == ZEK_RUNNING && !zek_errorPending()) {
    if (vm.pc >= vm.crcPosition) {
      raisePcOutside(vm);
      return;
    }
    uint8_t opcode = vm.image[vm.pc++];
    vm.instructionAddress = vm.pc;
    if (!dispatch(vm, opcode)) return;
  }
}

// The loop with the fast paths (zek_fast): pc, the stack tops and the fixed fields stay in the
// registers r between instructions and go back to the VM record before a handler runs or the
// loop ends. A completed fast path raised nothing and left the run state as it was, so the
// tests of both are made again only after a handler. Where the compiler takes label addresses,
// every fast path ends in its own fetch and jump, so that each one's successor is predicted on
// its own.
template <bool Swap> void runWithFastPaths(VmState &vm) {
  using namespace zek_fast;
  Regs r;
  takeUpFixed(r, vm);
  uint32_t at = vm.instructionAddress;  // the instruction run last
  uint8_t op;
#if ZEK_HAS_LABEL_ADDRESSES
  static void *table[256];
  static bool ready = false;
  if (!ready) {
    for (void *&t : table) t = &&handler;
#define ZEK_FAST_LABEL(name, call) table[OP_##name] = &&fast_##name;
    ZEK_FAST_PATHS(ZEK_FAST_LABEL)
#undef ZEK_FAST_LABEL
    ready = true;
  }
#define ZEK_FETCH_AND_GO            \
  if (r.pc >= r.crc) goto outside;  \
  op = r.image[r.pc++];             \
  goto *table[op];
round:
  if (vm.runState != ZEK_RUNNING || zek_errorPending()) return;
  takeUp(r, vm);
  ZEK_FETCH_AND_GO
#define ZEK_FAST_LABEL(name, call) \
  fast_##name:                     \
  if (!call) goto handler;         \
  at = r.pc;                       \
  ZEK_FETCH_AND_GO
  ZEK_FAST_PATHS(ZEK_FAST_LABEL)
#undef ZEK_FAST_LABEL
#undef ZEK_FETCH_AND_GO
#else
round:
  if (vm.runState != ZEK_RUNNING || zek_errorPending()) return;
  takeUp(r, vm);
  for (;;) {
    if (r.pc >= r.crc) goto outside;
    op = r.image[r.pc++];
    bool done;
    switch (op) {
#define ZEK_FAST_CASE(name, call) case OP_##name: done = call; break;
      ZEK_FAST_PATHS(ZEK_FAST_CASE)
#undef ZEK_FAST_CASE
      default: done = false; break;
    }
    if (!done) goto handler;
    at = r.pc;
  }
#endif
handler:
  at = r.pc;
  writeBack(r, vm);
  vm.instructionAddress = at;
  if (!dispatch(vm, op)) return;
  goto round;
outside:
  writeBack(r, vm);
  vm.instructionAddress = at;
  raisePcOutside(vm);
}

}  // namespace

bool zek_handlersOnly = false;

namespace {
// True from the start of a cycle to its end and while a loop runs (a server function the host
// runs, a nested execution): the span in which callbacks of the host run on the program's
// stacks, pc and tables. Kept apart from the VM record, which a load clears.
bool g_byteCodeRunning = false;
// The host's export that works on the loaded program while its caller's callbacks run, and the
// entries refused so far because of it or of a running load.
const char *g_programHolder = nullptr;
uint32_t g_inUseRefusals = 0;
}  // namespace

bool zek_byteCodeRunning(void) { return g_byteCodeRunning; }

const char *zek_holdProgram(const char *holder) {
  const char *previous = g_programHolder;
  g_programHolder = holder;
  return previous;
}

uint32_t zek_inUseRefusals(void) { return g_inUseRefusals; }

bool zek_refusedWhileInUse(const char *operation, bool hostCall) {
  const char *running = zek_loadRunning() ? "zek_load" : hostCall ? nullptr : g_programHolder;
  if (running == nullptr) return false;
  ++g_inUseRefusals;
  zek_raiseError(ZEK_ERR_FATAL, "%s(): not allowed while %s() runs; call it after it returns.", operation, running);
  return true;
}

// Between two instructions the depth is the loop's own, so one test at the start tells whether
// every dispatch of this loop passes the depth check; only then do the fast paths run. The
// tests' switch is read here too, once per loop.
void zek_executeLoop(void) {
  VmState &vm = vmstate0;
  bool outer = g_byteCodeRunning;
  g_byteCodeRunning = true;
  if (vm.callDepth >= ZEK_MAX_CALL_DEPTH || zek_handlersOnly) runHandlersOnly(vm);
  else if (vm.swap) runWithFastPaths<true>(vm);
  else runWithFastPaths<false>(vm);
  g_byteCodeRunning = outer;
}

void zek_callByteCode(uint8_t opcode) {
  VmState &vm = vmstate0;
  vm.instructionAddress = vm.pc;
  dispatch(vm, opcode);
}

uint32_t zek_runCylce_terminated(void) {
  const VmState &vm = vmstate0;
  if (vm.guard1 == ZEK_GUARD && vm.guard2 == ZEK_GUARD && vm.guard3 == ZEK_GUARD && vm.guard4 == ZEK_GUARD)
    return ZEK_CYCLE_TEST_ENDED;
  zek_raiseError(ZEK_ERR_FATAL, "Fatal error: External SUT-code may have corrupted the ZEK-VM memory.");
  return ZEK_CYCLE_ERROR;
}

namespace {
uint32_t runCycle(void) {
  VmState &vm = vmstate0;
  if (!vm.loaded) {
    zek_raiseError(ZEK_ERR_FATAL, "No program is loaded.");
    return ZEK_CYCLE_ERROR;
  }
  vm.realtimeActive = vm.realtimeCmd != nullptr && vm.realtime;
  vm.pc = vm.codeBase;
  vm.instructionAddress = vm.codeBase;
  vm.callDepth = 0;
  zek_pstack_clear();
  zek_istack_clear();
  zek_cstack_clear();
  if (vm.cycleCount == 0) markInitialValues();
  zek_eventList_free();
  if (vm.bitmapSize > 0) std::memset(vm.writtenFlags, 0, vm.bitmapSize);
  vm.time = cycleClock();
  vm.runState = ZEK_RUNNING;
  zek_resetError();

  zek_executeLoop();

  // A cycle cut short is not a computed one: its values stay out of the history, and the
  // stacks it left are not its fault.
  if (vm.runState == ZEK_STOPPED && !zek_hasError()) return ZEK_CYCLE_STOPPED;
  copyHistory();
  if (zek_hasError()) return ZEK_CYCLE_ERROR;
  if (zek_pstack_count() != 0) {
    zek_raiseError(ZEK_ERR_FATAL, "Parameter stack pointer mismatch %d", (int)zek_pstack_count());
    return ZEK_CYCLE_ERROR;
  }
  if (zek_cstack_count() != 0) {
    zek_raiseError(ZEK_ERR_FATAL, "Call stack pointer mismatch %d", (int)zek_cstack_count());
    return ZEK_CYCLE_ERROR;
  }
  if (vm.runState == ZEK_END_OF_CYCLE) {
    bool goOn = vm.realtimeActive ? vm.time < vm.timeoutSeconds : vm.cycleCount < vm.timeout;
    if (goOn) {
      ++vm.cycleCount;
      return ZEK_CYCLE_GO_ON;
    }
    return zek_runCylce_terminated();
  }
  if (vm.runState == ZEK_END_OF_TEST) return zek_runCylce_terminated();
  zek_raiseError(ZEK_ERR_FATAL, "Oops. Cannot occur!");
  return ZEK_CYCLE_ERROR;
}
}  // namespace

// A cycle starts over pc, the call depth and the stacks; one started by a callback of a running
// cycle (a client function, the clock, a message box, the error handler) would pull them from
// under the code that runs, so it is refused and the running cycle goes on with that error. One
// started inside a load, or by a callback of a host's export that holds the program, would run
// a half-built program or the one that export is working on.
uint32_t zek_runCycle(void) {
  if (g_byteCodeRunning) {
    zek_raiseError(ZEK_ERR_FATAL,
                   "zek_runCycle(): not allowed while byte code runs (inside a cycle or a function); call it between cycles.");
    return ZEK_CYCLE_ERROR;
  }
  if (zek_refusedWhileInUse("zek_runCycle", false)) return ZEK_CYCLE_ERROR;
  g_byteCodeRunning = true;
  uint32_t result = runCycle();
  g_byteCodeRunning = false;
  return result;
}
