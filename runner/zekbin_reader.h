#pragma once
// The console runner's input reader: reads a recorded ZEKBIN file (version 9 and later,
// "ZEKBIN" or its pair-swapped magic, every number in the machine's own byte order) through a
// private copy of the whole file in memory, declares one ZekbinVariable per recorded signal,
// and then delivers the file's rows one after the other into the variables' value buffers.
//
// Calling order: zekbin_open; zekbin_getVariables; zekbin_nextBlock once per row until it
// returns 6; zekbin_close. One reader per process, no lock.
//
// The open checks the whole structure against the file size before anything is handed out:
// every count, list and position of the header and of the element index records must lie in
// the file, and so must the tail the writer puts last (the event-record position list), so a
// file cut short at any offset is refused. A row then reads only the element's chunk-table
// entry and sample, each checked again; a sample outside the file ends the data with result 7.
//
// Every message goes to standard error as "[ERROR]: <text>\n".
//
// Row lookup: row r of an element shows the sample its repetition list gives (the rule of the
// format); a ring of four cached rows per element and block answers the next row of a
// sequential read from its counters (fresh samples left, repeated rows left) without touching
// the list, and any other row by a binary search of the list from the nearest cached row.
#include <cstdint>
#include <cstdio>

// The results of zekbin_open and zekbin_nextBlock.
enum ZekbinReadResult : uint32_t {
  ZEKBIN_READ_OK = 0,
  ZEKBIN_READ_REJECTED = 1,    // open: the header or the file's structure is not acceptable;
                               // next block: there is no row to deliver (not handed out, ended)
  ZEKBIN_READ_NO_FILE = 5,     // open: the file cannot be opened or read
  ZEKBIN_READ_END = 6,         // next block: the data ended
  ZEKBIN_READ_OUTSIDE = 7,     // next block: a sample of the row lies outside the file
};

// One declared signal and the value buffer that every delivered row fills.
struct ZekbinVariable {
  char *name;
  int32_t id;
  int32_t heapOffset;
  uint32_t baseType;
  uint8_t elementSize;  // 1, 2, 4 or 8; 0 for an unknown base type
  uint32_t elementCount;
  uint8_t *value;  // elementCount * elementSize bytes, zeroed at creation
  // The six flag bits in the order of ChannelDecl's flag bytes (bits 0, 4, 1, 2, 3, 5).
  uint8_t flagBit0;
  uint8_t flagBit4;
  uint8_t recorded;
  uint8_t flagBit2;
  uint8_t isText;
  uint8_t needsNoPort;
  uint8_t role;
  double *scaling;  // 4 coefficients or null
  char *externalName;
  int16_t option2;  // -1 when absent
  uint8_t dimCount;
  uint32_t *dims;
  int16_t option4;  // -1 when absent
  int16_t option5;
  char *attributes;  // the list with its closing empty entry, or null
};

// A block record as read.
struct ZekbinBlockInfo {
  uint8_t kind;
  int32_t rowCount;
  int64_t firstTime;
  int64_t endTime;  // firstTime + rowCount * step; 0 for kind 1
  int64_t step;
  int32_t blockIndex;  // kind 1: its entry of the block table
  int32_t firstRow;
  uint8_t constant[2];
  const char *name;  // in the file's bytes
};

// One cached row of an element: the sample it shows and what the rows after it show.
struct ZekbinCacheSlot {
  int32_t row;
  int32_t entry;         // the next repetition entry (the first with a row above this one)
  int64_t sample;
  int64_t samplesLeft;   // fresh samples that follow before that entry applies
  int64_t repeatsLeft;   // rows after those that still show the last fresh sample
};

constexpr uint32_t ZEKBIN_RING_SLOTS = 4;
constexpr uint32_t ZEKBIN_SEED_SLOT = 4;  // row 0: sample 0, before the first entry
constexpr int32_t ZEKBIN_EMPTY_ROW = 2147483647;

// The lookup of one element in one block. The fields a sequential read touches come first.
struct ZekbinLookupState {
  uint32_t cursor;  // the ring slot written next (0..3)
  int32_t repetitionCount;
  const uint8_t *repetitions;  // the element's repetition list, in the file's bytes
  int64_t blockStart;  // the block's first row, counting the rows of the blocks before it
  int64_t blockEnd;    // blockStart + the block's row count
  ZekbinCacheSlot slots[5];
  uint32_t baseType;
  int64_t indexPosition;  // the element's ZekbinElementIndex
  ZekbinBlockInfo block;
};

extern "C" {

// Closes whatever is open, reads the file and its header: 0, 1 or 5 (see above).
// *count is the number of declared signals (0 unless the open succeeded).
uint32_t zekbin_open(const char *path, uint32_t *count);

// The same over bytes in memory, which must stay alive and unchanged until zekbin_close.
uint32_t zekbin_openMemory(const uint8_t *data, uint64_t size, uint32_t *count);

// Hands the variables out once after an open: the array (owned by the reader until
// zekbin_close) and its count; afterwards null and a count of 0.
ZekbinVariable **zekbin_getVariables(uint32_t *count);

// Delivers the next row into the value buffers: 0; 6 at the end of the data; 7 when the row
// cannot be read; 1 when nothing has been handed out or the data have ended. 6 and 7 end the
// data.
uint32_t zekbin_nextBlock(void);

// Releases the file's bytes and everything the reader owns; afterwards no row is delivered.
void zekbin_close(void);

// elementCount * elementSize: the bytes of a variable's value (0 for an unknown base type).
uint64_t zekbin_variableByteSize(const ZekbinVariable *variable);

// Sets up the row cache of a lookup state over a repetition list of count entries (raw bytes,
// 8 per entry, which must stay alive while the state is used): the ring empty, the seed row 0.
void zekbin_initLookupState(ZekbinLookupState *state, const uint8_t *repetitions, int32_t count);

// The sample index that row (of the file) shows for one element in one block.
int64_t zekbin_findSampleIndex(ZekbinLookupState *state, int32_t row);

// Where the messages go (standard error unless set; null: nowhere).
void zekbin_setMessageStream(FILE *stream);

// Header values of the open file, for hosts that look at them.
uint8_t zekbin_fileVersion(void);
uint8_t zekbin_fileSutSynchronous(void);

}  // extern "C"
