// Ramps: values of any shape moving toward one scalar target at a fixed rate per second.
//
// RAMP_INIT captures the start values, the target, the rate and the time in a bucket; RAMP_NOW
// pushes what the ramp has reached, always computed from the captured start and the elapsed
// time, never from an earlier result.
#include <cmath>
#include <type_traits>

#include "arithmetic.h"
#include "opcodes.h"
#include "operands.h"
#include "ramps.h"
#include "signal_generators.h"
#include "state_buckets.h"
#include "stacks.h"

namespace {

// The bucket owns the copies of the start values and of their dimensions.
struct RampBucket {
  double startTime;
  uint32_t startCycle;
  uint32_t baseType;
  uint8_t dimCount;  // 1 for a scalar
  uint8_t scalar;
  uint32_t *dims;    // {1} for a scalar
  uint32_t total;
  uint8_t elementSize;
  uint8_t *start;
  uint8_t target[8];
  double rate;       // magnitude of the gradient
};

constexpr uint32_t kRampTag = zek_bucketTag(ZEK_BUCKET_RAMP, sizeof(RampBucket));

void releaseCopies(RampBucket *b) {
  zek_free(b->start);
  b->start = nullptr;
  zek_free(b->dims);
  b->dims = nullptr;
}

bool bucketIndexFits(uint16_t index) {
  if (index < vmstate0.bucketCount) return true;
  zek_raiseError(ZEK_ERR_LIMIT, "RAMP bucket %d too large (>= %d)", (int)index, (int)vmstate0.bucketCount);
  return false;
}

// Integer elements round half up; the sum lies between start and target, inside the type.
template <typename T> inline T roundHalfUp(double x) { return (T)zek_truncToInt64(std::floor(x + 0.5)); }

// One element: e >= 0 is how far it has moved. Reaching the target copies the target's bytes,
// so a target that double cannot hold exactly (int64 beyond 2^53) is still met exactly.
template <typename T> inline void rampElement(uint8_t *dst, const uint8_t *src, const uint8_t *target, double e) {
  T s = zek_load_as<T>(src), g = zek_load_as<T>(target);
  double distance;
  if constexpr (std::is_same_v<T, float>) distance = s < g ? (double)(float)(g - s) : (double)(float)(s - g);
  else distance = s < g ? (double)g - (double)s : (double)s - (double)g;
  if (e >= distance) {
    std::memcpy(dst, target, sizeof(T));
    return;
  }
  double x = s < g ? (double)s + e : (double)s - e;
  T r;
  if constexpr (std::is_same_v<T, float>) r = zek_doubleToFloat(x);
  else if constexpr (std::is_floating_point_v<T>) r = (T)x;
  else r = roundHalfUp<T>(x);
  // The distance is rounded (in float for float, in double for int64 beyond 2^53) and may come
  // out above the true one: a step below it can still carry the element past the target, where
  // it stops.
  if (s < g ? r > g : r < g) r = g;
  zek_store_as<T>(dst, r);
}

template <typename T> void rampAll(uint8_t *dst, const RampBucket *b, double e) {
  for (uint32_t i = 0; i < b->total; ++i) rampElement<T>(dst + (size_t)i * sizeof(T), b->start + (size_t)i * sizeof(T), b->target, e);
}

void raiseRampType(uint32_t type) { zek_raiseError(ZEK_ERR_TYPE, "type code %d not allowed in a ramp", (int)type); }

}  // namespace

void zek__RAMP_bucket_cleanup(uint16_t, void *bucket) {
  if (bucket == nullptr) return;
  releaseCopies((RampBucket *)bucket);
  zek_free(bucket);
}

void zek__RAMP_one(uint32_t type, void *destination, const void *start, const void *target, double e) {
  uint8_t *d = (uint8_t *)destination;
  const uint8_t *s = (const uint8_t *)start, *g = (const uint8_t *)target;
  switch (type) {
    case ZEK_UINT8: case ZEK_BOOL: rampElement<uint8_t>(d, s, g, e); break;
    case ZEK_INT8: rampElement<int8_t>(d, s, g, e); break;
    case ZEK_UINT16: rampElement<uint16_t>(d, s, g, e); break;
    case ZEK_INT16: rampElement<int16_t>(d, s, g, e); break;
    case ZEK_UINT32: rampElement<uint32_t>(d, s, g, e); break;
    case ZEK_INT32: rampElement<int32_t>(d, s, g, e); break;
    case ZEK_INT64: rampElement<int64_t>(d, s, g, e); break;
    case ZEK_FLOAT: rampElement<float>(d, s, g, e); break;
    case ZEK_DOUBLE: rampElement<double>(d, s, g, e); break;
    default: raiseRampType(type); break;
  }
}

void zek__RAMP_INIT(void) {
  VmState &vm = vmstate0;
  uint16_t index = op_u16();
  if (!bucketIndexFits(index)) return;
  // Operands first: a failing pop leaves a reused bucket with its former, intact ramp.
  double gradient;
  if (!zek_pstack_popScalar<double>(ZEK_DOUBLE, &gradient)) return;
  uint32_t targetType;
  const uint8_t *target = zek_pstack_dropScalar(&targetType);
  if (target == nullptr) return;
  ZekValueView start{};
  if (!zek_pstack_popValue(&start)) return;

  RampBucket *b = (RampBucket *)zek_bucket_claim(index, kRampTag, sizeof(RampBucket), zek__RAMP_bucket_cleanup);
  if (b == nullptr) return;
  releaseCopies(b);
  if (start.type != targetType)  // raised, and the bucket filled all the same
    zek_raiseError(ZEK_ERR_TYPE, "RAMP data types do not match %s,%s", zek_getBaseTypeName(targetType),
                   zek_getBaseTypeName(start.type));
  uint8_t size = zek_baseTypeSizeOf(start.type);
  uint64_t bytes = (uint64_t)start.total * size;
  b->dims = (uint32_t *)zek_malloc((uint32_t)start.dimCount * 4u);
  b->start = bytes <= 0xFFFFFFFFu ? (uint8_t *)zek_malloc(bytes > 0 ? (uint32_t)bytes : 1u) : nullptr;
  if (b->dims == nullptr || b->start == nullptr) {
    if (!zek_errorPending()) zek_raiseError(ZEK_ERR_MEMORY, "Not enough heap memory for %llu bytes.", (unsigned long long)bytes);
    releaseCopies(b);
    return;
  }
  std::memcpy(b->dims, start.dims, (size_t)start.dimCount * 4u);
  if (bytes > 0) std::memcpy(b->start, start.bytes, (size_t)bytes);
  b->startTime = vm.time;
  b->startCycle = vm.cycleCount;
  b->baseType = start.type;
  b->dimCount = start.dimCount;
  b->scalar = start.scalar;
  b->total = start.total;
  b->elementSize = size;
  std::memset(b->target, 0, sizeof b->target);
  std::memcpy(b->target, target, zek_baseTypeSizeOf(targetType));
  b->rate = std::fabs(gradient);
  zek_bucket_markFilled(index);
}

void zek__RAMP_NOW(void) {
  VmState &vm = vmstate0;
  uint16_t index = op_u16();
  if (!bucketIndexFits(index)) return;
  const RampBucket *b = (const RampBucket *)zek_bucket_filled(index, kRampTag);
  if (b == nullptr) {
    zek_raiseError(ZEK_ERR_FATAL, "Bucket is missing. RAMP_INIT has not been called for bucket %d", (int)index);
    return;
  }
  uint64_t bytes = (uint64_t)b->total * b->elementSize;
  if ((uint64_t)(vm.sizes.end - vm.sizes.top) < (uint64_t)b->dimCount + 1 || vm.types.top >= vm.types.end ||
      (uint64_t)(vm.values.end - vm.values.top) < bytes) {
    zek_pstack_raiseOverflow();
    return;
  }
  uint8_t *dst = zek_pstack_pushValue(b->baseType, bytes, b->dims, b->scalar ? 0 : b->dimCount);
  if (dst == nullptr) return;

  double cycle = (double)vm.cycleTime / 1000000.0;
  double e;
  if (vm.realtimeActive)
    e = vm.time != b->startTime ? (vm.time - b->startTime) * b->rate : cycle * b->rate;
  else
    e = ((double)(uint32_t)(vm.cycleCount - b->startCycle) + 1.0) * (cycle * b->rate);
  // A clock that went back, or a NaN gradient, moves nothing.
  if (!(e >= 0)) e = 0;

  switch (b->baseType) {
    case ZEK_UINT8: case ZEK_BOOL: rampAll<uint8_t>(dst, b, e); break;
    case ZEK_INT8: rampAll<int8_t>(dst, b, e); break;
    case ZEK_UINT16: rampAll<uint16_t>(dst, b, e); break;
    case ZEK_INT16: rampAll<int16_t>(dst, b, e); break;
    case ZEK_UINT32: rampAll<uint32_t>(dst, b, e); break;
    case ZEK_INT32: rampAll<int32_t>(dst, b, e); break;
    case ZEK_INT64: rampAll<int64_t>(dst, b, e); break;
    case ZEK_FLOAT: rampAll<float>(dst, b, e); break;
    case ZEK_DOUBLE: rampAll<double>(dst, b, e); break;
    default: raiseRampType(b->baseType); break;
  }
}
