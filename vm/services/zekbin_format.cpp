// ZEKBIN version 9: lengths, encoders and bounded decoders of the records of a record file.
#include "zekbin_format.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "zek_common.h"

namespace {

template <typename T> uint8_t *put(uint8_t *p, T v) {
  std::memcpy(p, &v, sizeof v);
  return p + sizeof v;
}

uint8_t *putBytes(uint8_t *p, const void *bytes, size_t n) {
  if (n > 0) std::memcpy(p, bytes, n);
  return p + n;
}

uint8_t *putText(uint8_t *p, const char *text) {
  if (text == nullptr) text = "";
  return putBytes(p, text, std::strlen(text) + 1);
}

uint64_t textSize(const char *text) { return text == nullptr ? 1 : std::strlen(text) + 1; }

template <typename T> bool get(ZekbinCursor *c, T *v) {
  const uint8_t *bytes = nullptr;
  if (!zekbin_getBytes(c, sizeof(T), &bytes)) {
    *v = T{};
    return false;
  }
  std::memcpy(v, bytes, sizeof(T));
  return true;
}

bool hasDimensions(const ChannelDecl *channel) { return channel->dimCount > 0 && channel->dims != nullptr; }

// Version 8 keeps the channel id and options 4 and 5 in 2 bytes where version 9 takes 4.
uint32_t idWidth(uint8_t version) { return version == ZEKBIN_VERSION_HIL ? 2 : 4; }
uint32_t optionWidth(uint8_t version) { return version == ZEKBIN_VERSION_HIL ? 2 : 4; }

uint64_t signalDeclLength(const ChannelDecl *channel, uint8_t version) {
  uint8_t mask = zekbin_signalDeclMask(channel);
  uint64_t n = ZEKBIN_SIGNAL_DECL_FIXED_SIZE - 4 + idWidth(version) + textSize(channel->name);
  if (mask & ZEKBIN_PART_SCALING) n += ZEKBIN_SCALING_SIZE;
  if (mask & ZEKBIN_PART_EXTERNAL_NAME) n += textSize(channel->externalName);
  if (mask & ZEKBIN_PART_OPTION2) n += 2;
  if (mask & ZEKBIN_PART_DIMENSIONS) n += 1 + 4ull * channel->dimCount;
  if (mask & ZEKBIN_PART_OPTION4) n += optionWidth(version);
  if (mask & ZEKBIN_PART_OPTION5) n += optionWidth(version);
  if (mask & ZEKBIN_PART_ATTRIBUTES) n += zekbin_attributeListLength(channel->attributes);
  return n;
}

}  // namespace

uint32_t zekbin_attributeListLength(const char *list) {
  if (list == nullptr || list[0] == '\0') return 0;
  size_t n = 0;
  while (list[n] != '\0') n += std::strlen(list + n) + 1;
  return (uint32_t)(n + 1);
}

int32_t zek_getEnumSetDeclLength(const EnumSetDecl *set) {
  uint8_t size = zek_baseTypeSizeOf(set->baseType);
  if (size == 0) return -1;
  uint64_t n = 3 + (uint64_t)set->count * size;
  for (uint16_t k = 0; k < set->count; ++k) n += textSize(set->names != nullptr ? set->names[k] : nullptr);
  return n <= INT32_MAX ? (int32_t)n : -1;
}

int32_t zekbin_getEventDeclLength(const EventDecl *event) {
  uint64_t n = 2 + textSize(event->name);
  return n <= INT32_MAX ? (int32_t)n : -1;
}

int32_t zek_getSignalDeclLength(const ChannelDecl *channel) {
  return zekbin_getSignalDeclLengthOf(channel, ZEKBIN_VERSION);
}

int32_t zekbin_getSignalDeclLengthOf(const ChannelDecl *channel, uint8_t version) {
  uint64_t n = signalDeclLength(channel, version);
  return n <= INT32_MAX ? (int32_t)n : -1;
}

uint8_t zekbin_signalDeclMask(const ChannelDecl *channel) {
  uint8_t mask = 0;
  if (channel->scaling != nullptr) mask |= ZEKBIN_PART_SCALING;
  if (channel->externalName != nullptr) mask |= ZEKBIN_PART_EXTERNAL_NAME;
  if (channel->option2 != -1) mask |= ZEKBIN_PART_OPTION2;
  if (hasDimensions(channel)) mask |= ZEKBIN_PART_DIMENSIONS;
  if (channel->option4 != -1) mask |= ZEKBIN_PART_OPTION4;
  if (channel->option5 != -1) mask |= ZEKBIN_PART_OPTION5;
  if (zekbin_attributeListLength(channel->attributes) > 0) mask |= ZEKBIN_PART_ATTRIBUTES;
  return mask;
}

uint8_t zekbin_channelFlagsByte(const ChannelDecl *channel) {
  return (uint8_t)((channel->flagBit0 != 0) | (channel->recorded != 0) << 1 | (channel->flagBit2 != 0) << 2 |
                   (channel->isText != 0) << 3 | (channel->flagBit4 != 0) << 4 | (channel->needsNoPort != 0) << 5);
}

void zekbin_setChannelFlags(ChannelDecl *channel, uint8_t flags) { zek_setChannelFlags(channel, flags); }

char *zekbin_copyText(const char *text, uint32_t length) {
  char *copy = (char *)std::malloc((size_t)length + 1);
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

void *zekbin_copyBytes(const void *bytes, size_t n) {
  void *copy = std::malloc(n > 0 ? n : 1);
  if (copy != nullptr && n > 0) std::memcpy(copy, bytes, n);
  return copy;
}

uint8_t *zekbin_encodeHeaderFixed(uint8_t *dest, uint8_t sutSynchronous) {
  uint8_t *p = putBytes(dest, ZEKBIN_MAGIC, ZEKBIN_MAGIC_SIZE);
  p = put<uint8_t>(p, std::endian::native == std::endian::big ? 1 : 0);
  p = put<uint8_t>(p, ZEKBIN_VERSION);
  p = put<uint8_t>(p, sutSynchronous != 0 ? 1 : 0);
  p = put<uint32_t>(p, ZEKBIN_FIRST_CHUNK_SIZE);
  p = put<uint32_t>(p, ZEKBIN_LATER_CHUNK_SIZE);
  std::memset(p, 0, ZEKBIN_PATCH_SIZE);
  return p + ZEKBIN_PATCH_SIZE;
}

uint8_t *zekbin_encodeHeaderPatch(uint8_t *dest, int64_t indexPosition, int64_t blockTablePosition,
                                  int32_t blockTableCount, int64_t eventListPosition) {
  uint8_t *p = put<int64_t>(dest, indexPosition);
  p = put<int64_t>(p, blockTablePosition);
  p = put<int32_t>(p, blockTableCount);
  return put<int64_t>(p, eventListPosition);
}

uint8_t *zekbin_encodeEnumSetDecl(const EnumSetDecl *set, uint8_t *dest) {
  uint8_t size = zek_baseTypeSizeOf(set->baseType);
  uint8_t *p = put<uint8_t>(dest, (uint8_t)set->baseType);
  p = put<uint16_t>(p, set->count);
  p = putBytes(p, set->values, (size_t)set->count * size);
  for (uint16_t k = 0; k < set->count; ++k) p = putText(p, set->names != nullptr ? set->names[k] : nullptr);
  return p;
}

uint8_t *zekbin_encodeEventDecl(const EventDecl *event, uint8_t *dest) {
  return putText(put<uint16_t>(dest, event->id), event->name);
}

uint8_t *zek_zekbin_writeSignalDeclBlock(const ChannelDecl *channel, uint8_t *dest) {
  return zekbin_writeSignalDeclOf(channel, ZEKBIN_VERSION, dest);
}

uint8_t *zekbin_writeSignalDeclOf(const ChannelDecl *channel, uint8_t version, uint8_t *dest) {
  const bool hil = version == ZEKBIN_VERSION_HIL;
  uint8_t mask = zekbin_signalDeclMask(channel);
  uint8_t *p = hil ? put<uint16_t>(dest, channel->id) : put<uint32_t>(dest, channel->id);
  p = put<uint32_t>(p, channel->heapOffset);
  p = put<uint8_t>(p, (uint8_t)channel->baseType);
  p = put<uint32_t>(p, channel->elementCount);
  p = put<uint8_t>(p, zekbin_channelFlagsByte(channel));
  p = put<uint8_t>(p, (uint8_t)channel->role);
  p = put<uint8_t>(p, mask);
  p = putText(p, channel->name);
  if (mask & ZEKBIN_PART_SCALING) p = putBytes(p, channel->scaling, ZEKBIN_SCALING_SIZE);
  if (mask & ZEKBIN_PART_EXTERNAL_NAME) p = putText(p, channel->externalName);
  if (mask & ZEKBIN_PART_OPTION2) p = put<int16_t>(p, channel->option2);
  if (mask & ZEKBIN_PART_DIMENSIONS) {
    p = put<uint8_t>(p, channel->dimCount);
    p = putBytes(p, channel->dims, 4u * channel->dimCount);
  }
  if (mask & ZEKBIN_PART_OPTION4)
    p = hil ? put<uint16_t>(p, (uint16_t)channel->option4) : put<uint32_t>(p, (uint16_t)channel->option4);
  if (mask & ZEKBIN_PART_OPTION5)
    p = hil ? put<uint16_t>(p, (uint16_t)channel->option5) : put<uint32_t>(p, (uint16_t)channel->option5);
  if (mask & ZEKBIN_PART_ATTRIBUTES) p = putBytes(p, channel->attributes, zekbin_attributeListLength(channel->attributes));
  return p;
}

uint8_t *zekbin_encodeRepetition(ZekbinRepetition entry, uint8_t *dest) {
  return put<int32_t>(put<int32_t>(dest, entry.row), entry.sample);
}

uint8_t *zekbin_encodeElementIndex(const ZekbinElementIndex *index, uint8_t *dest) {
  uint8_t *p = put<int64_t>(dest, index->repetitionPosition);
  p = put<int32_t>(p, index->repetitionCount);
  p = put<int64_t>(p, index->blockListPosition);
  p = put<int32_t>(p, index->blockCount);
  return put<int64_t>(p, index->chunkTablePosition);
}

uint8_t *zekbin_encodeBlockRecord(const ZekbinBlockRecord *block, uint8_t *dest) {
  uint8_t *p = put<uint8_t>(dest, block->kind);
  if (block->kind == ZEKBIN_BLOCK_CYCLE_INDEXED) {
    p = put<int64_t>(p, block->firstTime);
    p = put<int32_t>(p, block->rowCount);
    p = put<int64_t>(p, block->step);
  } else {
    p = put<int32_t>(p, block->blockNumber);
  }
  p = put<int32_t>(p, block->firstRow);
  p = put<uint8_t>(p, 2);
  p = put<uint8_t>(p, 0);
  return put<uint8_t>(p, 0);  // the empty name
}

uint8_t *zekbin_encodeBlockTableEntry(ZekbinBlockTableEntry entry, uint8_t *dest) {
  return put<int32_t>(put<int64_t>(dest, entry.timeChunkListPosition), entry.rowCount);
}

uint8_t *zekbin_encodeEventRecordHead(ZekbinEventRecordHead head, uint8_t *dest) {
  return put<uint16_t>(put<uint64_t>(dest, head.time), head.count);
}

uint8_t *zekbin_encodeEventHead(uint16_t id, uint16_t length, uint8_t *dest) {
  return put<uint16_t>(put<uint16_t>(dest, id), length);
}

ZekbinCursor zekbin_cursor(const uint8_t *data, uint64_t size, uint64_t pos) {
  return ZekbinCursor{data, size, pos, pos > size};
}

bool zekbin_getBytes(ZekbinCursor *c, uint64_t n, const uint8_t **bytes) {
  *bytes = nullptr;
  if (c->failed || c->pos > c->size || n > c->size - c->pos) {
    c->failed = true;
    return false;
  }
  *bytes = c->data + c->pos;
  c->pos += n;
  return true;
}

bool zekbin_skip(ZekbinCursor *c, uint64_t n) {
  const uint8_t *bytes;
  return zekbin_getBytes(c, n, &bytes);
}

bool zekbin_getU8(ZekbinCursor *c, uint8_t *v) { return get(c, v); }
bool zekbin_getU16(ZekbinCursor *c, uint16_t *v) { return get(c, v); }
bool zekbin_getU32(ZekbinCursor *c, uint32_t *v) { return get(c, v); }
bool zekbin_getI32(ZekbinCursor *c, int32_t *v) { return get(c, v); }
bool zekbin_getI64(ZekbinCursor *c, int64_t *v) { return get(c, v); }
bool zekbin_getU64(ZekbinCursor *c, uint64_t *v) { return get(c, v); }

int32_t zekbin_getText(ZekbinCursor *c, uint32_t limit, const char **text, uint32_t *length) {
  *text = nullptr;
  *length = 0;
  if (c->failed || c->pos >= c->size) {
    c->failed = true;
    return ZEKBIN_DECODE_TRUNCATED;
  }
  const uint8_t *start = c->data + c->pos;
  const void *nul = std::memchr(start, 0, (size_t)(c->size - c->pos));
  if (nul == nullptr) {
    c->failed = true;
    return ZEKBIN_DECODE_TRUNCATED;
  }
  uint64_t n = (uint64_t)((const uint8_t *)nul - start);
  if ((limit != 0 && n > limit) || n > UINT32_MAX) {
    c->failed = true;
    return ZEKBIN_DECODE_TOO_LONG;
  }
  *text = (const char *)start;
  *length = (uint32_t)n;
  c->pos += n + 1;
  return ZEKBIN_DECODE_OK;
}

int32_t zekbin_magicKind(const uint8_t *bytes) {
  if (std::memcmp(bytes, ZEKBIN_MAGIC, ZEKBIN_MAGIC_SIZE) == 0) return 1;
  if (std::memcmp(bytes, ZEKBIN_MAGIC_PAIR_SWAPPED, ZEKBIN_MAGIC_SIZE) == 0) return 2;
  return 0;
}

int32_t zekbin_decodeHeaderFixed(ZekbinCursor *c, ZekbinHeader *out) {
  *out = ZekbinHeader{};
  const uint8_t *magic = nullptr;
  if (zekbin_getBytes(c, ZEKBIN_MAGIC_SIZE, &magic)) std::memcpy(out->magic, magic, ZEKBIN_MAGIC_SIZE);
  get(c, &out->byteOrder);
  get(c, &out->version);
  get(c, &out->sutSynchronous);
  get(c, &out->firstChunkSize);
  get(c, &out->laterChunkSize);
  get(c, &out->indexPosition);
  get(c, &out->blockTablePosition);
  get(c, &out->blockTableCount);
  get(c, &out->eventListPosition);
  return c->failed ? ZEKBIN_DECODE_TRUNCATED : ZEKBIN_DECODE_OK;
}

int32_t zekbin_decodeEnumSet(ZekbinCursor *c, ZekbinEnumSet *out) {
  *out = ZekbinEnumSet{};
  if (!get(c, &out->baseType) || !get(c, &out->count)) return ZEKBIN_DECODE_TRUNCATED;
  uint8_t size = zek_baseTypeSizeOf(out->baseType);
  if (size == 0) return ZEKBIN_DECODE_BAD_TYPE;
  if (!zekbin_getBytes(c, (uint64_t)out->count * size, &out->values)) return ZEKBIN_DECODE_TRUNCATED;
  uint64_t start = c->pos;
  for (uint16_t k = 0; k < out->count; ++k) {
    const char *name;
    uint32_t length;
    int32_t r = zekbin_getText(c, 0, &name, &length);
    if (r != ZEKBIN_DECODE_OK) return r;
  }
  out->names = (const char *)c->data + start;
  out->namesLength = (uint32_t)(c->pos - start);
  return ZEKBIN_DECODE_OK;
}

int32_t zekbin_decodeEventDecl(ZekbinCursor *c, ZekbinEventDecl *out) {
  *out = ZekbinEventDecl{};
  if (!get(c, &out->id)) return ZEKBIN_DECODE_TRUNCATED;
  uint32_t length;
  return zekbin_getText(c, 0, &out->name, &length);
}

namespace {

int32_t decodeAttributes(ZekbinCursor *c, const ZekbinDeclLimits *limits, ZekbinSignalDecl *out) {
  uint64_t start = c->pos;
  for (uint32_t entries = 0;; ++entries) {
    const char *entry;
    uint32_t length;
    int32_t r = zekbin_getText(c, limits->attributeEntry, &entry, &length);
    if (r != ZEKBIN_DECODE_OK) return r;
    if (limits->attributeList != 0 && c->pos - start > limits->attributeList) {
      c->failed = true;
      return ZEKBIN_DECODE_TOO_LONG;
    }
    if (length == 0) {
      if (entries == 0) {
        c->failed = true;
        return ZEKBIN_DECODE_EMPTY_ATTRIBUTES;
      }
      break;
    }
  }
  out->attributes = (const char *)c->data + start;
  out->attributesLength = (uint32_t)(c->pos - start);
  return ZEKBIN_DECODE_OK;
}

}  // namespace

int32_t zekbin_decodeSignalDecl(ZekbinCursor *c, const ZekbinDeclLimits *limits, ZekbinSignalDecl *out) {
  static constexpr ZekbinDeclLimits kNoLimits = {0, 0, 0, 0};
  if (limits == nullptr) limits = &kNoLimits;
  *out = ZekbinSignalDecl{};
  out->option2 = -1;
  out->option4 = out->option5 = 0xFFFF;
  get(c, &out->id);
  get(c, &out->heapOffset);
  get(c, &out->baseType);
  get(c, &out->elementCount);
  get(c, &out->flags);
  get(c, &out->role);
  get(c, &out->mask);
  if (c->failed) return ZEKBIN_DECODE_TRUNCATED;
  int32_t r = zekbin_getText(c, limits->name, &out->name, &out->nameLength);
  if (r != ZEKBIN_DECODE_OK) return r;
  if ((out->mask & ZEKBIN_PART_SCALING) && !zekbin_getBytes(c, ZEKBIN_SCALING_SIZE, &out->scaling))
    return ZEKBIN_DECODE_TRUNCATED;
  if (out->mask & ZEKBIN_PART_EXTERNAL_NAME) {
    r = zekbin_getText(c, limits->externalName, &out->externalName, &out->externalNameLength);
    if (r != ZEKBIN_DECODE_OK) return r;
  }
  if ((out->mask & ZEKBIN_PART_OPTION2) && !get(c, &out->option2)) return ZEKBIN_DECODE_TRUNCATED;
  if (out->mask & ZEKBIN_PART_DIMENSIONS) {
    if (!get(c, &out->dimCount) || !zekbin_getBytes(c, 4ull * out->dimCount, &out->dims))
      return ZEKBIN_DECODE_TRUNCATED;
  }
  uint32_t wide;
  if (out->mask & ZEKBIN_PART_OPTION4) {
    if (!get(c, &wide)) return ZEKBIN_DECODE_TRUNCATED;
    out->option4 = (uint16_t)wide;
  }
  if (out->mask & ZEKBIN_PART_OPTION5) {
    if (!get(c, &wide)) return ZEKBIN_DECODE_TRUNCATED;
    out->option5 = (uint16_t)wide;
  }
  if (out->mask & ZEKBIN_PART_ATTRIBUTES) return decodeAttributes(c, limits, out);
  return ZEKBIN_DECODE_OK;
}

int32_t zekbin_decodeElementIndex(ZekbinCursor *c, ZekbinElementIndex *out) {
  *out = ZekbinElementIndex{};
  get(c, &out->repetitionPosition);
  get(c, &out->repetitionCount);
  get(c, &out->blockListPosition);
  get(c, &out->blockCount);
  get(c, &out->chunkTablePosition);
  return c->failed ? ZEKBIN_DECODE_TRUNCATED : ZEKBIN_DECODE_OK;
}

int32_t zekbin_decodeBlockRecord(ZekbinCursor *c, ZekbinBlockRecord *out) {
  *out = ZekbinBlockRecord{};
  if (!get(c, &out->kind)) return ZEKBIN_DECODE_TRUNCATED;
  if (out->kind == ZEKBIN_BLOCK_CYCLE_INDEXED) {
    get(c, &out->firstTime);
    get(c, &out->rowCount);
    get(c, &out->step);
  } else if (out->kind == ZEKBIN_BLOCK_TIME_STAMPED) {
    get(c, &out->blockNumber);
  }
  get(c, &out->firstRow);
  zekbin_skip(c, 2);
  if (c->failed) return ZEKBIN_DECODE_TRUNCATED;
  uint32_t length;
  return zekbin_getText(c, 0, &out->name, &length);
}

int32_t zekbin_decodeBlockTableEntry(ZekbinCursor *c, ZekbinBlockTableEntry *out) {
  *out = ZekbinBlockTableEntry{};
  get(c, &out->timeChunkListPosition);
  get(c, &out->rowCount);
  return c->failed ? ZEKBIN_DECODE_TRUNCATED : ZEKBIN_DECODE_OK;
}

int32_t zekbin_decodeEventRecordHead(ZekbinCursor *c, ZekbinEventRecordHead *out) {
  *out = ZekbinEventRecordHead{};
  get(c, &out->time);
  get(c, &out->count);
  return c->failed ? ZEKBIN_DECODE_TRUNCATED : ZEKBIN_DECODE_OK;
}

ZekbinRepetition zekbin_repetitionAt(const uint8_t *list, uint32_t index) {
  const uint8_t *p = list + (size_t)index * ZEKBIN_REPETITION_SIZE;
  return ZekbinRepetition{zek_load_as<int32_t>(p), zek_load_as<int32_t>(p + 4)};
}

void zekbin_streamByteLocation(uint64_t b, uint32_t firstChunkSize, uint32_t laterChunkSize, uint64_t *chunk,
                               uint64_t *offset) {
  if (b < firstChunkSize) {
    *chunk = 0;
    *offset = b;
  } else if (laterChunkSize == 0) {
    *chunk = UINT64_MAX;  // no such chunk
    *offset = 0;
  } else {
    *chunk = 1 + (b - firstChunkSize) / laterChunkSize;
    *offset = (b - firstChunkSize) % laterChunkSize;
  }
}

int64_t zekbin_sampleIndexFrom(const uint8_t *repetitions, uint32_t count, uint32_t from, int32_t row,
                               int64_t *entry) {
  // lo: the first entry from `from` on whose row is not below the row asked for.
  uint32_t lo = from < count ? from : count, hi = count;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (zekbin_repetitionAt(repetitions, mid).row < row) lo = mid + 1;
    else hi = mid;
  }
  if (lo < count) {
    ZekbinRepetition at = zekbin_repetitionAt(repetitions, lo);
    if (at.row == row) {
      *entry = lo;
      return at.sample;
    }
  }
  // Between two entries: fresh samples first, then repeats of the last one.
  *entry = (int64_t)lo - 1;
  ZekbinRepetition p = lo > 0 ? zekbin_repetitionAt(repetitions, lo - 1) : ZekbinRepetition{0, 0};
  int64_t q = lo < count ? zekbin_repetitionAt(repetitions, lo).sample : INT32_MAX;
  int64_t fresh = q - p.sample - 1;
  int64_t repeatedRows = (int64_t)row - p.row;
  return p.sample + (repeatedRows < fresh ? repeatedRows : fresh);
}

int64_t zekbin_sampleIndexOfRow(const uint8_t *repetitions, uint32_t count, int32_t row) {
  if (count == 0) return row;
  int64_t entry;
  return zekbin_sampleIndexFrom(repetitions, count, 0, row, &entry);
}
