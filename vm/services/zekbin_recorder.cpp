// The recording of a run by a host over the record writer (see zekbin_recorder.h).
#include "zekbin_recorder.h"

#include <cstdlib>

#include "zekbin_writer_parts.h"

namespace {

void keep(ZekbinRecorder *r, int32_t result) {
  if (result != ZEKBIN_WRITE_OK && r->failure == ZEKBIN_WRITE_OK) r->failure = result;
}

// The recorded channels of the program in table order; false when memory runs out.
bool selectRecorded(ZekbinRecorder *r, const VmData *data) {
  uint32_t n = 0;
  for (uint16_t i = 0; i < data->channelCount; ++i) n += data->channels[i].recorded != 0;
  if (n == 0) return true;
  r->channels = (ChannelDecl **)writerCalloc(n, sizeof(ChannelDecl *));
  if (r->channels == nullptr) return false;
  for (uint16_t i = 0; i < data->channelCount; ++i)
    if (data->channels[i].recorded) r->channels[r->channelCount++] = &data->channels[i];
  return true;
}

// The stream closed and the channels released: the recorder is closed, its failure kept.
int32_t closeStream(ZekbinRecorder *r) {
  bool closed = std::fclose(r->stream) == 0;
  std::free(r->channels);
  *r = ZekbinRecorder{nullptr, nullptr, nullptr, 0, r->rows, false, r->failure, r->failureTaken};
  return closed ? (int32_t)ZEKBIN_WRITE_OK : (int32_t)ZEKBIN_RECORD_NOT_CLOSED;
}

}  // namespace

int32_t zekbin_recorderOpen(ZekbinRecorder *r, FILE *stream, const VmData *data) {
  if (r == nullptr || stream == nullptr) return ZEKBIN_WRITE_NO_WRITER;
  if (r->stream != nullptr) return ZEKBIN_RECORD_OPEN;
  *r = ZekbinRecorder{};
  r->stream = stream;
  // Without a program the finish makes the file a recording of no signal.
  if (data == nullptr) return ZEKBIN_WRITE_OK;
  int32_t result = ZEKBIN_WRITE_MEMORY;
  if (selectRecorded(r, data)) {
    r->writer = zek_write_zekbin_headerblock(stream, r->channels, r->channelCount, data->enumSets,
                                             data->enumSetCount, data->events, data->eventCount,
                                             zek_isSutSynchron(), 1);
    result = r->writer != nullptr ? zekbin_writerResult(r->writer) : (int32_t)ZEKBIN_WRITE_NO_WRITER;
  }
  keep(r, result);
  return result;
}

bool zekbin_recorderIsOpen(const ZekbinRecorder *r) { return r != nullptr && r->stream != nullptr; }

void zekbin_recorderCycleRan(ZekbinRecorder *r) {
  if (zekbin_recorderIsOpen(r)) r->eventsPending = true;
}

int32_t zekbin_recorderRow(ZekbinRecorder *r, const EventRecord *events, uint64_t time) {
  if (!zekbin_recorderIsOpen(r)) return ZEKBIN_WRITE_NO_WRITER;
  int32_t result = zek_write_zekbin_signaldatarow(r->writer, r->stream, events, time);
  ++r->rows;
  r->eventsPending = false;
  keep(r, result);
  return result;
}

int32_t zekbin_recorderFinish(ZekbinRecorder *r, const EventRecord *events, uint64_t step, uint64_t endTime) {
  if (!zekbin_recorderIsOpen(r)) return ZEKBIN_WRITE_NO_WRITER;
  // A file whose writer could not be had still becomes a valid recording, of no signal.
  if (r->writer == nullptr)
    r->writer = zek_write_zekbin_headerblock(r->stream, nullptr, 0, nullptr, 0, nullptr, 0, 0, 1);
  int32_t result = zek_close_zekbin_datablock(r->writer, r->stream, r->eventsPending ? events : nullptr, step,
                                              endTime);
  r->writer = nullptr;
  int32_t closed = closeStream(r);
  if (result == ZEKBIN_WRITE_OK) result = closed;
  keep(r, result);
  return result;
}

void zekbin_recorderRelease(ZekbinRecorder *r) {
  if (!zekbin_recorderIsOpen(r)) return;
  zek_release_zekbin_writer(r->writer);
  r->writer = nullptr;
  closeStream(r);
}

int32_t zekbin_recorderTakeFailure(ZekbinRecorder *r) {
  if (r == nullptr || r->failureTaken || r->failure == ZEKBIN_WRITE_OK) return ZEKBIN_WRITE_OK;
  r->failureTaken = true;
  return r->failure;
}
