// Reading channels: whole, by index part and by slice, and the host's read pointer. The
// current value of a scalar channel is the hot path; the rest stays out of line.
#include "channel_parts.h"
#include "opcodes.h"
#include "stacks.h"

using namespace zek_channel;

namespace zek_channel {

const uint8_t *loadCurrent(ChannelDecl &c, uint32_t e) {
  if (c.valueLoader(&c) != 0) {
    zek_raiseError(ZEK_ERR_NOT_AVAILABLE, "Accessing the current value of channel '%s', which could not be loaded.", c.name);
    return nullptr;
  }
  markWholeChannel(c);
  return vmstate0.heap + e;
}

}  // namespace zek_channel

namespace {

inline void pushElement(const ChannelDecl &c, const uint8_t *p) {
  VmState &vm = vmstate0;
  if (vm.sizes.top >= vm.sizes.end || (size_t)(vm.values.end - vm.values.top) < c.elementSize) {
    zek_pstack_raiseOverflow();
    return;
  }
  zek_copyElement(vm.values.top, p, c.elementSize);
  vm.values.top += c.elementSize;
  *vm.sizes.top++ = 0;
  *vm.types.top++ = c.baseType;
}

ZEK_NOINLINE void readAllSlow(uint32_t n, ChannelDecl &c) {
  if (c.dimCount == 0) {
    const uint8_t *p = readPtr(n, c, 0);
    if (p != nullptr) pushElement(c, p);
    return;
  }
  uint32_t total;
  if (!shapeFits(c, &total)) return;
  const uint8_t *p = readPtr(n, c, 0);
  if (p == nullptr) return;
  uint32_t bytes = total * (uint32_t)c.elementSize;
  uint8_t *dst = zek_pstack_pushValue(c.baseType, bytes, c.fixedDims, c.fixedDimCount);
  if (dst != nullptr) std::memcpy(dst, p, bytes);
}

// The current value of a scalar channel that no loader delivers is the hot path; everything
// else stays out of line so that it costs the hot path nothing.
inline void readAll(uint32_t n) {
  ChannelDecl *c = zek_channelOperand();
  if (c == nullptr) return;
  if (n == 0 && c->dimCount == 0 && c->valueLoader == nullptr) {
    pushElement(*c, vmstate0.heap + c->heapOffset);
    return;
  }
  readAllSlow(n, *c);
}

}  // namespace

void zek_raiseUnknownChannel(uint32_t index) {
  zek_raiseError(ZEK_ERR_BYTECODE, "Byte code names channel %u, but the program has %u channels.", index,
                 (unsigned)vmstate0.data.channelCount);
}

const uint8_t *zek_getReadPtr(uint32_t stepsBack, uint16_t channel, uint32_t element) {
  VmState &vm = vmstate0;
  if (channel >= vm.data.channelCount) {
    zek_raiseUnknownChannel(channel);
    return nullptr;
  }
  ChannelDecl &c = vm.data.channels[channel];
  if (element >= c.elementCount) {
    zek_raiseError(ZEK_ERR_LIMIT, "Array index out of bounds for signal %s: %u >= %u", c.name, element, c.elementCount);
    return nullptr;
  }
  return readPtr(stepsBack, c, element);
}

void zek__READALL_x(uint32_t stepsBack) { readAll(stepsBack); }

void zek__READPART_x(uint32_t stepsBack) {
  ChannelDecl *c = zek_channelOperand();
  if (c == nullptr) return;
  ZekIndexPart part;
  if (!zek__INDEXPART_init(c, &part)) return;
  const uint8_t *p = readPtr(stepsBack, *c, part.first);
  if (p == nullptr) return;
  uint8_t *dst = zek_pstack_pushValue(c->baseType, part.byteSize, part.dims, part.scalar ? 0 : part.dimCount);
  if (dst != nullptr) std::memcpy(dst, p, part.byteSize);
}

void zek__READSLICE_x(uint32_t stepsBack) {
  ChannelDecl *c = zek_channelOperand();
  if (c == nullptr) return;
  ZekSlice s;
  if (!zek__INDEXSLICE_init(c, &s)) return;
  uint64_t bytes = (uint64_t)s.sliceProduct * s.blockBytes;
  uint8_t *dst = zek_pstack_pushValue(c->baseType, bytes, s.dims, s.scalar ? 0 : s.dimCount);
  if (dst == nullptr) return;
  forEachBlock(*c, s, [&](uint32_t flat) {
    const uint8_t *p = readPtr(stepsBack, *c, flat);
    if (p == nullptr) return false;
    std::memcpy(dst, p, s.blockBytes);
    dst += s.blockBytes;
    return true;
  });
}

void zek__READALL(void) { readAll(0); }
void zek__READALL_PREV(void) { readAll(1); }
void zek__READPART(void) { zek__READPART_x(0); }
void zek__READPART_PREV(void) { zek__READPART_x(1); }
void zek__READSLICE(void) { zek__READSLICE_x(0); }
void zek__READSLICE_PREV(void) { zek__READSLICE_x(1); }
