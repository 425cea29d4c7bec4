// Typed operators over scalars and arrays.
//
// Every operator is a record with one element function templated over the base type; the loops
// of arithmetic.h pick the instantiation once per operation. Integer results are computed in the
// unsigned type of the operand's width (at least 32 bits) and truncated on store, which is the
// two's-complement wrap for every width without signed overflow.
#include "arithmetic.h"

#include <cmath>
#include <type_traits>

#include "opcodes.h"

ZekScalarRegister REGISTER_S1, REGISTER_S2;
ValueEntry REGISTER_N1, REGISTER_N2;

namespace {

template <uint32_t TY> using E = ZekElementOf<TY>;
template <uint32_t TY> constexpr bool kInteger = TY >= ZEK_UINT8 && TY <= ZEK_INT64;
template <uint32_t TY> constexpr bool kFloating = TY == ZEK_FLOAT || TY == ZEK_DOUBLE;
template <uint32_t TY> constexpr bool kSigned = TY == ZEK_INT8 || TY == ZEK_INT16 || TY == ZEK_INT32 || TY == ZEK_INT64;
// Unsigned working type of an integer element: at least 32 bits, 64 for int64.
template <uint32_t TY> using Wide = std::conditional_t<sizeof(E<TY>) == 8, uint64_t, uint32_t>;

template <uint32_t TY> inline E<TY> load(const uint8_t *p) { return zek_load_as<E<TY>>(p); }
template <uint32_t TY> inline void store(uint8_t *p, E<TY> v) { zek_store_as<E<TY>>(p, v); }
template <uint32_t TY> inline Wide<TY> wide(const uint8_t *p) { return (Wide<TY>)load<TY>(p); }
template <uint32_t TY> inline void storeWide(uint8_t *p, Wide<TY> v) { store<TY>(p, (E<TY>)v); }
// Exact zero test: 0.0 and -0.0 are zero, NaN is not.
template <uint32_t TY> inline bool isZero(const uint8_t *p) { return load<TY>(p) == (E<TY>)0; }

struct Binary {
  static constexpr bool rightUint8 = false, boolResult = false;
};
struct Comparison {
  static constexpr bool rightUint8 = false, boolResult = true;
};

struct OpPLUS : Binary {
  static constexpr const char *name = "PLUS";
  template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) {
    if constexpr (kInteger<TY>) storeWide<TY>(r, wide<TY>(a) + wide<TY>(b));
    else if constexpr (kFloating<TY>) store<TY>(r, load<TY>(a) + load<TY>(b));
    else zek_raiseTypeNotAllowed(name, TY);
  }
};

struct OpMINUS : Binary {
  static constexpr const char *name = "MINUS";
  template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) {
    if constexpr (kFloating<TY>) store<TY>(r, load<TY>(a) - load<TY>(b));
    else storeWide<TY>(r, wide<TY>(a) - wide<TY>(b));  // bool: the byte modulo 256
  }
};

struct OpMULT : Binary {
  static constexpr const char *name = "MULT";
  template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) {
    if constexpr (kInteger<TY>) storeWide<TY>(r, wide<TY>(a) * wide<TY>(b));
    else if constexpr (kFloating<TY>) store<TY>(r, load<TY>(a) * load<TY>(b));
    else zek_raiseTypeNotAllowed(name, TY);
  }
};

// The divisor is tested before the type, so bool / false reports the division by zero.
struct OpDIV : Binary {
  static constexpr const char *name = "DIV";
  template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) {
    if (isZero<TY>(b)) {
      zek_raiseError(ZEK_ERR_DIVISION, "Division by zero (%s).", zek_getBaseTypeName(TY));
      return;
    }
    if constexpr (kSigned<TY>) {
      // x / -1 is the wrapped negation: the most negative value stays as it is.
      if (load<TY>(b) == -1) storeWide<TY>(r, (Wide<TY>)0 - wide<TY>(a));
      else store<TY>(r, (E<TY>)(load<TY>(a) / load<TY>(b)));
    } else if constexpr (kInteger<TY> || kFloating<TY>) {
      store<TY>(r, (E<TY>)(load<TY>(a) / load<TY>(b)));
    } else {
      zek_raiseTypeNotAllowed(name, TY);
    }
  }
};

struct OpMODULO : Binary {
  static constexpr const char *name = "MODULO";
  template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) {
    if (isZero<TY>(b)) {
      zek_raiseError(ZEK_ERR_DIVISION, "Division by zero in modulo operation (%s).", zek_getBaseTypeName(TY));
      return;
    }
    if constexpr (TY == ZEK_FLOAT) {
      // Quotient in single precision, the rest of the formula in double.
      float x = load<TY>(a), y = load<TY>(b);
      float q = x / y;
      store<TY>(r, zek_doubleToFloat((double)x - std::floor((double)q) * (double)y));
    } else if constexpr (TY == ZEK_DOUBLE) {
      double x = load<TY>(a), y = load<TY>(b);
      store<TY>(r, x - std::floor(x / y) * y);
    } else if constexpr (kSigned<TY>) {
      // Truncating remainder, sign of the dividend; x % -1 is 0 for every x.
      if (load<TY>(b) == -1) store<TY>(r, 0);
      else store<TY>(r, (E<TY>)(load<TY>(a) % load<TY>(b)));
    } else {
      store<TY>(r, (E<TY>)(load<TY>(a) % load<TY>(b)));  // unsigned; bool as its byte
    }
  }
};

// The count is checked before the type. Counts below 32 (64 for int64) keep the shift inside the
// working width, where an 8- or 16-bit value shifted by its width or more ends as 0 or all sign
// bits after truncation.
template <bool Left> struct OpShift {
  static constexpr bool rightUint8 = true, boolResult = false;
  static constexpr const char *name = Left ? "<<" : ">>";
  template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) {
    unsigned count = *b;
    if constexpr (TY == ZEK_INT64) {
      if (count >= 64) {
        if (Left) zek_raiseError(ZEK_ERR_DIVISION, "Bit shift << forbidden. Shift %d must be smaller than 64 for int64.", (int)count);
        else zek_raiseError(ZEK_ERR_DIVISION, "Bit shift >> forbidden. Shift %d must be smaller than 64 for int64.", (int)count);
        return;
      }
    } else if (count >= 32) {
      if (Left) zek_raiseError(ZEK_ERR_DIVISION, "Bit shift << forbidden. Shift %d must be smaller than 32.", (int)count);
      else zek_raiseError(ZEK_ERR_DIVISION, "Bit shift >> forbidden. Shift %d must be smaller than 32.", (int)count);
      return;
    }
    if constexpr (!kInteger<TY>) {
      zek_raiseTypeNotAllowed(name, TY);
    } else if constexpr (Left) {
      storeWide<TY>(r, wide<TY>(a) << count);
    } else if constexpr (kSigned<TY>) {
      // Sign-extended into the working width; >> on a negative value is arithmetic.
      using S = std::make_signed_t<Wide<TY>>;
      store<TY>(r, (E<TY>)((S)load<TY>(a) >> count));
    } else {
      storeWide<TY>(r, wide<TY>(a) >> count);
    }
  }
};
struct OpSHIFTLEFT : OpShift<true> {};
struct OpSHIFTRIGHT : OpShift<false> {};

// Exact comparisons of the element type: unsigned for the unsigned types and bool, IEEE for
// float and double (false with a NaN, 0.0 == -0.0). Every base type is allowed.
#define ZEK_COMPARISON(op, text, rel)                                                  \
  struct op : Comparison {                                                            \
    static constexpr const char *name = text;                                         \
    template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) { \
      *r = (load<TY>(a) rel load<TY>(b)) ? 1 : 0;                                       \
    }                                                                                  \
  };
ZEK_COMPARISON(OpLT, "<", <)
ZEK_COMPARISON(OpGT, ">", >)
ZEK_COMPARISON(OpLE, "<=", <=)
ZEK_COMPARISON(OpGE, ">=", >=)
ZEK_COMPARISON(OpEQ, "==", ==)
ZEK_COMPARISON(OpNEQ, "!=", !=)
#undef ZEK_COMPARISON

// Bitwise over the type's width, logical over its whole width; bool on its byte; float and
// double refused.
#define ZEK_INTEGER_OPERATOR(op, kind, text, compute)                                  \
  struct op : kind {                                                                  \
    static constexpr const char *name = text;                                         \
    template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) { \
      if constexpr (kFloating<TY>) zek_raiseTypeNotAllowed(name, TY);                  \
      else compute;                                                                    \
    }                                                                                  \
  };
ZEK_INTEGER_OPERATOR(OpAND, Binary, "&", storeWide<TY>(r, wide<TY>(a) & wide<TY>(b)))
ZEK_INTEGER_OPERATOR(OpOR, Binary, "|", storeWide<TY>(r, wide<TY>(a) | wide<TY>(b)))
ZEK_INTEGER_OPERATOR(OpXOR, Binary, "^", storeWide<TY>(r, wide<TY>(a) ^ wide<TY>(b)))
ZEK_INTEGER_OPERATOR(OpLAND, Comparison, "&&", *r = !isZero<TY>(a) && !isZero<TY>(b))
ZEK_INTEGER_OPERATOR(OpLOR, Comparison, "||", *r = !isZero<TY>(a) || !isZero<TY>(b))
#undef ZEK_INTEGER_OPERATOR

// The bit index is checked against the element's width before the type.
struct OpGETBIT {
  static constexpr bool rightUint8 = true, boolResult = true;
  static constexpr const char *name = "ZEK.getBit()";
  template <uint32_t TY> static void element(uint8_t *r, const uint8_t *a, const uint8_t *b) {
    constexpr int bits = 8 * (int)sizeof(E<TY>);
    int index = *b;
    if (index >= bits) {
      zek_raiseError(ZEK_ERR_GETBIT, "ZEK.getBit(): bitindex %d is greater than the maximum bitindex %d.", index,
                     bits - 1);
      return;
    }
    if constexpr (kInteger<TY>) *r = (uint8_t)((wide<TY>(a) >> index) & 1u);
    else zek_raiseTypeNotAllowed(name, TY);
  }
};

struct OpNEG {
  static constexpr const char *name = "unary '-' or '!'";
  template <uint32_t TY> static void element(uint8_t *v) {
    if constexpr (kSigned<TY>) {
      storeWide<TY>(v, (Wide<TY>)0 - wide<TY>(v));
    } else if constexpr (TY == ZEK_FLOAT) {
      zek_store_as<uint32_t>(v, zek_load_as<uint32_t>(v) ^ 0x80000000u);  // also 0 and NaN
    } else if constexpr (TY == ZEK_DOUBLE) {
      zek_store_as<uint64_t>(v, zek_load_as<uint64_t>(v) ^ 0x8000000000000000ull);
    } else if constexpr (TY == ZEK_BOOL) {
      *v = *v == 0 ? 1 : 0;
    } else {
      zek_raiseTypeNotAllowed(name, TY);
    }
  }
};

struct OpBITNEG {
  static constexpr const char *name = "(~)";
  template <uint32_t TY> static void element(uint8_t *v) {
    if constexpr (kInteger<TY>) storeWide<TY>(v, ~wide<TY>(v));
    else if constexpr (TY == ZEK_BOOL) *v = *v == 0 ? 1 : 0;
    else zek_raiseTypeNotAllowed(name, TY);
  }
};

// The truth value as a value of the operand's own type, so that the element stays a valid value
// of that type (1.0 for a non-zero or NaN double).
struct OpNONZERO {
  static constexpr const char *name = "(X != 0)";
  template <uint32_t TY> static void element(uint8_t *v) { store<TY>(v, isZero<TY>(v) ? (E<TY>)0 : (E<TY>)1); }
};

template <class Op> inline void kernel(void *result, const void *left, const void *right, uint32_t type) {
  zek_binaryLoop<Op>((uint8_t *)result, (const uint8_t *)left, (const uint8_t *)right, 1, ZEK_EACH_OP_EACH, type);
}

bool typesMatch(const char *text, uint32_t left, uint32_t right, bool rightIsUint8) {
  if (rightIsUint8) {
    if (right == ZEK_UINT8) return true;
    zek_raiseTypeMismatchError(text, right, ZEK_UINT8);
    return false;
  }
  if (left == right) return true;
  zek_raiseTypeMismatchError(text, left, right);
  return false;
}

bool popOperand(ValueEntry *reg) {
  ZekValueView v;
  if (!zek_pstack_popValue(&v)) return false;
  *reg = ValueEntry{v.type, v.dimCount, v.dims, v.total, v.scalar, v.bytes};
  return true;
}

// Both operands scalars, their type entries present: the short path.
void binaryOnScalars(const char *text, ZekBinaryLoop loop, bool rightIsUint8, bool boolResult) {
  VmState &vm = vmstate0;
  uint32_t rightType = vm.types.top[-1], leftType = vm.types.top[-2];
  size_t rightSize = zek_baseTypeSizeOf(rightType), leftSize = zek_baseTypeSizeOf(leftType);
  if ((size_t)(vm.values.top - vm.values.base) < leftSize + rightSize) {
    zek_pstack_raiseUnderflow();
    return;
  }
  uint8_t *right = vm.values.top - rightSize, *left = right - leftSize;
  REGISTER_S2 = ZekScalarRegister{rightType, right};
  REGISTER_S1 = ZekScalarRegister{leftType, left};
  vm.types.top -= 2;
  vm.sizes.top -= 2;
  vm.values.top = left;
  if (!typesMatch(text, leftType, rightType, rightIsUint8)) return;
  // The result takes the left operand's place: the entries were just freed and a result
  // element is never larger than the two operands (only an unknown type has no bytes).
  uint32_t resultType = boolResult ? (uint32_t)ZEK_BOOL : leftType;
  size_t resultSize = zek_baseTypeSizeOf(resultType);
  if (resultSize > leftSize + rightSize) {
    zek_pstack_raiseOverflow();
    return;
  }
  *vm.sizes.top++ = 0;
  *vm.types.top++ = resultType;
  vm.values.top = left + resultSize;
  loop(left, left, right, 1, ZEK_EACH_OP_EACH, leftType);
}

}  // namespace

#define ZEK_DEFINE_BINARY(name)                                                                        \
  void zek_loop_##name(uint8_t *result, const uint8_t *left, const uint8_t *right, uint32_t count,      \
                       ZekLoopShape shape, uint32_t type) {                                            \
    zek_binaryLoop<Op##name>(result, left, right, count, shape, type);                                 \
  }                                                                                                    \
  void __##name(void *result, const void *left, const void *right, uint32_t type) {                   \
    kernel<Op##name>(result, left, right, type);                                                       \
  }
#define ZEK_DEFINE_UNARY(name)                                                                         \
  void zek_loop_##name(uint8_t *values, uint32_t count, uint32_t type) {                               \
    zek_unaryLoop<Op##name>(values, count, type);                                                      \
  }                                                                                                    \
  void __##name(void *value, uint32_t type) { zek_unaryLoop<Op##name>((uint8_t *)value, 1, type); }
ZEK_BINARY_OPERATORS(ZEK_DEFINE_BINARY)
ZEK_UNARY_OPERATORS(ZEK_DEFINE_UNARY)
#undef ZEK_DEFINE_BINARY
#undef ZEK_DEFINE_UNARY

void zek_raiseTypeNotAllowed(const char *what, uint32_t type) {
  const char *typeName = zek_getBaseTypeName(type);
  zek_raiseError(ZEK_ERR_TYPE, "Type %s not allowed in %s.", typeName, what);
}

bool zek_sameShape(const ValueEntry *a, const ValueEntry *b) {
  if (a->scalar != b->scalar) return false;
  if (a->scalar) return true;
  return a->dimCount == b->dimCount && std::memcmp(a->dims, b->dims, (size_t)a->dimCount * 4u) == 0;
}

void zek_raiseShapeMismatch(const ValueEntry *left, const ValueEntry *right) {
  const char *typeName = zek_getBaseTypeName(left->type);
  char *leftDims = zek_getDimName(left->dims, left->scalar ? 0 : left->dimCount);
  char *rightDims = zek_getDimName(right->dims, right->scalar ? 0 : right->dimCount);
  zek_raiseError(ZEK_ERR_LIMIT, "Array with different sub-dimensions %s%s and %s%s not allowed.", typeName,
                 leftDims != nullptr ? leftDims : "", typeName, rightDims != nullptr ? rightDims : "");
  zek_free(leftDims);
  zek_free(rightDims);
}

uint8_t *zek_pushResult(uint32_t type, uint8_t scalar, const uint32_t *dims, uint8_t dimCount, uint32_t total,
                        uint32_t elementSize) {
  VmState &vm = vmstate0;
  uint64_t entries = scalar ? 1u : (uint64_t)dimCount + 1u;
  uint64_t bytes = (uint64_t)total * elementSize;
  if ((uint64_t)(vm.sizes.end - vm.sizes.top) < entries || vm.types.top >= vm.types.end ||
      (uint64_t)(vm.values.end - vm.values.top) < bytes) {
    zek_pstack_raiseOverflow();
    return nullptr;
  }
  if (scalar) {
    *vm.sizes.top++ = 0;
  } else if (dimCount == 1 && dims[0] != 0 && dims[0] < ZEK_NDIM_MARKER) {
    *vm.sizes.top++ = dims[0];
  } else {
    std::memmove(vm.sizes.top, dims, (size_t)dimCount * 4u);  // may be the entries just popped
    vm.sizes.top += dimCount;
    *vm.sizes.top++ = ZEK_NDIM_MARKER + dimCount;
  }
  *vm.types.top++ = type;
  uint8_t *first = vm.values.top;
  vm.values.top += bytes;
  return first;
}

void zek__MATH_BINOP(const char *text, ZekBinaryLoop loop, bool rightIsUint8, bool boolResult) {
  VmState &vm = vmstate0;
  if (vm.sizes.top - vm.sizes.base >= 2 && vm.sizes.top[-1] == 0 && vm.sizes.top[-2] == 0 &&
      vm.types.top - vm.types.base >= 2) {
    binaryOnScalars(text, loop, rightIsUint8, boolResult);
    return;
  }
  ValueEntry &left = REGISTER_N1, &right = REGISTER_N2;
  if (!popOperand(&right) || !popOperand(&left)) return;
  if (!typesMatch(text, left.type, right.type, rightIsUint8)) return;

  const ValueEntry *shape = &left;
  ZekLoopShape loopShape = ZEK_EACH_OP_ONE;
  if (left.scalar && !right.scalar) {
    shape = &right;
    loopShape = ZEK_ONE_OP_EACH;
  } else if (!right.scalar) {
    if (!zek_sameShape(&left, &right)) {
      zek_raiseShapeMismatch(&left, &right);
      return;
    }
    loopShape = ZEK_EACH_OP_EACH;
  }
  uint32_t resultType = boolResult ? (uint32_t)ZEK_BOOL : left.type;
  uint32_t resultSize = zek_baseTypeSizeOf(resultType);
  uint32_t total = shape->total;

  // The results overwrite a scalar left operand at once: it works from a copy.
  uint8_t leftCopy[8];
  const uint8_t *leftElements = left.value;
  if (loopShape == ZEK_ONE_OP_EACH) {
    std::memcpy(leftCopy, left.value, zek_baseTypeSizeOf(left.type));
    leftElements = leftCopy;
  }
  uint8_t *result = zek_pushResult(resultType, shape->scalar, shape->dims, shape->dimCount, total, resultSize);
  if (result == nullptr) return;
  const uint8_t *rightElements = right.value;
  if (loopShape == ZEK_ONE_OP_EACH && rightIsUint8 && resultSize > 1) {
    // A scalar shifted by an array of one-byte counts: wider results written forward would
    // overtake counts still unread. Moved to the end of the result range, every count lies at
    // or behind the result element that reads it.
    uint8_t *moved = result + (uint64_t)total * resultSize - total;
    std::memmove(moved, right.value, total);
    rightElements = moved;
  }
  loop(result, leftElements, rightElements, total, loopShape, left.type);
}

void zek__MATH_UNARY(ZekUnaryLoop loop) {
  ZekValueView v;
  if (!zek_pstack_peekValue(0, &v)) {
    zek_pstack_raiseUnderflow();
    return;
  }
  if (v.scalar) {
    REGISTER_S1 = ZekScalarRegister{v.type, v.bytes};
    loop(v.bytes, 1, v.type);
    return;
  }
  REGISTER_N1 = ValueEntry{v.type, v.dimCount, v.dims, v.total, v.scalar, v.bytes};
  loop(v.bytes, v.total, v.type);
}

void zek__PLUS(void) { zek__MATH_BINOP("'+'", zek_loop_PLUS, false, false); }
void zek__MINUS(void) { zek__MATH_BINOP("'-'", zek_loop_MINUS, false, false); }
void zek__MULT(void) { zek__MATH_BINOP("'*'", zek_loop_MULT, false, false); }
void zek__DIV(void) { zek__MATH_BINOP("'/'", zek_loop_DIV, false, false); }
void zek__MODULO(void) { zek__MATH_BINOP("'%%'", zek_loop_MODULO, false, false); }
void zek__SHIFTLEFT(void) { zek__MATH_BINOP("'<<'", zek_loop_SHIFTLEFT, true, false); }
void zek__SHIFTRIGHT(void) { zek__MATH_BINOP("'>>'", zek_loop_SHIFTRIGHT, true, false); }
void zek__LT(void) { zek__MATH_BINOP("'<'", zek_loop_LT, false, true); }
void zek__GT(void) { zek__MATH_BINOP("'>'", zek_loop_GT, false, true); }
void zek__LE(void) { zek__MATH_BINOP("'<='", zek_loop_LE, false, true); }
void zek__GE(void) { zek__MATH_BINOP("'>='", zek_loop_GE, false, true); }
void zek__EQ(void) { zek__MATH_BINOP("'=='", zek_loop_EQ, false, true); }
void zek__NEQ(void) { zek__MATH_BINOP("'!='", zek_loop_NEQ, false, true); }
void zek__AND(void) { zek__MATH_BINOP("'&'", zek_loop_AND, false, false); }
void zek__OR(void) { zek__MATH_BINOP("'|'", zek_loop_OR, false, false); }
void zek__XOR(void) { zek__MATH_BINOP("'^'", zek_loop_XOR, false, false); }
void zek__GETBIT(void) { zek__MATH_BINOP("'ZEK.getBit()'", zek_loop_GETBIT, true, true); }
void zek__LAND(void) { zek__MATH_BINOP("'&&'", zek_loop_LAND, false, true); }
void zek__LOR(void) { zek__MATH_BINOP("'||'", zek_loop_LOR, false, true); }

void zek__NEG(void) { zek__MATH_UNARY(zek_loop_NEG); }
void zek__NONZERO(void) { zek__MATH_UNARY(zek_loop_NONZERO); }
void zek__BITNEG(void) { zek__MATH_UNARY(zek_loop_BITNEG); }
