#pragma once
// Module state and the internal operations of the S-function library. One library instance
// hosts one virtual machine and one block; everything lives in one module record and no
// export may be called concurrently.
#include <cstdint>
#include <cstdio>

#include "block_lifecycle.h"
#include "matlab_functions.h"
#include "zek_host.h"
#include "zek_sfun.h"
#include "zekbin_writer.h"

// Room for the longest message with the longest names in use; messages are cut at its end.
constexpr uint32_t ZEK_SFUN_MESSAGE_SIZE = 4096;
constexpr uint32_t ZEK_SFUN_ERROR_TEXT_SIZE = 2048;

// The module state: one record, one block.
struct SfunHost {
  int32_t zek_status = ZEK_SFUN_NOT_INITIALISED;
  uint8_t *zek_bytecode = nullptr;  // the loaded VM points into it until the next load
  ReportErrorFn zek_errorHandler = nullptr;
  VmData *zek_Data = nullptr;
  PortInterface *zek_io = nullptr;
  FunctionInterface *zek_server_fcn_io = nullptr;
  double zek_stepsize = -1.0;
  const char *zek_prog_file = nullptr;
  const char *zek_bin_file = nullptr;
  CopyPortDataFn zek_copyPortDataZek2SlFcn = nullptr;
  CopyPortDataFn zek_copyPortDataSl2ZekFcn = nullptr;
  CopyFcnArgDataFn zek_copyFcnArgDataZek2SlFcn = nullptr;
  CopyFcnArgDataFn zek_copyFcnArgDataSl2ZekFcn = nullptr;
  FILE *zek_output_fileStream = nullptr;
  uint32_t rtwCodeGenBufferLen = 0;
  char *rtwCodeGenBuffer = nullptr;
  char sfunErrorText[ZEK_SFUN_ERROR_TEXT_SIZE] = {};
  char sfunMessage[ZEK_SFUN_MESSAGE_SIZE] = {};
  SfunGuard guard = {};  // the export that runs, whose callbacks may call the exports
};

extern SfunHost g_sfun;

// Formats into g_sfun.sfunMessage (cut at its end) and reports it.
void zek_sfun_reportf(SfunHandle block, const char *format, ...) __attribute__((format(printf, 2, 3)));
inline bool zek_sfun_failed(void) { return g_sfun.zek_status == ZEK_SFUN_ERROR; }
// The start and end of an export that runs the wrapper's callbacks (SfunGuard): false when it
// is refused because another runs (reported to block, or to the running export's block when
// null); a step is an export that moves values or runs byte code.
inline bool zek_sfun_beginExport(SfunHandle block, const char *operation, bool step) {
  return zek_sfun_begin(&g_sfun.guard, zek_reportError, block, operation, step);
}
inline void zek_sfun_endExport(void) { zek_sfun_end(&g_sfun.guard); }

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

// Record file; g_sfun.zek_output_fileStream is its stream while a recording is open, else null.
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
