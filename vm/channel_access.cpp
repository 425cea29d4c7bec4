// Reading and writing channels: whole, by index part and by slice, now and in the past; the
// written flags, RESETVAR and the name-with-dimensions text that the write errors print.
#include "channel_access.h"

#include <cstdio>

#include "opcodes.h"
#include "stacks.h"

namespace {

constexpr uint8_t BITMASKS[8] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};
constexpr uint8_t BITMASKS_FROM[8] = {0xFF, 0xFE, 0xFC, 0xF8, 0xF0, 0xE0, 0xC0, 0x80};  // bit i and above
constexpr uint8_t BITMASKS_TO[8] = {0x01, 0x03, 0x07, 0x0F, 0x1F, 0x3F, 0x7F, 0xFF};    // bit i and below

inline uint64_t heapSize(void) {
  const VmState &vm = vmstate0;
  return (uint64_t)vm.part1Size + vm.part2Size + vm.part3Size;
}

// Copies one element; the fixed sizes keep the scalar paths free of library calls.
inline void copyElement(uint8_t *dst, const uint8_t *src, uint8_t size) {
  switch (size) {
    case 1: *dst = *src; break;
    case 2: std::memcpy(dst, src, 2); break;
    case 4: std::memcpy(dst, src, 4); break;
    default: std::memcpy(dst, src, 8); break;
  }
}

// Sets the written flags of heap bytes a..b. b is signed so that the empty range a..a-1 stays
// empty; bytes beyond the heap are not marked.
void markRange(uint64_t a, int64_t b) {
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

// Marks count elements from first as one range: from the first byte of the first element
// through the last byte of the last one; a single element only at its first byte.
inline uint8_t *writePtr(const ChannelDecl &c, uint32_t first, uint32_t count) {
  uint64_t a = c.heapOffset + (uint64_t)first * c.elementSize;
  int64_t b = count == 1 ? (int64_t)a : (int64_t)(c.heapOffset + (uint64_t)c.elementSize * ((uint64_t)first + count)) - 1;
  markRange(a, b);
  return vmstate0.heap + a;
}

inline void markWholeChannel(const ChannelDecl &c) { writePtr(c, 0, c.elementCount); }

// ---- reading ----

const uint8_t *loadCurrent(ChannelDecl &c, uint32_t e) {
  if (c.valueLoader(&c) != 0) {
    zek_raiseError(ZEK_ERR_NOT_AVAILABLE, "Accessing the current value of channel '%s', which could not be loaded.", c.name);
    return nullptr;
  }
  markWholeChannel(c);
  return vmstate0.heap + e;
}

// The current value at heap byte e. A test input that a host delivers on demand is loaded on
// its first read in a cycle.
inline const uint8_t *currentPtr(ChannelDecl &c, uint32_t e) {
  VmState &vm = vmstate0;
  if (c.valueLoader != nullptr && c.role == ZEK_ROLE_INPUT && !zek_bitmap_test(vm.writtenFlags, e) &&
      !zek_bitmap_test(vm.initialFlags, e))
    return loadCurrent(c, e);
  return vm.heap + e;
}

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

// Heap byte e of channel c as it stood n >= 1 cycles ago.
const uint8_t *pastPtr(uint32_t n, const ChannelDecl &c, uint32_t e) {
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

inline const uint8_t *readPtr(uint32_t n, ChannelDecl &c, uint32_t element) {
  uint32_t e = c.heapOffset + element * (uint32_t)c.elementSize;
  return n == 0 ? currentPtr(c, e) : pastPtr(n, c, e);
}

// The shape of a channel is its dimension list without the open entries; a shape whose
// elements the channel does not hold cannot be read or written as a whole.
bool shapeFits(const ChannelDecl &c, uint32_t *total) {
  uint64_t product = 1;
  for (uint8_t i = 0; i < c.fixedDimCount; ++i) {
    product *= c.fixedDims[i];
    if (product > c.elementCount) {
      zek_raiseError(ZEK_ERR_LIMIT, "The dimensions of signal %s need more than its %u elements.", c.name, c.elementCount);
      return false;
    }
  }
  *total = (uint32_t)product;
  return true;
}

// An effective index v (negative ones already counted from the end) of a dimension of size d.
bool checkIndex(const ChannelDecl &c, int64_t v, int64_t d) {
  if (v < 0) {
    zek_raiseError(ZEK_ERR_LIMIT, "Effective array index for signal %s is negative (%d)", c.name, (int)v);
    return false;
  }
  if (v >= d) {
    zek_raiseError(ZEK_ERR_LIMIT, "Array index out of bounds for signal %s: %d >= %d", c.name, (int)v, (int)d);
    return false;
  }
  return true;
}

inline int64_t fromEnd(int64_t v, int64_t d) { return v < 0 ? v + d : v; }

void raiseTooManyIndices(const ChannelDecl &c) {
  zek_raiseError(ZEK_ERR_LIMIT, "Too many array indices for %s.", c.name);
}

// Calls visit(flat element) for the first element of every block of the slice, in odometer
// order: the last of the k indexed dimensions runs fastest. Stops early when visit says so.
template <typename Visit> void forEachBlock(const ChannelDecl &c, ZekSlice &s, Visit visit) {
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

inline void pushElement(const ChannelDecl &c, const uint8_t *p) {
  VmState &vm = vmstate0;
  if (vm.sizes.top >= vm.sizes.end || (size_t)(vm.values.end - vm.values.top) < c.elementSize) {
    zek_pstack_raiseOverflow();
    return;
  }
  copyElement(vm.values.top, p, c.elementSize);
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

// The steps back of a READ*_AT_T, popped before the operand is read.
bool popStepsBack(uint32_t *n) {
  if (!zek_pstack_popScalar<uint32_t>(ZEK_UINT32, n)) return false;
  if (vmstate0.realtimeActive) {
    zek_raiseError(ZEK_ERR_HISTORY, "Trying to access value in the past with realtime semantics which is not supported.");
    return false;
  }
  return true;
}

// ---- writing ----

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
    copyElement(dst, v, c.elementSize);
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

uint8_t *zek_getWritePtr(uint16_t channel, uint32_t first, uint32_t count) {
  return writePtr(vmstate0.data.channels[channel], first, count);
}

void zek_setWrittenFlagInRange(uint32_t first, uint32_t last) { markRange(first, (int64_t)last); }

namespace {
// Writes the full name into out (when not null) and returns its length without the NUL.
size_t formatFullName(const ChannelDecl &c, char *out) {
  size_t length = 0;
  uint8_t next = 0;  // the next entry of the dimension list
  auto put = [&](char ch) {
    if (out != nullptr) out[length] = ch;
    ++length;
  };
  auto putDims = [&]() {
    while (next < c.dimCount && c.dims[next] != ZEK_OPEN_DIMENSION) {
      char text[16];
      int n = std::snprintf(text, sizeof text, "[%d]", (int)c.dims[next++]);
      for (int i = 0; i < n; ++i) put(text[i]);
    }
  };
  for (const char *p = c.name != nullptr ? c.name : ""; *p != '\0'; ++p) {
    if (*p == '\\') {  // the escaped character is taken as it stands
      put(*p);
      if (p[1] == '\0') break;
      put(*++p);
      continue;
    }
    if (*p == '.') {
      putDims();
      if (next < c.dimCount) ++next;  // the boundary entry of this name component
    }
    put(*p);
  }
  putDims();
  return length;
}
}  // namespace

char *zek_getFullVarname(const ChannelDecl *channel) {
  size_t length = formatFullName(*channel, nullptr);
  char *text = (char *)zek_malloc((uint32_t)length + 1);
  if (text == nullptr) return nullptr;
  formatFullName(*channel, text);
  text[length] = '\0';
  return text;
}

bool zek__INDEXPART_init(const ChannelDecl *channel, ZekIndexPart *part) {
  const ChannelDecl &c = *channel;
  const uint32_t *indices;
  uint8_t k;
  if (!zek_istack_pop_impl(&indices, &k)) return false;
  uint8_t n = c.fixedDimCount;
  if (n < k) {
    raiseTooManyIndices(c);
    return false;
  }
  uint32_t total;
  if (!shapeFits(c, &total)) return false;
  // Signed 64 bits: a negative index must stay negative to be reported. Every product stays
  // below the element count that shapeFits checked.
  int64_t first = 0, count = 1;
  for (uint8_t i = 0; i < n; ++i) {
    int64_t d = c.fixedDims[i];
    first *= d;
    if (i < k) {
      int64_t v = fromEnd((int32_t)indices[i], d);
      if (!checkIndex(c, v, d)) return false;
      first += v;
    } else {
      count *= d;
    }
  }
  part->first = (uint32_t)first;
  part->count = (uint32_t)count;
  part->byteSize = (uint32_t)count * (uint32_t)c.elementSize;
  if (k == n) {
    part->scalar = 1;
    part->dimCount = 1;
    part->dims = TSIZE_1;
  } else {
    part->scalar = 0;
    part->dimCount = (uint8_t)(n - k);
    part->dims = c.fixedDims + k;
  }
  return true;
}

bool zek__INDEXSLICE_init(const ChannelDecl *channel, ZekSlice *slice) {
  const ChannelDecl &c = *channel;
  const uint32_t *pairs;
  uint8_t a;
  if (!zek_istack_pop_impl(&pairs, &a)) return false;
  if (a % 2 != 0) {
    zek_raiseError(ZEK_ERR_LIMIT, "Slice indices must be even for %s.", c.name);
    return false;
  }
  uint8_t k = a / 2;
  uint8_t n = c.fixedDimCount;
  if (k > n) {
    raiseTooManyIndices(c);
    return false;
  }
  if (n > ZEK_SLICE_MAX_DIMS) {
    zek_raiseError(ZEK_ERR_LIMIT, "Unable to slice signal %s with %u dimensions (at most %u).", c.name, (unsigned)n,
                   (unsigned)ZEK_SLICE_MAX_DIMS);
    return false;
  }
  uint32_t total;
  if (!shapeFits(c, &total)) return false;
  ZekSlice &s = *slice;
  s.k = k;
  s.dimCount = 0;
  s.sliceProduct = 1;
  s.blockCount = 1;
  for (uint8_t i = 0; i < n; ++i) {
    int64_t d = c.fixedDims[i];
    if (i >= k) {
      s.dims[s.dimCount++] = (uint32_t)d;
      s.blockCount *= (uint32_t)d;
      continue;
    }
    int64_t from = fromEnd((int32_t)pairs[2 * i], d);
    if (!checkIndex(c, from, d)) return false;
    int64_t to = from;
    if ((int32_t)pairs[2 * i + 1] != ZEK_SLICE_NO_RANGE) {
      to = fromEnd((int32_t)pairs[2 * i + 1], d);
      if (!checkIndex(c, to, d)) return false;
      if (to < from) {
        int64_t t = to;
        to = from;
        from = t;
      }
      uint32_t length = (uint32_t)(to - from + 1);
      s.dims[s.dimCount++] = length;
      s.sliceProduct *= length;
    }
    s.start[i] = (int32_t)from;
    s.end[i] = (int32_t)to;
  }
  s.scalar = s.dimCount == 0;
  if (s.scalar) {
    s.dimCount = 1;
    s.dims[0] = 1;
  }
  s.blockBytes = s.blockCount * (uint32_t)c.elementSize;
  return true;
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
void zek__READALL_AT_T(void) {
  uint32_t n;
  if (popStepsBack(&n)) readAll(n);
}
void zek__READPART(void) { zek__READPART_x(0); }
void zek__READPART_PREV(void) { zek__READPART_x(1); }
void zek__READPART_AT_T(void) {
  uint32_t n;
  if (popStepsBack(&n)) zek__READPART_x(n);
}
void zek__READSLICE(void) { zek__READSLICE_x(0); }
void zek__READSLICE_PREV(void) { zek__READSLICE_x(1); }
void zek__READSLICE_AT_T(void) {
  uint32_t n;
  if (popStepsBack(&n)) zek__READSLICE_x(n);
}

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
