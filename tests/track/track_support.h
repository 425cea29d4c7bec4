#pragma once
// What the coverage runtime's tests share: a fixture that starts every test from an
// uninitialised runtime, a reader of the coverage result file (the only place the counters
// can be seen from outside), and a writer of expected file bytes.
#include "sfun_standin.h"
#include "test_files.h"
#include "zek_track.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace tt {

constexpr uint64_t UNDEFINED_BITS = 0x7FF8000000000000ull;
constexpr double NEVER = 1e7;

inline double undefinedDistance() { return std::bit_cast<double>(UNDEFINED_BITS); }
inline bool isUndefined(double d) { return std::bit_cast<uint64_t>(d) == UNDEFINED_BITS; }

struct Outcome {
  int32_t hits;
  int32_t firstCycle;
  double distance;
};

inline bool operator==(const Outcome &a, const Outcome &b) {
  return a.hits == b.hits && a.firstCycle == b.firstCycle &&
         std::bit_cast<uint64_t>(a.distance) == std::bit_cast<uint64_t>(b.distance);
}

inline std::ostream &operator<<(std::ostream &os, const Outcome &o) {
  os << "{hits " << o.hits << ", first " << o.firstCycle << ", distance ";
  if (isUndefined(o.distance))
    os << "undefined";
  else
    os << o.distance;
  return os << "}";
}

inline Outcome untouched() { return Outcome{0, -1, NEVER}; }
inline Outcome undefinedOutcome() { return Outcome{0, -1, undefinedDistance()}; }

struct Decision {
  uint8_t kind = 0;
  uint32_t count = 0;
  // kind 1: per condition; kind 2: cases holds the case outcomes.
  std::vector<Outcome> condTrue, condFalse, mcdcTrue, mcdcFalse, cases;
  Outcome decisionTrue{}, decisionFalse{};
};

struct Table {
  std::vector<Decision> decisions;
};

inline std::vector<uint8_t> readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Decodes a result file; false with the reason when it is cut short or has bytes left over.
inline bool parseTable(const std::vector<uint8_t> &bytes, Table &table, std::string &why) {
  size_t at = 0;
  auto take = [&](void *out, size_t n) {
    if (bytes.size() - at < n) return false;
    std::memcpy(out, bytes.data() + at, n);
    at += n;
    return true;
  };
  auto outcome = [&](Outcome &o) { return take(&o.hits, 4) && take(&o.firstCycle, 4) && take(&o.distance, 8); };
  uint32_t count = 0;
  if (!take(&count, 4)) return why = "no decision count", false;
  table.decisions.assign(count, Decision{});
  for (uint32_t d = 0; d < count; ++d) {
    Decision &dec = table.decisions[d];
    if (!take(&dec.kind, 1)) return why = "cut at the kind of decision " + std::to_string(d), false;
    if (dec.kind == 0) continue;
    if (dec.kind > 2) return why = "kind " + std::to_string(dec.kind) + " of decision " + std::to_string(d), false;
    if (!take(&dec.count, 4)) return why = "cut at the count of decision " + std::to_string(d), false;
    if (dec.kind == 1) {
      for (uint32_t i = 0; i < dec.count; ++i) {
        Outcome o[4];
        for (Outcome &x : o)
          if (!outcome(x)) return why = "cut in decision " + std::to_string(d), false;
        dec.condTrue.push_back(o[0]);
        dec.condFalse.push_back(o[1]);
        dec.mcdcTrue.push_back(o[2]);
        dec.mcdcFalse.push_back(o[3]);
      }
      if (!outcome(dec.decisionTrue) || !outcome(dec.decisionFalse))
        return why = "cut in the outcomes of decision " + std::to_string(d), false;
    } else {
      dec.cases.resize(dec.count);
      for (Outcome &x : dec.cases)
        if (!outcome(x)) return why = "cut in decision " + std::to_string(d), false;
    }
  }
  if (at != bytes.size()) return why = std::to_string(bytes.size() - at) + " bytes left over", false;
  return true;
}

// Expected file bytes, little-endian like the file.
struct Bytes {
  std::vector<uint8_t> b;
  Bytes &u8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Bytes &u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
    return *this;
  }
  Bytes &f64(double v) {
    uint64_t bits = std::bit_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) b.push_back(uint8_t(bits >> (8 * i)));
    return *this;
  }
  Bytes &outcome(const Outcome &o) { return u32(uint32_t(o.hits)).u32(uint32_t(o.firstCycle)).f64(o.distance); }
};

using ztf::processTempDir;
using ztf::tempPath;

inline std::string heldError() {
  const char *e = ZEK_TRACK_SL_getErrorMsg();
  return e != nullptr ? e : "";
}

// Saves the counters and reads them back; the test fails when saving reports anything.
inline Table snapshot(const std::string &name = "snapshot.bin") {
  std::string path = tempPath(name);
  ZEK_TRACK_save_to(path.c_str());
  EXPECT_EQ(heldError(), "");
  Table table;
  std::string why;
  EXPECT_TRUE(parseTable(readFile(path), table, why)) << why;
  return table;
}

// Every test starts and ends with an uninitialised runtime, no held message and nothing printed.
class TrackTest : public ::testing::Test {
protected:
  void SetUp() override { resetAll(); }
  void TearDown() override { resetAll(); }
  static void resetAll() {
    ZEK_TRACK_cleanup();
    ZEK_TRACK_SL_resetErrorMsg();
    standin_reset();
  }
};

} // namespace tt
