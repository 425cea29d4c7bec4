// The stateful signal generators behind STATEFULFUNCTION.
//
// A call at t = 0 starts a generator: it checks its parameters and stores them, with the values
// it works between, in its bucket. Every later call pops the parameters again without using
// them and computes the output from the stored record and the new t. The output replaces the
// first value, which stays on the parameter stack.
#include <cmath>
#include <limits>

#include "arithmetic.h"
#include "opcodes.h"
#include "operands.h"
#include "signal_generators.h"
#include "stacks.h"

namespace {

constexpr double kPi = 3.141592653589793;

constexpr uint32_t NI = ZEK_CHECK_NAN | ZEK_CHECK_INFINITE;
constexpr uint32_t NIP = NI | ZEK_CHECK_NOT_POSITIVE;
constexpr uint32_t NIG = NI | ZEK_CHECK_NEGATIVE;
constexpr uint32_t NIR = NI | ZEK_CHECK_RANGE;

#ifdef ZEK_HIL_BUILD
// The hardware-in-the-loop libraries take the parameters as they come.
constexpr uint32_t kEnabledChecks = 0;
#else
constexpr uint32_t kEnabledChecks = NIG | ZEK_CHECK_NOT_POSITIVE | ZEK_CHECK_RANGE;
#endif

// Every bucket record begins with the time of the latest call. A raw slot holds a value's bytes
// in its base type.
struct ImpulseBucket {
  double latest;
  uint8_t first[8], second[8];
  double duration;
};
struct RampFunctionBucket {
  double latest;
  uint8_t start[8], target[8];
  double duration;
  uint8_t smoothing;
};
struct RampGradientBucket {
  double latest;
  uint8_t start[8], target[8];
  double gradient;  // magnitude
};
struct StepsBucket {
  double latest;
  uint8_t start[8], stepheight[8];
  double stepwidth, duration;
};
struct SinwaveBucket {
  double latest;
  uint8_t offset[8];  // in the start's type
  double last;
  uint8_t finished;
  double amplitude, period, duration, phaseshift;
};
struct PulsewaveBucket {
  double latest;
  uint8_t first[8], second[8];
  double period, dutycycle, duration;
};
struct SawtoothBucket {
  double latest;
  uint8_t start[8], target[8];
  double period, duration, pause;
};

// a / b with the IEEE result also where b is 0 (a parameter that no check has refused): the
// division itself is left out there.
inline double quotient(double a, double b) {
  if (b != 0) return a / b;
  if (a == 0 || std::isnan(a)) return std::numeric_limits<double>::quiet_NaN();
  return std::signbit(a) != std::signbit(b) ? -HUGE_VAL : HUGE_VAL;
}

inline double cycleSeconds(void) { return (double)vmstate0.cycleTime * 1e-6; }

// One call of a generator: what the frame has taken from the parameter stack.
struct Call {
  uint16_t bucket;
  double t;
  const char *function;            // "ZEK.ramp()"
  uint32_t type = 0;               // the first value's type, the type of the result
  uint8_t *result = nullptr;       // the first value's bytes on the stack
  const uint8_t *second = nullptr; // the dropped second value's bytes, still readable
};

inline bool popDouble(double *out) { return zek_pstack_popScalar<double>(ZEK_DOUBLE, out); }

// The second value (when the generator has two) and the first, which stays on the stack.
bool takeValues(Call *c, bool two) {
  VmState &vm = vmstate0;
  uint32_t secondType = 0;
  if (two) {
    c->second = zek_pstack_dropScalar(&secondType);
    if (c->second == nullptr) return false;
  }
  uint32_t firstType = vm.types.top > vm.types.base ? vm.types.top[-1] : 0;
  const uint8_t *first = zek_pstack_takeScalar(firstType, false, "peekScalar");
  if (first == nullptr) return false;
  c->type = firstType;
  c->result = vm.values.top - zek_baseTypeSizeOf(firstType);
  if (two && secondType != firstType) {
    zek_raiseError(ZEK_ERR_TYPE, "Types %s and %s do not match in %s.", zek_getBaseTypeName(firstType),
                   zek_getBaseTypeName(secondType), c->function);
    return false;
  }
  return true;
}

// The bucket of a restart at t = 0, unfilled until the generator has stored its record.
template <typename B> B *startBucket(const Call &c, uint8_t kind) {
  return (B *)zek_bucket_claim(c.bucket, zek_bucketTag(kind, sizeof(B)), sizeof(B), zek_default_bucket_cleanup);
}

// The bucket of a call at t != 0: a filled record of this kind whose latest time is not after
// t. A NaN t cannot be ordered after the latest call and is refused with it.
template <typename B> B *runningBucket(const Call &c, uint8_t kind) {
  B *b = (B *)zek_bucket_filled(c.bucket, zek_bucketTag(kind, sizeof(B)));
  if (b == nullptr || !(c.t >= b->latest)) {
    zek_raiseError(ZEK_ERR_FATAL, "Function %s not initialized at t=0s.", c.function);
    return nullptr;
  }
  return b;
}

// The frame after the generator's own parameters: the values, then the bucket of this call.
// Null after an error.
template <typename B> B *enter(Call *c, uint8_t kind, bool twoValues) {
  if (!takeValues(c, twoValues)) return nullptr;
  return c->t == 0 ? startBucket<B>(*c, kind) : runningBucket<B>(*c, kind);
}

inline void storeRaw(uint8_t slot[8], const uint8_t *value, uint32_t type) {
  std::memset(slot, 0, 8);
  std::memcpy(slot, value, zek_baseTypeSizeOf(type));
}

inline void answerRaw(const Call &c, const uint8_t slot[8]) { std::memcpy(c.result, slot, zek_baseTypeSizeOf(c.type)); }
inline void answer(const Call &c, double x) { double2scalar(c.type, c.result, x); }
// An output w on the way from start to target. Its conversion can land beyond a target that
// double does not hold exactly (int64 beyond 2^53 rounds to the next double): the target then
// goes out as stored.
void answerToward(const Call &c, double w, const uint8_t start[8], const uint8_t target[8]) {
  uint8_t r[8] = {};
  double2scalar(c.type, r, w);
  bool beyond = zek_isGreater(target, start, c.type) ? zek_isGreater(r, target, c.type) : zek_isGreater(target, r, c.type);
  answerRaw(c, beyond ? target : r);
}

bool check(const Call &c, const char *name, uint32_t checks, double value) {
  return validateParameter(name, c.function, checks, value);
}
bool checkValue(const Call &c, const char *name, uint32_t checks, const uint8_t *value) {
  return validateParameter2(value, c.type, name, c.function, checks);
}
bool checkStartAndTarget(const Call &c) {
  return checkValue(c, "start", NI, c.result) && checkValue(c, "target", NI, c.second);
}
// The two values of the call into the record's two raw slots.
void storeValues(const Call &c, uint8_t first[8], uint8_t second[8]) {
  storeRaw(first, c.result, c.type);
  storeRaw(second, c.second, c.type);
}

}  // namespace

bool validateParameter(const char *name, const char *function, uint32_t checks, double value) {
  checks &= kEnabledChecks;
  if ((checks & ZEK_CHECK_NAN) && std::isnan(value)) {
    zek_raiseError(ZEK_ERR_TYPE, "Parameter '%s' is NaN in function %s.", name, function);
    return false;
  }
  if ((checks & ZEK_CHECK_INFINITE) && std::isinf(value)) {
    zek_raiseError(ZEK_ERR_TYPE, "Parameter '%s' is infinite in function %s.", name, function);
    return false;
  }
  if ((checks & ZEK_CHECK_NEGATIVE) && value < 0) {
    zek_raiseError(ZEK_ERR_TYPE, "Parameter '%s'=%f is negative in function %s.", name, value, function);
    return false;
  }
  if ((checks & ZEK_CHECK_NOT_POSITIVE) && value <= 0) {
    zek_raiseError(ZEK_ERR_TYPE, "Parameter '%s'=%f is not a positive number in function %s.", name, value, function);
    return false;
  }
  if ((checks & ZEK_CHECK_RANGE) && (value < 0 || value > 1)) {
    zek_raiseError(ZEK_ERR_TYPE, "Parameter '%s'=%f is out of range 0..1 in function %s.", name, value, function);
    return false;
  }
  return true;
}

bool validateParameter2(const void *value, uint32_t type, const char *name, const char *function, uint32_t checks) {
  return validateParameter(name, function, checks, scalar2double(type, value));
}

void zek_STATEFULFUNC_impulse(uint16_t bucket, double t) {
  double duration;
  if (!popDouble(&duration)) return;
  Call c{bucket, t, "ZEK.impulse()"};
  ImpulseBucket *b = enter<ImpulseBucket>(&c, ZEK_BUCKET_IMPULSE, true);
  if (b == nullptr) return;
  if (t == 0) {
    if (!check(c, "duration", NIP, duration)) return;
    storeValues(c, b->first, b->second);
    b->duration = duration;
    zek_bucket_markFilled(bucket);
  }
  b->latest = t;
  answerRaw(c, b->duration > t + cycleSeconds() * 1e-8 ? b->second : b->first);
}

void zek_STATEFULFUNC_ramp(uint16_t bucket, double t) {
  uint8_t smoothing;
  double duration;
  if (!zek_pstack_popScalar<uint8_t>(ZEK_BOOL, &smoothing) || !popDouble(&duration)) return;
  Call c{bucket, t, "ZEK.ramp()"};
  RampFunctionBucket *b = enter<RampFunctionBucket>(&c, ZEK_BUCKET_RAMP_FUNCTION, true);
  if (b == nullptr) return;
  if (t == 0) {
    if (!check(c, "duration", NIP, duration) || !checkStartAndTarget(c))
      return;
    storeValues(c, b->start, b->target);
    b->duration = duration;
    b->smoothing = smoothing;
    zek_bucket_markFilled(bucket);
  }
  b->latest = t;
  double cycle = cycleSeconds();
  if (t + cycle * 1e-8 >= b->duration) {
    answerRaw(c, b->target);
    return;
  }
  double start = scalar2double(c.type, b->start), target = scalar2double(c.type, b->target);
  double f = b->smoothing ? 0.5 + 0.5 * std::sin(kPi * (quotient(t, b->duration) - 0.5))
                          : quotient(t + cycle, b->duration + cycle);
  answerToward(c, start + (target - start) * f, b->start, b->target);
}

void zek_STATEFULFUNC_rampgradient(uint16_t bucket, double t) {
  double gradient;
  if (!popDouble(&gradient)) return;
  Call c{bucket, t, "ZEK.rampgradient()"};
  RampGradientBucket *b = enter<RampGradientBucket>(&c, ZEK_BUCKET_RAMPGRADIENT, true);
  if (b == nullptr) return;
  if (t == 0) {
    if (!check(c, "gradient", NI, gradient) || !checkStartAndTarget(c))
      return;
    storeValues(c, b->start, b->target);
    b->gradient = std::fabs(gradient);
    zek_bucket_markFilled(bucket);
  }
  b->latest = t;
  double start = scalar2double(c.type, b->start), target = scalar2double(c.type, b->target);
  double u = t + cycleSeconds();
  // The direction comes from the values themselves (int64 one apart beyond 2^53 are equal as
  // doubles). A value that is not strictly on the start's side of the target (NaN too) has
  // reached it; the target then goes out as stored.
  if (zek_isGreater(b->target, b->start, c.type)) {
    double w = start + b->gradient * u;
    if (w < target) answerToward(c, w, b->start, b->target);
    else answerRaw(c, b->target);
  } else if (zek_isGreater(b->start, b->target, c.type)) {
    double w = start - b->gradient * u;
    if (w > target) answerToward(c, w, b->start, b->target);
    else answerRaw(c, b->target);
  } else {
    answerRaw(c, b->start);
  }
}

void zek_STATEFULFUNC_steps(uint16_t bucket, double t) {
  double duration, stepwidth;
  if (!popDouble(&duration) || !popDouble(&stepwidth)) return;
  Call c{bucket, t, "ZEK.steps()"};
  StepsBucket *b = enter<StepsBucket>(&c, ZEK_BUCKET_STEPS, true);
  if (b == nullptr) return;
  if (t == 0) {
    if (!checkValue(c, "start", NI, c.result) || !checkValue(c, "stepheight", NI, c.second) ||
        !check(c, "stepwidth", NIP, stepwidth) || !check(c, "duration", NIP, duration))
      return;
    storeValues(c, b->start, b->stepheight);
    b->stepwidth = stepwidth;
    b->duration = duration;
    zek_bucket_markFilled(bucket);
  }
  b->latest = t;
  double reached = t < b->duration ? t : b->duration;
  uint32_t k = zek_countOf(quotient(reached, b->stepwidth) + 1e-8);
  double start = scalar2double(c.type, b->start), height = scalar2double(c.type, b->stepheight);
  answer(c, start + ((double)k + 1.0) * height);
}

void zek_STATEFULFUNC_sinwave(uint16_t bucket, double t) {
  double phaseshift, duration, period, amplitude;
  if (!popDouble(&phaseshift) || !popDouble(&duration) || !popDouble(&period) || !popDouble(&amplitude)) return;
  Call c{bucket, t, "ZEK.sinwave()"};
  SinwaveBucket *b = enter<SinwaveBucket>(&c, ZEK_BUCKET_SINWAVE, false);
  if (b == nullptr) return;
  if (t == 0) {
    if (!checkValue(c, "start", ZEK_CHECK_INFINITE, c.result) || !check(c, "amplitude", NI, amplitude) ||
        !check(c, "duration", NIP, duration) || !check(c, "period", NIP, period) ||
        !check(c, "phaseshift", NI, phaseshift))
      return;
    storeRaw(b->offset, c.result, c.type);
    b->last = scalar2double(c.type, c.result);  // what a start past its own duration freezes at
    b->finished = 0;
    b->amplitude = amplitude;
    b->period = period;
    b->duration = duration;
    b->phaseshift = phaseshift;
    zek_bucket_markFilled(bucket);
  }
  b->latest = t;
  if (!b->finished && t > b->duration) b->finished = 1;
  if (!b->finished) {
    double s = scalar2double(c.type, b->offset);
    if (std::isnan(s)) s = b->phaseshift == 0 ? 0.0 : b->amplitude * std::sin(b->phaseshift);
    double w = b->amplitude * std::sin(quotient(2.0 * kPi * t, b->period) + b->phaseshift);
    if (t == 0) {
      // The offset that makes the wave begin at the start; stored in the start's type.
      s = s - w;
      double2scalar(c.type, b->offset, s);
    }
    b->last = w + s;
  }
  answer(c, b->last);
}

void zek_STATEFULFUNC_pulsewave(uint16_t bucket, double t) {
  double duration, dutycycle, period;
  if (!popDouble(&duration) || !popDouble(&dutycycle) || !popDouble(&period)) return;
  Call c{bucket, t, "ZEK.pulsewave()"};
  PulsewaveBucket *b = enter<PulsewaveBucket>(&c, ZEK_BUCKET_PULSEWAVE, true);
  if (b == nullptr) return;
  if (t == 0) {
    if (!check(c, "dutycycle", NIR, dutycycle) || !check(c, "duration", NIP, duration) ||
        !check(c, "period", NIP, period))
      return;
    storeValues(c, b->first, b->second);
    b->period = period;
    b->dutycycle = dutycycle;
    b->duration = duration;
    zek_bucket_markFilled(bucket);
  }
  b->latest = t;
  if (t > b->duration) {
    answerRaw(c, b->first);
    return;
  }
  double p = quotient(t - std::floor(quotient(t, b->period) + 1e-8) * b->period, b->period);
  // Just before a period ends the tolerance counts the next period begun and the phase comes
  // out slightly negative; it is that period's start.
  if (!(p > 0)) p = 0;
  answerRaw(c, b->dutycycle * 0.99999999 > p ? b->second : b->first);
}

void zek_STATEFULFUNC_sawtooth(uint16_t bucket, double t) {
  double pause, duration, period;
  if (!popDouble(&pause) || !popDouble(&duration) || !popDouble(&period)) return;
  Call c{bucket, t, "ZEK.sawtooth()"};
  SawtoothBucket *b = enter<SawtoothBucket>(&c, ZEK_BUCKET_SAWTOOTH, true);
  if (b == nullptr) return;
  if (t == 0) {
    auto pauseBelowPeriod = [&]() {
      if (period > pause) return true;
      zek_raiseError(ZEK_ERR_TYPE, "Parameter 'pause'=%f must be smaller than 'period'=%f in ZEK.sawtooth().", pause,
                     period);
      return false;
    };
    if (!checkStartAndTarget(c) || !check(c, "period", NIP, period) || !check(c, "pause", NIG, pause))
      return;
#ifndef ZEK_HIL_BUILD
    if (!pauseBelowPeriod()) return;
#endif
    if (!check(c, "duration", NIP, duration)) return;
    storeValues(c, b->start, b->target);
    b->period = period;
    b->duration = duration;
    b->pause = pause;
#ifdef ZEK_HIL_BUILD
    if (!pauseBelowPeriod()) return;
#endif
    zek_bucket_markFilled(bucket);
  }
  b->latest = t;
  if (t > b->duration) {
    answerRaw(c, b->start);
    return;
  }
  double a = t - std::floor(quotient(t, b->period) + 1e-8) * b->period;
  if (!(a > 0)) a = 0;  // the next period's start, as for pulsewave
  if (a > b->period * 0.99999999 - b->pause) {
    answerRaw(c, b->start);
    return;
  }
  // The rise ends one cycle before the pause. A rise shorter than one cycle has no time in
  // between: it is at the target at once.
  double rise = b->period - cycleSeconds() - b->pause;
  if (!(rise > 0)) {
    answerRaw(c, b->target);
    return;
  }
  double start = scalar2double(c.type, b->start), target = scalar2double(c.type, b->target);
  double w = start + (target - start) * a / rise;
  bool beyond = target > start ? !(w <= target) : !(w >= target);
  if (beyond) answerRaw(c, b->target);
  else answerToward(c, w, b->start, b->target);
}

ZekStatefulFunction zek_stateful_functions[ZEK_STATEFUL_FUNCTION_COUNT] = {
    zek_STATEFULFUNC_impulse, zek_STATEFULFUNC_ramp,      zek_STATEFULFUNC_rampgradient, zek_STATEFULFUNC_steps,
    zek_STATEFULFUNC_sinwave, zek_STATEFULFUNC_pulsewave, zek_STATEFULFUNC_sawtooth,
};

void zek__STATEFULFUNCTION(void) {
  uint8_t code = op_u8();
  uint16_t bucket = op_u16();
  if (code >= ZEK_STATEFUL_FUNCTION_COUNT) {
    zek_raiseError(ZEK_ERR_FUNCTION, "Stateful function with unknown function code %d has been called.", (int)code);
    return;
  }
  if (bucket >= vmstate0.bucketCount) {
    zek_raiseError(ZEK_ERR_LIMIT, "STATEFULFUNCTION bucket %d too large (>= %d)", (int)bucket, (int)vmstate0.bucketCount);
    return;
  }
  double t;
  if (!popDouble(&t)) return;
  zek_stateful_functions[code](bucket, t);
}
