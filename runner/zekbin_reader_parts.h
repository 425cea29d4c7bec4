#pragma once
// The input reader's state and the checks its three parts share: the header walk
// (zekbin_reader.cpp), the block cache (zekbin_reader_blocks.cpp) and the rows with their row
// cache (zekbin_reader_rows.cpp). Private to the reader.
#include <cstdint>
#include <cstdio>

#include "zek_portability.h"
#include "zekbin_format.h"
#include "zekbin_reader.h"

namespace zekbin_input {

// The lookups of one element: one state per block of the element.
struct ZekbinElementLookup {
  uint32_t blockCount;
  ZekbinLookupState *blocks;
  int64_t chunkTablePosition;
  uint32_t lastBlock;   // the block of the row read last: the next row's first guess
  int64_t lastSample;   // the sample in the value buffer (-1: none yet); the same sample is not copied again
  uint8_t *value;       // the element's bytes in its variable's value buffer
  uint8_t size;         // the variable's element size
};

// When an element must be read next: the first row at which its sample may differ from the
// one in its value buffer, or its block ends. The rows before it show the buffer's sample.
struct ZekbinWake {
  int64_t row;
  uint64_t element;
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
  // Every element by its next row to read, a binary min-heap ordered by row and then element,
  // so that a row's reads come in element order.
  ZekbinWake *wakes;
  // Block records already read, ascending by file position.
  ZekbinCachedBlock *blocks;
  uint64_t blockCount;
  uint64_t blockCapacity;
  char message[2048];
};

// The one reader of the process.
extern ZekbinReader g_reader;
// Where the messages go.
extern FILE *g_messages;

inline constexpr uint32_t kMinSignalDeclSize = ZEKBIN_SIGNAL_DECL_FIXED_SIZE + 1;  // empty name
inline constexpr uint32_t kMinEnumSetSize = 3;
inline constexpr uint32_t kMinEventDeclSize = 3;
inline constexpr uint32_t kPositionSize = 8;

// Reports "[ERROR]: <text>" to the message stream and keeps the text.
ZEK_PRINTF_LIKE(1, 2) void report(const char *format, ...);

// A read at pos that does not fit the file: the location shown is where it starts when that
// lies outside the file, else the first location beyond the file that it needs.
void reportOutside(int64_t pos);

inline bool inFile(int64_t pos, uint64_t n) {
  return pos >= 0 && (uint64_t)pos <= g_reader.fileSize && n <= g_reader.fileSize - (uint64_t)pos;
}

// Checks that n bytes at pos lie in the file; reports them otherwise.
inline bool checkRange(int64_t pos, uint64_t n) {
  if (inFile(pos, n)) return true;
  reportOutside(pos);
  return false;
}

inline ZekbinCursor cursorAt(int64_t pos) {
  return zekbin_cursor(g_reader.data, g_reader.fileSize, pos >= 0 ? (uint64_t)pos : UINT64_MAX);
}

// The block record at pos, read once and kept in the block cache (ascending by position).
bool readBlockInfo(int64_t pos, ZekbinBlockInfo *out);

// Reads the row g_reader.currentRow into the value buffers: 0, 6 at the end, 7 outside.
uint32_t readCycle(void);

}  // namespace zekbin_input
