// Inline data blocks, arrays joined on the parameter stack, and stack copies.
//
// Values of one type and shape lie one after another on the value stack, the first pushed
// deepest, so joining c of them into an array moves no bytes: only their size and type entries
// are replaced. Every join checks all its values before it changes anything, so a failing join
// leaves the stacks as they were.
#include "opcodes.h"
#include "operands.h"
#include "stacks.h"

namespace {
// The size-stack marker holds the dimension count in its low byte.
constexpr uint32_t kMaxDimensions = 255;

struct Shape {
  uint32_t type;
  uint8_t scalar;
  uint8_t dimCount;      // 1 for scalars and one-dimensional arrays
  const uint32_t *dims;  // outermost first
};

Shape shapeOf(const ZekValueView &v) { return Shape{v.type, v.scalar, v.dimCount, v.dims}; }
Shape shapeOf(const ValueEntry &e) { return Shape{e.type, e.scalar, e.dimCount, e.dims}; }

// Size-stack entries of a value: one for a scalar or a one-dimensional array, else the
// dimensions and the marker.
inline uint32_t sizeEntries(const Shape &s) { return s.scalar || s.dimCount == 1 ? 1u : (uint32_t)s.dimCount + 1u; }

bool sameShape(const Shape &a, const Shape &b) {
  if (a.scalar != b.scalar || a.dimCount != b.dimCount) return false;
  return a.scalar || std::memcmp(a.dims, b.dims, (size_t)a.dimCount * sizeof(uint32_t)) == 0;
}

void raiseTypeMismatch(uint32_t popped, uint32_t reference) {
  zek_raiseError(ZEK_ERR_TYPE, "Type mismatch on parameter stack. Expected %s, got %s.", zek_getBaseTypeName(popped),
                 zek_getBaseTypeName(reference));
}

void raiseShapeMismatch(const Shape &popped, const Shape &reference) {
  char *poppedDims = zek_getDimName(popped.dims, popped.scalar ? 0 : popped.dimCount);
  char *referenceDims = zek_getDimName(reference.dims, reference.scalar ? 0 : reference.dimCount);
  zek_raiseError(ZEK_ERR_LIMIT, "Array with different sub-dimensions %s%s and %s%s not allowed.",
                 zek_getBaseTypeName(popped.type), poppedDims != nullptr ? poppedDims : "",
                 zek_getBaseTypeName(reference.type), referenceDims != nullptr ? referenceDims : "");
  zek_free(poppedDims);
  zek_free(referenceDims);
}

// Checks whether values of the reference's shape can be joined: ARRAY joins scalars, XARRAY
// arrays, adding one dimension that the marker must still be able to count.
bool joinable(const Shape &reference, bool scalars) {
  if (scalars) {
    if (reference.scalar) return true;
    zek_raiseError(ZEK_ERR_PSTACK_MISMATCH, "Unable to join array to 1-dim-array if inner array is %d-dim.",
                   (int)reference.dimCount);
    return false;
  }
  if (reference.scalar) {
    zek_raiseError(ZEK_ERR_BYTECODE, "XARRAY joins arrays, got a scalar.");
    return false;
  }
  if ((uint32_t)reference.dimCount + 1 > kMaxDimensions) {
    zek_raiseError(ZEK_ERR_LIMIT, "Array with more than %u dimensions not allowed.", kMaxDimensions);
    return false;
  }
  return true;
}

bool countGiven(const char *instruction, uint32_t count) {
  if (count != 0) return true;
  zek_raiseError(ZEK_ERR_BYTECODE, "%s with a count of 0 joins no values.", instruction);
  return false;
}

// Checks the top count values for ARRAY and XARRAY in the order the join takes them: the top
// value gives type and shape, each value below it must match them. Yields the top value.
bool checkTopValues(uint32_t count, ZekValueView *reference) {
  const VmState &vm = vmstate0;
  if (!zek_pstack_peekValue(0, reference)) {
    zek_pstack_raiseUnderflow();
    return false;
  }
  Shape ref = shapeOf(*reference);
  uint64_t entries = sizeEntries(ref);
  uint64_t values = (uint64_t)(vm.types.top - vm.types.base);
  uint64_t sizesUsed = (uint64_t)(vm.sizes.top - vm.sizes.base);
  uint64_t checked = count < values ? count : values;
  const uint32_t *refEntries = vm.sizes.top - entries;
  // Every value above the one under test has the reference's entries, so its entries start at
  // a fixed distance from the top; equal entries mean an equal shape. A value whose entries
  // cannot reach that far down has fewer of them than the reference: another shape.
  for (uint64_t i = 1; i < checked; ++i) {
    uint32_t type = vm.types.top[-1 - (int64_t)i];
    if (type != ref.type) {
      raiseTypeMismatch(type, ref.type);
      return false;
    }
    bool fits = (i + 1) * entries <= sizesUsed;
    if (fits && std::memcmp(vm.sizes.top - (i + 1) * entries, refEntries, (size_t)entries * sizeof(uint32_t)) == 0)
      continue;
    ZekValueView popped{};
    if (!zek_pstack_peekValue((uint32_t)i, &popped)) {
      zek_pstack_raiseUnderflow();
      return false;
    }
    raiseShapeMismatch(shapeOf(popped), ref);
    return false;
  }
  uint64_t bytes = (uint64_t)reference->total * zek_baseTypeSizeOf(ref.type);
  if (count > values || count * entries > sizesUsed ||
      count * bytes > (uint64_t)(vm.values.top - vm.values.base)) {
    zek_pstack_raiseUnderflow();
    return false;
  }
  return true;
}

// Writes the size entries of count joined values of the reference's shape at entries:
// count for joined scalars, else count, the reference's dimensions and the marker. Returns the
// number of entries written. The reference's dimensions may lie in the area written.
uint32_t writeJoinedShape(uint32_t *entries, uint32_t count, const Shape &reference) {
  if (reference.scalar) {
    entries[0] = count;
    return 1;
  }
  std::memmove(entries + 1, reference.dims, (size_t)reference.dimCount * sizeof(uint32_t));
  entries[0] = count;
  entries[reference.dimCount + 1] = ZEK_NDIM_MARKER + reference.dimCount + 1u;
  return (uint32_t)reference.dimCount + 2u;
}

inline uint32_t joinedEntries(const Shape &reference) {
  return reference.scalar ? 1u : (uint32_t)reference.dimCount + 2u;
}

// ARRAY and XARRAY: join the top count values in place.
void joinTopValues(const char *instruction, uint32_t count, bool scalars) {
  VmState &vm = vmstate0;
  ZekValueView top{};
  if (!countGiven(instruction, count) || !checkTopValues(count, &top)) return;
  Shape ref = shapeOf(top);
  if (!joinable(ref, scalars)) return;
  uint32_t *first = vm.sizes.top - (uint64_t)count * sizeEntries(ref);
  if ((uint64_t)(vm.sizes.end - first) < joinedEntries(ref)) {
    zek_pstack_raiseOverflow();
    return;
  }
  vm.sizes.top = first + writeJoinedShape(first, count, ref);
  vm.types.top -= count;
  *vm.types.top++ = ref.type;
}

// For ARRAYOFSTRUCT: checks field field of the count structures in list as the join would,
// the last structure's value being the reference. Yields the size entries its array needs.
bool checkField(const ValueList &list, uint32_t count, uint32_t fields, uint32_t field, bool scalars,
                uint64_t *entries) {
  Shape ref = shapeOf(list.entries[(uint64_t)(count - 1) * fields + field]);
  for (uint32_t s = count - 1; s-- > 0;) {
    Shape popped = shapeOf(list.entries[(uint64_t)s * fields + field]);
    if (popped.type != ref.type) {
      raiseTypeMismatch(popped.type, ref.type);
      return false;
    }
    if (!sameShape(popped, ref)) {
      raiseShapeMismatch(popped, ref);
      return false;
    }
  }
  if (!joinable(ref, scalars)) return false;
  *entries += joinedEntries(ref);
  return true;
}

// Pushes a block of inline bytes as a one-dimensional uint8 array. A block of 0 bytes would
// leave the size entry of a scalar without its byte, one of 0x80000000 bytes or more a size
// entry that reads as a dimension marker; both are refused.
void pushBlock(const char *instruction, const uint8_t *bytes, uint32_t length) {
  if (length == 0 || length >= ZEK_NDIM_MARKER) {
    zek_raiseError(ZEK_ERR_BYTECODE, "%s: a block of %u bytes cannot be pushed as an array.", instruction, length);
    return;
  }
  uint8_t *target = zek_pstack_pushValue(ZEK_UINT8, length, &length, 1);
  if (target != nullptr) std::memcpy(target, bytes, length);
}
}  // namespace

void zek__MEM(void) {
  uint32_t length = op_u32();
  op_bytes(length);
}

// The offset counts from behind the operand and must land on a MEM instruction inside the code.
void zek__READMEM(void) {
  VmState &vm = vmstate0;
  int32_t offset = (int32_t)op_u32();
  uint32_t resume = vm.pc;
  int64_t position = (int64_t)resume + offset;
  if (position < (int64_t)vm.codeBase || position >= (int64_t)vm.crcPosition || vm.image[position] != OP_MEM) {
    zek_raiseError(ZEK_ERR_BYTECODE, "PROGOFFSET %d does not point to a MEM instruction in READMEM", (int)offset);
    return;
  }
  vm.pc = (uint32_t)position + 1;
  uint32_t length = 0;
  const uint8_t *block = op_checked_u32(&length) ? op_bytes(length) : nullptr;
  vm.pc = resume;
  if (block != nullptr) pushBlock("READMEM", block, length);
}

void zek__PUSHSTRING(void) {
  uint32_t length = op_u32();
  const uint8_t *block = op_bytes(length);
  if (block != nullptr) pushBlock("PUSHSTRING", block, length);
}

void zek__ARRAY(void) {
  uint32_t count = op_u32();
  joinTopValues("ARRAY", count, true);
}

void zek__XARRAY(void) {
  uint32_t count = op_u32();
  joinTopValues("XARRAY", count, false);
}

// count structures of fields values each (structure 0's fields deepest, the last structure's
// last field on top) become one array per field, field 0 deepest: joined as ARRAY when the
// field's join-mode byte is non-zero, as XARRAY when it is 0.
void zek__ARRAYOFSTRUCT(void) {
  VmState &vm = vmstate0;
  uint32_t count = op_u32();
  uint32_t fields = op_u32();
  const uint8_t *modes = op_bytes(fields);
  if (modes == nullptr || !countGiven("ARRAYOFSTRUCT", count) || fields == 0) return;
  uint64_t total = (uint64_t)count * fields;
  if (total > 0xFFFFFFFFull) {
    zek_raiseError(ZEK_ERR_BYTECODE, "ARRAYOFSTRUCT of %u structures with %u fields exceeds %u values.", count, fields,
                   0xFFFFFFFFu);
    return;
  }
  // The values are taken off into a copy and checked there; the stack memory stays as it was
  // until all checks passed, so a failure only has to put the tops back.
  PstackState before;
  zek_pstack_saveState(&before);
  ValueList *list = nullptr;
  if (!zek_pstack_dropNValues((uint32_t)total, &list)) return;
  uint64_t entries = 0;
  bool ok = true;
  for (uint32_t f = 0; ok && f < fields; ++f) ok = checkField(*list, count, fields, f, modes[f] != 0, &entries);
  if (ok && entries > (uint64_t)(vm.sizes.end - vm.sizes.top)) {
    zek_pstack_raiseOverflow();
    ok = false;
  }
  if (!ok) {
    zek_pstack_restoreState(&before);
    zek_pstack_dropNValues_free(list);
    return;
  }
  for (uint32_t f = 0; f < fields; ++f) {
    const ValueEntry *ref = &list->entries[(uint64_t)(count - 1) * fields + f];
    uint64_t bytes = (uint64_t)ref->total * zek_baseTypeSizeOf(ref->type);
    for (uint32_t s = 0; s < count; ++s) {
      std::memcpy(vm.values.top, list->entries[(uint64_t)s * fields + f].value, (size_t)bytes);
      vm.values.top += bytes;
    }
    vm.sizes.top += writeJoinedShape(vm.sizes.top, count, shapeOf(*ref));
    *vm.types.top++ = ref->type;
  }
  zek_pstack_dropNValues_free(list);
}

void zek__DUP(void) {
  const VmState &vm = vmstate0;
  if (vm.types.top <= vm.types.base) {
    zek_pstack_raiseUnderflow();
    return;
  }
  uint32_t type = vm.types.top[-1];
  const uint8_t *value = zek_pstack_takeScalar(type, false, "peekScalar");
  if (value != nullptr) zek_pstack_pushScalar(type, value);
}
