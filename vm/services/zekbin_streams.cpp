// The record writer's sample streams. Every element of every recorded channel has its own
// change-compressed sample stream: sample 0 is its value in row 0; a later row adds a sample
// only when the value changed. A run of unchanged rows before a change (or before the finish) is stored as copies of
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
#include "zekbin_writer_parts.h"

#include <cstdlib>
#include <cstring>

#include "zek_common.h"
#include "zek_platform.h"

namespace {

// A chunk buffer is full: grow it when the chunk is not yet complete, else write the chunk and
// continue with the later-chunk buffer.
[[gnu::noinline]] bool zekbin_startNewChunk(ZekbinWriter *w, FILE *stream, ZekbinElementStream *e) {
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
template <uint32_t N> [[gnu::noinline]] bool endRun(ZekbinWriter *w, FILE *stream, ZekbinElementStream *e, const uint8_t *last, int32_t row) {
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

// A scalar channel in a row after the first: the change test and the append of the common case
// inline, the rare steps (the end of a run, a full chunk) out of line.
template <uint32_t N>
[[gnu::always_inline]] inline bool recordScalar(ZekbinWriter *w, FILE *stream, ZekbinRecordedChannel *ch, int32_t row) {
  const uint8_t *current = ch->channel->value;
  ZekbinElementStream *e = ch->elements;
  if (std::memcmp(current, ch->last, N) == 0) {
    ++e->unchanged;
    return true;
  }
  if (e->unchanged > 0) [[unlikely]] {
    if (!endRun<N>(w, stream, e, ch->last, row)) return false;
  }
  std::memcpy(e->chunk + e->chunkFill, current, N);
  std::memcpy(ch->last, current, N);
  e->chunkFill += N;
  ++e->sampleCount;
  if (e->chunkFill == e->chunkCapacity) [[unlikely]]
    return zekbin_startNewChunk(w, stream, e);
  return true;
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

bool zekbin_setUpStreams(ZekbinWriter *w, ChannelDecl *const *channels, uint32_t channelCount) {
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


bool zekbin_recordStreams(ZekbinWriter *w, FILE *stream, int32_t row) {
  return row == 0 ? forEachChannel<false>(w, stream, row) : recordLaterRow(w, stream, row);
}

bool zekbin_finishStreams(ZekbinWriter *w, FILE *stream, int32_t rows) { return forEachChannel<true>(w, stream, rows); }
