#pragma once
// The one road by which byte code reads and writes channel values.
//
// The values heap has three parts: part 1 keeps only the current values, part 2 is copied into
// the previous-values buffer at the end of every cycle (one step back), part 3 into the next
// slot of the history ring of historySize slots (1 .. historySize-1 steps back). A channel lies
// in the part that holds its heap offset.
//
// Written flags: one bit per heap byte (bit i % 8 of byte i / 8). A value counts as present in
// the current cycle when the bit of the first byte of its element is set in the written-flag
// bitmap or in the initial-value marks.
#include <cstdint>
#include <cstring>

#include "operands.h"
#include "vm_state.h"

// The slice state holds this many dimensions; channels with more are not sliced.
constexpr uint8_t ZEK_SLICE_MAX_DIMS = 16;
// The "to" of a slice pair that indexes the dimension by "from" alone and drops it.
constexpr int32_t ZEK_SLICE_NO_RANGE = 0x7FFFFFFF;

// An index part: the elements addressed by the leading indices of a channel's shape.
struct ZekIndexPart {
  uint32_t first;      // flat index of the first element
  uint32_t count;      // elements addressed, contiguous from first
  uint32_t byteSize;   // count x element size
  uint8_t dimCount;    // remaining shape
  const uint32_t *dims;
  uint8_t scalar;      // every dimension indexed: one element, shape {1}
};

// A slice: index pairs (from, to) on the k leading dimensions, whole trailing dimensions.
struct ZekSlice {
  uint8_t k;
  int32_t start[ZEK_SLICE_MAX_DIMS];
  int32_t end[ZEK_SLICE_MAX_DIMS];
  int32_t running[ZEK_SLICE_MAX_DIMS];
  uint8_t dimCount;  // result shape
  uint32_t dims[ZEK_SLICE_MAX_DIMS];
  uint8_t scalar;
  uint32_t sliceProduct;  // number of blocks: product of the lengths of the k ranges
  uint32_t blockCount;    // elements of one contiguous block: product of the trailing dimensions
  uint32_t blockBytes;
};

// Pointer to an element's bytes stepsBack cycles in the past (0: now), or null after an error.
const uint8_t *zek_getReadPtr(uint32_t stepsBack, uint16_t channel, uint32_t element);
// Pointer into the values heap at the first element; marks the range written. Checks nothing:
// the caller has checked the channel index and that the range lies inside the channel.
uint8_t *zek_getWritePtr(uint16_t channel, uint32_t first, uint32_t count);

// Pop one index group from the index stack and compute the part or slice of the channel.
// False after raising the error.
bool zek__INDEXPART_init(const ChannelDecl *channel, ZekIndexPart *part);
bool zek__INDEXSLICE_init(const ChannelDecl *channel, ZekSlice *slice);

// Bodies of the READ opcodes with the number of steps back.
void zek__READALL_x(uint32_t stepsBack);
void zek__READPART_x(uint32_t stepsBack);
void zek__READSLICE_x(uint32_t stepsBack);

void zek_raiseUnknownChannel(uint32_t index);

// Reads the u16 channel operand; null after raising when it names no channel of the program.
inline ChannelDecl *zek_channelOperand(void) {
  VmState &vm = vmstate0;
  uint16_t index;
  std::memcpy(&index, vm.image + vm.pc, 2);
  vm.pc += 2;
  if (vm.swap) index = zek_swap2(index);
  if (index >= vm.data.channelCount) {
    zek_raiseUnknownChannel(index);
    return nullptr;
  }
  return vm.data.channels + index;
}
