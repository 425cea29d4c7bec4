#include "recording.h"

#include <cstdio>

#include "zek_common.h"
#include "zekbin_writer.h"

namespace zt {

RecordedSignal recordedSignal(const char *name, uint32_t type, uint32_t count, uint32_t role, uint16_t id) {
  RecordedSignal s{};
  s.decl.name = name;
  s.decl.id = id;
  s.decl.baseType = type;
  s.decl.elementSize = zek_baseTypeSizeOf(type);
  s.decl.elementCount = count;
  s.decl.recorded = 1;
  s.decl.role = (uint8_t)role;
  s.decl.option2 = s.decl.option4 = s.decl.option5 = -1;
  s.value.assign((size_t)count * s.decl.elementSize, 0);
  return s;
}

int32_t writeRecording(const std::string &path, std::vector<RecordedSignal> &signals, int64_t rows,
                       const RowSetter &setRow, const RecordingOptions &o) {
  std::vector<ChannelDecl *> channels;
  for (RecordedSignal &s : signals) {
    s.decl.value = s.value.data();
    channels.push_back(&s.decl);
  }
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return ZEKBIN_WRITE_STREAM;
  ZekbinWriter *w = zek_write_zekbin_headerblock(f, channels.data(), (uint32_t)channels.size(), o.enumSets,
                                                 o.enumSetCount, o.events, o.eventCount, o.sutSynchronous, 1);
  int32_t result = w != nullptr ? ZEKBIN_WRITE_OK : ZEKBIN_WRITE_NO_WRITER;
  for (int64_t r = 0; r < rows && result == ZEKBIN_WRITE_OK; ++r) {
    const EventRecord *events = setRow ? setRow(r) : nullptr;
    result = zek_write_zekbin_signaldatarow(w, f, events, (uint64_t)r * o.step);
  }
  if (w != nullptr) {
    uint64_t end = o.endTime >= 0 ? (uint64_t)o.endTime : (uint64_t)rows * o.step;
    int32_t closed = zek_close_zekbin_datablock(w, f, nullptr, o.step, end);
    if (result == ZEKBIN_WRITE_OK) result = closed;
  }
  if (std::fclose(f) != 0 && result == ZEKBIN_WRITE_OK) result = ZEKBIN_WRITE_STREAM;
  for (RecordedSignal &s : signals) s.decl.value = nullptr;
  return result;
}

bool writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace zt
