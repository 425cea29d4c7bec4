#pragma once
// The standard functions of the byte code: FUNCTION's table and the typed kernels behind it.
//
// The table is indexed by the function code. The hardware-in-the-loop deliverables are built
// with ZEK_HIL_FUNCTIONS and carry codes 0..23 only (no ieee754hex32, ieee754hex64).
#include <cstdint>

#include "arithmetic.h"

// X(code, name) for every standard function, in code order.
#define ZEK_STANDARD_FUNCTIONS_COMMON(X)                                                              \
  X(0, sin) X(1, cos) X(2, tan) X(3, asin) X(4, acos) X(5, atan) X(6, pow) X(7, exp) X(8, log)       \
  X(9, sqrt) X(10, floor) X(11, ceil) X(12, rint) X(13, max) X(14, min) X(15, abs) X(16, random)      \
  X(17, globaltime) X(18, minarray) X(19, maxarray) X(20, sumarray) X(21, ieee754double)             \
  X(22, ieee754float) X(23, rint_with_digits)
#define ZEK_STANDARD_FUNCTIONS_HEX(X) X(24, ieee754hex32) X(25, ieee754hex64)
#ifdef ZEK_HIL_FUNCTIONS
#define ZEK_STANDARD_FUNCTIONS(X) ZEK_STANDARD_FUNCTIONS_COMMON(X)
#else
#define ZEK_STANDARD_FUNCTIONS(X) ZEK_STANDARD_FUNCTIONS_COMMON(X) ZEK_STANDARD_FUNCTIONS_HEX(X)
#endif

#define ZEK_DECLARE_FUNC(code, name) void zek_FUNC_##name(void);
ZEK_STANDARD_FUNCTIONS_COMMON(ZEK_DECLARE_FUNC)
ZEK_STANDARD_FUNCTIONS_HEX(ZEK_DECLARE_FUNC)
#undef ZEK_DECLARE_FUNC

typedef void (*ZekStandardFunction)(void);
extern const ZekStandardFunction zek_functions[];
extern const uint8_t zek_functionCount;

// The digit count that rint_with_digits hands to its kernel.
extern uint8_t rint_digits;

// Applies a unary element loop in place to the top value, scalar or array.
void zek__MATH_FUNC(ZekUnaryLoop loop);

// Ties go towards plus infinity: 2.5 -> 3, -2.5 -> -2, -0.5 -> -0.0. NaN and infinities stay.
double _rint_(double x);

// Kernels: one element of the given base type, in place (unary) or as in arithmetic.h (binary).
#define ZEK_UNARY_FUNCTIONS(X) \
  X(SIN) X(COS) X(TAN) X(ASIN) X(ACOS) X(ATAN) X(EXP) X(LOG) X(SQRT) X(FLOOR) X(CEIL) X(RINT) X(ABS) \
  X(RINT_with_digits)
#define ZEK_BINARY_FUNCTIONS(X) X(POW) X(MIN) X(MAX)
#define ZEK_DECLARE_UNARY_FUNC(name) void _FUNC_##name(void *value, uint32_t type);
#define ZEK_DECLARE_BINARY_FUNC(name) void _FUNC_##name(void *result, const void *left, const void *right, uint32_t type);
ZEK_UNARY_FUNCTIONS(ZEK_DECLARE_UNARY_FUNC)
ZEK_BINARY_FUNCTIONS(ZEK_DECLARE_BINARY_FUNC)
#undef ZEK_DECLARE_UNARY_FUNC
#undef ZEK_DECLARE_BINARY_FUNC
