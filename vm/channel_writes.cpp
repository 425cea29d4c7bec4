// Writing channels: whole, by index part and by slice, with the checks of the value against
// the target; the written flags and RESETVAR.
#include "channel_parts.h"
#include "opcodes.h"
#include "stacks.h"

using namespace zek_channel;

namespace {

constexpr uint8_t BITMASKS[8] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};
constexpr uint8_t BITMASKS_FROM[8] = {0xFF, 0xFE, 0xFC, 0xF8, 0xF0, 0xE0, 0xC0, 0x80};  // bit i and above
constexpr uint8_t BITMASKS_TO[8] = {0x01, 0x03, 0x07, 0x0F, 0x1F, 0x3F, 0x7F, 0xFF};    // bit i and below

}  // namespace

// Sets the written flags of heap bytes a..b. b is signed so that the empty range a..a-1 stays
// empty; bytes beyond the heap are not marked.
void zek_channel::markRange(uint64_t a, int64_t b) {
  uint64_t size = heapSize();
  if (b < 0 || a > (uint64_t)b || a >= size) return;
  uint64_t last = (uint64_t)b < size ? (uint64_t)b : size - 1;
  uint8_t *bits = vmstate0.writtenFlags;
  uint64_t firstByte = a >> 3, lastByte = last >> 3;
  if (a == last) {
    bits[firstByte] |= BITMASKS[a & 7];
  } else if (firstByte == lastByte) {
    bits[firstByte] |= (uint8_t)(BITMASKS_FROM[a & 7] & BITMASKS_TO[last & 7]);
  } else {
    bits[firstByte] |= BITMASKS_FROM[a & 7];
    if (lastByte > firstByte + 1) std::memset(bits + firstByte + 1, 0xFF, lastByte - firstByte - 1);
    bits[lastByte] |= BITMASKS_TO[last & 7];
  }
}

namespace {

struct TargetShape {
  uint8_t scalar;
  uint8_t count;
  const uint32_t *dims;
};

bool sameEntries(uint8_t countA, const uint32_t *a, uint8_t countB, const uint32_t *b) {
  return countA == countB && std::memcmp(a, b, (size_t)countA * 4u) == 0;
}

void raiseTypeError(const ChannelDecl &c, uint32_t valueType) {
  const char *valueName = zek_getBaseTypeName(valueType);
  const char *channelName = zek_getBaseTypeName(c.baseType);
  zek_raiseError(ZEK_ERR_LIMIT, "Unable to write a value of type %s into signal %s (type %s).", valueName, c.name, channelName);
}

void raiseDimensionError(const ChannelDecl &c, const ZekValueView &v, const TargetShape &t) {
  char *valueText = v.scalar ? nullptr : zek_getDimName(v.dims, v.dimCount);
  char *fullName = zek_getFullVarname(&c);
  const char *valueDim = valueText != nullptr ? valueText : "";
  const char *name = fullName != nullptr ? fullName : c.name;
  if (sameEntries(t.count, t.dims, c.fixedDimCount, c.fixedDims)) {
    zek_raiseError(ZEK_ERR_LIMIT, "Unable to write a value with dimension %s into the signal %s.", valueDim, name);
  } else {
    char *targetText = t.scalar ? nullptr : zek_getDimName(t.dims, t.count);
    zek_raiseError(ZEK_ERR_LIMIT,
                   "Unable to write a value with dimension %s into a subrange of the signal %s (dimension of this signal subrange is %s).",
                   valueDim, name, targetText != nullptr ? targetText : "");
    zek_free(targetText);
  }
  zek_free(valueText);
  zek_free(fullName);
}

// A write takes the scalar path when a scalar is on top and no string is being written.
inline bool scalarOnTop(void) {
  const VmState &vm = vmstate0;
  return !vm.stringWrite && vm.sizes.top > vm.sizes.base && vm.sizes.top[-1] == 0;
}

ZEK_NOINLINE const uint8_t *popScalarChecked(const ChannelDecl &c) {
  uint32_t type;
  const uint8_t *v = zek_pstack_dropScalar(&type);
  if (v == nullptr) return nullptr;
  if (type != c.baseType) {
    raiseTypeError(c, type);
    return nullptr;
  }
  return v;
}

// Pops the scalar of the scalar path (a size entry 0 is on top); null after raising.
inline const uint8_t *popScalarFor(const ChannelDecl &c) {
  VmState &vm = vmstate0;
  if (vm.types.top > vm.types.base && vm.types.top[-1] == c.baseType &&
      (size_t)(vm.values.top - vm.values.base) >= c.elementSize) {
    vm.values.top -= c.elementSize;
    --vm.sizes.top;
    --vm.types.top;
    return vm.values.top;
  }
  return popScalarChecked(c);
}

template <unsigned N> void fillElements(uint8_t *dst, uint32_t bit, const uint8_t *v, uint32_t count) {
  uint8_t element[N];
  std::memcpy(element, v, N);
  uint8_t *flags = vmstate0.writtenFlags;
  for (uint32_t i = 0; i < count; ++i, dst += N, bit += N) {
    std::memcpy(dst, element, N);
    zek_bitmap_set(flags, bit);
  }
}

// Copies one scalar into count elements from first, marking each element's first byte.
inline void broadcast(const ChannelDecl &c, uint32_t first, uint32_t count, const uint8_t *v) {
  uint32_t bit = c.heapOffset + first * (uint32_t)c.elementSize;
  uint8_t *dst = vmstate0.heap + bit;
  if (count == 1) {
    zek_copyElement(dst, v, c.elementSize);
    zek_bitmap_set(vmstate0.writtenFlags, bit);
    return;
  }
  switch (c.elementSize) {
    case 1: fillElements<1>(dst, bit, v, count); break;
    case 2: fillElements<2>(dst, bit, v, count); break;
    case 4: fillElements<4>(dst, bit, v, count); break;
    default: fillElements<8>(dst, bit, v, count); break;
  }
}

// What a checked value contributes: its first copyBytes bytes go into the target in block order
// and the rest of the target is zero (only a string write copies less than the whole target).
struct ValueSource {
  const uint8_t *bytes;
  uint64_t copyBytes;
  uint64_t pos;
};

// Pops the value of the value path and checks its type and shape against the target.
bool popValueFor(const ChannelDecl &c, const TargetShape &t, ValueSource *src) {
  ZekValueView v;
  if (!zek_pstack_popValue(&v)) return false;
  bool stringWrite = vmstate0.stringWrite != 0;
  bool typeOk = v.type == c.baseType ||
                (stringWrite && ((v.type == ZEK_UINT8 && c.baseType == ZEK_INT8) || (v.type == ZEK_INT8 && c.baseType == ZEK_UINT8)));
  if (!typeOk) {
    raiseTypeError(c, v.type);
    return false;
  }
  *src = ValueSource{v.bytes, (uint64_t)v.total * c.elementSize, 0};
  if (stringWrite && !v.scalar && v.dimCount == 1 && !t.scalar && t.count == 1) {
    // A string fits when its text does; the target is zeroed behind the text.
    uint32_t length = zek_nstrlen((const char *)v.bytes, v.total);
    if (v.total > t.dims[0] && length > t.dims[0]) {
      char *fullName = zek_getFullVarname(&c);
      zek_raiseError(ZEK_ERR_LIMIT, "String too long. Unable to write string with length %d into the signal %s.", (int)length,
                     fullName != nullptr ? fullName : c.name);
      zek_free(fullName);
      return false;
    }
    src->copyBytes = length;
    return true;
  }
  if (v.scalar != t.scalar || !sameEntries(v.dimCount, v.dims, t.count, t.dims)) {
    raiseDimensionError(c, v, t);
    return false;
  }
  return true;
}

void storeBlock(uint8_t *dst, uint32_t blockBytes, ValueSource &src) {
  uint64_t n = src.pos < src.copyBytes ? src.copyBytes - src.pos : 0;
  if (n > blockBytes) n = blockBytes;
  if (n > 0) std::memcpy(dst, src.bytes + src.pos, n);
  if (n < blockBytes) std::memset(dst + n, 0, blockBytes - n);
  src.pos += blockBytes;
}

}  // namespace

uint8_t *zek_getWritePtr(uint16_t channel, uint32_t first, uint32_t count) {
  return writePtr(vmstate0.data.channels[channel], first, count);
}

void zek_setWrittenFlagInRange(uint32_t first, uint32_t last) { markRange(first, (int64_t)last); }

namespace {
ZEK_NOINLINE void writeAllSlow(ChannelDecl &c) {
  if (scalarOnTop()) {
    const uint8_t *v = popScalarFor(c);
    if (v != nullptr) broadcast(c, 0, c.elementCount, v);
    return;
  }
  uint32_t total = 1;
  if (c.dimCount != 0 && !shapeFits(c, &total)) return;
  ValueSource src;
  if (!popValueFor(c, TargetShape{c.dimCount == 0, c.fixedDimCount, c.fixedDims}, &src)) return;
  // The flags cover the whole channel; the bytes are those of its shape, which the value has.
  storeBlock(writePtr(c, 0, c.elementCount), total * (uint32_t)c.elementSize, src);
}
}  // namespace

// A scalar into a one-element channel is the hot path.
void zek__WRITEALL(void) {
  ChannelDecl *c = zek_channelOperand();
  if (c == nullptr) return;
  if (c->elementCount == 1 && scalarOnTop()) {
    const uint8_t *v = popScalarFor(*c);
    if (v != nullptr) broadcast(*c, 0, 1, v);
    return;
  }
  writeAllSlow(*c);
}

void zek__WRITEPART(void) {
  ChannelDecl *c = zek_channelOperand();
  if (c == nullptr) return;
  ZekIndexPart part;
  if (!zek__INDEXPART_init(c, &part)) return;
  if (scalarOnTop()) {
    const uint8_t *v = popScalarFor(*c);
    if (v != nullptr) broadcast(*c, part.first, part.count, v);
    return;
  }
  ValueSource src;
  if (!popValueFor(*c, TargetShape{part.scalar, part.dimCount, part.dims}, &src)) return;
  storeBlock(writePtr(*c, part.first, part.count), part.byteSize, src);
}

void zek__WRITESLICE(void) {
  ChannelDecl *c = zek_channelOperand();
  if (c == nullptr) return;
  ZekSlice s;
  if (!zek__INDEXSLICE_init(c, &s)) return;
  if (scalarOnTop()) {
    const uint8_t *v = popScalarFor(*c);
    if (v == nullptr) return;
    forEachBlock(*c, s, [&](uint32_t flat) {
      broadcast(*c, flat, s.blockCount, v);
      return true;
    });
    return;
  }
  ValueSource src;
  if (!popValueFor(*c, TargetShape{s.scalar, s.dimCount, s.dims}, &src)) return;
  forEachBlock(*c, s, [&](uint32_t flat) {
    storeBlock(writePtr(*c, flat, s.blockCount), s.blockBytes, src);
    return true;
  });
}

void zek__RESETVAR(void) {
  ChannelDecl *c = zek_channelOperand();
  if (c == nullptr) return;
  VmState &vm = vmstate0;
  uint8_t *dst = vm.heap + c->heapOffset;
  std::memcpy(dst, vm.initialValues + c->heapOffset, (size_t)c->elementCount * c->elementSize);
  if (vm.swap) zek_load_swapValue(dst, c->elementCount, c->baseType);
  for (uint32_t k = 0; k < c->elementCount; ++k) zek_bitmap_set(vm.writtenFlags, c->heapOffset + k * (uint32_t)c->elementSize);
}
