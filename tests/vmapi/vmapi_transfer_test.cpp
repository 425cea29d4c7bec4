// Value transfer, scaling and cycles, bound and served functions, whole test cases and the
// parameter exchange, through the library's exports.
#include "vmapi_support.h"

// The VM's own exports, as a frame declares what it uses of them.
extern "C" void zek_raiseError(uint16_t code, const char *format, ...);

namespace {

using namespace vt;

// ---- Typed stores, scaling and limits ----------------------------------------------------

// The value of s comes back through t into a SuT variable of the bind type.
struct StoreRow {
  uint32_t type;
  double value;
  int64_t expected;  // the stored bytes as an integer of the type (float: its bits)
};

int64_t storedAs(uint32_t type, const uint8_t *bytes) {
  switch (type) {
    case 1: case 10: return bytes[0];
    case 2: return (int8_t)bytes[0];
    case 3: { uint16_t v; std::memcpy(&v, bytes, 2); return v; }
    case 4: { int16_t v; std::memcpy(&v, bytes, 2); return v; }
    case 5: { uint32_t v; std::memcpy(&v, bytes, 4); return v; }
    case 6: { int32_t v; std::memcpy(&v, bytes, 4); return v; }
    case 8: { float v; std::memcpy(&v, bytes, 4); return (int64_t)(v * 1000); }
    default: { int64_t v; std::memcpy(&v, bytes, 8); return v; }
  }
}

TEST_F(VmapiFrame, StoresWrapInsideTheIntermediateAndSaturateBeyondIt) {
  const double nan = std::nan("");
  StoreRow rows[] = {
      {1, 300, 44},     {1, -1, 255},          {1, nan, 0},           {1, 1e300, 255},     {2, 200, -56},
      {3, 70000, 4464}, {4, 40000, -25536},    {6, -2.9, -2},         {6, 1e10, INT32_MAX}, {6, -1e10, INT32_MIN},
      {5, -1, 4294967295}, {5, 5e9, 705032704}, {7, -1e300, INT64_MIN}, {7, nan, 0},         {7, 1e300, INT64_MAX},
      {10, 2, 2},       {8, 0.25, 250},
  };
  create("echo.zvm");
  bindEcho({"t"});
  uint8_t raw[8] = {};
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "t", 9, 1, 1, 0, 0, 1, raw, 1));
  SignalBinding *t = zek_vmapi_getSignal(e, "t");
  for (const StoreRow &row : rows) {
    // One binding, retyped between cycles: the test needs every type, the program has one t.
    t->bindType = row.type;
    std::memset(raw, 0xAA, sizeof raw);
    sut.s = row.value;
    ASSERT_EQ(zek_vmapi_runCycle(e), 0) << message();
    EXPECT_EQ(storedAs(row.type, raw), row.expected) << "type " << row.type << " value " << row.value;
    // Nothing beyond the type's bytes is touched.
    uint8_t size = row.type == 7 ? 8 : row.type >= 5 && row.type != 10 ? 4 : row.type >= 3 && row.type != 10 ? 2 : 1;
    for (uint8_t k = size; k < 8; ++k) EXPECT_EQ(raw[k], 0xAA) << "type " << row.type;
    // A fresh execution for the next row (the program ends after five cycles).
    zek_vmapi_closeExecution(e);
    create("echo.zvm");
    bindEcho({"t"});
    ASSERT_TRUE(zek_vmapi_bindSignal(e, "t", 9, 1, 1, 0, 0, 1, raw, 1));
    t = zek_vmapi_getSignal(e, "t");
  }
}

TEST_F(VmapiFrame, ScalingAndRoundingBothWays) {
  struct Row {
    double s;         // the physical value the VM computes for t
    double f[4];      // t's coefficients
    bool round;
    int16_t expected; // t in the SuT, int16
  } rows[] = {
      {3.5, {0.5, 0, 0, 1}, true, 7},  {3.75, {0.5, 0, 0, 1}, true, 8}, {3.75, {0.5, 0, 0, 1}, false, 7},
      {-2.5, {1, 0, 0, 1}, true, -3},  {2.5, {1, 0, 0, 1}, true, 3},    {-2.5, {1, 0, 0, 1}, false, -2},
      {10, {1, 4, 0, 1}, false, 6},    {2, {0, 1, 1, 0}, false, 0},
  };
  for (const Row &row : rows) {
    create("echo.zvm");
    bindEcho({"t"});
    int16_t t = 0;
    ASSERT_TRUE(zek_vmapi_bindSignal(e, "t", 9, 4, row.f[0], row.f[1], row.f[2], row.f[3], &t, 1));
    zek_vmapi_setRoundScalingResults(e, row.round);
    sut.s = row.s;
    ASSERT_EQ(zek_vmapi_runCycle(e), 0) << message();
    EXPECT_EQ(t, row.expected) << row.s << " round " << row.round;
    zek_vmapi_closeExecution(e);
    e = nullptr;
  }
  // SuT to VM: an int16 of 7 with 0.5 gives 3.5; a double of 2.5 rounds into the int32 x.
  int16_t raw = 7;
  double t = 0, x = 2.5;
  create("echo.zvm");
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "s", 9, 4, 0.5, 0, 0, 1, &raw, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "t", 9, 9, 1, 0, 0, 1, &t, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "x", 6, 9, 1, 0, 0, 1, &x, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "y", 6, 6, 1, 0, 0, 1, &sut.y, 1));
  zek_vmapi_setRoundScalingResults(e, true);
  ASSERT_EQ(zek_vmapi_runCycle(e), 0);
  EXPECT_EQ(t, 3.5);
  EXPECT_EQ(sut.y, 4) << "x = round(2.5) = 3";
  x = -2.5;
  ASSERT_EQ(zek_vmapi_runCycle(e), 0);
  EXPECT_EQ(sut.y, -2) << "x = round(-2.5) = -3";
}

TEST_F(VmapiFrame, ConversionFailuresEndTheCycleWithAnError) {
  // An input that cannot be converted: the cycle does not run on stale values.
  create("echo.zvm");
  int16_t raw = 1;
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "s", 9, 4, 1, 0, 0, 0, &raw, 1));
  EXPECT_EQ(zek_vmapi_runCycle(e), 1);
  EXPECT_EQ(zek_vmapi_getCycleCount(), 0u);
  EXPECT_EQ(zek_vmapi_getErrorCode(), 119);
  EXPECT_EQ(message(), "Division by zero. test input cannot be converted to physical value.");
  zek_vmapi_closeExecution(e);
  // An output: v x f2 equals f0.
  create("echo.zvm");
  bindEcho({"t"});
  int16_t t = 0;
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "t", 9, 4, 0, 1, 0, 1, &t, 1));
  EXPECT_EQ(zek_vmapi_runCycle(e), 1);
  EXPECT_EQ(zek_vmapi_getCycleCount(), 1u) << "the cycle has run";
  EXPECT_EQ(message(), "Division by zero. Signal cannot be converted to fix-point value.");
}

TEST_F(VmapiFrame, LimitsInPhysicalAndInRawUnits) {
  create("echo.zvm");
  bindEcho({"t"});
  double t = 0;
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "t", 9, 9, 2, 0, 0, 1, &t, 1));  // physical = 2 x raw
  ASSERT_TRUE(zek_vmapi_setLimits(e, "t", -1, 1));
  ASSERT_TRUE(zek_vmapi_setLimits(e, "y", 0, 30));
  struct Row {
    double s;
    int32_t x;
    double t;
    int32_t y;
  } rows[] = {{5, 41, 0.5, 30}, {-7, -10, -0.5, 0}, {0.4, 7, 0.2, 8}};
  for (const Row &row : rows) {
    sut.s = row.s;
    sut.x = row.x;
    ASSERT_EQ(zek_vmapi_runCycle(e), 0);
    EXPECT_EQ(t, row.t) << row.s;
    EXPECT_EQ(sut.y, row.y) << row.x;
  }
  // NaN takes a limit away.
  ASSERT_TRUE(zek_vmapi_setLimits(e, "y", zek_vmapi_NAN(), zek_vmapi_NAN()));
  sut.x = 41;
  ASSERT_EQ(zek_vmapi_runCycle(e), 0);
  EXPECT_EQ(sut.y, 42);
}

TEST_F(VmapiFrame, IndexCoefficientsPlaceElementsInGroups) {
  create("echo.zvm");
  bindEcho({"g", "h"});
  uint8_t in[128] = {}, out[128] = {};
  auto offset = [](uint32_t i, uint32_t size, uint32_t stride, uint32_t step) {
    return i == 0 ? 0 : (i / size) * stride + (i % size) * step;
  };
  for (uint32_t i = 0; i < 6; ++i) {
    int32_t v = (int32_t)(10 + i);
    std::memcpy(in + offset(i, 3, 100, 8), &v, 4);
  }
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "g", 6, 6, 1, 0, 0, 1, in, 6));
  ASSERT_TRUE(zek_vmapi_setIndexCoeffs(e, "g", 3, 100, 8));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "h", 6, 6, 1, 0, 0, 1, out, 6));
  ASSERT_TRUE(zek_vmapi_setIndexCoeffs_v2(e, "h", 2, 50, 4));
  ASSERT_EQ(zek_vmapi_runCycle(e), 0);
  EXPECT_EQ(offset(4, 3, 100, 8), 108u);
  for (uint32_t i = 0; i < 6; ++i) {
    int32_t v;
    std::memcpy(&v, out + offset(i, 2, 50, 4), 4);
    EXPECT_EQ(v, (int32_t)(10 + i)) << "element " << i;
  }
}

// Element access of the callback modes.
int32_t g_sutArray[6];
uint32_t g_dimsSeen[3];
uint8_t g_dimCountSeen;
bool g_deliver = true;

void *arrayAt(uint32_t i, uint8_t count, const uint32_t *dims) {
  g_dimCountSeen = count;
  for (uint8_t k = 0; k < count && k < 3; ++k) g_dimsSeen[k] = dims[k];
  return i == 1 ? nullptr : &g_sutArray[i];  // element 1 has no place in the SuT
}

bool getS(void *value, uint32_t, uint8_t, const uint32_t *) {
  if (!g_deliver) return false;
  int16_t raw = 9;
  std::memcpy(value, &raw, sizeof raw);
  return true;
}

TEST_F(VmapiFrame, CallbackModesSkipWhatTheyCannotReach) {
  for (int32_t i = 0; i < 6; ++i) g_sutArray[i] = 100 + i;
  double t = 0;
  create("echo.zvm");
  // g through an address function that has no place for element 1, h back by address.
  ASSERT_TRUE(zek_vmapi_bindSignalDynamic_v2(e, "g", 6, 6, 1, 0, 0, 1, arrayAt, 6));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "h", 6, 6, 1, 0, 0, 1, sut.h, 6));
  // s through a getter with scaling: 9 x 0.5.
  ASSERT_TRUE(zek_vmapi_bindSignalGetSet_v2(e, "s", 9, 4, 0.5, 0, 0, 1, getS, nullptr, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "t", 9, 9, 1, 0, 0, 1, &t, 1));
  g_deliver = true;
  ASSERT_EQ(zek_vmapi_runCycle(e), 0);
  EXPECT_EQ(g_dimCountSeen, 2);
  EXPECT_EQ(g_dimsSeen[0], 2u);
  EXPECT_EQ(g_dimsSeen[1], 3u);
  EXPECT_EQ(sut.h[0], 100);
  EXPECT_EQ(sut.h[1], 0) << "a null address skips the element";
  EXPECT_EQ(sut.h[5], 105);
  EXPECT_EQ(t, 4.5);
  // A getter that delivers nothing leaves the VM's value as it was.
  g_deliver = false;
  ASSERT_EQ(zek_vmapi_runCycle(e), 0);
  EXPECT_EQ(t, 4.5);
}

// ---- Bound and served functions ------------------------------------------------------------

int32_t g_ca, g_cb, g_calls, g_otherCalls;
uint16_t g_id;
std::string g_name;

void sutFunction(uint16_t id, const char *name) {
  ++g_calls;
  g_id = id;
  g_name = name;
  g_cb = g_ca * 10;  // ca arrived before the call; cb goes back after it
}

void otherFunction(uint16_t, const char *) {
  ++g_otherCalls;
  g_cb = -1;
}

void failingFunction(uint16_t, const char *) {
  g_cb = 77;
  zek_raiseError(119, "the SuT function failed");
}

TEST_F(VmapiFrame, ClientFunctionsReachTheFrameWithCurrentValues) {
  create("functions.zvm");
  int32_t x = 5, y = 0;
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "x", 6, 6, 1, 0, 0, 1, &x, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "y", 6, 6, 1, 0, 0, 1, &y, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "ca", 6, 6, 1, 0, 0, 1, &g_ca, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "cb", 6, 6, 1, 0, 0, 1, &g_cb, 1));
  EXPECT_FALSE(zek_vmapi_bindFunction(e, "nope", sutFunction));
  EXPECT_EQ(message(), "Signal name nope not found.");
  ASSERT_TRUE(zek_vmapi_bindFunction(e, "cf", otherFunction));
  ASSERT_TRUE(zek_vmapi_bindFunction(e, "cf", sutFunction));  // the later one counts
  g_calls = g_otherCalls = 0;
  ASSERT_EQ(zek_vmapi_runCycle(e), 0) << message();
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(g_otherCalls, 0);
  EXPECT_EQ(g_id, 4);
  EXPECT_EQ(g_name, "cf");
  EXPECT_EQ(g_ca, 5);
  EXPECT_EQ(y, 50);
  x = 7;
  ASSERT_EQ(zek_vmapi_runCycle(e), 0);
  EXPECT_EQ(y, 70);
  // A SuT function that raises an error: its results are not taken, the cycle fails.
  ASSERT_TRUE(zek_vmapi_bindFunction(e, "cf", failingFunction));
  EXPECT_EQ(zek_vmapi_runCycle(e), 1);
  EXPECT_NE(std::string(zek_vmapi_getErrorMessage()).find("the SuT function failed"), std::string::npos);
  EXPECT_EQ(y, 70) << "cb was not read back";
}

TEST_F(VmapiFrame, ServerFunctionsRunByIdAndByName) {
  create("functions.zvm");
  int32_t sa = 21, sb = 0;
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "sa", 6, 6, 1, 0, 0, 1, &sa, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "sb", 6, 6, 1, 0, 0, 1, &sb, 1));
  EXPECT_EQ(zek_vmapi_getFunctionID(e, "sf"), 9u);
  EXPECT_EQ(zek_vmapi_getFunctionID(e, "cf"), 4u);
  EXPECT_EQ(zek_vmapi_getFunctionID(e, "nope"), 0xFFFFFFFFu);
  EXPECT_EQ(message(), "Function \"nope\" is unknown.");
  EXPECT_EQ(zek_vmapi_runFunctionByID(e, 9), 0) << message();
  EXPECT_EQ(sb, 42);
  sa = -4;
  EXPECT_EQ(zek_vmapi_runFunctionByName(e, "sf"), 0);
  EXPECT_EQ(sb, -8);
  // Ids are ids: not table positions, not their low 16 bits.
  for (uint32_t id : {1u, 65536u + 9u}) {
    EXPECT_EQ(zek_vmapi_runFunctionByID(e, id), 1);
    EXPECT_EQ(message(), "Function with ID \"" + std::to_string(id) + "\" is unknown.");
  }
  zek_vmapi_resetError();
  EXPECT_EQ(zek_vmapi_runFunctionByName(e, "nope"), 1);
  EXPECT_EQ(zek_vmapi_getErrorCode(), 119);
  // A replaced execution runs nothing.
  VmapiExecution *old = e;
  e = zek_vmapi_createExecution(image("functions.zvm").c_str(), nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(zek_vmapi_runFunctionByID(old, 9), 1);
  EXPECT_EQ(zek_vmapi_getErrorCode(), 119);
  zek_vmapi_closeExecution(old);
}

// ---- Whole test cases ----------------------------------------------------------------------

VmapiExecution *g_run;
int32_t g_x, g_y, g_inits, g_steps;

void initRun() {
  ++g_inits;
  zek_vmapi_bindSignal(g_run, "x", 6, 6, 1, 0, 0, 1, &g_x, 1);
  zek_vmapi_bindSignal(g_run, "y", 6, 6, 1, 0, 0, 1, &g_y, 1);
}

void stepRun() {
  ++g_steps;
  std::printf("step %d\n", g_steps);
  if (g_steps == 2) g_x = 0;  // the divide program fails in the next cycle
  else ++g_x;
}

TEST(VmapiTestcase, RunsEveryCycleAndRestoresTheErrorHandler) {
  std::string record = tempPath("run.zekbin");
  Child c = inChild([&] {
    g_x = 1;
    zek_vmapi_getIntTypeEnum(3, true);  // an error that stands before the run is not the run's
    zek_vmapi_runTestcase(image("notsync.zvm").c_str(), record.c_str(), &g_run, initRun, stepRun);
    std::printf("init %d steps %d run %s\n", g_inits, g_steps, g_run == nullptr ? "closed" : "open");
    // The run's handler is gone: an error of the frame's own does not end the process.
    zek_vmapi_getIntTypeEnum(3, true);
    std::printf("after\n");
    return 0;
  });
  EXPECT_EQ(c.exitCode, 0) << c.out;
  // Eight cycles go on, the ninth reaches the time-out.
  EXPECT_NE(c.out.find("step 8\ninit 1 steps 8 run closed\nafter\n"), std::string::npos) << c.out;
  zd::File f = decode(record);
  EXPECT_EQ(f.rows(), 9);
}

TEST(VmapiTestcase, ARuntimeErrorEndsTheProcessAfterFinishingTheRecordFile) {
  std::string record = tempPath("fail.zekbin");
  Child c = inChild([&] {
    g_x = 1;
    zek_vmapi_runTestcase(image("divide.zvm").c_str(), record.c_str(), &g_run, initRun, stepRun);
    std::printf("returned\n");
    return 0;
  });
  EXPECT_EQ(c.exitCode, 1);
  EXPECT_EQ(c.out.rfind("step 1\nstep 2\nError: ", 0), 0u) << c.out;
  EXPECT_EQ(c.out.find("returned"), std::string::npos);
  zd::File f = decode(record);
  EXPECT_EQ(f.rows(), 2) << "the two cycles before the failing one";
}

TEST(VmapiTestcase, WidePathsAreUtf8) {
  std::string dir = tempDir();
  std::wstring wideDir(dir.begin(), dir.end());
  std::string program = dir + "pr\xC3\xB8gr\xC4\x81m_\xF0\x9F\x9A\x80.zvm", record = dir + "r\xC3\xA9sult.zekbin";
  writeAll(program, readAll(image("notsync.zvm")));
  std::wstring wideProgram = wideDir + L"pr\u00F8gr\u0101m_\U0001F680.zvm", wideRecord = wideDir + L"r\u00E9sult.zekbin";
  Child c = inChild([&] {
    zek_vmapi_runTestcase_v2(wideProgram.c_str(), wideRecord.c_str(), &g_run, initRun, stepRun);
    return 0;
  });
  EXPECT_EQ(c.exitCode, 0) << c.out;
  EXPECT_EQ(decode(record).rows(), 9);
  // A wide string that is no text.
  std::wstring broken = wideDir + L"x";
  broken.push_back((wchar_t)0xD800);
  for (bool asProgram : {true, false}) {
    SCOPED_TRACE(asProgram ? "program" : "record");
    c = inChild([&] {
      zek_vmapi_runTestcase_v2(asProgram ? broken.c_str() : wideProgram.c_str(), asProgram ? nullptr : broken.c_str(),
                               &g_run, initRun, stepRun);
      return 0;
    });
    EXPECT_EQ(c.exitCode, 1);
    EXPECT_EQ(c.out.substr(0, c.out.find(" (error=")), "Error: Unable to convert wide string to filename.");
  }
}

// ---- Parameter exchange --------------------------------------------------------------------

VmapiExecution *g_exchange;
int32_t g_pI32;
float g_pArr[3];
uint16_t g_pU16First, g_pU16Second;
int g_binds;
uint32_t g_arrDim = 3;
int32_t g_i32Type = -1;

void bindParams() {
  ++g_binds;
  zek_vmapi_bindSignal(g_exchange, "p_i32", g_i32Type, 6, 1, 0, 0, 1, &g_pI32, 1);
  zek_vmapi_bindSignal_v2(g_exchange, "p_arr", 9, 8, 1, 0, 0, 1, g_pArr, g_arrDim);
  zek_vmapi_bindSignal(g_exchange, "p_u16", 3, 3, 1, 0, 0, 1, &g_pU16First, 1);
  zek_vmapi_bindSignal(g_exchange, "p_u16", 3, 3, 1, 0, 0, 1, &g_pU16Second, 1);
  // Neither looked up nor refused while no program is behind the execution.
  zek_vmapi_enableReadWrite(g_exchange, "p_i32");
  zek_vmapi_bindFunction(g_exchange, "f", nullptr);
}

void resetParams() {
  g_pI32 = 1234;
  g_pArr[0] = 0.5f, g_pArr[1] = 1.5f, g_pArr[2] = 2.5f;
  g_pU16First = 77, g_pU16Second = 88;
  g_binds = 0;
}

TEST(VmapiParameters, FromTheSutIntoAResultFile) {
  std::string result = tempPath("result.zekbin");
  Child c = inChild([&] {
    resetParams();
    bool ok = zek_vmapi_exchangeParamsFromSuT(image("params.zekbin").c_str(), result.c_str(), &g_exchange, bindParams);
    std::printf("ok %d binds %d\n", ok, g_binds);
    return 0;
  });
  EXPECT_EQ(c.exitCode, 0);
  EXPECT_EQ(c.out,
            "Warning: Parameter 'p_u16' is bound more than once. Only value(s) of first binding will be exchanged to "
            "ZEK.\r\n"
            "Warning: Parameter 'p_unbound' is not known in the SuT. Value(s) will not be exchanged to ZEK.\r\n"
            "ok 1 binds 1\n");
  zd::File f = decode(result);
  ASSERT_EQ(f.signals.size(), 3u) << "the unbound parameter is left out";
  EXPECT_EQ(f.signals[0].name, "p_i32");
  EXPECT_EQ(f.signals[1].name, "p_arr");
  EXPECT_EQ(f.signals[2].name, "p_u16");
  ASSERT_EQ(f.rows(), 1);
  EXPECT_EQ(valueAt<int32_t>(f, 0, 0), 1234);
  EXPECT_EQ(valueAt<double>(f, 1, 0), 0.5);
  EXPECT_EQ(valueAt<double>(f, 3, 0), 2.5);
  EXPECT_EQ(valueAt<uint16_t>(f, 4, 0), 77);
}

TEST(VmapiParameters, IntoTheSut) {
  Child c = inChild([&] {
    resetParams();
    bool ok = zek_vmapi_exchangeParamsToSuT(image("params.zekbin").c_str(), &g_exchange, bindParams);
    std::printf("ok %d i32 %d arr %g %g %g u16 %d %d\n", ok, g_pI32, g_pArr[0], g_pArr[1], g_pArr[2], g_pU16First,
                g_pU16Second);
    return 0;
  });
  EXPECT_EQ(c.exitCode, 0);
  EXPECT_EQ(c.out,
            "Warning: Parameter 'p_u16' is bound more than once. Only value(s) of first binding will be written to "
            "SuT.\r\n"
            "Warning: Parameter 'p_unbound' is unknown in the SuT. Value(s) will not be written to SuT.\r\n"
            "ok 1 i32 42 arr 1.5 2.5 3.5 u16 7 88\n");
}

TEST(VmapiParameters, MismatchesEndTheProcess) {
  struct Row {
    uint32_t arrDim;
    int32_t i32Type;
    std::string message;
  } rows[] = {
      {2, -1, "Error: Wrong dimension of parameter 'p_arr': 2 in SuT but 3 in ZEK."},
      {70000, -1, "Error: Wrong dimension of parameter 'p_arr': 70000 in SuT but 3 in ZEK."},
      {3, 9, "Error: Wrong physical type of parameter 'p_i32': 'double' in SuT but 'int32' in ZEK."},
  };
  for (const Row &row : rows) {
    for (bool from : {true, false}) {
      std::string result = tempPath("mismatch.zekbin");
      Child c = inChild([&] {
        resetParams();
        g_arrDim = row.arrDim;
        g_i32Type = row.i32Type;
        if (from) zek_vmapi_exchangeParamsFromSuT(image("params.zekbin").c_str(), result.c_str(), &g_exchange, bindParams);
        else zek_vmapi_exchangeParamsToSuT(image("params.zekbin").c_str(), &g_exchange, bindParams);
        return 0;
      });
      EXPECT_EQ(c.exitCode, 1);
      EXPECT_EQ(c.out.substr(0, c.out.find(" (error=")), row.message) << c.out;
    }
  }
}

TEST(VmapiParameters, EmptyMissingAndMalformedFiles) {
  // No parameters: no callback; from the SuT, a result file of none.
  std::string result = tempPath("none.zekbin");
  resetParams();
  EXPECT_TRUE(zek_vmapi_exchangeParamsFromSuT(image("empty_params.zekbin").c_str(), result.c_str(), &g_exchange,
                                              bindParams));
  EXPECT_TRUE(zek_vmapi_exchangeParamsToSuT(image("empty_params.zekbin").c_str(), &g_exchange, bindParams));
  EXPECT_EQ(g_binds, 0);
  zd::File f = decode(result);
  EXPECT_EQ(f.signals.size(), 0u);
  EXPECT_EQ(f.rows(), 0);
  // Files that cannot be read fail before the callback, with the error standing.
  std::string cut = tempPath("cut.zekbin"), missing = tempPath("missing.zekbin");
  Bytes whole = readAll(image("params.zekbin"));
  writeAll(cut, Bytes(whole.begin(), whole.begin() + 40));
  struct Row {
    std::string path, message;
  } rows[] = {{missing, "ERROR: Unable to open file '" + missing + "' for read access."},
              {cut, "Reading header of file '" + cut + "' failed."}};
  for (const Row &row : rows) {
    EXPECT_FALSE(zek_vmapi_exchangeParamsToSuT(row.path.c_str(), &g_exchange, bindParams));
    EXPECT_EQ(message(), row.message);
    EXPECT_FALSE(zek_vmapi_exchangeParamsFromSuT(row.path.c_str(), result.c_str(), &g_exchange, bindParams));
    EXPECT_EQ(message(), row.message);
    EXPECT_EQ(zek_vmapi_getErrorCode(), 19);
  }
  EXPECT_EQ(g_binds, 0);
  zek_vmapi_resetError();
}

TEST_F(VmapiFrame, AnExchangeLeavesTheLiveExecutionAlone) {
  create("echo.zvm");
  bindEcho();
  SignalBinding *before = zek_vmapi_getBoundSignals();
  std::string result = tempPath("live.zekbin");
  std::wstring wide(result.begin(), result.end()), param;
  std::string p = image("params.zekbin");
  param.assign(p.begin(), p.end());
  resetParams();
  g_arrDim = 3;
  g_i32Type = -1;
  std::fflush(stdout);
  EXPECT_TRUE(zek_vmapi_exchangeParamsFromSuT_v2(param.c_str(), wide.c_str(), &g_exchange, bindParams));
  EXPECT_TRUE(zek_vmapi_exchangeParamsToSuT_v2(param.c_str(), &g_exchange, bindParams));
  EXPECT_EQ(g_pI32, 42);
  EXPECT_EQ(decode(result).signals.size(), 3u);
  EXPECT_EQ(zek_vmapi_getBoundSignals(), before);
  sut.x = 1;
  ASSERT_EQ(zek_vmapi_runCycle(e), 0) << message();
  EXPECT_EQ(sut.y, 2);
  // The exchange's handler is gone again.
  EXPECT_EQ(zek_vmapi_getIntTypeEnum(3, false), 0);
  zek_vmapi_resetError();
}

}  // namespace
