#pragma once
// The record writer of the hardware-in-the-loop deliverable: ZEKBIN format version 8. Neither
// reader of this system accepts it; the tools that read hardware-in-the-loop recordings do.
//
// File layout (numbers in the writer's byte order, header byte 6):
//   "ZEKBIN" | u8 byte order (1 big-endian) | u8 version 8 | u8 SuT-synchronous flag
//   u16 enum-set count, the enum sets (as in version 9)
//   u16 event-declaration count, the event declarations (as in version 9)
//   u16 signal count, the version-8 signal declarations (u16 id, options 4 and 5 in 2 bytes)
// then data blocks, each:
//   u64 time value of the first row | u64 step between rows | u16 channel count n
//   n times: u16 channel id, u8 2, u8 0
//   rows: u8 kind (bit 0 always set, bit 1: an event record follows), the event record, the
//         values; the first row of a block holds every channel's bytes one after the other,
//         every later row the change mask and the changed bytes
//   u8 end: 0, or 2, the pending event record and 0
// A row's kind byte is odd, so neither end byte can be taken for a row. A block without
// channels writes a row only when its cycle raised events.
//
// Change mask of a row of B bytes: level 1 has one bit per row byte (ceil(B/8) bytes), level 2
// one bit per level-1 byte, level 3 one bit per level-2 byte; bit i of byte k (mask 1 << i)
// stands for item 8k + i of the level below, set when that item changed (a mask byte counts as
// changed when it is not 0). Written are the whole level 3, then the level-2 bytes whose bit is
// set in level 3, then the level-1 bytes whose bit is set in level 2, each in ascending order,
// then the changed row bytes in ascending order. An unchanged row is its level 3 of zeros.
//
// Event record: u64 time (the block's first time value + row index x step) | u16 count c |
// c times u16 id, u16 data length L, L bytes.
//
// The writer is a plain record the host owns; a zero-initialised one has no header yet. Stream
// and memory failures are sticky: the first is kept, nothing more is written, and every later
// call returns it.
#include <cstdint>
#include <cstdio>

#include "zek_vm.h"

enum Zekbin8Result : int32_t {
  ZEKBIN8_OK = 0,
  ZEKBIN8_STREAM = 1,           // a write, seek or flush of the stream failed
  ZEKBIN8_MEMORY = 2,           // a buffer could not be had
  ZEKBIN8_TOO_MANY_EVENTS = 3,  // a row raised more than 65535 events; the excess was dropped
  ZEKBIN8_NO_HEADER = 4,        // a block header before the file header (error 19)
  ZEKBIN8_BAD_CHANNELS = 5,     // channels that cannot be declared or recorded
};

struct Zekbin8Writer {
  FILE *stream;
  bool headerWritten;
  int32_t result;
  // The open block.
  bool blockOpen;
  ChannelDecl **channels;  // owned copy of the block's channel list
  uint16_t channelCount;
  uint64_t firstTime, step;
  uint32_t rowBytes;
  uint32_t rows;
  uint8_t *last;     // the row written last
  uint8_t *current;  // the row being written
  uint8_t *levels;   // the three mask levels, one after the other
  int64_t stepPosition;  // file position of the open block's step field
};

extern "C" {

// Writes the file header: the enum sets, the event declarations and a version-8 declaration of
// every channel. Fails with ZEKBIN8_BAD_CHANNELS for a declaration that cannot be encoded.
int32_t zek_write_zekbin8_headerblock(Zekbin8Writer *writer, FILE *stream, ChannelDecl *const *channels,
                                      uint16_t channelCount, const EnumSetDecl *enumSets, uint16_t enumSetCount,
                                      const EventDecl *events, uint16_t eventCount, uint32_t sutSynchronous);

// Opens a data block over the channels (an open block is closed first, without events). Before
// the file header it raises error 19 and returns ZEKBIN8_NO_HEADER.
int32_t zek_write_zekbin8_datablock_header(Zekbin8Writer *writer, ChannelDecl *const *channels,
                                           uint16_t channelCount, uint64_t firstTime, uint64_t step);

// One row of the open block: the channels' current values and the cycle's events.
int32_t zek_write_zekbin8_signaldatarow(Zekbin8Writer *writer, const EventRecord *events);

// Closes the open block with its end byte and the pending events, and flushes the stream.
int32_t zek_close_zekbin8_datablock(Zekbin8Writer *writer, const EventRecord *events);

// Overwrites the u64 at position (a block's step field) and returns to the end of the stream.
int32_t zek_patch_zekbin8_u64(Zekbin8Writer *writer, int64_t position, uint64_t value);

// Releases the writer's buffers; the stream stays open and the record can be used anew.
void zek_release_zekbin8_writer(Zekbin8Writer *writer);

}  // extern "C"
