#pragma once
// Running channel instructions with index groups already on the index stack, as PUSHCONSTINDEX
// leaves them: the index values, then their count on top.
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "channel_access.h"
#include "vm_harness.h"

namespace ct {

constexpr int64_t kNoRange = 0x7FFFFFFF;

// One index group: its values, then the count.
inline std::vector<uint32_t> group(std::initializer_list<int64_t> values) {
  std::vector<uint32_t> entries;
  for (int64_t v : values) entries.push_back((uint32_t)v);
  entries.push_back((uint32_t)values.size());
  return entries;
}

// Runs the byte code from offset bytes behind the code base within the current cycle, like
// zt::execute, with the given index-stack entries (bottom first) and the string-write flag.
inline void run(const std::vector<uint32_t> &indexEntries = {}, uint32_t offset = 0, bool stringWrite = false) {
  VmState &vm = vmstate0;
  zt::executeFrom(offset, [&] {
    for (uint32_t e : indexEntries) ASSERT_TRUE(zek_istack_push(e));
    vm.stringWrite = stringWrite ? 1 : 0;
  });
  vm.stringWrite = 0;
}

// The written-flag bitmap as bytes.
inline std::vector<uint8_t> writtenBitmap(void) {
  return std::vector<uint8_t>(vmstate0.writtenFlags, vmstate0.writtenFlags + vmstate0.bitmapSize);
}

// A bitmap of the current size with the given bytes set.
inline std::vector<uint8_t> bitmapWith(const std::map<size_t, uint8_t> &bytes) {
  std::vector<uint8_t> out(vmstate0.bitmapSize, 0);
  for (auto [i, v] : bytes) out.at(i) = v;
  return out;
}

inline void clearWrittenFlags(void) { std::memset(vmstate0.writtenFlags, 0, vmstate0.bitmapSize); }

template <typename T> std::vector<T> values(const std::string &name) {
  ChannelDecl *c = zt::channel(name);
  std::vector<T> out(c != nullptr ? c->elementCount : 0);
  if (c != nullptr) std::memcpy(out.data(), c->value, out.size() * sizeof(T));
  return out;
}

template <typename T> std::vector<uint8_t> bytesOfRange(T first, T count) {
  std::vector<uint8_t> out;
  for (T i = 0; i < count; ++i) {
    T v = first + i;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&v);
    out.insert(out.end(), p, p + sizeof(T));
  }
  return out;
}

inline std::vector<uint32_t> shapeOf(const ZekValueView &v) {
  if (v.scalar) return {};
  return std::vector<uint32_t>(v.dims, v.dims + v.dimCount);
}

}  // namespace ct
