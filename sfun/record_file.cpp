// The record file of the host: opened by a non-quiet initialisation, one row per cycle, and
// always finished when it is closed, so that every run leaves a complete file. The recording
// itself (channels, rows, the events of a cycle, the first failure) is the recorder's; the
// times and the messages are this host's.
#include "sfun_internal.h"
#include "zek_platform.h"
#include "zekbin_recorder.h"

namespace {

ZekbinRecorder g_recorder;
const char *g_path = nullptr;
uint64_t g_lastCycleTime = 0;  // time of the last cycle that ran, for the finish

const char *pathText(void) { return g_path != nullptr ? g_path : ""; }

}  // namespace

void zek_open_outputfile(SfunHandle block, const char *path, const char *programFile) {
  if (zekbin_recorderIsOpen(&g_recorder)) return;
  FILE *stream = zek_sfun_openRecordStream(zek_reportError, block, path, programFile);
  if (stream == nullptr) return;
  int32_t result = zekbin_recorderOpen(&g_recorder, stream, zek_getData());
  if (result != ZEKBIN_WRITE_OK) {
    // A file whose header could not be written is left as it is. Without the list of its
    // channels there is no writer either.
    zekbin_recorderRelease(&g_recorder);
    if (result == ZEKBIN_WRITE_MEMORY) result = ZEKBIN_WRITE_NO_WRITER;
    zek_sfun_reportf(block, "Error writing output file '%s': %s", path, zekbin_writeResultText(result));
    return;
  }
  g_sfun.zek_output_fileStream = stream;
  g_path = path;
  g_lastCycleTime = 0;
}

void zek_sfun_noteCycle(uint64_t time) {
  g_lastCycleTime = time;
  zekbin_recorderCycleRan(&g_recorder);
}

void zek_sfun_writeRow(SfunHandle block, uint64_t time) {
  if (!zekbin_recorderIsOpen(&g_recorder)) return;
  if (zekbin_recorderRow(&g_recorder, zek_getData()->eventList, time) == ZEKBIN_WRITE_OK) return;
  int32_t failure = zekbin_recorderTakeFailure(&g_recorder);
  if (failure != ZEKBIN_WRITE_OK)
    zek_sfun_reportf(block, "Error writing output file '%s': %s", pathText(), zekbin_writeResultText(failure));
}

void zek_close_outputfile(SfunHandle block, bool reportFailure) {
  if (!zekbin_recorderIsOpen(&g_recorder)) return;
  // The density is the step size of the initialisation, rounded: a set-up since then does
  // not change the run it records.
  uint64_t step = zek_getDensity();
  int32_t result = zekbin_recorderFinish(&g_recorder, zek_getData()->eventList, step, g_lastCycleTime);
  g_sfun.zek_output_fileStream = nullptr;
  if (result == ZEKBIN_WRITE_OK) return;
  int32_t failure = zekbin_recorderTakeFailure(&g_recorder);
  if (failure == ZEKBIN_WRITE_OK) return;  // reported when it happened
  const char *why =
      failure == ZEKBIN_RECORD_NOT_CLOSED ? "the file could not be closed" : zekbin_writeResultText(failure);
  if (reportFailure)
    zek_sfun_reportf(block, "Error writing output file '%s': %s", pathText(), why);
  else
    zek_printf("ZEK > Error writing output file '%s': %s\n", pathText(), why);
}
