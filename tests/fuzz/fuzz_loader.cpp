// Feeds mutated program images to the loader. The length field and the CRC are repaired after
// mutation so that the input reaches past the CRC check into the blocks.
#include <cstdint>
#include <cstring>
#include <vector>

#include "vm_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 100 || size > (1u << 20)) return 0;
  std::vector<uint8_t> image(data, data + size);
  std::memcpy(image.data(), "ZEKVM", 5);
  image[6] = 17;
  bool swap = image[5] != 0;
  uint32_t length = (uint32_t)size - 4;
  uint32_t stored = swap ? zek_bswap32(length) : length;
  std::memcpy(image.data() + 7, &stored, 4);
  uint32_t crc = zek_computeCrc(image.data(), length - 4);
  if (swap) crc = zek_bswap32(crc);
  std::memcpy(image.data() + length - 4, &crc, 4);
  if (!zek_checkImageSize(image.data(), image.size())) return 0;
  // Sizes that are merely large (a history ring or stacks of gigabytes) are valid and would
  // only exhaust the fuzzer's memory: keep them small.
  auto header = [&](size_t offset) {
    uint32_t v;
    std::memcpy(&v, image.data() + offset, 4);
    return swap ? zek_bswap32(v) : v;
  };
  if ((uint64_t)header(31) * header(19) > (64u << 20) || header(37) > (16u << 20)) return 0;
  if (zek_load(image.data()) == 0) {
    VmData *d = zek_getData();
    for (uint16_t i = 0; i < d->channelCount; ++i) {
      volatile uint8_t last = d->channels[i].value[(size_t)d->channels[i].elementCount * d->channels[i].elementSize - 1];
      (void)last;
    }
    zek_isSuppressedSignalName("x");
  }
  return 0;
}
