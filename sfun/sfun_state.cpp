// Module state, the set-up exports, error reporting to the wrapper and the memory services.
#include <cstdarg>
#include <cstring>

#include "sfun_internal.h"

int32_t zek_status = ZEK_SFUN_NOT_INITIALISED;
uint8_t *zek_bytecode = nullptr;
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
char sfunErrorText[ZEK_SFUN_ERROR_TEXT_SIZE];
char sfunMessage[ZEK_SFUN_MESSAGE_SIZE];

namespace {

// Records handed in while a program runs have never been matched: their channel addresses and
// element offsets are unset, and the transfers would read and write at random. They are
// matched against the loaded program at once, ports and functions together (the element
// offsets of both live in one set of tables that a matching renews); a failure stops the
// block like a failed initialisation. In states 3 and 4 nothing transfers any more, and the
// next initialisation matches whatever is set up then.
void matchReplacedRecords(void) {
  if (zek_status != ZEK_SFUN_LOADED && zek_status != ZEK_SFUN_RUNNING) return;
  zek_find_signals_by_names(nullptr);
  if (!zek_sfun_failed()) zek_find_functions_by_names(nullptr);
}

}  // namespace

// The step size and the paths take effect at the next initialisation; the running block keeps
// the cycle and the record file it began with.
void zek_sfun_setup(double stepSize, ReportErrorFn reportError, const char *programFile, const char *recordFile,
                    PortInterface *io, CopyPortDataFn writeFixPtOut, CopyPortDataFn readFixPtIn) {
  zek_stepsize = stepSize;
  zek_errorHandler = reportError;
  zek_prog_file = programFile;
  zek_bin_file = recordFile;
  zek_io = io;
  zek_copyPortDataZek2SlFcn = writeFixPtOut;
  zek_copyPortDataSl2ZekFcn = readFixPtIn;
  matchReplacedRecords();
}

void zek_sfun_setup_fcn_io(FunctionInterface *fcnIo, CopyFcnArgDataFn writeFixPtFcnOut,
                           CopyFcnArgDataFn readFixPtFcnIn) {
  zek_server_fcn_io = fcnIo;
  zek_copyFcnArgDataZek2SlFcn = writeFixPtFcnOut;
  zek_copyFcnArgDataSl2ZekFcn = readFixPtFcnIn;
  matchReplacedRecords();
}

uint32_t zek_sfun_getCycleCount(void) { return zek_getCycleCount(); }

void *zek_sfun_malloc(uint32_t size) { return zek_malloc(size); }

void zek_sfun_free(void *p) { zek_free(p); }

void zek_reportError(SfunHandle block, const char *text) {
  zek_status = ZEK_SFUN_ERROR;
  // The text may be sfunErrorText itself (a wrapper reporting the kept text again): it is
  // taken aside before the buffer is cleared.
  char copy[ZEK_SFUN_ERROR_TEXT_SIZE];
  uint32_t length = text != nullptr ? zek_nstrlen(text, ZEK_SFUN_ERROR_TEXT_SIZE - 1) : 0;
  if (length > 0) std::memmove(copy, text, length);
  std::memset(sfunErrorText, 0, sizeof sfunErrorText);
  if (length > 0) std::memcpy(sfunErrorText, copy, length);
  if (zek_errorHandler != nullptr) zek_errorHandler(block, sfunErrorText);
}

void zek_sfun_reportf(SfunHandle block, const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(sfunMessage, sizeof sfunMessage, format, args);
  va_end(args);
  zek_reportError(block, sfunMessage);
}
