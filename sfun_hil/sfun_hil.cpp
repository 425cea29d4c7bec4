// The hardware-in-the-loop S-function host: the flat interface record matched by signal name
// and type, one VM cycle per model step with the IDE exchange around it, and the version-8
// record file. All state is library-wide: one virtual machine per loaded library.
#include "zek_sfun_hil.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "exchange.h"
#include "block_lifecycle.h"
#include "matlab_functions.h"
#include "zek_common.h"
#include "zek_host.h"
#include "zek_platform.h"
#include "zek_sfun_state.h"
#include "zekbin_writer_v8.h"

namespace {

constexpr uint32_t kErrorTextSize = 1024;
constexpr uint32_t kMessageSize = 2048;

const char *const kNotInitialised =
    "ZEK S-Function has not been initialized. Please, initialize ZEK S-Function before starting it.";
const char *const kOutputFileError =
    "Error opening output file. Missing or corrupt workspace variable 'zek_zekbinoutfile'.";
const char *const kRecordWriteError = "Error writing the record file.";
const char *const kHilOnly = "\n This version of ZEK S-Function is only applicable for HiL system testing.\n\n";

struct HilState {
  int32_t zek_status;
  uint8_t *zek_bytecode;  // the loaded VM points into it until the next load
  VmData *data;
  HilPortInterface hilPorts;  // the wrapper's record as last handed in
  char **hilErrorSlot;
  char hilErrorText[kErrorTextSize];
  uint8_t zeroElement[8];
  // The matching, kept across repeated initialisations: channel indices per signal.
  bool matched;
  uint32_t *inputIndex;
  uint32_t *outputIndex;
  uint16_t inputCount, outputCount;
  // The record file.
  FILE *zek_output_fileStream;
  Zekbin8Writer writer;
  ChannelDecl **recordedChannels;  // the signal block's channels
  uint16_t recordedCount;
  int64_t parameterStepPosition;   // -1 without a parameter block
  bool eventsPending;              // the last cycle's events are in no row yet
  SfunGuard guard;                 // the export that runs, whose callbacks may call the exports
};

HilState g_hil = {};

void message(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Reports a formatted message; long names are cut, never overrun.
void message(const char *format, ...) {
  char text[kMessageSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  zek_reportError(text);
}

bool failed(void) { return g_hil.zek_status == ZEK_SFUN_ERROR; }

// The name of a base type; an id outside 1..10 (from the wrapper) is named, not raised.
const char *typeText(uint32_t type) { return zek_isValidBaseType(type) ? zek_getBaseTypeName(type) : "unknown"; }

bool hasDims(const ChannelDecl *c) { return c->dims != nullptr && c->dimCount > 0; }
bool isMatrix(const ChannelDecl *c) { return hasDims(c) && c->dimCount == 2; }

// Element (r, c) of an a x b matrix goes from (c x a + r) in source to (r x b + c) in
// destination: column-major to row-major for inputs (a rows, b columns), and with a and b
// exchanged the other way for outputs.
void zek_copyMatrixValues(uint8_t *destination, const uint8_t *source, uint32_t a, uint32_t b, uint8_t size) {
  for (uint64_t r = 0; r < a; ++r)
    for (uint64_t c = 0; c < b; ++c)
      std::memcpy(destination + (r * b + c) * size, source + (c * a + r) * size, size);
}

// ---- Record file ----

// The shared start-up's calls into this host, which has no block handle.
void startUpReport(void *, const char *text) { zek_reportError(text); }


// Events beyond 65535 in one cycle are dropped with the file still sound; anything else ends it.
bool recordFailed(void) {
  int32_t r = g_hil.writer.result;
  return r != ZEKBIN8_OK && r != ZEKBIN8_TOO_MANY_EVENTS;
}

void releaseRecording(void) {
  zek_release_zekbin8_writer(&g_hil.writer);
  zek_free(g_hil.recordedChannels);
  g_hil.recordedChannels = nullptr;
  g_hil.recordedCount = 0;
  g_hil.parameterStepPosition = -1;
}

// Every run's file is finished, whatever the number of cycles: the signal block gets its end
// byte (with the events no row carried), and once more than one cycle ran the parameter
// block's step field gets the run's span, (cycles - 1) x density.
void zek_close_outputfile(void) {
  HilState &s = g_hil;
  if (s.zek_output_fileStream == nullptr) return;
  const EventRecord *events = s.eventsPending && s.data != nullptr ? s.data->eventList : nullptr;
  if (s.writer.blockOpen) zek_close_zekbin8_datablock(&s.writer, events);
  s.eventsPending = false;
  uint32_t cycles = zek_getCycleCount();
  if (s.parameterStepPosition >= 0 && cycles > 1)
    zek_patch_zekbin8_u64(&s.writer, s.parameterStepPosition, (uint64_t)(cycles - 1) * zek_getDensity());
  bool ok = !recordFailed();
  ok = std::fclose(s.zek_output_fileStream) == 0 && ok;
  s.zek_output_fileStream = nullptr;
  releaseRecording();
  // A standing report is the cause; a failed finish after it is not news.
  if (!ok && !failed()) zek_reportError(kRecordWriteError);
}

// A record writer failure ends the recording with a report; the file is closed as it stands.
bool checkRecord(void) {
  if (!recordFailed()) return true;
  zek_reportError(kRecordWriteError);
  std::fclose(g_hil.zek_output_fileStream);
  g_hil.zek_output_fileStream = nullptr;
  releaseRecording();
  return false;
}

// The recorded parameters, then the recorded channels of every other role; each a new array
// in table order.
ChannelDecl **zek_get_all_parameters_matlab(const VmData *data, uint16_t *count) {
  return zek_get_recorded_channels(data, ZEK_ROLE_PARAMETER, true, count);
}
ChannelDecl **zek_get_all_channels_matlab(const VmData *data, uint16_t *count) {
  return zek_get_recorded_channels(data, ZEK_ROLE_PARAMETER, false, count);
}

void zek_open_outputfile(const char *path, const char *programFile) {
  HilState &s = g_hil;
  if (s.zek_output_fileStream != nullptr) return;
  s.zek_output_fileStream = zek_sfun_openRecordStream(startUpReport, nullptr, path, programFile);
  if (s.zek_output_fileStream == nullptr) return;
  s.writer = Zekbin8Writer{};
  s.parameterStepPosition = -1;
  s.eventsPending = false;
  VmData *d = s.data;
  // 1. The header declares every recorded channel.
  uint16_t count = 0;
  ChannelDecl **all = zek_get_all_channels(d, &count);
  if (all == nullptr) {
    s.writer.result = ZEKBIN8_MEMORY;
    checkRecord();
    return;
  }
  zek_write_zekbin8_headerblock(&s.writer, s.zek_output_fileStream, all, count, d->enumSets, d->enumSetCount, d->events,
                                d->eventCount, zek_isSutSynchron());
  zek_free(all);
  if (!checkRecord()) return;
  // 2. The parameters in a block of one row.
  ChannelDecl **parameters = zek_get_all_parameters_matlab(d, &count);
  if (parameters != nullptr && count > 0) {
    zek_write_zekbin8_datablock_header(&s.writer, parameters, count, 0, 1);
    s.parameterStepPosition = s.writer.stepPosition;
    zek_write_zekbin8_signaldatarow(&s.writer, nullptr);
    zek_close_zekbin8_datablock(&s.writer, nullptr);
  }
  zek_free(parameters);
  if (parameters == nullptr) s.writer.result = ZEKBIN8_MEMORY;
  if (!checkRecord()) return;
  // 3. The other recorded channels, one row per cycle.
  s.recordedChannels = zek_get_all_channels_matlab(d, &s.recordedCount);
  if (s.recordedChannels == nullptr) s.writer.result = ZEKBIN8_MEMORY;
  if (!checkRecord()) return;
  zek_write_zekbin8_datablock_header(&s.writer, s.recordedChannels, s.recordedCount, 0, zek_getDensity());
  checkRecord();
}

void recordRow(void) {
  HilState &s = g_hil;
  if (s.zek_output_fileStream == nullptr) return;
  zek_write_zekbin8_signaldatarow(&s.writer, s.eventsPending ? s.data->eventList : nullptr);
  s.eventsPending = false;
  checkRecord();
}

// ---- Matching ----

bool groupComplete(const HilPortGroup &g) {
  return g.count == 0 || (g.buffers != nullptr && g.names != nullptr && g.types != nullptr);
}

void fillDimensions(const HilPortGroup &g, uint16_t i, const ChannelDecl *c) {
  if (g.dim1 != nullptr) g.dim1[i] = isMatrix(c) ? c->dims[0] : c->elementCount;
  if (g.dim2 != nullptr) g.dim2[i] = isMatrix(c) ? c->dims[1] : 0;
}

// A channel crosses as a block of bytes or as a matrix; anything the record's two dimensions
// cannot describe is refused rather than cut.
bool exchangeable(const ChannelDecl *c, const char *name) {
  if (hasDims(c) && c->dimCount > 2) {
    message("The signal '%s' has %u dimensions; only scalars, vectors and matrices can be exchanged.", name,
            (unsigned)c->dimCount);
    return false;
  }
  if (isMatrix(c) && (uint64_t)c->dims[0] * c->dims[1] != c->elementCount) {
    message("The signal '%s' has dimensions %ux%u that do not hold its %u elements.", name, (unsigned)c->dims[0],
            (unsigned)c->dims[1], (unsigned)c->elementCount);
    return false;
  }
  return true;
}

bool matchGroup(const HilPortGroup &g, ChannelDecl *channels, uint16_t channelCount, uint32_t *indices,
                const char *missing, const char *side) {
  if (!groupComplete(g)) {
    message("The interface record has no buffers, names or types for its %s.", side);
    return false;
  }
  for (uint16_t i = 0; i < g.count && !failed(); ++i) {
    const char *name = g.names[i] != nullptr ? g.names[i] : "";
    uint16_t k = 0;
    while (k < channelCount && !zek_streq(channels[k].name, name)) ++k;
    if (k == channelCount) {
      message(missing, name);
      return false;
    }
    if (g.index != nullptr) g.index[i] = k;
    indices[i] = k;
    const ChannelDecl *c = &channels[k];
    if (g.types[i] != c->baseType) {
      message("The signal '%s' has different data types. ZEK data type is '%s', but MATLAB data type is '%s'.", name,
              typeText(c->baseType), typeText(g.types[i]));
      return false;
    }
    if (!exchangeable(c, name)) return false;
    if (g.buffers[i] == nullptr) {
      message("The signal '%s' has no value buffer.", name);
      return false;
    }
    fillDimensions(g, i, c);
  }
  return !failed();
}

bool zek_find_signals_by_names(void) {
  HilState &s = g_hil;
  zek_free(s.inputIndex);
  zek_free(s.outputIndex);
  s.inputCount = s.hilPorts.inputs.count;
  s.outputCount = s.hilPorts.outputs.count;
  s.inputIndex = (uint32_t *)zek_hostMalloc((s.inputCount + 1u) * (uint32_t)sizeof(uint32_t));
  s.outputIndex = (uint32_t *)zek_hostMalloc((s.outputCount + 1u) * (uint32_t)sizeof(uint32_t));
  if (s.inputIndex == nullptr || s.outputIndex == nullptr) {
    zek_reportError("Out of memory matching the signals.");
    return false;
  }
  VmData *d = s.data;
  s.matched = matchGroup(s.hilPorts.inputs, d->inputs, d->inputCount, s.inputIndex,
                         "Unable to find signal '%s' in ZEK VM's input signals.", "inputs") &&
              matchGroup(s.hilPorts.outputs, d->outputs, d->outputCount, s.outputIndex,
                         "Unable to find a signal with name '%s' in the ZEK VM's output signals.", "outputs");
  return s.matched;
}

// A repeated initialisation hands a record with fresh buffers: the matching stays, the new
// record gets its indices and dimensions filled, and it must name the same signals.
void refreshPorts(const HilPortInterface *ports) {
  HilState &s = g_hil;
  if (ports == nullptr) return;
  s.hilPorts = *ports;
  if (!s.matched || failed()) return;
  struct Side {
    const HilPortGroup &g;
    ChannelDecl *channels;
    const uint32_t *indices;
    uint16_t count;
  };
  const Side sides[2] = {{s.hilPorts.inputs, s.data->inputs, s.inputIndex, s.inputCount},
                         {s.hilPorts.outputs, s.data->outputs, s.outputIndex, s.outputCount}};
  for (const Side &side : sides) {
    bool same = side.g.count == side.count && groupComplete(side.g);
    for (uint16_t i = 0; same && i < side.count; ++i) {
      const ChannelDecl *c = &side.channels[side.indices[i]];
      same = side.g.names[i] != nullptr && zek_streq(side.g.names[i], c->name) && side.g.types[i] == c->baseType &&
             side.g.buffers[i] != nullptr;
    }
    if (!same) {
      s.matched = false;
      zek_reportError("The interface record of a repeated initialisation does not name the signals matched before.");
      return;
    }
  }
  for (const Side &side : sides)
    for (uint16_t i = 0; i < side.count; ++i) {
      if (side.g.index != nullptr) side.g.index[i] = side.indices[i];
      fillDimensions(side.g, i, &side.channels[side.indices[i]]);
    }
}

// The wrapper's record is only borrowed: after terminate, or an init that brought none, its
// arrays may be gone, so no step may reach them. With no record, no output is written.
void forgetPorts(void) {
  HilState &s = g_hil;
  s.hilPorts = HilPortInterface{};
  s.matched = false;
  s.inputCount = 0;
  s.outputCount = 0;
}

// ---- Values ----

void zek_readInputValues(void) {
  HilState &s = g_hil;
  const HilPortGroup &g = s.hilPorts.inputs;
  for (uint16_t i = 0; i < s.inputCount; ++i) {
    ChannelDecl *c = &s.data->inputs[s.inputIndex[i]];
    uint8_t size = zek_baseTypeSizeOf(c->baseType);
    if (size == 0) {
      zek_printf("Input signal has an unknown data type '%d'.", (int)c->baseType);
      zek_reportError("Input signal has an unknown data type.");
      return;
    }
    const uint8_t *buffer = (const uint8_t *)g.buffers[i];
    if (isMatrix(c)) {
      zek_copyMatrixValues(c->value, buffer, c->dims[0], c->dims[1], size);
    } else {
      std::memcpy(c->value, buffer, (size_t)c->elementCount * size);
    }
  }
}

// After the step: the outputs in state 2, nothing in state 3, and in state 4 a zero in the
// first element of every output.
void zek_writeOutputValues(void) {
  HilState &s = g_hil;
  const HilPortGroup &g = s.hilPorts.outputs;
  if (s.zek_status == ZEK_SFUN_ERROR) {
    if (g.buffers == nullptr || g.types == nullptr) return;
    for (uint16_t i = 0; i < g.count; ++i) {
      uint8_t size = zek_baseTypeSizeOf(g.types[i]);
      // An unknown type here must not replace the message that stopped the run.
      if (size != 0 && g.buffers[i] != nullptr) std::memcpy(g.buffers[i], s.zeroElement, size);
    }
    return;
  }
  if (s.zek_status != ZEK_SFUN_RUNNING) return;
  for (uint16_t i = 0; i < s.outputCount; ++i) {
    const ChannelDecl *c = &s.data->outputs[s.outputIndex[i]];
    uint8_t size = zek_baseTypeSizeOf(g.types[i]);
    if (size == 0) {
      zek_printf("Output signal has an unknown data type '%d'.", (int)g.types[i]);
      zek_reportError("Output signal has an unknown data type.");
      return;
    }
    uint8_t *buffer = (uint8_t *)g.buffers[i];
    if (isMatrix(c)) {
      zek_copyMatrixValues(buffer, c->value, c->dims[1], c->dims[0], size);
    } else {
      std::memcpy(buffer, c->value, (size_t)c->elementCount * size);
    }
  }
}

// ---- Run ----

void zek_runVM(void) {
  HilState &s = g_hil;
  // 1.-2.
  if (s.zek_status == ZEK_SFUN_LOADED) s.zek_status = ZEK_SFUN_RUNNING;
  if (s.zek_status == ZEK_SFUN_NOT_INITIALISED) {
    zek_reportError(kNotInitialised);
    return;
  }
  if (s.zek_status != ZEK_SFUN_RUNNING) return;
  // 3. Inputs.
  zek_readInputValues();
  if (failed()) return;
  // 4.-5. Exchange, and the row of the previous cycle of a SuT-synchronous program.
  zek_sharedmem_beforecycle(s.data);
  bool sut = zek_isSutSynchron() != 0;
  if (sut && zek_getCycleCount() != 0) recordRow();
  if (failed()) return;
  // 6. The cycle.
  uint32_t result = zek_sfun_runCycle(&s.guard);
  s.eventsPending = true;
  zek_sharedmem_aftercycle((int32_t)result);
  // 7.
  if (result == ZEK_CYCLE_ERROR) {
    zek_reportError(zek_getErrorMessage());
    zek_close_outputfile();
  } else if (result == ZEK_CYCLE_TEST_ENDED) {
    s.zek_status = ZEK_SFUN_FINISHED;
    zek_close_outputfile();
  } else if (!sut) {
    recordRow();
  }
}

void startUpMatch(void *, bool quiet) {
  g_hil.data = zek_getData();
  if (zek_find_signals_by_names() && !quiet) zek_initializeClientFunctions();
}

void startUpOpenRecord(void *, const char *recordFile, const char *programFile) {
  zek_open_outputfile(recordFile, programFile);
}

// The start-up of both S-function hosts; the zero element is cleared at every one.
bool zek_initializeVM(const char *programFile, const char *recordFile, double stepTime, bool quiet) {
  HilState &s = g_hil;
  std::memset(s.zeroElement, 0, sizeof s.zeroElement);
  const SfunStartUp host = {nullptr, &s.zek_status, &s.zek_bytecode, startUpReport, startUpMatch, startUpOpenRecord};
  return zek_sfun_startUp(&host, programFile, recordFile, stepTime, quiet);
}

// The start and end of an export that runs the wrapper's callbacks (SfunGuard): false when it
// is refused because another runs, told in the running export's slot.
bool beginExport(const char *operation, bool step) {
  return zek_sfun_begin(&g_hil.guard, startUpReport, nullptr, operation, step);
}
void endExport(void) { zek_sfun_end(&g_hil.guard); }

// A refused export tells the refusal in its own slot as well, and answers as a failed one.
void tellRefusal(char **errorSlot, uint8_t *status) {
  if (errorSlot != nullptr) *errorSlot = g_hil.hilErrorText;
  if (status != nullptr) *status = ZEK_SFUN_ERROR;
}

uint8_t init(double stepTime, char **errorSlot, const char *programFile, const char *recordFile,
             const HilPortInterface *ports, uint8_t quiet) {
  HilState &s = g_hil;
  s.hilErrorSlot = errorSlot;
  bool ok = true;
  if (s.zek_status == ZEK_SFUN_NOT_INITIALISED) {
    forgetPorts();
    if (ports == nullptr) {
      zek_reportError("No interface record was given.");
      return 0;
    }
    s.hilPorts = *ports;
    ok = zek_initializeVM(programFile, recordFile, stepTime, quiet != 0);
  } else {
    refreshPorts(ports);
  }
  return ok && s.zek_status != ZEK_SFUN_FINISHED && s.zek_status != ZEK_SFUN_ERROR ? 1 : 0;
}

}  // namespace

uint8_t zek_sfun_init(double stepTime, char **errorSlot, const char *programFile, const char *recordFile,
                      const HilPortInterface *ports, uint8_t quiet) {
  // The start-up runs the wrapper's callbacks (the error handler) over the program it loads,
  // and the record given here would replace the one a running step transfers through. A
  // refusal is told in the running export's slot and in this one.
  if (!beginExport("zek_sfun_init", false)) {
    tellRefusal(errorSlot, nullptr);
    return 0;
  }
  uint8_t result = init(stepTime, errorSlot, programFile, recordFile, ports, quiet);
  endExport();
  return result;
}

uint8_t zek_sfun(void) {
  HilState &s = g_hil;
  if (!beginExport("zek_sfun", true)) return 0;
  if (s.zek_status != ZEK_SFUN_ERROR) zek_runVM();
  zek_writeOutputValues();
  endExport();
  return s.zek_status != ZEK_SFUN_FINISHED && s.zek_status != ZEK_SFUN_ERROR ? 1 : 0;
}

void zek_sfun_terminate(void) {
  HilState &s = g_hil;
  if (!beginExport("zek_sfun_terminate", false)) return;
  // The file is finished first: a failure to write it still reaches the wrapper's slot. Then
  // an IDE still attached learns that the run is over.
  zek_close_outputfile();
  zek_sfun_endExchange(s.zek_status == ZEK_SFUN_ERROR);
  s.zek_status = ZEK_SFUN_NOT_INITIALISED;
  // The program's bytes stay until the next initialisation loads others: the VM keeps pointing
  // into them, and its exports may still be called.
  s.data = nullptr;
  forgetPorts();
  endExport();
}

// Called from inside another export, it must not take over the slot that export reports
// through, let alone with a slot of the callback's own that is gone when it returns.
void zek_sfun_hil(void *, int32_t, double, void *, uint8_t *status, char **errorSlot) {
  if (!beginExport("zek_sfun_hil", false)) {
    tellRefusal(errorSlot, status);
    return;
  }
  g_hil.hilErrorSlot = errorSlot;
  zek_reportError(kHilOnly);
  if (status != nullptr) *status = ZEK_SFUN_ERROR;
  endExport();
}

void zek_reportError(const char *text) {
  HilState &s = g_hil;
  s.zek_status = ZEK_SFUN_ERROR;
  std::memset(s.hilErrorText, 0, sizeof s.hilErrorText);
  if (text != nullptr) std::memcpy(s.hilErrorText, text, zek_nstrlen(text, kErrorTextSize - 1));
  if (s.hilErrorSlot != nullptr) *s.hilErrorSlot = s.hilErrorText;
}
