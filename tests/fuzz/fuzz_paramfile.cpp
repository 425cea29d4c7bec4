// Feeds arbitrary bytes to the parameter-file reader, from memory and through a stream, and
// touches everything an accepted file yields.
#include <cstdio>
#include <cstring>

#include "zek_common.h"
#include "zekbin_paramfile.h"

namespace {

size_t touch(uint32_t count) {
  size_t sum = 0;
  const ChannelDecl *table = zekbinFile_getVariables();
  for (uint32_t i = 0; i < count; ++i) {
    const ChannelDecl &c = table[i];
    sum += std::strlen(c.name);
    for (size_t k = 0; k < (size_t)c.elementCount * c.elementSize; ++k) sum += c.value[k];
    if (c.externalName != nullptr) sum += std::strlen(c.externalName);
    if (c.scaling != nullptr) sum += (size_t)(c.scaling[3] != 0);
    for (uint8_t d = 0; d < c.dimCount; ++d) sum += c.dims[d];
    if (c.attributes != nullptr) sum += zek_attributes_len(c.attributes);
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint32_t count = 0;
  volatile size_t sink = 0;
  if (zekbinFile_readFromMemory(data, size, &count) == 0) sink = sink + touch(count);
  if (size > 0) {
    FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (stream != nullptr) {
      if (zekbinFile_readFrom(stream, &count) == 0) sink = sink + touch(count);
      std::fclose(stream);
    }
  }
  zek_resetError();
  return 0;
}
