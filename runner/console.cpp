// The console runner: command line, program file, record file, input file and the cycle loop.
#include "console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exchange.h"
#include "msgbox.h"
#include "zek_host.h"
#include "zek_platform.h"
#include "zekbin_reader.h"
#include "zekbin_recorder.h"

namespace {

// What one run holds; module-level so that every way out can release it in order.
struct ConsoleRun {
  const ConsoleOptions *options;
  uint8_t *image;
  FILE *output;  // the record file until the recorder takes it
  ZekbinRecorder recorder;
  ChannelDecl **selected;
  uint16_t selectedCount;
  ZekbinVariable **feeds;  // per selected channel: the input variable that feeds it, or null
  uint64_t cyclesRun;
  bool failed;
};

ConsoleRun g_run;
bool g_vmFailed = false;  // an error was raised and reported

enum StepState { STEP_ASK, STEP_RUN, STEP_CANCEL, STEP_FAILED };

void printUsage(const char *self) {
  std::printf("Please specify the inputfile\n\n%s <programfile> [-i <inputfile>] [-o <outputfile>] [options]\n\n",
              self);
  std::printf("Where [options] are:\n");
  std::printf("\t-c log outputs to console\n");
  std::printf("\t-s execute program step-by-step\n");
  std::printf("\t-m use shared mem\n");
  std::printf("\t-b use message box\n");
  std::printf("\t-e show raw error message\n");
}

// 0 when the command line is good, else 1 (usage error).
int parseCommandLine(int argc, char **argv, ConsoleOptions *o) {
  *o = ConsoleOptions{};
  o->self = argc > 0 && argv[0] != nullptr ? argv[0] : "zekvm";
  if (argc < 2) return 1;
  o->programFile = argv[1];
  for (int i = 2; i < argc; ++i) {
    const char *a = argv[i];
    if (a[0] != '-' || a[1] == '\0' || a[2] != '\0') return 1;
    switch (a[1]) {
      case 'i':
      case 'o':
        if (i + 1 >= argc) return 1;
        (a[1] == 'i' ? o->inputFile : o->outputFile) = argv[++i];
        break;
      case 'c': o->console = true; break;
      case 's': o->step = true; break;
      case 'm': o->sharedMem = true; break;
      case 'b': o->messageBox = true; break;
      case 'e': o->rawError = true; break;
      default: return 1;
    }
  }
  return 0;
}

// The whole program file in an owned buffer; null after reporting why not. Only a regular
// file is read: a FIFO would block the open, a device would never end.
uint8_t *readProgramFile(const char *path, uint64_t *size) {
  uint8_t *buffer = nullptr;
  switch (plat_file_read_all(path, &buffer, size)) {
    case PLAT_FILE_OK:
      // An empty file is an image too short to check; it still needs a buffer.
      return buffer != nullptr ? buffer : (uint8_t *)std::calloc(1, 1);
    case PLAT_FILE_NO_FILE:
      std::fprintf(stderr, "ERROR: The program file '%s' could not be opened.", path);
      return nullptr;
    case PLAT_FILE_NOT_REGULAR:
      std::fprintf(stderr, "ERROR: The program file '%s' is not a regular file.\n", path);
      return nullptr;
    default:
      std::fprintf(stderr, "ERROR: An error occurred while reading the program file '%s'.", path);
      return nullptr;
  }
}

// The record file must not be the input file or the program file (compared by the file's
// identity, whatever the paths say): opening it for writing would destroy what the run is to
// read. A record file that does not exist yet is new.
bool outputIsNew(const ConsoleOptions *o) {
  const char *readFiles[2][2] = {{o->inputFile, "input"}, {o->programFile, "program"}};
  for (auto &[path, what] : readFiles) {
    if (plat_same_file(path, o->outputFile)) {
      std::fprintf(stderr, "ERROR: The output file '%s' is the %s file; it is not overwritten.\n", o->outputFile,
                   what);
      return false;
    }
  }
  return true;
}

// The recording's first failure, once.
void reportRecording(void) {
  int32_t failure = zekbin_recorderTakeFailure(&g_run.recorder);
  if (failure == ZEKBIN_WRITE_OK) return;
  if (failure == ZEKBIN_RECORD_NOT_CLOSED)
    std::fprintf(stderr, "ERROR: while closing outputfile\n");
  else
    std::fprintf(stderr, "ERROR: while writing outputfile: %s\n", zekbin_writeResultText(failure));
}

// One record row; false when the recording failed (reported).
bool writeRow(const VmData *data) {
  uint64_t time = g_run.recorder.rows * (uint64_t)zek_getDensity();
  if (zekbin_recorderRow(&g_run.recorder, data->eventList, time) == ZEKBIN_WRITE_OK) return true;
  reportRecording();
  return false;
}

// Finishes the record file. The end time is the time of the last cycle, which the events of a
// cycle without a row of its own (the last one of a SuT-synchronous program) carry. Without a
// writer (the program did not load, or its channels could not be recorded) the file still
// becomes a valid recording, of no signal and no row.
void finishOutput(const VmData *data) {
  if (g_run.output != nullptr) {
    zekbin_recorderOpen(&g_run.recorder, g_run.output, nullptr);
    g_run.output = nullptr;
  }
  if (!zekbin_recorderIsOpen(&g_run.recorder)) return;
  uint64_t step = zek_getDensity();
  uint64_t end = g_run.cyclesRun > 0 ? (g_run.cyclesRun - 1) * step : 0;
  if (g_run.recorder.writer == nullptr) step = end = 0;
  int32_t result = zekbin_recorderFinish(&g_run.recorder, data != nullptr ? data->eventList : nullptr, step, end);
  if (result == ZEKBIN_WRITE_OK) return;
  reportRecording();
  g_run.failed = true;
}

// Ends the run: the IDE, the dialog, the record file, the input reader and the buffers; the
// exit code.
int endRun(const VmData *data) {
  // A termination request ends the run here, in order; the ending's own waits (the IDE's final
  // handshake, the dialog's shutdown) run their course again.
  if (plat_termination_requested()) {
    plat_termination_ending();
    std::fprintf(stderr, "ERROR: The run was ended by %s.\n", plat_termination_name());
    g_run.failed = true;
  }
  bool failed = g_run.failed || g_vmFailed;
  if (g_run.options != nullptr && g_run.options->sharedMem) {
    // A run that ends without a cycle result saying so (the input ran out, the user cancelled,
    // a failure outside the cycle) still hands its final state to an attached IDE.
    if (zek_sharedmem_isAttached()) zek_sharedmem_aftercycle(failed ? ZEK_CYCLE_ERROR : ZEK_CYCLE_TEST_ENDED);
    zek_sharedmem_shutdown();
  }
  msgbox_shutdown();
  finishOutput(data);
  std::free(g_run.selected);
  std::free(g_run.feeds);
  zekbin_close();
  std::free(g_run.image);
  failed = failed || g_run.failed;
  g_run = ConsoleRun{};
  return failed ? 1 : 0;
}

int fail(const VmData *data) {
  g_run.failed = true;
  return endRun(data);
}

// The input variable that feeds a channel: the first of its name whose base type and element
// count agree with the channel's. A variable of the name that does not agree is reported and
// feeds nothing, so a value never lands beside the channel's bytes.
ZekbinVariable *findFeed(const ChannelDecl *c, ZekbinVariable **variables, uint32_t count) {
  ZekbinVariable *named = nullptr;
  for (uint32_t i = 0; i < count; ++i) {
    ZekbinVariable *v = variables[i];
    if (std::strcmp(v->name, c->name) != 0) continue;
    if (v->baseType == c->baseType && v->elementCount == c->elementCount) return v;
    if (named == nullptr) named = v;
  }
  if (named != nullptr)
    std::fprintf(stderr,
                 "WARNING: The input variable '%s' (base type %u, %u elements) does not match the channel "
                 "(base type %u, %u elements); the channel is not fed from the input file.\n",
                 named->name, named->baseType, named->elementCount, c->baseType, c->elementCount);
  return nullptr;
}

// Opens the input file, reads its first row and finds the variable of every fed channel.
bool openInput(const char *path) {
  uint32_t count = 0;
  uint32_t result = zekbin_open(path, &count);
  if (result != 0) {
    std::fprintf(stderr, "ERROR: The ZEKBIN reader returned error code '%d' while opening the input file.\n",
                 (int)result);
    return false;
  }
  ZekbinVariable **variables = zekbin_getVariables(&count);
  result = zekbin_nextBlock();
  if (result != 0) {
    std::fprintf(stderr, "ERROR: the ZEKBIN reader returned error code '%d' while reading the first block of data.\n",
                 (int)result);
    return false;
  }
  if (g_run.selectedCount == 0) return true;
  g_run.feeds = (ZekbinVariable **)std::calloc(g_run.selectedCount, sizeof(ZekbinVariable *));
  if (g_run.feeds == nullptr) {
    std::fprintf(stderr, "ERROR: Not enough memory for the input channels.\n");
    return false;
  }
  for (uint16_t i = 0; i < g_run.selectedCount; ++i)
    if (g_run.selected[i]->role == ZEK_ROLE_INPUT) g_run.feeds[i] = findFeed(g_run.selected[i], variables, count);
  return true;
}

void applyInputRow(void) {
  if (g_run.feeds == nullptr) return;
  for (uint16_t i = 0; i < g_run.selectedCount; ++i) {
    const ZekbinVariable *v = g_run.feeds[i];
    if (v != nullptr) std::memcpy(g_run.selected[i]->value, v->value, (size_t)zekbin_variableByteSize(v));
  }
}

// STEP_FAILED when the prompt cannot be written (standard output a closed pipe, say): a run
// whose user cannot be asked ends. A termination request that interrupts the wait for the
// answer gives STEP_CANCEL; the caller looks at the request itself.
StepState askStep(void) {
  std::printf("Please enter <s> : Single Step <c> : Cancel <r> : Run ");
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "ERROR: The step prompt could not be written to the standard output.\n");
    return STEP_FAILED;
  }
  char line[256];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return STEP_CANCEL;  // no more answers
  char answer = line[0];
  // The rest of a long line is not the next answer.
  while (std::strchr(line, '\n') == nullptr && std::fgets(line, sizeof line, stdin) != nullptr) {
  }
  if (answer == 'r') return STEP_RUN;
  if (answer == 'c') return STEP_CANCEL;
  return STEP_ASK;
}

}  // namespace

void consoleErrorHandler(void) {
  if (g_vmFailed) return;  // the first error ends the run; what follows from it is not news
  g_vmFailed = true;
  std::fprintf(stderr, "%s", zek_getErrorMessage());
  std::fflush(stderr);
}

uint8_t consoleMessageBoxCmd(uint32_t, uint8_t flag, const char *, uint8_t, const char *) {
  return flag ? 255 : 0;
}

ChannelDecl **selectFileChannels(VmData *data, uint16_t *count) {
  *count = 0;
  uint16_t n = 0;
  for (uint16_t i = 0; i < data->channelCount; ++i) n += data->channels[i].recorded != 0;
  if (n == 0) return nullptr;
  ChannelDecl **selected = (ChannelDecl **)std::calloc(n, sizeof(ChannelDecl *));
  if (selected == nullptr) return nullptr;
  for (uint16_t i = 0; i < data->channelCount; ++i)
    if (data->channels[i].recorded) selected[(*count)++] = &data->channels[i];
  return selected;
}

int runProgram(const ConsoleOptions *o) {
  g_run = ConsoleRun{};
  g_run.options = o;
  g_vmFailed = false;
  // 1. The program file, whole.
  uint64_t size = 0;
  g_run.image = readProgramFile(o->programFile, &size);
  if (g_run.image == nullptr) return fail(nullptr);
  // 2. The record file; never one of the files the run reads.
  if (o->outputFile != nullptr && !outputIsNew(o)) return fail(nullptr);
  if (o->outputFile != nullptr) {
    g_run.output = plat_fopen(o->outputFile, "wb");
    if (g_run.output == nullptr) {
      std::fprintf(stderr, "ERROR: while opening outputfile");
      return fail(nullptr);
    }
  }
  // 3. Load; the error handler has reported a failure.
  if (!zek_checkImageSize(g_run.image, size) || zek_load(g_run.image) != 0 || g_vmFailed) return fail(nullptr);
  VmData *data = zek_getData();
  uint16_t n = 0;
  for (uint16_t i = 0; i < data->channelCount; ++i) n += data->channels[i].recorded != 0;
  g_run.selected = selectFileChannels(data, &g_run.selectedCount);
  if (g_run.selectedCount != n) {
    std::fprintf(stderr, "ERROR: Not enough memory for the recorded channels.\n");
    return fail(data);
  }
  // 4. The recording. A header that could not be written is the first row's failure (or the
  // finish's).
  if (g_run.output != nullptr) {
    int32_t opened = zekbin_recorderOpen(&g_run.recorder, g_run.output, data);
    g_run.output = nullptr;
    if (opened == ZEKBIN_WRITE_NO_WRITER || opened == ZEKBIN_WRITE_MEMORY) {
      zekbin_recorderTakeFailure(&g_run.recorder);
      std::fprintf(stderr, "ERROR: while writing outputfile: %s\n", zekbin_writeResultText(ZEKBIN_WRITE_NO_WRITER));
      return fail(data);
    }
  }
  // 5. The input file.
  if (o->inputFile != nullptr && !openInput(o->inputFile)) return fail(data);
  // 6. Message boxes (the load cleared the command).
  zek_installMessageBoxCmd(o->messageBox ? msgbox_command : consoleMessageBoxCmd);
  // 7. The cycles.
  bool sut = zek_isSutSynchron() != 0;
  StepState state = o->step ? STEP_ASK : STEP_RUN;
  uint32_t result = ZEK_CYCLE_GO_ON;
  do {
    // A termination request is taken between two cycles, also when it ended a wait for the
    // user, the IDE or the dialog.
    if (plat_termination_requested()) break;
    if (state == STEP_ASK) state = askStep();
    if (state == STEP_FAILED) return fail(data);
    if (state == STEP_CANCEL || plat_termination_requested()) break;
    if (o->sharedMem) {
      zek_sharedmem_beforecycle(data);
      if (g_vmFailed) return fail(data);
      if (plat_termination_requested()) break;
    }
    bool recording = zekbin_recorderIsOpen(&g_run.recorder);
    if (recording && sut && zek_getCycleCount() >= 1 && !writeRow(data)) return fail(data);
    result = zek_runCycle();
    // A cycle that the termination request cut short computed nothing to hand over or record:
    // the run ends as between two cycles, and the ending hands the final state to the IDE.
    if (result == ZEK_CYCLE_STOPPED) break;
    ++g_run.cyclesRun;
    zekbin_recorderCycleRan(&g_run.recorder);
    if (o->sharedMem) zek_sharedmem_aftercycle((int32_t)result);
    if (recording && !sut && !writeRow(data)) return fail(data);
    if (result == ZEK_CYCLE_ERROR || g_vmFailed) return fail(data);
    if (result == ZEK_CYCLE_GO_ON && o->inputFile != nullptr) {
      uint32_t r = zekbin_nextBlock();
      if (r == ZEKBIN_READ_END) {
        result = ZEK_CYCLE_TEST_ENDED;  // the input ran out
      } else if (r != ZEKBIN_READ_OK) {
        std::fprintf(stderr, "ERROR: The ZEKBIN reader returned error code '%d' while reading the input file.\n",
                     (int)r);
        return fail(data);
      } else {
        applyInputRow();
      }
    }
  } while (result == ZEK_CYCLE_GO_ON);
  // 8.-9.
  return endRun(data);
}

int consoleMain(int argc, char **argv) {
  zek_setErrorHandler(consoleErrorHandler);
  ConsoleOptions options;
  if (parseCommandLine(argc, argv, &options) != 0) {
    printUsage(options.self);
    return 1;
  }
  return runProgram(&options);
}
