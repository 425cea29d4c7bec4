#pragma once
// ZEKBIN record files, format version 9: the one byte layout that the record writer, the
// parameter-file reader, the console input reader and the IDE exchange block share.
//
// Every number is stored in the byte order of the machine that wrote the file (header byte 6);
// this system reads files in its own byte order and converts nothing. Strings are NUL-terminated
// without a length prefix; a position is an i64 offset from the start of the file.
//
// Encoders write into memory the caller sized by the matching length function and return the
// position behind what they wrote. Decoders read through a ZekbinCursor that is bounded by the
// buffer it reads: a read that would leave the buffer fails the cursor and every later read, so
// a decoder never touches a byte outside [data, data + size).
#include <cstddef>
#include <cstdint>

#include "zek_common.h"
#include "zek_vm.h"

// Header (version 9).
inline constexpr char ZEKBIN_MAGIC[7] = "ZEKBIN";
inline constexpr char ZEKBIN_MAGIC_PAIR_SWAPPED[7] = "EZBKNI";  // each byte pair exchanged
constexpr uint32_t ZEKBIN_MAGIC_SIZE = 6;
constexpr uint8_t ZEKBIN_VERSION = 9;
// The hardware-in-the-loop form (see zekbin_writer_v8.h); it shares only the declarations.
constexpr uint8_t ZEKBIN_VERSION_HIL = 8;
constexpr uint32_t ZEKBIN_FIRST_CHUNK_SIZE = 128;
constexpr uint32_t ZEKBIN_LATER_CHUNK_SIZE = 65536;
constexpr uint32_t ZEKBIN_OFFSET_BYTE_ORDER = 6;
constexpr uint32_t ZEKBIN_OFFSET_VERSION = 7;
constexpr uint32_t ZEKBIN_OFFSET_PATCH = 17;  // the 28 bytes filled in by the finish
constexpr uint32_t ZEKBIN_PATCH_SIZE = 28;
constexpr uint32_t ZEKBIN_HEADER_FIXED_SIZE = 45;  // up to the enum-set count
// Fixed part plus the enum-set, event-declaration and signal counts.
constexpr uint32_t ZEKBIN_HEADER_BASE_SIZE = 53;

// Record sizes of the data area and the tail.
constexpr uint32_t ZEKBIN_SIGNAL_DECL_FIXED_SIZE = 16;
constexpr uint32_t ZEKBIN_SCALING_SIZE = 32;
constexpr uint32_t ZEKBIN_REPETITION_SIZE = 8;
constexpr uint32_t ZEKBIN_ELEMENT_INDEX_SIZE = 32;
constexpr uint32_t ZEKBIN_BLOCK_RECORD_SIZE_CYCLES = 28;  // kind 0, with its empty name
constexpr uint32_t ZEKBIN_BLOCK_RECORD_SIZE_STAMPED = 12;  // kind 1, with its empty name
constexpr uint32_t ZEKBIN_BLOCK_TABLE_ENTRY_SIZE = 12;
constexpr uint32_t ZEKBIN_EVENT_RECORD_FIXED_SIZE = 10;  // row time and event count
constexpr uint32_t ZEKBIN_EVENT_FIXED_SIZE = 4;          // id and data length
constexpr uint32_t ZEKBIN_MAX_EVENTS_PER_RECORD = 0xFFFF;

// Block kinds.
constexpr uint8_t ZEKBIN_BLOCK_CYCLE_INDEXED = 0;
constexpr uint8_t ZEKBIN_BLOCK_TIME_STAMPED = 1;

// Optional parts of a SignalDeclRecord: mask bit i is set exactly when part i follows.
enum ZekbinDeclPart : uint8_t {
  ZEKBIN_PART_SCALING = 0x01,
  ZEKBIN_PART_EXTERNAL_NAME = 0x02,
  ZEKBIN_PART_OPTION2 = 0x04,
  ZEKBIN_PART_DIMENSIONS = 0x08,
  ZEKBIN_PART_OPTION4 = 0x10,
  ZEKBIN_PART_OPTION5 = 0x20,
  ZEKBIN_PART_ATTRIBUTES = 0x40,
};

// A header as read (the fields behind the magic up to the enum-set count).
struct ZekbinHeader {
  uint8_t magic[6];
  uint8_t byteOrder;  // 1 big-endian, 0 little-endian
  uint8_t version;
  uint8_t sutSynchronous;
  uint32_t firstChunkSize;
  uint32_t laterChunkSize;
  int64_t indexPosition;       // the element index records
  int64_t blockTablePosition;  // 0 in a cycle-indexed file
  int32_t blockTableCount;     // 0 in a cycle-indexed file
  int64_t eventListPosition;   // the event-record position list
};

// One enum-set declaration as it lies in a buffer.
struct ZekbinEnumSet {
  uint8_t baseType;
  uint16_t count;
  const uint8_t *values;  // count values of the base type's size, unaligned
  const char *names;      // count NUL-terminated names one after the other
  uint32_t namesLength;   // bytes of all names with their NULs
};

struct ZekbinEventDecl {
  uint16_t id;
  const char *name;
};

// One SignalDeclRecord as it lies in a buffer; pointers point into it. Absent parts: null
// pointers, option values -1 (option 2) or 0xFFFF (options 4 and 5), dimension count 0.
struct ZekbinSignalDecl {
  uint32_t id;
  uint32_t heapOffset;
  uint8_t baseType;
  uint32_t elementCount;
  uint8_t flags;  // ChannelFlags in image bit order
  uint8_t role;
  uint8_t mask;
  const char *name;
  uint32_t nameLength;
  const uint8_t *scaling;  // 4 f64, unaligned
  const char *externalName;
  uint32_t externalNameLength;
  int16_t option2;
  uint8_t dimCount;
  const uint8_t *dims;  // dimCount u32, unaligned
  uint16_t option4;     // low 16 bits of the stored u32
  uint16_t option5;
  const char *attributes;  // the list with its closing empty entry
  uint32_t attributesLength;
};

// String limits a reader may impose on a declaration (lengths without the NUL); 0: no limit.
struct ZekbinDeclLimits {
  uint32_t name;
  uint32_t externalName;
  uint32_t attributeEntry;
  uint32_t attributeList;  // the whole list with its closing NUL
};

// The limits of the parameter-file reader.
constexpr ZekbinDeclLimits ZEKBIN_PARAMETER_LIMITS = {1023, 255, 255, 2560};

struct ZekbinRepetition {
  int32_t row;     // the row that shows the sample
  int32_t sample;  // the sample it shows; the rows before it show sample - 1
};

struct ZekbinElementIndex {
  int64_t repetitionPosition;
  int32_t repetitionCount;
  int64_t blockListPosition;
  int32_t blockCount;
  int64_t chunkTablePosition;
};

// A block record of either kind; the fields of the other kind are 0.
struct ZekbinBlockRecord {
  uint8_t kind;
  int64_t firstTime;    // kind 0
  int32_t rowCount;     // kind 0; kind 1 keeps it in the block table
  int64_t step;         // kind 0
  int32_t blockNumber;  // kind 1
  int32_t firstRow;
  const char *name;  // as read; the writer writes it empty
};

// An entry of the block table of a time-stamped file.
struct ZekbinBlockTableEntry {
  int64_t timeChunkListPosition;
  int32_t rowCount;
};

struct ZekbinEventRecordHead {
  uint64_t time;
  uint16_t count;
};

// Result of a decoder.
enum ZekbinDecodeResult : int32_t {
  ZEKBIN_DECODE_OK = 0,
  ZEKBIN_DECODE_TRUNCATED = 1,          // a read would leave the buffer
  ZEKBIN_DECODE_BAD_TYPE = 2,           // an enum set of an unknown base type
  ZEKBIN_DECODE_TOO_LONG = 3,           // a string beyond its limit
  ZEKBIN_DECODE_EMPTY_ATTRIBUTES = 4,   // an attribute list present without an entry
};

struct ZekbinCursor {
  const uint8_t *data;
  uint64_t size;
  uint64_t pos;
  bool failed;
};

extern "C" {

// Lengths. An attribute list is serialised when it has at least one entry, and then takes its
// entries plus the closing NUL (zek_attributes_len). A list without entries is not written at
// all (its mask bit stays clear), because a reader stops at the first empty entry and would
// leave the second NUL of an empty list behind. zekbin_attributeListLength gives 0 for it.
uint32_t zekbin_attributeListLength(const char *list);
int32_t zek_getEnumSetDeclLength(const EnumSetDecl *set);  // -1 for an unknown base type
int32_t zekbin_getEventDeclLength(const EventDecl *event);
int32_t zek_getSignalDeclLength(const ChannelDecl *channel);
// The declaration in the form of a format version: 9, or 8 with the channel id and options 4
// and 5 in 2 bytes each (a 14-byte fixed part); order, mask and the other parts are the same.
int32_t zekbin_getSignalDeclLengthOf(const ChannelDecl *channel, uint8_t version);
uint8_t zekbin_signalDeclMask(const ChannelDecl *channel);

// The six flag bytes of a channel as one byte in image bit order, and back (through
// zek_setChannelFlags, which serves every record with these fields).
uint8_t zekbin_channelFlagsByte(const ChannelDecl *channel);
void zekbin_setChannelFlags(ChannelDecl *channel, uint8_t flags);

// An owned copy of length bytes of text with a NUL behind them; null when memory runs out.
char *zekbin_copyText(const char *text, uint32_t length);
// An owned copy of n bytes (at least one byte is allocated); null when memory runs out.
void *zekbin_copyBytes(const void *bytes, size_t n);

// Encoders: each returns the position behind what it wrote.
uint8_t *zekbin_encodeHeaderFixed(uint8_t *dest, uint8_t sutSynchronous);  // 45 bytes, patch zeroed
uint8_t *zekbin_encodeHeaderPatch(uint8_t *dest, int64_t indexPosition, int64_t blockTablePosition,
                                  int32_t blockTableCount, int64_t eventListPosition);  // 28 bytes
uint8_t *zekbin_encodeEnumSetDecl(const EnumSetDecl *set, uint8_t *dest);
uint8_t *zekbin_encodeEventDecl(const EventDecl *event, uint8_t *dest);
uint8_t *zek_zekbin_writeSignalDeclBlock(const ChannelDecl *channel, uint8_t *dest);
uint8_t *zekbin_writeSignalDeclOf(const ChannelDecl *channel, uint8_t version, uint8_t *dest);
uint8_t *zekbin_encodeRepetition(ZekbinRepetition entry, uint8_t *dest);
uint8_t *zekbin_encodeElementIndex(const ZekbinElementIndex *index, uint8_t *dest);
uint8_t *zekbin_encodeBlockRecord(const ZekbinBlockRecord *block, uint8_t *dest);  // name written empty
uint8_t *zekbin_encodeBlockTableEntry(ZekbinBlockTableEntry entry, uint8_t *dest);
uint8_t *zekbin_encodeEventRecordHead(ZekbinEventRecordHead head, uint8_t *dest);
uint8_t *zekbin_encodeEventHead(uint16_t id, uint16_t length, uint8_t *dest);

// Cursor reads in machine byte order; false (and the cursor failed) when the bytes are not there.
ZekbinCursor zekbin_cursor(const uint8_t *data, uint64_t size, uint64_t pos);
bool zekbin_skip(ZekbinCursor *c, uint64_t n);
bool zekbin_getBytes(ZekbinCursor *c, uint64_t n, const uint8_t **bytes);
bool zekbin_getU8(ZekbinCursor *c, uint8_t *v);
bool zekbin_getU16(ZekbinCursor *c, uint16_t *v);
bool zekbin_getU32(ZekbinCursor *c, uint32_t *v);
bool zekbin_getI32(ZekbinCursor *c, int32_t *v);
bool zekbin_getI64(ZekbinCursor *c, int64_t *v);
bool zekbin_getU64(ZekbinCursor *c, uint64_t *v);
// A NUL-terminated text; its length (without the NUL) must not exceed limit (0: no limit).
int32_t zekbin_getText(ZekbinCursor *c, uint32_t limit, const char **text, uint32_t *length);

// Decoders.
// 1 when the six bytes are "ZEKBIN", 2 when they are "EZBKNI", 0 otherwise.
int32_t zekbin_magicKind(const uint8_t *bytes);
int32_t zekbin_decodeHeaderFixed(ZekbinCursor *c, ZekbinHeader *out);
int32_t zekbin_decodeEnumSet(ZekbinCursor *c, ZekbinEnumSet *out);
int32_t zekbin_decodeEventDecl(ZekbinCursor *c, ZekbinEventDecl *out);
// The record's base type is not checked: its layout does not depend on it.
int32_t zekbin_decodeSignalDecl(ZekbinCursor *c, const ZekbinDeclLimits *limits, ZekbinSignalDecl *out);
int32_t zekbin_decodeElementIndex(ZekbinCursor *c, ZekbinElementIndex *out);
int32_t zekbin_decodeBlockRecord(ZekbinCursor *c, ZekbinBlockRecord *out);
int32_t zekbin_decodeBlockTableEntry(ZekbinCursor *c, ZekbinBlockTableEntry *out);
int32_t zekbin_decodeEventRecordHead(ZekbinCursor *c, ZekbinEventRecordHead *out);
ZekbinRepetition zekbin_repetitionAt(const uint8_t *list, uint32_t index);

// Where byte b of an element's sample stream lies: chunk-table entry and offset in that chunk.
void zekbin_streamByteLocation(uint64_t b, uint32_t firstChunkSize, uint32_t laterChunkSize, uint64_t *chunk,
                               uint64_t *offset);
// The sample that row r shows, from an element's repetition list of count entries (raw bytes,
// ascending by row). Computed in 64 bits: a hostile list cannot overflow it; the caller bounds
// the result by the stream it has.
int64_t zekbin_sampleIndexOfRow(const uint8_t *repetitions, uint32_t count, int32_t row);
// The same, searching the entries from index `from` on (every entry before it lies below
// row); *entry is the last entry at or before row (-1: none), which a row cache keeps.
int64_t zekbin_sampleIndexFrom(const uint8_t *repetitions, uint32_t count, uint32_t from, int32_t row,
                               int64_t *entry);

}  // extern "C"

// A decoded declaration into a reader's record (a ChannelDecl of the parameter-file reader, a
// ZekbinVariable of the input reader): the numbers, the flags and owned copies of the name and
// the optional parts. The value buffer and the heap offset are the reader's own business.
// Returns 0, or the ZEKBIN_PART_* bits of the optional parts whose copy could not be had (left
// null), with ZEKBIN_PART_NAME when the name could not be had.
constexpr uint32_t ZEKBIN_PART_NAME = 0x100;
template <typename Record> uint32_t zekbin_takeSignalDecl(Record *r, const ZekbinSignalDecl &d) {
  uint32_t missing = 0;
  r->id = (decltype(r->id))d.id;
  r->baseType = d.baseType;
  r->elementSize = zek_baseTypeSizeOf(d.baseType);
  r->elementCount = d.elementCount;
  r->role = d.role;
  zek_setChannelFlags(r, d.flags);
  r->option2 = d.option2;
  r->option4 = (int16_t)d.option4;  // 0xFFFF when absent: -1
  r->option5 = (int16_t)d.option5;
  if ((r->name = zekbin_copyText(d.name, d.nameLength)) == nullptr) missing |= ZEKBIN_PART_NAME;
  if (d.scaling != nullptr) {
    r->scaling = (double *)zekbin_copyBytes(d.scaling, ZEKBIN_SCALING_SIZE);
    if (r->scaling == nullptr) missing |= ZEKBIN_PART_SCALING;
  }
  if (d.externalName != nullptr &&
      (r->externalName = zekbin_copyText(d.externalName, d.externalNameLength)) == nullptr)
    missing |= ZEKBIN_PART_EXTERNAL_NAME;
  if (d.dims != nullptr && d.dimCount > 0) {
    r->dims = (uint32_t *)zekbin_copyBytes(d.dims, 4u * d.dimCount);
    if (r->dims != nullptr) r->dimCount = d.dimCount;
    else missing |= ZEKBIN_PART_DIMENSIONS;
  }
  if (d.attributes != nullptr &&
      (r->attributes = (char *)zekbin_copyBytes(d.attributes, d.attributesLength)) == nullptr)
    missing |= ZEKBIN_PART_ATTRIBUTES;
  return missing;
}
