#pragma once
// The state buckets of the stateful instructions (signal generators, ramps, recorded signals).
//
// The program image fixes the number of buckets; the loader allocates the pointer, clean-up and
// tag tables zeroed. Instructions address a bucket by the index in their instruction, and
// nothing stops two instructions of different kinds from naming the same index. So each
// bucket carries a tag: its kind, the size of its record, and whether a start has filled it.
// An instruction only ever uses a bucket whose tag is its own.
#include <cstdint>

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

