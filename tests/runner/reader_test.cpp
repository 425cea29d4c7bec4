// The input reader: the row cache against the format's rule in every reading order, rows of
// real recordings, the call sequence, what the header may and may not hold, and files cut
// short or lying about their sizes.
#include <algorithm>
#include <functional>
#include <random>

#include "runner_support.h"
#include "zekbin_format.h"
#include "zek_platform.h"
#include "zekbin_reader.h"

namespace {

using rr::Bytes;

Bytes encodeList(const std::vector<zd::Repetition> &list) {
  Bytes out(list.size() * ZEKBIN_REPETITION_SIZE);
  for (size_t i = 0; i < list.size(); ++i)
    zekbin_encodeRepetition(ZekbinRepetition{list[i].row, list[i].sample}, out.data() + i * ZEKBIN_REPETITION_SIZE);
  return out;
}

// The rule of the format, by a plain walk over the list.
int64_t ruleSample(const std::vector<zd::Repetition> &list, int32_t row) {
  if (list.empty()) return row;
  zd::Repetition p{0, 0};
  int64_t q = INT32_MAX;
  for (const zd::Repetition &e : list) {
    if (e.row == row) return e.sample;
    if (e.row < row) p = e;
    if (e.row > row) {
      q = e.sample;
      break;
    }
  }
  return p.sample + std::min<int64_t>((int64_t)row - p.row, q - p.sample - 1);
}

// Values with runs of random length, so that the writer stores some runs as copies and some
// as repetition entries.
std::vector<int32_t> valuesWithRuns(uint32_t seed, int32_t rows) {
  std::mt19937 rng(seed);
  std::vector<int32_t> v;
  int32_t value = 100;
  while ((int32_t)v.size() < rows) {
    int32_t run = std::uniform_int_distribution<int32_t>(1, 9)(rng);
    for (int32_t i = 0; i < run && (int32_t)v.size() < rows; ++i) v.push_back(value);
    ++value;
  }
  return v;
}

std::vector<int32_t> rowsInOrder(int32_t n, const std::string &order, uint32_t seed) {
  std::vector<int32_t> rows;
  std::mt19937 rng(seed);
  if (order == "forwards") {
    for (int32_t r = 0; r < n; ++r) rows.push_back(r);
  } else if (order == "forwards twice each") {
    for (int32_t r = 0; r < n; ++r) rows.insert(rows.end(), {r, r});
  } else if (order == "backwards") {
    for (int32_t r = n - 1; r >= 0; --r) rows.push_back(r);
  } else if (order == "random") {
    for (int32_t i = 0; i < 3 * n; ++i) rows.push_back(std::uniform_int_distribution<int32_t>(0, n - 1)(rng));
  } else if (order == "forwards with jumps") {
    for (int32_t r = 0; r < n; ++r) {
      rows.push_back(r);
      if (r % 7 == 3) r += std::uniform_int_distribution<int32_t>(0, 5)(rng);
    }
  }
  return rows;
}

const char *const kOrders[] = {"forwards", "forwards twice each", "backwards", "random", "forwards with jumps"};

void expectRule(const std::vector<zd::Repetition> &list, int32_t rows, const std::string &what) {
  Bytes bytes = encodeList(list);
  for (const char *order : kOrders) {
    ZekbinLookupState state{};
    zekbin_initLookupState(&state, bytes.data(), (int32_t)list.size());
    for (int32_t row : rowsInOrder(rows, order, 7)) {
      ASSERT_EQ(zekbin_findSampleIndex(&state, row), ruleSample(list, row)) << what << ", " << order << ", row " << row;
    }
  }
}

TEST(ZekbinReaderIndex, ExamplesOfTheFormat) {
  // A, B, C, C, C, C, D, E, E, E: samples A B C D E E E, one entry (6, 3).
  std::vector<int64_t> expected{0, 1, 2, 2, 2, 2, 3, 4, 5, 6};
  Bytes list = encodeList({{6, 3}});
  for (const char *order : kOrders) {
    ZekbinLookupState state{};
    zekbin_initLookupState(&state, list.data(), 1);
    for (int32_t row : rowsInOrder(10, order, 3)) EXPECT_EQ(zekbin_findSampleIndex(&state, row), expected[row]) << order;
  }
  // A value that never changed after row 0 of 10 rows: (10, 1).
  expectRule({{10, 1}}, 10, "constant");
  for (int32_t row = 0; row < 10; ++row) EXPECT_EQ(ruleSample({{10, 1}}, row), 0);
  // No entry: every row has its own sample.
  expectRule({}, 20, "no entries");
}

TEST(ZekbinReaderIndex, RecordedRunsInEveryOrderFollowTheRule) {
  std::string path = rr::tempPath("runs.zekbin");
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    std::vector<int32_t> values = valuesWithRuns(seed, 300);
    rr::writeRecording(path, {rr::scalar<int32_t>("x", 6, values)});
    zd::File f = rr::decodeFile(path);
    ASSERT_EQ(f.elements.size(), 1u);
    ASSERT_GT(f.elements[0].repetitions.size(), 3u) << "the runs should give repetition entries";
    expectRule(f.elements[0].repetitions, 300, "seed " + std::to_string(seed));
  }
  // Entries in consecutive rows and at the very start and end.
  expectRule({{1, 1}, {2, 2}, {5, 3}, {6, 4}, {40, 10}}, 41, "dense");
  expectRule({{4, 1}, {9, 2}}, 12, "repeats only");
}

// The reader's rows of a recording, as the bytes of every variable.
std::vector<std::vector<Bytes>> readRows(uint32_t *last) {
  std::vector<std::vector<Bytes>> rows;
  uint32_t count = 0;
  ZekbinVariable **vars = zekbin_getVariables(&count);
  uint32_t r;
  while ((r = zekbin_nextBlock()) == ZEKBIN_READ_OK) {
    std::vector<Bytes> row;
    for (uint32_t i = 0; i < count; ++i)
      row.emplace_back(vars[i]->value, vars[i]->value + zekbin_variableByteSize(vars[i]));
    rows.push_back(row);
  }
  *last = r;
  return rows;
}

TEST(ZekbinReaderRows, EveryRowOfEveryTypeAsRecorded) {
  const int32_t rows = 40;
  std::mt19937 rng(11);
  std::vector<rr::Signal> signals;
  struct Kind { const char *name; uint32_t type, count; int changeEvery; };
  // Sizes 1, 2, 4, 8; arrays above and below the whole-channel limit of 5; an 8-byte element
  // that changes in every row reaches chunk 1 with its 17th sample.
  const Kind kinds[] = {{"u8", 1, 1, 3}, {"i16x3", 4, 3, 1}, {"u32", 5, 1, 5}, {"i64", 7, 1, 1},
                        {"dx7", 9, 7, 4}, {"flag", 10, 1, 7}, {"f", 8, 2, 2}};
  uint16_t id = 40;
  for (const Kind &k : kinds) {
    rr::Signal s;
    s.name = k.name;
    s.type = k.type;
    s.count = k.count;
    s.id = id--;
    s.role = k.type % 3;
    Bytes value((size_t)k.count * rr::sizeOf(k.type), 0);
    for (int32_t r = 0; r < rows; ++r) {
      if (r % k.changeEvery == 0)
        for (uint8_t &b : value) b = (uint8_t)(k.type == 10 ? rng() % 2 : rng());
      s.rows.push_back(value);
    }
    signals.push_back(s);
  }
  std::string path = rr::tempPath("types.zekbin");
  rr::writeRecording(path, signals);
  uint32_t count = 0;
  ASSERT_EQ(zekbin_open(path.c_str(), &count), 0u);
  ASSERT_EQ(count, signals.size());
  uint32_t n = 0;
  ZekbinVariable **vars = zekbin_getVariables(&n);
  ASSERT_EQ(n, count);
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_STREQ(vars[i]->name, signals[i].name.c_str());
    EXPECT_EQ(vars[i]->baseType, signals[i].type);
    EXPECT_EQ(vars[i]->elementCount, signals[i].count);
    EXPECT_EQ(vars[i]->elementSize, rr::sizeOf(signals[i].type));
    EXPECT_EQ(vars[i]->id, signals[i].id);
    EXPECT_EQ(vars[i]->role, signals[i].role);
    EXPECT_EQ(vars[i]->recorded, 1);
    EXPECT_EQ(vars[i]->option2, -1);
    EXPECT_EQ(vars[i]->option4, -1);
    EXPECT_EQ(vars[i]->scaling, nullptr);
  }
  // getVariables handed the array out; the rows follow.
  std::vector<std::vector<Bytes>> got;
  uint32_t r;
  while ((r = zekbin_nextBlock()) == ZEKBIN_READ_OK) {
    std::vector<Bytes> row;
    for (uint32_t i = 0; i < n; ++i) row.emplace_back(vars[i]->value, vars[i]->value + zekbin_variableByteSize(vars[i]));
    got.push_back(row);
  }
  EXPECT_EQ(r, ZEKBIN_READ_END);
  ASSERT_EQ(got.size(), (size_t)rows);
  for (int32_t row = 0; row < rows; ++row)
    for (size_t i = 0; i < signals.size(); ++i) EXPECT_EQ(got[row][i], signals[i].rows[row]) << signals[i].name << " row " << row;
  EXPECT_EQ(zekbin_nextBlock(), ZEKBIN_READ_REJECTED);
  zekbin_close();
}

// Long quiet stretches beside elements that change in every row: a row reads only the elements
// whose sample may change, and every row still shows the recorded values, also across the
// later chunks and after changes that follow a stretch directly.
TEST(ZekbinReaderRows, QuietElementsBesideChangingOnesAsRecorded) {
  const int32_t rows = 600;
  std::mt19937 rng(5);
  std::vector<rr::Signal> signals;
  struct Kind { const char *name; uint32_t type, count; int changeEvery; };
  const Kind kinds[] = {{"every", 6, 3, 1}, {"rare", 6, 4, 97}, {"once", 9, 1, 599}, {"pairs", 3, 2, 2},
                        {"wide", 5, 8, 41}};
  uint16_t id = 1;
  for (const Kind &k : kinds) {
    rr::Signal s;
    s.name = k.name;
    s.type = k.type;
    s.count = k.count;
    s.id = id++;
    Bytes value((size_t)k.count * rr::sizeOf(k.type), 0);
    for (int32_t r = 0; r < rows; ++r) {
      // Element j of a signal changes at its own phase, so quiet stretches end in different rows.
      for (uint32_t j = 0; j < k.count; ++j)
        if ((r + (int32_t)j * 7) % k.changeEvery == 0)
          for (size_t b = 0; b < rr::sizeOf(k.type); ++b) value[j * rr::sizeOf(k.type) + b] = (uint8_t)rng();
      s.rows.push_back(value);
    }
    signals.push_back(s);
  }
  std::string path = rr::tempPath("quiet.zekbin");
  rr::writeRecording(path, signals);
  uint32_t count = 0;
  ASSERT_EQ(zekbin_open(path.c_str(), &count), 0u);
  uint32_t n = 0;
  ZekbinVariable **vars = zekbin_getVariables(&n);
  ASSERT_EQ(n, signals.size());
  int32_t row = 0;
  uint32_t r;
  while ((r = zekbin_nextBlock()) == ZEKBIN_READ_OK) {
    ASSERT_LT(row, rows);
    for (uint32_t i = 0; i < n; ++i)
      ASSERT_EQ(Bytes(vars[i]->value, vars[i]->value + zekbin_variableByteSize(vars[i])), signals[i].rows[row])
          << signals[i].name << " row " << row;
    ++row;
  }
  EXPECT_EQ(r, ZEKBIN_READ_END);
  EXPECT_EQ(row, rows);
  zekbin_close();
}

// Two signals of one id: each keeps its own lookups.
TEST(ZekbinReaderRows, SignalsOfOneIdKeepTheirOwnValues) {
  rr::Signal a = rr::scalar<int32_t>("a", 6, {1, 1, 1, 1, 1, 2, 3});
  rr::Signal b = rr::scalar<int32_t>("b", 6, {9, 8, 7, 6, 6, 6, 6});
  rr::Signal c = rr::scalar<double>("c", 9, {0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5});
  a.id = b.id = c.id = 5;
  b.count = 1;
  std::string path = rr::tempPath("ids.zekbin");
  rr::writeRecording(path, {a, b, c});
  uint32_t count = 0;
  ASSERT_EQ(zekbin_open(path.c_str(), &count), 0u);
  uint32_t last;
  std::vector<std::vector<Bytes>> rows = readRows(&last);
  EXPECT_EQ(last, ZEKBIN_READ_END);
  ASSERT_EQ(rows.size(), 7u);
  for (size_t r = 0; r < rows.size(); ++r) {
    EXPECT_EQ(rows[r][0], a.rows[r]) << r;
    EXPECT_EQ(rows[r][1], b.rows[r]) << r;
    EXPECT_EQ(rows[r][2], c.rows[r]) << r;
  }
  zekbin_close();
}

// The call sequence: each step's result, for a recording of 3 rows.
TEST(ZekbinReaderLifecycle, ResultsOfEveryStep) {
  std::string good = rr::tempPath("good.zekbin"), bad = rr::tempPath("bad.zekbin");
  rr::writeRecording(good, {rr::scalar<int32_t>("x", 6, {1, 2, 3})});
  rr::writeAll(bad, Bytes{'N', 'O', 'T', 'Z', 'E', 'K', 0, 9});
  enum Call { OPEN_GOOD, OPEN_BAD, VARIABLES, NEXT, CLOSE };
  struct Step { Call call; uint32_t result; };  // for VARIABLES: the count handed out
  struct Case { const char *name; std::vector<Step> steps; };
  const Case cases[] = {
      {"next before any open", {{NEXT, 1}, {VARIABLES, 0}, {NEXT, 1}}},
      {"next before the variables", {{OPEN_GOOD, 0}, {NEXT, 1}, {VARIABLES, 1}, {NEXT, 0}}},
      {"variables once", {{OPEN_GOOD, 0}, {VARIABLES, 1}, {VARIABLES, 0}, {NEXT, 0}}},
      {"rows, end, then nothing", {{OPEN_GOOD, 0}, {VARIABLES, 1}, {NEXT, 0}, {NEXT, 0}, {NEXT, 0}, {NEXT, 6},
                                   {NEXT, 1}, {VARIABLES, 0}, {NEXT, 1}}},
      {"close leaves no row", {{OPEN_GOOD, 0}, {VARIABLES, 1}, {NEXT, 0}, {CLOSE, 0}, {NEXT, 1}, {VARIABLES, 0}}},
      {"close before the variables", {{OPEN_GOOD, 0}, {CLOSE, 0}, {VARIABLES, 0}, {NEXT, 1}}},
      {"a failed open closes the file before", {{OPEN_GOOD, 0}, {OPEN_BAD, 1}, {VARIABLES, 0}, {NEXT, 1}}},
      {"open again starts over", {{OPEN_GOOD, 0}, {VARIABLES, 1}, {NEXT, 0}, {NEXT, 0}, {OPEN_GOOD, 0},
                                  {VARIABLES, 1}, {NEXT, 0}, {NEXT, 0}, {NEXT, 0}, {NEXT, 6}}},
      {"close twice", {{CLOSE, 0}, {CLOSE, 0}, {NEXT, 1}}},
  };
  for (const Case &c : cases) {
    zekbin_close();
    testing::internal::CaptureStderr();
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step &s = c.steps[i];
      uint32_t count = 99, got = 0;
      switch (s.call) {
        case OPEN_GOOD: got = zekbin_open(good.c_str(), &count); break;
        case OPEN_BAD: got = zekbin_open(bad.c_str(), &count); break;
        case VARIABLES: {
          ZekbinVariable **v = zekbin_getVariables(&count);
          got = count;
          EXPECT_EQ(v == nullptr, count == 0) << c.name << ", step " << i;
          break;
        }
        case NEXT: got = zekbin_nextBlock(); break;
        case CLOSE: zekbin_close(); break;
      }
      EXPECT_EQ(got, s.result) << c.name << ", step " << i;
    }
    testing::internal::GetCapturedStderr();
  }
  zekbin_close();
}

// The third row of the values 1, 2, 3 after the reader was rewound by a new open.
TEST(ZekbinReaderLifecycle, RowsOfAnOpenAfterAnEarlierOne) {
  std::string path = rr::tempPath("again.zekbin");
  rr::writeRecording(path, {rr::scalar<int32_t>("x", 6, {1, 2, 3})});
  uint32_t count, last;
  ASSERT_EQ(zekbin_open(path.c_str(), &count), 0u);
  readRows(&last);
  ASSERT_EQ(zekbin_open(path.c_str(), &count), 0u);
  std::vector<std::vector<Bytes>> rows = readRows(&last);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2][0], rr::bytesOf<int32_t>({3}));
  zekbin_close();
}

Bytes smallRecording() {
  std::string path = rr::tempPath("small.zekbin");
  rr::Signal arr;
  arr.name = "arr";
  arr.type = 3;
  arr.count = 2;
  for (uint16_t r = 0; r < 6; ++r) arr.rows.push_back(rr::bytesOf<uint16_t>({(uint16_t)(r / 2), 7}));
  rr::writeRecording(path, {rr::scalar<int32_t>("x", 6, {1, 2, 2, 2, 2, 3}), arr});
  return rr::readAll(path);
}

struct OpenOutcome {
  uint32_t result;
  std::string err;
};

OpenOutcome openBytes(const Bytes &bytes) {
  testing::internal::CaptureStderr();
  uint32_t count = 7;
  OpenOutcome o;
  o.result = zekbin_openMemory(bytes.data(), bytes.size(), &count);
  o.err = testing::internal::GetCapturedStderr();
  if (o.result != 0) {
    EXPECT_EQ(count, 0u);
  }
  return o;
}

template <typename T> void patch(Bytes &b, size_t at, T v) { std::memcpy(b.data() + at, &v, sizeof v); }

TEST(ZekbinReaderHeader, WhatTheHeaderMayHold) {
  const Bytes good = smallRecording();
  zd::File f = zd::parse(good);
  ASSERT_EQ(f.error, "");
  size_t signalCountAt = f.signals[0].offset - 4;
  struct Case {
    const char *name;
    std::function<void(Bytes &)> change;
    uint32_t result;
    std::string err;  // the exact messages, or empty for none
  };
  const Case cases[] = {
      {"as written", [](Bytes &) {}, 0, ""},
      {"version 10 is read as 9", [](Bytes &b) { b[7] = 10; }, 0, ""},
      {"version 8 is refused", [](Bytes &b) { b[7] = 8; }, 1,
       "[ERROR]: ZEKBIN version 8 not supported. Only version 9 and later.\n"},
      {"the pair-swapped magic", [](Bytes &b) { std::memcpy(b.data(), "EZBKNI", 6); }, 0, ""},
      {"another magic shows six bytes", [](Bytes &b) { std::memcpy(b.data(), "ABCDEFGH", 8); }, 1,
       "[ERROR]: Invalid magic key: ABCDEF\n"},
      {"a magic with a NUL shows what comes before it", [](Bytes &b) { std::memcpy(b.data(), "ZEK\0IN", 6); }, 1,
       "[ERROR]: Invalid magic key: ZEK\n"},
      {"later chunk size 0", [](Bytes &b) { patch<uint32_t>(b, 13, 0); }, 1, "[ERROR]: Invalid chunk sizes 128 and 0.\n"},
      {"first chunk size not a multiple of the element size", [](Bytes &b) { patch<uint32_t>(b, 9, 130); }, 1,
       "[ERROR]: Invalid chunk sizes 130 and 65536.\n"},
      {"header positions never filled in", [](Bytes &b) { std::memset(b.data() + 17, 0, 28); }, 1,
       "[ERROR]: The recording is incomplete: its header holds no table positions.\n"},
      {"signal count beyond the file", [=](Bytes &b) { patch<uint32_t>(b, signalCountAt, 0xFFFFFFFFu); }, 1,
       "[ERROR]: Accessing location outside of file. File size: " + std::to_string(good.size()) + " vs. location " +
           std::to_string(good.size()) + ".\n"},
      {"element count beyond the file", [=](Bytes &b) { patch<uint32_t>(b, f.signals[1].offset + 9, 0x10000000u); },
       1, "[ERROR]: Accessing location outside of file. File size: " + std::to_string(good.size()) + " vs. location " +
              std::to_string(good.size()) + ".\n"},
      {"index records outside", [](Bytes &b) { patch<int64_t>(b, 17, INT64_MAX); }, 1,
       "[ERROR]: Accessing location outside of file. File size: " + std::to_string(good.size()) + " vs. location " +
           std::to_string(INT64_MAX) + ".\n"},
      {"event-record list outside", [](Bytes &b) { patch<int64_t>(b, 37, (int64_t)1 << 40); }, 1,
       "[ERROR]: Accessing location outside of file. File size: " + std::to_string(good.size()) + " vs. location " +
           std::to_string((int64_t)1 << 40) + ".\n"},
      {"repetition count beyond the file",
       [=](Bytes &b) { patch<int32_t>(b, (size_t)f.indexPosition + 8, INT32_MAX); }, 1, "*"},
      {"negative block count", [=](Bytes &b) { patch<int32_t>(b, (size_t)f.indexPosition + 20, -1); }, 1,
       "[ERROR]: Invalid element index record of element 0.\n"},
      {"block list outside", [=](Bytes &b) { patch<int64_t>(b, (size_t)f.indexPosition + 12, -8); }, 1,
       "[ERROR]: Accessing location outside of file. File size: " + std::to_string(good.size()) +
           " vs. location -8.\n"},
      {"enum set of an unknown type", [](Bytes &b) {
         // One enum set of base type 12 in place of the empty list: count 1, type 12, 0 values.
         b.insert(b.begin() + 47, {12, 0, 0});
         patch<uint16_t>(b, 45, 1);
       }, 1, "[ERROR]: Invalid base type 12 of enumeration set 0.\n"},
  };
  for (const Case &c : cases) {
    Bytes b = good;
    c.change(b);
    OpenOutcome o = openBytes(b);
    EXPECT_EQ(o.result, c.result) << c.name << "\n" << o.err;
    if (c.err != "*") EXPECT_EQ(o.err, c.err) << c.name;
    else EXPECT_NE(o.err, "") << c.name;
    zekbin_close();
  }
}

TEST(ZekbinReaderHeader, FilesThatCannotBeRead) {
  std::string empty = rr::tempPath("empty.zekbin");
  rr::writeAll(empty, {});
  testing::internal::CaptureStderr();
  uint32_t count = 3;
  EXPECT_EQ(zekbin_open(empty.c_str(), &count), 1u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[ERROR]: Accessing location outside of file. File size: 0 vs. location 0.\n"
            "[ERROR]: Invalid magic key: \n");
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(zekbin_nextBlock(), 1u);

  std::string missing = rr::tempPath("does-not-exist.zekbin");
  testing::internal::CaptureStderr();
  EXPECT_EQ(zekbin_open(missing.c_str(), &count), 5u);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("[ERROR]: ", 0), 0u) << err;
#if defined(_WIN32)
  char notFound[256];
  plat_error_text(2, notFound, sizeof notFound);  // ERROR_FILE_NOT_FOUND
  EXPECT_NE(err.find(notFound), std::string::npos) << err;
#else
  EXPECT_NE(err.find("No such file"), std::string::npos) << err;
#endif
  EXPECT_EQ(zekbin_getVariables(&count), nullptr);
}

TEST(ZekbinReaderHeader, CutShortAtEveryOffsetIsRefused) {
  const Bytes good = smallRecording();
  for (size_t length = 0; length < good.size(); ++length) {
    Bytes cut(good.begin(), good.begin() + (ptrdiff_t)length);
    OpenOutcome o = openBytes(cut);
    EXPECT_EQ(o.result, 1u) << "cut at " << length;
    EXPECT_NE(o.err, "") << "cut at " << length;
    EXPECT_EQ(zekbin_nextBlock(), 1u);
    zekbin_close();
  }
  EXPECT_EQ(openBytes(good).result, 0u);
  zekbin_close();
  // And through a real file of each length around the header's fixed part.
  std::string path = rr::tempPath("cut.zekbin");
  for (size_t length : {(size_t)1, (size_t)6, (size_t)8, (size_t)44, (size_t)45, good.size() - 1}) {
    rr::writeAll(path, Bytes(good.begin(), good.begin() + (ptrdiff_t)length));
    uint32_t count;
    testing::internal::CaptureStderr();
    EXPECT_EQ(zekbin_open(path.c_str(), &count), 1u) << length;
    testing::internal::GetCapturedStderr();
  }
}

TEST(ZekbinReaderRows, SampleOutsideTheFileEndsTheData) {
  Bytes b = smallRecording();
  zd::File f = zd::parse(b);
  ASSERT_EQ(f.error, "");
  // The first chunk of element 1 lies far beyond the file.
  patch<int64_t>(b, (size_t)f.elements[1].chunkTablePosition, (int64_t)1 << 33);
  ASSERT_EQ(openBytes(b).result, 0u);
  uint32_t count;
  zekbin_getVariables(&count);
  testing::internal::CaptureStderr();
  EXPECT_EQ(zekbin_nextBlock(), ZEKBIN_READ_OUTSIDE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR]: Accessing location outside of file. File size: " +
                                                        std::to_string(b.size()) + " vs. location 8589934592.\n");
  EXPECT_EQ(zekbin_nextBlock(), 1u);
  zekbin_close();
}

TEST(ZekbinReaderRows, RecordingsWithoutRowsOrSignalsDeliverNone) {
  std::string path = rr::tempPath("norows.zekbin");
  rr::Signal x;
  x.name = "x";
  rr::writeRecording(path, {x});
  uint32_t count;
  ASSERT_EQ(zekbin_open(path.c_str(), &count), 0u);
  EXPECT_EQ(count, 1u);
  zekbin_getVariables(&count);
  EXPECT_EQ(zekbin_nextBlock(), 6u);
  zekbin_close();  // a mapped file must not be rewritten (Windows refuses it)
  rr::writeRecording(path, {});
  ASSERT_EQ(zekbin_open(path.c_str(), &count), 0u);
  EXPECT_EQ(count, 0u);
  zekbin_getVariables(&count);
  EXPECT_EQ(zekbin_nextBlock(), 6u);
  zekbin_close();
}

}  // namespace
