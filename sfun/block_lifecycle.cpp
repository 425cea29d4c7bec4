// What both S-function hosts do alike at a block's start and end.
#include "block_lifecycle.h"

#include <cmath>
#include <cstdarg>

#include "exchange.h"
#include "zek_platform.h"
#include "zek_sfun_state.h"

namespace {

// Room beyond the error text of either host, so that each cuts a long message as it cuts its own.
constexpr uint32_t kMessageSize = 4096;

void reportf(SfunReportFn report, void *host, const char *format, ...) __attribute__((format(printf, 3, 4)));

void reportf(SfunReportFn report, void *host, const char *format, ...) {
  char text[kMessageSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  report(host, text);
}

bool failed(const SfunStartUp *host) { return *host->status == ZEK_SFUN_ERROR; }

}  // namespace

bool zek_sfun_startUp(const SfunStartUp *host, const char *programFile, const char *recordFile, double stepSize,
                      bool quiet) {
  // The host dictates the cycle: an inherited or otherwise unusable step size cannot be one,
  // and is refused before anything is read or loaded.
  uint32_t density = zek_sfun_stepMicroseconds(stepSize);
  if (density == 0) {
    reportf(host->report, host->host, "Invalid step size %g s. The ZEK S-Function needs a fixed step size of at least one microsecond.",
            stepSize);
    return false;
  }
  // The whole program file into a buffer that the loaded program keeps pointing into.
  uint32_t size = 0;
  const char *failure = nullptr;
  uint8_t *bytes = zek_sfun_readProgramFile(programFile, &size, &failure);
  if (bytes == nullptr) {
    if (!quiet) host->report(host->host, failure);
    return false;
  }
  if (!quiet) zek_sfun_printBanner(programFile, recordFile, size);
  // Load and match. The loader knows the size read: a file shorter than its image fails as any
  // load does, before a byte beyond the file is read. Of the host's bytes as they stand after
  // the load and the new ones, only those the VM does not run from are freed: a load that was
  // refused leaves the program before in place, any other leaves the new one or none.
  uint32_t loaded = zek_loadSized(bytes, (uint64_t)size);
  uint8_t *held = *host->bytecode;
  if (held != nullptr && held != bytes && zek_loadedImage() == held) {
    zek_free(bytes);
  } else {
    if (held != bytes) zek_free(held);
    *host->bytecode = bytes;
  }
  if (loaded != 0) {
    host->report(host->host, zek_getErrorMessage());
  } else {
    *host->status = ZEK_SFUN_LOADED;
    host->matchLoaded(host->host, quiet);
  }
  // The cycle length, also after a failed load or matching.
  if (zek_setDensity(density) != 0 && !failed(host)) host->report(host->host, zek_getErrorMessage());
  if (failed(host)) return false;
  if (!quiet) host->openRecord(host->host, recordFile, programFile);
  return true;
}

namespace {

void raiseStepRefusal(const char *operation) {
  zek_raiseError(ZEK_ERR_API, "%s(): not allowed inside a cycle; call it between cycles.", operation);
}

// Runs byte code inside the step; a refusal among its callbacks makes the result 1. The VM's
// own refusals inside running byte code guard it meanwhile, so the step lets go of the program.
template <typename Run> uint32_t runByteCode(SfunGuard *guard, Run run) {
  uint32_t refusals = guard->refusals;
  guard->byteCode = true;
  uint32_t result;
  {
    ZekHoldLetGo letGo;
    result = run();
  }
  guard->byteCode = false;
  if (guard->refusals != refusals && result != ZEK_CYCLE_ERROR) {
    raiseStepRefusal(guard->refused);
    result = ZEK_CYCLE_ERROR;
  }
  return result;
}

// True when the export named operation must not run now, after telling it (through report
// with host, or with the running export's context when host is null).
bool refused(SfunGuard *guard, SfunReportFn report, void *host, const char *operation) {
  if (guard->running == nullptr) return false;
  ++guard->refusals;
  guard->refused = operation;
  // A refused call from the report of a refusal (a wrapper that terminates on every report)
  // is told by that report already.
  if (guard->reporting) return true;
  guard->reporting = true;
  // The byte code stops with the error; one that stands already (a refusal from the error
  // handler) is left as the cause.
  if (guard->byteCode && !zek_hasError()) raiseStepRefusal(operation);
  void *to = host != nullptr ? host : guard->host;
  if (guard->step)
    reportf(report, to, "%s(): not allowed inside a cycle; call it between cycles.", operation);
  else
    reportf(report, to, "%s(): not allowed while %s() runs; call it after it returns.", operation, guard->running);
  guard->reporting = false;
  return true;
}

}  // namespace

bool zek_sfun_begin(SfunGuard *guard, SfunReportFn report, void *host, const char *operation, bool step) {
  if (refused(guard, report, host, operation)) return false;
  guard->running = operation;
  guard->step = step;
  guard->host = host;
  zek_holdProgram(operation);
  return true;
}

void zek_sfun_end(SfunGuard *guard) {
  zek_holdProgram(nullptr);
  guard->running = nullptr;
  guard->step = false;
  guard->host = nullptr;
}

uint32_t zek_sfun_runCycle(SfunGuard *guard) {
  return runByteCode(guard, [] { return zek_runCycle(); });
}

uint32_t zek_sfun_runServerFunction(SfunGuard *guard, uint16_t function) {
  return runByteCode(guard, [function] { return zek_runServerStubFunction(function); });
}

FILE *zek_sfun_openRecordStream(SfunReportFn report, void *host, const char *path, const char *programFile) {
  if (plat_same_file(programFile, path)) {
    reportf(report, host, "The output file '%s' is the program file; it is not overwritten.", path);
    return nullptr;
  }
  bool named = path != nullptr && path[0] != '\0';
  FILE *stream = named ? zek_fopen_utf8(path, "wb") : nullptr;
  if (stream == nullptr) {
    zek_printf("ZEK > Output file '%s'.", named ? path : "<Empty file name>");
    report(host, "Error opening output file. Missing or corrupt workspace variable 'zek_zekbinoutfile'.");
  }
  return stream;
}

uint8_t *zek_sfun_readProgramFile(const char *path, uint32_t *size, const char **failure) {
  *size = 0;
  FILE *file = zek_fopen_utf8(path, "rb");
  if (file == nullptr) {
    *failure = "Error opening ZVM file\n";
    return nullptr;
  }
  int64_t length = zek_getFileSize(file);
  if (length < 0 || length > (int64_t)0xFFFFFFFF) {
    std::fclose(file);
    *failure = length < 0 ? "Error reading ZVM file" : "Error reading ZVM file: the file is larger than 4 GiB";
    return nullptr;
  }
  // An empty file gets a block too; the image check refuses it with the VM's own message.
  uint8_t *bytes = (uint8_t *)zek_hostMalloc(length > 0 ? (uint32_t)length : 1u);
  if (bytes == nullptr || !zek_readFully(file, bytes, (uint64_t)length)) {
    zek_free(bytes);
    std::fclose(file);
    *failure = "Error reading ZVM file";
    return nullptr;
  }
  std::fclose(file);
  *size = (uint32_t)length;
  return bytes;
}

void zek_sfun_printBanner(const char *programFile, const char *recordFile, uint32_t programLength) {
  zek_printf("ZEK > Init ZEK VM\n");
  zek_printf("ZEK > Program file : %s\n", programFile != nullptr ? programFile : "");
  zek_printf("ZEK > Record file : %s\n", recordFile != nullptr ? recordFile : "");
  zek_printf("ZEK > Build-Date  : %s : %s\n", __DATE__, __TIME__);
  zek_printf("ZEK > ProgLength  : %d\n", (int)programLength);
}

ChannelDecl **zek_get_recorded_channels(const VmData *data, int64_t role, bool ofRole, uint16_t *count) {
  *count = 0;
  ChannelDecl **list = (ChannelDecl **)zek_hostMalloc((uint32_t)sizeof(ChannelDecl *) * (data->channelCount + 1u));
  if (list == nullptr) return nullptr;
  for (uint16_t i = 0; i < data->channelCount; ++i) {
    ChannelDecl *c = &data->channels[i];
    if (!c->recorded) continue;
    if (role >= 0 && ((int64_t)c->role == role) != ofRole) continue;
    list[(*count)++] = c;
  }
  return list;
}

void zek_sfun_endExchange(bool failed) {
  if (zek_sharedmem_isAttached()) zek_sharedmem_aftercycle(failed ? ZEK_CYCLE_ERROR : ZEK_CYCLE_TEST_ENDED);
  zek_sharedmem_shutdown();
}

uint32_t zek_sfun_stepMicroseconds(double stepSize) {
  if (!(stepSize > 0.0)) return 0;  // NaN, inherited (-1) and zero
  double us = std::round(stepSize * 1e6);
  if (!(us >= 1.0) || us > 4294967295.0) return 0;
  return (uint32_t)us;
}
