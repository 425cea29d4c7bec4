#pragma once
// Module state and the internal operations of the S-function library. One library instance
// hosts one virtual machine and one block; everything lives in these module variables and no
// export may be called concurrently.
#include <cstdint>
#include <cstdio>

#include "matlab_helpers.h"
#include "zek_host.h"
#include "zek_sfun.h"
#include "zekbin_writer.h"

// Room for the longest message with the longest names in use; messages are cut at its end.
constexpr uint32_t ZEK_SFUN_MESSAGE_SIZE = 4096;
constexpr uint32_t ZEK_SFUN_ERROR_TEXT_SIZE = 2048;

extern int32_t zek_status;
extern uint8_t *zek_bytecode;
extern ReportErrorFn zek_errorHandler;
extern VmData *zek_Data;
extern PortInterface *zek_io;
extern FunctionInterface *zek_server_fcn_io;
extern double zek_stepsize;
extern const char *zek_prog_file;
extern const char *zek_bin_file;
extern CopyPortDataFn zek_copyPortDataZek2SlFcn;
extern CopyPortDataFn zek_copyPortDataSl2ZekFcn;
extern CopyFcnArgDataFn zek_copyFcnArgDataZek2SlFcn;
extern CopyFcnArgDataFn zek_copyFcnArgDataSl2ZekFcn;
extern FILE *zek_output_fileStream;
extern uint32_t rtwCodeGenBufferLen;
extern char *rtwCodeGenBuffer;
extern char sfunErrorText[ZEK_SFUN_ERROR_TEXT_SIZE];
extern char sfunMessage[ZEK_SFUN_MESSAGE_SIZE];

// Formats into sfunMessage (cut at its end) and reports it.
void zek_sfun_reportf(SfunHandle block, const char *format, ...) __attribute__((format(printf, 2, 3)));
inline bool zek_sfun_failed(void) { return zek_status == ZEK_SFUN_ERROR; }

// Ports and functions.
void zek_find_signals_by_names(SfunHandle block);
void zek_find_functions_by_names(SfunHandle block);
void zek_init_signal(SfunHandle block, zek_port_signal *signal, uint16_t channelCount, ChannelDecl *channels,
                     const char *kind, uint32_t role);
// Fills offsets with at most capacity entries; false when the dimensions need more, or more
// structural levels than sizeCount sizes describe.
bool assignArrayElemOffsets(uint32_t *offsets, uint32_t capacity, const uint32_t *dims, uint8_t nDims,
                            const uint32_t *slTypeSizes, uint16_t sizeCount);
// Frees the element-offset tables of the last matching.
void zek_sfun_releaseOffsetTables(void);

void zek_readInputValues(SfunHandle block);
void zek_writeOutputValues(SfunHandle block);
void zekReadValuesFromSl(SfunHandle block, int32_t fcnIndex, uint16_t portCount, zek_port_data *ports,
                         uint16_t channelCount, ChannelDecl *channels);
void zekWriteValuesToSl(SfunHandle block, int32_t fcnIndex, uint16_t portCount, zek_port_data *ports,
                        uint16_t channelCount, ChannelDecl *channels, uint16_t firstPortIndex);

// Record file; zek_output_fileStream is its stream while a recording is open, else null.
// Closing finishes the file; a failure of the finish is reported to the wrapper when
// reportFailure is set (a block is at hand), else printed.
void zek_open_outputfile(SfunHandle block, const char *path, const char *programFile);
void zek_close_outputfile(SfunHandle block, bool reportFailure);
// One record row with the given time in microseconds; a failure is reported and ends the
// recording.
void zek_sfun_writeRow(SfunHandle block, uint64_t time);
// After every cycle: the time of the cycle that ran (its events are not in a row yet).
void zek_sfun_noteCycle(uint64_t time);

// Lifecycle.
bool zek_initializeVM(SfunHandle block, const char *programFile, const char *recordFile, double stepSize, uint8_t quiet);
void zek_runVM(SfunHandle block);
