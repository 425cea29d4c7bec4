// A minimal host: loads a program image file, runs it cycle by cycle to its end and prints the
// values of its output channels after every cycle.
#include <cstdio>
#include <vector>

#include "vm_state.h"

namespace {
void printValue(const ChannelDecl &c) {
  for (uint32_t k = 0; k < c.elementCount && k < 8; ++k) {
    const uint8_t *p = c.value + (size_t)k * c.elementSize;
    switch (c.baseType) {
      case ZEK_UINT8: case ZEK_BOOL: std::printf(" %u", zek_load_as<uint8_t>(p)); break;
      case ZEK_INT8: std::printf(" %d", zek_load_as<int8_t>(p)); break;
      case ZEK_UINT16: std::printf(" %u", zek_load_as<uint16_t>(p)); break;
      case ZEK_INT16: std::printf(" %d", zek_load_as<int16_t>(p)); break;
      case ZEK_UINT32: std::printf(" %u", zek_load_as<uint32_t>(p)); break;
      case ZEK_INT32: std::printf(" %d", zek_load_as<int32_t>(p)); break;
      case ZEK_INT64: std::printf(" %lld", (long long)zek_load_as<int64_t>(p)); break;
      case ZEK_FLOAT: std::printf(" %g", (double)zek_load_as<float>(p)); break;
      case ZEK_DOUBLE: std::printf(" %g", zek_load_as<double>(p)); break;
    }
  }
}
}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zek_example <programfile>\n");
    return 2;
  }
  FILE *f = std::fopen(argv[1], "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "ERROR: cannot open '%s'\n", argv[1]);
    return 1;
  }
  std::vector<uint8_t> image;
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) image.insert(image.end(), buffer, buffer + n);
  std::fclose(f);
  if (!zek_checkImageSize(image.data(), image.size()) || zek_load(image.data()) != 0) {
    std::fprintf(stderr, "ERROR: %s\n", zek_getErrorMessage());
    return 1;
  }
  VmData *data = zek_getData();
  std::printf("loaded %s: %u channels, cycle time %u us, timeout %u cycles\n", argv[1], data->channelCount,
              zek_getDensity(), zek_getTimeout());
  uint32_t result;
  do {
    uint32_t cycle = zek_getCycleCount();
    result = zek_runCycle();
    std::printf("cycle %u: result %u", cycle, result);
    for (uint16_t i = 0; i < data->outputCount; ++i) {
      std::printf("  %s =", data->outputs[i].name);
      printValue(data->outputs[i]);
    }
    std::printf("\n");
  } while (result == 0);
  if (result == 1) {
    std::fprintf(stderr, "ERROR: %s\n", zek_getErrorMessage());
    return 1;
  }
  std::printf("test ended after %u cycles\n", zek_getCycleCount());
  return 0;
}
