// The coverage runtime through its exports: evaluations of conditional and switch decisions
// as instrumented model code makes them, and the outcomes they leave in the result file.
#include "track_support.h"

#include <cmath>
#include <limits>

namespace {

using tt::Outcome;
using tt::TrackTest;

// The rules' worked example: a AND b with both evaluated, a true (distance 0 to true, 3 to
// false) and b false (distance 2 to true, 0 to false), in cycle 4. a masks nothing, b masks a
// with distance 2: a's MC/DC true outcome is missed by 2, b's MC/DC false outcome is hit.
TEST_F(TrackTest, GoldenAndAsOutcomesAndAsFileBytes) {
  ZEK_TRACK_init_v2(1, 0, 1);
  standin_setCycleCount(5);
  ZEK_TRACK_init_decision(0, 2);
  ZEK_TRACK_push_and();
  ZEK_TRACK_push_int32(5);
  ZEK_TRACK_push_int32(2);
  EXPECT_EQ(ZEK_TRACK_neq(1, 0), 1); // 5 != 2: 0 to true, |5 - 2| to false
  ZEK_TRACK_push_int32(1);
  ZEK_TRACK_push_int32(3);
  EXPECT_EQ(ZEK_TRACK_ge(0, 1), 0); // 1 >= 3 is false: 3 - 1 to true
  EXPECT_EQ(ZEK_TRACK_logop(0), 0);
  EXPECT_EQ(ZEK_TRACK_decision_int32(0, 0), 0);
  EXPECT_EQ(tt::heldError(), "");

  tt::Table t = tt::snapshot();
  ASSERT_EQ(t.decisions.size(), 1u);
  const tt::Decision &d = t.decisions[0];
  ASSERT_EQ(d.kind, 1);
  ASSERT_EQ(d.count, 2u);
  EXPECT_EQ(d.condTrue[0], (Outcome{1, 4, 0.0}));
  EXPECT_EQ(d.condFalse[0], (Outcome{0, -1, 3.0}));
  EXPECT_EQ(d.mcdcTrue[0], (Outcome{0, -1, 2.0}));
  EXPECT_EQ(d.mcdcFalse[0], (Outcome{0, -1, 5.0}));
  EXPECT_EQ(d.condTrue[1], (Outcome{0, -1, 2.0}));
  EXPECT_EQ(d.condFalse[1], (Outcome{1, 4, 0.0}));
  EXPECT_EQ(d.mcdcTrue[1], (Outcome{0, -1, 2.0}));
  EXPECT_EQ(d.mcdcFalse[1], (Outcome{1, 4, 0.0}));
  EXPECT_EQ(d.decisionTrue, (Outcome{0, -1, 2.0}));
  EXPECT_EQ(d.decisionFalse, (Outcome{1, 4, 0.0}));

  std::vector<uint8_t> expected = {
      0x01, 0x00, 0x00, 0x00,                                                                         // 1 decision
      0x01,                                                                                           // kind 1
      0x02, 0x00, 0x00, 0x00,                                                                         // 2 conditions
      0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // a true
      0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x40, // a false: 3
      0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, // MC/DC: 2
      0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14, 0x40, // MC/DC: 5
      0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, // b true: 2
      0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // b false
      0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, // MC/DC: 2
      0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // MC/DC hit
      0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, // true: 2
      0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // false hit
  };
  EXPECT_EQ(tt::readFile(tt::tempPath("snapshot.bin")), expected);
  EXPECT_EQ(std::string(standin_printed()), "KLOVA> Init to track result data for 1 decisions \nSaving tracked data to " +
                                                tt::tempPath("snapshot.bin") + " ... done\n");
}

// a AND b with a false: b is skipped, the AND keeps a's distances, nothing is masked and only
// condition 0 reaches its MC/DC outcomes.
TEST_F(TrackTest, ShortCircuitedAndTouchesOnlyTheEvaluatedCondition) {
  ZEK_TRACK_init_v2(1, 0, 1);
  ZEK_TRACK_init_decision(0, 2);
  EXPECT_EQ(ZEK_TRACK_push_and_T(), 1);
  EXPECT_EQ(ZEK_TRACK_condition_int32(0, 0), 0);
  ZEK_TRACK_logop(0);
  ZEK_TRACK_decision_int32(0, 0);
  EXPECT_EQ(tt::heldError(), "");

  const tt::Decision d = tt::snapshot().decisions[0];
  EXPECT_EQ(d.condTrue[0], (Outcome{0, -1, 1.0}));
  EXPECT_EQ(d.condFalse[0], (Outcome{1, 0, 0.0}));
  EXPECT_EQ(d.mcdcTrue[0], (Outcome{0, -1, 1.0}));
  EXPECT_EQ(d.mcdcFalse[0], (Outcome{1, 0, 0.0}));
  for (const Outcome &o : {d.condTrue[1], d.condFalse[1], d.mcdcTrue[1], d.mcdcFalse[1]})
    EXPECT_EQ(o, tt::untouched());
  EXPECT_EQ(d.decisionTrue, (Outcome{0, -1, 1.0}));
  EXPECT_EQ(d.decisionFalse, (Outcome{1, 0, 0.0}));
}

// a OR b with both true: each masks the other, so neither MC/DC outcome is hit; the OR is 3 + 7
// away from false (both would have to fall).
TEST_F(TrackTest, OrWithBothTrueMasksBoth) {
  ZEK_TRACK_init_v2(1, 0, 1);
  ZEK_TRACK_init_decision(0, 2);
  ZEK_TRACK_push_or();
  EXPECT_EQ(ZEK_TRACK_condition_uint8(7, 0), 7);
  EXPECT_EQ(ZEK_TRACK_condition_uint16(3, 1), 3);
  ZEK_TRACK_logop(1);
  ZEK_TRACK_decision_uint8(1, 0);
  EXPECT_EQ(tt::heldError(), "");

  const tt::Decision d = tt::snapshot().decisions[0];
  EXPECT_EQ(d.condTrue[0], (Outcome{1, 0, 0.0}));
  EXPECT_EQ(d.condFalse[0], (Outcome{0, -1, 7.0}));
  EXPECT_EQ(d.condFalse[1], (Outcome{0, -1, 3.0}));
  EXPECT_EQ(d.mcdcTrue[0], (Outcome{0, -1, 3.0}));  // masked by b, which is 3 from false
  EXPECT_EQ(d.mcdcFalse[0], (Outcome{0, -1, 10.0}));
  EXPECT_EQ(d.mcdcTrue[1], (Outcome{0, -1, 7.0}));  // masked by a
  EXPECT_EQ(d.mcdcFalse[1], (Outcome{0, -1, 10.0}));
  EXPECT_EQ(d.decisionTrue, (Outcome{1, 0, 0.0}));
  EXPECT_EQ(d.decisionFalse, (Outcome{0, -1, 10.0}));
}

// NOT swaps the distances: !(1 < 2) is false, 0 from false and 1 from true; the condition
// itself was true and reaches its MC/DC true outcome.
TEST_F(TrackTest, NotSwapsTheDistancesOfItsOperand) {
  ZEK_TRACK_init_v2(1, 0, 1);
  ZEK_TRACK_init_decision(0, 1);
  ZEK_TRACK_push_int8(1);
  ZEK_TRACK_push_int8(2);
  ZEK_TRACK_lt(1, 0);
  EXPECT_EQ(ZEK_TRACK_not(0), 0);
  ZEK_TRACK_decision_int8(0, 0);
  EXPECT_EQ(tt::heldError(), "");

  const tt::Decision d = tt::snapshot().decisions[0];
  EXPECT_EQ(d.condTrue[0], (Outcome{1, 0, 0.0}));
  EXPECT_EQ(d.condFalse[0], (Outcome{0, -1, 1.0}));
  EXPECT_EQ(d.mcdcTrue[0], (Outcome{1, 0, 0.0}));
  EXPECT_EQ(d.mcdcFalse[0], (Outcome{0, -1, 1.0}));
  EXPECT_EQ(d.decisionTrue, (Outcome{0, -1, 1.0}));
  EXPECT_EQ(d.decisionFalse, (Outcome{1, 0, 0.0}));
}

// XOR does not mask: both conditions reach their MC/DC outcomes.
TEST_F(TrackTest, XorTakesItsDistancesFromItsValue) {
  ZEK_TRACK_init_v2(1, 0, 1);
  ZEK_TRACK_init_decision(0, 2);
  ZEK_TRACK_push_xor_T();
  ZEK_TRACK_condition_int64(5, 0);
  ZEK_TRACK_condition_float(0.0f, 1);
  ZEK_TRACK_logop(1);
  ZEK_TRACK_decision_int64(1, 0);
  const tt::Decision d = tt::snapshot().decisions[0];
  EXPECT_EQ(d.mcdcTrue[0], (Outcome{1, 0, 0.0}));
  EXPECT_EQ(d.mcdcFalse[1], (Outcome{1, 0, 0.0}));
  EXPECT_EQ(d.decisionTrue, (Outcome{1, 0, 0.0}));
  EXPECT_EQ(d.decisionFalse, (Outcome{0, -1, 1.0}));
}

// Side by side, an infinite distance is no way at all, so the other distance counts alone; two
// huge distances whose product overflows still give half of one.
TEST_F(TrackTest, ParallelDistancesWithInfiniteAndHugeOperands) {
  const double inf = std::numeric_limits<double>::infinity();
  ZEK_TRACK_init_v2(3, 0, 1);
  auto trueAnd = [](uint32_t d, double left, auto right) {
    ZEK_TRACK_init_decision(d, 2);
    ZEK_TRACK_push_and();
    ZEK_TRACK_push_double(left);
    ZEK_TRACK_push_double(0.0);
    ZEK_TRACK_gt(1, 0); // left > 0: left away from false
    right();
    ZEK_TRACK_logop(1);
    ZEK_TRACK_decision_int32(1, d);
  };
  trueAnd(0, inf, [] { ZEK_TRACK_condition_uint8(5, 1); });
  trueAnd(1, 1e300, [] {
    ZEK_TRACK_push_double(1e300);
    ZEK_TRACK_push_double(0.0);
    ZEK_TRACK_gt(1, 1);
  });
  // OR of two false conditions: inf < 0 is infinitely far from true, the other one 1.
  ZEK_TRACK_init_decision(2, 2);
  ZEK_TRACK_push_or();
  ZEK_TRACK_push_double(inf);
  ZEK_TRACK_push_double(0.0);
  ZEK_TRACK_lt(0, 0);
  ZEK_TRACK_condition_int32(0, 1);
  ZEK_TRACK_logop(0);
  ZEK_TRACK_decision_int32(0, 2);
  EXPECT_EQ(tt::heldError(), "");
  tt::Table t = tt::snapshot();
  EXPECT_EQ(t.decisions[0].decisionFalse.distance, 5.0);
  EXPECT_EQ(t.decisions[1].decisionFalse.distance, 5e299);
  EXPECT_EQ(t.decisions[2].decisionTrue.distance, 1.0);
  EXPECT_EQ(t.decisions[2].condTrue[0].distance, tt::NEVER); // infinity is not smaller
}

TEST_F(TrackTest, DecisionsWithoutConditionsTakeDistanceOneToTheOtherValue) {
  ZEK_TRACK_init_v2(2, 0, 1);
  EXPECT_EQ(ZEK_TRACK_init_decision_T(0, 0), 1);
  EXPECT_EQ(ZEK_TRACK_decision_int32(0, 0), 0);
  ZEK_TRACK_init_decision(1, 0);
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(ZEK_TRACK_decision_double(nan, 1))); // NaN is true
  EXPECT_EQ(tt::heldError(), "");
  tt::Table t = tt::snapshot();
  EXPECT_EQ(t.decisions[0].count, 0u);
  EXPECT_EQ(t.decisions[0].decisionTrue, (Outcome{0, -1, 1.0}));
  EXPECT_EQ(t.decisions[0].decisionFalse, (Outcome{1, 0, 0.0}));
  EXPECT_EQ(t.decisions[1].decisionTrue, (Outcome{1, 0, 0.0}));
  EXPECT_EQ(t.decisions[1].decisionFalse, (Outcome{0, -1, 1.0}));
}

// ---- Distances of single conditions --------------------------------------------------------
// Every row is one evaluation of a one-condition decision of its own; the decision's outcomes
// start undefined, so they show the condition's distances to true and to false as computed.

enum Cmp { LT, LE, GT, GE, EQ, NEQ };

int32_t compare(Cmp c, int32_t result, uint32_t i) {
  switch (c) {
  case LT: return ZEK_TRACK_lt(result, i);
  case LE: return ZEK_TRACK_le(result, i);
  case GT: return ZEK_TRACK_gt(result, i);
  case GE: return ZEK_TRACK_ge(result, i);
  case EQ: return ZEK_TRACK_eq(result, i);
  case NEQ: return ZEK_TRACK_neq(result, i);
  }
  return 0;
}

struct CompareRow {
  const char *what;
  Cmp cmp;
  double l, r;
  int32_t result;
  double toTrue, toFalse; // the undefined pattern: the outcome keeps no distance
};

TEST_F(TrackTest, ComparisonDistanceTable) {
  const double inf = std::numeric_limits<double>::infinity();
  const double undef = tt::undefinedDistance();
  const double otherNan = std::bit_cast<double>(0xFFF8000000000001ull);
  const CompareRow rows[] = {
      {"1 < 2", LT, 1, 2, 1, 0.0, 1.0},
      {"2 < 2", LT, 2, 2, 0, 1e-9, 0.0},
      {"2 <= 2", LE, 2, 2, 1, 0.0, 1e-9},
      {"3 <= 2", LE, 3, 2, 0, 1.0, 0.0},
      {"3 > 2", GT, 3, 2, 1, 0.0, 1.0},
      {"2 > 2", GT, 2, 2, 0, 1e-9, 0.0},
      {"2 >= 2", GE, 2, 2, 1, 0.0, 1e-9},
      {"1 >= 2", GE, 1, 2, 0, 1.0, 0.0},
      {"3 == 5", EQ, 3, 5, 0, 2.0, 0.0},
      {"4 == 4", EQ, 4, 4, 1, 0.0, 1.0},
      {"4 != 4", NEQ, 4, 4, 0, 1.0, 0.0},
      {"3 != 5", NEQ, 3, 5, 1, 0.0, 2.0},
      // Equal infinities are 0 apart, not NaN.
      {"inf == inf", EQ, inf, inf, 1, 0.0, 1.0},
      {"-inf < -inf", LT, -inf, -inf, 0, 1e-9, 0.0},
      {"inf <= inf", LE, inf, inf, 1, 0.0, 1e-9},
      {"inf > -inf", GT, inf, -inf, 1, 0.0, inf},
      // An undefined operand makes a plain condition: any true result is 1 from false.
      {"undefined < 5, true", LT, undef, 5, 1, 0.0, 1.0},
      {"undefined < 5, result -1", LT, undef, 5, -1, 0.0, 1.0},
      {"5 > undefined, false", GT, 5, undef, 0, 1.0, 0.0},
      // Another NaN is an ordinary value: its NaN distance to true is never kept.
      {"NaN == 1", EQ, otherNan, 1, 0, undef, 0.0},
  };
  ZEK_TRACK_init_v2(std::size(rows), 0, 1);
  for (uint32_t d = 0; d < std::size(rows); ++d) {
    const CompareRow &row = rows[d];
    ZEK_TRACK_init_decision(d, 1);
    ZEK_TRACK_push_double(row.l);
    ZEK_TRACK_push_double(row.r);
    EXPECT_EQ(compare(row.cmp, row.result, 0), row.result);
    ZEK_TRACK_decision_int32(row.result, d);
  }
  EXPECT_EQ(tt::heldError(), "");
  tt::Table t = tt::snapshot();
  for (uint32_t d = 0; d < std::size(rows); ++d) {
    SCOPED_TRACE(rows[d].what);
    const tt::Decision &dec = t.decisions[d];
    auto expectDistance = [](double actual, double wanted) {
      if (tt::isUndefined(wanted)) {
        EXPECT_TRUE(tt::isUndefined(actual)) << actual;
      } else {
        EXPECT_EQ(actual, wanted);
      }
    };
    expectDistance(dec.decisionTrue.distance, rows[d].toTrue);
    expectDistance(dec.decisionFalse.distance, rows[d].toFalse);
    if (tt::isUndefined(rows[d].toTrue)) {
      EXPECT_EQ(dec.condTrue[0], tt::untouched());
    }
    // The outcome that occurred is the one counted.
    EXPECT_EQ(dec.condTrue[0].hits, rows[d].result != 0 ? 1 : 0);
    EXPECT_EQ(dec.condFalse[0].hits, rows[d].result != 0 ? 0 : 1);
  }
}

struct ConditionRow {
  const char *what;
  double toTrue, toFalse;
};

// The value-carrying uint8 and uint16 conditions keep their value as the distance to false; the
// others are 1 from the other value.
TEST_F(TrackTest, PlainConditionsOfEveryType) {
  const ConditionRow rows[] = {
      {"uint8 200", 0.0, 200.0}, {"uint16 1000", 0.0, 1000.0}, {"int8 -5", 0.0, 1.0},
      {"int16 0", 1.0, 0.0},     {"uint32 4e9", 0.0, 1.0},     {"uint64 max", 0.0, 1.0},
      {"float NaN", 0.0, 1.0},   {"double -0.0", 1.0, 0.0},
  };
  ZEK_TRACK_init_v2(std::size(rows), 0, 1);
  auto evaluate = [](uint32_t d, auto condition) {
    ZEK_TRACK_init_decision(d, 1);
    bool v = condition() != 0;
    ZEK_TRACK_decision_int32(v, d);
  };
  evaluate(0, [] { return ZEK_TRACK_condition_uint8(200, 0); });
  evaluate(1, [] { return ZEK_TRACK_condition_uint16(1000, 0); });
  evaluate(2, [] { return ZEK_TRACK_condition_int8(-5, 0); });
  evaluate(3, [] { return ZEK_TRACK_condition_int16(0, 0); });
  evaluate(4, [] { return ZEK_TRACK_condition_uint32(4000000000u, 0); });
  evaluate(5, [] { return ZEK_TRACK_condition_uint64(UINT64_MAX, 0); });
  evaluate(6, [] { return std::isnan(ZEK_TRACK_condition_float(std::nanf(""), 0)) ? 1 : 0; });
  evaluate(7, [] { return ZEK_TRACK_condition_double(-0.0, 0) != 0 ? 1 : 0; });
  EXPECT_EQ(tt::heldError(), "");
  tt::Table t = tt::snapshot();
  for (uint32_t d = 0; d < std::size(rows); ++d) {
    SCOPED_TRACE(rows[d].what);
    EXPECT_EQ(t.decisions[d].decisionTrue.distance, rows[d].toTrue);
    EXPECT_EQ(t.decisions[d].decisionFalse.distance, rows[d].toFalse);
  }
}

// Truth is value != 0 in the value's own type: wide values whose low 32 bits are 0 and small
// fractions are true, -0.0 is false.
TEST_F(TrackTest, TruthOfWideAndFractionalValues) {
  ZEK_TRACK_init_v2(8, 0, 1);
  auto decide = [](uint32_t d, auto finish) {
    ZEK_TRACK_init_decision(d, 0);
    finish(d);
  };
  decide(0, [](uint32_t d) { EXPECT_EQ(ZEK_TRACK_decision_int64(int64_t{1} << 40, d), int64_t{1} << 40); });
  decide(1, [](uint32_t d) { EXPECT_EQ(ZEK_TRACK_decision_uint64(uint64_t{1} << 32, d), uint64_t{1} << 32); });
  decide(2, [](uint32_t d) { EXPECT_EQ(ZEK_TRACK_decision_double(0.25, d), 0.25); });
  decide(3, [](uint32_t d) { EXPECT_EQ(ZEK_TRACK_decision_float(1e-30f, d), 1e-30f); });
  decide(4, [](uint32_t d) { ZEK_TRACK_decision_float(-0.0f, d); });
  decide(5, [](uint32_t d) { EXPECT_EQ(ZEK_TRACK_decision_uint16(256, d), 256); });
  decide(6, [](uint32_t d) { EXPECT_EQ(ZEK_TRACK_decision_int16(-32768, d), -32768); });
  ZEK_TRACK_init_decision(7, 2);
  ZEK_TRACK_push_and();
  EXPECT_EQ(ZEK_TRACK_condition_int64(int64_t{1} << 32, 0), int64_t{1} << 32);
  EXPECT_EQ(ZEK_TRACK_condition_uint64(uint64_t{1} << 63, 1), uint64_t{1} << 63);
  ZEK_TRACK_logop(1);
  ZEK_TRACK_decision_int32(1, 7);
  EXPECT_EQ(tt::heldError(), "");
  tt::Table t = tt::snapshot();
  const bool truth[] = {true, true, true, true, false, true, true, true};
  for (uint32_t d = 0; d < 8; ++d) {
    EXPECT_EQ(t.decisions[d].decisionTrue.hits, truth[d] ? 1 : 0) << d;
    EXPECT_EQ(t.decisions[d].decisionFalse.hits, truth[d] ? 0 : 1) << d;
  }
  EXPECT_EQ(t.decisions[7].condTrue[0].hits, 1);
  EXPECT_EQ(t.decisions[7].condTrue[1].hits, 1);
}

// Every switch family opens the same kind of frame and returns its selector.
TEST_F(TrackTest, SwitchFamiliesOfEveryIntegerType) {
  ZEK_TRACK_init_v2(8, 0, 1);
  EXPECT_EQ(ZEK_TRACK_switch_int8(-128, 0, 2), -128);
  ZEK_TRACK_case(0, 1);
  EXPECT_EQ(ZEK_TRACK_switch_int16(-2, 1, 2), -2);
  ZEK_TRACK_case(1, 1);
  EXPECT_EQ(ZEK_TRACK_switch_int32(INT32_MIN, 2, 2), INT32_MIN);
  ZEK_TRACK_case(2, 1);
  EXPECT_EQ(ZEK_TRACK_switch_int64(INT64_MIN, 3, 2), INT64_MIN);
  ZEK_TRACK_case(3, 1);
  EXPECT_EQ(ZEK_TRACK_switch_uint8(255, 4, 2), 255);
  ZEK_TRACK_case(4, 1);
  EXPECT_EQ(ZEK_TRACK_switch_uint16(65535, 5, 2), 65535);
  ZEK_TRACK_case(5, 1);
  EXPECT_EQ(ZEK_TRACK_switch_uint32(UINT32_MAX, 6, 2), UINT32_MAX);
  ZEK_TRACK_case(6, 1);
  EXPECT_EQ(ZEK_TRACK_switch_uint64(UINT64_MAX, 7, 2), UINT64_MAX);
  ZEK_TRACK_case(7, 1);
  EXPECT_EQ(tt::heldError(), "");
  tt::Table t = tt::snapshot();
  for (uint32_t d = 0; d < 8; ++d) {
    ASSERT_EQ(t.decisions[d].kind, 2) << d;
    EXPECT_EQ(t.decisions[d].cases[1].hits, 1) << d;
  }
}

TEST_F(TrackTest, Uint64OperandsArePushedByTheirUnsignedValue) {
  ZEK_TRACK_init_v2(1, 0, 1);
  ZEK_TRACK_init_decision(0, 1);
  EXPECT_EQ(ZEK_TRACK_push_uint64(UINT64_MAX), UINT64_MAX);
  ZEK_TRACK_push_uint64(0);
  ZEK_TRACK_eq(0, 0);
  ZEK_TRACK_decision_int32(0, 0);
  EXPECT_EQ(tt::snapshot().decisions[0].decisionTrue.distance, 1.8446744073709552e19);
}

// The minimum distance never grows, and a condition outcome's first distance replaces 1e7.
TEST_F(TrackTest, OutcomesKeepTheSmallestDistanceAndTheFirstCycle) {
  ZEK_TRACK_init_v2(1, 0, 1);
  const int32_t lefts[] = {10, 4, 7};
  for (uint32_t step = 0; step < 3; ++step) {
    standin_setCycleCount(step + 1);
    ZEK_TRACK_init_decision(0, 1);
    ZEK_TRACK_push_int32(lefts[step]);
    ZEK_TRACK_push_int32(1);
    ZEK_TRACK_le(0, 0); // false: left - 1 from true
    ZEK_TRACK_decision_int32(0, 0);
  }
  const tt::Decision d = tt::snapshot().decisions[0];
  EXPECT_EQ(d.condTrue[0], (Outcome{0, -1, 3.0}));
  EXPECT_EQ(d.condFalse[0], (Outcome{3, 0, 0.0}));
  EXPECT_EQ(d.decisionFalse, (Outcome{3, 0, 0.0}));
}

// The cycle being computed is the count less one; a count of 0 gives cycle 0, not -1, and a
// count beyond the i32 range stops at its largest value.
TEST_F(TrackTest, FirstCyclesAreClampedToTheI32Range) {
  const struct {
    uint32_t count;
    int32_t first;
  } rows[] = {{0, 0}, {1, 0}, {7, 6}, {0x80000000u, INT32_MAX}, {0xFFFFFFFFu, INT32_MAX}};
  ZEK_TRACK_init_v2(std::size(rows), 0, 1);
  for (uint32_t d = 0; d < std::size(rows); ++d) {
    standin_setCycleCount(rows[d].count);
    ZEK_TRACK_switch_uint32(d, d, 1);
    ZEK_TRACK_case(d, 0);
  }
  tt::Table t = tt::snapshot();
  for (uint32_t d = 0; d < std::size(rows); ++d)
    EXPECT_EQ(t.decisions[d].cases[0], (Outcome{1, rows[d].first, tt::undefinedDistance()})) << rows[d].count;
}

TEST_F(TrackTest, SwitchCasesCountWithoutDistances) {
  ZEK_TRACK_init_v2(2, 0, 1);
  standin_setCycleCount(3);
  EXPECT_EQ(ZEK_TRACK_switch_int16(-4, 1, 3), -4);
  ZEK_TRACK_case(1, 2);
  EXPECT_EQ(ZEK_TRACK_switch_uint64(9, 1, 3), 9u);
  ZEK_TRACK_case(1, 2);
  ZEK_TRACK_switch_int8(1, 1, 3);
  ZEK_TRACK_case(1, 0);
  EXPECT_EQ(tt::heldError(), "");
  tt::Table t = tt::snapshot();
  EXPECT_EQ(t.decisions[0].kind, 0);
  const tt::Decision &d = t.decisions[1];
  ASSERT_EQ(d.kind, 2);
  ASSERT_EQ(d.count, 3u);
  EXPECT_EQ(d.cases[0], (Outcome{1, 2, tt::undefinedDistance()}));
  EXPECT_EQ(d.cases[1], tt::undefinedOutcome());
  EXPECT_EQ(d.cases[2], (Outcome{2, 2, tt::undefinedDistance()}));
}

// Frames nest: a switch or a second conditional decision may open while a conditional one is
// pending, and each closes into its own entry.
TEST_F(TrackTest, DecisionsNestInsideAPendingConditionalDecision) {
  ZEK_TRACK_init_v2(3, 0, 1);
  ZEK_TRACK_init_decision(0, 2);
  ZEK_TRACK_push_and();
  ZEK_TRACK_condition_int32(1, 0);
  ZEK_TRACK_switch_int32(2, 1, 4);
  ZEK_TRACK_case(1, 2);
  ZEK_TRACK_init_decision(2, 1);
  ZEK_TRACK_condition_int32(0, 0);
  ZEK_TRACK_decision_int32(0, 2);
  ZEK_TRACK_condition_int32(1, 1);
  ZEK_TRACK_logop(1);
  ZEK_TRACK_decision_int32(1, 0);
  EXPECT_EQ(tt::heldError(), "");
  tt::Table t = tt::snapshot();
  EXPECT_EQ(t.decisions[0].decisionTrue.hits, 1);
  EXPECT_EQ(t.decisions[0].mcdcTrue[0].hits, 1);
  EXPECT_EQ(t.decisions[0].mcdcTrue[1].hits, 1);
  EXPECT_EQ(t.decisions[1].cases[2].hits, 1);
  EXPECT_EQ(t.decisions[2].decisionFalse.hits, 1);
}

// Operand nodes that an evaluation leaves behind are freed with its frame (the sanitizer build
// checks for leaks at exit).
TEST_F(TrackTest, LeftoverOperandsGoWithTheFrame) {
  ZEK_TRACK_init_v2(1, 0, 1);
  for (int step = 0; step < 3; ++step) {
    ZEK_TRACK_init_decision(0, 2);
    ZEK_TRACK_push_or();
    ZEK_TRACK_push_int32(1);
    ZEK_TRACK_condition_int32(1, 0);
    ZEK_TRACK_condition_int32(1, 1);
    ZEK_TRACK_decision_int32(1, 0);
  }
  EXPECT_EQ(tt::heldError(), "");
  EXPECT_EQ(tt::snapshot().decisions[0].decisionTrue.hits, 3);
}

} // namespace
