#pragma once
// State buckets of the stateful signal generators and the ramps, and the conversions both use.
//
// The program image fixes the number of buckets; the loader allocates the pointer, clean-up and
// tag tables zeroed. Generators and ramps address a bucket by the index in their instruction,
// and nothing stops two instructions of different kinds from naming the same index. So each
// bucket carries a tag: its kind, the size of its record, and whether a start has filled it.
// An instruction only ever uses a bucket whose tag is its own.
#include <cstdint>

#include "arithmetic.h"
#include "vm_state.h"

enum BucketKind : uint8_t {
  ZEK_BUCKET_IMPULSE = 1,
  ZEK_BUCKET_RAMP_FUNCTION = 2,
  ZEK_BUCKET_RAMPGRADIENT = 3,
  ZEK_BUCKET_STEPS = 4,
  ZEK_BUCKET_SINWAVE = 5,
  ZEK_BUCKET_PULSEWAVE = 6,
  ZEK_BUCKET_SAWTOOTH = 7,
  ZEK_BUCKET_RAMP = 8,
};

// Tag: kind in bits 24..31, the filled bit 23, the record size in bits 0..22.
constexpr uint32_t ZEK_BUCKET_FILLED = 0x00800000u;
constexpr uint32_t zek_bucketTag(uint8_t kind, uint32_t size) { return (uint32_t)kind << 24 | size; }

// Bucket `index` (below the bucket count) made ready for a record of this tag: a bucket of the
// same kind and size is kept as it is, any other is cleaned up first and a zero-filled one of
// `size` bytes takes its place with `cleanup`. The tag is left unfilled. Null after raising 15.
void *zek_bucket_claim(uint16_t index, uint32_t tag, uint32_t size, ZekBucketCleanup cleanup);

// The bucket when it holds a filled record of this tag, else null.
inline void *zek_bucket_filled(uint16_t index, uint32_t tag) {
  const VmState &vm = vmstate0;
  if (index >= vm.bucketCount || vm.bucketTags[index] != (tag | ZEK_BUCKET_FILLED)) return nullptr;
  return vm.buckets[index];
}

inline void zek_bucket_markFilled(uint16_t index) { vmstate0.bucketTags[index] |= ZEK_BUCKET_FILLED; }

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
