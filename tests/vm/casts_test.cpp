#include <cfloat>
#include <cmath>

#include "arithmetic.h"
#include "operand_stack.h"

namespace {

using zt::expectOutcomes;

// Target types: 1 uint8, 2 int8, 3 uint16, 4 int16, 5 uint32, 6 int32, 7 int64, 8 float,
// 9 double, 10 bool.
TEST(Cast, NarrowIntegerSources) {
  expectOutcomes({
      {"PUSHINT32 300; CAST 1", "error 104 Cannot cast value 300 from type int32 to type uint8 (out of range)."},
      {"PUSHUINT8 200; CAST 2", "error 104 Cannot cast value 200 from type int32 to type int8 (out of range)."},
      {"PUSHINT8 -1; CAST 1", "error 104 Cannot cast value -1 from type int32 to type uint8 (out of range)."},
      {"PUSHINT16 -129; CAST 2", "error 104 Cannot cast value -129 from type int32 to type int8 (out of range)."},
      {"PUSHINT16 -128; CAST 2", "int8 -128"},
      {"PUSHUINT8 255; CAST 1", "uint8 255"},
      {"PUSHINT32 65535; CAST 3", "uint16 65535"},
      {"PUSHINT32 65536; CAST 3", "error 104 Cannot cast value 65536 from type int32 to type uint16 (out of range)."},
      {"PUSHINT32 -32768; CAST 4", "int16 -32768"},
      {"PUSHINT32 32768; CAST 4", "error 104 Cannot cast value 32768 from type int32 to type int16 (out of range)."},
      {"PUSHINT32 -1; CAST 5", "error 104 Cannot cast value -1 from type int32 to type uint32 (out of range)."},
      {"PUSHINT32 2147483647; CAST 5", "uint32 2147483647"},
      {"PUSHUINT16 65535; CAST 6", "int32 65535"},
      {"PUSHINT32 -2147483648; CAST 7", "int64 -2147483648"},
      {"PUSHINT32 16777217; CAST 8", "float 16777216"},
      {"PUSHINT32 -7; CAST 9", "double -7"},
      {"PUSHINT32 256; CAST 10", "bool 1"},
      {"PUSHINT16 0; CAST 10", "bool 0"},
      // bool is its byte in the narrow class.
      {"PUSHBOOL 200; CAST 2", "error 104 Cannot cast value 200 from type int32 to type int8 (out of range)."},
      {"PUSHBOOL 200; CAST 1", "uint8 200"},
      {"PUSHBOOL 200; CAST 9", "double 200"},
  });
}

TEST(Cast, Uint32AndInt64Sources) {
  expectOutcomes({
      {"PUSHUINT32 127; CAST 2", "int8 127"},
      {"PUSHUINT32 128; CAST 2", "error 104 Cannot cast value 128 from type uint32 to type int8 (out of range)."},
      {"PUSHUINT32 65536; CAST 3", "error 104 Cannot cast value 65536 from type uint32 to type uint16 (out of range)."},
      {"PUSHUINT32 2147483647; CAST 6", "int32 2147483647"},
      {"PUSHUINT32 4294967295; CAST 6",
       "error 104 Cannot cast value 4294967295 from type uint32 to type int32 (out of range)."},
      {"PUSHUINT32 4294967295; CAST 7", "int64 4294967295"},
      {"PUSHUINT32 4294967295; CAST 8", "float 4.2949673e+09"},
      {"PUSHUINT32 4294967295; CAST 10", "bool 1"},
      {"PUSHINT64 -1; CAST 5", "error 104 Cannot cast value -1 from type int64 to type uint32 (out of range)."},
      {"PUSHINT64 4294967295; CAST 5", "uint32 4294967295"},
      {"PUSHINT64 4294967296; CAST 5",
       "error 104 Cannot cast value 4294967296 from type int64 to type uint32 (out of range)."},
      {"PUSHINT64 -2147483648; CAST 6", "int32 -2147483648"},
      {"PUSHINT64 -2147483649; CAST 6",
       "error 104 Cannot cast value -2147483649 from type int64 to type int32 (out of range)."},
      {"PUSHINT64 -9223372036854775808; CAST 4",
       "error 104 Cannot cast value -9223372036854775808 from type int64 to type int16 (out of range)."},
      {"PUSHINT64 -128; CAST 2", "int8 -128"},
      {"PUSHINT64 9223372036854775807; CAST 9", "double 9.2233720368547758e+18"},
      {"PUSHINT64 4294967296; CAST 10", "bool 1"},
  });
}

TEST(Cast, FloatingSourcesTruncateTowardZeroWithinExactBounds) {
  expectOutcomes({
      {"PUSHDOUBLE 255.9; CAST 1", "uint8 255"},
      {"PUSHDOUBLE 256.0; CAST 1", "error 104 Cannot cast value 256.000000 from type double to type uint8 (out of range)."},
      {"PUSHDOUBLE -0.5; CAST 1", "error 104 Cannot cast value -0.500000 from type double to type uint8 (out of range)."},
      {"PUSHDOUBLE -0.5; CAST 2", "int8 0"},
      {"PUSHDOUBLE 2.7; CAST 2", "int8 2"},
      {"PUSHDOUBLE -2.7; CAST 2", "int8 -2"},
      {"PUSHDOUBLE -128.9; CAST 2", "error 104 Cannot cast value -128.900000 from type double to type int8 (out of range)."},
      {"PUSHDOUBLE 127.99; CAST 2", "int8 127"},
      {"PUSHFLOAT 65535.99; CAST 3", "uint16 65535"},
      {"PUSHFLOAT -0.5; CAST 4", "int16 0"},
      {"PUSHDOUBLE 4294967295.5; CAST 5", "uint32 4294967295"},
      {"PUSHDOUBLE 4294967296.0; CAST 5",
       "error 104 Cannot cast value 4294967296.000000 from type double to type uint32 (out of range)."},
      {"PUSHDOUBLE 2147483647.9; CAST 6", "int32 2147483647"},
      {"PUSHDOUBLE 2147483648.0; CAST 6",
       "error 104 Cannot cast value 2147483648.000000 from type double to type int32 (out of range)."},
      {"PUSHDOUBLE -2147483648.0; CAST 6", "int32 -2147483648"},
      {"PUSHDOUBLE 9223372036854774784.0; CAST 7", "int64 9223372036854774784"},
      {"PUSHDOUBLE 9223372036854775808.0; CAST 7",
       "error 104 Cannot cast value 9223372036854775808.000000 from type double to type int64 (out of range)."},
      {"PUSHDOUBLE -9223372036854775808.0; CAST 7", "int64 -9223372036854775808"},
      {"PUSHDOUBLE inf; CAST 7", "error 104 Cannot cast value inf from type double to type int64 (out of range)."},
      {"PUSHDOUBLE -inf; CAST 1", "error 104 Cannot cast value -inf from type double to type uint8 (out of range)."},
      // A float reports the floating class "double".
      {"PUSHFLOAT nan; CAST 6", "error 104 Cannot cast value nan from type double to type int32 (out of range)."},
      {"PUSHFLOAT nan; CAST 10", "bool 1"},
      {"PUSHDOUBLE -0.0; CAST 10", "bool 0"},
      {"PUSHDOUBLE 1e-300; CAST 10", "bool 1"},
      {"PUSHDOUBLE 0.1; CAST 8", "float 0.100000001"},
      {"PUSHDOUBLE 1e300; CAST 8", "float inf"},
      {"PUSHDOUBLE -1e300; CAST 8", "float -inf"},
      {"PUSHDOUBLE 3.4028235e38; CAST 8", "float 3.40282347e+38"},
      {"PUSHDOUBLE nan; CAST 8", "float nan"},
      {"PUSHFLOAT 1.5; CAST 9", "double 1.5"},
  });
}

TEST(Cast, RefusesAnUnknownTargetBeforeTouchingTheStack) {
  for (const char *code : {"PUSHINT32 5; CAST 0", "PUSHINT32 5; CAST 11", "PUSHINT32 5; CAST 255"}) {
    zt::runOn(code);
    EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_TYPE) << code;
    EXPECT_EQ(zek_pstack_valueCount(), 1u) << code;
    EXPECT_EQ(zt::valueText(), "int32 5") << code;
  }
  zt::runOn("CAST 11");
  EXPECT_EQ(zt::outcome(), "error 18 Type 11 not allowed in zek_getBaseTypeSize().");
  zt::runOn("CAST 6");
  EXPECT_EQ(zt::outcome(), "error 109 An underflow of the parameter stack occurred.");
}

TEST(Cast, ToTheOwnTypeLeavesTheStacksAsTheyWere) {
  zt::runOn("CAST 9", [] { zt::pushArray<double>(ZEK_DOUBLE, {1.0, 2.0, 3.0, 4.0, 5.0, 6.0}, {3, 2}); });
  std::vector<uint32_t> sizes(vmstate0.sizes.base, vmstate0.sizes.top);
  EXPECT_FALSE(zek_hasError());
  EXPECT_EQ(sizes, (std::vector<uint32_t>{3, 2, 0x80000002u}));
  EXPECT_EQ(zek_pstack_count(), 48u);
  EXPECT_EQ(zt::valueText(), "double[3][2] {1,2,3,4,5,6}");

  zt::runOn("CAST 6", [] { zt::pushScalar<int32_t>(ZEK_INT32, -9); });
  EXPECT_EQ(zek_pstack_count(), 4u);
  EXPECT_EQ(zt::outcome(), "int32 -9");
}

TEST(Cast, ArraysConvertInPlaceInBothDirections) {
  zt::runOn("CAST 9", [] {
    zt::pushScalar<int32_t>(ZEK_INT32, 77);
    zt::pushArray<int8_t>(ZEK_INT8, {1, -2, 3});
  });
  EXPECT_EQ(zt::outcome(), "double[3] {1,-2,3}");
  EXPECT_EQ(zek_pstack_count(), 4u + 24u);
  EXPECT_EQ(zt::valueText(1), "int32 77");

  zt::runOn("CAST 2", [] {
    zt::pushScalar<int32_t>(ZEK_INT32, 77);
    zt::pushArray<double>(ZEK_DOUBLE, {1.0, 2.0});
  });
  EXPECT_EQ(zt::outcome(), "int8[2] {1,2}");
  EXPECT_EQ(zek_pstack_count(), 4u + 2u);
  EXPECT_EQ(zt::valueText(1), "int32 77");

  zt::runOn("CAST 9", [] { zt::pushArray<uint16_t>(ZEK_UINT16, {1, 2, 3, 4, 5, 65535}, {2, 3}); });
  EXPECT_EQ(zt::outcome(), "double[2][3] {1,2,3,4,5,65535}");

  std::vector<int16_t> many(1000);
  for (size_t i = 0; i < many.size(); ++i) many[i] = (int16_t)(i * 37 - 18000);
  zt::runOn("CAST 7; CAST 8; CAST 4", [&] { zt::pushArray<int16_t>(ZEK_INT16, many); });
  EXPECT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(zt::topArray<int16_t>(), many);
}

TEST(Cast, StopsAtTheFirstElementOutOfRange) {
  // Narrowing runs forward: element 0 is converted, 1 fails, 2 keeps the byte that was there
  // (byte 2 of the double 1.0, which is 0).
  zt::runOn("CAST 1", [] { zt::pushArray<double>(ZEK_DOUBLE, {1.0, 300.0, 2.0}); });
  EXPECT_EQ(zt::bareError(), "Cannot cast value 300.000000 from type double to type uint8 (out of range).");
  ZekValueView v = zt::topView();
  EXPECT_EQ(v.type, (uint32_t)ZEK_UINT8);
  EXPECT_EQ(zek_pstack_count(), 3u);
  EXPECT_EQ(v.bytes[0], 1);
  EXPECT_EQ(v.bytes[2], 0);

  // Widening runs backward: elements 2 and 1 are converted before element 0 fails.
  zt::runOn("CAST 3", [] { zt::pushArray<int8_t>(ZEK_INT8, {-1, 5, 6}); });
  EXPECT_EQ(zt::bareError(), "Cannot cast value -1 from type int32 to type uint16 (out of range).");
  std::vector<uint16_t> result = zt::topArray<uint16_t>();
  EXPECT_EQ(result[1], 5);
  EXPECT_EQ(result[2], 6);
}

TEST(Cast, ResultThatDoesNotFitOverflows) {
  zt::runOn("CAST 9", [] { zt::pushArray<uint8_t>(ZEK_UINT8, std::vector<uint8_t>(2000, 1)); });
  EXPECT_EQ(zt::outcome(), "error 108 An overflow of the parameter stack occurred.");
}

TEST(Cast, OneElementDirectly) {
  zek_resetError();
  uint8_t out[9] = {9, 9, 9, 9, 9, 9, 9, 9, 9};
  int32_t in = 5;
  EXPECT_TRUE(zek__CAST_one(out, &in, 0, ZEK_INT32));
  EXPECT_TRUE(zek__CAST_one(out, &in, ZEK_INT16, 11));
  EXPECT_EQ(out[0], 9);  // nothing written for an unknown type
  EXPECT_TRUE(zek__CAST_one(out + 1, &in, ZEK_INT64, ZEK_INT32));  // unaligned
  EXPECT_EQ(zek_load_as<int64_t>(out + 1), 5);
  in = -5;
  EXPECT_FALSE(zek__CAST_one(out, &in, ZEK_UINT8, ZEK_INT32));
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_SHAPE);
}

TEST(Cast, DoubleToScalar) {
  struct Row {
    uint32_t type;
    double x;
    const char *expected;
  };
  const double inf = HUGE_VAL, nan = std::nan("");
  const Row rows[] = {
      {ZEK_INT32, 2.999999995, "int32 3"},
      {ZEK_INT32, 2.99999, "int32 2"},
      {ZEK_INT32, -0.5, "int32 -1"},
      {ZEK_UINT8, 256.0, "uint8 0"},
      {ZEK_INT8, 200.0, "int8 -56"},
      {ZEK_UINT16, 65539.0, "uint16 3"},
      {ZEK_UINT32, -1.0, "uint32 4294967295"},
      {ZEK_UINT32, 4294967296.0, "uint32 0"},
      {ZEK_INT64, -3.5, "int64 -4"},
      {ZEK_BOOL, 0.9, "bool 0"},
      {ZEK_BOOL, 1.5, "bool 1"},
      {ZEK_BOOL, 2.0, "bool 2"},
      {ZEK_BOOL, -1.0, "bool 255"},
      {ZEK_FLOAT, 0.1, "float 0.100000001"},
      {ZEK_FLOAT, 1e300, "float inf"},
      {ZEK_DOUBLE, -0.0, "double -0"},
      // NaN gives 0; beyond the intermediate the intermediate saturates before its low bits are
      // stored.
      {ZEK_INT32, nan, "int32 0"},
      {ZEK_UINT8, nan, "uint8 0"},
      {ZEK_BOOL, nan, "bool 0"},
      {ZEK_INT64, nan, "int64 0"},
      {ZEK_INT32, inf, "int32 2147483647"},
      {ZEK_INT32, -inf, "int32 -2147483648"},
      {ZEK_INT32, 3e9, "int32 2147483647"},
      {ZEK_UINT16, 1e20, "uint16 65535"},
      {ZEK_UINT8, -1e20, "uint8 0"},
      {ZEK_INT64, 1e19, "int64 9223372036854775807"},
      {ZEK_INT64, -1e19, "int64 -9223372036854775808"},
      {ZEK_UINT32, 1e30, "uint32 4294967295"},
      {ZEK_BOOL, -1e12, "bool 0"},
  };
  for (const Row &row : rows) {
    uint8_t out[9] = {};
    double2scalar(row.type, out + 1, row.x);  // unaligned
    EXPECT_EQ(std::string(zek_getBaseTypeName(row.type)) + " " + zt::elementText(row.type, out + 1), row.expected)
        << row.x;
  }
  uint8_t untouched = 7;
  double2scalar(0, &untouched, 1.0);
  EXPECT_EQ(untouched, 7);
}

TEST(Cast, ScalarToDouble) {
  uint8_t b = 255;
  int64_t big = INT64_MAX;
  uint32_t u = 4294967295u;
  int16_t s = -32768;
  float f = 0.1f;
  EXPECT_EQ(scalar2double(ZEK_BOOL, &b), 255.0);
  EXPECT_EQ(scalar2double(ZEK_INT8, &b), -1.0);
  EXPECT_EQ(scalar2double(ZEK_INT64, &big), 9223372036854775808.0);
  EXPECT_EQ(scalar2double(ZEK_UINT32, &u), 4294967295.0);
  EXPECT_EQ(scalar2double(ZEK_INT16, &s), -32768.0);
  EXPECT_EQ(scalar2double(ZEK_FLOAT, &f), (double)0.1f);
  EXPECT_EQ(scalar2double(0, &b), 0.0);
}

}  // namespace
