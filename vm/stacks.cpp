// Parameter, index and call stacks: pointer arithmetic on buffers that the loader allocates.
#include "stacks.h"

const uint32_t TSIZE_1[1] = {1};

namespace {
// Number of size-stack entries that a value's shape occupies.
inline uint32_t shapeEntries(uint8_t dimCount) { return dimCount <= 1 ? 1u : (uint32_t)dimCount + 1u; }

// Reads the shape of the value whose topmost size entry is at sizeTop[-1]. Returns the number of
// size entries it occupies, 0 when the entries below sizeBase do not hold it.
uint32_t readShape(const uint32_t *sizeBase, const uint32_t *sizeTop, ZekValueView *out, uint64_t *total) {
  if (sizeTop <= sizeBase) return 0;
  uint32_t entry = sizeTop[-1];
  if (entry == 0) {
    out->scalar = 1;
    out->dimCount = 1;
    out->dims = TSIZE_1;
    *total = 1;
    return 1;
  }
  if (entry < ZEK_NDIM_MARKER) {
    out->scalar = 0;
    out->dimCount = 1;
    out->dims = sizeTop - 1;
    *total = entry;
    return 1;
  }
  uint8_t k = (uint8_t)(entry & 0xFF);
  if ((uint64_t)(sizeTop - sizeBase) < (uint64_t)k + 1) return 0;
  out->scalar = 0;
  out->dimCount = k;
  out->dims = sizeTop - 1 - k;
  uint64_t product = 1;
  for (uint8_t i = 0; i < k; ++i) {
    product *= out->dims[i];
    if (product > 0xFFFFFFFFull) return 0;
  }
  *total = product;
  return (uint32_t)k + 1;
}
}  // namespace

void zek_pstack_raiseOverflow(void) {
  zek_raiseError(ZEK_ERR_OVERFLOW, "An overflow of the parameter stack occurred.");
}
void zek_pstack_raiseUnderflow(void) {
  zek_raiseError(ZEK_ERR_UNDERFLOW, "An underflow of the parameter stack occurred.");
}

bool zek_pstack_init(uint32_t capacity) {
  VmState &vm = vmstate0;
  uint64_t words = (uint64_t)capacity * 4u;
  if (words > 0xFFFFFFFFull) {
    zek_raiseError(ZEK_ERR_MEMORY, "Not enough heap memory for %llu bytes.", (unsigned long long)words);
    return false;
  }
  vm.values.base = (uint8_t *)zek_malloc(capacity);
  vm.sizes.base = (uint32_t *)zek_malloc((uint32_t)words);
  vm.types.base = (uint32_t *)zek_malloc((uint32_t)words);
  if (vm.values.base == nullptr || vm.sizes.base == nullptr || vm.types.base == nullptr) return false;
  vm.values.end = vm.values.base + capacity;
  vm.sizes.end = vm.sizes.base + capacity;
  vm.types.end = vm.types.base + capacity;
  zek_pstack_clear();
  return true;
}

void zek_istack_init(void) {
  VmState &vm = vmstate0;
  vm.index.base = (uint32_t *)zek_malloc(ZEK_INDEX_STACK_BYTES);
  vm.index.end = vm.index.base != nullptr ? vm.index.base + ZEK_INDEX_STACK_BYTES / 4 : nullptr;
  vm.index.top = vm.index.base;
}

void zek_cstack_init(uint32_t entries) {
  VmState &vm = vmstate0;
  vm.calls.base = entries > 0 ? (uint32_t *)zek_malloc(entries * 4u) : nullptr;
  vm.calls.end = vm.calls.base != nullptr ? vm.calls.base + entries : nullptr;
  vm.calls.top = vm.calls.base;
}

uint8_t *zek_pstack_pushValue(uint32_t type, uint64_t byteCount, const uint32_t *dims, uint8_t dimCount) {
  VmState &vm = vmstate0;
  if (dimCount == 1 && (dims[0] == 0 || dims[0] >= ZEK_NDIM_MARKER)) {
    zek_raiseError(ZEK_ERR_LIMIT, "Array of %u elements cannot be placed on the parameter stack.", dims[0]);
    return nullptr;
  }
  uint32_t entries = dimCount == 0 ? 1 : shapeEntries(dimCount);
  if ((uint64_t)(vm.sizes.end - vm.sizes.top) < entries || vm.types.top >= vm.types.end ||
      (uint64_t)(vm.values.end - vm.values.top) < byteCount) {
    zek_pstack_raiseOverflow();
    return nullptr;
  }
  uint8_t *bytes = vm.values.top;
  vm.values.top += byteCount;
  if (dimCount == 0) {
    *vm.sizes.top++ = 0;
  } else if (dimCount == 1) {
    *vm.sizes.top++ = dims[0];
  } else {
    for (uint8_t i = 0; i < dimCount; ++i) *vm.sizes.top++ = dims[i];
    *vm.sizes.top++ = ZEK_NDIM_MARKER + dimCount;
  }
  *vm.types.top++ = type;
  return bytes;
}

const uint8_t *zek_pstack_takeScalar(uint32_t type, bool pop, const char *what) {
  VmState &vm = vmstate0;
  if (vm.types.top <= vm.types.base || vm.sizes.top <= vm.sizes.base) {
    zek_pstack_raiseUnderflow();
    return nullptr;
  }
  uint32_t sizeEntry = vm.sizes.top[-1];
  if (sizeEntry != 0) {
    zek_raiseError(ZEK_ERR_SHAPE, "%s: Expected scalar, got array (%d).", what, (int)sizeEntry);
    return nullptr;
  }
  uint32_t found = vm.types.top[-1];
  if (found != type) {
    const char *expected = zek_getBaseTypeName(type);
    zek_raiseError(ZEK_ERR_TYPE, "Type mismatch on parameter stack. Expected %s, got %s.", expected,
                   zek_getBaseTypeName(found));
    return nullptr;
  }
  uint32_t size = zek_baseTypeSizeOf(type);
  if ((uint32_t)(vm.values.top - vm.values.base) < size) {
    zek_pstack_raiseUnderflow();
    return nullptr;
  }
  uint8_t *value = vm.values.top - size;
  if (pop) {
    vm.values.top = value;
    --vm.sizes.top;
    --vm.types.top;
  }
  return value;
}

const uint8_t *zek_pstack_dropScalar(uint32_t *type) {
  VmState &vm = vmstate0;
  if (vm.types.top <= vm.types.base || vm.sizes.top <= vm.sizes.base) {
    zek_pstack_raiseUnderflow();
    return nullptr;
  }
  uint32_t sizeEntry = vm.sizes.top[-1];
  if (sizeEntry != 0) {
    zek_raiseError(ZEK_ERR_SHAPE, "dropScalar: Expected scalar, got array (%d).", (int)sizeEntry);
    return nullptr;
  }
  uint32_t found = vm.types.top[-1];
  uint32_t size = zek_baseTypeSizeOf(found);
  if ((uint32_t)(vm.values.top - vm.values.base) < size) {
    zek_pstack_raiseUnderflow();
    return nullptr;
  }
  vm.values.top -= size;
  --vm.sizes.top;
  --vm.types.top;
  *type = found;
  return vm.values.top;
}

bool zek_pstack_peekValue(uint32_t depth, ZekValueView *out) {
  const VmState &vm = vmstate0;
  if ((uint64_t)(vm.types.top - vm.types.base) <= depth) return false;
  const uint32_t *sizeTop = vm.sizes.top;
  uint64_t valueTop = (uint64_t)(vm.values.top - vm.values.base);
  for (uint32_t i = 0;; ++i) {
    ZekValueView view{};
    uint64_t total = 0;
    uint32_t used = readShape(vm.sizes.base, sizeTop, &view, &total);
    if (used == 0) return false;
    view.type = vm.types.top[-1 - (int64_t)i];
    uint64_t bytes = total * zek_baseTypeSizeOf(view.type);
    if (bytes > valueTop) return false;
    valueTop -= bytes;
    if (i == depth) {
      view.total = (uint32_t)total;
      view.bytes = vm.values.base + valueTop;
      *out = view;
      return true;
    }
    sizeTop -= used;
  }
}

bool zek_pstack_popValue(ZekValueView *out) {
  VmState &vm = vmstate0;
  if (!zek_pstack_peekValue(0, out)) {
    zek_pstack_raiseUnderflow();
    return false;
  }
  vm.values.top = out->bytes;
  vm.sizes.top -= out->scalar || out->dimCount == 1 ? 1 : (uint32_t)out->dimCount + 1;
  --vm.types.top;
  return true;
}

uint32_t zek_pstack_getNDimTotalSize(const uint32_t *dims, uint8_t k) {
  uint32_t product = 1;
  for (uint8_t i = 0; i < k; ++i) product *= dims[i];
  return product;
}

bool zek_pstack_dropNValues(uint32_t n, ValueList **out) {
  VmState &vm = vmstate0;
  *out = nullptr;
  // The count comes from the byte code: check it against what the stack holds before allocating.
  if ((uint64_t)n > (uint64_t)(vm.types.top - vm.types.base)) {
    zek_pstack_raiseUnderflow();
    return false;
  }
  ValueList *list = (ValueList *)zek_malloc(sizeof(ValueList));
  if (list == nullptr) return false;
  list->count = n;
  uint64_t entryBytes = (uint64_t)n * sizeof(ValueEntry);
  if (n > 0 && (entryBytes > 0xFFFFFFFFull || (list->entries = (ValueEntry *)zek_malloc((uint32_t)entryBytes)) == nullptr)) {
    if (entryBytes > 0xFFFFFFFFull) zek_pstack_raiseOverflow();
    zek_pstack_dropNValues_free(list);
    return false;
  }
  // One walk down from the top: entry n-1 is the top value. Dimensions and bytes still point
  // into the stacks here and are re-pointed into the list's copies below.
  const uint32_t *sizeTop = vm.sizes.top;
  uint64_t valueTop = (uint64_t)(vm.values.top - vm.values.base);
  uint64_t dimEntries = 0;
  for (uint32_t i = 0; i < n; ++i) {
    ZekValueView view{};
    uint64_t total = 0;
    uint32_t used = readShape(vm.sizes.base, sizeTop, &view, &total);
    uint32_t type = vm.types.top[-1 - (int64_t)i];
    uint64_t bytes = total * zek_baseTypeSizeOf(type);
    if (used == 0 || bytes > valueTop) {
      zek_pstack_raiseUnderflow();
      zek_pstack_dropNValues_free(list);
      return false;
    }
    valueTop -= bytes;
    sizeTop -= used;
    ValueEntry &entry = list->entries[n - 1 - i];
    entry.type = type;
    entry.scalar = view.scalar;
    entry.dimCount = view.dimCount;
    entry.dims = view.dims;
    entry.total = (uint32_t)total;
    entry.value = vm.values.base + valueTop;
    if (!view.scalar) dimEntries += view.dimCount;
  }
  uint8_t *deepest = vm.values.base + valueTop;
  uint32_t byteLength = (uint32_t)(vm.values.top - deepest);
  list->byteLength = byteLength;
  if ((dimEntries > 0 && (list->dims = (uint32_t *)zek_malloc((uint32_t)(dimEntries * 4u))) == nullptr) ||
      (byteLength > 0 && (list->bytes = (uint8_t *)zek_malloc(byteLength)) == nullptr)) {
    zek_pstack_dropNValues_free(list);
    return false;
  }
  if (byteLength > 0) std::memcpy(list->bytes, deepest, byteLength);
  uint32_t dimPos = 0;
  for (uint32_t e = 0; e < n; ++e) {
    ValueEntry &entry = list->entries[e];
    entry.value = list->bytes + (entry.value - deepest);
    if (entry.scalar) {
      entry.dims = TSIZE_1;
    } else {
      std::memcpy(list->dims + dimPos, entry.dims, (size_t)entry.dimCount * 4u);
      entry.dims = list->dims + dimPos;
      dimPos += entry.dimCount;
    }
  }
  vm.values.top = deepest;
  vm.sizes.top = (uint32_t *)sizeTop;
  vm.types.top -= n;
  *out = list;
  return true;
}

void zek_pstack_dropNValues_free(ValueList *list) {
  if (list == nullptr) return;
  zek_free(list->entries);
  zek_free(list->dims);
  zek_free(list->bytes);
  zek_free(list);
}

void zek_pstack_saveState(PstackState *state) {
  state->values = vmstate0.values.top;
  state->sizes = vmstate0.sizes.top;
  state->types = vmstate0.types.top;
  state->calls = vmstate0.calls.top;
}

void zek_pstack_restoreState(const PstackState *state) {
  vmstate0.values.top = state->values;
  vmstate0.sizes.top = state->sizes;
  vmstate0.types.top = state->types;
}

int zek_pstack_checkState(const PstackState *state) {
  const VmState &vm = vmstate0;
  if (vm.values.top != state->values || vm.sizes.top != state->sizes || vm.types.top != state->types) return 1;
  if (vm.calls.top != state->calls) return 2;
  return 0;
}

bool zek_istack_push(uint32_t value) {
  VmState &vm = vmstate0;
  if (vm.index.top >= vm.index.end) {
    zek_raiseError(ZEK_ERR_OVERFLOW, "An overflow of the size stack occurred.");
    return false;
  }
  *vm.index.top++ = value;
  return true;
}

bool zek_istack_pop_impl(const uint32_t **values, uint8_t *count) {
  VmState &vm = vmstate0;
  uint64_t used = (uint64_t)(vm.index.top - vm.index.base);
  if (used == 0 || (uint64_t)vm.index.top[-1] + 1 > used) {
    zek_raiseError(ZEK_ERR_UNDERFLOW, "An underflow of the size stack occurred.");
    return false;
  }
  uint32_t n = vm.index.top[-1];
  vm.index.top -= n + 1;
  *values = vm.index.top;
  *count = (uint8_t)n;
  return true;
}

bool zek_cstack_push(uint32_t address) {
  VmState &vm = vmstate0;
  if (vm.calls.top >= vm.calls.end) {
    zek_raiseError(ZEK_ERR_OVERFLOW, "An overflow of the call stack occurred.");
    return false;
  }
  *vm.calls.top++ = address;
  return true;
}

bool zek_cstack_pop(uint32_t *address) {
  VmState &vm = vmstate0;
  if (vm.calls.top <= vm.calls.base) {
    zek_raiseError(ZEK_ERR_CSTACK, "An underflow of the call stack occurred.");
    return false;
  }
  *address = *--vm.calls.top;
  return true;
}

void zek_raiseTypeMismatchError(const char *operation, uint32_t a, uint32_t b) {
  const char *nameA = zek_getBaseTypeName(a);
  const char *nameB = zek_getBaseTypeName(b);
  zek_raiseError(ZEK_ERR_TYPE, "Type mismatch in operation %s. %s != %s.", operation, nameA, nameB);
}
