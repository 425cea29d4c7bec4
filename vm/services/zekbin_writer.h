#pragma once
// The record writer: turns a running program into a ZEKBIN version-9 file. A host creates one
// writer over a stream open for binary writing (seekable, at its start) and the channels to
// record, hands it one row per cycle and finishes it when the run ends; the finish patches the
// header and destroys the writer, and the host closes the stream afterwards. Several writers may
// exist at once; each keeps everything it needs in itself.
//
// Failures are sticky: the first one is kept, every later row returns it, and the finish
// returns it. A stream or memory failure ends the recording (nothing more is written, the
// header stays unpatched, so no reader takes the file for complete); a row with more than
// 65535 events and rows beyond the 32-bit row range are refused and reported while the file
// stays complete and valid.
#include <cstdint>
#include <cstdio>

#include "zek_vm.h"
#include "zekbin_format.h"

struct ZekbinWriter;

enum ZekbinWriteResult : int32_t {
  ZEKBIN_WRITE_OK = 0,
  ZEKBIN_WRITE_STREAM = 1,           // a write, seek or flush of the stream failed
  ZEKBIN_WRITE_MEMORY = 2,           // a buffer could not be had
  ZEKBIN_WRITE_TOO_MANY_EVENTS = 3,  // a row raised more than 65535 events; the excess was dropped
  ZEKBIN_WRITE_TOO_MANY_ROWS = 4,    // rows beyond 2147483647 were dropped
  ZEKBIN_WRITE_NO_WRITER = 5,        // no writer (its creation failed)
};

extern "C" {

// Writes the complete header and returns the writer, or null when the channels cannot be
// recorded (unknown base type, a channel without values, declarations beyond 2 GiB) or memory
// runs out. A failed header write is kept as the writer's sticky failure. The two flags count by
// their low byte. Unless cycleIndexed is set, a channel named exactly "@realtime" gives every
// row its time stamp (its value in seconds) and is not recorded as a signal.
ZekbinWriter *zek_write_zekbin_headerblock(FILE *stream, ChannelDecl *const *channels, uint32_t channelCount,
                                          const EnumSetDecl *enumSets, uint16_t enumSetCount,
                                          const EventDecl *events, uint16_t eventCount, uint32_t sutSynchronous,
                                          uint32_t cycleIndexed);

// Records one row: the channels' current values and the events raised in the cycle (written
// before the row's samples, with the row's time). Returns the sticky result.
int32_t zek_write_zekbin_signaldatarow(ZekbinWriter *writer, FILE *stream, const EventRecord *events,
                                       uint64_t time);

// Finishes the file (pending events with the end time, the tables, the header patch), flushes
// the stream and destroys the writer. Returns the sticky result; 0 only when every byte of the
// file reached the stream. The stream stays open.
int32_t zek_close_zekbin_datablock(ZekbinWriter *writer, FILE *stream, const EventRecord *events, uint64_t step,
                                   uint64_t time);

// Destroys a writer without finishing its file, for a host that abandons the file: nothing
// more is written, the buffered samples are dropped and the header stays unpatched, so no
// reader takes the file for complete. The stream stays open. A null writer is ignored.
void zek_release_zekbin_writer(ZekbinWriter *writer);

// The current sticky result of a writer.
int32_t zekbin_writerResult(const ZekbinWriter *writer);
// A sentence for a result, for the host's message.
const char *zekbin_writeResultText(int32_t result);

// A time stamp in microseconds from seconds, rounded half away from zero. NaN and negative
// times give 0, times beyond the u64 range give 18446744073709551615.
uint64_t zekbin_secondsToMicroseconds(double seconds);

}  // extern "C"
