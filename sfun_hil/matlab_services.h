#pragma once
// What the S-function libraries share with MATLAB: console output, the program file helpers and
// the client functions of a program carried out as MATLAB functions.
#include <cstdint>
#include <cstdio>

#include "mex_imports.h"
#include "zek_host.h"

// The file of a UTF-8 path opened with the C mode (the path is taken as it is on this system).
FILE *zek_fopen_utf8(const char *path, const char *mode);
// The size of the stream in bytes, the stream rewound; -1 when it cannot be had.
int64_t zek_getFileSize(FILE *stream);
// Reads exactly size bytes; false when the stream ends or fails before.
bool zek_readFully(FILE *stream, uint8_t *buffer, uint64_t size);

// The class id of MATLAB arrays of a base type (double for double and bool).
uint32_t getMatlabTypeForZekType(uint32_t baseType);
// The channel's current value as a new MATLAB array: a text for a text channel, else an array
// of the channel's dimensions (1 without them) filled with its bytes in the VM's element order.
// Null when MATLAB gives no array.
mxArray *createParameterValue(const ChannelDecl *channel);
// Makes every client function of the program a call of the MATLAB function of its name.
void zek_initializeClientFunctions(VmData *data);
void zek_MatlabClientFunction(FunctionDecl *function);
