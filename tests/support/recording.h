#pragma once
// Record files and program files written for tests, benchmarks, fixtures and fuzz seeds: the
// recording goes through the record writer, as a host would write it.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zek_vm.h"

namespace zt {

// A channel to record and its value buffer. The declaration points at the buffer only while
// writeRecording runs, so records may be copied and moved freely.
struct RecordedSignal {
  ChannelDecl decl;
  std::vector<uint8_t> value;
};

// A recorded channel (flag bit 1) of the base type and element count, its value zeroed; the
// options absent.
RecordedSignal recordedSignal(const char *name, uint32_t type, uint32_t count, uint32_t role = 0, uint16_t id = 0);

struct RecordingOptions {
  const EnumSetDecl *enumSets = nullptr;
  uint16_t enumSetCount = 0;
  const EventDecl *events = nullptr;
  uint16_t eventCount = 0;
  uint32_t sutSynchronous = 0;
  uint64_t step = 10;     // row r has the time r * step; the finish is given this step
  int64_t endTime = -1;   // the time the finish is given; -1: rows * step
};

// Before row r: sets the signals' values and returns the row's events (null: none).
using RowSetter = std::function<const EventRecord *(int64_t row)>;

// Writes `rows` rows of the signals into the file path (cycle indexed). 0 (ZEKBIN_WRITE_OK)
// when the writer, every row and the finish succeeded; else the first failure's result.
int32_t writeRecording(const std::string &path, std::vector<RecordedSignal> &signals, int64_t rows,
                       const RowSetter &setRow, const RecordingOptions &options = {});

// Writes bytes as the whole file path (a program image, say); false when that failed.
bool writeFile(const std::string &path, const std::vector<uint8_t> &bytes);

}  // namespace zt
