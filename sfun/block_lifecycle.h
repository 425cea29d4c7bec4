#pragma once
// What both S-function hosts do alike at a block's start and end: the start-up (step size,
// program file, banner, load, cycle length, record file), the parts it is made of, and the
// end of the IDE exchange at the terminate. Each host keeps its own state, its own reporting
// and its own record format; the start-up reaches them through the host's record below.
#include <cstdint>
#include <cstdio>

#include "console_files.h"
#include "zek_host.h"

// Reports text to the wrapper and puts the host's block into ZEK_SFUN_ERROR.
typedef void (*SfunReportFn)(void *host, const char *text);

// A host's part in the start-up of its block.
struct SfunStartUp {
  void *host;          // handed back to each call below (the S-function host's block handle)
  int32_t *status;     // the host's SfunState: ZEK_SFUN_LOADED after a load, ZEK_SFUN_ERROR once reported
  uint8_t **bytecode;  // the host's program bytes, which the loaded VM points into
  SfunReportFn report;  // sets *status to ZEK_SFUN_ERROR
  // What follows a successful load: the host's matching of its ports (and functions), and
  // unless quiet its client functions; a failure is reported.
  void (*matchLoaded)(void *host, bool quiet);
  // Opens the record file of a loud start-up that has not failed.
  void (*openRecord)(void *host, const char *recordFile, const char *programFile);
};

// The start-up, in this order: a step size that is no fixed cycle is refused (reported even
// when quiet); the program file is read whole (a failure is reported unless quiet, and the
// block stays as it was); the banner unless quiet; the new bytes replace the host's old ones
// and are loaded with their size, so a file refused before loading fails as any failed load
// does (reported, the program before discarded); a successful load is followed by the host's
// matching; the cycle length is set after a failed load or matching too (the host dictates
// it); a loud start-up that has not failed opens the record file. False when the block cannot
// run: refused, unread, or in error.
bool zek_sfun_startUp(const SfunStartUp *host, const char *programFile, const char *recordFile, double stepSize,
                      bool quiet);

// The exports of a host that run the wrapper's callbacks (fixed-point handlers, MATLAB client
// functions, the message box, the real-time clock, the report callback, the VM's error
// handler) begin and end through the host's guard, which marks the export as running. An
// export that such a callback calls while another runs is refused, reported to the wrapper,
// and changes nothing, since it would free, load, close or run what the running export uses:
// inside a step (an export that moves values or runs byte code) with "<export>(): not allowed
// inside a cycle; call it between cycles.", inside any other with "<export>(): not allowed
// while <running>() runs; call it after it returns." A refusal from inside the VM's cycle ends
// that cycle with the same error (ZEK_ERR_API). The running export also holds the VM's program
// (zek_holdProgram), so that the VM refuses its own load, cycle and server functions alike.
struct SfunGuard {
  const char *running;  // the export that runs, null when none
  bool step;            // it is a step
  bool byteCode;        // the step is in the VM's cycle or a served function
  void *host;           // the running export's context, for the refusals of exports without one
  uint32_t refusals;    // refusals so far
  const char *refused;  // the export refused last
  bool reporting;       // a refusal is being told (its report may call in again)
};
// The start of an export named operation: false when it is refused (another runs), else it is
// marked as running with host as its context until zek_sfun_end. Exports do not nest.
bool zek_sfun_begin(SfunGuard *guard, SfunReportFn report, void *host, const char *operation, bool step);
void zek_sfun_end(SfunGuard *guard);
// zek_runCycle and zek_runServerStubFunction inside a step: byte code whose callbacks had an
// export refused ends with the refusal's error, also where the start of the cycle cleared it
// (the real-time clock runs before that), so the result is then 1 (ZEK_CYCLE_ERROR).
uint32_t zek_sfun_runCycle(SfunGuard *guard);
uint32_t zek_sfun_runServerFunction(SfunGuard *guard, uint16_t function);

// The record file at path opened for writing, or null after telling why not: a path that
// names the program file is refused, since writing it would destroy the program; an empty
// path or one that does not open is printed on the console and reported with the wrapper's
// message. What goes into the file is the host's.
FILE *zek_sfun_openRecordStream(SfunReportFn report, void *host, const char *path, const char *programFile);

// The step size in whole microseconds, rounded to nearest; 0 when it is no usable fixed step
// (inherited -1, NaN, not positive, rounding to 0 or beyond 32 bits).
uint32_t zek_sfun_stepMicroseconds(double stepSize);

// The program file read whole into a new block of zek_hostMalloc (free it with zek_free), its
// size in *size. Null when it cannot be had: *failure is then the message of the wrapper,
// "Error opening ZVM file\n" for a file that does not open and "Error reading ZVM file" (with
// a reason behind it for a file beyond 4 GiB) for one that cannot be read or held; the VM's
// error state is left as it was.
uint8_t *zek_sfun_readProgramFile(const char *path, uint32_t *size, const char **failure);
// The banner of a loud initialisation, through zek_printf.
void zek_sfun_printBanner(const char *programFile, const char *recordFile, uint32_t programLength);

// The recorded channels (ChannelFlags bit 1) in table order, as a new block of zek_hostMalloc
// (free it with zek_free) with room for one more; null only when memory fails, with *count 0
// and the VM's error state left as it was. With a role of 0 or more, only the channels of that
// role (ofRole) or only those of every other role (not ofRole).
ChannelDecl **zek_get_recorded_channels(const VmData *data, int64_t role, bool ofRole, uint16_t *count);
// Every recorded channel: what a record file declares.
inline ChannelDecl **zek_get_all_channels(const VmData *data, uint16_t *count) {
  return zek_get_recorded_channels(data, -1, false, count);
}

// The end of a block's IDE exchange, for its terminate: an IDE still attached (a run stopped
// before its end) gets the final state, an error or the end of the test, and the exchange's
// block and events are released.
void zek_sfun_endExchange(bool failed);
