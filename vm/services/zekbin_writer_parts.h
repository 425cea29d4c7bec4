#pragma once
// The record writer's records and the helpers its two halves share: the sample streams
// (zekbin_streams.cpp: change compression, repetition entries, chunks) and the file assembly
// (zekbin_writer.cpp: header, events, time stamps, tables, header patch). Private to the
// services.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "zek_platform.h"
#include "zekbin_format.h"
#include "zekbin_writer.h"

inline constexpr uint32_t kWholeChannelMinElements = 6;
// A channel of kWholeChannelMinElements or more is compared in blocks of this many bytes.
inline constexpr uint32_t kBlockBytes = 64;
inline constexpr uint32_t kLaterChunkStartCapacity = 512;
// Later-chunk buffers double from 512 to 65536 bytes: eight sizes.
inline constexpr uint32_t kChunkBufferSizes = 8;
inline constexpr size_t kChunkSlabSize = (size_t)4 << 20;

// The writer's allocations, each one a call the allocation fault of the tests can fail.
inline void *writerMalloc(size_t size) { return plat_fault_fires(PLAT_FAULT_ALLOCATION) ? nullptr : std::malloc(size); }
inline void *writerCalloc(size_t count, size_t size) {
  return plat_fault_fires(PLAT_FAULT_ALLOCATION) ? nullptr : std::calloc(count, size);
}
inline void *writerRealloc(void *p, size_t size) {
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


// One element's sample stream. The hot fields come first. A later-chunk buffer is a ring: the
// chunk's byte j lies at (chunkStart + j) mod chunkCapacity, so that the streams that fill side
// by side write at different cache sets (their buffers are aligned alike, see zekbin_poolTake).
struct ZekbinElementStream {
  uint8_t *chunk;          // the buffer being filled
  uint32_t chunkPos;       // where the next sample goes
  uint32_t chunkFill;      // bytes of the chunk so far
  uint32_t chunkCapacity;  // bytes the buffer holds; there is always room for one more sample
  int32_t unchanged;       // rows since the last written sample that showed it again
  int32_t sampleCount;
  uint32_t chunkSize;   // bytes of the chunk being filled: 128, then 65536
  uint32_t chunkStart;  // where the chunk's first byte lies in the buffer
  uint8_t size;
  uint8_t threshold;
  uint8_t *laterChunk;  // the buffer of the chunks after the first, from the writer's pool
  ZekbinList<ZekbinRepetition> repetitions;
  ZekbinList<int64_t> chunkPositions;
  int64_t repetitionPosition;  // noted by the finish
  int64_t chunkTablePosition;
};

static_assert(sizeof(ZekbinRepetition) == ZEKBIN_REPETITION_SIZE, "repetition entries are written as they lie");


// The later-chunk buffers of all elements, carved from large slabs: a buffer that an element
// outgrows goes to the free list of its size and serves the next element that grows to it. All
// elements grow alike, so the buffers of one size come and go together; one slab per few
// hundred buffers keeps the heap out of the row loop (a heap holding thousands of interleaved
// growing blocks spends most of its time searching its bins) and is released in one piece.
struct ZekbinChunkPool {
  uint8_t *slab;  // the slab being carved
  size_t slabUsed;
  uint8_t *freeBuffers[kChunkBufferSizes];  // a free buffer's first bytes hold the next one
  ZekbinList<uint8_t *> slabs;
};

// A buffer of 512 << sizeIndex bytes; nullptr when no memory can be had.
uint8_t *zekbin_poolTake(ZekbinChunkPool *pool, uint32_t sizeIndex);
void zekbin_poolGive(ZekbinChunkPool *pool, uint8_t *buffer, uint32_t sizeIndex);
void zekbin_poolRelease(ZekbinChunkPool *pool);


struct ZekbinRecordedChannel {
  const uint8_t *value;  // the channel's values: its value pointer when the writer was made
  ZekbinElementStream *elements;  // elementCount streams
  uint8_t *last;                  // the values last written, elementCount * size bytes
  const ChannelDecl *channel;
  uint32_t bytes;
  uint32_t count;
  uint32_t wholeUnchanged;  // rows the whole channel stayed unchanged (channels of 6+ elements)
  uint32_t *blockUnchanged;  // per block of kBlockBytes: rows it stayed unchanged (6+ elements)
  uint8_t size;
};


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
  uint32_t *blockCounters;  // the blockUnchanged of all channels
  ZekbinChunkPool pool;
  ZekbinList<int64_t> eventPositions;
  uint8_t cycleIndexed;
  int32_t currentRow;  // -1 after creation
  bool hasBlock;
  ZekbinBlock block;  // this writer produces at most one block
  int64_t position;   // bytes handed to the stream so far = the current end of the file
  int32_t result;
  bool stopped;  // a stream or memory failure: nothing more is written
};


inline bool isFatal(int32_t result) { return result == ZEKBIN_WRITE_STREAM || result == ZEKBIN_WRITE_MEMORY; }

inline void fail(ZekbinWriter *w, int32_t result) {
  if (w->result == ZEKBIN_WRITE_OK || (isFatal(result) && !isFatal(w->result))) w->result = result;
  if (isFatal(result)) w->stopped = true;
}

inline bool writeBytes(ZekbinWriter *w, FILE *stream, const void *bytes, size_t n) {
  if (w->stopped) return false;
  if (n == 0) return true;
  if (!plat_stream_write(stream, bytes, n)) {
    fail(w, ZEKBIN_WRITE_STREAM);
    return false;
  }
  w->position += (int64_t)n;
  return true;
}

template <typename T> inline bool writeValue(ZekbinWriter *w, FILE *stream, T v) { return writeBytes(w, stream, &v, sizeof v); }

inline bool notePosition(ZekbinWriter *w, ZekbinList<int64_t> *list) {
  if (listPush(list, w->position)) return true;
  fail(w, ZEKBIN_WRITE_MEMORY);
  return false;
}

// Records row `row` of every recorded channel into its element streams; false after a failure
// (noted in the writer).
bool zekbin_recordStreams(ZekbinWriter *w, FILE *stream, int32_t row);

// Ends every element stream after `rows` rows: the last runs, the partial chunks, and each
// element's repetition list and chunk table (their positions noted for the index records).
bool zekbin_finishStreams(ZekbinWriter *w, FILE *stream, int32_t rows);

// Channels, element streams and buffers of a new writer; false when they cannot be had.
bool zekbin_setUpStreams(ZekbinWriter *w, ChannelDecl *const *channels, uint32_t channelCount);
