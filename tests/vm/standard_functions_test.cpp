#include <cmath>
#include <limits>

#include "standard_functions.h"
#include "vm_harness.h"

namespace {

using zt::Program;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Runs code (ENDCYCLE appended) in a program with the given channels.
zt::Loaded run(const std::string &code, Program p = Program()) {
  p.code = code + "; ENDCYCLE";
  return zt::runProgram(p);
}

// The bytes of a double as text for PUSHDOUBLE: the assembler reads it back exactly.
std::string num(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

// Runs each code in a program with a two-element array channel a and checks the error it raises.
void expectRefusals(std::initializer_list<zt::ErrorRow> rows) {
  for (const zt::ErrorRow &row : rows) {
    Program p;
    p.channel("a", ZEK_DOUBLE, 3, 2);
    auto l = run(row.code, p);
    zt::expectError(row);
  }
}

// How often an error is raised while f runs.
template <class F> int raisesDuring(F f) {
  static int count;
  count = 0;
  zek_resetError();  // a standing error would be reported to the handler at once
  ZekErrorHandler previous = zek_setErrorHandler([] { ++count; });
  f();
  zek_setErrorHandler(previous);
  return count;
}

bool sameDouble(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

// ---- Dispatch ----

TEST(StandardFunctions, UnknownCodesAreRefusedAndChangeNothing) {
  for (int code : {26, 255}) {
    auto l = run("PUSHDOUBLE 2.5; FUNCTION " + std::to_string(code));
    EXPECT_EQ(zek_getErrorCode(), 103) << code;
    EXPECT_EQ(zt::bareError(), "Std. Function with unknown function code " + std::to_string(code) + " has been called.");
    ASSERT_EQ(zek_pstack_valueCount(), 1u);
    EXPECT_EQ(zt::top<double>(), 2.5);
  }
  EXPECT_EQ(zek_functionCount, 26);
}

TEST(StandardFunctions, EveryCodeReachesItsFunction) {
  struct Row {
    int code;
    const char *operands;
    double expected;
  };
  const Row rows[] = {
      {0, "PUSHDOUBLE 0.5", std::sin(0.5)},  {1, "PUSHDOUBLE 0.5", std::cos(0.5)},
      {2, "PUSHDOUBLE 0.5", std::tan(0.5)},  {3, "PUSHDOUBLE 0.5", std::asin(0.5)},
      {4, "PUSHDOUBLE 0.5", std::acos(0.5)}, {5, "PUSHDOUBLE 0.5", std::atan(0.5)},
      {6, "PUSHDOUBLE 2; PUSHDOUBLE 10", 1024}, {7, "PUSHDOUBLE 0.5", std::exp(0.5)},
      {8, "PUSHDOUBLE 0.5", std::log(0.5)},  {9, "PUSHDOUBLE 0.25", 0.5},
      {10, "PUSHDOUBLE -1.5", -2},           {11, "PUSHDOUBLE -1.5", -1},
      {12, "PUSHDOUBLE 2.5", 3},             {13, "PUSHDOUBLE 1; PUSHDOUBLE 2", 2},
      {14, "PUSHDOUBLE 1; PUSHDOUBLE 2", 1}, {15, "PUSHDOUBLE -1.5", 1.5},
      {18, "PUSHDOUBLE 4", 4},               {19, "PUSHDOUBLE 4", 4},
      {20, "PUSHDOUBLE 4", 4},               {21, "PUSHINT64 4607182418800017408", 1},
      {23, "PUSHDOUBLE 2.345; PUSHUINT8 2", 2.35},
  };
  for (const Row &row : rows) {
    auto l = run(std::string(row.operands) + "; FUNCTION " + std::to_string(row.code));
    ASSERT_EQ(zek_getErrorCode(), 0) << row.code << ": " << zt::errorText();
    ASSERT_EQ(zek_pstack_valueCount(), 1u) << row.code;
    EXPECT_EQ(zt::topView().type, (uint32_t)ZEK_DOUBLE) << row.code;
    EXPECT_EQ(zt::top<double>(), row.expected) << row.code;
  }
  auto l = run("PUSHINT32 0x3F800000; FUNCTION 22; PUSHFLOAT 1; FUNCTION 24; PUSHDOUBLE 1; FUNCTION 25");
  ASSERT_EQ(zek_getErrorCode(), 0) << zt::errorText();
  EXPECT_EQ(zt::top<int64_t>(), 4607182418800017408);
  EXPECT_EQ(zt::top<int32_t>(1), 0x3F800000);
  EXPECT_EQ(zt::topView(2).type, (uint32_t)ZEK_FLOAT);
  EXPECT_EQ(zt::top<float>(2), 1.0f);
}

// ---- Unary functions ----

TEST(StandardFunctions, FloatOnlyFunctionsRefuseOtherTypesAndKeepTheOperand) {
  const std::pair<int, const char *> functions[] = {
      {0, "sin()"},   {1, "cos()"},  {2, "tan()"},   {3, "asin()"},   {4, "acos()"}, {5, "atan()"},
      {7, "exp()"},   {8, "log()"},  {9, "sqrt()"},  {10, "floor()"}, {11, "ceil()"}, {12, "rint()"},
  };
  for (auto [code, text] : functions) {
    auto l = run("PUSHINT32 7; FUNCTION " + std::to_string(code));
    EXPECT_EQ(zek_getErrorCode(), 18) << text;
    EXPECT_EQ(zt::bareError(), std::string("Type int32 not allowed in ") + text + ".");
    ASSERT_EQ(zek_pstack_valueCount(), 1u) << text;
    EXPECT_EQ(zt::top<int32_t>(), 7) << text;
  }
  auto l = run("PUSHINT32 7; PUSHUINT8 1; FUNCTION 23");
  EXPECT_EQ(zt::bareError(), "Type int32 not allowed in rint().");
  for (const char *code : {"PUSHUINT16 3; FUNCTION 15", "PUSHTRUE; FUNCTION 15"}) {
    auto l2 = run(code);
    EXPECT_EQ(zek_getErrorCode(), 18);
    EXPECT_EQ(zt::bareError(), std::string("Type ") + (code[4] == 'U' ? "uint16" : "bool") + " not allowed in abs().");
  }
}

TEST(StandardFunctions, DomainErrorsGiveTheLibraryResult) {
  auto l = run("PUSHDOUBLE -1; FUNCTION 9; PUSHDOUBLE 0; FUNCTION 8; PUSHFLOAT -2; FUNCTION 3");
  EXPECT_EQ(zek_getErrorCode(), 0);
  EXPECT_TRUE(std::isnan(zt::top<float>()));
  EXPECT_EQ(zt::top<double>(1), -kInf);
  EXPECT_TRUE(std::isnan(zt::top<double>(2)));
}

TEST(StandardFunctions, FloatsAreComputedInDoubleAndRoundedBack) {
  auto l = run("PUSHFLOAT 0.7; FUNCTION 0; PUSHFLOAT 3; PUSHFLOAT 0.5; FUNCTION 6");
  EXPECT_EQ(zt::topView().type, (uint32_t)ZEK_FLOAT);
  EXPECT_EQ(zt::top<float>(), (float)std::sqrt(3.0));
  EXPECT_EQ(zt::top<float>(1), (float)std::sin((double)0.7f));
}

TEST(StandardFunctions, ArraysAreComputedElementByElementInPlace) {
  Program p;
  p.channel("v", ZEK_DOUBLE, 3, 3).init = zt::bytesOf<double>({1.5, -1.5, 2.0});
  auto l = run("READALL v; FUNCTION 10", p);
  ASSERT_EQ(zek_getErrorCode(), 0) << zt::errorText();
  EXPECT_EQ(zt::topView().total, 3u);
  EXPECT_EQ(zt::topArray<double>(), (std::vector<double>{1, -2, 2}));
  // A refused type raises once per element; the last message stands and nothing changes.
  Program q;
  q.channel("n", ZEK_INT16, 3, 2).init = zt::bytesOf<int16_t>({4, 9});
  EXPECT_EQ(raisesDuring([&] { run("READALL n; FUNCTION 9", q); }), 2);
  EXPECT_EQ(zt::bareError(), "Type int16 not allowed in sqrt().");
  EXPECT_EQ(zt::topArray<int16_t>(), (std::vector<int16_t>{4, 9}));
}

TEST(StandardFunctions, AbsKeepsTheMostNegativeValues) {
  struct Row {
    const char *push;
    int64_t expected;
  };
  const Row rows[] = {
      {"PUSHINT8 -128", -128},
      {"PUSHINT8 -5", 5},
      {"PUSHINT16 -32768", -32768},
      {"PUSHINT32 -2147483648", INT32_MIN},
      {"PUSHINT32 2147483647", INT32_MAX},
      {"PUSHINT64 -9223372036854775808", INT64_MIN},
      {"PUSHINT64 -9223372036854775807", INT64_MAX},
  };
  for (const Row &row : rows) {
    auto l = run(std::string(row.push) + "; FUNCTION 15");
    ASSERT_EQ(zek_getErrorCode(), 0) << row.push;
    ZekValueView v = zt::topView();
    int64_t got = v.type == ZEK_INT8    ? zt::top<int8_t>()
                  : v.type == ZEK_INT16 ? zt::top<int16_t>()
                  : v.type == ZEK_INT32 ? zt::top<int32_t>()
                                        : zt::top<int64_t>();
    EXPECT_EQ(got, row.expected) << row.push;
  }
  for (double x : {-3.5, -0.0, 0.0, kNaN, -kInf}) {
    auto l = run("PUSHDOUBLE " + num(x) + "; FUNCTION 15");
    double expected = x < 0 ? -x : x;
    EXPECT_TRUE(sameDouble(zt::top<double>(), expected)) << x;
  }
  auto l = run("PUSHFLOAT -2.5; FUNCTION 15");
  EXPECT_EQ(zt::top<float>(), 2.5f);
}

// ---- Rounding ----

TEST(StandardFunctions, RintTiesGoTowardsPlusInfinity) {
  const std::pair<double, double> rows[] = {
      {2.5, 3},   {-2.5, -2},  {3.5, 4},   {0.5, 1},     {-0.5, -0.0}, {2.4, 2},
      {-2.6, -3}, {-0.0, -0.0}, {0.0, 0.0}, {kNaN, kNaN}, {kInf, kInf}, {-kInf, -kInf},
      {0.49999999999999994, 0}, {4503599627370497.0, 4503599627370497.0}, {-1.5, -1},
  };
  for (auto [x, expected] : rows) {
    auto l = run("PUSHDOUBLE " + num(x) + "; FUNCTION 12");
    ASSERT_EQ(zek_getErrorCode(), 0);
    EXPECT_TRUE(sameDouble(zt::top<double>(), expected)) << x << " gave " << zt::top<double>();
  }
  auto l = run("PUSHFLOAT -2.5; FUNCTION 12; PUSHFLOAT -0.5; FUNCTION 12");
  EXPECT_EQ(zt::top<float>(1), -2.0f);
  EXPECT_TRUE(std::signbit(zt::top<float>()));
  EXPECT_EQ(zt::top<float>(), 0.0f);
}

TEST(StandardFunctions, RintWithDigits) {
  struct Row {
    double x;
    int digits;
    double expected;
  };
  const Row rows[] = {
      {2.345, 2, 2.35},  // the product is 234.50000000000003
      {-2.5, 0, -2},
      {1.25, 1, 1.3},
      {-1.25, 1, -1.2},
      {1e60, 255, 1e60},        // x * 10^255 overflows: x stays
      {-1e60, 255, -1e60},
      {0.0, 255, 0.0},
      {1.5, 0, 2},
      {1e308, 2, 1e308},        // x * 100 overflows: x stays
      {kNaN, 2, kNaN},
      {-kInf, 2, -kInf},
  };
  for (const Row &row : rows) {
    auto l = run("PUSHDOUBLE " + num(row.x) + "; PUSHUINT8 " + std::to_string(row.digits) + "; FUNCTION 23");
    ASSERT_EQ(zek_getErrorCode(), 0) << zt::errorText();
    ASSERT_EQ(zek_pstack_valueCount(), 1u);
    EXPECT_TRUE(sameDouble(zt::top<double>(), row.expected)) << row.x << " " << row.digits << " gave " << zt::top<double>();
  }
  auto l = run("PUSHFLOAT 1.25; PUSHUINT8 1; FUNCTION 23");
  EXPECT_EQ(zt::top<float>(), 1.3f);
}

TEST(StandardFunctions, RintWithDigitsNeedsAUint8Count) {
  expectRefusals({
      {"PUSHDOUBLE 1.25; PUSHINT8 1; FUNCTION 23", 18, "Type mismatch on parameter stack. Expected uint8, got int8."},
      {"PUSHDOUBLE 1.25; READALL a; FUNCTION 23", 104, "popScalar: Expected scalar, got array (2)."},
      {"FUNCTION 23", 109, "An underflow of the parameter stack occurred."},
      {"PUSHUINT8 1; FUNCTION 23", 109, "An underflow of the parameter stack occurred."},
  });
}

// ---- Binary functions ----

TEST(StandardFunctions, MinAndMaxOrderAndNaN) {
  struct Row {
    const char *code;
    double expected;
  };
  const Row rows[] = {
      {"PUSHINT32 -1; PUSHINT32 2; FUNCTION 13", 2},
      {"PUSHINT32 -1; PUSHINT32 2; FUNCTION 14", -1},
      {"PUSHUINT8 255; PUSHUINT8 1; FUNCTION 13", 255},
      {"PUSHUINT32 4294967295; PUSHUINT32 1; FUNCTION 14", 1},
      {"PUSHINT64 -5; PUSHINT64 3; FUNCTION 14", -5},
      {"PUSHDOUBLE nan; PUSHDOUBLE 1; FUNCTION 14", 1},
      {"PUSHDOUBLE 1; PUSHDOUBLE nan; FUNCTION 14", kNaN},
      {"PUSHDOUBLE nan; PUSHDOUBLE 1; FUNCTION 13", 1},
      {"PUSHDOUBLE 1; PUSHDOUBLE nan; FUNCTION 13", kNaN},
      {"PUSHFLOAT nan; PUSHFLOAT 1; FUNCTION 14", 1},
  };
  for (const Row &row : rows) {
    auto l = run(row.code);
    ASSERT_EQ(zek_getErrorCode(), 0) << row.code << ": " << zt::errorText();
    ZekValueView v = zt::topView();
    double got = v.type == ZEK_INT32    ? zt::top<int32_t>()
                 : v.type == ZEK_UINT8  ? zt::top<uint8_t>()
                 : v.type == ZEK_UINT32 ? zt::top<uint32_t>()
                 : v.type == ZEK_INT64  ? (double)zt::top<int64_t>()
                 : v.type == ZEK_FLOAT  ? zt::top<float>()
                                        : zt::top<double>();
    EXPECT_TRUE(sameDouble(got, row.expected)) << row.code << " gave " << got;
  }
}

TEST(StandardFunctions, BinaryFunctionsFollowTheOperatorRules) {
  expectRefusals({
      {"PUSHTRUE; PUSHFALSE; FUNCTION 13", 18, "Type bool not allowed in max()."},
      {"PUSHTRUE; PUSHFALSE; FUNCTION 14", 18, "Type bool not allowed in min()."},
      {"PUSHINT32 2; PUSHINT32 3; FUNCTION 6", 18, "Type int32 not allowed in pow()."},
      {"PUSHINT32 2; PUSHDOUBLE 3; FUNCTION 13", 18, "Type mismatch in operation max(). int32 != double."},
      {"PUSHFLOAT 2; PUSHDOUBLE 3; FUNCTION 6", 18, "Type mismatch in operation pow(). float != double."},
  });
  Program p;
  p.channel("a", ZEK_INT16, 3, 3).init = zt::bytesOf<int16_t>({1, 5, -3});
  auto l = run("READALL a; PUSHINT16 4; FUNCTION 13; PUSHINT16 0; READALL a; FUNCTION 14", p);
  ASSERT_EQ(zek_getErrorCode(), 0) << zt::errorText();
  EXPECT_EQ(zt::topArray<int16_t>(), (std::vector<int16_t>{0, 0, -3}));
  EXPECT_EQ(zt::topArray<int16_t>(1), (std::vector<int16_t>{4, 5, 4}));
}

// ---- Folds ----

TEST(StandardFunctions, FoldsAccumulateInTheElementType) {
  struct Row {
    const char *what;
    uint8_t type;
    std::vector<uint8_t> bytes;
    uint32_t count;
    int code;
    std::vector<uint8_t> expected;
  };
  const Row rows[] = {
      {"uint8 sum wraps", ZEK_UINT8, {200, 100}, 2, 20, {44}},
      {"float sum rounds at every step", ZEK_FLOAT, zt::bytesOf<float>({16777216.0f, 1.0f, 1.0f}), 3, 20,
       zt::bytesOf<float>({16777216.0f})},
      {"int64 sum wraps", ZEK_INT64, zt::bytesOf<int64_t>({INT64_MAX, 2}), 2, 20, zt::bytesOf<int64_t>({INT64_MIN + 1})},
      {"min runs left to right: a NaN first is passed over", ZEK_DOUBLE, zt::bytesOf<double>({kNaN, 1, 2}), 3, 18,
       zt::bytesOf<double>({1})},
      {"min runs left to right: a NaN later replaces the minimum", ZEK_DOUBLE, zt::bytesOf<double>({1, kNaN, 2}), 3,
       18, zt::bytesOf<double>({2})},
      {"max of int16", ZEK_INT16, zt::bytesOf<int16_t>({-7, 3, 12, -20}), 4, 19, zt::bytesOf<int16_t>({12})},
      {"one bool element is returned as it is", ZEK_BOOL, {7}, 1, 20, {7}},
  };
  for (const Row &row : rows) {
    Program p;
    p.channel("v", row.type, 3, row.count).init = row.bytes;
    auto l = run("READALL v; FUNCTION " + std::to_string(row.code), p);
    ASSERT_EQ(zek_getErrorCode(), 0) << row.what << ": " << zt::errorText();
    ASSERT_EQ(zek_pstack_valueCount(), 1u) << row.what;
    ZekValueView v = zt::topView();
    EXPECT_EQ(v.scalar, 1) << row.what;
    EXPECT_EQ(v.type, row.type) << row.what;
    EXPECT_EQ(std::vector<uint8_t>(v.bytes, v.bytes + row.expected.size()), row.expected) << row.what;
  }
}

TEST(StandardFunctions, FoldsOfMatricesScalarsBoolsAndEmptyArrays) {
  Program p;
  p.channel("m", ZEK_INT16, 3, 4).dims = std::vector<uint32_t>{2, 2};
  p.channels.back().init = zt::bytesOf<int16_t>({3, -9, 14, 2});
  p.channel("b", ZEK_BOOL, 3, 3).init = {1, 0, 1};
  auto l = run("READALL m; FUNCTION 19; READALL m; FUNCTION 18; PUSHDOUBLE 2.5; FUNCTION 20", p);
  ASSERT_EQ(zek_getErrorCode(), 0) << zt::errorText();
  EXPECT_EQ(zt::top<double>(), 2.5);
  EXPECT_EQ(zt::top<int16_t>(1), -9);
  EXPECT_EQ(zt::top<int16_t>(2), 14);

  for (auto [code, text] : {std::pair{18, "min()"}, std::pair{19, "max()"}, std::pair{20, "PLUS"}}) {
    std::string call = "READALL b; FUNCTION " + std::to_string(code);
    EXPECT_EQ(raisesDuring([&] { run(call, p); }), 2) << text;  // once per element after the first
    EXPECT_EQ(zt::bareError(), std::string("Type bool not allowed in ") + text + ".");
  }

  // An array with a dimension 0 has no elements.
  static const uint32_t empty[] = {3, 0};
  for (auto [code, error, message] :
       {std::tuple{20, 0, ""}, std::tuple{18, 111, "minarray() of an array without elements."},
        std::tuple{19, 111, "maxarray() of an array without elements."}}) {
    Program q;
    q.code = "FUNCTION " + std::to_string(code) + "; ENDCYCLE";
    auto lq = zt::runProgram(q, [&] {
      zek_pstack_pushValue(ZEK_INT32, 0, empty, 2);
      std::memset(vmstate0.values.top, 0x5A, 4);  // stale bytes where the scalar will lie
    });
    EXPECT_EQ(zek_getErrorCode(), error) << code;
    if (error == 0) {
      ASSERT_EQ(zek_pstack_valueCount(), 1u);
      EXPECT_EQ(zt::topView().scalar, 1);
      EXPECT_EQ(zt::top<int32_t>(), 0);
    } else {
      EXPECT_EQ(zt::bareError(), message);
      EXPECT_EQ(zek_pstack_valueCount(), 0u);
    }
  }
}

// ---- IEEE 754 bit views ----

TEST(StandardFunctions, BitViewsKeepEveryBit) {
  auto l = run("PUSHDOUBLE 1; FUNCTION 25; PUSHINT64 4607182418800017408; FUNCTION 21; PUSHFLOAT 1; FUNCTION 24");
  ASSERT_EQ(zek_getErrorCode(), 0);
  EXPECT_EQ(zt::top<int32_t>(), 0x3F800000);
  EXPECT_EQ(zt::top<double>(1), 1.0);
  EXPECT_EQ(zt::top<int64_t>(2), 4607182418800017408);

  // Signalling NaNs travel through both directions unchanged (a float load would quiet them).
  auto s = run("PUSHINT64 0x7FF0000000000001; FUNCTION 21; FUNCTION 25; PUSHINT32 0x7F800001; FUNCTION 22");
  ASSERT_EQ(zek_getErrorCode(), 0);
  ZekValueView f = zt::topView();
  EXPECT_EQ(f.type, (uint32_t)ZEK_FLOAT);
  EXPECT_EQ(zek_load_as<uint32_t>(f.bytes), 0x7F800001u);
  EXPECT_EQ(zt::topView(1).type, (uint32_t)ZEK_INT64);
  EXPECT_EQ(zt::top<int64_t>(1), 0x7FF0000000000001);
  auto r = run("PUSHINT32 0x7F800001; FUNCTION 22; FUNCTION 24");
  EXPECT_EQ(zt::top<int32_t>(), 0x7F800001);
}

TEST(StandardFunctions, BitViewsNeedTheirScalarType) {
  expectRefusals({
      {"PUSHDOUBLE 1; FUNCTION 21", 18, "Type mismatch on parameter stack. Expected int64, got double."},
      {"PUSHINT64 1; FUNCTION 22", 18, "Type mismatch on parameter stack. Expected int32, got int64."},
      {"PUSHDOUBLE 1; FUNCTION 24", 18, "Type mismatch on parameter stack. Expected float, got double."},
      {"PUSHFLOAT 1; FUNCTION 25", 18, "Type mismatch on parameter stack. Expected double, got float."},
      {"READALL a; FUNCTION 25", 104, "popScalarWithType: Expected scalar, got array (2)."},
      {"FUNCTION 21", 109, "An underflow of the parameter stack occurred."},
  });
}

// ---- Random numbers and time ----

std::vector<double> randomSequence(uint32_t seed) {
  Program p;
  p.seed = seed;
  auto l = run("FUNCTION 16; FUNCTION 16; FUNCTION 16; FUNCTION 16", p);
  EXPECT_EQ(zek_getErrorCode(), 0);
  std::vector<double> out;
  for (uint32_t i = 0; i < 4; ++i) out.push_back(zt::top<double>(i));
  return out;
}

TEST(StandardFunctions, RandomRepeatsWithEveryLoad) {
  std::vector<double> first = randomSequence(7);
  for (double r : first) {
    EXPECT_GE(r, 0.0);
    EXPECT_LE(r, 1.0);
  }
  EXPECT_EQ(randomSequence(7), first);
  EXPECT_NE(randomSequence(8), first);
}

TEST(StandardFunctions, GlobaltimeIsTheTimeOfTheCycle) {
  Program p;
  p.channel("g", ZEK_DOUBLE);
  p.channel("r", ZEK_DOUBLE);
  p.code = "FUNCTION 17; WRITEALL g; READREALTIME; WRITEALL r; ENDCYCLE";
  auto l = zt::load(p);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
  EXPECT_EQ(zt::value<double>("g"), 0.01 * 3);
  EXPECT_EQ(zt::value<double>("r"), 0.01 * 3);
}

}  // namespace
