// The record writer: sample streams, chunks, events, time stamps, the finished file's tables and
// the failures a host must learn about. Files are decoded by the independent decoder.
#include <cmath>
#include <limits>
#include <random>

#include "record_support.h"
#include "faults.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t thresholdOf(uint8_t size) { return (uint8_t)(8 / size + 1); }

// The streams the rule asks for, computed element by element from the values of every row.
struct Expected {
  std::vector<Bytes> samples;
  std::vector<zd::Repetition> repetitions;
};

Expected expectedStream(const std::vector<Bytes> &values, uint8_t size) {
  Expected e;
  if (values.empty()) return e;
  e.samples.push_back(values[0]);
  Bytes last = values[0];
  int32_t unchanged = 0;
  auto endRun = [&](int32_t row) {
    if (unchanged >= thresholdOf(size)) e.repetitions.push_back({row, (int32_t)e.samples.size()});
    else
      for (int32_t i = 0; i < unchanged; ++i) e.samples.push_back(last);
    unchanged = 0;
  };
  for (size_t r = 1; r < values.size(); ++r) {
    if (values[r] == last) {
      ++unchanged;
      continue;
    }
    endRun((int32_t)r);
    e.samples.push_back(values[r]);
    last = values[r];
  }
  endRun((int32_t)values.size());
  return e;
}

Bytes pattern(uint8_t size, uint8_t seed) {
  Bytes b(size);
  for (uint8_t i = 0; i < size; ++i) b[i] = (uint8_t)(seed * 31 + i * 7 + 1);
  return b;
}

struct TypeCase { uint8_t type, size; };
const TypeCase kSizes[] = {{1, 1}, {3, 2}, {5, 4}, {7, 8}};

// Runs just below and at the threshold, ended by a change and pending at the finish.
TEST(ZekbinSampleStream, RunsBelowAndAtTheThreshold) {
  for (TypeCase t : kSizes) {
    uint8_t threshold = thresholdOf(t.size);
    for (int32_t run : {threshold - 1, (int32_t)threshold}) {
      for (bool pending : {false, true}) {
        SCOPED_TRACE(testing::Message() << "size " << (int)t.size << " run " << run << (pending ? " pending" : " changed"));
        zt::Program p;
        p.channel("v", t.type, 1).flags = 2;
        auto l = rt::loadProgram(p);
        ChannelDecl *c = zt::channel("v");
        std::vector<Bytes> values(1 + (size_t)run, pattern(t.size, 1));
        if (!pending) values.push_back(pattern(t.size, 2));
        rt::Recording rec("stream");
        for (const Bytes &v : values) {
          std::memcpy(c->value, v.data(), t.size);
          ASSERT_EQ(rec.row(), ZEKBIN_WRITE_OK);
        }
        ASSERT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
        zd::File f = rec.decoded();
        ASSERT_EQ(f.error, "");
        std::vector<Bytes> samples;
        std::vector<zd::Repetition> reps;
        if (run < threshold) {
          samples.assign(1 + (size_t)run, pattern(t.size, 1));
        } else {
          samples = {pattern(t.size, 1)};
          reps = {{run + 1, 1}};
        }
        if (!pending) samples.push_back(pattern(t.size, 2));
        EXPECT_EQ(zd::samples(f, 0), samples);
        EXPECT_EQ(f.elements[0].repetitions, reps);
        for (int32_t r = 0; r < (int32_t)values.size(); ++r) EXPECT_EQ(zd::valueAt(f, 0, r), values[r]) << r;
      }
    }
  }
}

// A channel of 6 elements is compared as a whole, one of 5 element by element; fed the same
// values their element streams are the same.
TEST(ZekbinSampleStream, WholeChannelComparisonGivesTheSameStreams) {
  zt::Program p;
  p.channel("six", 4, 1, 6).flags = 2;
  p.channel("five", 4, 1, 5).flags = 2;
  auto l = rt::loadProgram(p);
  ChannelDecl *six = zt::channel("six"), *five = zt::channel("five");
  std::mt19937 rng(7);
  int16_t v[6] = {1, 2, 3, 4, 5, 6};
  rt::Recording rec("six_five");
  for (int32_t row = 0; row < 400; ++row) {
    uint32_t mode = rng() % 4;
    if (mode == 1) v[rng() % 5] = (int16_t)(rng() % 3);  // one element, often back to an old value
    if (mode == 2)
      for (int k = 0; k < 5; ++k) v[k] = (int16_t)(rng() % 2);
    // mode 0 and 3: the whole channel stays as it is
    for (uint32_t k = 0; k < 5; ++k) {
      rt::setElement<int16_t>(six, k, v[k]);
      rt::setElement<int16_t>(five, k, v[k]);
    }
    rt::setElement<int16_t>(six, 5, 9);
    ASSERT_EQ(rec.row(), ZEKBIN_WRITE_OK);
  }
  ASSERT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
  zd::File f = rec.decoded();
  ASSERT_EQ(f.error, "");
  for (size_t k = 0; k < 5; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(zd::samples(f, k), zd::samples(f, 6 + k));
    EXPECT_EQ(f.elements[k].repetitions, f.elements[6 + k].repetitions);
  }
  EXPECT_EQ(zd::samples(f, 5).size(), 1u);
  EXPECT_EQ(f.elements[5].repetitions, (std::vector<zd::Repetition>{{400, 1}}));
}

// Random run lengths for every base type and for scalars, channels compared element by element
// and channels compared as a whole: the streams are exactly the ones the rule asks for, and
// every row decodes back to the value written.
TEST(ZekbinSampleStream, RandomRunsDecodeBackForEveryType) {
  const uint32_t counts[] = {1, 5, 6, 9, 37};
  zt::Program p;
  for (uint8_t type = 1; type <= 10; ++type)
    for (uint32_t count : counts)
      p.channel("c" + std::to_string(type) + "_" + std::to_string(count), type, 1, count).flags = 2;
  auto l = rt::loadProgram(p);
  std::vector<ChannelDecl *> channels = rt::recordedChannels();

  std::mt19937 rng(12345);
  const int32_t rows = 700;
  std::vector<std::vector<std::vector<Bytes>>> written(channels.size());  // channel, element, row
  std::vector<std::vector<int32_t>> runLeft(channels.size());
  for (size_t i = 0; i < channels.size(); ++i) {
    written[i].resize(channels[i]->elementCount);
    runLeft[i].assign(channels[i]->elementCount, 0);
  }
  rt::Recording rec("random");
  for (int32_t row = 0; row < rows; ++row) {
    bool freeze = (row / 50) % 3 == 1 && row % 50 < 20;  // stretches where no channel changes
    for (size_t i = 0; i < channels.size(); ++i) {
      ChannelDecl *c = channels[i];
      uint8_t size = c->elementSize, threshold = thresholdOf(size);
      for (uint32_t k = 0; k < c->elementCount; ++k) {
        uint8_t *slot = c->value + (size_t)k * size;
        if (row == 0 || (!freeze && runLeft[i][k]-- <= 0)) {
          // A new value, then a run whose length sits around the threshold or is long.
          Bytes old(slot, slot + size);
          do {
            for (uint8_t b = 0; b < size; ++b) slot[b] = (uint8_t)(rng() % 4 == 0 ? 0xFF : rng());
          } while (row > 0 && Bytes(slot, slot + size) == old);
          const int32_t choices[] = {0, 0, threshold - 2, threshold - 1, threshold, threshold + 1, 40};
          runLeft[i][k] = std::max(0, choices[rng() % 7]);
        }
        written[i][k].emplace_back(slot, slot + size);
      }
    }
    ASSERT_EQ(rec.row((uint64_t)row * 10), ZEKBIN_WRITE_OK);
  }
  ASSERT_EQ(rec.finish(10, rows * 10), ZEKBIN_WRITE_OK);
  zd::File f = rec.decoded();
  ASSERT_EQ(f.error, "");
  ASSERT_EQ(f.rows(), rows);
  size_t e = 0;
  for (size_t i = 0; i < channels.size(); ++i)
    for (uint32_t k = 0; k < channels[i]->elementCount; ++k, ++e) {
      SCOPED_TRACE(testing::Message() << channels[i]->name << "[" << k << "]");
      Expected want = expectedStream(written[i][k], channels[i]->elementSize);
      EXPECT_EQ(f.elements[e].repetitions, want.repetitions);
      EXPECT_EQ(zd::samples(f, e), want.samples);
      for (int32_t row = 0; row < rows; ++row)
        if (zd::valueAt(f, e, row) != written[i][k][(size_t)row]) {
          ADD_FAILURE() << "row " << row;
          break;
        }
    }
}

// Chunk 0 holds 128 bytes, every later chunk 65536: long streams of sizes 1 and 8.
TEST(ZekbinChunks, LongStreamsSpanSeveralChunks) {
  zt::Program p;
  p.channel("b", 1, 1).flags = 2;
  p.channel("q", 7, 1).flags = 2;
  auto l = rt::loadProgram(p);
  ChannelDecl *b = zt::channel("b"), *q = zt::channel("q");
  const int32_t rows = 70000;
  rt::Recording rec("chunks");
  for (int32_t r = 0; r < rows; ++r) {
    rt::setElement<uint8_t>(b, 0, (uint8_t)(r * 7 + (r >> 8)));
    rt::setElement<int64_t>(q, 0, (int64_t)r * 1000003);
    ASSERT_EQ(rec.row(), ZEKBIN_WRITE_OK);
  }
  ASSERT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
  zd::File f = rec.decoded();
  ASSERT_EQ(f.error, "");
  EXPECT_EQ(f.elements[0].chunks.size(), 3u);  // 128 + 65536 + 4336 bytes
  EXPECT_EQ(f.elements[1].chunks.size(), 10u);  // 128 + 8 * 65536 + 35584 bytes
  for (int32_t r = 0; r < rows; ++r) {
    if (zd::valueAt(f, 0, r) != rt::bytesOf<uint8_t>((uint8_t)(r * 7 + (r >> 8))) ||
        zd::valueAt(f, 1, r) != rt::bytesOf<int64_t>((int64_t)r * 1000003)) {
      ADD_FAILURE() << "row " << r;
      break;
    }
  }
}

// Hundreds of streams whose later-chunk buffers grow and are handed on at different times (an
// element changes every 1 to 9 rows), 8-byte and 4-byte scalars and a 40-element array, over
// more buffer memory than one allocation of the writer holds: no stream's bytes may end up in
// another's chunk.
TEST(ZekbinChunks, ManyStreamsGrowingAtTheirOwnPaceKeepTheirSamples) {
  zt::Program p;
  for (int i = 0; i < 160; ++i) p.channel("q" + std::to_string(i), 7, 1).flags = 2;
  for (int i = 0; i < 160; ++i) p.channel("d" + std::to_string(i), 5, 1).flags = 2;
  p.channel("a", 7, 1, 40).flags = 2;
  auto l = rt::loadProgram(p);
  std::vector<ChannelDecl *> channels = rt::recordedChannels();
  struct Element {
    ChannelDecl *channel;
    uint32_t index;
    int32_t period;
  };
  std::vector<Element> elements;
  for (ChannelDecl *c : channels)
    for (uint32_t k = 0; k < c->elementCount; ++k)
      elements.push_back({c, k, 1 + (int32_t)(elements.size() * 7 % 9)});
  auto valueOf = [](size_t e, int32_t row, int32_t period) { return (int64_t)e * 1000003 + row / period; };
  auto bytesOf = [](const Element &el, int64_t v) {
    return el.channel->elementSize == 8 ? rt::bytesOf<int64_t>(v) : rt::bytesOf<int32_t>((int32_t)v);
  };
  const int32_t rows = 24000;
  rt::Recording rec("pace");
  for (int32_t r = 0; r < rows; ++r) {
    for (size_t e = 0; e < elements.size(); ++e) {
      const Element &el = elements[e];
      int64_t v = valueOf(e, r, el.period);
      if (el.channel->elementSize == 8) rt::setElement<int64_t>(el.channel, el.index, v);
      else rt::setElement<int32_t>(el.channel, el.index, (int32_t)v);
    }
    ASSERT_EQ(rec.row(), ZEKBIN_WRITE_OK);
  }
  ASSERT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
  zd::File f = rec.decoded();
  ASSERT_EQ(f.error, "");
  ASSERT_EQ(f.elements.size(), elements.size());
  for (size_t e = 0; e < elements.size(); ++e)
    for (int32_t r = 0; r < rows; r += r + 7 < rows ? 7 : 1)
      if (zd::valueAt(f, e, r) != bytesOf(elements[e], valueOf(e, r, elements[e].period))) {
        ADD_FAILURE() << elements[e].channel->name << "[" << elements[e].index << "] row " << r;
        break;
      }
}

// Events are written before the row's samples and carry the row's time; the 16th sample of an
// 8-byte element fills chunk 0, which is written in that row.
TEST(ZekbinEvents, WrittenBeforeTheRowsSamplesWithTheRowsTime) {
  zt::Program p;
  p.channel("d", 9, 1).flags = 2;
  p.events.push_back(zt::Event{1, "one"});
  p.events.push_back(zt::Event{2, "two"});
  auto l = rt::loadProgram(p);
  ChannelDecl *d = zt::channel("d");
  rt::Recording rec("events");
  rt::Events at3, at15, at16, atEnd;
  at3.add(1, {1, 2, 3});
  at3.add(2, {});
  at15.add(2, {9});
  at16.add(1, {7, 7});
  atEnd.add(2, {5, 4, 3, 2, 1});
  for (int32_t r = 0; r < 20; ++r) {
    rt::setElement<double>(d, 0, r + 0.5);
    const EventRecord *events = r == 3 ? at3.list() : r == 15 ? at15.list() : r == 16 ? at16.list() : nullptr;
    ASSERT_EQ(rec.row(1000 + 100 * (uint64_t)r, events), ZEKBIN_WRITE_OK);
  }
  ASSERT_EQ(rec.finish(100, 99999, atEnd.list()), ZEKBIN_WRITE_OK);
  zd::File f = rec.decoded();
  ASSERT_EQ(f.error, "");
  ASSERT_EQ(f.events.size(), 4u);
  EXPECT_EQ(f.events[0].time, 1300u);
  ASSERT_EQ(f.events[0].events.size(), 2u);
  EXPECT_EQ(f.events[0].events[0].id, 1);
  EXPECT_EQ(f.events[0].events[0].data, (Bytes{1, 2, 3}));
  EXPECT_EQ(f.events[0].events[1].id, 2);
  EXPECT_TRUE(f.events[0].events[1].data.empty());
  EXPECT_EQ(f.events[1].time, 2500u);
  EXPECT_EQ(f.events[2].time, 2600u);
  EXPECT_EQ(f.events[3].time, 99999u);
  EXPECT_EQ(f.events[3].events[0].data, (Bytes{5, 4, 3, 2, 1}));
  // Chunk 0 of d was written in row 15, behind that row's events and before row 16's.
  ASSERT_EQ(f.elements[0].chunks.size(), 2u);
  EXPECT_GT(f.elements[0].chunks[0], f.events[1].position);
  EXPECT_LT(f.elements[0].chunks[0], f.events[2].position);
  ASSERT_EQ(f.blocks.size(), 1u);
  EXPECT_EQ(f.blocks[0].firstTime, 1000);
  EXPECT_EQ(f.blocks[0].step, 100);
  EXPECT_EQ(f.blocks[0].rowCount, 20);
  EXPECT_EQ(zd::valueAt(f, 0, 16), rt::bytesOf<double>(16.5));
}

// A u16 count cannot hold 65536 events: the record keeps 65535, the rest is refused and
// reported, and the file stays readable.
TEST(ZekbinEvents, MoreThan65535InOneRowAreRefused) {
  zt::Program p;
  p.channel("v", 5, 1).flags = 2;
  auto l = rt::loadProgram(p);
  rt::Events many;
  for (uint32_t i = 0; i < 65536; ++i) many.add((uint16_t)i, {});
  rt::Recording rec("many_events");
  EXPECT_EQ(rec.row(5, many.list()), ZEKBIN_WRITE_TOO_MANY_EVENTS);
  rt::setElement<uint32_t>(zt::channel("v"), 0, 8);
  EXPECT_EQ(rec.row(6), ZEKBIN_WRITE_TOO_MANY_EVENTS);
  EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_TOO_MANY_EVENTS);
  zd::File f = rec.decoded();
  ASSERT_EQ(f.error, "");
  ASSERT_EQ(f.events.size(), 1u);
  EXPECT_EQ(f.events[0].events.size(), 65535u);
  EXPECT_EQ(f.events[0].events.back().id, 65534);
  EXPECT_EQ(f.rows(), 2);
  EXPECT_EQ(zd::valueAt(f, 0, 1), rt::bytesOf<uint32_t>(8));
}

TEST(ZekbinFinish, WithoutRowsLeavesNoBlockAndEmptyLists) {
  zt::Program p;
  p.channel("a", 6, 1, 2).flags = 2;
  auto l = rt::loadProgram(p);
  rt::Recording rec("no_rows");
  ASSERT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
  zd::File f = rec.decoded();
  ASSERT_EQ(f.error, "");
  EXPECT_EQ(f.rows(), 0);
  EXPECT_TRUE(f.blocks.empty());
  ASSERT_EQ(f.elements.size(), 2u);
  for (const zd::Element &e : f.elements) {
    EXPECT_EQ(e.blockCount, 0);
    EXPECT_TRUE(e.repetitions.empty());
  }
  EXPECT_TRUE(f.events.empty());
}

// "@realtime" stamps every row in a writer that is not cycle-indexed and is not declared; the
// stamps are chunked like a sample stream (16 fill the first chunk) and end with the finish's
// time.
TEST(ZekbinTimeStamps, RealtimeChannelStampsEveryRow) {
  for (int32_t rows : {15, 16, 40}) {
    SCOPED_TRACE(rows);
    zt::Program p;
    p.channel("v", 6, 1).flags = 2;
    p.channel("@realtime", 9, 1).flags = 2;
    auto l = rt::loadProgram(p);
    ChannelDecl *t = zt::channel("@realtime");
    rt::Events ev;
    ev.add(3, {1});
    rt::Recording rec("stamps", rt::recordedChannels(), 0);
    for (int32_t r = 0; r < rows; ++r) {
      rt::setElement<double>(t, 0, r * 0.25);
      rt::setElement<int32_t>(zt::channel("v"), 0, r / 4);
      ASSERT_EQ(rec.row(777, r == 2 ? ev.list() : nullptr), ZEKBIN_WRITE_OK);
    }
    ASSERT_EQ(rec.finish(1, 123456789), ZEKBIN_WRITE_OK);
    zd::File f = rec.decoded();
    ASSERT_EQ(f.error, "");
    ASSERT_EQ(f.signals.size(), 1u);
    EXPECT_EQ(f.signals[0].name, "v");
    ASSERT_EQ(f.blocks.size(), 1u);
    EXPECT_EQ(f.blocks[0].kind, 1);
    EXPECT_EQ(f.blockTableCount, 1);
    EXPECT_EQ(f.blocks[0].rowCount, rows);
    std::vector<uint64_t> stamps;
    for (int32_t r = 0; r < rows; ++r) stamps.push_back(250000u * (uint64_t)r);
    stamps.push_back(123456789);
    EXPECT_EQ(f.stamps, stamps);
    ASSERT_EQ(f.events.size(), 1u);
    EXPECT_EQ(f.events[0].time, 500000u);
    for (int32_t r = 0; r < rows; ++r) EXPECT_EQ(zd::valueAt(f, 0, r), rt::bytesOf<int32_t>(r / 4));
  }
}

TEST(ZekbinTimeStamps, CycleIndexedWritersRecordRealtimeAsASignal) {
  struct Row { bool withRealtime; uint32_t cycleIndexed; size_t signals; };
  for (Row row : {Row{true, 1, 2}, Row{false, 0, 1}}) {
    zt::Program p;
    p.channel("v", 6, 1).flags = 2;
    if (row.withRealtime) p.channel("@realtime", 9, 1).flags = 2;
    auto l = rt::loadProgram(p);
    rt::Recording rec("cycle_indexed", rt::recordedChannels(), row.cycleIndexed);
    ASSERT_EQ(rec.row(40), ZEKBIN_WRITE_OK);
    ASSERT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
    zd::File f = rec.decoded();
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.signals.size(), row.signals);
    EXPECT_EQ(f.blockTablePosition, 0);
    ASSERT_EQ(f.blocks.size(), 1u);
    EXPECT_EQ(f.blocks[0].kind, 0);
    EXPECT_EQ(f.blocks[0].firstTime, 40);
  }
}

TEST(ZekbinTimeStamps, SecondsToMicrosecondsIsDefinedForEveryDouble) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Row { double seconds; uint64_t us; };
  const Row rows[] = {
      {0.0, 0},
      {1.0, 1000000},
      {2.5e-6, 3},  // half away from zero
      {1.4e-6, 1},
      {-1e-7, 0},
      {-5.0, 0},
      {-inf, 0},
      {std::nan(""), 0},
      {1.8e13, 18000000000000000000u},
      {1.9e13, UINT64_MAX},
      {inf, UINT64_MAX},
  };
  for (Row row : rows) EXPECT_EQ(zekbin_secondsToMicroseconds(row.seconds), row.us) << row.seconds;
}

#if !defined(_WIN32)
// A full disk (/dev/full): the writes fail, every later row and the finish report it. A pipe
// to a child (popen) cannot seek. Neither exists as such on Windows.
TEST(ZekbinFailures, FullDiskIsReported) {
  zt::Program p;
  p.channel("q", 7, 1).flags = 2;
  auto l = rt::loadProgram(p);
  {
    rt::Recording rec("", rt::recordedChannels(), 1, "/dev/full");
    EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_STREAM) << "the header alone does not fit either";
  }
  rt::Recording rec("", rt::recordedChannels(), 1, "/dev/full");
  int32_t firstFailure = -1;
  for (int32_t r = 0; r < 20000; ++r) {
    rt::setElement<int64_t>(zt::channel("q"), 0, r);
    int32_t result = rec.row();
    if (result != ZEKBIN_WRITE_OK && firstFailure < 0) firstFailure = r;
    if (firstFailure >= 0) {
      EXPECT_EQ(result, ZEKBIN_WRITE_STREAM) << r;
    }
  }
  EXPECT_GE(firstFailure, 0) << "the stream's buffer must have been written out";
  EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_STREAM);
}

// The n-th write fails, for every write of a short recording: the row or the finish that
// meets it says so, every later call says so too, and nothing is reported as written.
TEST(ZekbinFailures, AFailedWriteAtAnyPointIsReported) {
  zt::Program p;
  p.channel("q", 7, 1).flags = 2;
  p.channel("a", 5, 3).flags = 2;
  auto l = rt::loadProgram(p);
  uint64_t writes = zt::failEachCallInTurn(PLAT_FAULT_WRITE, [&](uint64_t n) {
    rt::Recording rec("n");
    bool failed = false;
    for (int32_t r = 0; r < 3; ++r) {
      rt::setElement<int64_t>(zt::channel("q"), 0, r);
      int32_t result = rec.row();
      if (failed) {
        EXPECT_EQ(result, ZEKBIN_WRITE_STREAM) << n;
      }
      failed = failed || result == ZEKBIN_WRITE_STREAM;
    }
    int32_t finish = rec.finish();
    return [=](bool fired) { EXPECT_EQ(finish, fired ? ZEKBIN_WRITE_STREAM : ZEKBIN_WRITE_OK) << n; };
  });
  EXPECT_GT(writes, 4u);
}

// An allocation that fails while recording ends in the memory result, not a crash.
TEST(ZekbinFailures, AFailedAllocationIsReported) {
  zt::Program p;
  p.channel("q", 7, 1).flags = 2;
  auto l = rt::loadProgram(p);
  std::string path = rt::tempPath("oom");
  FILE *stream = std::fopen(path.c_str(), "wb");
  ASSERT_NE(stream, nullptr);
  std::vector<ChannelDecl *> channels = rt::recordedChannels();
  // Every allocation of the writer's creation in turn, then one while the rows grow.
  uint64_t allocations = zt::failEachCallInTurn(PLAT_FAULT_ALLOCATION, [&](uint64_t n) {
    ZekbinWriter *w = zek_write_zekbin_headerblock(stream, channels.data(), 1, nullptr, 0, nullptr, 0, 0, 1);
    return [=](bool fired) {
      if (fired) {
        EXPECT_EQ(w, nullptr) << n;
      } else {
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(zek_close_zekbin_datablock(w, stream, nullptr, 0, 0), ZEKBIN_WRITE_OK);
      }
    };
  });
  EXPECT_GT(allocations, 2u);
  std::rewind(stream);
  ZekbinWriter *w = zek_write_zekbin_headerblock(stream, channels.data(), 1, nullptr, 0, nullptr, 0, 0, 1);
  ASSERT_NE(w, nullptr);
  int32_t result = ZEKBIN_WRITE_OK;
  // The first chunk of a stream holds 128 bytes (16 values); the 17th changed value needs
  // the later-chunk buffer.
  for (int64_t r = 0; r < 40 && result == ZEKBIN_WRITE_OK; ++r) {
    if (r == 2) plat_fault_arm(PLAT_FAULT_ALLOCATION, 1);
    rt::setElement<int64_t>(zt::channel("q"), 0, r);
    result = zek_write_zekbin_signaldatarow(w, stream, nullptr, 0);
  }
  plat_fault_arm(PLAT_FAULT_ALLOCATION, 0);
  EXPECT_EQ(result, ZEKBIN_WRITE_MEMORY);
  EXPECT_EQ(zek_close_zekbin_datablock(w, stream, nullptr, 0, 0), ZEKBIN_WRITE_MEMORY);
  std::fclose(stream);
}

TEST(ZekbinFailures, StreamThatCannotSeekIsReported) {
  zt::Program p;
  p.channel("v", 5, 1).flags = 2;
  auto l = rt::loadProgram(p);
  FILE *pipe = popen("cat > /dev/null", "w");
  ASSERT_NE(pipe, nullptr);
  std::vector<ChannelDecl *> channels = rt::recordedChannels();
  ZekbinWriter *w = zek_write_zekbin_headerblock(pipe, channels.data(), 1, nullptr, 0, nullptr, 0, 0, 1);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(zek_write_zekbin_signaldatarow(w, pipe, nullptr, 0), ZEKBIN_WRITE_OK);
  EXPECT_EQ(zek_close_zekbin_datablock(w, pipe, nullptr, 1, 1), ZEKBIN_WRITE_STREAM);
  pclose(pipe);
}
#endif

TEST(ZekbinFailures, ChannelsThatCannotBeRecordedGiveNoWriter) {
  zt::Program p;
  p.channel("v", 5, 1).flags = 2;
  auto l = rt::loadProgram(p);
  ChannelDecl bad = *zt::channel("v");
  bad.baseType = 11;
  ChannelDecl *channels[] = {&bad};
  std::string path = rt::tempPath("bad");
  FILE *stream = std::fopen(path.c_str(), "wb");
  ASSERT_NE(stream, nullptr);
  ZekbinWriter *w = zek_write_zekbin_headerblock(stream, channels, 1, nullptr, 0, nullptr, 0, 0, 1);
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(zek_write_zekbin_signaldatarow(w, stream, nullptr, 0), ZEKBIN_WRITE_NO_WRITER);
  EXPECT_EQ(zek_close_zekbin_datablock(w, stream, nullptr, 0, 0), ZEKBIN_WRITE_NO_WRITER);
  std::fclose(stream);
}

// A channel without elements (a parameter file may declare one) is declared and has no stream.
TEST(ZekbinFinish, ChannelWithoutElementsIsDeclaredOnly) {
  zt::Program p;
  p.channel("v", 5, 1).flags = 2;
  auto l = rt::loadProgram(p);
  ChannelDecl empty = *zt::channel("v");
  empty.name = "none";
  empty.elementCount = 0;
  empty.value = nullptr;
  rt::Recording rec("no_elements", {&empty, zt::channel("v")});
  for (uint32_t r = 0; r < 3; ++r) {
    rt::setElement<uint32_t>(zt::channel("v"), 0, r);
    ASSERT_EQ(rec.row(), ZEKBIN_WRITE_OK);
  }
  ASSERT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
  zd::File f = rec.decoded();
  ASSERT_EQ(f.error, "");
  ASSERT_EQ(f.signals.size(), 2u);
  EXPECT_EQ(f.signals[0].count, 0u);
  ASSERT_EQ(f.elements.size(), 1u);
  EXPECT_EQ(zd::valueAt(f, 0, 2), rt::bytesOf<uint32_t>(2));
}

}  // namespace
