#pragma once
// What both S-function libraries share with MATLAB: console output, the program file helpers,
// the banner of an initialisation, the end of the IDE exchange, and the client functions of a program carried out as
// MATLAB functions. Compiled into each library with that library's switches (the LCC builds
// open files and format differently).
#include <cstdint>
#include <cstdio>

#include "zek_host.h"
#include "zek_mex.h"

// Files. Paths are UTF-8, which the Linux file system takes as they are (the LCC builds pass
// them to their own opening as given); mode is a C stream mode. Null on failure.
FILE *zek_fopen_utf8(const char *path, const char *mode);
// The size in bytes, or -1 when it cannot be had; the stream is rewound.
int64_t zek_getFileSize(FILE *stream);
// Reads exactly size bytes; false when the stream ends or fails before.
bool zek_readFully(FILE *stream, uint8_t *buffer, uint64_t size);

// The program file read whole into a new block of zek_malloc (free it with zek_free), its
// size in *size. Null when it cannot be had: *failure is then the message of the wrapper,
// "Error opening ZVM file\n" for a file that does not open and "Error reading ZVM file" (with
// a reason behind it for a file beyond 4 GiB) for one that cannot be read; the VM's error
// state is left as it was.
uint8_t *zek_sfun_readProgramFile(const char *path, uint32_t *size, const char **failure);
// The banner of a loud initialisation, through zek_printf.
void zek_sfun_printBanner(const char *programFile, const char *recordFile, uint32_t programLength);

// The recorded channels (ChannelFlags bit 1) in table order, as a new block of zek_malloc (free
// it with zek_free) with room for one more; null only when memory fails, with *count 0. With
// a role of 0 or more, only the channels of that role (ofRole) or only those of every other
// role (not ofRole).
ChannelDecl **zek_get_recorded_channels(const VmData *data, int64_t role, bool ofRole, uint16_t *count);
// Every recorded channel: what a record file declares.
inline ChannelDecl **zek_get_all_channels(const VmData *data, uint16_t *count) {
  return zek_get_recorded_channels(data, -1, false, count);
}

// The end of a block's IDE exchange, for its terminate: an IDE still attached (a run stopped
// before its end) gets the final state, an error or the end of the test, and the exchange's
// block and events are released.
void zek_sfun_endExchange(bool failed);

// The step size in whole microseconds, rounded to nearest; 0 when it is no usable fixed step
// (inherited -1, NaN, not positive, rounding to 0 or beyond 32 bits).
uint32_t zek_sfun_stepMicroseconds(double stepSize);

// Calls a MATLAB function with the trap flag set, so that a failing function comes back here
// as a non-zero result instead of unwinding through the virtual machine.
int zek_callMatlab(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], const char *name);

// The class id of MATLAB arrays of a base type (double for double and bool, which becomes a
// logical array instead).
uint32_t getMatlabTypeForZekType(uint32_t baseType);
// The channel's current value as a new MATLAB array, or null after raising why not: a text for
// a text channel, else an array of the channel's fixed dimensions (1 without them) holding its
// bytes in the VM's element order, which MATLAB reads column-major.
mxArray *createParameterValue(const ChannelDecl *channel);
// Makes every client function of the loaded program a call of the MATLAB function of its name.
void zek_initializeClientFunctions(void);
void zek_MatlabClientFunction(FunctionDecl *function);
