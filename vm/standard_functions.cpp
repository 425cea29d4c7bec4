// The standard functions of the byte code.
//
// The unary functions work in place on the top value, scalar or element by element, keeping its
// type and shape; pow, min and max are binary operations with the operator rules (same types,
// scalar/array combinations, equal shapes). Floats are widened to double, computed with the
// double-precision library function and rounded back.
#include "standard_functions.h"

#include <cmath>
#include <cstdlib>
#include <type_traits>

#include "opcodes.h"
#include "operands.h"
#include "stacks.h"
#include "vm_random.h"

uint8_t rint_digits;

namespace {

template <uint32_t TY> using E = ZekElementOf<TY>;
template <uint32_t TY> constexpr bool kFloating = TY == ZEK_FLOAT || TY == ZEK_DOUBLE;
template <uint32_t TY> constexpr bool kSigned = TY == ZEK_INT8 || TY == ZEK_INT16 || TY == ZEK_INT32 || TY == ZEK_INT64;
template <uint32_t TY> constexpr bool kInteger = TY >= ZEK_UINT8 && TY <= ZEK_INT64;

template <uint32_t TY> inline E<TY> load(const uint8_t *p) { return zek_load_as<E<TY>>(p); }
template <uint32_t TY> inline void store(uint8_t *p, E<TY> v) { zek_store_as<E<TY>>(p, v); }

// x rounded to the given number of decimals on the double product x * 10^d. A finite x whose
// product leaves the double range stays as it is instead of becoming an infinity.
double roundToDigits(double x, uint8_t digits) {
  double p = std::pow(10.0, (double)digits);
  double y = _rint_(x * p) / p;
  return std::isfinite(x) && !std::isfinite(y) ? x : y;
}

// A function of double applied to a float or double element.
template <class F> struct OpMath {
  static constexpr const char *name = F::name;
  template <uint32_t TY> static void element(uint8_t *v) {
    if constexpr (TY == ZEK_FLOAT) store<TY>(v, zek_doubleToFloat(F::apply((double)load<TY>(v))));
    else if constexpr (TY == ZEK_DOUBLE) store<TY>(v, F::apply(load<TY>(v)));
    else zek_raiseTypeNotAllowed(name, TY);
  }
};

// OpNAME: the element loop record of the function expr of x.
#define ZEK_MATH(NAME, text, expr)                 \
  struct Fn##NAME {                                \
    static constexpr const char *name = text;      \
    static double apply(double x) { return expr; } \
  };                                               \
  using Op##NAME = OpMath<Fn##NAME>;
ZEK_MATH(SIN, "sin()", std::sin(x))
ZEK_MATH(COS, "cos()", std::cos(x))
ZEK_MATH(TAN, "tan()", std::tan(x))
ZEK_MATH(ASIN, "asin()", std::asin(x))
ZEK_MATH(ACOS, "acos()", std::acos(x))
ZEK_MATH(ATAN, "atan()", std::atan(x))
ZEK_MATH(EXP, "exp()", std::exp(x))
ZEK_MATH(LOG, "log()", std::log(x))
ZEK_MATH(SQRT, "sqrt()", std::sqrt(x))
ZEK_MATH(FLOOR, "floor()", std::floor(x))
ZEK_MATH(CEIL, "ceil()", std::ceil(x))
ZEK_MATH(RINT, "rint()", _rint_(x))
ZEK_MATH(RINT_with_digits, "rint()", roundToDigits(x, rint_digits))
#undef ZEK_MATH

// Two's complement for the signed types (the most negative value stays); a float below zero is
// negated, so 0.0, -0.0 and NaN stay.
struct OpABS {
  static constexpr const char *name = "abs()";
  template <uint32_t TY> static void element(uint8_t *v) {
    if constexpr (kSigned<TY>) {
      using U = std::make_unsigned_t<E<TY>>;
      E<TY> x = load<TY>(v);
      if (x < 0) store<TY>(v, (E<TY>)(U)((U)0 - (U)x));
    } else if constexpr (kFloating<TY>) {
      E<TY> x = load<TY>(v);
      if (x < 0) store<TY>(v, -x);
    } else {
      zek_raiseTypeNotAllowed(name, TY);
    }
  }
};

struct BinaryFunction {
  static constexpr bool rightUint8 = false, boolResult = false;
};

struct OpPOW : BinaryFunction {
  static constexpr const char *name = "pow()";
  template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) {
    if constexpr (TY == ZEK_FLOAT)
      store<TY>(r, zek_doubleToFloat(std::pow((double)load<TY>(a), (double)load<TY>(b))));
    else if constexpr (TY == ZEK_DOUBLE) store<TY>(r, std::pow(load<TY>(a), load<TY>(b)));
    else zek_raiseTypeNotAllowed(name, TY);
  }
};

// a when a < b (a > b for max), else b: a NaN in either operand gives b.
template <bool Max> struct OpExtreme : BinaryFunction {
  static constexpr const char *name = Max ? "max()" : "min()";
  template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) {
    if constexpr (TY == ZEK_BOOL) {
      zek_raiseTypeNotAllowed(name, TY);
    } else {
      E<TY> x = load<TY>(a), y = load<TY>(b);
      store<TY>(r, (Max ? x > y : x < y) ? x : y);
    }
  }
};
using OpMAX = OpExtreme<true>;
using OpMIN = OpExtreme<false>;

// The sum of sumarray: in the element type itself, so integers wrap and a float sum is rounded
// to float at every step.
struct OpSUM : BinaryFunction {
  static constexpr const char *name = "PLUS";
  template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) {
    if constexpr (kInteger<TY>) {
      using W = std::conditional_t<sizeof(E<TY>) == 8, uint64_t, uint32_t>;
      store<TY>(r, (E<TY>)((W)load<TY>(a) + (W)load<TY>(b)));
    } else if constexpr (kFloating<TY>) {
      store<TY>(r, load<TY>(a) + load<TY>(b));
    } else {
      zek_raiseTypeNotAllowed(name, TY);
    }
  }
};

// Folds elements 1..count-1 into element 0, left to right.
template <class Op> struct FoldOf {
  template <uint32_t TY> static void run(uint8_t *values, uint32_t count) {
    constexpr size_t size = sizeof(E<TY>);
    for (uint32_t i = 1; i < count; ++i) Op::template element<TY>(values, values, values + i * size);
  }
  static void invalid(uint32_t type, uint8_t *, uint32_t count) {
    for (uint32_t i = 1; i < count; ++i) zek_raiseTypeNotAllowed(Op::name, type);
  }
};

// The top value of any shape folded into one scalar of its type. An array without elements
// sums to 0 and has no minimum or maximum.
template <class Op> void foldTop(const char *function, bool emptyIsZero) {
  ZekValueView v;
  if (!zek_pstack_popValue(&v)) return;
  uint32_t size = zek_baseTypeSizeOf(v.type);
  if (v.total == 0 && !emptyIsZero) {
    zek_raiseError(ZEK_ERR_LIMIT, "%s of an array without elements.", function);
    return;
  }
  zek_withType<FoldOf<Op>>(v.type, v.bytes, v.total);
  uint8_t *result = zek_pushResult(v.type, 1, TSIZE_1, 1, 1, size);
  if (result != nullptr && v.total == 0) std::memset(result, 0, size);
}

// A scalar of one type popped and pushed back as the other type over the same bytes.
void reinterpretTop(uint32_t from, uint32_t to) {
  if (zek_pstack_popScalarWithType(from) == nullptr) return;
  zek_pushResult(to, 1, TSIZE_1, 1, 1, zek_baseTypeSizeOf(to));
}

}  // namespace

double _rint_(double x) {
  double c = std::ceil(x), f = std::floor(x);
  return c - x > x - f ? f : c;
}

#define ZEK_DEFINE_UNARY_FUNC(name) \
  void _FUNC_##name(void *value, uint32_t type) { zek_unaryLoop<Op##name>((uint8_t *)value, 1, type); }
#define ZEK_DEFINE_BINARY_FUNC(name)                                                                   \
  void _FUNC_##name(void *result, const void *left, const void *right, uint32_t type) {              \
    zek_binaryLoop<Op##name>((uint8_t *)result, (const uint8_t *)left, (const uint8_t *)right, 1,     \
                             ZEK_EACH_OP_EACH, type);                                                 \
  }
ZEK_UNARY_FUNCTIONS(ZEK_DEFINE_UNARY_FUNC)
ZEK_BINARY_FUNCTIONS(ZEK_DEFINE_BINARY_FUNC)
#undef ZEK_DEFINE_UNARY_FUNC
#undef ZEK_DEFINE_BINARY_FUNC

void zek__MATH_FUNC(ZekUnaryLoop loop) { zek__MATH_UNARY(loop); }

#define ZEK_UNARY_HANDLER(name, NAME) \
  void zek_FUNC_##name(void) { zek__MATH_FUNC(zek_unaryLoop<Op##NAME>); }
ZEK_UNARY_HANDLER(sin, SIN)
ZEK_UNARY_HANDLER(cos, COS)
ZEK_UNARY_HANDLER(tan, TAN)
ZEK_UNARY_HANDLER(asin, ASIN)
ZEK_UNARY_HANDLER(acos, ACOS)
ZEK_UNARY_HANDLER(atan, ATAN)
ZEK_UNARY_HANDLER(exp, EXP)
ZEK_UNARY_HANDLER(log, LOG)
ZEK_UNARY_HANDLER(sqrt, SQRT)
ZEK_UNARY_HANDLER(floor, FLOOR)
ZEK_UNARY_HANDLER(ceil, CEIL)
ZEK_UNARY_HANDLER(rint, RINT)
ZEK_UNARY_HANDLER(abs, ABS)
#undef ZEK_UNARY_HANDLER

void zek_FUNC_pow(void) { zek__MATH_BINOP("pow()", zek_binaryLoop<OpPOW>, false, false); }
void zek_FUNC_max(void) { zek__MATH_BINOP("max()", zek_binaryLoop<OpMAX>, false, false); }
void zek_FUNC_min(void) { zek__MATH_BINOP("min()", zek_binaryLoop<OpMIN>, false, false); }

// r / RAND_MAX of the runtime's generator, seeded with the program's seed at every load: 0 and
// 1 are both possible.
void zek_FUNC_random(void) {
  zek_pstack_push<double>(ZEK_DOUBLE, (double)zek_random_next() / (double)RAND_MAX);
}

void zek_FUNC_globaltime(void) { zek__READREALTIME(); }

void zek_FUNC_minarray(void) { foldTop<OpMIN>("minarray()", false); }
void zek_FUNC_maxarray(void) { foldTop<OpMAX>("maxarray()", false); }
void zek_FUNC_sumarray(void) { foldTop<OpSUM>("sumarray()", true); }

void zek_FUNC_ieee754double(void) { reinterpretTop(ZEK_INT64, ZEK_DOUBLE); }
void zek_FUNC_ieee754float(void) { reinterpretTop(ZEK_INT32, ZEK_FLOAT); }
void zek_FUNC_ieee754hex32(void) { reinterpretTop(ZEK_FLOAT, ZEK_INT32); }
void zek_FUNC_ieee754hex64(void) { reinterpretTop(ZEK_DOUBLE, ZEK_INT64); }

void zek_FUNC_rint_with_digits(void) {
  uint8_t digits = 0;
  if (!zek_pstack_popScalar<uint8_t>(ZEK_UINT8, &digits)) return;
  rint_digits = digits;
  zek__MATH_FUNC(zek_unaryLoop<OpRINT_with_digits>);
}

#define ZEK_TABLE_ENTRY(code, name) zek_FUNC_##name,
const ZekStandardFunction zek_functions[] = {ZEK_STANDARD_FUNCTIONS(ZEK_TABLE_ENTRY)};
#undef ZEK_TABLE_ENTRY
const uint8_t zek_functionCount = (uint8_t)(sizeof zek_functions / sizeof zek_functions[0]);

void zek__FUNCTION(void) {
  uint8_t code = op_u8();
  if (code >= zek_functionCount) {
    zek_raiseError(ZEK_ERR_FUNCTION, "Std. Function with unknown function code %d has been called.", (int)code);
    return;
  }
  zek_functions[code]();
}
