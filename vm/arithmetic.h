#pragma once
// Typed arithmetic: the operand registers, the binary and unary operation routines, the typed
// kernels and their element loops, and the scalar conversions to and from double.
//
// A kernel computes one element of one base type. An element loop applies one operator to many
// elements of one base type: it decides the type once and then runs a loop compiled for that
// element type, so the per-element work is a load, the operation and a store. Kernels are the
// one-element case of their loop. Integer arithmetic wraps in the type's width (computed in the
// unsigned type of at least 32 bits), comparisons are exact.
#include <cstddef>
#include <cstdint>

#include "stacks.h"

// Operands of the last operation. The S registers describe scalars (both operands of a scalar
// binary operation, the top scalar of a unary one); the N registers describe values of any
// shape and point into the stacks themselves.
struct ZekScalarRegister {
  uint32_t type;
  uint8_t *value;
};
extern ZekScalarRegister REGISTER_S1, REGISTER_S2;
extern ValueEntry REGISTER_N1, REGISTER_N2;

// Which operand of an element loop is one element used for every index.
enum ZekLoopShape : uint8_t {
  ZEK_EACH_OP_EACH = 0,  // element i of both
  ZEK_ONE_OP_EACH = 1,   // the single left element with right element i
  ZEK_EACH_OP_ONE = 2,   // left element i with the single right element
};

// result, left, right: one element each; type: the left operand's base type. The kernel reads
// both operands before it writes, so result may equal left.
typedef void (*ZekBinaryKernel)(void *result, const void *left, const void *right, uint32_t type);
// count elements; element i of the result, left and right lies at i times its element size
// (one byte for bool results and uint8 shift counts / bit indices).
typedef void (*ZekBinaryLoop)(uint8_t *result, const uint8_t *left, const uint8_t *right, uint32_t count,
                              ZekLoopShape shape, uint32_t type);
typedef void (*ZekUnaryKernel)(void *value, uint32_t type);
typedef void (*ZekUnaryLoop)(uint8_t *values, uint32_t count, uint32_t type);

// The binary operators, in byte-code order. SHIFTLEFT, SHIFTRIGHT and GETBIT take a uint8 right
// operand (count, bit index); LT .. NEQ, GETBIT, LAND and LOR give bool results; every other
// result has the left operand's type. The kernel of NAME is __NAME, its loop zek_loop_NAME.
#define ZEK_BINARY_OPERATORS(X) \
  X(PLUS) X(MINUS) X(MULT) X(DIV) X(MODULO) X(SHIFTLEFT) X(SHIFTRIGHT) X(LT) X(GT) X(LE) X(GE) X(EQ) X(NEQ) \
  X(AND) X(OR) X(XOR) X(GETBIT) X(LAND) X(LOR)
#define ZEK_UNARY_OPERATORS(X) X(NEG) X(NONZERO) X(BITNEG)

#define ZEK_DECLARE_BINARY(name)                                                      \
  void __##name(void *result, const void *left, const void *right, uint32_t type);   \
  void zek_loop_##name(uint8_t *result, const uint8_t *left, const uint8_t *right,    \
                       uint32_t count, ZekLoopShape shape, uint32_t type);
#define ZEK_DECLARE_UNARY(name)              \
  void __##name(void *value, uint32_t type); \
  void zek_loop_##name(uint8_t *values, uint32_t count, uint32_t type);
ZEK_BINARY_OPERATORS(ZEK_DECLARE_BINARY)
ZEK_UNARY_OPERATORS(ZEK_DECLARE_UNARY)
#undef ZEK_DECLARE_BINARY
#undef ZEK_DECLARE_UNARY

// The whole binary operation on the two top values (right operand on top): pops both, checks
// types (the right one uint8 when rightIsUint8) and shapes, pushes the result descriptor (bool
// or the left type) and runs the loop over the elements in place. text names the operator in
// the type-mismatch message. No result: success, or an error stands.
void zek__MATH_BINOP(const char *text, ZekBinaryLoop loop, bool rightIsUint8, bool boolResult);
// Applies a unary loop in place to the top value, scalar or array, keeping type and shape.
void zek__MATH_UNARY(ZekUnaryLoop loop);

// Pushes the descriptor of a result of the given type and shape whose bytes start at the value
// stack top: needs k + 1 free size entries (k = dimCount, 0 for a scalar) and room for total x
// elementSize bytes. Returns the first result byte, or null after raising 108. The dimension
// list may lie in the size-stack entries just popped.
uint8_t *zek_pushResult(uint32_t type, uint8_t scalar, const uint32_t *dims, uint8_t dimCount, uint32_t total,
                        uint32_t elementSize);
// Raises 18 "Type %s not allowed in <what>.".
void zek_raiseTypeNotAllowed(const char *what, uint32_t type);
// Same scalar flag, dimension count and dimension list.
bool zek_sameShape(const ValueEntry *a, const ValueEntry *b);
// Raises 111 "Array with different sub-dimensions %s%s and %s%s not allowed." naming the left
// type for both; a scalar's dimension text is empty.
void zek_raiseShapeMismatch(const ValueEntry *left, const ValueEntry *right);

// Conversion without range checks. scalar2double: integers exactly (int64 rounded to nearest),
// bool as its byte, 0.0 for an unknown type. double2scalar: integer types floor(x + 1e-8) through
// a 32-bit (64-bit for uint32, int64) intermediate whose low bits are stored; bool truncates x
// to 32 bits and stores the low byte; NaN gives 0 and values beyond the intermediate saturate
// it; an unknown type stores nothing.
double scalar2double(uint32_t type, const void *value);
void double2scalar(uint32_t type, void *destination, double x);
// Converts one element with the range checks of CAST; false after raising 104. A source or
// target type outside 1..10 writes nothing and gives true.
bool zek__CAST_one(void *destination, const void *source, uint32_t targetType, uint32_t sourceType);
// A double rounded to float; beyond the float range it becomes an infinity of its sign.
// Truncation toward zero into an i64, saturating at the ends of the range; NaN gives 0.
inline int64_t zek_truncToInt64(double x) {
  if (x != x) return 0;
  if (x >= 9223372036854775808.0) return INT64_MAX;
  if (x < -9223372036854775808.0) return INT64_MIN;
  return (int64_t)x;
}
float zek_doubleToFloat(double x);

// ---- Building blocks for further typed operations ----

// The C++ element type of a base type id (bool is its byte).
template <uint32_t TY> struct ZekElement;
template <> struct ZekElement<ZEK_UINT8> { using type = uint8_t; };
template <> struct ZekElement<ZEK_INT8> { using type = int8_t; };
template <> struct ZekElement<ZEK_UINT16> { using type = uint16_t; };
template <> struct ZekElement<ZEK_INT16> { using type = int16_t; };
template <> struct ZekElement<ZEK_UINT32> { using type = uint32_t; };
template <> struct ZekElement<ZEK_INT32> { using type = int32_t; };
template <> struct ZekElement<ZEK_INT64> { using type = int64_t; };
template <> struct ZekElement<ZEK_FLOAT> { using type = float; };
template <> struct ZekElement<ZEK_DOUBLE> { using type = double; };
template <> struct ZekElement<ZEK_BOOL> { using type = uint8_t; };
template <uint32_t TY> using ZekElementOf = typename ZekElement<TY>::type;

// Calls F::template run<TY>(args...) with the base type as a template argument, or
// F::invalid(type, args...) for an id outside 1..10.
template <class F, class... A> inline void zek_withType(uint32_t type, A... args) {
  switch (type) {
    case ZEK_UINT8: F::template run<ZEK_UINT8>(args...); return;
    case ZEK_INT8: F::template run<ZEK_INT8>(args...); return;
    case ZEK_UINT16: F::template run<ZEK_UINT16>(args...); return;
    case ZEK_INT16: F::template run<ZEK_INT16>(args...); return;
    case ZEK_UINT32: F::template run<ZEK_UINT32>(args...); return;
    case ZEK_INT32: F::template run<ZEK_INT32>(args...); return;
    case ZEK_INT64: F::template run<ZEK_INT64>(args...); return;
    case ZEK_FLOAT: F::template run<ZEK_FLOAT>(args...); return;
    case ZEK_DOUBLE: F::template run<ZEK_DOUBLE>(args...); return;
    case ZEK_BOOL: F::template run<ZEK_BOOL>(args...); return;
    default: F::invalid(type, args...); return;
  }
}

// Element loop of a binary operator Op:
//   static constexpr const char *name;           // for "Type %s not allowed in <name>."
//   static constexpr bool rightUint8, boolResult;
//   template <uint32_t TY> static void element(uint8_t *result, const uint8_t *left,
//                                              const uint8_t *right);
// element reads both operands (unaligned) before it writes, raises its own errors and then
// writes nothing. A type outside 1..10 raises the type error once per element.
template <class Op> struct ZekBinaryLoopOf {
  template <uint32_t TY>
  static void run(uint8_t *result, const uint8_t *left, const uint8_t *right, uint32_t count, ZekLoopShape shape) {
    constexpr size_t ls = sizeof(ZekElementOf<TY>);
    constexpr size_t rs = Op::boolResult ? 1 : ls;
    constexpr size_t bs = Op::rightUint8 ? 1 : ls;
    switch (shape) {
      case ZEK_EACH_OP_EACH:
        for (uint32_t i = 0; i < count; ++i) Op::template element<TY>(result + i * rs, left + i * ls, right + i * bs);
        return;
      case ZEK_ONE_OP_EACH:
        for (uint32_t i = 0; i < count; ++i) Op::template element<TY>(result + i * rs, left, right + i * bs);
        return;
      case ZEK_EACH_OP_ONE:
        for (uint32_t i = 0; i < count; ++i) Op::template element<TY>(result + i * rs, left + i * ls, right);
        return;
    }
  }
  static void invalid(uint32_t type, uint8_t *, const uint8_t *, const uint8_t *, uint32_t count, ZekLoopShape) {
    for (uint32_t i = 0; i < count; ++i) zek_raiseTypeNotAllowed(Op::name, type);
  }
};
template <class Op>
void zek_binaryLoop(uint8_t *result, const uint8_t *left, const uint8_t *right, uint32_t count, ZekLoopShape shape,
                    uint32_t type) {
  zek_withType<ZekBinaryLoopOf<Op>>(type, result, left, right, count, shape);
}

// Element loop of a unary operator Op (name as above; template <uint32_t TY> static void
// element(uint8_t *value), in place).
template <class Op> struct ZekUnaryLoopOf {
  template <uint32_t TY> static void run(uint8_t *values, uint32_t count) {
    constexpr size_t size = sizeof(ZekElementOf<TY>);
    for (uint32_t i = 0; i < count; ++i) Op::template element<TY>(values + i * size);
  }
  static void invalid(uint32_t type, uint8_t *, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) zek_raiseTypeNotAllowed(Op::name, type);
  }
};
template <class Op> void zek_unaryLoop(uint8_t *values, uint32_t count, uint32_t type) {
  zek_withType<ZekUnaryLoopOf<Op>>(type, values, count);
}

// Loops over plain kernels, for operations whose element work outweighs a call (same-type
// operands and result for the binary one).
template <ZekBinaryKernel K>
void zek_kernelLoop(uint8_t *result, const uint8_t *left, const uint8_t *right, uint32_t count, ZekLoopShape shape,
                    uint32_t type) {
  size_t size = zek_baseTypeSizeOf(type);
  size_t ls = shape == ZEK_ONE_OP_EACH ? 0 : size, bs = shape == ZEK_EACH_OP_ONE ? 0 : size;
  for (uint32_t i = 0; i < count; ++i) K(result + i * size, left + i * ls, right + i * bs, type);
}
template <ZekUnaryKernel K> void zek_kernelUnaryLoop(uint8_t *values, uint32_t count, uint32_t type) {
  size_t size = zek_baseTypeSizeOf(type);
  for (uint32_t i = 0; i < count; ++i) K(values + i * size, type);
}
