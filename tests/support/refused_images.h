#pragma once
// Program files that a host must refuse before or while loading, made from a good image: a
// wrong check sum, magic or version, a file cut short and a file of its header alone. Each
// comes with the message the refusal carries (empty: the check sum's, as zek_load gives it).
// The context is the one of a VM reset by the failed load, never of a program run before.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zek_vm.h"

namespace zt {

struct RefusedImage {
  const char *what;
  void (*spoil)(std::vector<uint8_t> &);
  std::string message;
};

// The context of a load that failed on the image's check sum.
inline const std::string kRefusedLoadContext = " (error=11, address=0x0000, time=0.000000s)";

inline std::vector<RefusedImage> refusedImages(const std::vector<uint8_t> &good) {
  const std::string &context = kRefusedLoadContext;
  return {
      {"check sum", [](std::vector<uint8_t> &b) { b[b.size() / 2] ^= 0x55; }, ""},
      {"magic", [](std::vector<uint8_t> &b) { b[0] = 'X'; },
       "Wrong magic key. (error=10, address=0x0000, time=0.000000s)"},
      {"version", [](std::vector<uint8_t> &b) { b[6] = 16; },
       "Version mismatch. The bytecode version is 16, the version supported by the ZEK VM is 17." + context},
      {"cut", [](std::vector<uint8_t> &b) { b.resize(b.size() - 10); },
       "Malformed program image. The program announces " + std::to_string(good.size()) + " bytes, the file holds " +
           std::to_string(good.size() - 10) + "." + context},
      {"header only", [](std::vector<uint8_t> &b) { b.resize(9); },
       "Malformed program image. The file of 9 bytes is shorter than its header." + context},
  };
}

// Compares what a host reported of the spoiled bytes with what zek_load says of them: the same
// text where the refusal is the load's own, else the case's message with the load's context. A
// cut file is given its missing bytes as zeros, so that the load reads only what it owns and
// fails on the check sum.
inline void expectRefusedAsLoad(const std::string &reported, const RefusedImage &c, const std::vector<uint8_t> &bytes,
                                size_t goodSize) {
  std::vector<uint8_t> loaded = bytes;
  if (loaded.size() < goodSize) loaded.resize(goodSize);
  ASSERT_EQ(zek_load(loaded.data()), 1u);
  std::string byLoad = zek_getErrorMessage();
  if (c.message.empty()) {
    EXPECT_EQ(reported, byLoad);
    EXPECT_EQ(reported.substr(reported.rfind(" (")), kRefusedLoadContext);
  } else {
    EXPECT_EQ(reported, c.message);
    EXPECT_EQ(reported.substr(reported.rfind(" (")), byLoad.substr(byLoad.rfind(" ("))) << byLoad;
    if (bytes.size() == goodSize) {
      EXPECT_EQ(reported, byLoad);
    }
  }
}

}  // namespace zt
