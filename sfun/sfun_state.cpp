// Module state, the set-up exports, error reporting to the wrapper and the memory services.
#include <cstdarg>
#include <cstring>

#include "sfun_internal.h"

SfunHost g_sfun;

namespace {

// Records handed in while a program runs have never been matched: their channel addresses and
// element offsets are unset, and the transfers would read and write at random. They are
// matched against the loaded program at once, ports and functions together (the element
// offsets of both live in one set of tables that a matching renews); a failure stops the
// block like a failed initialisation. In states 3 and 4 nothing transfers any more, and the
// next initialisation matches whatever is set up then.
void matchReplacedRecords(void) {
  if (g_sfun.zek_status != ZEK_SFUN_LOADED && g_sfun.zek_status != ZEK_SFUN_RUNNING) return;
  zek_find_signals_by_names(nullptr);
  if (!zek_sfun_failed()) zek_find_functions_by_names(nullptr);
}

}  // namespace

// The step size and the paths take effect at the next initialisation; the running block keeps
// the cycle and the record file it began with. The set-ups match what they hand in against a
// running program, which reports through the wrapper.
void zek_sfun_setup(double stepSize, ReportErrorFn reportError, const char *programFile, const char *recordFile,
                    PortInterface *io, CopyPortDataFn writeFixPtOut, CopyPortDataFn readFixPtIn) {
  // The records and handlers in use by the running export stay until it has ended.
  if (!zek_sfun_beginExport(nullptr, "zek_sfun_setup", false)) return;
  g_sfun.zek_stepsize = stepSize;
  g_sfun.zek_errorHandler = reportError;
  g_sfun.zek_prog_file = programFile;
  g_sfun.zek_bin_file = recordFile;
  g_sfun.zek_io = io;
  g_sfun.zek_copyPortDataZek2SlFcn = writeFixPtOut;
  g_sfun.zek_copyPortDataSl2ZekFcn = readFixPtIn;
  matchReplacedRecords();
  zek_sfun_endExport();
}

void zek_sfun_setup_fcn_io(FunctionInterface *fcnIo, CopyFcnArgDataFn writeFixPtFcnOut,
                           CopyFcnArgDataFn readFixPtFcnIn) {
  if (!zek_sfun_beginExport(nullptr, "zek_sfun_setup_fcn_io", false)) return;
  g_sfun.zek_server_fcn_io = fcnIo;
  g_sfun.zek_copyFcnArgDataZek2SlFcn = writeFixPtFcnOut;
  g_sfun.zek_copyFcnArgDataSl2ZekFcn = readFixPtFcnIn;
  matchReplacedRecords();
  zek_sfun_endExport();
}

uint32_t zek_sfun_getCycleCount(void) { return zek_getCycleCount(); }

void *zek_sfun_malloc(uint32_t size) { return zek_malloc(size); }

void zek_sfun_free(void *p) { zek_free(p); }

void zek_reportError(SfunHandle block, const char *text) {
  g_sfun.zek_status = ZEK_SFUN_ERROR;
  // The text may be sfunErrorText itself (a wrapper reporting the kept text again): it is
  // taken aside before the buffer is cleared.
  char copy[ZEK_SFUN_ERROR_TEXT_SIZE];
  uint32_t length = text != nullptr ? zek_nstrlen(text, ZEK_SFUN_ERROR_TEXT_SIZE - 1) : 0;
  if (length > 0) std::memmove(copy, text, length);
  std::memset(g_sfun.sfunErrorText, 0, sizeof g_sfun.sfunErrorText);
  if (length > 0) std::memcpy(g_sfun.sfunErrorText, copy, length);
  if (g_sfun.zek_errorHandler != nullptr) g_sfun.zek_errorHandler(block, g_sfun.sfunErrorText);
}

void zek_sfun_reportf(SfunHandle block, const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_sfun.sfunMessage, sizeof g_sfun.sfunMessage, format, args);
  va_end(args);
  zek_reportError(block, g_sfun.sfunMessage);
}
