#pragma once
// An independent decoder of ZEKBIN version-9 files for the tests: it shares no code with the
// writer or the readers, checks the order of the finished file strictly and finds the value of
// every element in every row by a plain linear walk of the repetition list.
#include <cstdint>
#include <string>
#include <vector>

namespace zd {

struct Signal {
  size_t offset = 0, length = 0;  // where the record lies in the file
  uint32_t id = 0, heapOffset = 0;
  uint8_t type = 0;
  uint32_t count = 0;
  uint8_t flags = 0, role = 0, mask = 0;
  std::string name;
  std::vector<double> scaling;
  std::string externalName;
  int16_t option2 = -1;
  std::vector<uint32_t> dims;
  uint32_t option4 = 0xFFFF, option5 = 0xFFFF;
  std::vector<std::string> attributes;
};

struct Repetition {
  int32_t row, sample;
  bool operator==(const Repetition &) const = default;
};

struct Element {
  size_t signal = 0;
  uint8_t size = 0;
  int64_t repetitionPosition = 0, blockListPosition = 0, chunkTablePosition = 0;
  int32_t blockCount = 0;
  std::vector<Repetition> repetitions;
  std::vector<int64_t> chunks;
};

struct Block {
  uint8_t kind = 0;
  int64_t firstTime = 0, step = 0;
  int32_t rowCount = 0, number = 0, firstRow = 0;
};

struct Event {
  uint16_t id;
  std::vector<uint8_t> data;
};

struct EventRecord {
  int64_t position;
  uint64_t time;
  std::vector<Event> events;
};

struct File {
  std::vector<uint8_t> bytes;
  std::string error;  // empty when the file decoded
  uint8_t byteOrder = 0, version = 0, sut = 0;
  uint32_t firstChunk = 0, laterChunk = 0;
  int64_t indexPosition = 0, blockTablePosition = 0, eventListPosition = 0;
  int32_t blockTableCount = 0;
  size_t headerEnd = 0;
  uint16_t enumCount = 0, eventDeclCount = 0;
  std::vector<std::pair<uint16_t, std::string>> eventDecls;
  std::vector<Signal> signals;
  std::vector<Element> elements;
  std::vector<int64_t> blockPositions;
  std::vector<Block> blocks;
  std::vector<uint64_t> stamps;  // time-stamped: one per row and the closing value
  std::vector<int64_t> stampChunks;
  std::vector<EventRecord> events;

  int32_t rows() const { return blocks.empty() ? 0 : blocks[0].rowCount; }
};

File parse(std::vector<uint8_t> bytes);

// Parses one SignalDeclRecord at offset; returns the offset behind it, or 0 with error set.
size_t parseSignal(const std::vector<uint8_t> &bytes, size_t offset, Signal &out, std::string &error);

int32_t sampleIndex(const Element &e, int32_t row);
std::vector<uint8_t> sample(const File &f, size_t element, int32_t index);
std::vector<uint8_t> valueAt(const File &f, size_t element, int32_t row);
// Samples 0 .. the one the last row shows.
std::vector<std::vector<uint8_t>> samples(const File &f, size_t element);

}  // namespace zd
