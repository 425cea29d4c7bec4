// RAMP_INIT and RAMP_NOW: shapes, rounding, steps per cycle and on the real-time clock.
#include <cfloat>
#include <cmath>
#include <limits>

#include "ramps.h"
#include "signal_test_support.h"

namespace {

using zt::num;
using zt::Program;

Program rampProgram(uint32_t density = 1000000, uint16_t buckets = 1) {
  Program p;
  p.density = density;
  p.timeout = 1000;
  p.buckets = buckets;
  return p;
}

// RAMP_INIT of `start` toward `target` at `gradient` in bucket 0.
std::string init(const std::string &start, const std::string &target, double gradient) {
  return start + "; " + target + "; PUSHDOUBLE " + zt::num(gradient) + "; RAMP_INIT 0";
}

// A program that starts the ramp in its first cycle and from then on writes RAMP_NOW twice per
// cycle into the channels now1 and now2 of the start's type.
Program cycling(const std::string &initCode, uint8_t type, uint32_t density) {
  Program p = rampProgram(density);
  p.channel("started", ZEK_BOOL);
  p.channel("now1", type);
  p.channel("now2", type);
  p.code = "READALL started; JUMPONTRUE run; " + initCode + "; PUSHTRUE; WRITEALL started; "
           "run: RAMP_NOW 0; WRITEALL now1; RAMP_NOW 0; WRITEALL now2; ENDCYCLE";
  return p;
}

TEST(Ramps, OneStepPerCycleFromTheInitCycleOn) {
  // uint8 10 toward 0 at 4 per second, one-second cycles.
  zt::Loaded l = zt::load(cycling(init("PUSHUINT8 10", "PUSHUINT8 0", 4), ZEK_UINT8, 1000000));
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  std::vector<int> seen;
  for (int cycle = 0; cycle < 4; ++cycle) {
    ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
    EXPECT_EQ(zt::value<uint8_t>("now2"), zt::value<uint8_t>("now1"));
    seen.push_back(zt::value<uint8_t>("now1"));
  }
  EXPECT_EQ(seen, (std::vector<int>{6, 2, 0, 0}));
}

TEST(Ramps, ElementsOfEveryShapeMeetTheTarget) {
  zt::Sections s(rampProgram(), {{"scalar", init("PUSHINT32 -7", "PUSHINT32 3", -2.5) + "; RAMP_NOW 0"},
                                 {"matrix", "PUSHINT16 0; PUSHINT16 100; PUSHINT16 50; PUSHINT16 49; PUSHINT16 51; PUSHINT16 -9; "
                                            "ARRAY 3; ARRAY 3; XARRAY 2; PUSHINT16 50; PUSHDOUBLE 1e9; RAMP_INIT 0; RAMP_NOW 0"},
                                 {"row", "PUSHINT32 0; PUSHINT32 100; ARRAY 2; PUSHINT32 50; PUSHDOUBLE 10; RAMP_INIT 0; RAMP_NOW 0"}});
  ASSERT_EQ(zek_runCycle(), 0u);
  // A negative gradient ramps at its magnitude; a scalar comes back as a scalar.
  ASSERT_EQ(s.run("scalar"), 0) << zt::errorText();
  ZekValueView v = zt::topView();
  EXPECT_EQ(v.scalar, 1);
  EXPECT_EQ(v.type, (uint32_t)ZEK_INT32);
  EXPECT_EQ(zt::top<int32_t>(), -4);  // -7 + 2.5 = -4.5, rounded half up
  EXPECT_EQ(zek_pstack_valueCount(), 1u);

  // Elements on either side of the target move toward it in opposite directions.
  ASSERT_EQ(s.run("row"), 0) << zt::errorText();
  EXPECT_EQ(zt::topArray<int32_t>(), (std::vector<int32_t>{10, 90}));
  v = zt::topView();
  EXPECT_EQ(v.scalar, 0);
  EXPECT_EQ(v.dimCount, 1);
  EXPECT_EQ(v.dims[0], 2u);
}

TEST(Ramps, RoundingIsHalfUpNotTheScalarConversion) {
  // 0.5-unit steps: floor(x + 0.5) where the scalar conversion would floor.
  struct Row {
    const char *start, *target;
    double gradient;
    const char *type;
    double expected;
  };
  const Row rows[] = {
      {"PUSHINT32 0", "PUSHINT32 10", 0.5, "int32", 1},       // 0.5 -> 1
      {"PUSHINT32 0", "PUSHINT32 -10", 0.5, "int32", 0},      // -0.5 -> 0
      {"PUSHINT32 0", "PUSHINT32 10", 0.49, "int32", 0},      // 0.49 -> 0
      {"PUSHUINT8 200", "PUSHUINT8 0", 0.7, "uint8", 199},    // 199.3 -> 199
      {"PUSHINT8 -3", "PUSHINT8 3", 1.5, "int8", -1},         // -1.5 -> -1
      {"PUSHUINT32 4294967295", "PUSHUINT32 0", 0.5, "uint32", 4294967295.0},  // 4294967294.5 -> up
      {"PUSHBOOL 0", "PUSHBOOL 9", 2.5, "bool", 3},           // bool ramps as uint8
      {"PUSHFLOAT 0.1", "PUSHFLOAT 1", 0.25, "float", (double)(float)(0.1f + 0.25)},
      {"PUSHDOUBLE 0.1", "PUSHDOUBLE 1", 0.25, "double", 0.1 + 0.25},
  };
  for (const Row &row : rows) {
    zt::Sections s(rampProgram(), {{"go", init(row.start, row.target, row.gradient) + "; RAMP_NOW 0"}});
    ASSERT_EQ(zek_runCycle(), 0u);
    ASSERT_EQ(s.run("go"), 0) << row.type << ": " << zt::errorText();
    ZekValueView v = zt::topView();
    double got = 0;
    switch (v.type) {
      case ZEK_UINT8: case ZEK_BOOL: got = zt::top<uint8_t>(); break;
      case ZEK_INT8: got = zt::top<int8_t>(); break;
      case ZEK_INT32: got = zt::top<int32_t>(); break;
      case ZEK_UINT32: got = zt::top<uint32_t>(); break;
      case ZEK_FLOAT: got = zt::top<float>(); break;
      case ZEK_DOUBLE: got = zt::top<double>(); break;
    }
    EXPECT_EQ(got, row.expected) << row.type << " " << row.start;
  }
}

TEST(Ramps, ReachingTheTargetCopiesItExactly) {
  // 2^62 + 1 is no double; every element that reaches it holds it to the last bit.
  zt::Sections s(rampProgram(), {{"go", "PUSHINT64 0; PUSHINT64 4611686018427387905; PUSHDOUBLE 1e300; RAMP_INIT 0; RAMP_NOW 0"},
                                 {"inf", "PUSHDOUBLE 1; PUSHDOUBLE -5; PUSHDOUBLE inf; RAMP_INIT 0; RAMP_NOW 0"}});
  ASSERT_EQ(zek_runCycle(), 0u);
  ASSERT_EQ(s.run("go"), 0);
  EXPECT_EQ(zt::top<int64_t>(), 4611686018427387905);
  ASSERT_EQ(s.run("inf"), 0);
  EXPECT_EQ(zt::top<double>(), -5.0);
}

TEST(Ramps, ANaNGradientMovesNothing) {
  zt::Sections s(rampProgram(), {{"go", "PUSHINT32 3; PUSHINT32 9; PUSHDOUBLE nan; RAMP_INIT 0; RAMP_NOW 0"}});
  ASSERT_EQ(zek_runCycle(), 0u);
  ASSERT_EQ(s.run("go"), 0);
  EXPECT_EQ(zt::top<int32_t>(), 3);
}

TEST(Ramps, Errors) {
  struct Row {
    std::string code;
    uint16_t error;
    const char *message;
  };
  const Row rows[] = {
      {"RAMP_NOW 0", 123, "Bucket is missing. RAMP_INIT has not been called for bucket 0"},
      {"RAMP_NOW 3", 111, "RAMP bucket 3 too large (>= 3)"},
      {"PUSHINT32 1; PUSHINT32 2; PUSHDOUBLE 1; RAMP_INIT 3", 111, "RAMP bucket 3 too large (>= 3)"},
      {"PUSHINT32 1; PUSHINT32 2; PUSHINT32 1; RAMP_INIT 0", 18, "Type mismatch on parameter stack. Expected double, got int32."},
      {"PUSHDOUBLE 1; RAMP_INIT 0", 109, "An underflow of the parameter stack occurred."},
      {"PUSHINT32 1; PUSHDOUBLE 1; RAMP_INIT 0", 109, "An underflow of the parameter stack occurred."},
      {"PUSHINT32 1; PUSHINT32 2; ARRAY 2; PUSHINT32 2; ARRAY 1; PUSHDOUBLE 1; RAMP_INIT 0", 104,
       "dropScalar: Expected scalar, got array (1)."},
  };
  for (const Row &row : rows) {
    zt::Sections s(rampProgram(1000000, 3), {{"go", row.code}});
    ASSERT_EQ(zek_runCycle(), 0u);
    EXPECT_EQ(s.run("go"), row.error) << row.code;
    EXPECT_EQ(zt::bareError(), row.message) << row.code;
  }
}

TEST(Ramps, MismatchedTypesRaiseButFillTheBucket) {
  zt::Sections s(rampProgram(), {{"init", init("PUSHINT32 1", "PUSHINT16 5", 1)}, {"now", "RAMP_NOW 0"}});
  ASSERT_EQ(zek_runCycle(), 0u);
  EXPECT_EQ(s.run("init"), 18);
  EXPECT_EQ(zt::bareError(), "RAMP data types do not match int16,int32");
  EXPECT_EQ(s.run("now"), 0);
  EXPECT_EQ(zt::topView().type, (uint32_t)ZEK_INT32);
}

TEST(Ramps, AFailedReinitKeepsTheFormerRamp) {
  // The re-init fails while taking its operands; the bucket keeps its own copies, and the
  // clean-up at the next load releases each of them once (ASan watches).
  zt::Sections s(rampProgram(), {{"init", "PUSHINT32 0; PUSHINT32 100; ARRAY 2; PUSHINT32 50; PUSHDOUBLE 10; RAMP_INIT 0"},
                                 {"bad", "PUSHINT32 0; PUSHINT32 100; ARRAY 2; PUSHINT32 50; PUSHFLOAT 10; RAMP_INIT 0"},
                                 {"short", "PUSHINT32 50; PUSHDOUBLE 10; RAMP_INIT 0"},
                                 {"now", "RAMP_NOW 0"}});
  ASSERT_EQ(zek_runCycle(), 0u);
  ASSERT_EQ(s.run("init"), 0);
  EXPECT_EQ(s.run("bad"), 18);
  EXPECT_EQ(s.run("short"), 109);
  ASSERT_EQ(s.run("now"), 0);
  EXPECT_EQ(zt::topArray<int32_t>(), (std::vector<int32_t>{10, 90}));
  Program empty;
  EXPECT_EQ(zt::load(empty).result, 0u);
}

TEST(Ramps, NoRoomOnTheStackIs108) {
  Program p = rampProgram();
  zt::Sections s(p, {{"init", "PUSHDOUBLE 0; PUSHDOUBLE 1; ARRAY 2; PUSHDOUBLE 2; PUSHDOUBLE 1; RAMP_INIT 0"},
                     {"now", "RAMP_NOW 0"}});
  ASSERT_EQ(zek_runCycle(), 0u);
  ASSERT_EQ(s.run("init"), 0);
  // Leave room for one 8-byte value but not for the ramp's 16 bytes.
  uint32_t before = 0;
  zt::executeFrom(s.labels.at("now"), [&] {
    VmState &vm = vmstate0;
    while ((size_t)(vm.values.end - vm.values.top) > 8) zek_pstack_push<uint8_t>(ZEK_UINT8, 0);
    before = zek_pstack_valueCount();
  });
  EXPECT_EQ(zek_getErrorCode(), 108);
  EXPECT_EQ(zt::bareError(), "An overflow of the parameter stack occurred.");
  EXPECT_EQ(zek_pstack_valueCount(), before);
}

TEST(Ramps, TheElementKernel) {
  uint8_t out[8] = {};
  int16_t s = 10, g = 0;
  zek__RAMP_one(ZEK_INT16, out, &s, &g, 2.5);
  EXPECT_EQ(zek_load_as<int16_t>(out), 8);  // 7.5 rounds up
  zek__RAMP_one(ZEK_INT16, out, &s, &g, 10);
  EXPECT_EQ(zek_load_as<int16_t>(out), 0);
  // The float difference 5 - (-99999992) rounds up to 1e8 (and FLT_MAX - -FLT_MAX overflows), so
  // a step just below it still counts as on the way; the sum lies beyond the target and must stop
  // on it.
  struct FloatRow {
    float start, target;
    double e;
  };
  const FloatRow floats[] = {{-99999992.0f, 5.0f, 99999999.0}, {99999992.0f, -5.0f, 99999999.0},
                             {-FLT_MAX, FLT_MAX, 1e300}, {0.0f, HUGE_VALF, 1e300}};
  for (const FloatRow &row : floats) {
    zek__RAMP_one(ZEK_FLOAT, out, &row.start, &row.target, row.e);
    EXPECT_EQ(zek_load_as<float>(out), row.target) << row.start << " -> " << row.target;
  }
  // int64 beyond 2^53: the doubles of start and target lie 1024 apart, the values 599.
  int64_t s64 = 4611686018427387905, g64 = 4611686018427388504;
  zek__RAMP_one(ZEK_INT64, out, &s64, &g64, 1000);
  EXPECT_EQ(zek_load_as<int64_t>(out), g64);
  zek_resetError();
  zek__RAMP_one(11, out, &s, &g, 1);
  EXPECT_EQ(zek_getErrorCode(), 18);
  EXPECT_EQ(zt::bareError(), "type code 11 not allowed in a ramp");
  zek_resetError();
}

std::vector<double> g_clock;
size_t g_tick = 0;
double scriptedClock() { return g_tick < g_clock.size() ? g_clock[g_tick++] : g_clock.back(); }

TEST(Ramps, RealTimeStepsFollowTheClock) {
  // 10 ms cycles on a clock that runs late. The step is the elapsed time times the rate, in the
  // cycle of the init one cycle time; two RAMP_NOWs of one cycle agree.
  Program p = cycling(init("PUSHDOUBLE 0", "PUSHDOUBLE 100", 10), ZEK_DOUBLE, 10000);
  p.channel("@realtime", ZEK_DOUBLE, 4);
  zt::Loaded l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  zek_installRealtimeCmd(scriptedClock);
  g_clock = {50.0, 50.0125, 50.0375, 40.0, std::numeric_limits<double>::quiet_NaN()};
  g_tick = 0;
  ASSERT_EQ(zek_runCycle(), 0u);  // time 0
  EXPECT_EQ(zt::value<double>("now1"), (10000 / 1000000.0) * 10);
  EXPECT_EQ(zt::value<double>("now2"), zt::value<double>("now1"));
  ASSERT_EQ(zek_runCycle(), 0u);  // time 0.0125
  EXPECT_EQ(zt::value<double>("now1"), vmstate0.time * 10);
  ASSERT_EQ(zek_runCycle(), 0u);  // time 0.0375
  EXPECT_NEAR(zt::value<double>("now1"), 0.375, 1e-9);
  EXPECT_EQ(zt::value<double>("now2"), zt::value<double>("now1"));
  // A clock that goes back, or gives no number, moves the ramp nowhere beyond its start.
  ASSERT_EQ(zek_runCycle(), 0u);
  EXPECT_EQ(zt::value<double>("now1"), 0.0);
  zek_runCycle();
  ASSERT_TRUE(std::isnan(vmstate0.time));
  EXPECT_EQ(zt::value<double>("now1"), 0.0);
}

}  // namespace
