// Links the bare interpreter object with the helpers and runs a program image file to its end.
#include <cstdio>
#include <vector>

#include "vm_state.h"

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  FILE *f = std::fopen(argv[1], "rb");
  if (f == nullptr) return 2;
  std::vector<uint8_t> image;
  uint8_t buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) image.insert(image.end(), buffer, buffer + n);
  std::fclose(f);
  if (!zek_checkImageSize(image.data(), image.size()) || zek_load(image.data()) != 0) {
    std::printf("load failed: %s\n", zek_getErrorMessage());
    return 1;
  }
  uint32_t result;
  while ((result = zek_runCycle()) == 0) {
  }
  std::printf("result %u after %u cycles\n", result, zek_getCycleCount());
  return result == 2 ? 0 : 1;
}
