// The parameter-file reader. The file is read whole into memory and decoded through a bounded
// cursor, so no count or position taken from the file can reach past its real end.
#include "zekbin_paramfile.h"

#include <cstdlib>
#include <cstring>

#include "zek_common.h"
#include "zek_platform.h"
#include "zekbin_format.h"

namespace {

struct ZekbinParameterFile {
  ChannelDecl *table;
  uint32_t count;
};

ZekbinParameterFile g_file;

// The smallest SignalDeclRecord: the fixed part and an empty name.
constexpr uint64_t kMinSignalDeclSize = ZEKBIN_SIGNAL_DECL_FIXED_SIZE + 1;

void releaseChannel(ChannelDecl *c) {
  std::free((void *)c->name);
  std::free(c->value);
  std::free(c->scaling);
  std::free((void *)c->externalName);
  std::free(c->dims);
  std::free((void *)c->attributes);
}

void releaseTable(void) {
  for (uint32_t i = 0; i < g_file.count; ++i) releaseChannel(&g_file.table[i]);
  std::free(g_file.table);
  g_file = ZekbinParameterFile{};
}

// Fills a cleared record from a declaration; false when a copy cannot be had.
bool zekbinFile_readVariableData(ChannelDecl *c, const ZekbinSignalDecl *d) {
  if (zekbin_takeSignalDecl(c, *d) != 0) return false;
  uint64_t bytes = (uint64_t)d->elementCount * c->elementSize;
  return bytes == 0 || (c->value = (uint8_t *)std::calloc(1, (size_t)bytes)) != nullptr;
}

// One declaration; its elements must all have an index record in the file, so an element count
// beyond what the file can hold fails before the value buffer is allocated.
bool zekbinFile_readVariableHeader(ZekbinCursor *c, ChannelDecl *record, uint64_t *elements) {
  ZekbinSignalDecl d;
  if (zekbin_decodeSignalDecl(c, &ZEKBIN_PARAMETER_LIMITS, &d) != ZEKBIN_DECODE_OK) return false;
  if (!zek_isValidBaseType(d.baseType)) return false;
  *elements += d.elementCount;
  if (*elements * ZEKBIN_ELEMENT_INDEX_SIZE > c->size) return false;
  return zekbinFile_readVariableData(record, &d);
}

bool skipEnumSets(ZekbinCursor *c) {
  uint16_t count;
  if (!zekbin_getU16(c, &count)) return false;
  for (uint16_t i = 0; i < count; ++i) {
    ZekbinEnumSet set;
    int32_t r = zekbin_decodeEnumSet(c, &set);
    if (r == ZEKBIN_DECODE_BAD_TYPE) zek_getBaseTypeSize(set.baseType);  // raises 18
    if (r != ZEKBIN_DECODE_OK) return false;
  }
  return true;
}

// The row-0 value of every element: the first sample of its first chunk. The chunk table and
// the chunk must lie in the data area [dataStart, dataEnd).
bool readValues(const uint8_t *data, uint64_t size, uint64_t dataStart, uint64_t dataEnd) {
  ZekbinCursor index = zekbin_cursor(data, size, dataEnd);
  for (uint32_t i = 0; i < g_file.count; ++i) {
    ChannelDecl *c = &g_file.table[i];
    for (uint32_t k = 0; k < c->elementCount; ++k) {
      ZekbinElementIndex e;
      if (zekbin_decodeElementIndex(&index, &e) != ZEKBIN_DECODE_OK) return false;
      if (e.blockCount <= 0) return false;  // no rows: there is no value
      uint64_t table = (uint64_t)e.chunkTablePosition;
      if (e.chunkTablePosition < 0 || table < dataStart || table > dataEnd || dataEnd - table < 8) return false;
      int64_t first = zek_load_as<int64_t>(data + table);
      uint64_t chunk = (uint64_t)first;
      if (first < 0 || chunk < dataStart || chunk > dataEnd || dataEnd - chunk < c->elementSize) return false;
      std::memcpy(c->value + (size_t)k * c->elementSize, data + chunk, c->elementSize);
    }
  }
  return true;
}

// The event-record position list closes a finished file: a file cut anywhere before its end
// lacks part of it.
bool eventListIsComplete(const uint8_t *data, uint64_t size, uint64_t indexEnd, int64_t position) {
  if (position < 0 || (uint64_t)position < indexEnd) return false;
  ZekbinCursor c = zekbin_cursor(data, size, (uint64_t)position);
  uint32_t count;
  return zekbin_getU32(&c, &count) && zekbin_skip(&c, (uint64_t)count * sizeof(int64_t));
}

// zekbinFile_readHeader: the whole file.
bool readFile(const uint8_t *data, uint64_t size, uint32_t *count) {
  ZekbinCursor c = zekbin_cursor(data, size, 0);
  ZekbinHeader h;
  if (zekbin_decodeHeaderFixed(&c, &h) != ZEKBIN_DECODE_OK || zekbin_magicKind(h.magic) == 0) return false;
  if (h.version != ZEKBIN_VERSION || !skipEnumSets(&c)) return false;
  uint16_t eventCount;
  uint32_t n;
  if (!zekbin_getU16(&c, &eventCount) || eventCount != 0 || !zekbin_getU32(&c, &n)) return false;
  *count = n;
  if (n > (size - c.pos) / kMinSignalDeclSize) return false;
  if (n > 0 && (g_file.table = (ChannelDecl *)std::calloc(n, sizeof(ChannelDecl))) == nullptr) return false;
  uint64_t elements = 0;
  for (uint32_t i = 0; i < n; ++i) {
    g_file.count = i + 1;  // from here on the record's copies are released with the table
    if (!zekbinFile_readVariableHeader(&c, &g_file.table[i], &elements)) return false;
  }
  // The index records follow the declarations; a header that was never patched (position 0)
  // is an unfinished file, also when it declares nothing.
  if (h.indexPosition < 0 || (uint64_t)h.indexPosition < c.pos) return false;
  if (n == 0) return true;
  if ((uint64_t)h.indexPosition > size) return false;
  uint64_t indexPosition = (uint64_t)h.indexPosition;
  if (elements > (size - indexPosition) / ZEKBIN_ELEMENT_INDEX_SIZE) return false;
  return readValues(data, size, c.pos, indexPosition) &&
         eventListIsComplete(data, size, indexPosition + elements * ZEKBIN_ELEMENT_INDEX_SIZE, h.eventListPosition);
}

}  // namespace

uint8_t zekbinFile_typeSize(uint32_t baseType) { return zek_baseTypeSizeOf(baseType); }

int32_t zekbinFile_readFromMemory(const uint8_t *data, uint64_t size, uint32_t *count) {
  releaseTable();
  uint32_t declared = 0;
  bool ok = data != nullptr && readFile(data, size, &declared);
  if (!ok) releaseTable();
  if (count != nullptr) *count = ok ? declared : 0;
  return ok ? 0 : 1;
}

int32_t zekbinFile_readFrom(FILE *stream, uint32_t *count) {
  releaseTable();
  if (count != nullptr) *count = 0;
  if (stream == nullptr) return 1;
  uint64_t size = 0;
  uint8_t *data = nullptr;
  if (plat_stream_read_all(stream, &data, &size) != PLAT_FILE_OK) return 1;
  int32_t result = zekbinFile_readFromMemory(data, size, count);
  std::free(data);
  return result;
}

ChannelDecl *zekbinFile_getVariables(void) { return g_file.table; }
