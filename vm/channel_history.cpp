// The values of past cycles: one step back from the previous-values buffer (part 2 of the
// values heap), more steps from the history ring (part 3), and the READ*_AT_T instructions.
#include "channel_parts.h"
#include "opcodes.h"
#include "stacks.h"

using namespace zek_channel;

namespace {

inline int partOf(uint64_t e) {
  const VmState &vm = vmstate0;
  if (e < vm.part1Size) return 1;
  if (e < (uint64_t)vm.part1Size + vm.part2Size) return 2;
  return 3;
}

// The previous-values buffer and the ring slots hold one part each: a channel that reaches into
// the next part has no complete past value there.
bool refuseSpanningChannel(uint32_t n, const ChannelDecl &c) {
  uint64_t lastByte = c.heapOffset + (uint64_t)c.elementCount * c.elementSize - 1;
  if (partOf(c.heapOffset) == partOf(lastByte)) return false;
  zek_raiseError(ZEK_ERR_HISTORY,
                 "Accessing the value of channel '%s' %u step(s) back in the past, which crosses the boundary of its part of the values heap.",
                 c.name, n);
  return true;
}

}  // namespace

const uint8_t *zek_channel::pastPtr(uint32_t n, const ChannelDecl &c, uint32_t e) {
  const VmState &vm = vmstate0;
  uint64_t queueStart = (uint64_t)vm.part1Size + vm.part2Size;
  if (n == 1) {
    if (vm.cycleCount == 0) {
      zek_raiseError(ZEK_ERR_NOT_AVAILABLE, "Accessing the value for signal '%s(t-@)', at t=0s.", c.name);
      return nullptr;
    }
    if (e < vm.part1Size) {
      zek_raiseError(ZEK_ERR_NOT_AVAILABLE, "Accessing the value for signal '%s(t-@)', but the signal is non-queued.", c.name);
      return nullptr;
    }
    if (e < queueStart) return refuseSpanningChannel(n, c) ? nullptr : vm.previousValues + (e - vm.part1Size);
  }
  if (e < queueStart) {
    zek_raiseError(ZEK_ERR_HISTORY,
                   "Accessing the value of channel '%s' %u step(s) back in the past, which is not in the queue (non queued variable).",
                   c.name, n);
    return nullptr;
  }
  if (n >= vm.historySize) {
    zek_raiseError(ZEK_ERR_HISTORY,
                   "Accessing the value of channel '%s' %u step(s) back in the past (>= history size %u). Increasing the history size could fix this issue.",
                   c.name, n, vm.historySize);
    return nullptr;
  }
  if (n > vm.cycleCount) {
    zek_raiseError(ZEK_ERR_HISTORY, "Accessing the value of channel '%s' %u step(s) back in the past, which is a negative time.",
                   c.name, n);
    return nullptr;
  }
  if (refuseSpanningChannel(n, c)) return nullptr;
  // The current slot holds the end of the last cycle (one step back); n - 1 < H slots before it.
  uint64_t current = (uint64_t)(vm.historySlot - vm.historyRing) / vm.part3Size;
  uint64_t back = n - 1;
  uint64_t slot = current >= back ? current - back : current + vm.historySize - back;
  return vm.historyRing + slot * vm.part3Size + (e - queueStart);
}

namespace {

// The steps back of a READ*_AT_T, popped before the operand is read.
bool popStepsBack(uint32_t *n) {
  if (!zek_pstack_popScalar<uint32_t>(ZEK_UINT32, n)) return false;
  if (vmstate0.realtimeActive) {
    zek_raiseError(ZEK_ERR_HISTORY, "Trying to access value in the past with realtime semantics which is not supported.");
    return false;
  }
  return true;
}

}  // namespace

void zek__READALL_AT_T(void) {
  uint32_t n;
  if (popStepsBack(&n)) zek__READALL_x(n);
}
void zek__READPART_AT_T(void) {
  uint32_t n;
  if (popStepsBack(&n)) zek__READPART_x(n);
}
void zek__READSLICE_AT_T(void) {
  uint32_t n;
  if (popStepsBack(&n)) zek__READSLICE_x(n);
}
