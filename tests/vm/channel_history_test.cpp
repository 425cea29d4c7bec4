// Past values: the previous-values buffer, the history ring and the real-time refusal.
#include "channel_test_support.h"

namespace {

// The cycle code reads x the number of steps held in `steps` back and stores it into out; behind
// the first ENDCYCLE (offset 10) a second entry reads x one step back with READALL_PREV.
constexpr const char *kCode = "READALL steps; READALL_AT_T x; WRITEALL out; ENDCYCLE; READALL_PREV x; WRITEALL out; ENDCYCLE";
constexpr uint32_t kPrevEntry = 10;

zt::Program historyProgram(uint32_t history, uint8_t part) {
  zt::Program p;
  p.history = history;
  p.timeout = 100;
  p.channel("steps", ZEK_UINT32);
  p.channel("out", ZEK_INT32);
  p.channel("x", ZEK_INT32).part = part;
  p.code = kCode;
  return p;
}

struct Expect {
  uint16_t code;
  std::string message;
  int32_t value;
};

// What reading x n steps back yields while cycle m runs, when x held 100 + j at the end of
// every cycle j and holds 100 + m now.
Expect expected(uint8_t part, uint32_t history, uint32_t m, uint32_t n) {
  if (n == 0) return {0, "", (int32_t)(100 + m)};
  const std::string past = "Accessing the value of channel 'x' " + std::to_string(n) + " step(s) back in the past";
  if (n == 1 && m == 0) return {100, "Accessing the value for signal 'x(t-@)', at t=0s.", 0};
  if (n == 1 && part == 1) return {100, "Accessing the value for signal 'x(t-@)', but the signal is non-queued.", 0};
  if (n == 1 && part == 2) return {0, "", (int32_t)(100 + m - 1)};
  if (part != 3) return {101, past + ", which is not in the queue (non queued variable).", 0};
  if (n >= history)
    return {101, past + " (>= history size " + std::to_string(history) + "). Increasing the history size could fix this issue.", 0};
  if (n > m) return {101, past + ", which is a negative time.", 0};
  return {0, "", (int32_t)(100 + m - n)};
}

void checkRead(const Expect &e, const std::string &what) {
  if (e.code == 0) {
    EXPECT_FALSE(zek_hasError()) << what << ": " << zt::errorText();
    EXPECT_EQ(zt::value<int32_t>("out"), e.value) << what;
  } else {
    EXPECT_EQ(zek_getErrorCode(), e.code) << what;
    EXPECT_EQ(zt::bareError(), e.message) << what;
  }
}

// Over more cycles than the ring has slots, so that it wraps several times: every number of
// steps from 0 to H + 1 through READALL_AT_T, and READALL_PREV, in every cycle.
TEST(ChannelHistory, RingAnswersEveryStepBackInEveryCycle) {
  for (uint32_t history : {2u, 3u, 5u}) {
    for (uint8_t part : {1, 2, 3}) {
      auto l = zt::load(historyProgram(history, part));
      ASSERT_EQ(l.result, 0u) << zt::errorText();
      for (uint32_t m = 0; m < 3 * history + 2; ++m) {
        zt::setValue<int32_t>("x", (int32_t)(100 + m));
        for (uint32_t n = 0; n <= history + 1; ++n) {
          std::string what = "H=" + std::to_string(history) + " part " + std::to_string(part) + " cycle " +
                             std::to_string(m) + " AT_T " + std::to_string(n);
          zt::setValue<uint32_t>("steps", n);
          zt::setValue<int32_t>("out", -1);
          ct::run({}, 0);
          checkRead(expected(part, history, m, n), what);
        }
        zt::setValue<int32_t>("out", -1);
        ct::run({}, kPrevEntry);
        checkRead(expected(part, history, m, 1), "PREV cycle " + std::to_string(m));

        zt::setValue<uint32_t>("steps", 0);
        ASSERT_EQ(zek_runCycle(), (uint32_t)ZEK_CYCLE_GO_ON) << zt::errorText();
        EXPECT_EQ(zt::value<int32_t>("out"), (int32_t)(100 + m));
      }
    }
  }
}

// Reads of the past are stable within a cycle: writing the channel does not change them.
TEST(ChannelHistory, WritesOfTheCurrentCycleDoNotReachThePast) {
  zt::Program p = historyProgram(3, 3);
  p.code = "ENDCYCLE; PUSHINT32 7; WRITEALL x; PUSHUINT32 1; READALL_AT_T x; WRITEALL out; ENDCYCLE";
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  zt::setValue<int32_t>("x", 5);
  ASSERT_EQ(zek_runCycle(), 0u);
  ct::run({}, 1);
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(zt::value<int32_t>("out"), 5) << "x as it stood at the end of cycle 0";
  EXPECT_EQ(zt::value<int32_t>("x"), 7);
}

// Index parts and slices of the past come from the same slot.
TEST(ChannelHistory, PartsAndSlicesOfThePast) {
  zt::Program p;
  p.history = 3;
  p.channel("m", ZEK_INT32, 3, 6).part = 3;
  p.channels.back().dims = std::vector<uint32_t>{2, 3};
  p.code = "ENDCYCLE; READPART_PREV m; READSLICE_PREV m; ENDCYCLE";
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  for (uint32_t i = 0; i < 6; ++i) zt::setValue<int32_t>("m", (int32_t)(10 + i), i);
  ASSERT_EQ(zek_runCycle(), 0u);
  for (uint32_t i = 0; i < 6; ++i) zt::setValue<int32_t>("m", -1, i);
  std::vector<uint32_t> entries = ct::group({1});
  std::vector<uint32_t> pairs = ct::group({0, 1, 2, 1});
  entries.insert(entries.begin(), pairs.begin(), pairs.end());  // the part's group on top
  ct::run(entries, 1);
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(zt::topArray<int32_t>(0), (std::vector<int32_t>{11, 12, 14, 15}));
  EXPECT_EQ(ct::shapeOf(zt::topView(0)), (std::vector<uint32_t>{2, 2}));
  EXPECT_EQ(zt::topArray<int32_t>(1), (std::vector<int32_t>{13, 14, 15}));
}

double g_clock = 0.0;
double scriptedClock(void) { return g_clock += 0.25; }

// In real-time mode cycles do not map to time steps: every AT_T read is refused, also 0 steps;
// with the @realtime channel but no clock installed the same program reads normally.
TEST(ChannelHistory, RealtimeModeRefusesReadsAtTime) {
  for (uint32_t steps : {0u, 1u}) {
    for (bool clock : {true, false}) {
      zt::Program p = historyProgram(3, 3);
      p.channel("@realtime", ZEK_DOUBLE);
      auto l = zt::load(p);
      ASSERT_EQ(l.result, 0u) << zt::errorText();
      if (clock) zek_installRealtimeCmd(scriptedClock);
      zt::setValue<uint32_t>("steps", steps);
      uint32_t result = zek_runCycle();
      if (clock) {
        EXPECT_EQ(result, 1u);
        EXPECT_EQ(zek_getErrorCode(), 101);
        EXPECT_EQ(zt::bareError(), "Trying to access value in the past with realtime semantics which is not supported.");
      } else if (steps == 0) {
        EXPECT_EQ(result, 0u) << zt::errorText();
      } else {
        EXPECT_EQ(zt::bareError(), "Accessing the value for signal 'x(t-@)', at t=0s.");
      }
    }
  }
}

// Real-time mode refuses only reads at a number of steps; one step back still works.
TEST(ChannelHistory, RealtimeModeKeepsPreviousValues) {
  zt::Program p = historyProgram(3, 2);
  p.code = "ENDCYCLE; READALL_PREV x; WRITEALL out; ENDCYCLE; PUSHUINT32 0; READALL_AT_T x; WRITEALL out; ENDCYCLE";
  p.channel("@realtime", ZEK_DOUBLE);
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  zek_installRealtimeCmd(scriptedClock);
  zt::setValue<int32_t>("x", 4);
  ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
  zt::setValue<int32_t>("x", 5);
  ct::run({}, 1);
  EXPECT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(zt::value<int32_t>("out"), 4);
  ct::run({}, 8);
  EXPECT_EQ(zt::bareError(), "Trying to access value in the past with realtime semantics which is not supported.");
}

// The steps of AT_T are a uint32 scalar; the typed pop's errors come first.
TEST(ChannelHistory, StepsBackMustBeAUint32Scalar) {
  struct Row {
    const char *code;
    uint16_t error;
    const char *message;
  };
  const Row rows[] = {
      {"READALL_AT_T x", 109, "An underflow of the parameter stack occurred."},
      {"PUSHINT32 1; READALL_AT_T x", 18, "Type mismatch on parameter stack. Expected uint32, got int32."},
      {"READALL a; READPART_AT_T x", 104, "popScalar: Expected scalar, got array (3)."},
      {"PUSHUINT16 1; READSLICE_AT_T x", 18, "Type mismatch on parameter stack. Expected uint32, got uint16."},
  };
  for (const Row &row : rows) {
    zt::Program p = historyProgram(3, 3);
    p.channel("a", ZEK_INT32, 3, 3);
    p.code = row.code;
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u);
    ct::run();
    EXPECT_EQ(zek_getErrorCode(), row.error) << row.code;
    EXPECT_EQ(zt::bareError(), row.message) << row.code;
  }
}

// The previous-values buffer and a ring slot hold one heap part each: a channel that starts in
// one part and reaches into the next has no complete past there and is refused.
TEST(ChannelHistory, ChannelAcrossAPartBoundaryHasNoPast) {
  zt::Program p;
  p.history = 3;
  p.channel("steps", ZEK_UINT32);                  // part 1: bytes 0..3
  p.channel("x", ZEK_INT32, 3, 2).part = 2;        // bytes 4..11, part 2 is 4..7
  p.channel("y", ZEK_INT32, 3, 1).part = 3;        // bytes 8..11
  p.channel("z", ZEK_INT32, 3, 2).heapOffset = 0;  // part 1 reaching into part 2
  p.part2Size = 4;
  p.part3Size = 4;
  p.code = "ENDCYCLE; READALL_PREV x; ENDCYCLE; PUSHUINT32 2; READALL_AT_T x; ENDCYCLE; READPART_PREV x; ENDCYCLE; READALL_PREV z; ENDCYCLE";
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  ASSERT_EQ(zek_runCycle(), 0u);
  ASSERT_EQ(zek_runCycle(), 0u);
  const std::string refused = "step(s) back in the past, which crosses the boundary of its part of the values heap.";
  struct Row {
    uint32_t offset;
    std::vector<uint32_t> indices;
    std::string message;
  };
  const Row rows[] = {
      {1, {}, "Accessing the value of channel 'x' 1 " + refused},
      {5, {}, "Accessing the value of channel 'x' 2 step(s) back in the past, which is not in the queue (non queued variable)."},
      {14, ct::group({1}), "Accessing the value of channel 'x' 1 " + refused},
      {18, {}, "Accessing the value for signal 'z(t-@)', but the signal is non-queued."},
  };
  for (const Row &row : rows) {
    ct::run(row.indices, row.offset);
    EXPECT_NE(zek_getErrorCode(), 0) << row.offset;
    EXPECT_EQ(zt::bareError(), row.message) << row.offset;
    EXPECT_EQ(zek_pstack_valueCount(), 0u) << row.offset;
  }
}

}  // namespace
