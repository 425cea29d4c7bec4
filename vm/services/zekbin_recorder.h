#pragma once
// The recording of a run by a host, over the record writer: what every host that records a
// version-9 file does alike.
//   - The recorded channels are those whose recorded flag (image bit 1) is set, in the order of
//     the program's channel table; the header carries the program's enum sets and event
//     declarations and its SuT-synchronous flag, and the file is cycle-indexed.
//   - One row per cycle, at the time the host gives.
//   - The events of a cycle go into exactly one place: its own row, or the finish when the
//     cycle got no row (the last cycle of a SuT-synchronous program, a cycle that failed).
//   - The finish takes the host's time step and end time, closes the stream and releases
//     everything; a release abandons the file unfinished.
//   - The first failure is kept, for the host to report once with its own message.
// The times and the messages are the host's: the recorder takes the times as arguments and
// hands back results.
//
// Calling order: open; rows, each cycle marked with zekbin_recorderCycleRan; then finish or
// release exactly once. A zero-initialised recorder is closed; a finished or released one is
// closed again (its kept failure stays until the next open). Calls out of order answer with a
// result and touch nothing.
#include <cstdint>
#include <cstdio>

#include "zek_vm.h"
#include "zekbin_writer.h"

// Results of the recorder besides the writer's (ZekbinWriteResult).
enum ZekbinRecordResult : int32_t {
  ZEKBIN_RECORD_NOT_CLOSED = 16,  // the writer's work succeeded, closing the stream failed
  ZEKBIN_RECORD_OPEN = 17,        // the recorder is open already; the stream was not taken
};

struct ZekbinRecorder {
  FILE *stream;            // owned from the open until the finish or release; null when closed
  ZekbinWriter *writer;    // null when it could not be had
  ChannelDecl **channels;  // the recorded channels, owned
  uint32_t channelCount;
  uint64_t rows;           // rows handed to the writer since the open
  bool eventsPending;      // the latest cycle's events are in no row yet
  int32_t failure;         // the first failure since the open; kept
  bool failureTaken;       // the host has had it (zekbin_recorderTakeFailure)
};

extern "C" {

// Opens the recording over stream (open for binary writing, at its start; from now on the
// recorder's) and the loaded program's data. A null data takes the stream only: the finish
// makes it a recording of no signal, no enum set and no event declaration (a file for a run
// whose program did not load), and a row has no writer. Returns ZEKBIN_WRITE_MEMORY when the
// list of the recorded channels could not be had and ZEKBIN_WRITE_NO_WRITER when the writer
// could not be (either way the stream is still taken: finish it for a valid recording of no
// signal, or release it), the writer's result when writing the header failed,
// ZEKBIN_RECORD_OPEN for a recorder that is open, else ZEKBIN_WRITE_OK.
int32_t zekbin_recorderOpen(ZekbinRecorder *recorder, FILE *stream, const VmData *data);

// True between an open and the finish or release.
bool zekbin_recorderIsOpen(const ZekbinRecorder *recorder);

// Marks that a cycle ran: its events (the VM's event list until the next cycle) are due.
void zekbin_recorderCycleRan(ZekbinRecorder *recorder);

// One row of the recorded channels' current values with the events of the cycle, at time (the
// host's unit). The row counts in rows whatever the writer answers. Returns the writer's
// sticky result; ZEKBIN_WRITE_NO_WRITER without a writer or when the recorder is closed.
int32_t zekbin_recorderRow(ZekbinRecorder *recorder, const EventRecord *events, uint64_t time);

// Finishes the file: the events when a cycle ran since the last row, the time step and end
// time, the header patch; then closes the stream and releases the channels. Without a writer
// the file becomes a valid recording of no signal and no row. Returns the writer's result, else
// ZEKBIN_RECORD_NOT_CLOSED when closing the stream failed, else ZEKBIN_WRITE_OK;
// ZEKBIN_WRITE_NO_WRITER when the recorder is closed.
int32_t zekbin_recorderFinish(ZekbinRecorder *recorder, const EventRecord *events, uint64_t step,
                              uint64_t endTime);

// Abandons the file unfinished (see zek_release_zekbin_writer), closes the stream and releases
// everything. A closed recorder is left as it is.
void zekbin_recorderRelease(ZekbinRecorder *recorder);

// The first failure since the open, the first time it is asked for; ZEKBIN_WRITE_OK before any
// failure and every time after it was taken. A host reports what this returns.
int32_t zekbin_recorderTakeFailure(ZekbinRecorder *recorder);

}  // extern "C"
