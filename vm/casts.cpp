// Conversion of values between base types: CAST with its range checks, and the unchecked
// conversions between a typed scalar and a double.
//
// For the range rules a source value is taken in the working representation of its class:
// the narrow integers (uint8, int8, uint16, int16, int32, bool) as int32, uint32 as itself, int64
// as itself, float and double as double. The out-of-range message names the class.
#include <cfloat>
#include <cmath>
#include <type_traits>

#include "arithmetic.h"
#include "opcodes.h"
#include "operands.h"

namespace {

template <uint32_t TY> using E = ZekElementOf<TY>;
template <uint32_t TY> constexpr bool kInteger = TY >= ZEK_UINT8 && TY <= ZEK_INT64;
template <uint32_t TY> constexpr bool kFloating = TY == ZEK_FLOAT || TY == ZEK_DOUBLE;

// Range of an integer target. Floating sources are accepted in [low, high) with both bounds
// exact powers of two, so the test is exact and false for NaN.
template <uint32_t TY> struct Range {
  static constexpr int bits = 8 * (int)sizeof(E<TY>);
  static constexpr bool isSigned = E<TY>(-1) < E<TY>(0);
  static constexpr int64_t max = (int64_t)(((uint64_t)1 << (bits - (isSigned ? 1 : 0))) - 1);
  static constexpr int64_t min = isSigned ? -max - 1 : 0;
  static constexpr double low = isSigned ? -(double)((uint64_t)1 << (bits - 1)) : 0.0;
  static constexpr double high = (double)((uint64_t)1 << (bits - (isSigned ? 1 : 0)));
};

template <uint32_t S, uint32_t T> bool castElement(uint8_t *destination, const uint8_t *source) {
  E<S> value = zek_load_as<E<S>>(source);
  if constexpr (kFloating<S>) {
    double v = (double)value;
    if constexpr (kInteger<T>) {
      if (!(v >= Range<T>::low && v < Range<T>::high)) {
        zek_raiseError(ZEK_ERR_SHAPE, "Cannot cast value %f from type %s to type %s (out of range).", v, "double",
                       zek_getBaseTypeName(T));
        return false;
      }
      zek_store_as<E<T>>(destination, (E<T>)v);  // truncation toward zero, in range by the test
    } else if constexpr (T == ZEK_FLOAT) {
      zek_store_as<float>(destination, zek_doubleToFloat(v));
    } else if constexpr (T == ZEK_DOUBLE) {
      zek_store_as<double>(destination, v);
    } else {
      *destination = v != 0.0 ? 1 : 0;  // NaN is true
    }
  } else {
    // int32 working value for the narrow class; uint32 and int64 as they are.
    using W = std::conditional_t<S == ZEK_UINT32, uint32_t, std::conditional_t<S == ZEK_INT64, int64_t, int32_t>>;
    W v = (W)value;
    if constexpr (kInteger<T>) {
      int64_t w = (int64_t)v;
      if (w < Range<T>::min || w > Range<T>::max) {
        const char *target = zek_getBaseTypeName(T);
        if constexpr (S == ZEK_UINT32)
          zek_raiseError(ZEK_ERR_SHAPE, "Cannot cast value %u from type %s to type %s (out of range).", (unsigned)v,
                         "uint32", target);
        else if constexpr (S == ZEK_INT64)
          zek_raiseError(ZEK_ERR_SHAPE, "Cannot cast value %lld from type %s to type %s (out of range).",
                         (long long)v, "int64", target);
        else
          zek_raiseError(ZEK_ERR_SHAPE, "Cannot cast value %d from type %s to type %s (out of range).", (int)v,
                         "int32", target);
        return false;
      }
      zek_store_as<E<T>>(destination, (E<T>)w);
    } else if constexpr (T == ZEK_FLOAT) {
      zek_store_as<float>(destination, (float)v);
    } else if constexpr (T == ZEK_DOUBLE) {
      zek_store_as<double>(destination, (double)v);
    } else {
      *destination = v != 0 ? 1 : 0;
    }
  }
  return true;
}

// Converts count elements; destination element i at i x target size, source element i at
// i x source size. When the two ranges start at the same byte, narrowing runs forward and
// widening backward, so that no source element is overwritten before it is read. Stops at the
// first element out of range.
template <uint32_t S> struct CastTo {
  template <uint32_t T> static void run(uint8_t *destination, const uint8_t *source, uint32_t count, bool *ok) {
    constexpr size_t ss = sizeof(E<S>), ts = sizeof(E<T>);
    if constexpr (ss >= ts) {
      for (uint32_t i = 0; i < count; ++i)
        if (!castElement<S, T>(destination + i * ts, source + i * ss)) return void(*ok = false);
    } else {
      for (uint32_t i = count; i-- > 0;)
        if (!castElement<S, T>(destination + i * ts, source + i * ss)) return void(*ok = false);
    }
  }
  static void invalid(uint32_t, uint8_t *, const uint8_t *, uint32_t, bool *) {}
};

struct CastFrom {
  template <uint32_t S>
  static void run(uint32_t target, uint8_t *destination, const uint8_t *source, uint32_t count, bool *ok) {
    zek_withType<CastTo<S>>(target, destination, source, count, ok);
  }
  static void invalid(uint32_t, uint32_t, uint8_t *, const uint8_t *, uint32_t, bool *) {}
};

bool castElements(uint8_t *destination, const uint8_t *source, uint32_t count, uint32_t target, uint32_t sourceType) {
  bool ok = true;
  zek_withType<CastFrom>(sourceType, target, destination, source, count, &ok);
  return ok;
}

// Conversions of double to the 32- and 64-bit intermediates of double2scalar: truncation toward
// zero, NaN gives 0, values beyond the range saturate.
int32_t toInt32(double x) {
  if (!(x == x)) return 0;
  if (x >= 2147483648.0) return INT32_MAX;
  if (x <= -2147483649.0) return INT32_MIN;
  return (int32_t)x;
}

}  // namespace

float zek_doubleToFloat(double x) {
  // Halfway between FLT_MAX and 2^128: from here on round-to-nearest gives an infinity.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (x > (double)FLT_MAX) return x >= kOverflow ? HUGE_VALF : FLT_MAX;
  if (x < -(double)FLT_MAX) return x <= -kOverflow ? -HUGE_VALF : -FLT_MAX;
  return (float)x;
}

bool zek__CAST_one(void *destination, const void *source, uint32_t targetType, uint32_t sourceType) {
  return castElements((uint8_t *)destination, (const uint8_t *)source, 1, targetType, sourceType);
}

double scalar2double(uint32_t type, const void *value) { return zek_scalarAsDouble(type, value); }

void double2scalar(uint32_t type, void *destination, double x) {
  // An integer just below a whole number by at most 1e-8 counts as that number.
  double y = std::floor(x + 1e-08);
  switch (type) {
    case ZEK_UINT8: zek_store_as<uint8_t>(destination, (uint8_t)toInt32(y)); return;
    case ZEK_INT8: zek_store_as<int8_t>(destination, (int8_t)toInt32(y)); return;
    case ZEK_UINT16: zek_store_as<uint16_t>(destination, (uint16_t)toInt32(y)); return;
    case ZEK_INT16: zek_store_as<int16_t>(destination, (int16_t)toInt32(y)); return;
    case ZEK_INT32: zek_store_as<int32_t>(destination, toInt32(y)); return;
    case ZEK_UINT32: zek_store_as<uint32_t>(destination, (uint32_t)zek_truncToInt64(y)); return;
    case ZEK_INT64: zek_store_as<int64_t>(destination, zek_truncToInt64(y)); return;
    case ZEK_FLOAT: zek_store_as<float>(destination, zek_doubleToFloat(x)); return;
    case ZEK_DOUBLE: zek_store_as<double>(destination, x); return;
    case ZEK_BOOL: zek_store_as<uint8_t>(destination, (uint8_t)toInt32(x)); return;  // no offset, no floor
  }
}

void zek__CAST(void) {
  VmState &vm = vmstate0;
  uint8_t target = op_u8();
  // An unknown target is refused before the stack is touched.
  uint32_t targetSize = zek_getBaseTypeSize(target);
  if (targetSize == 0) return;
  ZekValueView v;
  if (!zek_pstack_peekValue(0, &v)) {
    zek_pstack_raiseUnderflow();
    return;
  }
  REGISTER_N1 = ValueEntry{v.type, v.dimCount, v.dims, v.total, v.scalar, v.bytes};
  if (v.type == target) return;
  // The shape entries stay; only the type entry and the extent of the bytes change.
  uint64_t bytes = (uint64_t)v.total * targetSize;
  if ((uint64_t)(vm.values.end - v.bytes) < bytes) {
    zek_pstack_raiseOverflow();
    return;
  }
  vm.types.top[-1] = target;
  vm.values.top = v.bytes + bytes;
  castElements(v.bytes, v.bytes, v.total, target, v.type);
}
