// The record writer's sample streams. Every element of every recorded channel has its own
// change-compressed sample stream: sample 0 is its value in row 0; a later row adds a sample
// only when the value changed. A run of unchanged rows before a change (or before the finish) is stored as copies of
// the last value when it is shorter than the repetition threshold 8 / size + 1 (the copies then
// cost no more than one 8-byte repetition entry), and as one repetition entry otherwise.
//
// A stream is cut into chunks of 128 bytes (the first) and 65536 bytes (all later ones); a
// chunk is written the moment it fills, and an element's last, partial chunk at the finish. The
// first chunks of all elements share one block; a later-chunk buffer grows to 65536 bytes only
// as far as the element's samples need it and is reused for every later chunk. The later-chunk
// buffers come from the writer's pool (zekbin_poolTake).
//
// Hot path: a channel of more than 5 elements is compared with its last values as one block,
// so an unchanged array costs one comparison per row, and a changed one in blocks of 64 bytes,
// so that a row costs a comparison per block and work per element only in blocks that changed;
// the elements learn about the unchanged rows only when their block changes (or at the finish).
#include "zekbin_writer_parts.h"

#include <cstdlib>
#include <cstring>

#include "zek_common.h"
#include "zek_portability.h"
#include "zek_platform.h"

namespace {

constexpr uint32_t kPrefetchDistance = 128;
constexpr uint32_t kCacheLine = 64;
// Free buffers looked at for a buffer's neighbour.
constexpr uint32_t kNeighbourSearch = 4;

// The blocks of kBlockBytes a channel of `bytes` bytes is compared in.
uint32_t blockCount(uint64_t bytes) { return (uint32_t)((bytes + kBlockBytes - 1) / kBlockBytes); }

uint32_t sizeIndexOf(uint32_t capacity) {
  uint32_t k = 0;
  while ((kLaterChunkStartCapacity << k) < capacity) ++k;
  return k;
}

// Where a stream starts its chunk in a buffer of capacity bytes when the chunk holds `keep`
// bytes already: a cache-line multiple that differs from stream to stream, with room for the
// kept bytes before the ring wraps.
uint32_t colourOf(const ZekbinWriter *w, const ZekbinElementStream *e, uint32_t capacity, uint32_t keep) {
  uint32_t lines = (capacity - keep) / kCacheLine;
  return lines <= 1 ? 0 : (uint32_t)((e - w->elements) % lines) * kCacheLine;
}

// Writes the chunk's fill bytes: the ring from chunkStart on, in at most two pieces.
bool writeChunk(ZekbinWriter *w, FILE *stream, ZekbinElementStream *e) {
  uint32_t first = e->chunkCapacity - e->chunkStart < e->chunkFill ? e->chunkCapacity - e->chunkStart : e->chunkFill;
  return notePosition(w, &e->chunkPositions) && writeBytes(w, stream, e->chunk + e->chunkStart, first) &&
         writeBytes(w, stream, e->chunk, e->chunkFill - first);
}

// The sample just appended reached the end of the buffer or filled it: the ring wraps, or the
// buffer grows when the chunk is not yet complete, or the chunk is written and the stream goes
// on in the later-chunk buffer.
[[gnu::noinline]] bool zekbin_chunkBoundary(ZekbinWriter *w, FILE *stream, ZekbinElementStream *e) {
  uint32_t capacity = e->chunkCapacity;
  if (e->chunkFill < capacity) {
    e->chunkPos = 0;
    return true;
  }
  if (capacity < e->chunkSize) {
    // The ring, in order, at a new start in a buffer of twice the size.
    uint32_t from = sizeIndexOf(capacity);
    uint8_t *grown = zekbin_poolTake(&w->pool, from + 1);
    if (grown == nullptr) return fail(w, ZEKBIN_WRITE_MEMORY), false;
    uint32_t start = colourOf(w, e, 2 * capacity, capacity), tail = capacity - e->chunkStart;
    std::memcpy(grown + start, e->chunk + e->chunkStart, tail);
    std::memcpy(grown + start + tail, e->chunk, e->chunkStart);
    zekbin_poolGive(&w->pool, e->laterChunk, from);
    e->laterChunk = e->chunk = grown;
    e->chunkCapacity = 2 * capacity;
    e->chunkStart = start;
    e->chunkPos = start + capacity;
    return true;
  }
  if (!writeChunk(w, stream, e)) return false;
  if (e->laterChunk == nullptr) {
    e->laterChunk = zekbin_poolTake(&w->pool, 0);
    if (e->laterChunk == nullptr) return fail(w, ZEKBIN_WRITE_MEMORY), false;
    e->chunkCapacity = kLaterChunkStartCapacity;
    e->chunkStart = colourOf(w, e, kLaterChunkStartCapacity, 0);
  }
  e->chunk = e->laterChunk;
  e->chunkPos = e->chunkStart;
  e->chunkFill = 0;
  e->chunkSize = ZEKBIN_LATER_CHUNK_SIZE;
  return true;
}

// A value of N bytes as an unsigned word: compared and copied in a register, so that the
// stores into a chunk do not make the compiler load the values again.
template <uint32_t N> struct WordOf;
template <> struct WordOf<1> { using type = uint8_t; };
template <> struct WordOf<2> { using type = uint16_t; };
template <> struct WordOf<4> { using type = uint32_t; };
template <> struct WordOf<8> { using type = uint64_t; };
template <uint32_t N> using Word = typename WordOf<N>::type;

template <uint32_t N> inline Word<N> loadWord(const uint8_t *p) {
  Word<N> v;
  std::memcpy(&v, p, N);
  return v;
}

// Appends the sample v. Hundreds of streams fill their chunks side by side, too many for the
// processor to see each one's next cache line coming: the store that starts a line would wait
// for memory. A line ahead of the one being filled is asked for in time.
template <uint32_t N> inline bool appendWord(ZekbinWriter *w, FILE *stream, ZekbinElementStream *e, Word<N> v) {
  uint32_t pos = e->chunkPos, capacity = e->chunkCapacity;
  if (pos + kPrefetchDistance < capacity) ZEK_PREFETCH_FOR_WRITE(e->chunk + pos + kPrefetchDistance);
  std::memcpy(e->chunk + pos, &v, N);
  pos += N;
  uint32_t fill = e->chunkFill + N;
  e->chunkPos = pos;
  e->chunkFill = fill;
  ++e->sampleCount;
  if (pos == capacity || fill == capacity) [[unlikely]]
    return zekbin_chunkBoundary(w, stream, e);
  return true;
}

template <uint32_t N> inline bool appendSample(ZekbinWriter *w, FILE *stream, ZekbinElementStream *e, const uint8_t *v) {
  return appendWord<N>(w, stream, e, loadWord<N>(v));
}

bool zekbin_createRepl(ZekbinWriter *w, ZekbinElementStream *e, int32_t row) {
  if (listPush(&e->repetitions, ZekbinRepetition{row, e->sampleCount})) return true;
  fail(w, ZEKBIN_WRITE_MEMORY);
  return false;
}

// The run of unchanged rows behind the last written sample ends at row: one repetition entry
// when it reached the threshold, copies of the last value when it is shorter.
template <uint32_t N> [[gnu::noinline]] bool endRun(ZekbinWriter *w, FILE *stream, ZekbinElementStream *e, const uint8_t *last, int32_t row) {
  int32_t c = e->unchanged;
  e->unchanged = 0;
  if (c >= e->threshold) return zekbin_createRepl(w, e, row);
  for (; c > 0; --c)
    if (!appendSample<N>(w, stream, e, last)) return false;
  return true;
}

// Elements [first, first + n) of the channel in a row after the first.
template <uint32_t N>
bool recordElements(ZekbinWriter *w, FILE *stream, ZekbinRecordedChannel *ch, uint32_t first, uint32_t n,
                    int32_t row) {
  const uint8_t *current = ch->value + (size_t)first * N;
  uint8_t *last = ch->last + (size_t)first * N;
  ZekbinElementStream *e = ch->elements + first;
  for (uint32_t k = 0; k < n; ++k, ++e, current += N, last += N) {
    Word<N> v = loadWord<N>(current);
    if (v == loadWord<N>(last)) {
      ++e->unchanged;
      continue;
    }
    if (e->unchanged > 0 && !endRun<N>(w, stream, e, last, row)) return false;
    std::memcpy(last, &v, N);
    if (!appendWord<N>(w, stream, e, v)) return false;
  }
  return true;
}

// A changed channel of kWholeChannelMinElements or more, block by block: a block that stayed
// unchanged counts the row once; its elements learn about such rows when it changes (or at the
// finish). A row that changes a few elements of a large array costs one comparison per block.
template <uint32_t N> bool recordBlocks(ZekbinWriter *w, FILE *stream, ZekbinRecordedChannel *ch, int32_t row) {
  constexpr uint32_t perBlock = kBlockBytes / N;
  uint32_t *counter = ch->blockUnchanged;
  for (uint32_t first = 0; first < ch->count; first += perBlock, ++counter) {
    uint32_t n = ch->count - first < perBlock ? ch->count - first : perBlock;
    const uint8_t *current = ch->value + (size_t)first * N, *last = ch->last + (size_t)first * N;
    if (n == perBlock ? std::memcmp(current, last, kBlockBytes) == 0 : std::memcmp(current, last, (size_t)n * N) == 0) {
      ++*counter;
      continue;
    }
    if (*counter > 0) {
      for (uint32_t k = first; k < first + n; ++k) ch->elements[k].unchanged += (int32_t)*counter;
      *counter = 0;
    }
    if (!recordElements<N>(w, stream, ch, first, n, row)) return false;
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
  if (row == 0) return recordFirstRow<N>(w, stream, ch, ch->value);
  if (ch->count < kWholeChannelMinElements) return recordElements<N>(w, stream, ch, 0, ch->count, row);
  if (std::memcmp(ch->value, ch->last, ch->bytes) == 0) {
    ++ch->wholeUnchanged;
    return true;
  }
  if (ch->wholeUnchanged > 0) {
    for (uint32_t b = 0, blocks = blockCount(ch->bytes); b < blocks; ++b) ch->blockUnchanged[b] += ch->wholeUnchanged;
    ch->wholeUnchanged = 0;
  }
  return recordBlocks<N>(w, stream, ch, row);
}

// The pending run of every element at the finish, then its last chunk and its two lists.
template <uint32_t N> bool finishChannel(ZekbinWriter *w, FILE *stream, ZekbinRecordedChannel *ch, int32_t rows) {
  for (uint32_t k = 0; k < ch->count; ++k) {
    ZekbinElementStream *e = &ch->elements[k];
    e->unchanged += (int32_t)ch->wholeUnchanged;
    if (ch->blockUnchanged != nullptr) e->unchanged += (int32_t)ch->blockUnchanged[k / (kBlockBytes / N)];
    if (e->unchanged > 0 && !endRun<N>(w, stream, e, ch->last + (size_t)k * N, rows)) return false;
    if (e->chunkFill > 0 && !writeChunk(w, stream, e)) return false;
    e->repetitionPosition = w->position;
    if (!writeBytes(w, stream, e->repetitions.items, (size_t)e->repetitions.count * ZEKBIN_REPETITION_SIZE))
      return false;
    e->chunkTablePosition = w->position;
    if (!writeBytes(w, stream, e->chunkPositions.items, (size_t)e->chunkPositions.count * sizeof(int64_t)))
      return false;
  }
  ch->wholeUnchanged = 0;
  if (ch->blockUnchanged != nullptr)
    std::memset(ch->blockUnchanged, 0, sizeof(uint32_t) * blockCount(ch->bytes));
  return true;
}

// A scalar channel in a row after the first: the change test and the append of the common case
// inline, the rare steps (the end of a run, a full chunk) out of line.
template <uint32_t N>
[[gnu::always_inline]] inline bool recordScalar(ZekbinWriter *w, FILE *stream, ZekbinRecordedChannel *ch, int32_t row) {
  ZekbinElementStream *e = ch->elements;
  Word<N> v = loadWord<N>(ch->value);
  if (v == loadWord<N>(ch->last)) {
    ++e->unchanged;
    return true;
  }
  if (e->unchanged > 0) [[unlikely]] {
    if (!endRun<N>(w, stream, e, ch->last, row)) return false;
  }
  std::memcpy(ch->last, &v, N);
  return appendWord<N>(w, stream, e, v);
}

// A row after the first: scalar channels through the inline step, the others per element, in
// channel order (the order in which chunks that fill in the same row reach the file).
bool recordLaterRow(ZekbinWriter *w, FILE *stream, int32_t row) {
  ZekbinRecordedChannel *ch = w->channels;
  ZekbinRecordedChannel *end = ch + w->signalCount;
  for (; ch != end; ++ch) {
    bool ok = true;
    if (ch->count == 1) {
      switch (ch->size) {
        case 4: ok = recordScalar<4>(w, stream, ch, row); break;
        case 8: ok = recordScalar<8>(w, stream, ch, row); break;
        case 1: ok = recordScalar<1>(w, stream, ch, row); break;
        case 2: ok = recordScalar<2>(w, stream, ch, row); break;
      }
    } else {
      switch (ch->size) {
        case 4: ok = recordChannel<4>(w, stream, ch, row); break;
        case 8: ok = recordChannel<8>(w, stream, ch, row); break;
        case 1: ok = recordChannel<1>(w, stream, ch, row); break;
        case 2: ok = recordChannel<2>(w, stream, ch, row); break;
      }
    }
    if (!ok) return false;
  }
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

}  // namespace

namespace {

size_t bufferSize(uint32_t sizeIndex) { return (size_t)kLaterChunkStartCapacity << sizeIndex; }

void pushFree(ZekbinChunkPool *pool, uint8_t *buffer, uint32_t sizeIndex) {
  std::memcpy(buffer, &pool->freeBuffers[sizeIndex], sizeof(uint8_t *));
  pool->freeBuffers[sizeIndex] = buffer;
}

// The bytes of the current slab from `used` on, up to `to`, as free buffers: each piece is as
// large as the alignment of its start allows.
void freeGap(ZekbinChunkPool *pool, size_t used, size_t to) {
  while (used < to) {
    size_t piece = used & (~used + 1);  // the lowest set bit: the largest size aligned here
    uint32_t k = 0;
    while (k + 1 < kChunkBufferSizes && bufferSize(k) < piece && used + bufferSize(k + 1) <= to) ++k;
    pushFree(pool, pool->slab + used, k);
    used += bufferSize(k);
  }
}

}  // namespace

uint8_t *zekbin_poolTake(ZekbinChunkPool *pool, uint32_t sizeIndex) {
  size_t size = bufferSize(sizeIndex);
  if (uint8_t *buffer = pool->freeBuffers[sizeIndex]) {
    std::memcpy(&pool->freeBuffers[sizeIndex], buffer, sizeof(uint8_t *));
    return buffer;
  }
  // Buffers are carved at multiples of their size, so that two neighbours freed together make
  // one buffer of the next size (see zekbin_poolGive); a gap left by the alignment goes to the
  // free lists of the smaller sizes.
  size_t at = (pool->slabUsed + size - 1) & ~(size - 1);
  if (pool->slab == nullptr || at + size > kChunkSlabSize) {
    if (pool->slab != nullptr) {
      freeGap(pool, pool->slabUsed, kChunkSlabSize);
      pool->slabUsed = kChunkSlabSize;
    }
    if (plat_fault_fires(PLAT_FAULT_ALLOCATION) || !listPush(&pool->slabs, (uint8_t *)nullptr)) return nullptr;
    uint8_t *slab = (uint8_t *)plat_large_block_alloc(kChunkSlabSize);
    pool->slabs.items[pool->slabs.count - 1] = slab;
    if (slab == nullptr) {
      --pool->slabs.count;
      return nullptr;
    }
    pool->slab = slab;
    pool->slabUsed = at = 0;
  }
  freeGap(pool, pool->slabUsed, at);
  pool->slabUsed = at + size;
  return pool->slab + at;
}

void zekbin_poolGive(ZekbinChunkPool *pool, uint8_t *buffer, uint32_t sizeIndex) {
  // Elements grow alike: the neighbour of a buffer is often among the last few freed. The two
  // then make one buffer of the next size. Slabs are aligned to 64 KiB, so a buffer's neighbour
  // of the same size lies at its address with the size bit flipped.
  while (sizeIndex + 1 < kChunkBufferSizes) {
    uintptr_t neighbour = (uintptr_t)buffer ^ bufferSize(sizeIndex);
    uint8_t **link = &pool->freeBuffers[sizeIndex];
    uint32_t looked = 0;
    while (*link != nullptr && (uintptr_t)*link != neighbour && ++looked < kNeighbourSearch)
      link = (uint8_t **)(void *)*link;
    if (*link == nullptr || (uintptr_t)*link != neighbour) break;
    uint8_t *found = *link;
    std::memcpy(link, found, sizeof(uint8_t *));
    buffer = found < buffer ? found : buffer;
    ++sizeIndex;
  }
  pushFree(pool, buffer, sizeIndex);
}

void zekbin_poolRelease(ZekbinChunkPool *pool) {
  for (uint32_t i = 0; i < pool->slabs.count; ++i) plat_large_block_free(pool->slabs.items[i], kChunkSlabSize);
  listFree(&pool->slabs);
  *pool = ZekbinChunkPool{};
}

bool zekbin_setUpStreams(ZekbinWriter *w, ChannelDecl *const *channels, uint32_t channelCount) {
  w->channels = (ZekbinRecordedChannel *)writerCalloc(channelCount > 0 ? channelCount : 1, sizeof(ZekbinRecordedChannel));
  if (w->channels == nullptr) return false;
  uint64_t elements = 0, valueBytes = 0, blocks = 0;
  for (uint32_t i = 0; i < channelCount; ++i) {
    const ChannelDecl *c = channels[i];
    if (c == nullptr || c == w->timeChannel) continue;
    uint8_t size = zek_baseTypeSizeOf(c->baseType);
    uint64_t bytes = (uint64_t)c->elementCount * size;
    if (size == 0 || bytes > UINT32_MAX || (bytes > 0 && c->value == nullptr)) return false;
    ZekbinRecordedChannel &ch = w->channels[w->signalCount++];
    ch.channel = c;
    ch.value = c->value;
    ch.count = c->elementCount;
    ch.size = size;
    ch.bytes = (uint32_t)bytes;
    elements += c->elementCount;
    valueBytes += bytes;
    if (ch.count >= kWholeChannelMinElements) blocks += blockCount(bytes);
  }
  if (elements > UINT32_MAX || elements * ZEKBIN_FIRST_CHUNK_SIZE > SIZE_MAX) return false;
  w->elementCount = (uint32_t)elements;
  size_t n = elements > 0 ? (size_t)elements : 1;
  w->elements = (ZekbinElementStream *)writerCalloc(n, sizeof(ZekbinElementStream));
  w->firstChunks = (uint8_t *)writerMalloc(n * ZEKBIN_FIRST_CHUNK_SIZE);
  w->lastValues = (uint8_t *)writerMalloc(valueBytes > 0 ? (size_t)valueBytes : 1);
  w->blockCounters = (uint32_t *)writerCalloc(blocks > 0 ? (size_t)blocks : 1, sizeof(uint32_t));
  if (w->elements == nullptr || w->firstChunks == nullptr || w->lastValues == nullptr || w->blockCounters == nullptr)
    return false;
  uint32_t k = 0;
  uint64_t offset = 0, block = 0;
  for (uint32_t i = 0; i < w->signalCount; ++i) {
    ZekbinRecordedChannel &ch = w->channels[i];
    ch.elements = w->elements + k;
    ch.last = w->lastValues + offset;
    offset += ch.bytes;
    if (ch.count >= kWholeChannelMinElements) {
      ch.blockUnchanged = w->blockCounters + block;
      block += blockCount(ch.bytes);
    }
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


bool zekbin_recordStreams(ZekbinWriter *w, FILE *stream, int32_t row) {
  return row == 0 ? forEachChannel<false>(w, stream, row) : recordLaterRow(w, stream, row);
}

bool zekbin_finishStreams(ZekbinWriter *w, FILE *stream, int32_t rows) { return forEachChannel<true>(w, stream, rows); }
