#include <cmath>
#include <cstdio>
#include <limits>

#include "time_curves.h"
#include "vm_harness.h"

namespace {

using zt::Program;

const char *const kPush[] = {nullptr,      "PUSHUINT8", "PUSHINT8",  "PUSHUINT16", "PUSHINT16", "PUSHUINT32",
                             "PUSHINT32",  "PUSHINT64", "PUSHFLOAT", "PUSHDOUBLE", "PUSHBOOL"};

// The element bytes of values in a base type (integers from whole numbers).
std::vector<uint8_t> encode(uint8_t type, const std::vector<double> &values) {
  std::vector<uint8_t> out;
  for (double v : values) {
    uint8_t b[8];
    size_t n = 0;
    switch (type) {
      case ZEK_UINT8: case ZEK_BOOL: b[0] = (uint8_t)v, n = 1; break;
      case ZEK_INT8: b[0] = (uint8_t)(int8_t)v, n = 1; break;
      case ZEK_UINT16: { uint16_t x = (uint16_t)v; std::memcpy(b, &x, n = 2); break; }
      case ZEK_INT16: { int16_t x = (int16_t)v; std::memcpy(b, &x, n = 2); break; }
      case ZEK_UINT32: { uint32_t x = (uint32_t)v; std::memcpy(b, &x, n = 4); break; }
      case ZEK_INT32: { int32_t x = (int32_t)v; std::memcpy(b, &x, n = 4); break; }
      case ZEK_INT64: { int64_t x = (int64_t)v; std::memcpy(b, &x, n = 8); break; }
      case ZEK_FLOAT: { float x = (float)v; std::memcpy(b, &x, n = 4); break; }
      case ZEK_DOUBLE: std::memcpy(b, &v, n = 8); break;
    }
    out.insert(out.end(), b, b + n);
  }
  return out;
}

// The instruction that pushes v as a scalar of the type.
std::string push(uint8_t type, double v) {
  char text[64];
  if (type == ZEK_FLOAT || type == ZEK_DOUBLE) std::snprintf(text, sizeof text, "%s %.17g", kPush[type], v);
  else std::snprintf(text, sizeof text, "%s %lld", kPush[type], (long long)v);
  return text;
}

// The top scalar as a double, whatever its type.
double topAsDouble() {
  ZekValueView v = zt::topView();
  switch (v.type) {
    case ZEK_UINT8: case ZEK_BOOL: return zt::top<uint8_t>();
    case ZEK_INT8: return zt::top<int8_t>();
    case ZEK_UINT16: return zt::top<uint16_t>();
    case ZEK_INT16: return zt::top<int16_t>();
    case ZEK_UINT32: return zt::top<uint32_t>();
    case ZEK_INT32: return zt::top<int32_t>();
    case ZEK_INT64: return (double)zt::top<int64_t>();
    case ZEK_FLOAT: return zt::top<float>();
    case ZEK_DOUBLE: return zt::top<double>();
  }
  return NAN;
}

// ---- Time ----

TEST(Time, ClockValuesOfTheFirstCycles) {
  Program p;
  p.density = 10000;
  p.channel("t", ZEK_DOUBLE);
  p.channel("n", ZEK_UINT32);
  p.channel("dt", ZEK_DOUBLE);
  p.channel("rt", ZEK_DOUBLE);
  p.channel("rel", ZEK_DOUBLE);
  p.code =
      "READT; WRITEALL t; READCYCLECOUNT; WRITEALL n; READDENSITY; WRITEALL dt; READREALTIME; WRITEALL rt;"
      "PUSHUINT32 1; READT_RELATIVE; WRITEALL rel; ENDCYCLE";
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
  EXPECT_EQ(zt::value<double>("t"), 0.0);
  EXPECT_EQ(zt::value<uint32_t>("n"), 0u);
  EXPECT_EQ(zt::value<double>("dt"), 0.01);
  EXPECT_EQ(zt::value<double>("rt"), 0.0);
  // One cycle back from cycle 0 wraps round to 2^32 - 1 cycles.
  EXPECT_EQ(zt::value<double>("rel"), 4294967295.0 * 0.01);
  ASSERT_EQ(zek_runCycle(), 0u);
  ASSERT_EQ(zek_runCycle(), 0u);
  ASSERT_EQ(zek_runCycle(), 0u);
  EXPECT_EQ(zt::value<double>("t"), 0.01 * 3);
  EXPECT_EQ(zt::value<uint32_t>("n"), 3u);
  EXPECT_EQ(zt::value<double>("rt"), 0.01 * 3);
  EXPECT_EQ(zt::value<double>("rel"), 0.01 * 2);
}

// At 10000 us per cycle in cycle 5.
TEST(Time, TimeIndexTable) {
  struct Row {
    const char *what;
    uint32_t h;
    const char *t;
    uint16_t error;  // 0: the index is pushed
    uint32_t index;
    const char *message;
  };
  const Row rows[] = {
      {"a past cycle", 0, "0.03", 0, 2, ""},
      {"the margin absorbs rounding below", 0, "0.029999", 0, 2, ""},
      {"just below the margin is the cycle before", 0, "0.02998", 0, 3, ""},
      {"now", 0, "0.05", 0, 0, ""},
      {"the first cycle", 0, "0", 0, 5, ""},
      {"seen from two cycles back", 2, "0.01", 0, 2, ""},
      {"before the first cycle: left to the history read", 0, "-0.01", 0, 6, ""},
      {"cycle -2^31: the difference needs 33 bits", 0, "-21474836.48", 0, 2147483653u, ""},
      {"the most steps back there are", 0, "-42949672.90", 0, 4294967295u, ""},
      {"next cycle", 0, "0.06", 16, 0, "Trying to access value in the future (t+0.01s)."},
      {"h beyond the cycle count", 6, "0", 16, 0, "Trying to access value in the future (t+0.01s)."},
      {"beyond cycle 2^31", 0, "21474836.49", 16, 0, "Trying to access value in the future (t+2.14748e+07s)."},
      {"+inf", 0, "inf", 16, 0, "Trying to access value in the future (t+infs)."},
      {"NaN", 0, "nan", 18, 0, "Time nans cannot be turned into a number of cycles of 10000 us."},
      {"-inf", 0, "-inf", 18, 0, "Time -infs cannot be turned into a number of cycles of 10000 us."},
      {"more steps back than 32 bits hold", 0, "-42949672.91", 18, 0,
       "Time -4.29497e+07s cannot be turned into a number of cycles of 10000 us."},
      {"far past", 0, "-1e300", 18, 0, "Time -1e+300s cannot be turned into a number of cycles of 10000 us."},
      {"far future", 0, "1e300", 16, 0, "Trying to access value in the future (t+1e+300s)."},
  };
  for (const Row &row : rows) {
    Program p;
    p.density = 10000;
    p.code = "PUSHUINT32 " + std::to_string(row.h) + "; PUSHDOUBLE " + row.t + "; TOTIMEINDEX; ENDCYCLE";
    auto l = zt::load(p);
    vmstate0.cycleCount = 5;
    zt::execute(l);
    EXPECT_EQ(zek_getErrorCode(), row.error) << row.what << ": " << zt::errorText();
    if (row.error == 0) {
      ASSERT_EQ(zek_pstack_valueCount(), 1u) << row.what;
      EXPECT_EQ(zt::topView().type, (uint32_t)ZEK_UINT32);
      EXPECT_EQ(zt::top<uint32_t>(), row.index) << row.what;
    } else {
      EXPECT_EQ(zt::bareError(), row.message) << row.what;
      EXPECT_EQ(zek_pstack_valueCount(), 0u) << row.what;
    }
  }
}

TEST(Time, TimeIndexBeyond2To31Cycles) {
  Program p;
  p.code = "PUSHUINT32 0; PUSHDOUBLE 29999999.99; TOTIMEINDEX; ENDCYCLE";
  auto l = zt::load(p);
  vmstate0.cycleCount = 3000000000u;
  zt::execute(l);
  ASSERT_EQ(zek_getErrorCode(), 0) << zt::errorText();
  EXPECT_EQ(zt::top<uint32_t>(), 1u);
}

TEST(Time, OperandErrors) {
  struct Row {
    uint32_t density;
    const char *code;
    uint16_t error;
    const char *message;
  };
  const Row rows[] = {
      {10000, "PUSHINT32 1; READT_RELATIVE", 18, "Type mismatch on parameter stack. Expected uint32, got int32."},
      {10000, "PUSHUINT32 0; PUSHFLOAT 0.5; TOTIMEINDEX", 18,
       "Type mismatch on parameter stack. Expected double, got float."},
      {10000, "PUSHINT32 0; PUSHDOUBLE 0.5; TOTIMEINDEX", 18,
       "Type mismatch on parameter stack. Expected uint32, got int32."},
      {10000, "PUSHDOUBLE 0.5; TOTIMEINDEX", 109, "An underflow of the parameter stack occurred."},
      {0, "PUSHUINT32 0; PUSHDOUBLE 0; TOTIMEINDEX", 18, "Time 0s cannot be turned into a number of cycles of 0 us."},
  };
  for (const Row &row : rows) {
    Program p;
    p.density = row.density;
    p.code = std::string(row.code) + "; ENDCYCLE";
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    zt::execute(l);
    EXPECT_EQ(zek_getErrorCode(), row.error) << row.code;
    EXPECT_EQ(zt::bareError(), row.message) << row.code;
  }
}

// ---- Curves ----

struct CurveCase {
  uint8_t axisType;
  std::vector<double> axis;
  uint8_t tableType;
  std::vector<double> table;
  double input;
};

// Loads a curve program and runs the lookup of one input; the result is the top value.
zt::Loaded runCurve(const CurveCase &c) {
  Program p;
  p.channel("ax", c.axisType, 3, (uint32_t)c.axis.size()).init = encode(c.axisType, c.axis);
  p.channel("tab", c.tableType, 3, (uint32_t)c.table.size()).init = encode(c.tableType, c.table);
  p.code = push(c.axisType, c.input) + "; READCURVE ax tab; ENDCYCLE";
  auto l = zt::load(p);
  EXPECT_EQ(l.result, 0u) << zt::errorText();
  zt::execute(l);
  return l;
}

TEST(Curve, EveryAxisTypeClampsHitsAndInterpolates) {
  const uint8_t types[] = {ZEK_UINT8, ZEK_INT8, ZEK_UINT16, ZEK_INT16, ZEK_UINT32,
                           ZEK_INT32, ZEK_INT64, ZEK_FLOAT, ZEK_DOUBLE};
  // Axis 5, 10, 20 with values 0, 100, 50.
  const std::pair<double, double> inputs[] = {{0, 0},   {5, 0},   {7, 40},  {10, 100},
                                              {15, 75}, {20, 50}, {30, 50}, {127, 50}};
  for (uint8_t type : types) {
    for (auto [x, expected] : inputs) {
      auto l = runCurve({type, {5, 10, 20}, ZEK_INT32, {0, 100, 50}, x});
      ASSERT_EQ(zek_getErrorCode(), 0) << (int)type << " " << x << ": " << zt::errorText();
      EXPECT_EQ(zt::topView().type, (uint32_t)ZEK_INT32);
      EXPECT_EQ(zt::top<int32_t>(), (int32_t)expected) << "axis type " << (int)type << ", x " << x;
    }
  }
  auto l = runCurve({ZEK_INT8, {5, 10, 20}, ZEK_INT32, {0, 100, 50}, -5});
  EXPECT_EQ(zt::top<int32_t>(), 0);
}

TEST(Curve, TableTypesInterpolateInTheirOwnArithmetic) {
  struct Row {
    const char *what;
    CurveCase c;
    double expected;
  };
  const Row rows[] = {
      {"int32 downwards", {ZEK_DOUBLE, {0, 10}, ZEK_INT32, {10, 0}, 5}, 5},
      {"uint32 downwards", {ZEK_DOUBLE, {0, 10}, ZEK_UINT32, {10, 0}, 5}, 5},
      {"truncation toward zero below 0", {ZEK_DOUBLE, {0, 10}, ZEK_INT32, {0, -10}, 2.5}, -2},
      {"truncation toward zero above 0", {ZEK_DOUBLE, {0, 10}, ZEK_INT16, {0, 10}, 2.5}, 2},
      {"int8 through zero", {ZEK_DOUBLE, {0, 10}, ZEK_INT8, {-100, 100}, 2.5}, -50},
      {"uint8", {ZEK_DOUBLE, {0, 10}, ZEK_UINT8, {250, 0}, 1}, 225},
      {"int32 table spanning more than the int32 range", {ZEK_DOUBLE, {0, 10}, ZEK_INT32, {-2e9, 2e9}, 7.5}, 1e9},
      {"uint32 table near the top", {ZEK_DOUBLE, {0, 10}, ZEK_UINT32, {0, 4e9}, 5}, 2e9},
      {"int64 table over the whole int64 range", {ZEK_DOUBLE, {0, 10}, ZEK_INT64, {-9223372036854775807.0, 9.2233720368547748e18}, 5}, 0},
      {"int32 axis spanning more than the int32 range", {ZEK_INT32, {-2e9, 2e9}, ZEK_DOUBLE, {0, 100}, 1e9}, 75},
      {"int64 axis over the whole int64 range", {ZEK_INT64, {-9.2233720368547758e18, 9.2233720368547748e18}, ZEK_DOUBLE, {0, 100}, 0}, 50},
      {"uint32 axis", {ZEK_UINT32, {1, 4000000001.0}, ZEK_DOUBLE, {0, 100}, 1000000001}, 25},
      {"float table rounds to float", {ZEK_DOUBLE, {0, 3}, ZEK_FLOAT, {0, 1}, 1}, (double)(float)(1.0 / 3.0)},
      {"double table", {ZEK_DOUBLE, {0, 3}, ZEK_DOUBLE, {0, 1}, 1}, 1.0 / 3.0},
      {"float axis differences in single precision", {ZEK_FLOAT, {0.1, 0.7}, ZEK_DOUBLE, {0, 1}, 0.3},
       (double)(0.3f - 0.1f) / (double)(0.7f - 0.1f)},
      // Differences beyond the range of the type do not turn the result into 0, NaN or infinity.
      {"float axis spanning the float range", {ZEK_FLOAT, {-0x1p127, 0x1p127}, ZEK_DOUBLE, {0, 100}, 0x1p126}, 75},
      {"double axis spanning the double range", {ZEK_DOUBLE, {-0x1p1023, 0x1p1023}, ZEK_DOUBLE, {0, 100}, 0x1p1022}, 75},
      {"float table spanning the float range", {ZEK_DOUBLE, {0, 10}, ZEK_FLOAT, {-0x1p127, 0x1p127}, 5}, 0},
      {"double table spanning the double range", {ZEK_DOUBLE, {0, 4}, ZEK_DOUBLE, {-0x1p1023, 0x1p1023}, 3}, 0x1p1022},
  };
  for (const Row &row : rows) {
    auto l = runCurve(row.c);
    ASSERT_EQ(zek_getErrorCode(), 0) << row.what << ": " << zt::errorText();
    EXPECT_EQ(zt::topView().type, (uint32_t)row.c.tableType) << row.what;
    EXPECT_EQ(topAsDouble(), row.expected) << row.what;
  }
}

TEST(Curve, AxisMustRiseUpToThePointFound) {
  auto below = runCurve({ZEK_INT32, {0, 10, 10, 20}, ZEK_INT32, {0, 1, 2, 3}, 5});
  EXPECT_EQ(zek_getErrorCode(), 0) << zt::errorText();
  auto above = runCurve({ZEK_INT32, {0, 10, 10, 20}, ZEK_INT32, {0, 1, 2, 3}, 15});
  EXPECT_EQ(zek_getErrorCode(), 112);
  EXPECT_EQ(zt::bareError(), "Index 2 of signal ax is not greater than its predecessor (not strictly monotonic).");
  EXPECT_EQ(zek_pstack_valueCount(), 0u);
  auto nan = runCurve({ZEK_DOUBLE, {0, NAN, 20}, ZEK_INT32, {0, 1, 2}, 15});
  EXPECT_EQ(zek_getErrorCode(), 112);
  EXPECT_EQ(zt::bareError(), "Index 1 of signal ax is not greater than its predecessor (not strictly monotonic).");
}

TEST(Curve, ATableShorterThanItsAxisIsRefused) {
  auto l = runCurve({ZEK_INT32, {0, 10, 20}, ZEK_INT32, {0, 1}, 30});
  EXPECT_EQ(zek_getErrorCode(), 111);
  EXPECT_EQ(zt::bareError(), "Table tab has 2 elements, fewer than the 3 points of axis ax.");
  EXPECT_EQ(zek_pstack_valueCount(), 1u);  // the input was not taken
}

TEST(Curve, InputMustBeAScalarOfTheAxisType) {
  struct Row {
    const char *code;
    uint16_t error;
    const char *message;
  };
  const Row rows[] = {
      {"PUSHINT32 5; READCURVE ax tab", 18, "Type mismatch on parameter stack. Expected double, got int32."},
      {"PUSHFLOAT 5; READCURVE ax tab", 18, "Type mismatch on parameter stack. Expected double, got float."},
      {"READALL ax; READCURVE ax tab", 104, "popScalarWithType: Expected scalar, got array (3)."},
      {"READCURVE ax tab", 109, "An underflow of the parameter stack occurred."},
      {"PUSHDOUBLE 5; READCURVE 7 tab", 117, "Byte code names channel 7, but the program has 2 channels."},
  };
  for (const Row &row : rows) {
    Program p;
    p.channel("ax", ZEK_DOUBLE, 3, 3).init = encode(ZEK_DOUBLE, {0, 10, 20});
    p.channel("tab", ZEK_INT32, 3, 3).init = encode(ZEK_INT32, {0, 1, 2});
    p.code = std::string(row.code) + "; ENDCYCLE";
    auto l = zt::load(p);
    zt::execute(l);
    EXPECT_EQ(zek_getErrorCode(), row.error) << row.code;
    EXPECT_EQ(zt::bareError(), row.message) << row.code;
  }
}

// ---- Maps ----

struct MapCase {
  uint8_t axisType;
  std::vector<double> first;   // columns: varies fastest in the table
  std::vector<double> second;  // rows
  uint8_t tableType;
  std::vector<double> table;
};

zt::Loaded runMap(const MapCase &m, double x, double w) {
  Program p;
  p.channel("x", m.axisType, 3, (uint32_t)m.first.size()).init = encode(m.axisType, m.first);
  p.channel("w", m.axisType, 3, (uint32_t)m.second.size()).init = encode(m.axisType, m.second);
  p.channel("z", m.tableType, 3, (uint32_t)m.table.size()).init = encode(m.tableType, m.table);
  p.code = push(m.axisType, x) + "; " + push(m.axisType, w) + "; READMAP x w z; ENDCYCLE";
  auto l = zt::load(p);
  EXPECT_EQ(l.result, 0u) << zt::errorText();
  zt::execute(l);
  return l;
}

// Three columns and two rows, z(row, column) = 1000 * row + 10 * column: a swap of rows and
// columns, or of the two inputs, gives other values.
const MapCase kAsymmetric{ZEK_DOUBLE, {0, 10, 20}, {0, 100}, ZEK_DOUBLE, {0, 10, 20, 1000, 1010, 1020}};

TEST(Map, RowsFollowTheSecondAxisAndColumnsTheFirst) {
  struct Row {
    double x, w, expected;
  };
  const Row rows[] = {
      {0, 0, 0},      {20, 0, 20},       {0, 100, 1000},   {20, 100, 1020},  {5, 25, 255},
      {15, 75, 765},  {-1, -1, 0},       {30, 200, 1020},  {-1, 200, 1000},  {30, -1, 20},
      {10, 100, 1010}, {10, 50, 510},
  };
  for (const Row &row : rows) {
    auto l = runMap(kAsymmetric, row.x, row.w);
    ASSERT_EQ(zek_getErrorCode(), 0) << zt::errorText();
    EXPECT_EQ(zek_pstack_valueCount(), 1u);
    EXPECT_EQ(zt::top<double>(), row.expected) << "x " << row.x << ", w " << row.w;
  }
}

TEST(Map, TableTypesInterpolateInTheirOwnArithmetic) {
  struct Row {
    const char *what;
    uint8_t tableType;
    std::vector<double> corners;  // z00, z01 (next column), z10 (next row), z11
    double expected;
  };
  const Row rows[] = {
      {"uint8 corners", ZEK_UINT8, {0, 10, 20, 30}, 15},
      {"int8 through zero", ZEK_INT8, {-100, 100, -100, 100}, 0},
      {"int16 truncates toward zero", ZEK_INT16, {0, -3, 0, -3}, -1},
      {"int32 spanning more than the int32 range", ZEK_INT32, {-2e9, -2e9, 2e9, 2e9}, 0},
      // The narrow types round the values along the second axis to single precision.
      {"int32 intermediate rounded to float", ZEK_INT32, {16777217, 16777217, 16777217, 16777217}, 16777216},
      {"int64 stays in double", ZEK_INT64, {16777217, 16777217, 16777217, 16777217}, 16777217},
      {"float", ZEK_FLOAT, {0, 1, 0, 1}, 0.5},
      {"double", ZEK_DOUBLE, {0, 1, 2, 3}, 1.5},
      {"float spanning the float range", ZEK_FLOAT, {-3e38, -3e38, 3e38, 3e38}, 0},
      {"double spanning the double range", ZEK_DOUBLE, {-1.5e308, -1.5e308, 1.5e308, 1.5e308}, 0},
  };
  for (const Row &row : rows) {
    MapCase m{ZEK_DOUBLE, {0, 10}, {0, 10}, row.tableType, row.corners};
    auto l = runMap(m, 5, 5);
    ASSERT_EQ(zek_getErrorCode(), 0) << row.what << ": " << zt::errorText();
    EXPECT_EQ(zt::topView().type, (uint32_t)row.tableType) << row.what;
    EXPECT_EQ(topAsDouble(), row.expected) << row.what;
  }
  // uint32 4294967295 rounds up to 2^32 in float and stores its low 32 bits.
  MapCase big{ZEK_DOUBLE, {0, 10}, {0, 10}, ZEK_UINT32, {4294967295.0, 4294967295.0, 4294967295.0, 4294967295.0}};
  auto l = runMap(big, 5, 5);
  EXPECT_EQ(zt::top<uint32_t>(), 0u);
}

TEST(Map, AnAxisErrorStillPushesTheClampedResult) {
  MapCase m{ZEK_INT32, {0, 10}, {0, 10, 10}, ZEK_INT32, {1, 2, 3, 4, 5, 6}};
  auto l = runMap(m, 10, 15);
  EXPECT_EQ(zek_getErrorCode(), 112);
  EXPECT_EQ(zt::bareError(), "Index 2 of signal w is not greater than its predecessor (not strictly monotonic).");
  ASSERT_EQ(zek_pstack_valueCount(), 1u);
  EXPECT_EQ(zt::top<int32_t>(), 6);  // last row, column 1
}

TEST(Map, ATableSmallerThanItsAxesIsRefused) {
  MapCase m{ZEK_INT32, {0, 10, 20}, {0, 10}, ZEK_INT32, {1, 2, 3, 4, 5}};
  auto l = runMap(m, 30, 30);
  EXPECT_EQ(zek_getErrorCode(), 111);
  EXPECT_EQ(zt::bareError(), "Table z has 5 elements, fewer than the 3 x 2 points of axes x and w.");
}

TEST(Map, InputsArePoppedSecondAxisFirst) {
  Program p;
  p.channel("x", ZEK_DOUBLE, 3, 2).init = encode(ZEK_DOUBLE, {0, 10});
  p.channel("w", ZEK_INT32, 3, 2).init = encode(ZEK_INT32, {0, 10});
  p.channel("z", ZEK_DOUBLE, 3, 4).init = encode(ZEK_DOUBLE, {0, 1, 2, 3});
  p.code = "PUSHINT32 5; PUSHDOUBLE 5; READMAP x w z; ENDCYCLE";
  auto l = zt::load(p);
  zt::execute(l);
  EXPECT_EQ(zt::bareError(), "Type mismatch on parameter stack. Expected int32, got double.");
}

// ---- Shared routines ----

TEST(CurveRoutines, TypesOutsideTheTablesAreRefused) {
  Program p;
  auto l = zt::load(p);
  zek_resetError();
  double points[2] = {0, 1}, x = 0.5;
  EXPECT_EQ(zek_getDiffernceInPct(points, &x, 11), 0.0);
  EXPECT_EQ(zek_getErrorCode(), 18);
  EXPECT_EQ(zt::bareError(), "Type 11 not allowed in zek_getDiffernceInPct().");
  zek_resetError();
  double q[2] = {0, 10}, io = 0.5;
  zek_linearInterpolation2D(points, q, &io, ZEK_DOUBLE, 0);
  EXPECT_EQ(zek_getErrorCode(), 18);
  EXPECT_EQ(zt::bareError(), "Type 0 not allowed in zek_linearInterpolation2D.");
}

// Sums that leave the 64-bit range or are NaN store defined values instead of converting out of
// range.
TEST(CurveRoutines, IntegerResultsOutsideTheRangeAreDefined) {
  double points[2] = {0, 2};
  int64_t top[2] = {INT64_MAX - 10, INT64_MAX};
  uint8_t slot[8];
  double x = 1;
  std::memcpy(slot, &x, 8);
  zek_linearInterpolation2D(points, top, slot, ZEK_DOUBLE, ZEK_INT64);
  int64_t r;
  std::memcpy(&r, slot, 8);
  EXPECT_EQ(r, INT64_MAX);

  float inf = std::numeric_limits<float>::infinity();
  float infinite[2] = {-inf, inf}, fx = 1;  // the fraction inf / inf is NaN
  int32_t q[2] = {0, 100};
  std::memcpy(slot, &fx, 4);
  zek_linearInterpolation2D(infinite, q, slot, ZEK_FLOAT, ZEK_INT32);
  int32_t r32;
  std::memcpy(&r32, slot, 4);
  EXPECT_EQ(r32, 0);
}

}  // namespace
