// Loading a program image: checks, program tables, values heap and run-time buffers.
//
// The image is read in place and must stay alive while the program is loaded: names, attribute
// lists, the initial-value block and the byte code are used from it. Every read is bounded by
// the image itself: the blocks, records and texts must all lie before the CRC at L - 4.
#include <cinttypes>
#include <cstdlib>

#include "stacks.h"
#include "vm_random.h"

VmState vmstate0;

namespace {
constexpr uint8_t kVersion = 17;
constexpr uint32_t kHeaderSize = 94;
constexpr uint32_t kMinValueStack = 8192;

// A bounded cursor over the image. The first read that would leave [0, limit) raises 11 and
// makes every later read fail too.
struct Reader {
  const uint8_t *image;
  uint32_t limit;
  uint64_t pos;
  bool swap;
  bool failed;
};

bool outOfImage(Reader &r, const char *what) {
  if (!r.failed)
    zek_raiseError(ZEK_ERR_FORMAT, "Malformed program image. The %s at offset %" PRIu64 " leaves the image of %u bytes.",
                   what, r.pos, r.limit);
  r.failed = true;
  return false;
}

bool need(Reader &r, uint64_t n, const char *what) {
  if (r.failed) return false;
  if (r.pos > r.limit || n > r.limit - r.pos) return outOfImage(r, what);
  return true;
}

uint8_t rd_u8(Reader &r, const char *what) {
  if (!need(r, 1, what)) return 0;
  return r.image[r.pos++];
}

uint16_t rd_u16(Reader &r, const char *what) {
  if (!need(r, 2, what)) return 0;
  uint16_t v = zek_load_as<uint16_t>(r.image + r.pos);
  r.pos += 2;
  return r.swap ? zek_swap2(v) : v;
}

uint32_t rd_u32(Reader &r, const char *what) {
  if (!need(r, 4, what)) return 0;
  uint32_t v = zek_load_as<uint32_t>(r.image + r.pos);
  r.pos += 4;
  return r.swap ? zek_swap4(v) : v;
}

const uint8_t *rd_bytes(Reader &r, uint64_t n, const char *what) {
  if (!need(r, n, what)) return nullptr;
  const uint8_t *p = r.image + r.pos;
  r.pos += n;
  return p;
}

const char *rd_text(Reader &r, const char *what) {
  if (!need(r, 1, what)) return nullptr;
  const void *nul = std::memchr(r.image + r.pos, 0, r.limit - r.pos);
  if (nul == nullptr) return outOfImage(r, what), nullptr;
  const char *text = (const char *)r.image + r.pos;
  r.pos = (uint64_t)((const uint8_t *)nul - r.image) + 1;
  return text;
}

// An attribute list: texts up to an empty one, so it ends in two NUL bytes; a list without
// entries is those two bytes too (its length by zek_attributes_len). Yields the list and moves
// behind it, so the field that follows is read where the writer put it.
const char *rd_attributes(Reader &r, const char *what) {
  const char *list = (const char *)r.image + r.pos;
  for (bool first = true;; first = false) {
    const char *entry = rd_text(r, what);
    if (entry == nullptr) return nullptr;
    if (*entry != '\0') continue;
    if (first && rd_text(r, what) == nullptr) return nullptr;
    return list;
  }
}

Reader readerAt(uint64_t offset, const char *what) {
  Reader r{vmstate0.image, vmstate0.crcPosition, offset, vmstate0.swap != 0, false};
  need(r, 0, what);
  return r;
}

// Allocation of a size computed in 64 bits: sizes the allocator cannot take fail with 15.
bool allocate(void **out, uint64_t size) {
  *out = nullptr;
  if (size == 0) return true;
  if (size > 0xFFFFFFFFull) {
    zek_raiseError(ZEK_ERR_MEMORY, "Not enough heap memory for %" PRIu64 " bytes.", size);
    return false;
  }
  *out = zek_malloc((uint32_t)size);
  return *out != nullptr;
}

template <typename T> bool allocateArray(T **out, uint64_t count) {
  void *p = nullptr;
  bool ok = allocate(&p, count * sizeof(T));
  *out = (T *)p;
  return ok;
}

// Channels are grouped by role; the host groups are handed out by counting.
int roleGroup(uint32_t role) {
  if (role == ZEK_ROLE_INPUT) return 0;
  if (role <= ZEK_ROLE_PARAMETER) return 1;
  if (role <= ZEK_ROLE_INTERNAL) return 2;
  return 3;
}

bool zek_load_enumBlock(uint32_t offset) {
  VmState &vm = vmstate0;
  Reader r = readerAt(offset, "enumeration-set block");
  uint16_t count = rd_u16(r, "enumeration-set count");
  if (r.failed || !allocateArray(&vm.data.enumSets, count)) return false;
  for (uint16_t i = 0; i < count; ++i) {
    EnumSetDecl &set = vm.data.enumSets[i];
    set.baseType = rd_u8(r, "enumeration base type");
    set.count = rd_u16(r, "enumeration value count");
    if (r.failed) return false;
    vm.data.enumSetCount = i + 1;  // from here on the set's allocations are released on reset
    uint8_t size = zek_getBaseTypeSize(set.baseType);
    if (size == 0) return false;
    const uint8_t *values = rd_bytes(r, (uint64_t)set.count * size, "enumeration values");
    if (values == nullptr || !allocate((void **)&set.values, (uint64_t)set.count * size)) return false;
    if (set.count > 0) std::memcpy(set.values, values, (size_t)set.count * size);
    if (vm.swap) zek_load_swapValue(set.values, set.count, set.baseType);
    if (!allocateArray(&set.names, set.count)) return false;
    for (uint16_t k = 0; k < set.count; ++k)
      if ((set.names[k] = rd_text(r, "enumeration value name")) == nullptr) return false;
  }
  return true;
}

bool readChannel(Reader &r, ChannelDecl &c, uint64_t heapSize) {
  c.id = rd_u16(r, "channel id");
  c.heapOffset = rd_u32(r, "channel heap offset");
  c.baseType = rd_u8(r, "channel type");
  c.elementCount = rd_u32(r, "channel element count");
  uint8_t flags = rd_u8(r, "channel flags");
  c.role = rd_u8(r, "channel role");
  uint8_t mask = rd_u8(r, "channel option mask");
  c.name = rd_text(r, "channel name");
  if (r.failed) return false;
  if (!zek_isValidBaseType(c.baseType)) {
    zek_raiseError(ZEK_ERR_FORMAT, "Unknown type id: '%d' for channel id '%d'.", (int)c.baseType, (int)c.id);
    return false;
  }
  if (c.role > ZEK_ROLE_MEASUREMENT) {
    zek_raiseError(ZEK_ERR_FORMAT, "Unknown role id: '%d' for channel id '%d'.", (int)c.role, (int)c.id);
    return false;
  }
  c.elementSize = zek_baseTypeSizeOf(c.baseType);
  if (c.elementCount == 0 || (uint64_t)c.heapOffset + (uint64_t)c.elementCount * c.elementSize > heapSize) {
    zek_raiseError(ZEK_ERR_FORMAT, "Channel '%s' (id '%d') of %u elements at heap offset %u leaves the values heap of %" PRIu64 " bytes.",
                   c.name, (int)c.id, c.elementCount, c.heapOffset, heapSize);
    return false;
  }
  zek_setChannelFlags(&c, flags);
  c.option2 = c.option4 = c.option5 = -1;
  c.fixedDimCount = 1;
  c.fixedDims = TSIZE_1;
  if (mask & 0x01) {
    const uint8_t *raw = rd_bytes(r, 32, "scaling coefficients");
    if (raw == nullptr || !allocateArray(&c.scaling, 4)) return false;
    std::memcpy(c.scaling, raw, 32);
    if (r.swap) zek_load_swapValue(c.scaling, 4, ZEK_DOUBLE);
  }
  if ((mask & 0x02) && (c.externalName = rd_text(r, "external name")) == nullptr) return false;
  if (mask & 0x04) c.option2 = (int16_t)rd_u16(r, "channel option");
  if (mask & 0x08) {
    uint8_t m = rd_u8(r, "dimension count");
    const uint8_t *raw = rd_bytes(r, (uint64_t)m * 4, "dimension list");
    if (raw == nullptr) return false;
    uint32_t *dims = nullptr;
    if (!allocateArray(&dims, m)) return false;
    c.dims = dims;
    c.dimCount = m;
    uint8_t fixed = 0;
    for (uint8_t i = 0; i < m; ++i) {
      dims[i] = zek_load_as<uint32_t>(raw + 4u * i);
      if (r.swap) dims[i] = zek_swap4(dims[i]);
      if (dims[i] != ZEK_OPEN_DIMENSION) ++fixed;
    }
    if (fixed > 0) {
      uint32_t *fixedDims = nullptr;
      if (!allocateArray(&fixedDims, fixed)) return false;
      uint8_t k = 0;
      for (uint8_t i = 0; i < m; ++i)
        if (dims[i] != ZEK_OPEN_DIMENSION) fixedDims[k++] = dims[i];
      c.fixedDims = fixedDims;
      c.fixedDimCount = fixed;
    }
  }
  if (mask & 0x10) c.option4 = (int16_t)rd_u16(r, "channel option");
  if (mask & 0x20) c.option5 = (int16_t)rd_u16(r, "channel option");
  if ((mask & 0x40) && (c.attributes = rd_attributes(r, "channel attribute list")) == nullptr) return false;
  return !r.failed;
}

bool zek_load_declBlock(uint32_t offset, uint64_t heapSize) {
  VmState &vm = vmstate0;
  Reader r = readerAt(offset, "channel block");
  uint16_t count = rd_u16(r, "channel count");
  if (r.failed || !allocateArray(&vm.data.channels, count)) return false;
  uint16_t groups[4] = {0, 0, 0, 0};
  int lastGroup = 0;
  for (uint16_t i = 0; i < count; ++i) {
    ChannelDecl &c = vm.data.channels[i];
    vm.data.channelCount = i + 1;
    if (!readChannel(r, c, heapSize)) return false;
    int group = roleGroup(c.role);
    if (group < lastGroup) {
      zek_raiseError(ZEK_ERR_FORMAT, "Channel '%s' (id '%d') with role '%d' is out of role order.", c.name, (int)c.id,
                     (int)c.role);
      return false;
    }
    lastGroup = group;
    ++groups[group];
    if (std::strcmp(c.name, "@realtime") == 0) vm.realtime = 1;
  }
  vm.data.inputCount = groups[0];
  vm.data.inputs = vm.data.channels;
  vm.data.outputCount = groups[1];
  vm.data.outputs = vm.data.channels + groups[0];
  vm.data.localCount = groups[2];
  vm.data.locals = vm.data.outputs + groups[1];
  return true;
}

bool zek_load_funcDeclBlock(uint32_t offset) {
  VmState &vm = vmstate0;
  Reader r = readerAt(offset, "function block");
  uint16_t count = rd_u16(r, "function count");
  if (r.failed || !allocateArray(&vm.data.functions, count)) return false;
  for (uint16_t i = 0; i < count; ++i) {
    FunctionDecl &f = vm.data.functions[i];
    f.id = rd_u16(r, "function id");
    f.role = rd_u8(r, "function role");
    f.entryPoint = rd_u32(r, "function entry point");
    f.argCount = rd_u16(r, "function argument count");
    uint16_t first = rd_u16(r, "function first argument");
    f.name = rd_text(r, "function name");
    if (r.failed) return false;
    vm.data.functionCount = i + 1;
    if (f.role == ZEK_FUNC_SERVER) {
      f.handler = zek_serverFunctionHandler;
    } else if (f.role != ZEK_FUNC_CLIENT) {
      zek_raiseError(ZEK_ERR_FORMAT, "Unknown Client/Server role: '%d' for function '%s'.", (int)f.role, f.name);
      return false;
    }
    if ((uint32_t)first + f.argCount > vm.data.channelCount) {
      zek_raiseError(ZEK_ERR_FORMAT, "Arguments %u..%u of function '%s' leave the channel table of %u channels.",
                     (unsigned)first, (unsigned)first + f.argCount, f.name, (unsigned)vm.data.channelCount);
      return false;
    }
    if ((uint64_t)vm.codeBase + f.entryPoint >= vm.crcPosition) {
      zek_raiseError(ZEK_ERR_FORMAT, "Entry point 0x%x of function '%s' lies outside of the byte code.", f.entryPoint, f.name);
      return false;
    }
    f.firstArg = vm.data.channels != nullptr ? vm.data.channels + first : nullptr;
  }
  return true;
}

bool zek_load_eventDeclBlock(uint32_t offset) {
  VmState &vm = vmstate0;
  Reader r = readerAt(offset, "event block");
  uint16_t count = rd_u16(r, "event count");
  if (r.failed || !allocateArray(&vm.data.events, count)) return false;
  for (uint16_t i = 0; i < count; ++i) {
    EventDecl &e = vm.data.events[i];
    e.id = rd_u16(r, "event id");
    e.name = rd_text(r, "event name");
    if (r.failed) return false;
    vm.data.eventCount = i + 1;
  }
  return true;
}

bool zek_load_writtenFlagInit(uint64_t heapSize) {
  VmState &vm = vmstate0;
  uint64_t bytes = (heapSize + 7) / 8;
  vm.bitmapSize = (uint32_t)bytes;
  return allocate((void **)&vm.writtenFlags, bytes) && allocate((void **)&vm.initialFlags, bytes);
}

void zek_load_makeValues(ChannelDecl *channels, uint16_t count, uint8_t *heap) {
  for (uint16_t i = 0; i < count; ++i) {
    ChannelDecl &c = channels[i];
    c.value = heap + c.heapOffset;
    if (vmstate0.swap) zek_load_swapValue(c.value, c.elementCount, c.baseType);
  }
}

bool loadProgram(const uint8_t *image) {
  VmState &vm = vmstate0;
  if (!zek_load_checkProgramVersion(image)) return false;
  vm.swap = (image[5] != 0) != zek_isBigEndianArch();

  uint32_t length = zek_load_as<uint32_t>(image + 7);
  if (vm.swap) length = zek_swap4(length);
  if (length < kHeaderSize + 2 + 4) {
    zek_raiseError(ZEK_ERR_FORMAT, "Malformed program image. The program length %u is shorter than its header.", length);
    return false;
  }
  vm.crcPosition = length - 4;
  uint32_t stored = zek_load_as<uint32_t>(image + vm.crcPosition);
  if (vm.swap) stored = zek_swap4(stored);
  uint32_t computed = zek_computeCrc(image, vm.crcPosition);
  if (stored != computed) {
    zek_raiseError(ZEK_ERR_FORMAT, "CRC-Error. The CRC read from the file is 0x%08x the computed CRC is 0x%08x.", stored,
                   computed);
    return false;
  }
  uint32_t seed = zek_load_as<uint32_t>(image + length);
  if (vm.swap) seed = zek_swap4(seed);

  Reader h{image, vm.crcPosition, 11, vm.swap != 0, false};
  vm.cycleTime = rd_u32(h, "header");
  vm.timeout = rd_u32(h, "header");
  vm.timeoutSeconds = (double)vm.timeout * (double)vm.cycleTime / 1000000.0;
  vm.historySize = rd_u32(h, "header");
  if (vm.historySize < 2) vm.historySize = 2;
  vm.part1Size = rd_u32(h, "header");
  vm.part2Size = rd_u32(h, "header");
  vm.part3Size = rd_u32(h, "header");
  uint16_t callStack = rd_u16(h, "header");
  uint32_t valueStack = rd_u32(h, "header");
  if (valueStack < kMinValueStack) valueStack = kMinValueStack;
  vm.sutSynchronous = rd_u8(h, "header") & 1;
  h.pos = 44;
  uint32_t enumOffset = rd_u32(h, "header");
  h.pos = 52;
  uint32_t channelOffset = rd_u32(h, "header");
  h.pos = 60;
  uint32_t functionOffset = rd_u32(h, "header");
  h.pos = 68;
  uint32_t eventOffset = rd_u32(h, "header");
  h.pos = 76;
  uint32_t initialOffset = rd_u32(h, "header");
  h.pos = 84;
  vm.codeBase = rd_u32(h, "header");
  h.pos = 92;
  vm.bucketCount = rd_u16(h, "header");
  vm.programAttributes = rd_attributes(h, "program attribute list");
  if (h.failed) return false;

  uint64_t heapSize = (uint64_t)vm.part1Size + vm.part2Size + vm.part3Size;
  if (vm.codeBase >= vm.crcPosition) {
    zek_raiseError(ZEK_ERR_FORMAT, "Malformed program image. The code base 0x%x lies outside of the image.", vm.codeBase);
    return false;
  }
  Reader init{image, vm.crcPosition, initialOffset, false, false};
  if (rd_bytes(init, heapSize, "initial-value block") == nullptr) return false;
  vm.initialValues = image + initialOffset;

  if (!zek_load_enumBlock(enumOffset) || !zek_load_declBlock(channelOffset, heapSize) ||
      !zek_load_funcDeclBlock(functionOffset) || !zek_load_eventDeclBlock(eventOffset))
    return false;
  if (!zek_load_writtenFlagInit(heapSize)) return false;

  zek_random_seed(seed);
  vm.recordCycle = 1;

  if (!allocate((void **)&vm.heap, heapSize)) return false;
  if (heapSize > 0) std::memcpy(vm.heap, vm.initialValues, heapSize);
  zek_load_makeValues(vm.data.channels, vm.data.channelCount, vm.heap);

  if (!allocate((void **)&vm.previousValues, vm.part2Size)) return false;
  if (!allocate((void **)&vm.historyRing, (uint64_t)vm.part3Size * vm.historySize)) return false;

  zek_cstack_init(callStack);
  if (zek_hasError() || !zek_pstack_init(valueStack)) return false;
  zek_istack_init();
  if (zek_hasError()) return false;

  if (vm.bucketCount > 0) {
    if (!allocateArray(&vm.buckets, vm.bucketCount) || !allocateArray(&vm.bucketCleanups, vm.bucketCount) ||
        !allocateArray(&vm.bucketTags, vm.bucketCount))
      return false;
  }
  vm.historySlot = vm.historyRing;
  return true;
}
}  // namespace

uint16_t zek_swap2(uint16_t v) { return (uint16_t)((v >> 8) | (v << 8)); }
uint32_t zek_swap4(uint32_t v) { return zek_bswap32(v); }
uint64_t zek_swap8(uint64_t v) { return zek_bswap64(v); }

void zek_load_swapValue(void *values, uint32_t count, uint32_t type) {
  uint8_t *p = (uint8_t *)values;
  switch (type) {
    case ZEK_UINT16: case ZEK_INT16:
      for (uint32_t i = 0; i < count; ++i, p += 2) zek_store_as(p, zek_swap2(zek_load_as<uint16_t>(p)));
      break;
    case ZEK_UINT32: case ZEK_INT32: case ZEK_FLOAT:
      for (uint32_t i = 0; i < count; ++i, p += 4) zek_store_as(p, zek_swap4(zek_load_as<uint32_t>(p)));
      break;
    case ZEK_INT64: case ZEK_DOUBLE:
      for (uint32_t i = 0; i < count; ++i, p += 8) zek_store_as(p, zek_swap8(zek_load_as<uint64_t>(p)));
      break;
    default:
      break;
  }
}

bool zek_load_checkProgramVersion(const uint8_t *image) {
  if (std::memcmp(image, "ZEKVM", 5) != 0) {
    zek_raiseError(ZEK_ERR_MAGIC, "Wrong magic key.");
    return false;
  }
  if (image[6] != kVersion) {
    zek_raiseError(ZEK_ERR_FORMAT,
                   "Version mismatch. The bytecode version is %d, the version supported by the ZEK VM is %d.",
                   (int)image[6], (int)kVersion);
    return false;
  }
  return true;
}

namespace {
uint32_t announcedLength(const uint8_t *image) {
  uint32_t length = zek_load_as<uint32_t>(image + 7);
  return ((image[5] != 0) != zek_isBigEndianArch()) ? zek_swap4(length) : length;
}
}  // namespace

uint32_t zek_getProgramLength(const uint8_t *image) {
  return zek_load_checkProgramVersion(image) ? announcedLength(image) : 0xFFFFFFFFu;
}

bool zek_checkImageSize(const uint8_t *image, uint64_t size) {
  if (size < 11) {
    zek_raiseError(ZEK_ERR_FORMAT, "Malformed program image. The file of %" PRIu64 " bytes is shorter than its header.", size);
    return false;
  }
  // The failure value of zek_getProgramLength is also a length an image can announce: the
  // header is checked here, so every length is taken as announced.
  if (!zek_load_checkProgramVersion(image)) return false;
  uint32_t length = announcedLength(image);
  if ((uint64_t)length + 4 > size) {
    zek_raiseError(ZEK_ERR_FORMAT, "Malformed program image. The program announces %" PRIu64 " bytes, the file holds %" PRIu64 ".",
                   (uint64_t)length + 4, size);
    return false;
  }
  return true;
}

void zek_initializeVars(void) {
  VmState &vm = vmstate0;
  for (uint16_t i = 0; i < vm.data.channelCount; ++i) {
    ChannelDecl &c = vm.data.channels[i];
    zek_free(c.scaling);
    zek_free(c.dims);
    if (c.fixedDims != TSIZE_1) zek_free((void *)c.fixedDims);
  }
  for (uint16_t i = 0; i < vm.data.enumSetCount; ++i) {
    zek_free(vm.data.enumSets[i].names);
    zek_free(vm.data.enumSets[i].values);
  }
  zek_eventList_free();
  zek_free(vm.data.channels);
  zek_free(vm.data.functions);
  zek_free(vm.data.enumSets);
  zek_free(vm.data.events);
  zek_free(vm.heap);
  zek_free(vm.historyRing);
  zek_free(vm.previousValues);
  zek_free(vm.writtenFlags);
  zek_free(vm.initialFlags);
  zek_free(vm.values.base);
  zek_free(vm.sizes.base);
  zek_free(vm.types.base);
  zek_free(vm.index.base);
  zek_free(vm.calls.base);
  if (vm.buckets != nullptr) {
    for (uint16_t i = 0; i < vm.bucketCount; ++i)
      if (vm.buckets[i] != nullptr && vm.bucketCleanups != nullptr && vm.bucketCleanups[i] != nullptr)
        vm.bucketCleanups[i](i, vm.buckets[i]);
  }
  zek_free(vm.buckets);
  zek_free(vm.bucketCleanups);
  zek_free(vm.bucketTags);
  vm = VmState{};
  vm.guard1 = vm.guard2 = vm.guard3 = vm.guard4 = ZEK_GUARD;
}

void zek_unload(void) { zek_initializeVars(); }

namespace {
bool g_loadRunning = false;

// The load proper, from the reset on.
uint32_t loadImage(const uint8_t *image, const uint64_t *size) {
  zek_initializeVars();
  zek_resetError();
  zek_setErrorContextHandler(zek_vmErrorContextHandler);
  vmstate0.image = image;
  if (image == nullptr || (size != nullptr && !zek_checkImageSize(image, *size)) || !loadProgram(image) ||
      zek_hasError()) {
    if (!zek_hasError()) zek_raiseError(ZEK_ERR_FORMAT, "No program image given.");
    // A failed load leaves no half-built program behind: hosts see empty tables.
    zek_initializeVars();
    return 1;
  }
  vmstate0.loaded = 1;
  return 0;
}

// The load; size, where the host knows it, is the length of the buffer. A buffer shorter
// than its image is refused after the reset, so that it fails as every load does: the
// program before is gone and the message carries the VM's context.
uint32_t load(const uint8_t *image, const uint64_t *size, bool hostCall) {
  // The reset frees the tables, the heap and the stacks that running byte code works on: a
  // load from a callback of the running program is refused, and that program stays loaded.
  if (zek_byteCodeRunning()) {
    zek_raiseError(ZEK_ERR_FATAL,
                   "zek_load(): not allowed while byte code runs (inside a cycle or a function); load between cycles.");
    return 1;
  }
  // Nor may a load start while one runs (from its error handler), whose tables it would free
  // as they are built, or from a callback of a host's export that works on the program.
  if (zek_refusedWhileInUse("zek_load", hostCall)) return 1;
  g_loadRunning = true;
  uint32_t result = loadImage(image, size);
  g_loadRunning = false;
  return result;
}
}  // namespace

bool zek_loadRunning(void) { return g_loadRunning; }

uint32_t zek_load(const uint8_t *image) { return load(image, nullptr, false); }

uint32_t zek_loadSized(const uint8_t *image, uint64_t size) { return load(image, &size, true); }

const uint8_t *zek_loadedImage(void) { return vmstate0.loaded ? vmstate0.image : nullptr; }
