// The record writer's file assembly: the header, the rows (through the sample streams of
// zekbin_streams.cpp), the event records, the time stamps of a time-stamped block, and at the
// finish the tables behind the data and the header patch that makes the file readable.
#include "zekbin_writer.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "zek_common.h"
#include "zek_platform.h"
#include "zekbin_writer_parts.h"

namespace {

constexpr uint32_t kIndexRecordsPerWrite = 1024;
inline constexpr char kRealtimeName[] = "@realtime";

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
    listFree(&w->elements[i].repetitions);
    listFree(&w->elements[i].chunkPositions);
  }
  std::free(w->elements);
  std::free(w->channels);
  std::free(w->firstChunks);
  std::free(w->lastValues);
  std::free(w->blockCounters);
  zekbin_poolRelease(&w->pool);
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
  if (!zekbin_setUpStreams(w, channels, channelCount) ||
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
  zekbin_recordStreams(w, stream, row);
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
  if (!zekbin_finishStreams(w, stream, rows)) return false;
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

void zek_release_zekbin_writer(ZekbinWriter *w) { releaseWriter(w); }

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
