// Feeds arbitrary bytes to the console runner's input reader and reads every row it accepts;
// then takes the same bytes as steps of an ascending repetition list and checks that the row
// cache gives the sample of the format's rule, for the rows in the order the bytes ask.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zek_common.h"
#include "zekbin_format.h"
#include "zekbin_reader.h"

namespace {

constexpr uint32_t kMaxRows = 4096;

void readFile(const uint8_t *data, size_t size) {
  uint32_t count = 0;
  if (zekbin_openMemory(data, size, &count) != 0) return;
  ZekbinVariable **vars = zekbin_getVariables(&count);
  volatile uint32_t sink = 0;
  for (uint32_t row = 0; row < kMaxRows && zekbin_nextBlock() == 0; ++row)
    for (uint32_t i = 0; i < count; ++i)
      for (uint64_t b = 0; b < zekbin_variableByteSize(vars[i]); ++b) sink = sink + vars[i]->value[b];
  zekbin_close();
}

// Entries from pairs of bytes: each row step 1..256, each sample step 1..row step, as the
// writer's lists are (a sample is written in at most one row).
void checkCache(const uint8_t *data, size_t size) {
  size_t n = size / 3;
  std::vector<uint8_t> list(n * ZEKBIN_REPETITION_SIZE);
  int32_t row = 0, sample = 0;
  for (size_t k = 0; k < n; ++k) {
    int32_t rowStep = data[2 * k] + 1;
    int32_t sampleStep = 1 + data[2 * k + 1] % rowStep;
    row += rowStep;
    sample += sampleStep;
    zekbin_encodeRepetition(ZekbinRepetition{row, sample}, list.data() + k * ZEKBIN_REPETITION_SIZE);
  }
  int32_t rows = row + 8;
  ZekbinLookupState state{};
  zekbin_initLookupState(&state, list.data(), (int32_t)n);
  // The rest of the bytes: 0 reads the next row, anything else jumps.
  int32_t at = 0;
  for (size_t i = 2 * n; i < size; ++i) {
    at = data[i] == 0 ? at + 1 : (int32_t)((uint32_t)data[i] * 2654435761u % (uint32_t)rows);
    if (at >= rows) at = 0;
    if (zekbin_findSampleIndex(&state, at) != zekbin_sampleIndexOfRow(list.data(), (uint32_t)n, at)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zekbin_setMessageStream(nullptr);
  readFile(data, size);
  checkCache(data, size);
  zek_resetError();
  return 0;
}
