// Writes the seeds of fuzz_inputfile into the folder given: small recordings written by the
// record writer, with runs that give repetition entries, arrays, a stream that reaches its
// second chunk, events, and recordings without rows or signals.
#include <cstdio>
#include <string>
#include <vector>

#include "recording.h"
#include "zekbin_writer.h"

namespace {

using Signal = zt::RecordedSignal;

Signal signal(const char *name, uint16_t id, uint32_t type, uint32_t count) {
  return zt::recordedSignal(name, type, count, 0, id);
}

// Row r changes the first byte of every signal when r is a multiple of its run length.
bool write(const std::string &path, std::vector<Signal> &signals, int rows, int run, bool events) {
  EventDecl decl{4, "tick"};
  uint8_t data[2] = {'o', 'k'};
  EventRecord event{4, 2, data, nullptr};
  zt::RecordingOptions options;
  options.events = events ? &decl : nullptr;
  options.eventCount = events ? 1 : 0;
  return zt::writeRecording(path, signals, rows, [&](int64_t r) -> const EventRecord * {
    if (r % run == 0)
      for (Signal &s : signals)
        if (!s.value.empty()) s.value[0] = (uint8_t)(s.value[0] + 1);
    return events && r % 3 == 0 ? &event : nullptr;
  }, options) == ZEKBIN_WRITE_OK;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: seeds_inputfile_writer FOLDER\n");
    return 2;
  }
  std::string dir = argv[1];
  bool ok = true;
  std::vector<Signal> runs = {signal("a", 1, 6, 1), signal("b", 2, 1, 3), signal("c", 3, 9, 7)};
  ok &= write(dir + "/runs.zekbin", runs, 40, 5, true);
  std::vector<Signal> changing = {signal("d", 1, 7, 1), signal("e", 2, 3, 2)};
  ok &= write(dir + "/chunks.zekbin", changing, 24, 1, false);
  std::vector<Signal> rowless = {signal("x", 1, 5, 2)};
  ok &= write(dir + "/rowless.zekbin", rowless, 0, 1, false);
  std::vector<Signal> none;
  ok &= write(dir + "/nosignal.zekbin", none, 3, 1, true);
  if (!ok) std::fprintf(stderr, "seeds_inputfile_writer: could not write every seed into %s\n", dir.c_str());
  return ok ? 0 : 1;
}
