// Signal bindings: the six bind operations, the completeness check, the queries and the
// adjustments of bindings.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vmapi_internal.h"

// The binding record is shared with frames by layout (they read its fields through the handles):
// its offsets are pinned for the 64-bit builds (Linux and Windows x86-64) and the x86 build.
// Doubles and ZekVmapiRaw are 8-aligned in both (the Windows x86 ABI aligns them to 8 in records).
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#define ZEK_BINDING_AT(field, at64, at32) static_assert(offsetof(SignalBinding, field) == (at64), #field)
#define ZEK_BINDING_SIZE 184
#elif UINTPTR_MAX == 0xFFFFFFFFu
#define ZEK_BINDING_AT(field, at64, at32) static_assert(offsetof(SignalBinding, field) == (at32), #field)
#define ZEK_BINDING_SIZE 152
#else
#error "the binding layout is pinned for 32-bit and 64-bit pointers only"
#endif
ZEK_BINDING_AT(name, 0, 0);
ZEK_BINDING_AT(physicalType, 8, 4);
ZEK_BINDING_AT(bindType, 12, 8);
ZEK_BINDING_AT(f0, 16, 16);
ZEK_BINDING_AT(f3, 40, 40);
ZEK_BINDING_AT(lowerLimit, 48, 48);
ZEK_BINDING_AT(upperLimit, 56, 56);
ZEK_BINDING_AT(dim, 64, 64);
ZEK_BINDING_AT(dims, 72, 68);
ZEK_BINDING_AT(dimCount, 80, 72);
ZEK_BINDING_AT(readFromSuT, 81, 73);
ZEK_BINDING_AT(writtenToSuT, 82, 74);
ZEK_BINDING_AT(nextBound, 88, 76);
ZEK_BINDING_AT(channel, 96, 80);
ZEK_BINDING_AT(mode, 104, 84);
ZEK_BINDING_AT(target, 112, 88);
ZEK_BINDING_AT(lowerLimitSet, 136, 112);
ZEK_BINDING_AT(upperLimitSet, 137, 113);
ZEK_BINDING_AT(lowerLimitRaw, 144, 120);
ZEK_BINDING_AT(upperLimitRaw, 152, 128);
ZEK_BINDING_AT(needsScaling, 160, 136);
ZEK_BINDING_AT(indexCoeffsSet, 161, 137);
ZEK_BINDING_AT(dims16, 168, 140);
ZEK_BINDING_AT(next, 176, 144);
static_assert(sizeof(((SignalBinding *)nullptr)->target) == 24);
static_assert(sizeof(ZekVmapiRaw) == 8 && alignof(ZekVmapiRaw) == 8);
static_assert(sizeof(SignalBinding) == ZEK_BINDING_SIZE);
#undef ZEK_BINDING_AT
#undef ZEK_BINDING_SIZE

namespace {

// The targets of a bind call, by mode.
struct BindTarget {
  void *address;
  void *getter;
  void *setter;
};

// Where a found channel goes.
enum ListKind { LIST_INPUT, LIST_OUTPUT, LIST_FUNCTION };

void append(SignalBinding *&head, SignalBinding *&tail, SignalBinding *b) {
  b->next = nullptr;
  if (tail != nullptr) tail->next = b;
  else head = b;
  tail = b;
}

ChannelDecl *findIn(ChannelDecl *table, uint16_t count, const char *name) {
  for (uint16_t i = 0; i < count; ++i)
    if (table[i].name != nullptr && std::strcmp(table[i].name, name) == 0) return &table[i];
  return nullptr;
}

// The channel of a name: test inputs, test outputs, then the arguments of each function.
ChannelDecl *findChannel(const VmData *d, const char *name, ListKind *kind, uint16_t *function) {
  if (ChannelDecl *c = findIn(d->inputs, d->inputCount, name)) {
    *kind = LIST_INPUT;
    return c;
  }
  if (ChannelDecl *c = findIn(d->outputs, d->outputCount, name)) {
    *kind = LIST_OUTPUT;
    return c;
  }
  for (uint16_t f = 0; f < d->functionCount; ++f) {
    const FunctionDecl &fn = d->functions[f];
    if (fn.firstArg == nullptr) continue;
    if (ChannelDecl *c = findIn(fn.firstArg, fn.argCount, name)) {
      *kind = LIST_FUNCTION;
      *function = f;
      return c;
    }
  }
  return nullptr;
}

// A new record goes to the end of a list that a running transfer may be walking, which would
// take it up in the same walk (and a getter that binds would never let the walk end): records
// are added between cycles only.
bool createBinding(const char *operation, VmapiExecution *e, const char *name, int32_t physicalType, int32_t bindType,
                   double f0, double f1, double f2, double f3, int32_t mode, BindTarget target, uint32_t dim) {
  if (!vmapi_mayStart(operation, VMAPI_REFUSE_BIND)) return false;
  if (!vmapi_requireLive(e, "bind")) return false;
  if (name == nullptr) {
    zek_raiseError(ZEK_ERR_API, "bind without a signal name.");
    return false;
  }
  bool nullTarget = mode <= ZEK_VMAPI_BIND_DYNAMIC32 ? target.address == nullptr
                                                    : target.getter == nullptr && target.setter == nullptr;
  if (nullTarget) {
    zek_raiseError(ZEK_ERR_API, "bind \"%s\" not allowed with a NULL pointer as value address.", name);
    return false;
  }
  if (!zek_isValidBaseType((uint32_t)bindType)) {
    zek_raiseError(ZEK_ERR_API, "Signal \"%s\" has an unknown bind type %d.", name, (int)bindType);
    return false;
  }
  if (physicalType != ZEK_VMAPI_ANY_TYPE && !zek_isValidBaseType((uint32_t)physicalType)) {
    zek_raiseError(ZEK_ERR_API, "Signal \"%s\" has wrong physical base type.", name);
    return false;
  }
  BindingLists &l = e->lists;
  ChannelDecl *channel = nullptr;
  ListKind kind = LIST_INPUT;
  uint16_t function = 0;
  if (!e->parameterExchange) {
    channel = findChannel(e->data, name, &kind, &function);
    if (channel == nullptr) {
      if (zek_isSuppressedSignalName(name)) return true;
      zek_raiseError(ZEK_ERR_API, "Signal \"%s\" does not exist.", name);
      return false;
    }
    if (physicalType != ZEK_VMAPI_ANY_TYPE && (uint32_t)physicalType != channel->baseType) {
      zek_raiseError(ZEK_ERR_API, "Signal \"%s\" has wrong physical base type.", name);
      return false;
    }
    if (dim < channel->elementCount) {
      zek_raiseError(ZEK_ERR_API, "Dimension mismatch: Signal \"%s\" has a dimension of %d, but specified dim is %d.",
                     name, (int)channel->elementCount, (int)dim);
      return false;
    }
  }
  SignalBinding *b = (SignalBinding *)std::calloc(1, sizeof(SignalBinding));
  if (b == nullptr) {
    zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for the binding of \"%s\".", name);
    return false;
  }
  b->name = name;
  b->bindType = (uint32_t)bindType;
  b->f0 = f0;
  b->f1 = f1;
  b->f2 = f2;
  b->f3 = f3;
  b->lowerLimit = b->upperLimit = zek_vmapi_NAN();
  b->mode = mode;
  if (channel != nullptr) {
    b->physicalType = channel->baseType;
    b->dim = channel->elementCount;
    b->dims = channel->dims;
    b->dimCount = channel->dimCount;
    b->readFromSuT = kind == LIST_INPUT;
    b->writtenToSuT = kind != LIST_INPUT;
  } else {
    // A parameter exchange knows its parameters only later; -1 stays until then.
    b->physicalType = (uint32_t)physicalType;
    b->dim = dim;
    b->dimCount = 255;
    b->readFromSuT = 1;
  }
  b->channel = channel;
  switch (mode) {
    case ZEK_VMAPI_BIND_STATIC:
      b->target.fixed.base = target.address;
      b->target.fixed.groupSize = 1;
      b->target.fixed.groupStride = zek_baseTypeSizeOf(b->bindType);
      b->target.fixed.elementStride = 0;
      break;
    case ZEK_VMAPI_BIND_DYNAMIC16: b->target.address16 = (ZekVmapiAddressFn16)target.address; break;
    case ZEK_VMAPI_BIND_DYNAMIC32: b->target.address32 = (ZekVmapiAddressFn32)target.address; break;
    case ZEK_VMAPI_BIND_GETSET16:
      b->target.getSet16.getter = (ZekVmapiGetter16)target.getter;
      b->target.getSet16.setter = (ZekVmapiSetter16)target.setter;
      break;
    default:
      b->target.getSet32.getter = (ZekVmapiGetter32)target.getter;
      b->target.getSet32.setter = (ZekVmapiSetter32)target.setter;
      break;
  }
  b->needsScaling = vmapi_needsScaling(b);
  if (!vmapi_buildDims16(b)) {
    vmapi_freeBinding(b);
    return false;
  }
  if (kind == LIST_INPUT) append(l.inputHead, l.inputTail, b);
  else if (kind == LIST_OUTPUT) append(l.outputHead, l.outputTail, b);
  else append(l.functionBindings[function].head, l.functionBindings[function].tail, b);
  if (l.allTail != nullptr) l.allTail->nextBound = b;
  else l.allHead = b;
  l.allTail = b;
  return true;
}

bool namedIn(const SignalBinding *b, const char *name) { return b->name != nullptr && std::strcmp(b->name, name) == 0; }

bool hasName(const char *name, const char *operation) {
  if (name != nullptr) return true;
  zek_raiseError(ZEK_ERR_API, "%s() without a signal name.", operation);
  return false;
}

// The coefficients on every record of the name in one list; -1 after a mode refusal, else
// the number of records changed.
int32_t setCoeffsIn(SignalBinding *list, const char *name, uint32_t a, uint32_t b, uint32_t c) {
  int32_t found = 0;
  for (SignalBinding *r = list; r != nullptr; r = r->next) {
    if (!namedIn(r, name)) continue;
    if (r->mode != ZEK_VMAPI_BIND_STATIC) {
      zek_raiseError(ZEK_ERR_API,
                     "Signal \"%s\" is bound using zek_vmapi_bindSignalDynamic_v2() or "
                     "zek_vmapi_bindSignalGetSet_v2(). You cannot use zek_vmapi_setIndexCoeffs_v2() for such a "
                     "signal.",
                     name);
      return -1;
    }
    r->target.fixed.groupSize = a;
    r->target.fixed.groupStride = b;
    r->target.fixed.elementStride = c;
    r->indexCoeffsSet = a != 1 || b != zek_baseTypeSizeOf(r->bindType) || c != 0;
    ++found;
  }
  return found;
}

}  // namespace

uint8_t vmapi_needsScaling(const SignalBinding *b) {
  bool identity = b->f0 == 1.0 && b->f1 == 0.0 && b->f2 == 0.0 && b->f3 == 1.0;
  return identity && b->bindType == b->physicalType ? 0 : 1;
}

bool vmapi_buildDims16(SignalBinding *b) {
  std::free(b->dims16);
  b->dims16 = nullptr;
  if (b->mode != ZEK_VMAPI_BIND_DYNAMIC16 && b->mode != ZEK_VMAPI_BIND_GETSET16) return true;
  if (b->channel == nullptr || b->dimCount == 0 || b->dimCount == 255 || b->dims == nullptr) return true;
  int16_t *table = (int16_t *)std::calloc(b->dimCount, sizeof(int16_t));
  if (table == nullptr) {
    zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for the dimensions of \"%s\".", b->name);
    return false;
  }
  for (uint8_t i = 0; i < b->dimCount; ++i) {
    uint32_t d = b->dims[i];
    if (d == ZEK_OPEN_DIMENSION) {
      table[i] = -1;
    } else if (d > 65534) {
      // A 16-bit table that cannot tell the dimension would address the wrong elements.
      std::free(table);
      zek_raiseError(ZEK_ERR_FORMAT, "Signal '%s' has 32bit dimension which is not supported using 16bit binding function",
                     b->channel->name);
      return false;
    } else {
      table[i] = (int16_t)d;
    }
  }
  b->dims16 = table;
  return true;
}

ZEK_EXPORT double zek_vmapi_NAN(void) {
  uint64_t bits = 0xFFF8000000000000ull;
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

ZEK_EXPORT bool zek_vmapi_bindSignal(VmapiExecution *e, const char *name, int32_t physicalType, int32_t bindType,
                                     double f0, double f1, double f2, double f3, void *address, uint16_t dim) {
  return createBinding("zek_vmapi_bindSignal", e, name, physicalType, bindType, f0, f1, f2, f3,
                       ZEK_VMAPI_BIND_STATIC, BindTarget{address, nullptr, nullptr}, dim);
}

ZEK_EXPORT bool zek_vmapi_bindSignal_v2(VmapiExecution *e, const char *name, int32_t physicalType, int32_t bindType,
                                        double f0, double f1, double f2, double f3, void *address, uint32_t dim) {
  return createBinding("zek_vmapi_bindSignal_v2", e, name, physicalType, bindType, f0, f1, f2, f3,
                       ZEK_VMAPI_BIND_STATIC, BindTarget{address, nullptr, nullptr}, dim);
}

ZEK_EXPORT bool zek_vmapi_bindSignalDynamic(VmapiExecution *e, const char *name, int32_t physicalType,
                                            int32_t bindType, double f0, double f1, double f2, double f3,
                                            ZekVmapiAddressFn16 address, uint16_t dim) {
  return createBinding("zek_vmapi_bindSignalDynamic", e, name, physicalType, bindType, f0, f1, f2, f3,
                       ZEK_VMAPI_BIND_DYNAMIC16, BindTarget{(void *)address, nullptr, nullptr}, dim);
}

ZEK_EXPORT bool zek_vmapi_bindSignalDynamic_v2(VmapiExecution *e, const char *name, int32_t physicalType,
                                               int32_t bindType, double f0, double f1, double f2, double f3,
                                               ZekVmapiAddressFn32 address, uint32_t dim) {
  return createBinding("zek_vmapi_bindSignalDynamic_v2", e, name, physicalType, bindType, f0, f1, f2, f3,
                       ZEK_VMAPI_BIND_DYNAMIC32, BindTarget{(void *)address, nullptr, nullptr}, dim);
}

ZEK_EXPORT bool zek_vmapi_bindSignalGetSet(VmapiExecution *e, const char *name, int32_t physicalType,
                                           int32_t bindType, double f0, double f1, double f2, double f3,
                                           ZekVmapiGetter16 getter, ZekVmapiSetter16 setter, uint16_t dim) {
  return createBinding("zek_vmapi_bindSignalGetSet", e, name, physicalType, bindType, f0, f1, f2, f3,
                       ZEK_VMAPI_BIND_GETSET16, BindTarget{nullptr, (void *)getter, (void *)setter}, dim);
}

ZEK_EXPORT bool zek_vmapi_bindSignalGetSet_v2(VmapiExecution *e, const char *name, int32_t physicalType,
                                              int32_t bindType, double f0, double f1, double f2, double f3,
                                              ZekVmapiGetter32 getter, ZekVmapiSetter32 setter, uint32_t dim) {
  return createBinding("zek_vmapi_bindSignalGetSet_v2", e, name, physicalType, bindType, f0, f1, f2, f3,
                       ZEK_VMAPI_BIND_GETSET32, BindTarget{nullptr, (void *)getter, (void *)setter}, dim);
}

ZEK_EXPORT bool zek_vmapi_bindSignalFinalize(void) {
  VmapiExecution *e = vmapi_current();
  VmData *d = zek_getData();
  if (e == nullptr || e->parameterExchange || d == nullptr) return vmapi_requireLive(e, "zek_vmapi_bindSignalFinalize");
  constexpr uint32_t kCut = 7000;
  ZekStrBuf text{nullptr, 0};
  uint32_t length = 0;
  bool complete = true;
  auto missing = [&](const ChannelDecl &c) {
    complete = false;
    if (length >= kCut) return;
    int32_t n = length == 0 ? zek_strprint(&text, "Missing binding for ZEK input/output signal(s): %s", c.name)
                            : zek_strprint(&text, "%s, %s", text.text, c.name);
    if (n >= 0) length = (uint32_t)n;
  };
  for (uint16_t i = 0; i < d->inputCount; ++i) {
    const ChannelDecl &c = d->inputs[i];
    bool bound = c.needsNoPort != 0;
    for (SignalBinding *b = e->lists.inputHead; !bound && b != nullptr; b = b->next) bound = b->channel == &c;
    if (!bound) missing(c);
  }
  for (uint16_t i = 0; i < d->outputCount; ++i) {
    const ChannelDecl &c = d->outputs[i];
    if (c.role != ZEK_ROLE_OUTPUT && c.role != ZEK_ROLE_PARAMETER) continue;
    const char *mode = c.role == ZEK_ROLE_PARAMETER ? zek_get_attribute(c.attributes, "exchangemode") : nullptr;
    bool bound = c.needsNoPort != 0 || (mode != nullptr && std::strcmp(mode, "LOCAL") == 0);
    for (SignalBinding *b = e->lists.outputHead; !bound && b != nullptr; b = b->next) bound = b->channel == &c;
    if (!bound) missing(c);
  }
  if (!complete) {
    if (text.text != nullptr) zek_raiseError(ZEK_ERR_API, "%s", text.text);
    else zek_raiseError(ZEK_ERR_API, "Missing binding for ZEK input/output signal(s).");
  }
  std::free(text.text);
  return complete;
}

ZEK_EXPORT SignalBinding *zek_vmapi_getSignal(VmapiExecution *e, const char *name) {
  if (e != nullptr && e->parameterExchange) return nullptr;
  if (!vmapi_requireLive(e, "zek_vmapi_getSignal") || !hasName(name, "zek_vmapi_getSignal")) return nullptr;
  SignalBinding *lists[2] = {e->lists.outputHead, e->lists.inputHead};
  for (SignalBinding *list : lists) {
    SignalBinding *hit = nullptr;
    uint32_t hits = 0;
    for (SignalBinding *b = list; b != nullptr; b = b->next)
      if (namedIn(b, name)) {
        hit = b;
        ++hits;
      }
    if (hits >= 2) {
      zek_raiseError(ZEK_ERR_API, "Unable to return unique signal handle for '%s' since it is bound more than once.",
                     name);
      return nullptr;
    }
    if (hits == 1) return hit;
  }
  return nullptr;
}

ZEK_EXPORT SignalBinding *zek_vmapi_getBoundSignals(void) {
  VmapiExecution *e = vmapi_current();
  return e != nullptr ? e->lists.allHead : nullptr;
}

ZEK_EXPORT uint32_t zek_vmapi_getDim_v2(VmapiExecution *, const char *name) {
  VmData *d = zek_getData();
  if (d == nullptr || name == nullptr) return 0;
  ChannelDecl *c = findIn(d->channels, d->channelCount, name);
  return c != nullptr ? c->elementCount : 0;
}

ZEK_EXPORT uint16_t zek_vmapi_getDim(VmapiExecution *e, const char *name) {
  uint32_t n = zek_vmapi_getDim_v2(e, name);
  if (n > 65535)
    zek_raiseError(ZEK_ERR_TYPE,
                   "Signal %s has 32bit dimension (dim=%d) which is not supported by deprecated function "
                   "zek_vmapi_getDim(). Use zek_vmapi_getDim_v2() instead.",
                   name, (int)n);
  return (uint16_t)n;
}

// A binding of a replaced execution has no channel any more (the new load freed it); the
// execution given, when there is one, is refused like in every other call.
ZEK_EXPORT bool zek_vmapi_isUpdated(VmapiExecution *e, SignalBinding *b, int32_t index) {
  if (b == nullptr) return false;
  if (e != nullptr && !vmapi_requireLive(e, "zek_vmapi_isUpdated")) return false;
  if (b->channel == nullptr) return false;
  const ChannelDecl &c = *b->channel;
  if (index >= 0) {
    if ((uint32_t)index < c.elementCount)
      return zek_isWrittenFlag(c.heapOffset + (uint32_t)index * c.elementSize) != 0;
    zek_raiseError(ZEK_ERR_LIMIT, "zek_vmapi_isUpdated(): Signal '%s' has dim=%d, but index provided is %d (out of range).",
                   b->name, (int)c.elementCount, (int)index);
    return false;
  }
  for (uint32_t i = 0; i < c.elementCount; ++i)
    if (zek_isWrittenFlag(c.heapOffset + i * c.elementSize) != 0) return true;
  return false;
}

ZEK_EXPORT int32_t zek_vmapi_getIntTypeEnum(uint8_t size, bool isSigned) {
  switch (size) {
    case 1: return isSigned ? ZEK_INT8 : ZEK_UINT8;
    case 2: return isSigned ? ZEK_INT16 : ZEK_UINT16;
    case 4: return isSigned ? ZEK_INT32 : ZEK_UINT32;
    case 8:
      if (isSigned) return ZEK_INT64;
      break;
  }
  zek_raiseError(ZEK_ERR_API, "Failed to determine type enum value: No %s integer based data type with byte size %d supported.",
                 isSigned ? "signed" : "unsigned", (int)size);
  return 0;
}

ZEK_EXPORT bool zek_vmapi_setIndexCoeffs_v2(VmapiExecution *e, const char *name, uint32_t a, uint32_t b, uint32_t c) {
  if (!vmapi_requireLive(e, "zek_vmapi_setIndexCoeffs_v2") || !hasName(name, "zek_vmapi_setIndexCoeffs_v2"))
    return false;
  if (a == 0) {
    // The element address divides by the group size.
    zek_raiseError(ZEK_ERR_API, "zek_vmapi_setIndexCoeffs_v2(__, \"%s\", %u, %u, %u): a group size of 0 is not allowed.",
                   name, a, b, c);
    return false;
  }
  BindingLists &l = e->lists;
  int32_t found = 0;
  SignalBinding *lists[2] = {l.outputHead, l.inputHead};
  for (SignalBinding *list : lists) {
    int32_t n = setCoeffsIn(list, name, a, b, c);
    if (n < 0) return false;
    found += n;
  }
  if (found == 0 && !e->parameterExchange)
    for (uint16_t f = 0; f < l.functionCount; ++f) {
      int32_t n = setCoeffsIn(l.functionBindings[f].head, name, a, b, c);
      if (n < 0) return false;
      found += n;
    }
  if (found > 0 || zek_isSuppressedSignalName(name)) return true;
  zek_raiseError(ZEK_ERR_API, "Signal \"%s\" is not a ZEK signal that has been bound using zek_vmapi_bindSignal_v2() before.",
                 name);
  return false;
}

ZEK_EXPORT bool zek_vmapi_setIndexCoeffs(VmapiExecution *e, const char *name, int16_t a, int16_t b, int16_t c) {
  if (a < 0 || b < 0 || c < 0) {
    zek_raiseError(ZEK_ERR_API,
                   "zek_vmapi_setIndexCoeffs(__, \"%s\", %d, %d, %d) has been called with negative coefficients. "
                   "Consider using zek_vmapi_setIndexCoeffs_v2() for coefficients >= 2^15.",
                   name != nullptr ? name : "", (int)a, (int)b, (int)c);
    return false;
  }
  return zek_vmapi_setIndexCoeffs_v2(e, name, (uint32_t)a, (uint32_t)b, (uint32_t)c);
}

ZEK_EXPORT bool zek_vmapi_setLimits(VmapiExecution *, const char *name, double lower, double upper) {
  VmapiExecution *e = vmapi_current();
  if (!vmapi_requireLive(e, "zek_vmapi_setLimits") || !hasName(name, "zek_vmapi_setLimits")) return false;
  bool found = false;
  for (SignalBinding *b = e->lists.outputHead; b != nullptr; b = b->next) {
    if (!namedIn(b, name)) continue;
    found = true;
    b->lowerLimit = lower;
    b->upperLimit = upper;
    b->lowerLimitSet = !std::isnan(lower);
    b->upperLimitSet = !std::isnan(upper);
    b->lowerLimitRaw.bits = b->upperLimitRaw.bits = 0;
    if (b->lowerLimitSet) vmapi_storeLimit(b->bindType, &b->lowerLimitRaw, lower);
    if (b->upperLimitSet) vmapi_storeLimit(b->bindType, &b->upperLimitRaw, upper);
  }
  if (found || zek_isSuppressedSignalName(name)) return true;
  zek_raiseError(ZEK_ERR_API,
                 "Signal \"%s\" is not a ZEK output signal that has been bound using zek_vmapi_bindSignal_v2() before.",
                 name);
  return false;
}

ZEK_EXPORT bool zek_vmapi_enableReadWrite(VmapiExecution *e, const char *name) {
  if (!vmapi_mayStart("zek_vmapi_enableReadWrite", VMAPI_REFUSE_BIND)) return false;
  if (e != nullptr && e->parameterExchange) return true;
  if (!vmapi_requireLive(e, "zek_vmapi_enableReadWrite") || !hasName(name, "zek_vmapi_enableReadWrite")) return false;
  BindingLists &l = e->lists;
  bool found = false;
  for (SignalBinding *b = l.outputHead; b != nullptr; b = b->next) {
    if (!namedIn(b, name)) continue;
    found = true;
    if (b->readFromSuT) continue;  // read-write already: one copy reads it
    SignalBinding *copy = (SignalBinding *)std::malloc(sizeof(SignalBinding));
    int16_t *dims16 = nullptr;
    if (copy != nullptr && b->dims16 != nullptr) {
      dims16 = (int16_t *)std::malloc((size_t)b->dimCount * sizeof(int16_t));
      if (dims16 != nullptr) std::memcpy(dims16, b->dims16, (size_t)b->dimCount * sizeof(int16_t));
    }
    if (copy == nullptr || (b->dims16 != nullptr && dims16 == nullptr)) {
      std::free(copy);
      zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for the binding of \"%s\".", name);
      return false;
    }
    b->channel->readWrite = 1;
    b->readFromSuT = 1;
    std::memcpy(copy, b, sizeof *copy);
    copy->dims16 = dims16;
    copy->nextBound = nullptr;
    append(l.inputHead, l.inputTail, copy);
  }
  if (found || zek_isSuppressedSignalName(name)) return true;
  zek_raiseError(ZEK_ERR_API,
                 "Signal \"%s\" is not a ZEK output signal that has been bound using zek_vmapi_bindSignal_v2() before.",
                 name);
  return false;
}
