#pragma once
// The stateful signal generators and the conversions they share with the ramps; their state
// lives in the state buckets (state_buckets.h).
#include <cstdint>

#include "arithmetic.h"
#include "state_buckets.h"
#include "vm_state.h"

// Truncation toward zero into a u32 count, defined for every double: NaN and negative values
// count 0, values from 2^32 on count 0xFFFFFFFF.
inline uint32_t zek_countOf(double x) {
  if (!(x > 0)) return 0;
  if (x >= 4294967295.0) return 0xFFFFFFFFu;
  return (uint32_t)x;
}

// The generators of STATEFULFUNCTION, indexed by its function code. Each takes its operands
// from the parameter stack (t already popped) and leaves its result over the first value.
typedef void (*ZekStatefulFunction)(uint16_t bucket, double t);
constexpr uint32_t ZEK_STATEFUL_FUNCTION_COUNT = 7;
extern ZekStatefulFunction zek_stateful_functions[ZEK_STATEFUL_FUNCTION_COUNT];
void zek_STATEFULFUNC_impulse(uint16_t bucket, double t);
void zek_STATEFULFUNC_ramp(uint16_t bucket, double t);
void zek_STATEFULFUNC_rampgradient(uint16_t bucket, double t);
void zek_STATEFULFUNC_steps(uint16_t bucket, double t);
void zek_STATEFULFUNC_sinwave(uint16_t bucket, double t);
void zek_STATEFULFUNC_pulsewave(uint16_t bucket, double t);
void zek_STATEFULFUNC_sawtooth(uint16_t bucket, double t);

// Parameter checks of a generator's start: `checks` is a set of these flags, applied in the
// order NaN, infinite, negative, not positive, out of range 0..1; the first that fails raises 18
// and the result is false. validateParameter2 takes a typed value.
enum ParameterCheck : uint32_t {
  ZEK_CHECK_INFINITE = 1,
  ZEK_CHECK_NAN = 2,
  ZEK_CHECK_NEGATIVE = 4,
  ZEK_CHECK_NOT_POSITIVE = 8,
  ZEK_CHECK_RANGE = 16,
};
bool validateParameter(const char *name, const char *function, uint32_t checks, double value);
bool validateParameter2(const void *value, uint32_t type, const char *name, const char *function, uint32_t checks);
