// ZEKBIN version 8: the file header, data blocks with change-masked rows, and their end bytes.
#include "zekbin_writer_v8.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "zek_common.h"
#include "zek_platform.h"
#include "zekbin_format.h"

namespace {

constexpr uint32_t kBlockChannelEntrySize = 4;  // u16 id, u8 2, u8 0
constexpr uint8_t kRowValues = 0x01;
constexpr uint8_t kRowEvents = 0x02;
constexpr uint8_t kEndPlain = 0;
constexpr uint8_t kEndWithEvents = 2;

bool isFatal(int32_t result) {
  return result == ZEKBIN8_STREAM || result == ZEKBIN8_MEMORY;
}

int32_t fail(Zekbin8Writer *w, int32_t result) {
  if (w->result == ZEKBIN8_OK || (isFatal(result) && !isFatal(w->result))) w->result = result;
  return w->result;
}

bool stopped(const Zekbin8Writer *w) { return isFatal(w->result); }

bool writeBytes(Zekbin8Writer *w, const void *bytes, size_t n) {
  if (stopped(w)) return false;
  if (n == 0) return true;
  if (w->stream == nullptr || std::fwrite(bytes, 1, n, w->stream) != n) {
    fail(w, ZEKBIN8_STREAM);
    return false;
  }
  return true;
}

template <typename T> bool writeValue(Zekbin8Writer *w, T v) { return writeBytes(w, &v, sizeof v); }

template <typename T> uint8_t *put(uint8_t *p, T v) {
  std::memcpy(p, &v, sizeof v);
  return p + sizeof v;
}

uint64_t ceilDiv8(uint64_t n) { return (n + 7) / 8; }

void freeBlock(Zekbin8Writer *w) {
  std::free(w->channels);
  std::free(w->last);
  std::free(w->current);
  std::free(w->levels);
  w->channels = nullptr;
  w->last = w->current = w->levels = nullptr;
  w->channelCount = 0;
  w->rowBytes = 0;
  w->rows = 0;
  w->blockOpen = false;
}

// One event record; at most 65535 events, the excess is dropped and reported.
bool writeEvents(Zekbin8Writer *w, const EventRecord *events, uint32_t count, uint64_t time) {
  if (count > ZEKBIN_MAX_EVENTS_PER_RECORD) {
    fail(w, ZEKBIN8_TOO_MANY_EVENTS);
    count = ZEKBIN_MAX_EVENTS_PER_RECORD;
  }
  uint8_t head[ZEKBIN_EVENT_RECORD_FIXED_SIZE];
  zekbin_encodeEventRecordHead(ZekbinEventRecordHead{time, (uint16_t)count}, head);
  if (!writeBytes(w, head, sizeof head)) return false;
  for (uint32_t i = 0; i < count; ++i, events = events->next) {
    uint16_t length = events->data != nullptr ? events->length : 0;
    uint8_t eventHead[ZEKBIN_EVENT_FIXED_SIZE];
    zekbin_encodeEventHead(events->id, length, eventHead);
    if (!writeBytes(w, eventHead, sizeof eventHead) || !writeBytes(w, events->data, length)) return false;
  }
  return true;
}

uint32_t countEvents(const EventRecord *events) {
  uint32_t n = 0;
  for (; events != nullptr && n <= ZEKBIN_MAX_EVENTS_PER_RECORD; events = events->next) ++n;
  return n;
}

// The channels' current values, one after the other.
void gatherRow(const Zekbin8Writer *w, uint8_t *row) {
  for (uint16_t i = 0; i < w->channelCount; ++i) {
    const ChannelDecl *c = w->channels[i];
    size_t n = (size_t)c->elementCount * c->elementSize;
    std::memcpy(row, c->value, n);
    row += n;
  }
}

// The change mask of current against last and the changed bytes behind it.
bool writeChanges(Zekbin8Writer *w) {
  const uint64_t n1 = ceilDiv8(w->rowBytes), n2 = ceilDiv8(n1), n3 = ceilDiv8(n2);
  uint8_t *l1 = w->levels, *l2 = l1 + n1, *l3 = l2 + n2;
  std::memset(w->levels, 0, (size_t)(n1 + n2 + n3));
  for (uint32_t b = 0; b < w->rowBytes; ++b)
    if (w->current[b] != w->last[b]) l1[b / 8] |= (uint8_t)(1u << (b % 8));
  for (uint64_t k = 0; k < n1; ++k)
    if (l1[k] != 0) l2[k / 8] |= (uint8_t)(1u << (k % 8));
  for (uint64_t j = 0; j < n2; ++j)
    if (l2[j] != 0) l3[j / 8] |= (uint8_t)(1u << (j % 8));
  if (!writeBytes(w, l3, (size_t)n3)) return false;
  for (uint64_t j = 0; j < n2; ++j)
    if (l2[j] != 0 && !writeValue<uint8_t>(w, l2[j])) return false;
  for (uint64_t k = 0; k < n1; ++k)
    if (l1[k] != 0 && !writeValue<uint8_t>(w, l1[k])) return false;
  // Runs of changed bytes go out in one write each.
  uint32_t b = 0;
  while (b < w->rowBytes) {
    if (w->current[b] == w->last[b]) {
      ++b;
      continue;
    }
    uint32_t end = b + 1;
    while (end < w->rowBytes && w->current[end] != w->last[end]) ++end;
    if (!writeBytes(w, w->current + b, end - b)) return false;
    b = end;
  }
  return true;
}

}  // namespace

int32_t zek_write_zekbin8_headerblock(Zekbin8Writer *w, FILE *stream, ChannelDecl *const *channels,
                                      uint16_t channelCount, const EnumSetDecl *enumSets, uint16_t enumSetCount,
                                      const EventDecl *events, uint16_t eventCount, uint32_t sutSynchronous) {
  zek_release_zekbin8_writer(w);
  *w = Zekbin8Writer{};
  w->stream = stream;
  w->stepPosition = -1;
  uint64_t length = ZEKBIN_MAGIC_SIZE + 3 + 2 + 2 + 2;
  for (uint16_t i = 0; i < enumSetCount; ++i) {
    int32_t n = zek_getEnumSetDeclLength(&enumSets[i]);
    if (n < 0) return fail(w, ZEKBIN8_BAD_CHANNELS);
    length += (uint64_t)n;
  }
  for (uint16_t i = 0; i < eventCount; ++i) {
    int32_t n = zekbin_getEventDeclLength(&events[i]);
    if (n < 0) return fail(w, ZEKBIN8_BAD_CHANNELS);
    length += (uint64_t)n;
  }
  for (uint16_t i = 0; i < channelCount; ++i) {
    int32_t n = zekbin_getSignalDeclLengthOf(channels[i], ZEKBIN_VERSION_HIL);
    if (n < 0) return fail(w, ZEKBIN8_BAD_CHANNELS);
    length += (uint64_t)n;
  }
  if (length > INT32_MAX) return fail(w, ZEKBIN8_BAD_CHANNELS);
  uint8_t *header = (uint8_t *)std::malloc((size_t)length);
  if (header == nullptr) return fail(w, ZEKBIN8_MEMORY);
  std::memcpy(header, ZEKBIN_MAGIC, ZEKBIN_MAGIC_SIZE);
  uint8_t *p = header + ZEKBIN_MAGIC_SIZE;
  p = put<uint8_t>(p, std::endian::native == std::endian::big ? 1 : 0);
  p = put<uint8_t>(p, ZEKBIN_VERSION_HIL);
  p = put<uint8_t>(p, (sutSynchronous & 0xFF) != 0 ? 1 : 0);
  p = put<uint16_t>(p, enumSetCount);
  for (uint16_t i = 0; i < enumSetCount; ++i) p = zekbin_encodeEnumSetDecl(&enumSets[i], p);
  p = put<uint16_t>(p, eventCount);
  for (uint16_t i = 0; i < eventCount; ++i) p = zekbin_encodeEventDecl(&events[i], p);
  p = put<uint16_t>(p, channelCount);
  for (uint16_t i = 0; i < channelCount; ++i) p = zekbin_writeSignalDeclOf(channels[i], ZEKBIN_VERSION_HIL, p);
  bool written = writeBytes(w, header, (size_t)length);
  std::free(header);
  w->headerWritten = written;
  return w->result;
}

int32_t zek_write_zekbin8_datablock_header(Zekbin8Writer *w, ChannelDecl *const *channels, uint16_t channelCount,
                                           uint64_t firstTime, uint64_t step) {
  if (stopped(w)) return w->result;
  if (!w->headerWritten) {
    zek_raiseError(ZEK_ERR_FILE, "Attempt to write zekbin block header without file header information.");
    return fail(w, ZEKBIN8_NO_HEADER);
  }
  if (w->blockOpen) zek_close_zekbin8_datablock(w, nullptr);
  if (stopped(w)) return w->result;
  uint64_t rowBytes = 0;
  for (uint16_t i = 0; i < channelCount; ++i) {
    const ChannelDecl *c = channels[i];
    if (c->value == nullptr && c->elementCount > 0) return fail(w, ZEKBIN8_BAD_CHANNELS);
    rowBytes += (uint64_t)c->elementCount * c->elementSize;
  }
  if (rowBytes > INT32_MAX) return fail(w, ZEKBIN8_BAD_CHANNELS);
  const uint64_t n1 = ceilDiv8(rowBytes), n2 = ceilDiv8(n1), n3 = ceilDiv8(n2);
  // Zero-sized requests still get a buffer, so a null pointer always means no memory.
  w->channels = (ChannelDecl **)std::malloc(sizeof(ChannelDecl *) * (channelCount > 0 ? channelCount : 1));
  w->last = (uint8_t *)std::malloc((size_t)(rowBytes > 0 ? rowBytes : 1));
  w->current = (uint8_t *)std::malloc((size_t)(rowBytes > 0 ? rowBytes : 1));
  w->levels = (uint8_t *)std::malloc((size_t)(n1 + n2 + n3 > 0 ? n1 + n2 + n3 : 1));
  if (w->channels == nullptr || w->last == nullptr || w->current == nullptr || w->levels == nullptr) {
    freeBlock(w);
    return fail(w, ZEKBIN8_MEMORY);
  }
  for (uint16_t i = 0; i < channelCount; ++i) w->channels[i] = channels[i];
  w->channelCount = channelCount;
  w->rowBytes = (uint32_t)rowBytes;
  w->firstTime = firstTime;
  w->step = step;
  w->rows = 0;
  w->blockOpen = true;
  int64_t at = w->stream != nullptr ? plat_stream_tell(w->stream) : -1;
  if (at < 0) return fail(w, ZEKBIN8_STREAM);
  w->stepPosition = at + 8;
  if (!writeValue<uint64_t>(w, firstTime) || !writeValue<uint64_t>(w, step) || !writeValue<uint16_t>(w, channelCount))
    return w->result;
  for (uint16_t i = 0; i < channelCount; ++i) {
    uint8_t entry[kBlockChannelEntrySize];
    uint8_t *p = put<uint16_t>(entry, channels[i]->id);
    p = put<uint8_t>(p, 2);
    put<uint8_t>(p, 0);
    if (!writeBytes(w, entry, sizeof entry)) return w->result;
  }
  return w->result;
}

int32_t zek_write_zekbin8_signaldatarow(Zekbin8Writer *w, const EventRecord *events) {
  if (!w->blockOpen) return stopped(w) ? w->result : fail(w, ZEKBIN8_NO_HEADER);
  if (stopped(w)) return w->result;
  uint32_t eventCount = countEvents(events);
  if (w->channelCount == 0 && eventCount == 0) return w->result;
  uint8_t kind = kRowValues | (eventCount > 0 ? kRowEvents : 0);
  if (!writeValue<uint8_t>(w, kind)) return w->result;
  if (eventCount > 0 && !writeEvents(w, events, eventCount, w->firstTime + (uint64_t)w->rows * w->step))
    return w->result;
  gatherRow(w, w->current);
  bool ok = w->rows == 0 ? writeBytes(w, w->current, w->rowBytes) : writeChanges(w);
  if (!ok) return w->result;
  uint8_t *swap = w->last;
  w->last = w->current;
  w->current = swap;
  ++w->rows;
  return w->result;
}

int32_t zek_close_zekbin8_datablock(Zekbin8Writer *w, const EventRecord *events) {
  if (!w->blockOpen) return stopped(w) ? w->result : fail(w, ZEKBIN8_NO_HEADER);
  uint32_t eventCount = countEvents(events);
  if (eventCount == 0) {
    writeValue<uint8_t>(w, kEndPlain);
  } else if (writeValue<uint8_t>(w, kEndWithEvents) &&
             writeEvents(w, events, eventCount, w->firstTime + (uint64_t)w->rows * w->step)) {
    writeValue<uint8_t>(w, 0);
  }
  freeBlock(w);
  if (!stopped(w) && std::fflush(w->stream) != 0) fail(w, ZEKBIN8_STREAM);
  return w->result;
}

int32_t zek_patch_zekbin8_u64(Zekbin8Writer *w, int64_t position, uint64_t value) {
  if (stopped(w)) return w->result;
  if (w->stream == nullptr || position < 0 || !plat_stream_seek(w->stream, position))
    return fail(w, ZEKBIN8_STREAM);
  bool ok = writeValue<uint64_t>(w, value);
  if (std::fseek(w->stream, 0, SEEK_END) != 0 || (ok && std::fflush(w->stream) != 0)) fail(w, ZEKBIN8_STREAM);
  return w->result;
}

void zek_release_zekbin8_writer(Zekbin8Writer *w) {
  freeBlock(w);
  w->headerWritten = false;
  w->stream = nullptr;
}
