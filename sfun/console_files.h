#pragma once
// Console output through MATLAB and files by UTF-8 path, for both S-function libraries. Each
// library compiles it with its own switches (the LCC builds open files and format differently).
#include <cstdint>
#include <cstdio>

// zek_printf (zek_vm.h) prints through mexPrintf, cut at 2047 characters.

// Files. Paths are UTF-8, which the Linux file system takes as they are (the LCC builds pass
// them to their own opening as given); mode is a C stream mode. Null on failure.
FILE *zek_fopen_utf8(const char *path, const char *mode);
// The size in bytes, or -1 when it cannot be had; the stream is rewound.
int64_t zek_getFileSize(FILE *stream);
// Reads exactly size bytes; false when the stream ends or fails before.
bool zek_readFully(FILE *stream, uint8_t *buffer, uint64_t size);
