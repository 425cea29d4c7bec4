#pragma once
// The parameter-file reader: reads a whole ZEKBIN version-9 file into a table of channel
// records, one per declared signal, each with its declaration and its value in row 0.
//
// Accepted: the magic "ZEKBIN" or its pair-swapped form "EZBKNI", version 9, no event
// declarations. Every number is taken in the machine's own byte order. Every count, length and
// position of the file is checked against the bytes the file really has before anything is
// allocated or read for it; a value must come from the data area between the header and the
// element index records. A file without rows has no value to give and fails, and so does a
// file that ends before its closing event-record position list (a file cut short).
//
// The reader keeps one table per process (no lock: one read at a time).
#include <cstdint>
#include <cstdio>

#include "zek_vm.h"

extern "C" {

// 0 success, 1 failure. Releases the previous table, reads the stream (open for binary reading,
// at the start of the file) to its end and builds the table; *count is the number of declared
// signals, and 0 after a failure (when there is no table). The caller closes the stream. The
// only error raised is 18 for an enum set of an unknown base type.
int32_t zekbinFile_readFrom(FILE *stream, uint32_t *count);

// The same for a file that is already in memory.
int32_t zekbinFile_readFromMemory(const uint8_t *data, uint64_t size, uint32_t *count);

// The table of the last successful read (owned by the reader, valid until the next read), or
// null.
ChannelDecl *zekbinFile_getVariables(void);

// Element size of a base type; 0 for an unknown one.
uint8_t zekbinFile_typeSize(uint32_t baseType);

}  // extern "C"
