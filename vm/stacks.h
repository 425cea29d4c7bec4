#pragma once
// The parameter stack (value, size and type stacks), the index stack and the call stack.
//
// One value on the parameter stack: its element bytes on the value stack, exactly one entry on
// the type stack, and on the size stack either 0 (scalar), n (one-dimensional array of n
// elements, 0 < n < 0x80000000) or the dimensions d1..dk followed by the marker 0x80000000 + k.
#include <cstdint>
#include <cstring>

#include "vm_state.h"

constexpr uint32_t ZEK_NDIM_MARKER = 0x80000000u;
constexpr uint32_t ZEK_INDEX_STACK_BYTES = 192;

extern const uint32_t TSIZE_1[1];

// A value as it stands on the parameter stack (or in a ValueList).
struct ZekValueView {
  uint32_t type;
  uint8_t scalar;      // 1 scalar, 0 array
  uint8_t dimCount;    // 1 for scalars and one-dimensional arrays
  const uint32_t *dims;  // outermost first; TSIZE_1 for a scalar
  uint32_t total;      // element count
  uint8_t *bytes;
};

struct ValueEntry {
  uint32_t type;
  uint8_t dimCount;
  const uint32_t *dims;
  uint32_t total;
  uint8_t scalar;
  uint8_t *value;
};

struct ValueList {
  uint32_t count;
  ValueEntry *entries;  // entry 0 the deepest value, entry count-1 the former top
  uint32_t *dims;
  uint8_t *bytes;
  uint32_t byteLength;
};

bool zek_pstack_init(uint32_t capacity);
void zek_istack_init(void);
void zek_cstack_init(uint32_t entries);

inline void zek_pstack_clear(void) {
  vmstate0.values.top = vmstate0.values.base;
  vmstate0.sizes.top = vmstate0.sizes.base;
  vmstate0.types.top = vmstate0.types.base;
}
inline uint32_t zek_pstack_count(void) { return (uint32_t)(vmstate0.values.top - vmstate0.values.base); }
inline uint32_t zek_pstack_valueCount(void) { return (uint32_t)(vmstate0.types.top - vmstate0.types.base); }

void zek_pstack_raiseOverflow(void);
void zek_pstack_raiseUnderflow(void);

// Pushes a scalar of the given type whose element bytes are copied from bytes.
inline bool zek_pstack_pushScalar(uint32_t type, const void *bytes) {
  VmState &vm = vmstate0;
  uint32_t size = zek_baseTypeSizeOf(type);
  if (vm.sizes.top >= vm.sizes.end || (size_t)(vm.values.end - vm.values.top) < size) {
    zek_pstack_raiseOverflow();
    return false;
  }
  std::memcpy(vm.values.top, bytes, size);
  vm.values.top += size;
  *vm.sizes.top++ = 0;
  *vm.types.top++ = type;
  return true;
}

template <typename T> inline bool zek_pstack_push(uint32_t type, T value) {
  return zek_pstack_pushScalar(type, &value);
}

// Reserves room for a value of byteCount bytes and pushes its shape and type entries. dimCount 0
// gives a scalar, 1 a one-dimensional array of dims[0] elements, k >= 2 a k-dimensional array.
// Returns where the caller puts the element bytes, or null after raising an overflow.
uint8_t *zek_pstack_pushValue(uint32_t type, uint64_t byteCount, const uint32_t *dims, uint8_t dimCount);

// Fixed-type and run-time-type pops and peeks of scalars. They yield a pointer to the value's
// bytes (valid until the next push) or null after raising the error.
const uint8_t *zek_pstack_takeScalar(uint32_t type, bool pop, const char *what);
inline const uint8_t *zek_pstack_popScalarWithType(uint32_t type) {
  return zek_pstack_takeScalar(type, true, "popScalarWithType");
}
inline const uint8_t *zek_pstack_peekScalarWithType(uint32_t type) {
  return zek_pstack_takeScalar(type, false, "peekScalarWithType");
}
template <typename T> inline bool zek_pstack_popScalar(uint32_t type, T *out) {
  const uint8_t *p = zek_pstack_takeScalar(type, true, "popScalar");
  if (p == nullptr) return false;
  std::memcpy(out, p, sizeof(T));
  return true;
}
template <typename T> inline bool zek_pstack_peekScalar(uint32_t type, T *out) {
  const uint8_t *p = zek_pstack_takeScalar(type, false, "peekScalar");
  if (p == nullptr) return false;
  std::memcpy(out, p, sizeof(T));
  return true;
}
// Pops a scalar of any type.
const uint8_t *zek_pstack_dropScalar(uint32_t *type);

// Describes the value depth values below the top (0 = the top value) without popping it.
// Returns false (nothing raised) when there are not that many values or the entries are broken.
bool zek_pstack_peekValue(uint32_t depth, ZekValueView *out);
// Pops the top value whatever its shape and describes it; its bytes stay valid until the next
// push. Raises 109 on an empty stack.
bool zek_pstack_popValue(ZekValueView *out);

uint32_t zek_pstack_getNDimTotalSize(const uint32_t *dims, uint8_t k);
bool zek_pstack_dropNValues(uint32_t n, ValueList **out);
void zek_pstack_dropNValues_free(ValueList *list);

struct PstackState {
  uint8_t *values;
  uint32_t *sizes, *types, *calls;
};
void zek_pstack_saveState(PstackState *state);
void zek_pstack_restoreState(const PstackState *state);
// 0 when all tops equal the saved ones; 1 a parameter-stack top differs; 2 the call stack.
int zek_pstack_checkState(const PstackState *state);

// Index stack: groups of n index values followed by the count n.
bool zek_istack_push(uint32_t value);
bool zek_istack_pop_impl(const uint32_t **values, uint8_t *count);
inline void zek_istack_clear(void) { vmstate0.index.top = vmstate0.index.base; }
inline uint32_t zek_istack_count(void) { return (uint32_t)(vmstate0.index.top - vmstate0.index.base); }

// Call stack of return addresses.
bool zek_cstack_push(uint32_t address);
bool zek_cstack_pop(uint32_t *address);
inline void zek_cstack_clear(void) { vmstate0.calls.top = vmstate0.calls.base; }
inline uint32_t zek_cstack_count(void) { return (uint32_t)(vmstate0.calls.top - vmstate0.calls.base); }

void zek_raiseTypeMismatchError(const char *operation, uint32_t a, uint32_t b);
