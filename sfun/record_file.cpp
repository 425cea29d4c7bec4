// The record file of the host: opened by a non-quiet initialisation, one row per cycle, and
// always finished when it is closed, so that every run leaves a complete file.
#include "sfun_internal.h"
#include "zek_platform.h"

namespace {

ChannelDecl **g_recorded = nullptr;
uint16_t g_recordedCount = 0;
const char *g_path = nullptr;
uint64_t g_lastCycleTime = 0;  // time of the last cycle that ran, for the finish
bool g_eventsPending = false;  // that cycle's events are in no row yet
bool g_writeFailed = false;    // a failure was reported already

const char *pathText(void) { return g_path != nullptr ? g_path : ""; }

}  // namespace

void zek_open_outputfile(SfunHandle block, const char *path, const char *programFile) {
  if (zek_output_fileStream != nullptr) return;
  // Opening the program file for writing would destroy the program.
  if (plat_same_file(programFile, path)) {
    zek_sfun_reportf(block, "The output file '%s' is the program file; it is not overwritten.", path);
    return;
  }
  bool named = path != nullptr && path[0] != '\0';
  FILE *stream = named ? zek_fopen_utf8(path, "wb") : nullptr;
  if (stream == nullptr) {
    zek_printf("ZEK > Output file '%s'.", named ? path : "<Empty file name>");
    zek_reportError(block, "Error opening output file. Missing or corrupt workspace variable 'zek_zekbinoutfile'.");
    return;
  }
  VmData *data = zek_getData();
  g_recorded = zek_get_all_channels(data, &g_recordedCount);
  ZekbinWriter *writer = nullptr;
  if (g_recorded != nullptr)
    writer = zek_write_zekbin_headerblock(stream, g_recorded, g_recordedCount, data->enumSets, data->enumSetCount,
                                          data->events, data->eventCount, zek_isSutSynchron() & 0xFFu, 1);
  if (writer == nullptr || zekbin_writerResult(writer) != ZEKBIN_WRITE_OK) {
    int32_t result = writer != nullptr ? zekbin_writerResult(writer) : ZEKBIN_WRITE_NO_WRITER;
    if (writer != nullptr) zek_close_zekbin_datablock(writer, stream, nullptr, 0, 0);
    std::fclose(stream);
    zek_sfun_free(g_recorded);
    g_recorded = nullptr;
    g_recordedCount = 0;
    zek_resetError();
    zek_sfun_reportf(block, "Error writing output file '%s': %s", path, zekbin_writeResultText(result));
    return;
  }
  zek_output_fileStream = stream;
  zekbin_struct = writer;
  g_path = path;
  g_lastCycleTime = 0;
  g_eventsPending = false;
  g_writeFailed = false;
}

void zek_sfun_noteCycle(uint64_t time) {
  g_lastCycleTime = time;
  g_eventsPending = true;
}

void zek_sfun_writeRow(SfunHandle block, uint64_t time) {
  if (zek_output_fileStream == nullptr || zekbin_struct == nullptr) return;
  int32_t result = zek_write_zekbin_signaldatarow(zekbin_struct, zek_output_fileStream, zek_getData()->eventList, time);
  g_eventsPending = false;
  if (result == ZEKBIN_WRITE_OK || g_writeFailed) return;
  g_writeFailed = true;
  zek_sfun_reportf(block, "Error writing output file '%s': %s", pathText(), zekbin_writeResultText(result));
}

void zek_close_outputfile(SfunHandle block, bool reportFailure) {
  FILE *stream = zek_output_fileStream;
  if (stream == nullptr) return;
  int32_t result = ZEKBIN_WRITE_OK;
  if (zekbin_struct != nullptr) {
    // A cycle's events go into exactly one place: its row, or (for the last cycle of a
    // SuT-synchronous run, which has no row of its own) the finish.
    const EventRecord *events = g_eventsPending ? zek_getData()->eventList : nullptr;
    // The density is the step size of the initialisation, rounded: a set-up since then does
    // not change the run it records.
    uint64_t step = zek_getDensity();
    result = zek_close_zekbin_datablock(zekbin_struct, stream, events, step, g_lastCycleTime);
    zekbin_struct = nullptr;
  }
  bool closed = std::fclose(stream) == 0;
  zek_output_fileStream = nullptr;
  zek_sfun_free(g_recorded);
  g_recorded = nullptr;
  g_recordedCount = 0;
  g_eventsPending = false;
  if ((result == ZEKBIN_WRITE_OK && closed) || g_writeFailed) return;
  g_writeFailed = true;
  const char *why = result != ZEKBIN_WRITE_OK ? zekbin_writeResultText(result) : "the file could not be closed";
  if (reportFailure)
    zek_sfun_reportf(block, "Error writing output file '%s': %s", pathText(), why);
  else
    zek_printf("ZEK > Error writing output file '%s': %s\n", pathText(), why);
}
