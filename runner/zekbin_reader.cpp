// The console runner's input reader over the whole file in memory: the header walk. The
// layout comes from the record-file codec (zekbin_format.h); the reader adds what a row-by-row
// reader needs: the checks of every list against the file, the element lookups and the row
// cache (zekbin_reader_rows.cpp) over the block cache (zekbin_reader_blocks.cpp).
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zek_common.h"
#include "zek_platform.h"
#include "zekbin_format.h"
#include "zekbin_reader_parts.h"

namespace zekbin_input {

ZekbinReader g_reader = {nullptr, nullptr, 0, {}, 0, nullptr, 0, nullptr, 0, nullptr, -1, false, false,
                         nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr, 0, 0, {}};

FILE *g_messages = stderr;

void report(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_reader.message, sizeof g_reader.message, format, args);
  va_end(args);
  if (g_messages != nullptr) std::fprintf(g_messages, "[ERROR]: %s\n", g_reader.message);
}

void reportOutside(int64_t pos) {
  int64_t location = pos >= 0 && (uint64_t)pos < g_reader.fileSize ? (int64_t)g_reader.fileSize : pos;
  report("Accessing location outside of file. File size: %llu vs. location %lld.", (unsigned long long)g_reader.fileSize,
         (long long)location);
}

}  // namespace zekbin_input

using namespace zekbin_input;

namespace {

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
  r.wakes = (ZekbinWake *)std::calloc((size_t)r.elementCount, sizeof(ZekbinWake));
  if (r.elementLookups == nullptr || r.lookups == nullptr || r.wakes == nullptr) {
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
      r.elementLookups[e].value = r.variables[v]->value + (size_t)k * r.variables[v]->elementSize;
      r.elementLookups[e].size = r.variables[v]->elementSize;
      // Every element is read in row 0; equal rows in element order are already a heap.
      r.wakes[e] = ZekbinWake{0, e};
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
  std::free(r.wakes);
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

}  // namespace

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

void zekbin_close(void) { releaseAll(); }

uint64_t zekbin_variableByteSize(const ZekbinVariable *variable) {
  return (uint64_t)variable->elementCount * variable->elementSize;
}

void zekbin_setMessageStream(FILE *stream) { g_messages = stream; }

uint8_t zekbin_fileVersion(void) { return g_reader.header.version; }
uint8_t zekbin_fileSutSynchronous(void) { return g_reader.header.sutSynchronous; }
