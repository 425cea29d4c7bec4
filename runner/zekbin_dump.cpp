// zekbin_dump: prints the rows of a record file through the input reader, one line per row,
// one column per signal (at most 4 elements of an array).
//   zekbin_dump <recordfile>
#include <cinttypes>
#include <cstdio>

#include "zek_common.h"
#include "zekbin_reader.h"

namespace {

constexpr uint32_t kShownElements = 4;

void printElement(const ZekbinVariable *v, uint32_t k) {
  const uint8_t *p = v->value + (size_t)k * v->elementSize;
  switch (v->baseType) {
    case ZEK_UINT8: case ZEK_BOOL: std::printf("%u", zek_load_as<uint8_t>(p)); break;
    case ZEK_INT8: std::printf("%d", zek_load_as<int8_t>(p)); break;
    case ZEK_UINT16: std::printf("%u", zek_load_as<uint16_t>(p)); break;
    case ZEK_INT16: std::printf("%d", zek_load_as<int16_t>(p)); break;
    case ZEK_UINT32: std::printf("%" PRIu32, zek_load_as<uint32_t>(p)); break;
    case ZEK_INT32: std::printf("%" PRId32, zek_load_as<int32_t>(p)); break;
    case ZEK_INT64: std::printf("%" PRId64, zek_load_as<int64_t>(p)); break;
    case ZEK_FLOAT: std::printf("%g", (double)zek_load_as<float>(p)); break;
    case ZEK_DOUBLE: std::printf("%g", zek_load_as<double>(p)); break;
    default: std::printf("?"); break;
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zekbin_dump <recordfile>\n");
    return 2;
  }
  uint32_t count = 0;
  uint32_t result = zekbin_open(argv[1], &count);
  if (result != 0) {
    std::fprintf(stderr, "ERROR: The ZEKBIN reader returned error code '%u' while opening '%s'.\n", result, argv[1]);
    return 1;
  }
  ZekbinVariable **vars = zekbin_getVariables(&count);
  std::printf("%s: version %u, %u signals\nrow", argv[1], zekbin_fileVersion(), count);
  for (uint32_t i = 0; i < count; ++i) std::printf("\t%s", vars[i]->name);
  std::printf("\n");
  uint32_t rows = 0;
  while ((result = zekbin_nextBlock()) == 0) {
    std::printf("%u", rows++);
    for (uint32_t i = 0; i < count; ++i) {
      std::printf("\t");
      for (uint32_t k = 0; k < vars[i]->elementCount && k < kShownElements; ++k) {
        if (k > 0) std::printf(" ");
        printElement(vars[i], k);
      }
      if (vars[i]->elementCount > kShownElements) std::printf(" ...");
    }
    std::printf("\n");
  }
  zekbin_close();
  std::printf("%u rows\n", rows);
  return result == 6 ? 0 : 1;
}
