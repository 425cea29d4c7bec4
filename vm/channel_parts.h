#pragma once
// What the four units of channel access share: the reads (channel_reads.cpp), the writes and
// written flags (channel_writes.cpp), index parts and slices (channel_index.cpp) and the
// values of past cycles (channel_history.cpp). Private to the interpreter.
#include <cstdint>
#include <cstring>

#include "channel_access.h"

namespace zek_channel {

inline uint64_t heapSize(void) {
  const VmState &vm = vmstate0;
  return (uint64_t)vm.part1Size + vm.part2Size + vm.part3Size;
}

// Sets the written flags of heap bytes a..b (see channel_writes.cpp).
void markRange(uint64_t a, int64_t b);

// Marks count elements from first as one range: from the first byte of the first element
// through the last byte of the last one; a single element only at its first byte.
inline uint8_t *writePtr(const ChannelDecl &c, uint32_t first, uint32_t count) {
  uint64_t a = c.heapOffset + (uint64_t)first * c.elementSize;
  int64_t b = count == 1 ? (int64_t)a : (int64_t)(c.heapOffset + (uint64_t)c.elementSize * ((uint64_t)first + count)) - 1;
  markRange(a, b);
  return vmstate0.heap + a;
}

inline void markWholeChannel(const ChannelDecl &c) { writePtr(c, 0, c.elementCount); }

// Loads a test input that its host delivers on demand and marks it written; null after
// raising.
const uint8_t *loadCurrent(ChannelDecl &c, uint32_t e);

// The current value at heap byte e. A test input that a host delivers on demand is loaded on
// its first read in a cycle.
inline const uint8_t *currentPtr(ChannelDecl &c, uint32_t e) {
  VmState &vm = vmstate0;
  if (c.valueLoader != nullptr && c.role == ZEK_ROLE_INPUT && !zek_bitmap_test(vm.writtenFlags, e) &&
      !zek_bitmap_test(vm.initialFlags, e))
    return loadCurrent(c, e);
  return vm.heap + e;
}

// Heap byte e of channel c as it stood n >= 1 cycles ago; null after raising.
const uint8_t *pastPtr(uint32_t n, const ChannelDecl &c, uint32_t e);

inline const uint8_t *readPtr(uint32_t n, ChannelDecl &c, uint32_t element) {
  uint32_t e = c.heapOffset + element * (uint32_t)c.elementSize;
  return n == 0 ? currentPtr(c, e) : pastPtr(n, c, e);
}

// The shape of a channel is its dimension list without the open entries; false after raising
// when the channel does not hold the shape's elements.
bool shapeFits(const ChannelDecl &c, uint32_t *total);
// An effective index v (negative ones already counted from the end) of a dimension of size d.
bool checkIndex(const ChannelDecl &c, int64_t v, int64_t d);
void raiseTooManyIndices(const ChannelDecl &c);
inline int64_t fromEnd(int64_t v, int64_t d) { return v < 0 ? v + d : v; }

// Calls visit(flat element) for the first element of every block of the slice, in odometer
// order: the last of the k indexed dimensions runs fastest. Stops early when visit says so.
template <typename Visit> inline void forEachBlock(const ChannelDecl &c, ZekSlice &s, Visit visit) {
  for (uint8_t i = 0; i < s.k; ++i) s.running[i] = s.start[i];
  for (;;) {
    uint64_t flat = 0;
    for (uint8_t i = 0; i < s.k; ++i) flat = flat * c.fixedDims[i] + (uint32_t)s.running[i];
    if (!visit((uint32_t)(flat * s.blockCount))) return;
    int i = (int)s.k - 1;
    for (; i >= 0; --i) {
      if (s.running[i] < s.end[i]) {
        ++s.running[i];
        break;
      }
      s.running[i] = s.start[i];
    }
    if (i < 0) return;
  }
}

}  // namespace zek_channel
