// The input reader's rows: one element's value of a row from its chunk table, and the row
// cache that answers a sequential read from its counters without searching the repetition
// list.
#include <cstring>

#include "zek_common.h"
#include "zekbin_reader_parts.h"

using namespace zekbin_input;

namespace {

// One element's value in row r into dest; false when its sample lies outside the file.
// *found is false when the row lies beyond the element's blocks.
bool readElement(ZekbinElementLookup &lookup, uint8_t size, int32_t row, uint8_t *dest, bool *found) {
  ZekbinLookupState *state = nullptr;
  if (lookup.lastBlock < lookup.blockCount) {
    ZekbinLookupState &s = lookup.blocks[lookup.lastBlock];
    if (row >= s.blockStart && row < s.blockEnd) state = &s;
  }
  for (uint32_t j = 0; state == nullptr && j < lookup.blockCount; ++j) {
    ZekbinLookupState &s = lookup.blocks[j];
    if (row >= s.blockStart && row < s.blockEnd) {
      state = &s;
      lookup.lastBlock = j;
    }
  }
  *found = state != nullptr;
  if (state == nullptr) return true;
  int64_t sample = zekbin_findSampleIndex(state, row);
  if (size == 0) return true;
  if (sample == lookup.lastSample) return true;  // the buffer holds it
  if (sample < 0) {
    report("Invalid repetition list of the element at location %lld.", (long long)state->indexPosition);
    return false;
  }
  uint64_t chunk, offset;
  zekbin_streamByteLocation((uint64_t)sample * size, g_reader.header.firstChunkSize, g_reader.header.laterChunkSize,
                            &chunk, &offset);
  // The chunk table entry; chunk is below 2^36 (sample indices fit 33 bits).
  int64_t table = lookup.chunkTablePosition;
  if (!inFile(table, 0) || chunk >= (g_reader.fileSize - (uint64_t)table) / kPositionSize) {
    reportOutside(table);
    return false;
  }
  int64_t entry = table + (int64_t)(chunk * kPositionSize);
  int64_t chunkPos = zek_load_as<int64_t>(g_reader.data + entry);
  if (chunkPos < 0 || (uint64_t)chunkPos > g_reader.fileSize) {
    reportOutside(chunkPos);
    return false;
  }
  if (!checkRange(chunkPos + (int64_t)offset, size)) return false;
  std::memcpy(dest, g_reader.data + chunkPos + offset, size);
  lookup.lastSample = sample;
  return true;
}

// Writes the ring slot at the cursor for row, reached at entry index entry (-1: before the
// first entry) with the sample it shows, and advances the cursor.
void cacheSampleIndex(ZekbinLookupState *s, int32_t row, int64_t entry, int64_t sample) {
  ZekbinCacheSlot &slot = s->slots[s->cursor];
  slot.row = row;
  slot.sample = sample;
  slot.entry = (int32_t)(entry + 1);
  if (entry + 1 < s->repetitionCount) {
    ZekbinRepetition next = zekbin_repetitionAt(s->repetitions, (uint32_t)(entry + 1));
    slot.samplesLeft = (int64_t)next.sample - sample - 1;
    slot.repeatsLeft = ((int64_t)next.row - row) - ((int64_t)next.sample - sample);
  } else {
    slot.samplesLeft = INT32_MAX;
    slot.repeatsLeft = 0;
  }
  s->cursor = (s->cursor + 1) % ZEKBIN_RING_SLOTS;
}

void storeSlot(ZekbinLookupState *s, ZekbinCacheSlot slot) {
  s->slots[s->cursor] = slot;
  s->cursor = (s->cursor + 1) % ZEKBIN_RING_SLOTS;
}

}  // namespace

namespace {

// The ring of an element's block that was left alone over quiet rows learns the row before
// the one read now, as a sequential read would have left it, so that the next lookup is again
// answered from the counters.
void catchUp(ZekbinElementLookup &lookup, int32_t row) {
  if (lookup.lastBlock >= lookup.blockCount) return;
  ZekbinLookupState *s = &lookup.blocks[lookup.lastBlock];
  int64_t before = (int64_t)row - 1;
  if (s->repetitionCount <= 0 || before < s->blockStart || before >= s->blockEnd) return;
  const ZekbinCacheSlot &latest = s->slots[(s->cursor + ZEKBIN_RING_SLOTS - 1) % ZEKBIN_RING_SLOTS];
  int64_t gap = before - latest.row;
  if (gap < 1 || latest.samplesLeft != 0 || latest.repeatsLeft < gap) return;
  storeSlot(s, ZekbinCacheSlot{(int32_t)before, latest.entry, latest.sample, 0, latest.repeatsLeft - gap});
}

// The next row at which an element read in row may show another sample: the row after, unless
// its counters say that repeats of the same sample follow; never beyond its block.
int64_t nextRead(const ZekbinElementLookup &lookup, int32_t row) {
  const ZekbinLookupState &s = lookup.blocks[lookup.lastBlock];
  int64_t next = (int64_t)row + 1;
  if (s.repetitionCount > 0) {
    const ZekbinCacheSlot &latest = s.slots[(s.cursor + ZEKBIN_RING_SLOTS - 1) % ZEKBIN_RING_SLOTS];
    if (latest.row == row && latest.samplesLeft == 0 && latest.repeatsLeft > 0) next += latest.repeatsLeft;
  }
  return next < s.blockEnd ? next : s.blockEnd;
}

inline bool before(const ZekbinWake &a, const ZekbinWake &b) {
  return a.row < b.row || (a.row == b.row && a.element < b.element);
}

// The top of the heap got a later row: moves it down to its place.
void siftDown(ZekbinWake *heap, uint64_t count) {
  uint64_t i = 0;
  ZekbinWake moving = heap[0];
  for (;;) {
    uint64_t child = 2 * i + 1;
    if (child >= count) break;
    if (child + 1 < count && before(heap[child + 1], heap[child])) ++child;
    if (!before(heap[child], moving)) break;
    heap[i] = heap[child];
    i = child;
  }
  heap[i] = moving;
}

}  // namespace

// Only the elements whose sample may change are read: every other one shows the sample its
// value buffer holds, inside the block it was read in, which a read would neither copy nor
// check again. They come in element order, so the first failing element is the one reported.
uint32_t zekbin_input::readCycle(void) {
  ZekbinReader &r = g_reader;
  int32_t row = r.currentRow;
  // No element, no row to find; and rows are numbered in 32 bits.
  if (r.elementCount == 0 || row == INT32_MAX) return ZEKBIN_READ_END;
  ZekbinWake *heap = r.wakes;
  while (heap[0].row <= row) {
    ZekbinElementLookup &lookup = r.elementLookups[heap[0].element];
    catchUp(lookup, row);
    bool found;
    if (!readElement(lookup, lookup.size, row, lookup.value, &found)) return ZEKBIN_READ_OUTSIDE;
    if (!found) return ZEKBIN_READ_END;
    heap[0].row = nextRead(lookup, row);
    siftDown(heap, r.elementCount);
  }
  r.currentRow = row + 1;
  return ZEKBIN_READ_OK;
}

void zekbin_initLookupState(ZekbinLookupState *s, const uint8_t *repetitions, int32_t count) {
  s->repetitions = count > 0 ? repetitions : nullptr;
  s->repetitionCount = count > 0 ? count : 0;
  for (uint32_t k = 0; k < ZEKBIN_RING_SLOTS; ++k) s->slots[k] = ZekbinCacheSlot{ZEKBIN_EMPTY_ROW, 0, 0, 0, 0};
  // Row 0 shows sample 0; the fresh samples and repeats up to the first entry follow from it.
  ZekbinCacheSlot &seed = s->slots[ZEKBIN_SEED_SLOT];
  seed = ZekbinCacheSlot{0, 0, 0, INT32_MAX, 0};
  if (s->repetitionCount > 0) {
    ZekbinRepetition first = zekbin_repetitionAt(s->repetitions, 0);
    seed.samplesLeft = (int64_t)first.sample - 1;
    seed.repeatsLeft = (int64_t)first.row - first.sample;
  }
  s->cursor = 1;
}

int64_t zekbin_findSampleIndex(ZekbinLookupState *s, int32_t row) {
  int32_t n = s->repetitionCount;
  if (n <= 0) return row;
  // 2. A cached row, or the nearest cached row below. In a sequential read the slot written
  // last holds the row before.
  const ZekbinCacheSlot *d = nullptr;
  const ZekbinCacheSlot *latest = &s->slots[(s->cursor + ZEKBIN_RING_SLOTS - 1) % ZEKBIN_RING_SLOTS];
  if (row != 0 && (int64_t)latest->row + 1 == row) {
    d = latest;
  } else if (row != 0) {
    for (uint32_t k = 0; k < ZEKBIN_RING_SLOTS; ++k) {
      if (s->slots[k].row == row) {
        s->cursor = (k + 1) % ZEKBIN_RING_SLOTS;
        return s->slots[k].sample;
      }
    }
    for (uint32_t k = 0; k <= ZEKBIN_SEED_SLOT; ++k)
      if (s->slots[k].row < row && (d == nullptr || s->slots[k].row > d->row)) d = &s->slots[k];
  } else {
    d = &s->slots[ZEKBIN_SEED_SLOT];
  }
  // 3. The row after a cached one: its counters tell.
  if (d != nullptr && (int64_t)row == (int64_t)d->row + 1) {
    ZekbinCacheSlot from = *d;
    if (from.samplesLeft >= 1) {
      int64_t result = from.sample + 1;
      storeSlot(s, ZekbinCacheSlot{row, from.entry, result, from.samplesLeft - 1, from.repeatsLeft});
      return result;
    }
    if (from.repeatsLeft < 1) {
      if (from.entry >= 0 && from.entry < n) {
        int64_t result = zekbin_repetitionAt(s->repetitions, (uint32_t)from.entry).sample;
        cacheSampleIndex(s, row, from.entry, result);
        return result;
      }
    } else {
      storeSlot(s, ZekbinCacheSlot{row, from.entry, from.sample, from.samplesLeft, from.repeatsLeft - 1});
      return from.sample;
    }
  }
  // 4. Binary search of the entries from the nearest cached row on.
  uint32_t from = d != nullptr && d->entry >= 0 && d->entry <= n ? (uint32_t)d->entry : 0;
  int64_t entry;
  int64_t result = zekbin_sampleIndexFrom(s->repetitions, (uint32_t)n, from, row, &entry);
  cacheSampleIndex(s, row, entry, result);
  return result;
}

uint32_t zekbin_nextBlock(void) {
  if (g_reader.currentRow < 0) return ZEKBIN_READ_REJECTED;
  uint32_t result = readCycle();
  if (result == ZEKBIN_READ_END || result == ZEKBIN_READ_OUTSIDE) g_reader.currentRow = -1;
  return result;
}
