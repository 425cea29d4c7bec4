// TEMPORARY stand-in for scalar2double / double2scalar of the arithmetic family; removed when
// vm/arithmetic.cpp lands on main.
#include "pending_conversions.h"

#include <cmath>

#include "signal_generators.h"
#include "zek_common.h"

double scalar2double(uint32_t type, const void *p) {
  switch (type) {
    case ZEK_UINT8: case ZEK_BOOL: return zek_load_as<uint8_t>(p);
    case ZEK_INT8: return zek_load_as<int8_t>(p);
    case ZEK_UINT16: return zek_load_as<uint16_t>(p);
    case ZEK_INT16: return zek_load_as<int16_t>(p);
    case ZEK_UINT32: return zek_load_as<uint32_t>(p);
    case ZEK_INT32: return zek_load_as<int32_t>(p);
    case ZEK_INT64: return (double)zek_load_as<int64_t>(p);
    case ZEK_FLOAT: return zek_load_as<float>(p);
    case ZEK_DOUBLE: return zek_load_as<double>(p);
    default: return 0.0;
  }
}

void double2scalar(uint32_t type, void *p, double x) {
  double y = std::floor(x + 1e-08);
  int64_t wide = zek_truncToInt64(y);
  int32_t narrow = (int32_t)zek_truncToInt64(y < -2147483648.0 ? -2147483648.0 : y > 2147483647.0 ? 2147483647.0 : y);
  switch (type) {
    case ZEK_UINT8: zek_store_as(p, (uint8_t)narrow); break;
    case ZEK_INT8: zek_store_as(p, (int8_t)narrow); break;
    case ZEK_UINT16: zek_store_as(p, (uint16_t)narrow); break;
    case ZEK_INT16: zek_store_as(p, (int16_t)narrow); break;
    case ZEK_INT32: zek_store_as(p, narrow); break;
    case ZEK_UINT32: zek_store_as(p, (uint32_t)wide); break;
    case ZEK_INT64: zek_store_as(p, wide); break;
    case ZEK_FLOAT: zek_store_as(p, (float)x); break;
    case ZEK_DOUBLE: zek_store_as(p, x); break;
    case ZEK_BOOL: {
      double t = x != x ? 0.0 : x < -2147483648.0 ? -2147483648.0 : x > 2147483647.0 ? 2147483647.0 : x;
      zek_store_as(p, (uint8_t)(int32_t)t);
      break;
    }
    default: break;
  }
}
