#include <cmath>
#include "arithmetic.h"
#include "operand_stack.h"

namespace {

using zt::expectOutcomes;

TEST(Arithmetic, IntegerResultsWrapInTheirType) {
  expectOutcomes({
      {"PUSHINT8 100; PUSHINT8 100; PLUS", "int8 -56"},
      {"PUSHUINT8 3; PUSHUINT8 5; MINUS", "uint8 254"},
      {"PUSHUINT16 65535; PUSHUINT16 65535; MULT", "uint16 1"},
      {"PUSHINT16 -32768; PUSHINT16 1; MINUS", "int16 32767"},
      {"PUSHINT32 2147483647; PUSHINT32 1; PLUS", "int32 -2147483648"},
      {"PUSHINT32 65536; PUSHINT32 65536; MULT", "int32 0"},
      {"PUSHINT32 -2147483648; PUSHINT32 -1; MULT", "int32 -2147483648"},
      {"PUSHUINT32 0; PUSHUINT32 1; MINUS", "uint32 4294967295"},
      {"PUSHINT64 9223372036854775807; PUSHINT64 1; PLUS", "int64 -9223372036854775808"},
      {"PUSHINT64 4294967297; PUSHINT64 4294967297; MULT", "int64 8589934593"},
      {"PUSHFALSE; PUSHTRUE; MINUS", "bool 255"},
      {"PUSHFLOAT 1.5; PUSHFLOAT 2.25; PLUS", "float 3.75"},
      {"PUSHDOUBLE 0.1; PUSHDOUBLE 0.2; PLUS", "double 0.30000000000000004"},
      {"PUSHFLOAT 3.0e38; PUSHFLOAT 2.0; MULT", "float inf"},
      {"PUSHTRUE; PUSHTRUE; PLUS", "error 18 Type bool not allowed in PLUS."},
      {"PUSHTRUE; PUSHTRUE; MULT", "error 18 Type bool not allowed in MULT."},
      {"PUSHINT32 1; PUSHINT16 1; PLUS", "error 18 Type mismatch in operation '+'. int32 != int16."},
      {"PUSHINT32 1; PUSHUINT8 1; MODULO", "error 18 Type mismatch in operation '%%'. int32 != uint8."},
      {"PUSHINT32 1; PLUS", "error 109 An underflow of the parameter stack occurred."},
  });
}

TEST(Arithmetic, DivisionAndModulo) {
  expectOutcomes({
      {"PUSHINT32 -7; PUSHINT32 2; DIV", "int32 -3"},
      {"PUSHINT32 -7; PUSHINT32 3; MODULO", "int32 -1"},
      {"PUSHINT32 7; PUSHINT32 -3; MODULO", "int32 1"},
      {"PUSHUINT32 4294967295; PUSHUINT32 2; DIV", "uint32 2147483647"},
      {"PUSHUINT8 200; PUSHUINT8 7; MODULO", "uint8 4"},
      // The most negative value by -1: the quotient wraps to itself, the remainder is 0.
      {"PUSHINT8 -128; PUSHINT8 -1; DIV", "int8 -128"},
      {"PUSHINT8 -128; PUSHINT8 -1; MODULO", "int8 0"},
      {"PUSHINT16 -32768; PUSHINT16 -1; DIV", "int16 -32768"},
      {"PUSHINT32 -2147483648; PUSHINT32 -1; DIV", "int32 -2147483648"},
      {"PUSHINT32 -2147483648; PUSHINT32 -1; MODULO", "int32 0"},
      {"PUSHINT64 -9223372036854775808; PUSHINT64 -1; DIV", "int64 -9223372036854775808"},
      {"PUSHINT64 -9223372036854775808; PUSHINT64 -1; MODULO", "int64 0"},
      {"PUSHINT64 -9223372036854775807; PUSHINT64 -1; DIV", "int64 9223372036854775807"},
      {"PUSHINT32 7; PUSHINT32 0; DIV", "error 106 Division by zero (int32)."},
      {"PUSHINT32 7; PUSHINT32 0; MODULO", "error 106 Division by zero in modulo operation (int32)."},
      {"PUSHUINT16 7; PUSHUINT16 0; DIV", "error 106 Division by zero (uint16)."},
      {"PUSHDOUBLE 1.0; PUSHDOUBLE 0.0; DIV", "error 106 Division by zero (double)."},
      {"PUSHDOUBLE 1.0; PUSHDOUBLE -0.0; DIV", "error 106 Division by zero (double)."},
      {"PUSHFLOAT 1.0; PUSHFLOAT 0.0; MODULO", "error 106 Division by zero in modulo operation (float)."},
      {"PUSHDOUBLE 1.0; PUSHDOUBLE nan; DIV", "double nan"},
      // The divisor is tested before the type.
      {"PUSHTRUE; PUSHFALSE; DIV", "error 106 Division by zero (bool)."},
      {"PUSHTRUE; PUSHTRUE; DIV", "error 18 Type bool not allowed in DIV."},
      {"PUSHTRUE; PUSHFALSE; MODULO", "error 106 Division by zero in modulo operation (bool)."},
      {"PUSHBOOL 5; PUSHBOOL 3; MODULO", "bool 2"},
      // Floating modulo takes the sign of the divisor.
      {"PUSHDOUBLE -7.0; PUSHDOUBLE 3.0; MODULO", "double 2"},
      {"PUSHDOUBLE 7.0; PUSHDOUBLE -3.0; MODULO", "double -2"},
      {"PUSHFLOAT 7.5; PUSHFLOAT 2.0; MODULO", "float 1.5"},
      {"PUSHFLOAT -7.0; PUSHFLOAT 3.0; MODULO", "float 2"},
      {"PUSHFLOAT 1.0; PUSHFLOAT 3.0; DIV", "float 0.333333343"},
  });
}

TEST(Arithmetic, FloatModuloTakesTheQuotientInSinglePrecision) {
  // 70413.289 / 0.0059024105 is 11929581.86 exactly but 11929582 as a float: the remainder is
  // then slightly negative, where a double quotient would give 0.00508.
  zt::runOn("PUSHFLOAT 70413.2890625; PUSHFLOAT 0.005902410484850407; MODULO");
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(zt::top<float>(), -0.0008141826838254929f);
}

TEST(Arithmetic, ShiftsCheckTheCountBeforeTheType) {
  expectOutcomes({
      {"PUSHUINT8 1; PUSHUINT8 8; SHIFTLEFT", "uint8 0"},
      {"PUSHUINT8 255; PUSHUINT8 1; SHIFTLEFT", "uint8 254"},
      {"PUSHINT8 64; PUSHUINT8 1; SHIFTLEFT", "int8 -128"},
      {"PUSHINT8 -128; PUSHUINT8 7; SHIFTRIGHT", "int8 -1"},
      {"PUSHINT16 -32768; PUSHUINT8 20; SHIFTRIGHT", "int16 -1"},
      {"PUSHUINT16 32768; PUSHUINT8 15; SHIFTRIGHT", "uint16 1"},
      {"PUSHUINT16 65535; PUSHUINT8 20; SHIFTRIGHT", "uint16 0"},
      {"PUSHINT16 1; PUSHUINT8 16; SHIFTLEFT", "int16 0"},
      {"PUSHINT32 1; PUSHUINT8 31; SHIFTLEFT", "int32 -2147483648"},
      {"PUSHINT32 -1; PUSHUINT8 31; SHIFTRIGHT", "int32 -1"},
      {"PUSHUINT32 2147483648; PUSHUINT8 31; SHIFTRIGHT", "uint32 1"},
      {"PUSHINT64 1; PUSHUINT8 40; SHIFTLEFT", "int64 1099511627776"},
      {"PUSHINT64 1; PUSHUINT8 63; SHIFTLEFT", "int64 -9223372036854775808"},
      {"PUSHINT64 -9223372036854775808; PUSHUINT8 63; SHIFTRIGHT", "int64 -1"},
      {"PUSHINT64 -9223372036854775808; PUSHUINT8 32; SHIFTRIGHT", "int64 -2147483648"},
      {"PUSHINT32 1; PUSHUINT8 32; SHIFTLEFT", "error 106 Bit shift << forbidden. Shift 32 must be smaller than 32."},
      {"PUSHUINT8 1; PUSHUINT8 255; SHIFTRIGHT", "error 106 Bit shift >> forbidden. Shift 255 must be smaller than 32."},
      {"PUSHINT64 1; PUSHUINT8 64; SHIFTLEFT",
       "error 106 Bit shift << forbidden. Shift 64 must be smaller than 64 for int64."},
      {"PUSHINT64 1; PUSHUINT8 200; SHIFTRIGHT",
       "error 106 Bit shift >> forbidden. Shift 200 must be smaller than 64 for int64."},
      {"PUSHDOUBLE 1.0; PUSHUINT8 40; SHIFTLEFT", "error 106 Bit shift << forbidden. Shift 40 must be smaller than 32."},
      {"PUSHTRUE; PUSHUINT8 32; SHIFTRIGHT", "error 106 Bit shift >> forbidden. Shift 32 must be smaller than 32."},
      {"PUSHFLOAT 1.0; PUSHUINT8 1; SHIFTLEFT", "error 18 Type float not allowed in <<."},
      {"PUSHTRUE; PUSHUINT8 1; SHIFTRIGHT", "error 18 Type bool not allowed in >>."},
      {"PUSHINT32 1; PUSHINT32 1; SHIFTLEFT", "error 18 Type mismatch in operation '<<'. int32 != uint8."},
  });
}

TEST(Arithmetic, GetBitChecksTheIndexBeforeTheType) {
  expectOutcomes({
      {"PUSHINT64 1099511627776; PUSHUINT8 40; GETBIT", "bool 1"},
      {"PUSHINT64 1099511627776; PUSHUINT8 39; GETBIT", "bool 0"},
      {"PUSHINT64 -9223372036854775808; PUSHUINT8 63; GETBIT", "bool 1"},
      {"PUSHINT8 -128; PUSHUINT8 7; GETBIT", "bool 1"},
      {"PUSHUINT32 5; PUSHUINT8 2; GETBIT", "bool 1"},
      {"PUSHINT64 1; PUSHUINT8 64; GETBIT",
       "error 124 ZEK.getBit(): bitindex 64 is greater than the maximum bitindex 63."},
      {"PUSHUINT8 1; PUSHUINT8 8; GETBIT", "error 124 ZEK.getBit(): bitindex 8 is greater than the maximum bitindex 7."},
      {"PUSHTRUE; PUSHUINT8 8; GETBIT", "error 124 ZEK.getBit(): bitindex 8 is greater than the maximum bitindex 7."},
      {"PUSHTRUE; PUSHUINT8 7; GETBIT", "error 18 Type bool not allowed in ZEK.getBit()."},
      {"PUSHFLOAT 1.0; PUSHUINT8 32; GETBIT",
       "error 124 ZEK.getBit(): bitindex 32 is greater than the maximum bitindex 31."},
      {"PUSHFLOAT 1.0; PUSHUINT8 31; GETBIT", "error 18 Type float not allowed in ZEK.getBit()."},
      {"PUSHDOUBLE 1.0; PUSHUINT8 64; GETBIT",
       "error 124 ZEK.getBit(): bitindex 64 is greater than the maximum bitindex 63."},
      {"PUSHDOUBLE 1.0; PUSHUINT8 63; GETBIT", "error 18 Type double not allowed in ZEK.getBit()."},
      {"PUSHINT32 1; PUSHINT8 0; GETBIT", "error 18 Type mismatch in operation 'ZEK.getBit()'. int8 != uint8."},
  });
}

TEST(Arithmetic, ComparisonsAreExact) {
  expectOutcomes({
      {"PUSHDOUBLE nan; PUSHDOUBLE nan; EQ", "bool 0"},
      {"PUSHDOUBLE nan; PUSHDOUBLE nan; NEQ", "bool 1"},
      {"PUSHDOUBLE nan; PUSHDOUBLE 1.0; LT", "bool 0"},
      {"PUSHDOUBLE nan; PUSHDOUBLE 1.0; GE", "bool 0"},
      {"PUSHFLOAT 1.0; PUSHFLOAT nan; LE", "bool 0"},
      {"PUSHFLOAT 1.0; PUSHFLOAT nan; GT", "bool 0"},
      {"PUSHDOUBLE -0.0; PUSHDOUBLE 0.0; EQ", "bool 1"},
      {"PUSHDOUBLE -0.0; PUSHDOUBLE 0.0; LT", "bool 0"},
      {"PUSHFLOAT -0.0; PUSHFLOAT 0.0; GE", "bool 1"},
      {"PUSHDOUBLE 0.1; PUSHDOUBLE 0.10000000000000002; EQ", "bool 0"},
      {"PUSHUINT32 4294967295; PUSHUINT32 1; GT", "bool 1"},
      {"PUSHINT32 -1; PUSHINT32 1; GT", "bool 0"},
      {"PUSHUINT8 255; PUSHUINT8 1; GT", "bool 1"},
      {"PUSHINT8 -1; PUSHINT8 1; LT", "bool 1"},
      {"PUSHUINT16 65535; PUSHUINT16 0; LE", "bool 0"},
      {"PUSHINT64 -1; PUSHINT64 0; LT", "bool 1"},
      {"PUSHINT64 4294967296; PUSHINT64 0; EQ", "bool 0"},
      {"PUSHBOOL 2; PUSHBOOL 1; GT", "bool 1"},
      {"PUSHBOOL 2; PUSHBOOL 1; EQ", "bool 0"},
      {"PUSHINT32 1; PUSHUINT32 1; EQ", "error 18 Type mismatch in operation '=='. int32 != uint32."},
  });
}

TEST(Arithmetic, BitwiseAndLogicalOperators) {
  expectOutcomes({
      {"PUSHINT32 3855; PUSHINT32 255; AND", "int32 15"},
      {"PUSHINT8 -16; PUSHINT8 15; OR", "int8 -1"},
      {"PUSHINT64 -1; PUSHINT64 4294967296; XOR", "int64 -4294967297"},
      {"PUSHBOOL 2; PUSHBOOL 1; AND", "bool 0"},
      {"PUSHBOOL 2; PUSHBOOL 1; XOR", "bool 3"},
      {"PUSHFLOAT 1.0; PUSHFLOAT 1.0; AND", "error 18 Type float not allowed in &."},
      {"PUSHDOUBLE 1.0; PUSHDOUBLE 1.0; OR", "error 18 Type double not allowed in |."},
      {"PUSHDOUBLE 1.0; PUSHDOUBLE 1.0; XOR", "error 18 Type double not allowed in ^."},
      // Non-zero over the whole width: 256 has a zero low byte.
      {"PUSHINT32 256; PUSHINT32 1; LAND", "bool 1"},
      {"PUSHINT64 4294967296; PUSHINT64 0; LOR", "bool 1"},
      {"PUSHINT16 0; PUSHINT16 0; LOR", "bool 0"},
      {"PUSHBOOL 2; PUSHBOOL 0; LAND", "bool 0"},
      {"PUSHFLOAT 1.0; PUSHFLOAT 1.0; LAND", "error 18 Type float not allowed in &&."},
      {"PUSHDOUBLE 1.0; PUSHDOUBLE 1.0; LOR", "error 18 Type double not allowed in ||."},
  });
}

TEST(Arithmetic, UnaryOperatorsWorkInPlace) {
  expectOutcomes({
      {"PUSHINT8 -128; NEG", "int8 -128"},
      {"PUSHINT32 5; NEG", "int32 -5"},
      {"PUSHINT64 -9223372036854775808; NEG", "int64 -9223372036854775808"},
      {"PUSHDOUBLE 0.0; NEG", "double -0"},
      {"PUSHDOUBLE nan; NEG", "double -nan"},
      {"PUSHFLOAT 1.5; NEG", "float -1.5"},
      {"PUSHTRUE; NEG", "bool 0"},
      {"PUSHBOOL 7; NEG", "bool 0"},
      {"PUSHFALSE; NEG", "bool 1"},
      {"PUSHUINT16 1; NEG", "error 18 Type uint16 not allowed in unary '-' or '!'."},
      {"PUSHINT8 0; BITNEG", "int8 -1"},
      {"PUSHUINT16 0; BITNEG", "uint16 65535"},
      {"PUSHUINT32 1; BITNEG", "uint32 4294967294"},
      {"PUSHINT64 0; BITNEG", "int64 -1"},
      {"PUSHBOOL 5; BITNEG", "bool 0"},
      {"PUSHFLOAT 1.0; BITNEG", "error 18 Type float not allowed in (~)."},
      // NONZERO leaves a value of the operand's own type.
      {"PUSHDOUBLE 0.5; NONZERO", "double 1"},
      {"PUSHDOUBLE -0.0; NONZERO", "double 0"},
      {"PUSHDOUBLE nan; NONZERO", "double 1"},
      {"PUSHFLOAT 2.5; NONZERO", "float 1"},
      {"PUSHINT64 4294967296; NONZERO", "int64 1"},
      {"PUSHINT16 256; NONZERO", "int16 1"},
      {"PUSHUINT8 0; NONZERO", "uint8 0"},
      {"PUSHBOOL 7; NONZERO", "bool 1"},
      {"NEG", "error 109 An underflow of the parameter stack occurred."},
      {"NONZERO", "error 109 An underflow of the parameter stack occurred."},
  });
}

TEST(Arithmetic, UnaryOperatorsOnArraysKeepTypeAndShape) {
  zt::runOn("NONZERO", [] { zt::pushArray<double>(ZEK_DOUBLE, {0.0, -2.5, 0.0, 1e-300, -0.0, 7.0}, {2, 3}); });
  EXPECT_EQ(zt::outcome(), "double[2][3] {0,1,0,1,0,1}");
  zt::runOn("NEG", [] { zt::pushArray<int16_t>(ZEK_INT16, {1, -32768, 0}); });
  EXPECT_EQ(zt::outcome(), "int16[3] {-1,-32768,0}");
}

// A scalar against an array takes the array's shape; a bool result takes one byte per element.
TEST(Arithmetic, ScalarWithArray) {
  struct Row {
    const char *code;
    std::function<void()> operands;
    const char *expected;
    uint32_t bytes;  // value-stack bytes afterwards, with the int32 below the operands
  };
  const Row rows[] = {
      {"LT", [] { zt::pushScalar<int32_t>(ZEK_INT32, 5); zt::pushArray<int32_t>(ZEK_INT32, {1, 7, 9}); },
       "bool[3] {0,1,1}", 4 + 3},
      {"LT", [] { zt::pushArray<int32_t>(ZEK_INT32, {1, 7, 9}); zt::pushScalar<int32_t>(ZEK_INT32, 5); },
       "bool[3] {1,0,0}", 4 + 3},
      {"MINUS", [] { zt::pushScalar<double>(ZEK_DOUBLE, 10.0); zt::pushArray<double>(ZEK_DOUBLE, {1, 2, 3, 4}, {2, 2}); },
       "double[2][2] {9,8,7,6}", 4 + 32},
      {"DIV", [] { zt::pushArray<int16_t>(ZEK_INT16, {-9, 9}); zt::pushScalar<int16_t>(ZEK_INT16, 2); },
       "int16[2] {-4,4}", 4 + 4},
      {"SHIFTRIGHT", [] { zt::pushArray<int16_t>(ZEK_INT16, {1, -32768}); zt::pushScalar<uint8_t>(ZEK_UINT8, 15); },
       "int16[2] {0,-1}", 4 + 4},
      {"GETBIT", [] { zt::pushScalar<int64_t>(ZEK_INT64, 5); zt::pushArray<uint8_t>(ZEK_UINT8, {0, 1, 2, 63}); },
       "bool[4] {1,0,1,0}", 4 + 4},
      // Counts wider results would overtake: every count is still read.
      {"SHIFTLEFT",
       [] { zt::pushScalar<int64_t>(ZEK_INT64, 1); zt::pushArray<uint8_t>(ZEK_UINT8, {0, 1, 2, 3, 4, 5, 6, 7, 8, 40, 63}); },
       "int64[11] {1,2,4,8,16,32,64,128,256,1099511627776,-9223372036854775808}", 4 + 88},
      {"SHIFTLEFT", [] { zt::pushScalar<int16_t>(ZEK_INT16, 3); zt::pushArray<uint8_t>(ZEK_UINT8, {0, 1, 2, 14, 15, 16}); },
       "int16[6] {3,6,12,-16384,-32768,0}", 4 + 12},
  };
  for (const Row &row : rows) {
    zt::runOn(row.code, [&] {
      zt::pushScalar<int32_t>(ZEK_INT32, 77);
      row.operands();
    });
    EXPECT_EQ(zt::outcome(), row.expected) << row.code;
    EXPECT_EQ(zek_pstack_count(), row.bytes) << row.code;
    EXPECT_EQ(zt::valueText(1), "int32 77") << row.code;
  }
}

TEST(Arithmetic, ArrayWithArray) {
  zt::runOn("PLUS", [] {
    zt::pushArray<int32_t>(ZEK_INT32, {1, 2, 3, 4, 5, 6}, {2, 3});
    zt::pushArray<int32_t>(ZEK_INT32, {10, 20, 30, 40, 50, 60}, {2, 3});
  });
  EXPECT_EQ(zt::outcome(), "int32[2][3] {11,22,33,44,55,66}");
  EXPECT_EQ(zek_pstack_valueCount(), 1u);
  EXPECT_EQ(vmstate0.sizes.top - vmstate0.sizes.base, 3);  // two dimensions and the marker

  zt::runOn("EQ", [] {
    zt::pushArray<double>(ZEK_DOUBLE, {1.0, std::nan(""), 0.0, 2.0}, {2, 2});
    zt::pushArray<double>(ZEK_DOUBLE, {1.0, std::nan(""), -0.0, 3.0}, {2, 2});
  });
  EXPECT_EQ(zt::outcome(), "bool[2][2] {1,0,1,0}");
  EXPECT_EQ(zek_pstack_count(), 4u);

  zt::runOn("SHIFTLEFT", [] {
    zt::pushArray<uint16_t>(ZEK_UINT16, {1, 1, 1});
    zt::pushArray<uint8_t>(ZEK_UINT8, {0, 4, 15});
  });
  EXPECT_EQ(zt::outcome(), "uint16[3] {1,16,32768}");
}

TEST(Arithmetic, ArraysOfDifferentShapeOrTypeAreRefused) {
  struct Row {
    std::function<void()> operands;
    const char *expected;
  };
  const Row rows[] = {
      {[] { zt::pushArray<int32_t>(ZEK_INT32, {1, 2, 3, 4, 5, 6}); zt::pushArray<int32_t>(ZEK_INT32, {1, 2, 3, 4, 5, 6}, {2, 3}); },
       "error 111 Array with different sub-dimensions int32[6] and int32[2][3] not allowed."},
      {[] { zt::pushArray<int32_t>(ZEK_INT32, {1, 2, 3}); zt::pushArray<int32_t>(ZEK_INT32, {1, 2, 3, 4}); },
       "error 111 Array with different sub-dimensions int32[3] and int32[4] not allowed."},
      {[] { zt::pushArray<int32_t>(ZEK_INT32, {1, 2, 3, 4, 5, 6}, {3, 2}); zt::pushArray<int32_t>(ZEK_INT32, {1, 2, 3, 4, 5, 6}, {2, 3}); },
       "error 111 Array with different sub-dimensions int32[3][2] and int32[2][3] not allowed."},
      {[] { zt::pushArray<int32_t>(ZEK_INT32, {1, 2}); zt::pushArray<int16_t>(ZEK_INT16, {1, 2}); },
       "error 18 Type mismatch in operation '+'. int32 != int16."},
  };
  for (const Row &row : rows) {
    zt::runOn("PLUS", row.operands);
    EXPECT_EQ(zt::outcome(), row.expected);
    EXPECT_EQ(zek_pstack_valueCount(), 0u);  // both operands popped, nothing pushed
  }
}

// A type error leaves both operands popped; a kernel error leaves the result descriptor.
TEST(Arithmetic, WhatAnErrorLeavesOnTheStack) {
  const struct {
    const char *code;
    uint32_t values;
  } rows[] = {
      {"PUSHINT32 1; PUSHINT16 1; PLUS", 0},
      {"PUSHINT32 1; PUSHINT32 1; SHIFTLEFT", 0},
      {"PUSHINT32 7; PUSHINT32 0; DIV", 1},
      {"PUSHTRUE; PUSHTRUE; PLUS", 1},
      {"PUSHINT32 1; PUSHUINT8 32; SHIFTRIGHT", 1},
  };
  for (const auto &row : rows) {
    zt::runOn(row.code);
    EXPECT_TRUE(zek_hasError()) << row.code;
    EXPECT_EQ(zek_pstack_valueCount(), row.values) << row.code;
  }
}

// Kernel errors do not stop the element loop: each failing element raises, the others are
// computed, and the last message stands.
TEST(Arithmetic, KernelErrorsRaiseOncePerElement) {
  ZekErrorHandler previous = zek_setErrorHandler(zt::countRaise);
  zt::raised = 0;
  zt::runOn("DIV", [] {
    zt::pushArray<int32_t>(ZEK_INT32, {10, 10, 10, 10});
    zt::pushArray<int32_t>(ZEK_INT32, {2, 0, 5, 0});
  });
  EXPECT_EQ(zt::raised, 2);
  EXPECT_EQ(zt::bareError(), "Division by zero (int32).");
  std::vector<int32_t> result = zt::topArray<int32_t>();
  EXPECT_EQ(result[0], 5);
  EXPECT_EQ(result[2], 2);

  zt::raised = 0;
  zt::runOn("SHIFTLEFT", [] {
    zt::pushScalar<int32_t>(ZEK_INT32, 1);
    zt::pushArray<uint8_t>(ZEK_UINT8, {1, 40, 2, 50});
  });
  EXPECT_EQ(zt::raised, 2);
  EXPECT_EQ(zt::bareError(), "Bit shift << forbidden. Shift 50 must be smaller than 32.");
  result = zt::topArray<int32_t>();
  EXPECT_EQ(result[0], 2);
  EXPECT_EQ(result[2], 4);

  zt::raised = 0;
  zt::runOn("PLUS", [] {
    zt::pushArray<uint8_t>(ZEK_BOOL, {1, 0, 1});
    zt::pushArray<uint8_t>(ZEK_BOOL, {1, 1, 0});
  });
  EXPECT_EQ(zt::raised, 3);
  EXPECT_EQ(zt::bareError(), "Type bool not allowed in PLUS.");
  zek_setErrorHandler(previous);
}

TEST(Arithmetic, ResultThatDoesNotFitOverflows) {
  // 2000 one-byte counts shifting an int64 scalar need 16000 result bytes.
  zt::runOn("SHIFTLEFT", [] {
    zt::pushScalar<int64_t>(ZEK_INT64, 1);
    zt::pushArray<uint8_t>(ZEK_UINT8, std::vector<uint8_t>(2000, 1));
  });
  EXPECT_EQ(zt::outcome(), "error 108 An overflow of the parameter stack occurred.");
}

// The kernels and loops as the standard functions and structure operations call them.
TEST(Arithmetic, KernelsAndLoopsCalledDirectly) {
  zek_resetError();
  int32_t a = 7, b = 3, r = 0;
  __MINUS(&r, &a, &b, ZEK_INT32);
  EXPECT_EQ(r, 4);
  __MODULO(&a, &a, &b, ZEK_INT32);  // result over the left operand
  EXPECT_EQ(a, 1);

  // Unaligned operands.
  uint8_t bytes[1 + 3 * 8] = {};
  double x = 1.5, y = 2.25;
  std::memcpy(bytes + 1, &x, 8);
  std::memcpy(bytes + 9, &y, 8);
  __MULT(bytes + 17, bytes + 1, bytes + 9, ZEK_DOUBLE);
  EXPECT_EQ(zek_load_as<double>(bytes + 17), 3.375);

  int64_t v = 5;
  __BITNEG(&v, ZEK_INT64);
  EXPECT_EQ(v, -6);

  float values[3] = {1.0f, -2.0f, 0.5f}, two = 2.0f;
  zek_loop_MULT((uint8_t *)values, (const uint8_t *)values, (const uint8_t *)&two, 3, ZEK_EACH_OP_ONE, ZEK_FLOAT);
  EXPECT_EQ(values[0], 2.0f);
  EXPECT_EQ(values[1], -4.0f);
  EXPECT_EQ(values[2], 1.0f);
  EXPECT_FALSE(zek_hasError());

  uint8_t c = 0;
  __PLUS(&c, &c, &c, 0);
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_TYPE);
  EXPECT_EQ(zt::bareError(), "Type ?0? not allowed in PLUS.");
}

}  // namespace
