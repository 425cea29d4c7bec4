// The console runner's input reader over the whole file in memory. The layout
// comes from the record-file codec (zekbin_format.h); this unit adds what a row-by-row reader
// needs: the checks of every list against the file, the element lookups and the row cache.
#include "zekbin_reader.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zek_common.h"
#include "zek_platform.h"
#include "zekbin_format.h"

namespace {

// The lookups of one element: one state per block of the element.
struct ZekbinElementLookup {
  uint32_t blockCount;
  ZekbinLookupState *blocks;
  int64_t chunkTablePosition;
  uint32_t lastBlock;   // the block of the row read last: the next row's first guess
  int64_t lastSample;   // the sample in the value buffer (-1: none yet); the same sample is not copied again
};

struct ZekbinCachedBlock {
  int64_t position;
  ZekbinBlockInfo info;
};

struct ZekbinReader {
  uint8_t *owned;  // the file's bytes when the reader read the file itself
  const uint8_t *data;
  uint64_t fileSize;
  ZekbinHeader header;
  uint16_t enumSetCount;
  ZekbinEnumSet *enumSets;  // views into the file's bytes
  uint16_t eventDeclCount;
  ZekbinEventDecl *eventDecls;
  uint32_t variableCount;
  ZekbinVariable **variables;
  int32_t currentRow;
  bool opened;      // a header was read
  bool handedOut;   // the variables were handed out
  // Element lookups, keyed by the variable's index: lookups[v] holds its elementCount entries.
  ZekbinElementLookup **lookups;
  ZekbinElementLookup *elementLookups;  // every element, variable after variable
  uint64_t elementCount;
  ZekbinLookupState *states;  // every element's block states
  uint64_t stateCount;
  // Block records already read, ascending by file position.
  ZekbinCachedBlock *blocks;
  uint64_t blockCount;
  uint64_t blockCapacity;
  char message[2048];
};

ZekbinReader g_reader = {nullptr, nullptr, 0, {}, 0, nullptr, 0, nullptr, 0, nullptr, -1, false, false,
                         nullptr, nullptr, 0, nullptr, 0, nullptr, 0, 0, {}};

FILE *g_messages = stderr;

constexpr uint32_t kMinSignalDeclSize = ZEKBIN_SIGNAL_DECL_FIXED_SIZE + 1;  // empty name
constexpr uint32_t kMinEnumSetSize = 3;
constexpr uint32_t kMinEventDeclSize = 3;
constexpr uint32_t kPositionSize = 8;

ZEK_PRINTF_LIKE(1, 2) void report(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_reader.message, sizeof g_reader.message, format, args);
  va_end(args);
  if (g_messages != nullptr) std::fprintf(g_messages, "[ERROR]: %s\n", g_reader.message);
}

// A read of n bytes at pos that does not fit the file: the location shown is where it starts
// when that lies outside the file, else the first location beyond the file that it needs.
void reportOutside(int64_t pos) {
  int64_t location = pos >= 0 && (uint64_t)pos < g_reader.fileSize ? (int64_t)g_reader.fileSize : pos;
  report("Accessing location outside of file. File size: %lu vs. location %lld.", (unsigned long)g_reader.fileSize,
         (long long)location);
}

bool inFile(int64_t pos, uint64_t n) {
  return pos >= 0 && (uint64_t)pos <= g_reader.fileSize && n <= g_reader.fileSize - (uint64_t)pos;
}

// Checks that n bytes at pos lie in the file; reports them otherwise.
bool checkRange(int64_t pos, uint64_t n) {
  if (inFile(pos, n)) return true;
  reportOutside(pos);
  return false;
}

ZekbinCursor cursorAt(int64_t pos) {
  return zekbin_cursor(g_reader.data, g_reader.fileSize, pos >= 0 ? (uint64_t)pos : UINT64_MAX);
}

const char *formatSystemError(void) {
  static char text[1024];
  plat_error_text(plat_last_error(), text, sizeof text);
  return text;
}

void freeVariable(ZekbinVariable *v) {
  if (v == nullptr) return;
  std::free(v->name);
  std::free(v->value);
  std::free(v->scaling);
  std::free(v->externalName);
  std::free(v->dims);
  std::free(v->attributes);
  std::free(v);
}

// The variable of one declaration; null when its name or value buffer cannot be had. Optional
// parts that cannot be had are reported and left absent.
ZekbinVariable *makeVariable(const ZekbinSignalDecl &d) {
  ZekbinVariable *v = (ZekbinVariable *)std::calloc(1, sizeof(ZekbinVariable));
  if (v == nullptr) return nullptr;
  uint32_t missing = zekbin_takeSignalDecl(v, d);
  v->heapOffset = (int32_t)d.heapOffset;
  uint64_t bytes = (uint64_t)v->elementCount * v->elementSize;
  v->value = (uint8_t *)std::calloc(bytes > 0 ? (size_t)bytes : 1, 1);
  if ((missing & ZEKBIN_PART_NAME) || v->value == nullptr) {
    freeVariable(v);
    return nullptr;
  }
  if (missing & ZEKBIN_PART_SCALING) report("Unable to allocate memory for 4 scaling coefficients.");
  if (missing & ZEKBIN_PART_EXTERNAL_NAME)
    report("Unable to allocate memory for external name  %.*s", (int)d.externalNameLength, d.externalName);
  if (missing & ZEKBIN_PART_DIMENSIONS)
    report("Unable to allocate memory for %d dimension-declarations  \n", (int)d.dimCount);
  if (missing & ZEKBIN_PART_ATTRIBUTES)
    report("Unable to allocate memory of %d bytes for attributes\n", (int)d.attributesLength);
  return v;
}

// The block record at pos, read once and kept in the block cache.
bool readBlockInfo(int64_t pos, ZekbinBlockInfo *out) {
  uint64_t lo = 0, hi = g_reader.blockCount;
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo) / 2;
    if (g_reader.blocks[mid].position < pos) lo = mid + 1;
    else hi = mid;
  }
  if (lo < g_reader.blockCount && g_reader.blocks[lo].position == pos) {
    *out = g_reader.blocks[lo].info;
    return true;
  }
  ZekbinCursor c = cursorAt(pos);
  ZekbinBlockRecord r;
  if (zekbin_decodeBlockRecord(&c, &r) != ZEKBIN_DECODE_OK) {
    reportOutside(c.pos == UINT64_MAX ? pos : (int64_t)c.pos);
    return false;
  }
  ZekbinBlockInfo info{};
  info.kind = r.kind;
  info.firstRow = r.firstRow;
  info.name = r.name;
  // The two constant bytes lie right before the name.
  info.constant[0] = (uint8_t)r.name[-2];
  info.constant[1] = (uint8_t)r.name[-1];
  if (r.kind == ZEKBIN_BLOCK_CYCLE_INDEXED) {
    info.firstTime = r.firstTime;
    info.rowCount = r.rowCount;
    info.step = r.step;
    info.endTime = (int64_t)((uint64_t)r.firstTime + (uint64_t)(int64_t)r.rowCount * (uint64_t)r.step);
  } else if (r.kind == ZEKBIN_BLOCK_TIME_STAMPED) {
    info.blockIndex = r.blockNumber;
    int64_t table = g_reader.header.blockTablePosition;
    if (r.blockNumber < 0 || !inFile(table, 0)) {
      reportOutside(table);
      return false;
    }
    int64_t entry = table + (int64_t)ZEKBIN_BLOCK_TABLE_ENTRY_SIZE * r.blockNumber;
    if (!checkRange(entry, ZEKBIN_BLOCK_TABLE_ENTRY_SIZE)) return false;
    info.rowCount = zek_load_as<int32_t>(g_reader.data + entry + 8);
  }
  if (info.rowCount < 0) {
    report("Invalid block record at location %lld.", (long long)pos);
    return false;
  }
  if (g_reader.blockCount == g_reader.blockCapacity) {
    uint64_t capacity = g_reader.blockCapacity == 0 ? 4 : g_reader.blockCapacity * 2;
    ZekbinCachedBlock *grown = (ZekbinCachedBlock *)std::realloc(g_reader.blocks, (size_t)capacity * sizeof *grown);
    if (grown == nullptr) {
      report("Memory allocation failed for the block records.");
      return false;
    }
    g_reader.blocks = grown;
    g_reader.blockCapacity = capacity;
  }
  std::memmove(g_reader.blocks + lo + 1, g_reader.blocks + lo, (size_t)(g_reader.blockCount - lo) * sizeof(ZekbinCachedBlock));
  g_reader.blocks[lo] = ZekbinCachedBlock{pos, info};
  ++g_reader.blockCount;
  *out = info;
  return true;
}

void setUpLookupState(ZekbinLookupState *s, uint32_t baseType, int64_t indexPosition, const ZekbinElementIndex &index,
                      const ZekbinBlockInfo &block, int64_t blockStart) {
  *s = ZekbinLookupState{};
  s->baseType = baseType;
  s->indexPosition = indexPosition;
  s->block = block;
  s->blockStart = blockStart;
  s->blockEnd = blockStart + block.rowCount;
  zekbin_initLookupState(s, index.repetitionCount > 0 ? g_reader.data + index.repetitionPosition : nullptr,
                         index.repetitionCount);
}

// Step 6 of the header: the element index records, their lists and their blocks.
bool readElementLookups(void) {
  ZekbinReader &r = g_reader;
  if (r.elementCount == 0) return true;  // nothing to look up (variables without elements)
  r.elementLookups = (ZekbinElementLookup *)std::calloc((size_t)r.elementCount, sizeof(ZekbinElementLookup));
  r.lookups = (ZekbinElementLookup **)std::calloc(r.variableCount, sizeof(ZekbinElementLookup *));
  if (r.elementLookups == nullptr || r.lookups == nullptr) {
    report("Memory allocation failed for the element lookups.");
    return false;
  }
  // First pass: the index records and their lists; the number of block states.
  uint64_t e = 0;
  for (uint32_t v = 0; v < r.variableCount; ++v) {
    r.lookups[v] = r.elementLookups + e;
    for (uint32_t k = 0; k < r.variables[v]->elementCount; ++k, ++e) {
      int64_t pos = r.header.indexPosition + (int64_t)(ZEKBIN_ELEMENT_INDEX_SIZE * e);
      ZekbinCursor c = cursorAt(pos);
      ZekbinElementIndex index;
      if (zekbin_decodeElementIndex(&c, &index) != ZEKBIN_DECODE_OK) {
        reportOutside(pos);
        return false;
      }
      if (index.repetitionCount < 0 || index.blockCount < 0) {
        report("Invalid element index record of element %llu.", (unsigned long long)e);
        return false;
      }
      if (index.repetitionCount > 0 &&
          !checkRange(index.repetitionPosition, (uint64_t)index.repetitionCount * ZEKBIN_REPETITION_SIZE))
        return false;
      if (index.blockCount > 0 && !checkRange(index.blockListPosition, (uint64_t)index.blockCount * kPositionSize))
        return false;
      r.stateCount += (uint64_t)index.blockCount;
      // A file holds no more element-block pairs than it has positions' worth of bytes.
      if (r.stateCount > r.fileSize / kPositionSize) {
        report("Invalid element index record of element %llu.", (unsigned long long)e);
        return false;
      }
      r.elementLookups[e].blockCount = (uint32_t)index.blockCount;
      r.elementLookups[e].chunkTablePosition = index.chunkTablePosition;
      r.elementLookups[e].lastSample = -1;
    }
  }
  if (r.stateCount > 0) {
    r.states = (ZekbinLookupState *)std::calloc((size_t)r.stateCount, sizeof(ZekbinLookupState));
    if (r.states == nullptr) {
      report("Memory allocation failed for the element lookups.");
      return false;
    }
  }
  // Second pass: the block records and the lookup state of every element and block.
  uint64_t next = 0;
  e = 0;
  for (uint32_t v = 0; v < r.variableCount; ++v) {
    for (uint32_t k = 0; k < r.variables[v]->elementCount; ++k, ++e) {
      int64_t pos = r.header.indexPosition + (int64_t)(ZEKBIN_ELEMENT_INDEX_SIZE * e);
      ZekbinCursor c = cursorAt(pos);
      ZekbinElementIndex index;
      zekbin_decodeElementIndex(&c, &index);
      ZekbinElementLookup &lookup = r.elementLookups[e];
      lookup.blocks = r.states + next;
      int64_t blockStart = 0;
      for (uint32_t j = 0; j < lookup.blockCount; ++j) {
        int64_t blockPos = zek_load_as<int64_t>(r.data + index.blockListPosition + (int64_t)kPositionSize * j);
        ZekbinBlockInfo info;
        if (!readBlockInfo(blockPos, &info)) return false;
        setUpLookupState(&lookup.blocks[j], r.variables[v]->baseType, pos, index, info, blockStart);
        blockStart += info.rowCount;
      }
      next += lookup.blockCount;
    }
  }
  return true;
}

void releaseAll(void) {
  ZekbinReader &r = g_reader;
  for (uint32_t v = 0; v < r.variableCount && r.variables != nullptr; ++v) freeVariable(r.variables[v]);
  std::free(r.variables);
  std::free(r.enumSets);
  std::free(r.eventDecls);
  std::free(r.lookups);
  std::free(r.elementLookups);
  std::free(r.states);
  std::free(r.blocks);
  std::free(r.owned);
  r = ZekbinReader{};
  r.currentRow = -1;
}

// The count of a list whose records take at least minSize bytes each, bounded by what is left
// of the file, and a zeroed array for the records.
template <typename Count, typename T>
bool readCount(ZekbinCursor *c, uint32_t minSize, const char *memoryMessage, Count *count, T **array) {
  const uint8_t *bytes = nullptr;
  if (!zekbin_getBytes(c, sizeof(Count), &bytes)) {
    reportOutside((int64_t)c->pos);
    return false;
  }
  std::memcpy(count, bytes, sizeof(Count));
  if ((uint64_t)*count * minSize > g_reader.fileSize - c->pos) {
    reportOutside((int64_t)c->pos);
    return false;
  }
  *array = (T *)std::calloc(*count > 0 ? (size_t)*count : 1, sizeof(T));
  if (*array == nullptr) {
    report("%s", memoryMessage);
    return false;
  }
  return true;
}

uint32_t readHeader(uint32_t *count) {
  ZekbinReader &r = g_reader;
  ZekbinCursor c = cursorAt(0);
  // 1. The magic; a file shorter than it shows zero bytes.
  uint8_t magic[ZEKBIN_MAGIC_SIZE] = {};
  const uint8_t *bytes = nullptr;
  if (zekbin_getBytes(&c, ZEKBIN_MAGIC_SIZE, &bytes)) std::memcpy(magic, bytes, ZEKBIN_MAGIC_SIZE);
  else reportOutside(0);
  if (zekbin_magicKind(magic) == 0) {
    report("Invalid magic key: %.6s", (const char *)magic);
    return ZEKBIN_READ_REJECTED;
  }
  // 2.-3. Version and the fixed fields; later versions are read with the version-9 layout.
  c = cursorAt(0);
  if (zekbin_decodeHeaderFixed(&c, &r.header) != ZEKBIN_DECODE_OK) {
    if (r.fileSize > ZEKBIN_OFFSET_VERSION && r.data[ZEKBIN_OFFSET_VERSION] < ZEKBIN_VERSION) {
      report("ZEKBIN version %i not supported. Only version 9 and later.", (int)r.data[ZEKBIN_OFFSET_VERSION]);
      return ZEKBIN_READ_REJECTED;
    }
    reportOutside((int64_t)c.pos);
    return ZEKBIN_READ_REJECTED;
  }
  if (r.header.version < ZEKBIN_VERSION) {
    report("ZEKBIN version %i not supported. Only version 9 and later.", (int)r.header.version);
    return ZEKBIN_READ_REJECTED;
  }
  if (r.header.laterChunkSize == 0) {
    report("Invalid chunk sizes %u and %u.", r.header.firstChunkSize, r.header.laterChunkSize);
    return ZEKBIN_READ_REJECTED;
  }
  // 4. Enum sets and event declarations: kept as views into the file's bytes.
  uint16_t n16 = 0;
  if (!readCount(&c, kMinEnumSetSize, "Memory allocation failed for the enumeration sets.", &n16, &r.enumSets))
    return ZEKBIN_READ_REJECTED;
  for (r.enumSetCount = 0; r.enumSetCount < n16; ++r.enumSetCount) {
    uint64_t at = c.pos;
    int32_t d = zekbin_decodeEnumSet(&c, &r.enumSets[r.enumSetCount]);
    if (d == ZEKBIN_DECODE_BAD_TYPE) {
      report("Invalid base type %u of enumeration set %u.", (unsigned)r.enumSets[r.enumSetCount].baseType,
             (unsigned)r.enumSetCount);
      return ZEKBIN_READ_REJECTED;
    }
    if (d != ZEKBIN_DECODE_OK) {
      reportOutside((int64_t)(c.pos > at ? c.pos : at));
      return ZEKBIN_READ_REJECTED;
    }
  }
  if (!readCount(&c, kMinEventDeclSize, "Memory allocation failed for the event declarations.", &n16, &r.eventDecls))
    return ZEKBIN_READ_REJECTED;
  for (r.eventDeclCount = 0; r.eventDeclCount < n16; ++r.eventDeclCount) {
    if (zekbin_decodeEventDecl(&c, &r.eventDecls[r.eventDeclCount]) != ZEKBIN_DECODE_OK) {
      reportOutside((int64_t)c.pos);
      return ZEKBIN_READ_REJECTED;
    }
  }
  // 5. The signal declarations.
  uint32_t n32 = 0;
  if (!readCount(&c, kMinSignalDeclSize, "Memory allocation failed for variable.", &n32, &r.variables))
    return ZEKBIN_READ_REJECTED;
  // Every element has a 32-byte index record at the index-records position.
  int64_t indexPos = r.header.indexPosition;
  uint64_t indexRoom = indexPos >= 0 && (uint64_t)indexPos <= r.fileSize ? r.fileSize - (uint64_t)indexPos : 0;
  for (r.variableCount = 0; r.variableCount < n32; ++r.variableCount) {
    ZekbinSignalDecl d;
    int32_t result = zekbin_decodeSignalDecl(&c, nullptr, &d);
    if (result == ZEKBIN_DECODE_EMPTY_ATTRIBUTES) {
      report("Invalid attribute list of signal %u.", r.variableCount);
      return ZEKBIN_READ_REJECTED;
    }
    if (result != ZEKBIN_DECODE_OK) {
      reportOutside((int64_t)c.pos);
      return ZEKBIN_READ_REJECTED;
    }
    uint64_t elements = r.elementCount + d.elementCount;
    if (elements * ZEKBIN_ELEMENT_INDEX_SIZE > indexRoom) {
      reportOutside(indexPos);
      return ZEKBIN_READ_REJECTED;
    }
    uint8_t size = zek_baseTypeSizeOf(d.baseType);
    if (size > 0 && (r.header.firstChunkSize % size != 0 || r.header.laterChunkSize % size != 0)) {
      report("Invalid chunk sizes %u and %u.", r.header.firstChunkSize, r.header.laterChunkSize);
      return ZEKBIN_READ_REJECTED;
    }
    ZekbinVariable *v = makeVariable(d);
    if (v == nullptr) {
      report("Memory allocation failed for variable.");
      return ZEKBIN_READ_REJECTED;
    }
    r.variables[r.variableCount] = v;
    r.elementCount = elements;
  }
  // The tables of a finished file lie behind the header; a file that was never finished
  // holds zeros there.
  if (r.header.indexPosition < (int64_t)c.pos || r.header.eventListPosition < (int64_t)c.pos) {
    report("The recording is incomplete: its header holds no table positions.");
    return ZEKBIN_READ_REJECTED;
  }
  // 6. The element lookups.
  if (!readElementLookups()) return ZEKBIN_READ_REJECTED;
  // The event-record position list closes the file: a file cut short lacks it.
  if (!checkRange(r.header.eventListPosition, 4)) return ZEKBIN_READ_REJECTED;
  uint32_t eventRecords = zek_load_as<uint32_t>(r.data + r.header.eventListPosition);
  if (!checkRange(r.header.eventListPosition + 4, (uint64_t)eventRecords * kPositionSize)) return ZEKBIN_READ_REJECTED;
  // 7.
  *count = r.variableCount;
  r.currentRow = -1;
  r.opened = true;
  return ZEKBIN_READ_OK;
}

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

uint32_t readCycle(void) {
  ZekbinReader &r = g_reader;
  int32_t row = r.currentRow;
  // No element, no row to find; and rows are numbered in 32 bits.
  if (r.elementCount == 0 || row == INT32_MAX) return ZEKBIN_READ_END;
  for (uint32_t v = 0; v < r.variableCount; ++v) {
    ZekbinVariable *var = r.variables[v];
    ZekbinElementLookup *lookups = r.lookups[v];
    for (uint32_t k = 0; k < var->elementCount; ++k) {
      bool found;
      if (!readElement(lookups[k], var->elementSize, row, var->value + (size_t)k * var->elementSize, &found))
        return ZEKBIN_READ_OUTSIDE;
      if (!found) return ZEKBIN_READ_END;
    }
  }
  r.currentRow = row + 1;
  return ZEKBIN_READ_OK;
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

uint32_t zekbin_openMemory(const uint8_t *data, uint64_t size, uint32_t *count) {
  zekbin_close();
  if (count != nullptr) *count = 0;
  g_reader.data = size > 0 ? data : nullptr;
  g_reader.fileSize = data != nullptr ? size : 0;
  uint32_t n = 0;
  uint32_t result = readHeader(&n);
  if (result != ZEKBIN_READ_OK) {
    zekbin_close();
    return result;
  }
  if (count != nullptr) *count = n;
  return ZEKBIN_READ_OK;
}

uint32_t zekbin_open(const char *path, uint32_t *count) {
  zekbin_close();
  if (count != nullptr) *count = 0;
  // A private copy, not a mapping: another process that shortens the file while rows are
  // read cannot pull pages from under the reader.
  uint8_t *data = nullptr;
  uint64_t size = 0;
  if (plat_file_read_all(path, &data, &size) != PLAT_FILE_OK) {
    report("%s", formatSystemError());
    return ZEKBIN_READ_NO_FILE;
  }
  uint32_t result = zekbin_openMemory(data, size, count);
  if (result == ZEKBIN_READ_OK) g_reader.owned = data;
  else std::free(data);
  return result;
}

ZekbinVariable **zekbin_getVariables(uint32_t *count) {
  if (!g_reader.opened || g_reader.handedOut) {
    if (count != nullptr) *count = 0;
    return nullptr;
  }
  g_reader.handedOut = true;
  g_reader.currentRow = 0;
  if (count != nullptr) *count = g_reader.variableCount;
  return g_reader.variables;
}

uint32_t zekbin_nextBlock(void) {
  if (g_reader.currentRow < 0) return ZEKBIN_READ_REJECTED;
  uint32_t result = readCycle();
  if (result == ZEKBIN_READ_END || result == ZEKBIN_READ_OUTSIDE) g_reader.currentRow = -1;
  return result;
}

void zekbin_close(void) { releaseAll(); }

uint64_t zekbin_variableByteSize(const ZekbinVariable *variable) {
  return (uint64_t)variable->elementCount * variable->elementSize;
}

void zekbin_setMessageStream(FILE *stream) { g_messages = stream; }

uint8_t zekbin_fileVersion(void) { return g_reader.header.version; }
uint8_t zekbin_fileSutSynchronous(void) { return g_reader.header.sutSynchronous; }
