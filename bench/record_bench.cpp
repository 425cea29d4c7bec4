// Speed of the record writer on the host's hot path: rows per second and bytes per row for
// 1000 scalar channels (constant, and all changing every row) and for one unchanged array of
// 10^4 elements. Writes real files into $TMPDIR (or /tmp) and removes them.
// Usage: zek_record_bench [row scale, default 1] [only the cases whose name holds this text]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zekbin_writer.h"

namespace {

struct Channels {
  std::vector<ChannelDecl> decls;
  std::vector<std::string> names;
  std::vector<uint8_t> heap;
};

Channels makeChannels(uint32_t count, uint32_t elements, uint32_t type, uint8_t size) {
  Channels c;
  c.decls.resize(count);
  c.names.resize(count);
  c.heap.assign((size_t)count * elements * size, 0);
  for (uint32_t i = 0; i < count; ++i) {
    ChannelDecl &d = c.decls[i];
    c.names[i] = "signal_" + std::to_string(i);
    d.name = c.names[i].c_str();
    d.id = (uint16_t)i;
    d.heapOffset = i * elements * size;
    d.baseType = type;
    d.elementSize = size;
    d.elementCount = elements;
    d.value = c.heap.data() + d.heapOffset;
    d.recorded = 1;
    d.role = 1;
    d.option2 = d.option4 = d.option5 = -1;
  }
  return c;
}

// Records rows; change(row) updates the values before each row. Prints the result line.
const char *onlyCases = nullptr;

template <typename Change>
bool run(const char *what, Channels &c, int32_t rows, Change change) {
  if (onlyCases != nullptr && std::strstr(what, onlyCases) == nullptr) return true;
  const char *tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zek_record_bench_XXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0) return false;
  FILE *f = fdopen(fd, "wb");
  if (f == nullptr) return false;
  std::vector<ChannelDecl *> refs;
  uint64_t header = 53;
  for (ChannelDecl &d : c.decls) {
    refs.push_back(&d);
    header += (uint64_t)zek_getSignalDeclLength(&d);
  }
  auto start = std::chrono::steady_clock::now();
  ZekbinWriter *w = zek_write_zekbin_headerblock(f, refs.data(), (uint32_t)refs.size(), nullptr, 0, nullptr, 0, 0, 1);
  int32_t result = w == nullptr ? ZEKBIN_WRITE_NO_WRITER : ZEKBIN_WRITE_OK;
  for (int32_t r = 0; r < rows && result == ZEKBIN_WRITE_OK; ++r) {
    change(r);
    result = zek_write_zekbin_signaldatarow(w, f, nullptr, (uint64_t)r);
  }
  result = zek_close_zekbin_datablock(w, f, nullptr, 1, (uint64_t)rows);
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  long size = std::ftell(f);
  std::fclose(f);
  std::remove(path.c_str());
  if (result != ZEKBIN_WRITE_OK) {
    std::fprintf(stderr, "%s: %s\n", what, zekbin_writeResultText(result));
    return false;
  }
  std::printf("%-46s %8d rows %12.0f rows/s %10.2f bytes/row\n", what, rows, rows / seconds,
              (double)((uint64_t)size - header) / rows);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
  if (!(scale > 0)) scale = 1.0;
  if (argc > 2) onlyCases = argv[2];
  auto rows = [scale](double n) { return (int32_t)(n * scale) > 0 ? (int32_t)(n * scale) : 1; };
  bool ok = true;

  Channels scalars = makeChannels(1000, 1, 6, 4);  // int32
  ok &= run("1000 scalar channels, constant", scalars, rows(200000), [](int32_t) {});
  ok &= run("1000 scalar channels, all changing", scalars, rows(20000), [&scalars](int32_t r) {
    for (size_t i = 0; i < scalars.decls.size(); ++i) std::memcpy(scalars.heap.data() + 4 * i, &r, 4);
  });

  Channels array = makeChannels(1, 10000, 9, 8);  // double[10^4]
  for (size_t i = 0; i < 10000; ++i) {
    double v = 0.5 * (double)i;
    std::memcpy(array.heap.data() + 8 * i, &v, 8);
  }
  ok &= run("one 10^4-element array, unchanged", array, rows(200000), [](int32_t) {});
  return ok ? 0 : 1;
}
