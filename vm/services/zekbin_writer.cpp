// The record writer. Every element of every recorded channel has its own change-compressed
// sample stream: sample 0 is its value in row 0; a later row adds a sample only when the value
// changed. A run of unchanged rows before a change (or before the finish) is stored as copies of
// the last value when it is shorter than the repetition threshold 8 / size + 1 (the copies then
// cost no more than one 8-byte repetition entry), and as one repetition entry otherwise.
//
// A stream is cut into chunks of 128 bytes (the first) and 65536 bytes (all later ones); a
// chunk is written the moment it fills, and an element's last, partial chunk at the finish. The
// first chunks of all elements share one block; a later-chunk buffer grows to 65536 bytes only
// as far as the element's samples need it and is reused for every later chunk.
//
// Hot path: a channel of more than 5 elements is compared with its last values as one block,
// so an unchanged array costs one comparison per row; its elements learn about the unchanged
// rows only when the channel changes (or at the finish).
#include "zekbin_writer.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "zek_common.h"
#include "zek_platform.h"

namespace {

constexpr uint32_t kWholeChannelMinElements = 6;
constexpr uint32_t kLaterChunkStartCapacity = 512;
constexpr uint32_t kIndexRecordsPerWrite = 1024;
inline constexpr char kRealtimeName[] = "@realtime";

// The writer's allocations, each one a call the allocation fault of the tests can fail.
void *writerMalloc(size_t size) { return plat_fault_fires(PLAT_FAULT_ALLOCATION) ? nullptr : std::malloc(size); }
void *writerCalloc(size_t count, size_t size) {
  return plat_fault_fires(PLAT_FAULT_ALLOCATION) ? nullptr : std::calloc(count, size);
}
void *writerRealloc(void *p, size_t size) {
  return plat_fault_fires(PLAT_FAULT_ALLOCATION) ? nullptr : std::realloc(p, size);
}

template <typename T> struct ZekbinList {
  T *items;
  uint32_t count;
  uint32_t capacity;
};

template <typename T> bool listPush(ZekbinList<T> *list, T value) {
  if (list->count == list->capacity) {
    uint64_t capacity = list->capacity == 0 ? 8 : (uint64_t)list->capacity * 2;
    if (capacity > UINT32_MAX || capacity * sizeof(T) > SIZE_MAX) return false;
    T *grown = (T *)writerRealloc(list->items, (size_t)capacity * sizeof(T));
    if (grown == nullptr) return false;
    list->items = grown;
    list->capacity = (uint32_t)capacity;
  }
  list->items[list->count++] = value;
  return true;
}

template <typename T> void listFree(ZekbinList<T> *list) {
  std::free(list->items);
  *list = ZekbinList<T>{};
}

}  // namespace

// One element's sample stream. The hot fields come first.
struct ZekbinElementStream {
  uint8_t *chunk;          // the buffer being filled
  uint32_t chunkFill;      // bytes in it
  uint32_t chunkCapacity;  // bytes it holds; there is always room for one more sample
  int32_t unchanged;       // rows since the last written sample that showed it again
  int32_t sampleCount;
  uint32_t chunkSize;  // bytes of the chunk being filled: 128, then 65536
  uint8_t size;
  uint8_t threshold;
  uint8_t *laterChunk;  // owned buffer of the chunks after the first
  ZekbinList<ZekbinRepetition> repetitions;
  ZekbinList<int64_t> chunkPositions;
  int64_t repetitionPosition;  // noted by the finish
  int64_t chunkTablePosition;
};

static_assert(sizeof(ZekbinRepetition) == ZEKBIN_REPETITION_SIZE, "repetition entries are written as they lie");

namespace {

struct ZekbinRecordedChannel {
  const ChannelDecl *channel;
  ZekbinElementStream *elements;  // elementCount streams
  uint8_t *last;                  // the values last written, elementCount * size bytes
  uint32_t bytes;
  uint32_t count;
  uint32_t wholeUnchanged;  // rows the whole channel stayed unchanged (channels of 6+ elements)
  uint8_t size;
};

}  // namespace

struct ZekbinBlock {
  uint64_t firstTime;
  uint32_t firstRow;
  uint32_t rowCount;  // set by the finish
  // Time stamps of a time-stamped writer, chunked like a sample stream.
  uint8_t *stamps;
  uint32_t stampFill;
  uint32_t stampSize;  // 128, then 65536
  ZekbinList<int64_t> stampChunkPositions;
  int64_t recordPosition;
};

struct ZekbinWriter {
  uint32_t signalCount;
  ZekbinRecordedChannel *channels;
  const ChannelDecl *timeChannel;
  uint32_t elementCount;
  ZekbinElementStream *elements;
  uint8_t *firstChunks;  // elementCount * 128 bytes
  uint8_t *lastValues;
  ZekbinList<int64_t> eventPositions;
  uint8_t cycleIndexed;
  int32_t currentRow;  // -1 after creation
  bool hasBlock;
  ZekbinBlock block;  // this writer produces at most one block
  int64_t position;   // bytes handed to the stream so far = the current end of the file
  int32_t result;
  bool stopped;  // a stream or memory failure: nothing more is written
};

namespace {

bool isFatal(int32_t result) { return result == ZEKBIN_WRITE_STREAM || result == ZEKBIN_WRITE_MEMORY; }

void fail(ZekbinWriter *w, int32_t result) {
  if (w->result == ZEKBIN_WRITE_OK || (isFatal(result) && !isFatal(w->result))) w->result = result;
  if (isFatal(result)) w->stopped = true;
}

bool writeBytes(ZekbinWriter *w, FILE *stream, const void *bytes, size_t n) {
  if (w->stopped) return false;
  if (n == 0) return true;
  if (!plat_stream_write(stream, bytes, n)) {
    fail(w, ZEKBIN_WRITE_STREAM);
    return false;
  }
  w->position += (int64_t)n;
  return true;
}

template <typename T> bool writeValue(ZekbinWriter *w, FILE *stream, T v) { return writeBytes(w, stream, &v, sizeof v); }

bool notePosition(ZekbinWriter *w, ZekbinList<int64_t> *list) {
  if (listPush(list, w->position)) return true;
  fail(w, ZEKBIN_WRITE_MEMORY);
  return false;
}

// A chunk buffer is full: grow it when the chunk is not yet complete, else write the chunk and
// continue with the later-chunk buffer.
bool zekbin_startNewChunk(ZekbinWriter *w, FILE *stream, ZekbinElementStream *e) {
  if (e->chunkCapacity < e->chunkSize) {
    uint32_t capacity = e->chunkCapacity * 2 < e->chunkSize ? e->chunkCapacity * 2 : e->chunkSize;
    uint8_t *grown = (uint8_t *)writerRealloc(e->laterChunk, capacity);
    if (grown == nullptr) return fail(w, ZEKBIN_WRITE_MEMORY), false;
    e->laterChunk = e->chunk = grown;
    e->chunkCapacity = capacity;
    return true;
  }
  if (!notePosition(w, &e->chunkPositions) || !writeBytes(w, stream, e->chunk, e->chunkFill)) return false;
  if (e->laterChunk == nullptr) {
    e->laterChunk = (uint8_t *)writerMalloc(kLaterChunkStartCapacity);
    if (e->laterChunk == nullptr) return fail(w, ZEKBIN_WRITE_MEMORY), false;
    e->chunkCapacity = kLaterChunkStartCapacity;
  }
  e->chunk = e->laterChunk;
  e->chunkFill = 0;
  e->chunkSize = ZEKBIN_LATER_CHUNK_SIZE;
  return true;
}

template <uint32_t N> inline bool appendSample(ZekbinWriter *w, FILE *stream, ZekbinElementStream *e, const uint8_t *v) {
  std::memcpy(e->chunk + e->chunkFill, v, N);
  e->chunkFill += N;
  ++e->sampleCount;
  if (e->chunkFill == e->chunkCapacity) [[unlikely]]
    return zekbin_startNewChunk(w, stream, e);
  return true;
}

bool zekbin_createRepl(ZekbinWriter *w, ZekbinElementStream *e, int32_t row) {
  if (listPush(&e->repetitions, ZekbinRepetition{row, e->sampleCount})) return true;
  fail(w, ZEKBIN_WRITE_MEMORY);
  return false;
}

// The run of unchanged rows behind the last written sample ends at row: one repetition entry
// when it reached the threshold, copies of the last value when it is shorter.
template <uint32_t N> bool endRun(ZekbinWriter *w, FILE *stream, ZekbinElementStream *e, const uint8_t *last, int32_t row) {
  int32_t c = e->unchanged;
  e->unchanged = 0;
  if (c >= e->threshold) return zekbin_createRepl(w, e, row);
  for (; c > 0; --c)
    if (!appendSample<N>(w, stream, e, last)) return false;
  return true;
}

template <uint32_t N>
bool recordElements(ZekbinWriter *w, FILE *stream, ZekbinRecordedChannel *ch, const uint8_t *current, int32_t row) {
  uint8_t *last = ch->last;
  ZekbinElementStream *e = ch->elements;
  for (uint32_t k = 0; k < ch->count; ++k, ++e, current += N, last += N) {
    if (std::memcmp(current, last, N) == 0) {
      ++e->unchanged;
      continue;
    }
    if (e->unchanged > 0 && !endRun<N>(w, stream, e, last, row)) return false;
    if (!appendSample<N>(w, stream, e, current)) return false;
    std::memcpy(last, current, N);
  }
  return true;
}

template <uint32_t N> bool recordFirstRow(ZekbinWriter *w, FILE *stream, ZekbinRecordedChannel *ch, const uint8_t *current) {
  if (ch->bytes > 0) std::memcpy(ch->last, current, ch->bytes);
  for (uint32_t k = 0; k < ch->count; ++k)
    if (!appendSample<N>(w, stream, &ch->elements[k], current + (size_t)k * N)) return false;
  return true;
}

template <uint32_t N> bool recordChannel(ZekbinWriter *w, FILE *stream, ZekbinRecordedChannel *ch, int32_t row) {
  const uint8_t *current = ch->channel->value;
  if (row == 0) return recordFirstRow<N>(w, stream, ch, current);
  if (ch->count >= kWholeChannelMinElements) {
    if (std::memcmp(current, ch->last, ch->bytes) == 0) {
      ++ch->wholeUnchanged;
      return true;
    }
    if (ch->wholeUnchanged > 0) {
      for (uint32_t k = 0; k < ch->count; ++k) ch->elements[k].unchanged += (int32_t)ch->wholeUnchanged;
      ch->wholeUnchanged = 0;
    }
  }
  return recordElements<N>(w, stream, ch, current, row);
}


// The pending run of every element at the finish, then its last chunk and its two lists.
template <uint32_t N> bool finishChannel(ZekbinWriter *w, FILE *stream, ZekbinRecordedChannel *ch, int32_t rows) {
  for (uint32_t k = 0; k < ch->count; ++k) {
    ZekbinElementStream *e = &ch->elements[k];
    e->unchanged += (int32_t)ch->wholeUnchanged;
    if (e->unchanged > 0 && !endRun<N>(w, stream, e, ch->last + (size_t)k * N, rows)) return false;
    if (e->chunkFill > 0 && (!notePosition(w, &e->chunkPositions) || !writeBytes(w, stream, e->chunk, e->chunkFill)))
      return false;
    e->repetitionPosition = w->position;
    if (!writeBytes(w, stream, e->repetitions.items, (size_t)e->repetitions.count * ZEKBIN_REPETITION_SIZE))
      return false;
    e->chunkTablePosition = w->position;
    if (!writeBytes(w, stream, e->chunkPositions.items, (size_t)e->chunkPositions.count * sizeof(int64_t)))
      return false;
  }
  ch->wholeUnchanged = 0;
  return true;
}

template <uint32_t N, bool Finishing>
inline bool channelStep(ZekbinWriter *w, FILE *stream, ZekbinRecordedChannel *ch, int32_t row) {
  if constexpr (Finishing) return finishChannel<N>(w, stream, ch, row);
  else return recordChannel<N>(w, stream, ch, row);
}

// A row (row: its number) or the finish (row: the number of rows) over every recorded channel,
// with the element size resolved once per channel.
template <bool Finishing> bool forEachChannel(ZekbinWriter *w, FILE *stream, int32_t row) {
  for (uint32_t i = 0; i < w->signalCount; ++i) {
    ZekbinRecordedChannel *ch = &w->channels[i];
    bool ok = true;
    switch (ch->size) {
      case 1: ok = channelStep<1, Finishing>(w, stream, ch, row); break;
      case 2: ok = channelStep<2, Finishing>(w, stream, ch, row); break;
      case 4: ok = channelStep<4, Finishing>(w, stream, ch, row); break;
      case 8: ok = channelStep<8, Finishing>(w, stream, ch, row); break;
    }
    if (!ok) return false;
  }
  return true;
}

uint32_t zekbin_count_events(const EventRecord *events, uint32_t limit) {
  uint32_t n = 0;
  for (; events != nullptr && n <= limit; events = events->next) ++n;
  return n;
}

// One event record at the end of the stream; at most 65535 events, the excess is refused.
bool zekbin_writeEvents(ZekbinWriter *w, FILE *stream, const EventRecord *events, uint64_t time) {
  uint32_t count = zekbin_count_events(events, ZEKBIN_MAX_EVENTS_PER_RECORD);
  if (count == 0) return true;
  if (count > ZEKBIN_MAX_EVENTS_PER_RECORD) {
    fail(w, ZEKBIN_WRITE_TOO_MANY_EVENTS);
    count = ZEKBIN_MAX_EVENTS_PER_RECORD;
  }
  if (!notePosition(w, &w->eventPositions)) return false;
  uint8_t head[ZEKBIN_EVENT_RECORD_FIXED_SIZE];
  zekbin_encodeEventRecordHead(ZekbinEventRecordHead{time, (uint16_t)count}, head);
  if (!writeBytes(w, stream, head, sizeof head)) return false;
  for (uint32_t i = 0; i < count; ++i, events = events->next) {
    uint16_t length = events->data != nullptr ? events->length : 0;
    uint8_t eventHead[ZEKBIN_EVENT_FIXED_SIZE];
    zekbin_encodeEventHead(events->id, length, eventHead);
    if (!writeBytes(w, stream, eventHead, sizeof eventHead) || !writeBytes(w, stream, events->data, length))
      return false;
  }
  return true;
}

// Appends one 8-byte time stamp to the block's buffer and writes the buffer as a chunk when it
// fills.
bool zekbin_writeValue2dataBlock(ZekbinWriter *w, FILE *stream, ZekbinBlock *b, uint64_t stamp) {
  std::memcpy(b->stamps + b->stampFill, &stamp, sizeof stamp);
  b->stampFill += sizeof stamp;
  if (b->stampFill < b->stampSize) return true;
  if (!notePosition(w, &b->stampChunkPositions) || !writeBytes(w, stream, b->stamps, b->stampFill)) return false;
  if (b->stampSize != ZEKBIN_LATER_CHUNK_SIZE) {
    uint8_t *later = (uint8_t *)writerRealloc(b->stamps, ZEKBIN_LATER_CHUNK_SIZE);
    if (later == nullptr) return fail(w, ZEKBIN_WRITE_MEMORY), false;
    b->stamps = later;
    b->stampSize = ZEKBIN_LATER_CHUNK_SIZE;
  }
  b->stampFill = 0;
  return true;
}

double channelValueAsDouble(const ChannelDecl *c) {
  return c->elementCount == 0 || c->value == nullptr ? 0.0 : zek_scalarAsDouble(c->baseType, c->value);
}

const ChannelDecl *zek_findRealtimeSignal(ChannelDecl *const *channels, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    if (channels[i] != nullptr && channels[i]->name != nullptr && std::strcmp(channels[i]->name, kRealtimeName) == 0)
      return channels[i];
  return nullptr;
}

void releaseWriter(ZekbinWriter *w) {
  if (w == nullptr) return;
  for (uint32_t i = 0; w->elements != nullptr && i < w->elementCount; ++i) {
    std::free(w->elements[i].laterChunk);
    listFree(&w->elements[i].repetitions);
    listFree(&w->elements[i].chunkPositions);
  }
  std::free(w->elements);
  std::free(w->channels);
  std::free(w->firstChunks);
  std::free(w->lastValues);
  std::free(w->block.stamps);
  listFree(&w->block.stampChunkPositions);
  listFree(&w->eventPositions);
  std::free(w);
}

// The header: fixed part, enum sets, event declarations, signal declarations; 0 when the
// declarations cannot be serialised.
uint64_t headerLength(const ZekbinWriter *w, const EnumSetDecl *enumSets, uint16_t enumSetCount,
                      const EventDecl *events, uint16_t eventCount) {
  uint64_t n = ZEKBIN_HEADER_BASE_SIZE;
  for (uint16_t i = 0; i < enumSetCount; ++i) {
    int32_t length = zek_getEnumSetDeclLength(&enumSets[i]);
    if (length < 0) return 0;
    n += (uint64_t)length;
  }
  for (uint16_t i = 0; i < eventCount; ++i) {
    int32_t length = zekbin_getEventDeclLength(&events[i]);
    if (length < 0) return 0;
    n += (uint64_t)length;
  }
  for (uint32_t i = 0; i < w->signalCount; ++i) {
    int32_t length = zek_getSignalDeclLength(w->channels[i].channel);
    if (length < 0) return 0;
    n += (uint64_t)length;
  }
  return n <= INT32_MAX ? n : 0;
}

bool writeHeader(ZekbinWriter *w, FILE *stream, const EnumSetDecl *enumSets, uint16_t enumSetCount,
                 const EventDecl *events, uint16_t eventCount, uint8_t sutSynchronous, uint64_t length) {
  uint8_t *header = (uint8_t *)writerMalloc((size_t)length);
  if (header == nullptr) return false;
  uint8_t *p = zekbin_encodeHeaderFixed(header, sutSynchronous);
  std::memcpy(p, &enumSetCount, 2);
  p += 2;
  for (uint16_t i = 0; i < enumSetCount; ++i) p = zekbin_encodeEnumSetDecl(&enumSets[i], p);
  std::memcpy(p, &eventCount, 2);
  p += 2;
  for (uint16_t i = 0; i < eventCount; ++i) p = zekbin_encodeEventDecl(&events[i], p);
  std::memcpy(p, &w->signalCount, 4);
  p += 4;
  for (uint32_t i = 0; i < w->signalCount; ++i) p = zek_zekbin_writeSignalDeclBlock(w->channels[i].channel, p);
  writeBytes(w, stream, header, (size_t)(p - header));
  std::free(header);
  return true;
}

// Channels, element streams and buffers of a new writer; false when they cannot be had.
bool setUpStreams(ZekbinWriter *w, ChannelDecl *const *channels, uint32_t channelCount) {
  w->channels = (ZekbinRecordedChannel *)writerCalloc(channelCount > 0 ? channelCount : 1, sizeof(ZekbinRecordedChannel));
  if (w->channels == nullptr) return false;
  uint64_t elements = 0, valueBytes = 0;
  for (uint32_t i = 0; i < channelCount; ++i) {
    const ChannelDecl *c = channels[i];
    if (c == nullptr || c == w->timeChannel) continue;
    uint8_t size = zek_baseTypeSizeOf(c->baseType);
    uint64_t bytes = (uint64_t)c->elementCount * size;
    if (size == 0 || bytes > UINT32_MAX || (bytes > 0 && c->value == nullptr)) return false;
    ZekbinRecordedChannel &ch = w->channels[w->signalCount++];
    ch.channel = c;
    ch.count = c->elementCount;
    ch.size = size;
    ch.bytes = (uint32_t)bytes;
    elements += c->elementCount;
    valueBytes += bytes;
  }
  if (elements > UINT32_MAX || elements * ZEKBIN_FIRST_CHUNK_SIZE > SIZE_MAX) return false;
  w->elementCount = (uint32_t)elements;
  size_t n = elements > 0 ? (size_t)elements : 1;
  w->elements = (ZekbinElementStream *)writerCalloc(n, sizeof(ZekbinElementStream));
  w->firstChunks = (uint8_t *)writerMalloc(n * ZEKBIN_FIRST_CHUNK_SIZE);
  w->lastValues = (uint8_t *)writerMalloc(valueBytes > 0 ? (size_t)valueBytes : 1);
  if (w->elements == nullptr || w->firstChunks == nullptr || w->lastValues == nullptr) return false;
  uint32_t k = 0;
  uint64_t offset = 0;
  for (uint32_t i = 0; i < w->signalCount; ++i) {
    ZekbinRecordedChannel &ch = w->channels[i];
    ch.elements = w->elements + k;
    ch.last = w->lastValues + offset;
    offset += ch.bytes;
    for (uint32_t j = 0; j < ch.count; ++j, ++k) {
      ZekbinElementStream &e = w->elements[k];
      e.chunk = w->firstChunks + (size_t)k * ZEKBIN_FIRST_CHUNK_SIZE;
      e.chunkCapacity = e.chunkSize = ZEKBIN_FIRST_CHUNK_SIZE;
      e.size = ch.size;
      e.threshold = (uint8_t)(8 / ch.size + 1);
    }
  }
  return true;
}

}  // namespace

ZekbinWriter *zek_write_zekbin_headerblock(FILE *stream, ChannelDecl *const *channels, uint32_t channelCount,
                                          const EnumSetDecl *enumSets, uint16_t enumSetCount,
                                          const EventDecl *events, uint16_t eventCount, uint32_t sutSynchronous,
                                          uint32_t cycleIndexed) {
  if ((channels == nullptr && channelCount > 0) || (enumSets == nullptr && enumSetCount > 0) ||
      (events == nullptr && eventCount > 0))
    return nullptr;
  ZekbinWriter *w = (ZekbinWriter *)writerCalloc(1, sizeof(ZekbinWriter));
  if (w == nullptr) return nullptr;
  w->currentRow = -1;
  w->cycleIndexed = (uint8_t)cycleIndexed != 0;
  if (!w->cycleIndexed) {
    w->timeChannel = zek_findRealtimeSignal(channels, channelCount);
    if (w->timeChannel == nullptr) w->cycleIndexed = 1;
  }
  uint64_t length = 0;
  if (!setUpStreams(w, channels, channelCount) ||
      (length = headerLength(w, enumSets, enumSetCount, events, eventCount)) == 0 ||
      !writeHeader(w, stream, enumSets, enumSetCount, events, eventCount, (uint8_t)sutSynchronous, length)) {
    releaseWriter(w);
    return nullptr;
  }
  return w;
}

uint64_t zekbin_secondsToMicroseconds(double seconds) {
  double us = std::round(seconds * 1e6);  // halves away from zero
  if (!(us > 0.0)) return 0;               // NaN, negative, zero
  if (us >= 18446744073709551616.0) return UINT64_MAX;
  return (uint64_t)us;
}

int32_t zek_write_zekbin_signaldatarow(ZekbinWriter *w, FILE *stream, const EventRecord *events, uint64_t time) {
  if (w == nullptr) return ZEKBIN_WRITE_NO_WRITER;
  if (w->stopped) return w->result;
  if (w->currentRow == INT32_MAX - 1) {
    fail(w, ZEKBIN_WRITE_TOO_MANY_ROWS);
    return w->result;
  }
  if (!w->cycleIndexed) time = zekbin_secondsToMicroseconds(channelValueAsDouble(w->timeChannel));
  if (!zekbin_writeEvents(w, stream, events, time)) return w->result;
  int32_t row = ++w->currentRow;
  if (!w->hasBlock) {
    w->hasBlock = true;
    w->block.firstRow = (uint32_t)row;
    w->block.firstTime = time;
    if (!w->cycleIndexed) {
      w->block.stamps = (uint8_t *)writerMalloc(ZEKBIN_FIRST_CHUNK_SIZE);
      w->block.stampSize = ZEKBIN_FIRST_CHUNK_SIZE;
      if (w->block.stamps == nullptr) return fail(w, ZEKBIN_WRITE_MEMORY), w->result;
    }
  }
  if (!w->cycleIndexed && !zekbin_writeValue2dataBlock(w, stream, &w->block, time)) return w->result;
  forEachChannel<false>(w, stream, row);
  return w->result;
}

namespace {

bool writeTables(ZekbinWriter *w, FILE *stream, uint64_t step, int32_t rows) {
  ZekbinBlock *b = &w->block;
  int32_t blockCount = w->hasBlock ? 1 : 0;
  if (w->hasBlock) {
    b->rowCount = (uint32_t)rows - b->firstRow;
    b->recordPosition = w->position;
    ZekbinBlockRecord record{};
    record.kind = w->cycleIndexed ? ZEKBIN_BLOCK_CYCLE_INDEXED : ZEKBIN_BLOCK_TIME_STAMPED;
    record.firstTime = (int64_t)b->firstTime;
    record.rowCount = (int32_t)b->rowCount;
    record.step = (int64_t)step;
    record.blockNumber = 0;
    record.firstRow = (int32_t)b->firstRow;
    uint8_t bytes[ZEKBIN_BLOCK_RECORD_SIZE_CYCLES];
    if (!writeBytes(w, stream, bytes, (size_t)(zekbin_encodeBlockRecord(&record, bytes) - bytes))) return false;
    if (!w->cycleIndexed && b->stampFill > 0 &&
        (!notePosition(w, &b->stampChunkPositions) || !writeBytes(w, stream, b->stamps, b->stampFill)))
      return false;
  }
  int64_t blockListPosition = w->position;
  if (w->hasBlock && !writeValue<int64_t>(w, stream, b->recordPosition)) return false;
  int64_t blockTablePosition = 0;
  if (!w->cycleIndexed) {
    int64_t stampListPosition = w->position;
    if (w->hasBlock && !writeBytes(w, stream, b->stampChunkPositions.items,
                                   (size_t)b->stampChunkPositions.count * sizeof(int64_t)))
      return false;
    blockTablePosition = w->position;
    uint8_t entry[ZEKBIN_BLOCK_TABLE_ENTRY_SIZE];
    zekbin_encodeBlockTableEntry(ZekbinBlockTableEntry{stampListPosition, (int32_t)b->rowCount}, entry);
    if (w->hasBlock && !writeBytes(w, stream, entry, sizeof entry)) return false;
  }
  if (!forEachChannel<true>(w, stream, rows)) return false;
  int64_t indexPosition = w->position;
  uint8_t records[kIndexRecordsPerWrite * ZEKBIN_ELEMENT_INDEX_SIZE];
  for (uint32_t k = 0; k < w->elementCount;) {
    uint8_t *p = records;
    for (uint32_t n = 0; n < kIndexRecordsPerWrite && k < w->elementCount; ++n, ++k) {
      const ZekbinElementStream &e = w->elements[k];
      ZekbinElementIndex index{e.repetitionPosition, (int32_t)e.repetitions.count, blockListPosition, blockCount,
                               e.chunkTablePosition};
      p = zekbin_encodeElementIndex(&index, p);
    }
    if (!writeBytes(w, stream, records, (size_t)(p - records))) return false;
  }
  int64_t eventListPosition = w->position;
  if (!writeValue<uint32_t>(w, stream, w->eventPositions.count) ||
      !writeBytes(w, stream, w->eventPositions.items, (size_t)w->eventPositions.count * sizeof(int64_t)))
    return false;
  uint8_t patch[ZEKBIN_PATCH_SIZE];
  zekbin_encodeHeaderPatch(patch, indexPosition, blockTablePosition, w->cycleIndexed ? 0 : blockCount,
                           eventListPosition);
  int64_t end = w->position;
  if (std::fflush(stream) != 0 || !plat_stream_seek(stream, ZEKBIN_OFFSET_PATCH) ||
      !plat_stream_write(stream, patch, sizeof patch) || std::fflush(stream) != 0 || !plat_stream_seek(stream, end)) {
    fail(w, ZEKBIN_WRITE_STREAM);
    return false;
  }
  return true;
}

}  // namespace

int32_t zek_close_zekbin_datablock(ZekbinWriter *w, FILE *stream, const EventRecord *events, uint64_t step,
                                   uint64_t time) {
  if (w == nullptr) return ZEKBIN_WRITE_NO_WRITER;
  if (!w->stopped) {
    int32_t rows = w->currentRow + 1;
    if (zekbin_writeEvents(w, stream, events, time) &&
        (w->cycleIndexed || !w->hasBlock || zekbin_writeValue2dataBlock(w, stream, &w->block, time)))
      writeTables(w, stream, step, rows);
  }
  if (!w->stopped && stream != nullptr && (std::fflush(stream) != 0 || std::ferror(stream))) fail(w, ZEKBIN_WRITE_STREAM);
  int32_t result = w->result;
  releaseWriter(w);
  return result;
}

int32_t zekbin_writerResult(const ZekbinWriter *w) { return w == nullptr ? ZEKBIN_WRITE_NO_WRITER : w->result; }

const char *zekbin_writeResultText(int32_t result) {
  switch (result) {
    case ZEKBIN_WRITE_OK: return "The record file was written.";
    case ZEKBIN_WRITE_STREAM: return "Writing the record file failed; the file is incomplete.";
    case ZEKBIN_WRITE_MEMORY: return "Not enough memory to record; the record file is incomplete.";
    case ZEKBIN_WRITE_TOO_MANY_EVENTS: return "More than 65535 events in one cycle; the excess was not recorded.";
    case ZEKBIN_WRITE_TOO_MANY_ROWS: return "More than 2147483647 cycles; the excess was not recorded.";
    case ZEKBIN_WRITE_NO_WRITER: return "No record writer: it could not be created.";
  }
  return "Unknown record writer result.";
}
