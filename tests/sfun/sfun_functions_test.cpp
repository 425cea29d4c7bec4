// Simulink functions as server functions, client functions as MATLAB functions, and the
// enumeration base type, over the in-process MEX host.
#include "sfun_support.h"

using namespace st;
using ::testing::HasSubstr;

namespace {

class Functions : public SfunTest {
 protected:
  // The functions program, not quiet (client functions installed), recorded into a file.
  void start(Wrapper &w, const char *programImage = "functions.zvm") {
    w.record = tempPath("functions.zekbin");
    removeAtEnd.push_back(w.record);
    w.setup(programImage);
    ASSERT_EQ(zek_sfun_init(w.handle(), 0), 1) << lastReport();
    zmx::reset();
  }
};

// The MATLAB side of cf: returns 4.25 and "abc".
int cfReturns(int nlhs, mxArray *plhs[], int, mxArray *[], void *) {
  double d = 4.25;
  if (nlhs >= 1) plhs[0] = zmx::numeric(ZEK_MX_DOUBLE_CLASS, {1, 1}, &d);
  if (nlhs >= 2) plhs[1] = mxCreateString("abc");
  return 0;
}

TEST_F(Functions, ClientArgumentsReachMatlabAsArraysOfTheirClass) {
  Wrapper w;
  w.ports({Port{{{"x"}}, 8}}, {Port{{{"y"}}, 8}});
  start(w);
  zmx::define("cf", cfReturns);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) setValue<int64_t>("cf_m", 10 * i + j, 3 * i + j);
  std::memcpy(channel("cf_t")->value, "hi\0", 3);
  w.setIn<double>(0, 0, 1.5);
  ASSERT_EQ(zek_sfun_update(w.handle()), 1);
  ASSERT_EQ(zek_sfun_cycle(w.handle()), 1) << lastReport();
  ASSERT_EQ(zek_sfun_write(w.handle()), 1);
  ASSERT_EQ(zmx::calls().size(), 1u);
  const zmx::Call &c = zmx::calls()[0];
  EXPECT_EQ(c.name, "cf");
  EXPECT_TRUE(c.trapped) << "the trap flag is set for every call";
  EXPECT_EQ(c.nlhs, 2);
  ASSERT_EQ(c.nrhs, 4);
  EXPECT_EQ(c.rhsClasses, (std::vector<int>{ZEK_MX_DOUBLE_CLASS, ZEK_MX_LOGICAL_CLASS, ZEK_MX_INT64_CLASS,
                                            ZEK_MX_CHAR_CLASS}));
  EXPECT_EQ(c.rhsDims[0], (std::vector<size_t>{1, 1}));
  EXPECT_EQ(c.rhsDims[2], (std::vector<size_t>{2, 3}));
  double d;
  std::memcpy(&d, c.rhsData[0].data(), 8);
  EXPECT_EQ(d, 1.5);
  EXPECT_EQ(c.rhsData[1], (std::vector<uint8_t>{1}));
  // Raw memory in the VM's element order: MATLAB reads it column-major.
  std::vector<int64_t> m(6);
  std::memcpy(m.data(), c.rhsData[2].data(), 48);
  EXPECT_EQ(m, (std::vector<int64_t>{0, 1, 2, 10, 11, 12}));
  EXPECT_EQ(std::string(c.rhsData[3].begin(), c.rhsData[3].end()), "hi");
  EXPECT_EQ(w.outValue<double>(0, 0), 4.25);
  EXPECT_EQ(std::string((const char *)channel("cf_str")->value), "abc");
  EXPECT_EQ(zmx::liveArrays(), 0);
  EXPECT_EQ(zmx::liveBlocks(), 0);
}

// cs answers with what the test puts here.
struct CsAnswer {
  int result = 0;
  bool text = true;           // a char array, else a double
  std::string value;
  bool flag = true;           // a logical, else a double
  bool leaveOut = false;      // no first result at all
};
CsAnswer g_cs;

int csReturns(int nlhs, mxArray *plhs[], int nrhs, mxArray *[], void *) {
  if (nlhs != 2 || nrhs != 0) return 1;
  double one = 1;
  uint8_t yes = 1;
  if (!g_cs.leaveOut)
    plhs[0] = g_cs.text ? mxCreateString(g_cs.value.c_str()) : zmx::numeric(ZEK_MX_DOUBLE_CLASS, {1, 1}, &one);
  plhs[1] = g_cs.flag ? zmx::numeric(ZEK_MX_LOGICAL_CLASS, {1, 1}, &yes) : zmx::numeric(ZEK_MX_DOUBLE_CLASS, {1, 1}, &one);
  return g_cs.result;
}

int c0Returns(int nlhs, mxArray *[], int nrhs, mxArray *[], void *) { return nlhs == 0 && nrhs == 0 ? 0 : 1; }

TEST_F(Functions, ResultsAreCheckedBeforeTheyAreCopied) {
  struct Case {
    const char *what;
    CsAnswer answer;
    const char *text;     // cs_str afterwards (4 bytes, not terminated when full)
    const char *message;  // in the report, or "" when the cycle goes on
  } cases[] = {
      {"a shorter text", {0, true, "ab"}, "ab", ""},
      {"a text exactly as long as the channel", {0, true, "abcd"}, "abcd", ""},
      {"a text one longer", {0, true, "abcde"}, "\x7f\x7f\x7f\x7f",
       "Client function returned a string, that is to long for the ZEK channel."},
      {"a number for a text", {0, false, ""}, "\x7f\x7f\x7f\x7f", "not a text, for the string argument 'cs_str'"},
      {"no result", {0, true, "", true, true}, "\x7f\x7f\x7f\x7f", "MATLAB returned no value for the output argument 'cs_str'."},
      {"a double for a bool", {0, true, "ok", false}, "ok", "for the output argument 'cs_flag' of type bool"},
      {"a failing MATLAB function", {1, true, "no"}, "\x7f\x7f\x7f\x7f", "Error in matlab client function"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    log() = Log{};
    Wrapper w;
    w.ports({}, {});
    start(w, "client_string.zvm");
    zmx::define("cs", csReturns);
    zmx::define("c0", c0Returns);
    g_cs = c.answer;
    std::memset(channel("cs_str")->value, 0x7f, 4);
    uint8_t goOn = zek_sfun_cycle(w.handle());
    EXPECT_EQ(std::string((const char *)channel("cs_str")->value, 4).substr(0, std::strlen(c.text)), c.text);
    if (c.message[0] == '\0') {
      EXPECT_EQ(goOn, 1) << lastReport();
      EXPECT_EQ(zmx::calls().size(), 2u) << "cs and then c0";
      if (std::strlen(c.text) < 4) {
        EXPECT_EQ(channel("cs_str")->value[std::strlen(c.text)], 0) << "terminated";
      }
    } else {
      EXPECT_EQ(goOn, 0);
      EXPECT_THAT(lastReport(), HasSubstr(c.message));
      EXPECT_THAT(lastReport(), HasSubstr("Function 'cs'"));
    }
    EXPECT_EQ(zmx::liveArrays(), 0) << "no array left behind";
    EXPECT_EQ(zmx::liveBlocks(), 0) << "no block left behind";
    zek_sfun_terminate();
  }
}

TEST_F(Functions, SimulinkFunctionsRunTheServerFunctions) {
  Wrapper w;
  w.ports({}, {});
  w.function("twice", {Port{{{"sf_in"}}, 8}}, {Port{{{"sf_out"}}, 8}});
  w.function("bad", {Port{{{"sf_in"}}, 8}}, {Port{{{"sf_out"}}, 8}});
  start(w);
  EXPECT_EQ(w.entries[0].vmFunctionIndex, 0);
  EXPECT_EQ(w.entries[1].vmFunctionIndex, 1);
  std::memcpy(w.argTables[0][0].data, "\0\0\0\0\0\0\x14\x40", 8);  // 5.0
  EXPECT_EQ(zekCallServerFunction(w.handle(), 0), 1) << lastReport();
  double out;
  std::memcpy(&out, w.argTables[1][0].data, 8);
  EXPECT_EQ(out, 10.0);
  // A function that leaves the stack unbalanced fails, is reported and ends the block.
  EXPECT_EQ(zekCallServerFunction(w.handle(), 1), 0);
  EXPECT_THAT(lastReport(), ::testing::StartsWith("Parameter stack pointer mismatch in function call bad"));
  EXPECT_EQ(zek_sfun_cycle(w.handle()), 0);
  EXPECT_EQ(zekCallServerFunction(w.handle(), 0), 0) << "no call after an error";
}

TEST_F(Functions, SimulinkFunctionsSetUpWhileRunningAreMatchedFirst) {
  Wrapper w;
  w.ports({}, {});
  w.function("twice", {Port{{{"sf_in"}}, 8}}, {Port{{{"sf_out"}}, 8}});
  start(w);
  // New entries in the other order, their function indices unset.
  Wrapper other;
  other.function("bad", {Port{{{"sf_in"}}, 8}}, {Port{{{"sf_out"}}, 8}});
  other.function("twice", {Port{{{"sf_in"}}, 8}}, {Port{{{"sf_out"}}, 8}});
  other.entries[0].vmFunctionIndex = other.entries[1].vmFunctionIndex = 0;
  zek_sfun_setup_fcn_io(&other.fcnIo, writeFixFcnOut, readFixFcnIn);
  EXPECT_TRUE(log().reports.empty()) << lastReport();
  EXPECT_EQ(other.entries[0].vmFunctionIndex, 1);
  EXPECT_EQ(other.entries[1].vmFunctionIndex, 0);
  std::memcpy(other.argTables[2][0].data, "\0\0\0\0\0\0\x14\x40", 8);  // 5.0
  EXPECT_EQ(zekCallServerFunction(other.handle(), 1), 1) << lastReport();
  double out;
  std::memcpy(&out, other.argTables[3][0].data, 8);
  EXPECT_EQ(out, 10.0);
  // An entry the program does not serve stops the block at once.
  Wrapper wrong;
  wrong.function("nosuch", {}, {});
  zek_sfun_setup_fcn_io(&wrong.fcnIo, writeFixFcnOut, readFixFcnIn);
  EXPECT_EQ(lastReport(), "Unable to find function 'nosuch' in the ZEK VM's function.");
  EXPECT_EQ(zekCallServerFunction(wrong.handle(), 0), 0);
}

TEST_F(Functions, ServerCallsAreRefusedWhereTheyCannotRun) {
  Wrapper w;
  w.ports({}, {});
  w.function("twice", {Port{{{"sf_in", ZEK_DOUBLE, {8}, {}, 0, true}}, 8}}, {Port{{{"sf_out"}}, 8}});
  w.setup("functions.zvm");
  zek_sfun_setup_fcn_io(nullptr, nullptr, nullptr);
  EXPECT_EQ(zekCallServerFunction(w.handle(), 0), 0);
  EXPECT_EQ(lastReport(), "Internal error: ZEK Server functions interface not initialized.");
  zek_sfun_terminate();
  zek_sfun_setup_fcn_io(&w.fcnIo, writeFixFcnOut, readFixFcnIn);
  log() = Log{};
  EXPECT_EQ(zekCallServerFunction(w.handle(), 0), 0);
  EXPECT_EQ(lastReport(),
            "ZEK S-Function has not been initialized. Please, initialize ZEK S-Function before starting it.");
  zek_sfun_terminate();
  ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
  EXPECT_EQ(zekCallServerFunction(w.handle(), 1), 0);
  EXPECT_EQ(lastReport(), "Internal error: Simulink-Function 1 does not exist; the block has 1.");
  zek_sfun_terminate();
  // An argument transfer that fails fails the call; the function does not run.
  ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
  log().failAtHandlerCall = 0;
  std::memset(w.argTables[1][0].data, 0, 8);
  EXPECT_EQ(zekCallServerFunction(w.handle(), 0), 0);
  EXPECT_EQ(lastReport(), "fixed point handler failed");
  ASSERT_EQ(log().handlerCalls.size(), 1u);
  EXPECT_EQ(log().handlerCalls[0].fcnIndex, 0);
  EXPECT_EQ(log().handlerCalls[0].port, 0u);
  zek_sfun_terminate();
  log() = Log{};
  EXPECT_EQ(zekCallServerFunction(w.handle(), 0), 0) << "the program is gone after terminate";
  EXPECT_EQ(lastReport(),
            "ZEK S-Function has not been initialized. Please, initialize ZEK S-Function before starting it.");
}

TEST_F(Functions, SimulinkFunctionsAreMatchedToServerFunctions) {
  const struct {
    const char *name;
    const char *message;
  } cases[] = {
      {"nosuch", "Unable to find function 'nosuch' in the ZEK VM's function."},
      {"cf", "Function 'cf' is not a server fuction."},
  };
  for (const auto &c : cases) {
    log() = Log{};
    Wrapper w;
    w.ports({}, {});
    w.function(c.name, {}, {});
    w.setup("functions.zvm");
    EXPECT_EQ(zek_sfun_init(w.handle(), 1), 0);
    EXPECT_EQ(lastReport(), c.message);
    zek_sfun_terminate();
  }
  log() = Log{};
  Wrapper w;
  w.ports({}, {});
  w.function("twice", {Port{{{"sf_in"}}, 8, false}}, {});
  w.setup("functions.zvm");
  EXPECT_EQ(zek_sfun_init(w.handle(), 1), 0);
  EXPECT_EQ(lastReport(), "Internal error: Data for Simulink-Function twice, input argument 0 is not yet initialized.");
}

int echoName(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], void *) {
  if (nlhs != 1 || nrhs != 1) return 1;
  char *s = mxArrayToString(prhs[0]);
  if (std::strcmp(s, "fails") == 0) {
    mxFree(s);
    return 1;
  }
  plhs[0] = mxCreateString(s);
  mxFree(s);
  return 0;
}

TEST_F(Functions, EnumBaseTypesComeFromMatlab) {
  zmx::define("zekGetEnumBaseType", echoName);
  const struct {
    const char *text;
    uint32_t type;
  } cases[] = {{"double", 9}, {"float", 8},  {"single", 8}, {"int8", 2},     {"int16", 4},    {"int32", 6},
               {"uint8", 1},  {"uint16", 3}, {"uint32", 5}, {"boolean", 10}, {"logical", 10}, {"int64", 0}};
  for (const auto &c : cases) EXPECT_EQ(getEnumBaseTypeByName(c.text), c.type) << c.text;
  EXPECT_EQ(zmx::calls()[0].name, "zekGetEnumBaseType");
  zek_resetError();
  EXPECT_EQ(getEnumBaseTypeByName("fails"), 0u);
  EXPECT_EQ(zek_getErrorCode(), 123);
  EXPECT_THAT(zek_getErrorMessage(), ::testing::StartsWith("Error getting enum base type"));
  zek_resetError();
  EXPECT_EQ(zmx::liveArrays(), 0);
  EXPECT_EQ(zmx::liveBlocks(), 0);
}

}  // namespace
