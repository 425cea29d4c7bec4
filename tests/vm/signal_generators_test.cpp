// STATEFULFUNCTION: the seven generators, their starts, checks and buckets.
//
// Most tests call one generator several times within one execution: each call leaves its
// output on the parameter stack, so the outputs of a row of times can be read off afterwards.
#include <cmath>
#include <limits>

#include "signal_test_support.h"

namespace {

using zt::num;
using zt::Program;

// Sections of code on one load with one bucket.
zt::Sections sections(const std::vector<std::pair<std::string, std::string>> &code) {
  Program p;
  p.buckets = 1;
  return zt::Sections(p, code);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The byte code of one call: the values and parameters, then t.
std::string call(int code, const std::string &operands, double t, int bucket = 0) {
  return operands + "; PUSHDOUBLE " + num(t) + "; STATEFULFUNCTION " + std::to_string(code) + " " +
         std::to_string(bucket) + "; ";
}

struct Outcome {
  zt::Loaded loaded;
  uint16_t error;
  std::string message;
};

// Loads a program with the given code (buckets and cycle time as given) and executes it once.
Outcome execute(const std::string &code, uint16_t buckets = 2, uint32_t density = 10000, bool bigEndian = false) {
  Program p;
  p.bigEndian = bigEndian;
  p.buckets = buckets;
  p.density = density;
  p.code = code + "ENDCYCLE";
  Outcome r{zt::load(p), 0, {}};
  EXPECT_EQ(r.loaded.result, 0u) << zt::errorText();
  zt::execute(r.loaded);
  r.error = zek_getErrorCode();
  r.message = zt::bareError();
  return r;
}

// The outputs of one generator called at each time in turn on bucket 0.
template <typename T> std::vector<T> outputsAt(int code, const std::string &operands, const std::vector<double> &times,
                                               uint32_t density = 10000) {
  std::string text;
  for (double t : times) text += call(code, operands, t);
  Outcome r = execute(text, 1, density);
  EXPECT_EQ(r.error, 0) << r.message;
  std::vector<T> out;
  if (r.error != 0) return out;
  EXPECT_EQ(zek_pstack_valueCount(), times.size());
  for (size_t i = 0; i < times.size(); ++i) out.push_back(zt::top<T>((uint32_t)(times.size() - 1 - i)));
  return out;
}

enum : int { IMPULSE = 0, RAMP = 1, RAMPGRADIENT = 2, STEPS = 3, SINWAVE = 4, PULSEWAVE = 5, SAWTOOTH = 6 };

TEST(Generators, Impulse) {
  // 10 ms cycles: the impulse lasts while duration > t + 1e-10.
  EXPECT_EQ(outputsAt<int32_t>(IMPULSE, "PUSHINT32 5; PUSHINT32 9; PUSHDOUBLE 0.05", {0, 0.04, 0.05, 0.06, 3}),
            (std::vector<int32_t>{9, 9, 5, 5, 5}));
  EXPECT_EQ(outputsAt<int32_t>(IMPULSE, "PUSHINT32 5; PUSHINT32 9; PUSHDOUBLE 0.01", {0, 0.01}),
            (std::vector<int32_t>{9, 5}));
  // The stored values go out, not the ones given again.
  Outcome r = execute(call(IMPULSE, "PUSHDOUBLE 1.5; PUSHDOUBLE -2.25; PUSHDOUBLE 0.02", 0) +
                  call(IMPULSE, "PUSHDOUBLE 0; PUSHDOUBLE 0; PUSHDOUBLE 0", 0.02));
  ASSERT_EQ(r.error, 0) << r.message;
  EXPECT_EQ(zt::top<double>(1), -2.25);
  EXPECT_EQ(zt::top<double>(0), 1.5);
  EXPECT_EQ(outputsAt<int64_t>(IMPULSE, "PUSHINT64 9007199254740993; PUSHINT64 -9007199254740993; PUSHDOUBLE 1", {0, 2}),
            (std::vector<int64_t>{-9007199254740993, 9007199254740993}));
}

TEST(Generators, Ramp) {
  const std::string up = "PUSHINT32 0; PUSHINT32 101; PUSHDOUBLE 1; PUSHFALSE";
  // Linear: (t + c) / (duration + c) of the way, the target from t = duration on.
  EXPECT_EQ(outputsAt<int32_t>(RAMP, up, {0, 0.49, 0.99, 1, 5}), (std::vector<int32_t>{1, 50, 100, 101, 101}));
  EXPECT_EQ(outputsAt<int32_t>(RAMP, "PUSHINT32 100; PUSHINT32 0; PUSHDOUBLE 1; PUSHFALSE", {0, 0.49}),
            (std::vector<int32_t>{99, 50}));
  // Smoothed: half a sine from the start to the target.
  EXPECT_EQ(outputsAt<int32_t>(RAMP, "PUSHINT32 0; PUSHINT32 1000; PUSHDOUBLE 1; PUSHTRUE", {0, 0.25, 0.5, 0.75, 1}),
            (std::vector<int32_t>{0, 146, 500, 853, 1000}));
  std::vector<double> d = outputsAt<double>(RAMP, "PUSHDOUBLE 2; PUSHDOUBLE 4; PUSHDOUBLE 0.5; PUSHFALSE", {0, 0.25});
  EXPECT_EQ(d, (std::vector<double>{2 + 2 * (0.01 / 0.51), 2 + 2 * (0.26 / 0.51)}));
  // A target that double cannot hold is still met exactly.
  EXPECT_EQ(outputsAt<int64_t>(RAMP, "PUSHINT64 0; PUSHINT64 4611686018427387905; PUSHDOUBLE 0.05; PUSHFALSE", {0, 0.05}).back(),
            4611686018427387905);
  // Start 2^62 + 1 and target 2^62 + 600 are 1024 apart as doubles: past halfway the sum rounds
  // to the target's double, which lies beyond the target itself.
  EXPECT_EQ(outputsAt<int64_t>(RAMP, "PUSHINT64 4611686018427387905; PUSHINT64 4611686018427388504; PUSHDOUBLE 1; PUSHFALSE",
                               {0, 0.75}).back(),
            4611686018427388504);
}

TEST(Generators, RampGradient) {
  // Half-second cycles: the ramp is a cycle ahead, t + c.
  const uint32_t halfSecond = 500000;
  EXPECT_EQ(outputsAt<int32_t>(RAMPGRADIENT, "PUSHINT32 10; PUSHINT32 20; PUSHDOUBLE -2", {0, 2, 4.75, 100}, halfSecond),
            (std::vector<int32_t>{11, 15, 20, 20}));
  EXPECT_EQ(outputsAt<int32_t>(RAMPGRADIENT, "PUSHINT32 20; PUSHINT32 10; PUSHDOUBLE 2", {0, 2, 100}, halfSecond),
            (std::vector<int32_t>{19, 15, 10}));
  EXPECT_EQ(outputsAt<int32_t>(RAMPGRADIENT, "PUSHINT32 7; PUSHINT32 7; PUSHDOUBLE 2", {0, 2}, halfSecond),
            (std::vector<int32_t>{7, 7}));
  EXPECT_EQ(outputsAt<double>(RAMPGRADIENT, "PUSHDOUBLE 0; PUSHDOUBLE 1; PUSHDOUBLE 0.25", {0, 1.5}, halfSecond),
            (std::vector<double>{0.125, 0.5}));
  // int64 one apart beyond 2^53: equal as doubles, still ordered, and the target comes exactly.
  EXPECT_EQ(outputsAt<int64_t>(RAMPGRADIENT, "PUSHINT64 4611686018427387904; PUSHINT64 4611686018427387905; PUSHDOUBLE 1",
                               {0}, halfSecond),
            (std::vector<int64_t>{4611686018427387905}));
}

TEST(Generators, Steps) {
  // stepwidth 0.1: 0.3 / 0.1 is 2.9999999999999996 and the tolerance counts three steps.
  EXPECT_EQ(outputsAt<int32_t>(STEPS, "PUSHINT32 0; PUSHINT32 10; PUSHDOUBLE 0.1; PUSHDOUBLE 0.35",
                               {0, 0.09, 0.1, 0.3, 0.35, 10}),
            (std::vector<int32_t>{10, 10, 20, 40, 40, 40}));
  // A duration below one step width: start + stepheight for ever.
  EXPECT_EQ(outputsAt<int32_t>(STEPS, "PUSHINT32 3; PUSHINT32 -2; PUSHDOUBLE 0.1; PUSHDOUBLE 0.05", {0, 0.07, 9}),
            (std::vector<int32_t>{1, 1, 1}));
  EXPECT_EQ(outputsAt<double>(STEPS, "PUSHDOUBLE 0.5; PUSHDOUBLE 0.25; PUSHDOUBLE 0.5; PUSHDOUBLE 2", {0, 1.2}),
            (std::vector<double>{0.75, 1.25}));
  // More steps than a u32 counts: the count stops at its end.
  EXPECT_EQ(outputsAt<double>(STEPS, "PUSHDOUBLE 0; PUSHDOUBLE 1; PUSHDOUBLE 1e-300; PUSHDOUBLE 1", {0, 0.5}).back(),
            4294967296.0);
}

TEST(Generators, Sinwave) {
  // start 1, amplitude 2, period 1, duration 0.75, no phase shift; frozen after the duration.
  std::vector<double> d = outputsAt<double>(
      SINWAVE, "PUSHDOUBLE 1; PUSHDOUBLE 2; PUSHDOUBLE 1; PUSHDOUBLE 0.75; PUSHDOUBLE 0", {0, 0.25, 0.5, 0.75, 0.8, 5});
  ASSERT_EQ(d.size(), 6u);
  EXPECT_EQ(d[0], 1.0);
  EXPECT_DOUBLE_EQ(d[1], 3.0);
  EXPECT_DOUBLE_EQ(d[2], 1.0);
  EXPECT_DOUBLE_EQ(d[3], -1.0);
  EXPECT_EQ(d[4], d[3]);
  EXPECT_EQ(d[5], d[3]);
  // An integer start keeps its offset rounded: 10 - 3.3 sin(0.5) = 8.42 is stored as 8, so a
  // quarter period later the output is 8 + 3.3 cos(0.5) = 10.9, not 11.3.
  EXPECT_EQ(outputsAt<int32_t>(SINWAVE, "PUSHINT32 10; PUSHDOUBLE 3.3; PUSHDOUBLE 1; PUSHDOUBLE 5; PUSHDOUBLE 0.5",
                               {0, 0.25}),
            (std::vector<int32_t>{10, 10}));
  // A NaN start begins at amplitude x sin(phaseshift) (0 without a phase shift).
  d = outputsAt<double>(SINWAVE, "PUSHDOUBLE nan; PUSHDOUBLE 2; PUSHDOUBLE 1; PUSHDOUBLE 5; PUSHDOUBLE 0.5", {0, 0.25});
  EXPECT_EQ(d, (std::vector<double>{2 * std::sin(0.5), 2 * std::sin(2 * 3.141592653589793 * 0.25 / 1 + 0.5)}));
  d = outputsAt<double>(SINWAVE, "PUSHDOUBLE nan; PUSHDOUBLE 2; PUSHDOUBLE 1; PUSHDOUBLE 5; PUSHDOUBLE 0", {0});
  EXPECT_EQ(d, (std::vector<double>{0.0}));
  // A restart clears the freeze.
  d = outputsAt<double>(SINWAVE, "PUSHDOUBLE 1; PUSHDOUBLE 2; PUSHDOUBLE 1; PUSHDOUBLE 0.3; PUSHDOUBLE 0",
                        {0, 0.25, 0.5, 0, 0.25});
  EXPECT_DOUBLE_EQ(d[2], 3.0);
  EXPECT_EQ(d[3], 1.0);
  EXPECT_DOUBLE_EQ(d[4], 3.0);
}

TEST(Generators, Pulsewave) {
  const std::string half = "PUSHINT32 0; PUSHINT32 1; PUSHDOUBLE 0.1; PUSHDOUBLE 0.5; PUSHDOUBLE 1";
  EXPECT_EQ(outputsAt<int32_t>(PULSEWAVE, half, {0, 0.04, 0.05, 0.09, 0.1, 0.3, 0.35, 1, 1.01}),
            (std::vector<int32_t>{1, 1, 0, 0, 1, 1, 0, 1, 0}));
  // Duty cycle 0 is off at every time, also where the period's tolerance makes the phase
  // slightly negative (0.3 - 3 x 0.1 < 0).
  EXPECT_EQ(outputsAt<int32_t>(PULSEWAVE, "PUSHINT32 0; PUSHINT32 1; PUSHDOUBLE 0.1; PUSHDOUBLE 0; PUSHDOUBLE 1",
                               {0, 0.1, 0.2, 0.3, 0.6, 0.7}),
            (std::vector<int32_t>{0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(outputsAt<int32_t>(PULSEWAVE, "PUSHINT32 0; PUSHINT32 1; PUSHDOUBLE 0.1; PUSHDOUBLE 1; PUSHDOUBLE 1",
                               {0, 0.05, 0.09, 0.3, 2}),
            (std::vector<int32_t>{1, 1, 1, 1, 0}));
}

TEST(Generators, Sawtooth) {
  // Rise over period - c - pause, then the pause at the start.
  EXPECT_EQ(outputsAt<int32_t>(SAWTOOTH, "PUSHINT32 0; PUSHINT32 100; PUSHDOUBLE 1; PUSHDOUBLE 10; PUSHDOUBLE 0",
                               {0, 0.495, 0.99, 1, 1.495, 10.5}),
            (std::vector<int32_t>{0, 50, 100, 0, 50, 0}));
  EXPECT_EQ(outputsAt<int32_t>(SAWTOOTH, "PUSHINT32 0; PUSHINT32 100; PUSHDOUBLE 1; PUSHDOUBLE 10; PUSHDOUBLE 0.5",
                               {0, 0.245, 0.49, 0.5, 0.99, 1.245}),
            (std::vector<int32_t>{0, 50, 100, 0, 0, 50}));
  EXPECT_EQ(outputsAt<int32_t>(SAWTOOTH, "PUSHINT32 100; PUSHINT32 0; PUSHDOUBLE 1; PUSHDOUBLE 10; PUSHDOUBLE 0",
                               {0, 0.495, 0.99}),
            (std::vector<int32_t>{100, 50, 0}));
  // The last cycle of the rise meets an int64 target that double cannot hold exactly.
  EXPECT_EQ(outputsAt<int64_t>(SAWTOOTH, "PUSHINT64 0; PUSHINT64 4611686018427388504; PUSHDOUBLE 1; PUSHDOUBLE 10; "
                                         "PUSHDOUBLE 0", {0, 0.99}).back(),
            4611686018427388504);
  // A rise shorter than one cycle (1 - 0.01 - 0.995 < 0) is at the target at once and never
  // leaves the range between start and target.
  EXPECT_EQ(outputsAt<int32_t>(SAWTOOTH, "PUSHINT32 0; PUSHINT32 100; PUSHDOUBLE 1; PUSHDOUBLE 10; PUSHDOUBLE 0.995",
                               {0, 0.003, 0.5, 1, 1.004}),
            (std::vector<int32_t>{100, 100, 0, 100, 100}));
}

TEST(Generators, CycleTimeIsTheDensityTimesOneMillionth) {
  // 100000 us x 1e-6 is 0.09999999999999999, not 0.1: the linear ramp shows which one it uses.
  double c = 100000 * 1e-6;
  EXPECT_NE(c, 0.1);
  std::vector<double> d =
      outputsAt<double>(RAMP, "PUSHDOUBLE 0; PUSHDOUBLE 1; PUSHDOUBLE 1; PUSHFALSE", {0, 0.5}, 100000);
  EXPECT_EQ(d, (std::vector<double>{0 + (1.0 - 0) * ((0 + c) / (1 + c)), 0 + (1.0 - 0) * ((0.5 + c) / (1 + c))}));
}

TEST(Generators, LifecycleOfABucket) {
  const std::string ramp = "PUSHINT32 0; PUSHINT32 101; PUSHDOUBLE 1; PUSHFALSE";
  // The first call must be at t = 0, and time must not go back.
  for (double t : {0.5, -1.0, kNaN}) {
    Outcome r = execute(call(RAMP, ramp, t));
    EXPECT_EQ(r.error, 123) << t;
    EXPECT_EQ(r.message, "Function ZEK.ramp() not initialized at t=0s.") << t;
  }
  for (double t : {0.4, kNaN}) {
    Outcome r = execute(call(RAMP, ramp, 0) + call(RAMP, ramp, 0.5) + call(RAMP, ramp, t));
    EXPECT_EQ(r.error, 123) << t;
  }
  // A call with the same t as the previous one is fine; t = 0 restarts with new parameters,
  // and the parameters of later calls are not used.
  EXPECT_EQ(outputsAt<int32_t>(RAMP, ramp, {0, 0.49, 0.49}), (std::vector<int32_t>{1, 50, 50}));
  Outcome r = execute(call(RAMP, ramp, 0) + call(RAMP, ramp, 0.49) + call(RAMP, "PUSHINT32 0; PUSHINT32 202; PUSHDOUBLE 1; PUSHFALSE", 0) +
                  call(RAMP, "PUSHINT32 7; PUSHINT32 7; PUSHDOUBLE 9; PUSHTRUE", 0.49));
  ASSERT_EQ(r.error, 0) << r.message;
  EXPECT_EQ(zt::top<int32_t>(1), 2);
  EXPECT_EQ(zt::top<int32_t>(0), 100);
  // t = 0 on every call restarts every time.
  EXPECT_EQ(outputsAt<int32_t>(RAMP, ramp, {0, 0, 0}), (std::vector<int32_t>{1, 1, 1}));
}

TEST(Generators, AFailedStartLeavesTheBucketUninitialised) {
  const std::string good = "PUSHINT32 0; PUSHINT32 101; PUSHDOUBLE 1; PUSHFALSE";
  zt::Sections s = sections({{"good", call(RAMP, good, 0)},
              {"bad", call(RAMP, "PUSHINT32 0; PUSHINT32 101; PUSHDOUBLE -1; PUSHFALSE", 0)},
              {"later", call(RAMP, good, 0.49)}});
  EXPECT_EQ(s.run("bad"), 18);
  EXPECT_EQ(s.run("later"), 123);
  // A bucket that held a ramp keeps nothing of it once a restart failed.
  EXPECT_EQ(s.run("good"), 0);
  EXPECT_EQ(s.run("later"), 0);
  EXPECT_EQ(zt::top<int32_t>(), 50);
  EXPECT_EQ(s.run("bad"), 18);
  EXPECT_EQ(s.run("later"), 123);
  EXPECT_EQ(zt::bareError(), "Function ZEK.ramp() not initialized at t=0s.");
}

TEST(Generators, BucketsHoldOneKindAtATime) {
  const std::string impulse = "PUSHINT32 5; PUSHINT32 9; PUSHDOUBLE 0.05";
  const std::string sinwave = "PUSHDOUBLE 1; PUSHDOUBLE 2; PUSHDOUBLE 1; PUSHDOUBLE 5; PUSHDOUBLE 0";
  zt::Sections s = sections({{"impulse0", call(IMPULSE, impulse, 0)},
              {"impulse1", call(IMPULSE, impulse, 0.02)},
              {"sinwave0", call(SINWAVE, sinwave, 0)},
              {"sinwave1", call(SINWAVE, sinwave, 0.25)},
              {"rampInit", "PUSHINT32 0; PUSHINT32 9; PUSHDOUBLE 1; RAMP_INIT 0; "},
              {"rampNow", "RAMP_NOW 0; "}});
  EXPECT_EQ(s.run("impulse0"), 0);
  // Another generator's record is not a sinwave's, nor a ramp's.
  EXPECT_EQ(s.run("sinwave1"), 123);
  EXPECT_EQ(s.run("rampNow"), 123);
  EXPECT_EQ(zt::bareError(), "Bucket is missing. RAMP_INIT has not been called for bucket 0");
  // A start of another kind replaces the record (a bucket of the right size, under ASan).
  EXPECT_EQ(s.run("sinwave0"), 0);
  EXPECT_EQ(s.run("sinwave1"), 0);
  EXPECT_DOUBLE_EQ(zt::top<double>(), 3.0);
  EXPECT_EQ(s.run("impulse1"), 123);
  EXPECT_EQ(s.run("rampInit"), 0);
  EXPECT_EQ(s.run("sinwave1"), 123);
  EXPECT_EQ(s.run("impulse0"), 0);
  EXPECT_EQ(s.run("rampNow"), 123);
  // The ramp's clean-up ran when the impulse took the bucket; the next load cleans the rest.
  EXPECT_EQ(s.run("rampInit"), 0);
  zt::Program empty;
  EXPECT_EQ(zt::load(empty).result, 0u);
}

TEST(Generators, BucketIndexMustBeBelowTheCount) {
  Outcome r = execute(call(IMPULSE, "PUSHINT32 5; PUSHINT32 9; PUSHDOUBLE 0.05", 0), 0);
  EXPECT_EQ(r.error, 111);
  EXPECT_EQ(r.message, "STATEFULFUNCTION bucket 0 too large (>= 0)");
  r = execute(call(IMPULSE, "PUSHINT32 5; PUSHINT32 9; PUSHDOUBLE 0.05", 0, 2), 2);
  EXPECT_EQ(r.error, 111);
  EXPECT_EQ(r.message, "STATEFULFUNCTION bucket 2 too large (>= 2)");
  // The instruction stops before it takes anything from the stack.
  EXPECT_EQ(zek_pstack_valueCount(), 4u);
  // The index in the image's byte order: bucket 1 of 2, not 256.
  for (bool big : {false, true}) {
    r = execute(call(IMPULSE, "PUSHINT32 5; PUSHINT32 9; PUSHDOUBLE 0.05", 0, 1), 2, 10000, big);
    EXPECT_EQ(r.error, 0) << r.message;
    EXPECT_NE(vmstate0.buckets[1], nullptr);
    EXPECT_EQ(vmstate0.buckets[0], nullptr);
  }
}

TEST(Generators, ParameterChecksAtTheStart) {
  struct Row {
    int code;
    std::string operands;
    const char *message;
  };
  auto d = [](double v) { return "PUSHDOUBLE " + num(v); };
  const std::string ints = "PUSHINT32 0; PUSHINT32 1; ";
  const Row rows[] = {
      {IMPULSE, ints + d(kNaN), "Parameter 'duration' is NaN in function ZEK.impulse()."},
      {IMPULSE, ints + d(-kInf), "Parameter 'duration' is infinite in function ZEK.impulse()."},
      {IMPULSE, ints + d(0), "Parameter 'duration'=0.000000 is not a positive number in function ZEK.impulse()."},
      {RAMP, ints + d(-1) + "; PUSHFALSE", "Parameter 'duration'=-1.000000 is not a positive number in function ZEK.ramp()."},
      // duration before start before target
      {RAMP, d(kNaN) + "; " + d(kInf) + "; " + d(kNaN) + "; PUSHFALSE", "Parameter 'duration' is NaN in function ZEK.ramp()."},
      {RAMP, d(kNaN) + "; " + d(kInf) + "; " + d(1) + "; PUSHFALSE", "Parameter 'start' is NaN in function ZEK.ramp()."},
      {RAMP, d(0) + "; " + d(kInf) + "; " + d(1) + "; PUSHFALSE", "Parameter 'target' is infinite in function ZEK.ramp()."},
      {RAMPGRADIENT, d(kNaN) + "; " + d(1) + "; " + d(kInf), "Parameter 'gradient' is infinite in function ZEK.rampgradient()."},
      {RAMPGRADIENT, d(kNaN) + "; " + d(1) + "; " + d(1), "Parameter 'start' is NaN in function ZEK.rampgradient()."},
      {RAMPGRADIENT, d(0) + "; " + d(-kInf) + "; " + d(1), "Parameter 'target' is infinite in function ZEK.rampgradient()."},
      // start, stepheight, stepwidth, duration
      {STEPS, d(kInf) + "; " + d(kNaN) + "; " + d(0) + "; " + d(0), "Parameter 'start' is infinite in function ZEK.steps()."},
      {STEPS, d(0) + "; " + d(kNaN) + "; " + d(0) + "; " + d(0), "Parameter 'stepheight' is NaN in function ZEK.steps()."},
      {STEPS, d(0) + "; " + d(1) + "; " + d(0) + "; " + d(0),
       "Parameter 'stepwidth'=0.000000 is not a positive number in function ZEK.steps()."},
      {STEPS, d(0) + "; " + d(1) + "; " + d(1) + "; " + d(-0.5),
       "Parameter 'duration'=-0.500000 is not a positive number in function ZEK.steps()."},
      // start (infinite only), amplitude, duration, period, phaseshift
      {SINWAVE, d(kInf) + "; " + d(kNaN) + "; " + d(0) + "; " + d(0) + "; " + d(0),
       "Parameter 'start' is infinite in function ZEK.sinwave()."},
      {SINWAVE, d(kNaN) + "; " + d(kNaN) + "; " + d(0) + "; " + d(0) + "; " + d(0),
       "Parameter 'amplitude' is NaN in function ZEK.sinwave()."},
      {SINWAVE, d(kNaN) + "; " + d(1) + "; " + d(-1) + "; " + d(0) + "; " + d(kNaN),
       "Parameter 'duration'=0.000000 is not a positive number in function ZEK.sinwave()."},
      {SINWAVE, d(0) + "; " + d(1) + "; " + d(-1) + "; " + d(1) + "; " + d(kNaN),
       "Parameter 'period'=-1.000000 is not a positive number in function ZEK.sinwave()."},
      {SINWAVE, d(0) + "; " + d(1) + "; " + d(1) + "; " + d(1) + "; " + d(kInf),
       "Parameter 'phaseshift' is infinite in function ZEK.sinwave()."},
      // dutycycle, duration, period
      {PULSEWAVE, ints + d(0) + "; " + d(1.5) + "; " + d(0), "Parameter 'dutycycle'=1.500000 is out of range 0..1 in function ZEK.pulsewave()."},
      {PULSEWAVE, ints + d(0) + "; " + d(-0.1) + "; " + d(0), "Parameter 'dutycycle'=-0.100000 is out of range 0..1 in function ZEK.pulsewave()."},
      {PULSEWAVE, ints + d(0) + "; " + d(kNaN) + "; " + d(0), "Parameter 'dutycycle' is NaN in function ZEK.pulsewave()."},
      {PULSEWAVE, ints + d(0) + "; " + d(1) + "; " + d(0), "Parameter 'duration'=0.000000 is not a positive number in function ZEK.pulsewave()."},
      {PULSEWAVE, ints + d(0) + "; " + d(1) + "; " + d(1), "Parameter 'period'=0.000000 is not a positive number in function ZEK.pulsewave()."},
      // start, target, period, pause, pause < period, duration
      {SAWTOOTH, d(kNaN) + "; " + d(kNaN) + "; " + d(0) + "; " + d(0) + "; " + d(-1), "Parameter 'start' is NaN in function ZEK.sawtooth()."},
      {SAWTOOTH, d(0) + "; " + d(kInf) + "; " + d(0) + "; " + d(0) + "; " + d(-1), "Parameter 'target' is infinite in function ZEK.sawtooth()."},
      {SAWTOOTH, d(0) + "; " + d(1) + "; " + d(0) + "; " + d(0) + "; " + d(-1),
       "Parameter 'period'=0.000000 is not a positive number in function ZEK.sawtooth()."},
      {SAWTOOTH, d(0) + "; " + d(1) + "; " + d(1) + "; " + d(0) + "; " + d(-1),
       "Parameter 'pause'=-1.000000 is negative in function ZEK.sawtooth()."},
      {SAWTOOTH, d(0) + "; " + d(1) + "; " + d(1) + "; " + d(0) + "; " + d(1),
       "Parameter 'pause'=1.000000 must be smaller than 'period'=1.000000 in ZEK.sawtooth()."},
      {SAWTOOTH, d(0) + "; " + d(1) + "; " + d(1) + "; " + d(kNaN) + "; " + d(0.5),
       "Parameter 'duration' is NaN in function ZEK.sawtooth()."},
  };
  for (const Row &row : rows) {
    Outcome r = execute(call(row.code, row.operands, 0));
    EXPECT_EQ(r.error, 18) << row.message;
    EXPECT_EQ(r.message, row.message);
  }
  // What the checks let through.
  for (const Row &row : std::vector<Row>{
           {SINWAVE, d(kNaN) + "; " + d(1) + "; " + d(1) + "; " + d(1) + "; " + d(0), "NaN start of a sinwave"},
           {SAWTOOTH, d(0) + "; " + d(1) + "; " + d(1) + "; " + d(1) + "; " + d(0), "pause 0"},
           {PULSEWAVE, ints + d(1) + "; " + d(0) + "; " + d(1), "dutycycle 0"},
           {RAMPGRADIENT, ints + d(-3), "negative gradient"},
       }) {
    Outcome r = execute(call(row.code, row.operands, 0));
    EXPECT_EQ(r.error, 0) << row.message << ": " << r.message;
  }
}

TEST(Generators, OperandErrors) {
  struct Row {
    std::string code;
    uint16_t error;
    const char *message;
  };
  const Row rows[] = {
      {"PUSHDOUBLE 0; STATEFULFUNCTION 7 0; ", 103, "Stateful function with unknown function code 7 has been called."},
      {"PUSHINT32 0; STATEFULFUNCTION 0 0; ", 18, "Type mismatch on parameter stack. Expected double, got int32."},
      {"STATEFULFUNCTION 0 0; ", 109, "An underflow of the parameter stack occurred."},
      {call(RAMP, "PUSHINT32 0; PUSHDOUBLE 1; PUSHDOUBLE 1; PUSHFALSE", 0), 18, "Types int32 and double do not match in ZEK.ramp()."},
      {call(PULSEWAVE, "PUSHUINT8 0; PUSHINT8 1; PUSHDOUBLE 1; PUSHDOUBLE 1; PUSHDOUBLE 1", 0), 18,
       "Types uint8 and int8 do not match in ZEK.pulsewave()."},
      {call(RAMP, "PUSHINT32 0; PUSHINT32 1; PUSHDOUBLE 1; PUSHUINT8 1", 0), 18,
       "Type mismatch on parameter stack. Expected bool, got uint8."},
      {call(RAMP, "PUSHINT32 0; PUSHINT32 1; PUSHFLOAT 1; PUSHTRUE", 0), 18,
       "Type mismatch on parameter stack. Expected double, got float."},
      {call(IMPULSE, "PUSHINT32 1; PUSHDOUBLE 1", 0), 109, "An underflow of the parameter stack occurred."},
      {call(SINWAVE, "PUSHDOUBLE 1; PUSHDOUBLE 1; PUSHDOUBLE 1; PUSHDOUBLE 1", 0), 109,
       "An underflow of the parameter stack occurred."},
      {call(IMPULSE, "PUSHINT32 1; PUSHSTRING \"ab\"; PUSHDOUBLE 1", 0), 104, "dropScalar: Expected scalar, got array (2)."},
      {call(IMPULSE, "PUSHSTRING \"abc\"; PUSHUINT8 1; PUSHDOUBLE 1", 0), 104, "peekScalar: Expected scalar, got array (3)."},
      {call(SINWAVE, "PUSHSTRING \"abc\"; PUSHDOUBLE 1; PUSHDOUBLE 1; PUSHDOUBLE 1; PUSHDOUBLE 0", 0), 104,
       "peekScalar: Expected scalar, got array (3)."},
      {call(STEPS, "PUSHINT32 1; PUSHINT32 1; PUSHDOUBLE 1; PUSHDOUBLE 1; PUSHDOUBLE 2; ARRAY 2", 0), 104,
       "popScalar: Expected scalar, got array (2)."},
  };
  for (const Row &row : rows) {
    Outcome r = execute(row.code);
    EXPECT_EQ(r.error, row.error) << row.code;
    EXPECT_EQ(r.message, row.message) << row.code;
  }
}

}  // namespace
