// Time of the cycle, time indices, characteristic curves and maps.
//
// A curve is an axis channel (strictly rising elements) and a value table whose element i
// belongs to axis point i. A map has two axes X (m points) and W and a table whose element for
// row r (index on W) and column c (index on X) is r * m + c: the first axis varies fastest.
// Outside an axis the lookups clamp to the end values; they never extrapolate.
#include "time_curves.h"

#include <cmath>
#include <cstring>

#include "arithmetic.h"
#include "channel_access.h"
#include "opcodes.h"
#include "stacks.h"

namespace {
constexpr uint32_t kNoIndex = 0xFFFFFFFFu;
constexpr double kMicro = 1000000.0;
constexpr double kTwo62 = 4611686018427387904.0;
constexpr double kTwo63 = 9223372036854775808.0;

// The step of the simulation in seconds.
inline double stepSeconds(void) { return (double)vmstate0.cycleTime / kMicro; }

inline uint16_t indexOf(const ChannelDecl *channel) { return (uint16_t)(channel - vmstate0.data.channels); }

// Reads n channel operands, then the current values of their channels; false after raising.
template <int n> bool readOperands(const ChannelDecl *(&channels)[n], const uint8_t *(&values)[n]) {
  for (int i = 0; i < n; ++i)
    if ((channels[i] = zek_channelOperand()) == nullptr) return false;
  for (int i = 0; i < n; ++i)
    if ((values[i] = zek_getReadPtr(0, indexOf(channels[i]), 0)) == nullptr) return false;
  return true;
}

// a - b rounded once to double. The difference of two 64-bit values may not fit 64 bits, so it
// is taken as an unsigned magnitude.
inline double exactDifference(int64_t a, int64_t b) {
  return a >= b ? (double)((uint64_t)a - (uint64_t)b) : -(double)((uint64_t)b - (uint64_t)a);
}

// An integer element (bool as its byte) widened to 64 bits.
int64_t loadInteger(const uint8_t *p, uint32_t type) {
  switch (type) {
    case ZEK_UINT8: case ZEK_BOOL: return *p;
    case ZEK_INT8: return (int8_t)*p;
    case ZEK_UINT16: return zek_load_as<uint16_t>(p);
    case ZEK_INT16: return zek_load_as<int16_t>(p);
    case ZEK_UINT32: return zek_load_as<uint32_t>(p);
    case ZEK_INT32: return zek_load_as<int32_t>(p);
    case ZEK_INT64: return zek_load_as<int64_t>(p);
  }
  return 0;
}

// a - b of two floats in single precision, as the lookups compute it, unless that overflows
// while both are finite (an axis or table spanning most of the float range); then in double.
inline double floatDifference(float a, float b) {
  float d = a - b;
  if (std::isinf(d) && std::isfinite(a) && std::isfinite(b)) return (double)a - (double)b;
  return (double)d;
}

// (x - p0) / (p1 - p0) for p0 < x <= p1. When p1 - p0 overflows, the halves of the three values
// give the same fraction without the overflow.
inline double doubleFraction(double x, double p0, double p1) {
  double span = p1 - p0;
  if (std::isinf(span) && std::isfinite(p0) && std::isfinite(p1)) return (x * 0.5 - p0 * 0.5) / (p1 * 0.5 - p0 * 0.5);
  return (x - p0) / span;
}

// (q1 - q0) * f + q0. When q1 - q0 overflows, the result is computed on the halves and doubled:
// it lies between q0 and q1, so neither step overflows.
inline double doubleLerp(double q0, double q1, double f) {
  double span = q1 - q0;
  if (std::isinf(span) && std::isfinite(q0) && std::isfinite(q1)) return ((q1 * 0.5 - q0 * 0.5) * f + q0 * 0.5) * 2.0;
  return span * f + q0;
}

inline bool isIntegerType(uint32_t type) { return type == ZEK_BOOL || (type >= ZEK_UINT8 && type <= ZEK_INT64); }

// y truncated toward zero, its low bytes stored in the integer type. NaN stores 0 and values
// beyond the 64-bit range store the nearest end, so no conversion is undefined.
void storeTruncated(uint8_t *out, uint32_t type, double y) {
  int64_t v = 0;
  if (y >= kTwo63) v = INT64_MAX;
  else if (y < -kTwo63) v = INT64_MIN;
  else if (y == y) v = (int64_t)y;
  switch (zek_baseTypeSizeOf(type)) {
    case 1: *out = (uint8_t)v; break;
    case 2: zek_store_as<uint16_t>(out, (uint16_t)v); break;
    case 4: zek_store_as<uint32_t>(out, (uint32_t)v); break;
    case 8: zek_store_as<int64_t>(out, v); break;
  }
}

template <typename T> uint32_t searchAxis(const uint8_t *points, uint32_t count, const void *x, const char *name) {
  T in = zek_load_as<T>(x);
  T previous{};
  for (uint32_t i = 0; i < count; ++i) {
    T point = zek_load_as<T>(points + (size_t)i * sizeof(T));
    if (i > 0 && !(point > previous)) {
      zek_raiseError(ZEK_ERR_MONOTONIC, "Index %d of signal %s is not greater than its predecessor (not strictly monotonic).",
                     (int)i, name);
      return kNoIndex;
    }
    if (point >= in) return i;
    previous = point;
  }
  return kNoIndex;
}

// Two points of an axis around an input and where the input lies between them (0 at lo).
struct AxisSpan {
  uint32_t lo, hi;
  double fraction;
};

// Places the input x on the axis: clamped to the first or last point outside it, one point on
// an exact hit (or after an axis error), else the two points around it.
AxisSpan spanOf(const ChannelDecl *axis, const uint8_t *points, const uint8_t *x) {
  uint32_t i = zek_getIndexGreaterOrEqual(indexOf(axis), x);
  uint32_t size = axis->elementSize;
  if (i == 0) return {0, 0, 0.0};
  if (i == kNoIndex) return {axis->elementCount - 1, axis->elementCount - 1, 0.0};
  if (std::memcmp(points + (size_t)i * size, x, size) == 0) return {i, i, 0.0};
  return {i - 1, i, zek_getDiffernceInPct(points + (size_t)(i - 1) * size, x, axis->baseType)};
}

// The input of a lookup, popped as a scalar of the axis's type and kept aside.
bool popAxisInput(const ChannelDecl *axis, uint8_t (&slot)[8]) {
  const uint8_t *in = zek_pstack_popScalarWithType(axis->baseType);
  if (in == nullptr) return false;
  std::memcpy(slot, in, axis->elementSize);
  return true;
}

// The table must hold an element for every point of the axis.
bool curveTableCovers(const ChannelDecl *table, const ChannelDecl *axis) {
  if (table->elementCount >= axis->elementCount) return true;
  zek_raiseError(ZEK_ERR_LIMIT, "Table %s has %u elements, fewer than the %u points of axis %s.", table->name,
                 (unsigned)table->elementCount, (unsigned)axis->elementCount, axis->name);
  return false;
}

// The table must hold an element for every pair of points of the two axes.
bool mapTableCovers(const ChannelDecl *table, const ChannelDecl *first, const ChannelDecl *second) {
  if (table->elementCount >= (uint64_t)first->elementCount * second->elementCount) return true;
  zek_raiseError(ZEK_ERR_LIMIT, "Table %s has %u elements, fewer than the %u x %u points of axes %s and %s.",
                 table->name, (unsigned)table->elementCount, (unsigned)first->elementCount,
                 (unsigned)second->elementCount, first->name, second->name);
  return false;
}

// Bilinear interpolation over the four table values z[r0][c0], z[r1][c0], z[r0][c1], z[r1][c1]:
// first along the second axis (fraction g), then along the first (fraction u). The narrow
// integer types round the two intermediate values to single precision; recorded results
// depend on that rounding.
void interpolateMap(const uint8_t *z00, const uint8_t *z10, const uint8_t *z01, const uint8_t *z11, uint32_t type,
                    double g, double u, uint8_t *out) {
  switch (type) {
    case ZEK_FLOAT: {
      float v00 = zek_load_as<float>(z00), v10 = zek_load_as<float>(z10);
      float v01 = zek_load_as<float>(z01), v11 = zek_load_as<float>(z11);
      double a = floatDifference(v10, v00) * g + (double)v00;
      double b = floatDifference(v11, v01) * g + (double)v01;
      zek_store_as<float>(out, zek_doubleToFloat((b - a) * u + a));
      return;
    }
    case ZEK_DOUBLE: {
      double v00 = zek_load_as<double>(z00), v10 = zek_load_as<double>(z10);
      double v01 = zek_load_as<double>(z01), v11 = zek_load_as<double>(z11);
      zek_store_as<double>(out, doubleLerp(doubleLerp(v00, v10, g), doubleLerp(v01, v11, g), u));
      return;
    }
    case ZEK_INT64: {
      int64_t v00 = loadInteger(z00, type), v10 = loadInteger(z10, type);
      int64_t v01 = loadInteger(z01, type), v11 = loadInteger(z11, type);
      double a = exactDifference(v10, v00) * g + (double)v00;
      double b = exactDifference(v11, v01) * g + (double)v01;
      storeTruncated(out, type, (b - a) * u + a);
      return;
    }
  }
  int64_t v00 = loadInteger(z00, type), v10 = loadInteger(z10, type);
  int64_t v01 = loadInteger(z01, type), v11 = loadInteger(z11, type);
  float a = zek_doubleToFloat(exactDifference(v10, v00) * g + (double)v00);
  float b = zek_doubleToFloat(exactDifference(v11, v01) * g + (double)v01);
  storeTruncated(out, type, (double)(b - a) * u + (double)a);
}
}  // namespace

uint32_t zek_getIndexGreaterOrEqual(uint16_t axis, const void *x) {
  const uint8_t *points = zek_getReadPtr(0, axis, 0);
  if (points == nullptr) return kNoIndex;
  const ChannelDecl *c = &vmstate0.data.channels[axis];
  switch (c->baseType) {
    case ZEK_UINT8: case ZEK_BOOL: return searchAxis<uint8_t>(points, c->elementCount, x, c->name);
    case ZEK_INT8: return searchAxis<int8_t>(points, c->elementCount, x, c->name);
    case ZEK_UINT16: return searchAxis<uint16_t>(points, c->elementCount, x, c->name);
    case ZEK_INT16: return searchAxis<int16_t>(points, c->elementCount, x, c->name);
    case ZEK_UINT32: return searchAxis<uint32_t>(points, c->elementCount, x, c->name);
    case ZEK_INT32: return searchAxis<int32_t>(points, c->elementCount, x, c->name);
    case ZEK_INT64: return searchAxis<int64_t>(points, c->elementCount, x, c->name);
    case ZEK_FLOAT: return searchAxis<float>(points, c->elementCount, x, c->name);
    case ZEK_DOUBLE: return searchAxis<double>(points, c->elementCount, x, c->name);
  }
  return kNoIndex;
}

double zek_getDiffernceInPct(const void *p, const void *x, uint32_t type) {
  const uint8_t *points = (const uint8_t *)p;
  switch (type) {
    case ZEK_UINT32: {
      // On a rising axis with p[0] < x <= p[1] neither difference is negative.
      uint32_t p0 = zek_load_as<uint32_t>(points), p1 = zek_load_as<uint32_t>(points + 4);
      uint32_t v = zek_load_as<uint32_t>(x);
      return (double)(uint32_t)(v - p0) / (double)(uint32_t)(p1 - p0);
    }
    case ZEK_FLOAT: {
      float p0 = zek_load_as<float>(points), p1 = zek_load_as<float>(points + 4);
      float v = zek_load_as<float>(x);
      return floatDifference(v, p0) / floatDifference(p1, p0);
    }
    case ZEK_DOUBLE: {
      double p0 = zek_load_as<double>(points), p1 = zek_load_as<double>(points + 8);
      return doubleFraction(zek_load_as<double>(x), p0, p1);
    }
  }
  if (!isIntegerType(type)) {
    zek_raiseError(ZEK_ERR_TYPE, "Type %d not allowed in zek_getDiffernceInPct().", (int)type);
    return 0.0;
  }
  // Exact differences: an int32 axis may span more than the int32 range.
  uint32_t size = zek_baseTypeSizeOf(type);
  int64_t p0 = loadInteger(points, type), p1 = loadInteger(points + size, type);
  int64_t v = loadInteger((const uint8_t *)x, type);
  return exactDifference(v, p0) / exactDifference(p1, p0);
}

void zek_linearInterpolation2D(const void *p, const void *q, void *io, uint32_t axisType, uint32_t tableType) {
  double f = zek_getDiffernceInPct(p, io, axisType);
  const uint8_t *values = (const uint8_t *)q;
  uint8_t *out = (uint8_t *)io;
  switch (tableType) {
    case ZEK_FLOAT: {
      float q0 = zek_load_as<float>(values), q1 = zek_load_as<float>(values + 4);
      zek_store_as<float>(out, zek_doubleToFloat(floatDifference(q1, q0) * f + (double)q0));
      return;
    }
    case ZEK_DOUBLE: {
      double q0 = zek_load_as<double>(values), q1 = zek_load_as<double>(values + 8);
      zek_store_as<double>(out, doubleLerp(q0, q1, f));
      return;
    }
  }
  if (!isIntegerType(tableType)) {
    zek_raiseError(ZEK_ERR_TYPE, "Type %d not allowed in zek_linearInterpolation2D.", (int)tableType);
    return;
  }
  uint32_t size = zek_baseTypeSizeOf(tableType);
  int64_t q0 = loadInteger(values, tableType), q1 = loadInteger(values + size, tableType);
  storeTruncated(out, tableType, exactDifference(q1, q0) * f + (double)q0);
}

void zek__READT(void) {
  const VmState &vm = vmstate0;
  zek_pstack_push<double>(ZEK_DOUBLE, stepSeconds() * (double)vm.cycleCount);
}

// A count beyond the cycle count wraps round to a large positive number of cycles.
void zek__READT_RELATIVE(void) {
  uint32_t back = 0;
  if (!zek_pstack_popScalar<uint32_t>(ZEK_UINT32, &back)) return;
  zek_pstack_push<double>(ZEK_DOUBLE, (double)(uint32_t)(vmstate0.cycleCount - back) * stepSeconds());
}

void zek__READCYCLECOUNT(void) { zek_pstack_push<uint32_t>(ZEK_UINT32, vmstate0.cycleCount); }

void zek__READDENSITY(void) { zek_pstack_push<double>(ZEK_DOUBLE, stepSeconds()); }

void zek__READREALTIME(void) { zek_pstack_push<double>(ZEK_DOUBLE, vmstate0.time); }

// The number of cycles back, seen from h cycles before the current one, of the cycle in which
// the time t falls; a margin of 0.0001 cycles absorbs the rounding of t. The cycle count, h and
// the cycle of t are combined in 64 bits, so long runs (beyond 2^31 cycles) do not wrap.
void zek__TOTIMEINDEX(void) {
  const VmState &vm = vmstate0;
  double t = 0.0;
  uint32_t h = 0;
  if (!zek_pstack_popScalar<double>(ZEK_DOUBLE, &t)) return;
  if (!zek_pstack_popScalar<uint32_t>(ZEK_UINT32, &h)) return;
  double dt = stepSeconds();
  int64_t seen = (int64_t)vm.cycleCount - (int64_t)h;
  double cycle = dt > 0.0 ? std::floor(t / dt + 0.0001) : NAN;
  // Beyond 2^62 cycles either way t lies far outside every history; NaN fails both tests.
  int64_t back = cycle < kTwo62 && cycle > -kTwo62 ? seen - (int64_t)cycle : 0;
  if (cycle >= kTwo62 || back < 0) {
    zek_raiseError(ZEK_ERR_FUTURE, "Trying to access value in the future (t+%gs).", t - (double)seen * dt);
    return;
  }
  if (!(cycle > -kTwo62) || back > (int64_t)UINT32_MAX) {
    zek_raiseError(ZEK_ERR_TYPE, "Time %gs cannot be turned into a number of cycles of %u us.", t,
                   (unsigned)vm.cycleTime);
    return;
  }
  zek_pstack_push<uint32_t>(ZEK_UINT32, (uint32_t)back);
}

// Every axis point has its element in the table (every pair of points of a map's two axes), so
// no lookup reads beyond the table.
void zek__READCURVE(void) {
  const ChannelDecl *channels[2];
  const uint8_t *current[2];
  if (!readOperands(channels, current) || !curveTableCovers(channels[1], channels[0])) return;
  const ChannelDecl *axis = channels[0], *table = channels[1];
  const uint8_t *points = current[0], *values = current[1];
  // Holds the input and then the result; large enough for either type.
  uint8_t slot[8];
  if (!popAxisInput(axis, slot)) return;
  uint32_t i = zek_getIndexGreaterOrEqual(indexOf(axis), slot);
  if (zek_errorPending()) return;
  uint32_t size = table->elementSize;
  if (i == 0) {
    std::memcpy(slot, values, size);
  } else if (i == kNoIndex) {
    std::memcpy(slot, values + (size_t)(axis->elementCount - 1) * size, size);
  } else if (std::memcmp(points + (size_t)i * axis->elementSize, slot, axis->elementSize) == 0) {
    std::memcpy(slot, values + (size_t)i * size, size);
  } else {
    zek_linearInterpolation2D(points + (size_t)(i - 1) * axis->elementSize, values + (size_t)(i - 1) * size, slot,
                              axis->baseType, table->baseType);
  }
  zek_pstack_pushScalar(table->baseType, slot);
}

// An error of the axis check does not stop the lookup: it goes on at the clamped end point and
// pushes its result, and the standing error ends the cycle.
void zek__READMAP(void) {
  const ChannelDecl *channels[3];
  const uint8_t *current[3];
  if (!readOperands(channels, current) || !mapTableCovers(channels[2], channels[0], channels[1])) return;
  const ChannelDecl *first = channels[0], *second = channels[1], *table = channels[2];
  const uint8_t *columns = current[0], *rows = current[1], *values = current[2];
  uint8_t slot[8];
  if (!popAxisInput(second, slot)) return;
  AxisSpan r = spanOf(second, rows, slot);
  if (!popAxisInput(first, slot)) return;
  AxisSpan c = spanOf(first, columns, slot);
  uint64_t m = first->elementCount;
  uint32_t size = table->elementSize;
  auto at = [&](uint32_t row, uint32_t column) { return values + ((uint64_t)row * m + column) * size; };
  interpolateMap(at(r.lo, c.lo), at(r.hi, c.lo), at(r.lo, c.hi), at(r.hi, c.hi), table->baseType, r.fraction,
                 c.fraction, slot);
  zek_pstack_pushScalar(table->baseType, slot);
}
