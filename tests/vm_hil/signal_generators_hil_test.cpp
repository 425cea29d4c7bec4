// The generators of the hardware-in-the-loop interpreter: no range checks of the parameters,
// the sawtooth's pause rule kept; every output still defined.
#include <cstdio>

#include "vm_harness.h"

namespace {

std::string call(int code, const std::string &operands, const char *t) {
  return operands + "; PUSHDOUBLE " + t + "; STATEFULFUNCTION " + std::to_string(code) + " 0; ";
}

uint16_t execute(const std::string &code, zt::Loaded *loaded) {
  zt::Program p;
  p.buckets = 1;
  p.code = code + "ENDCYCLE";
  *loaded = zt::load(p);
  EXPECT_EQ(loaded->result, 0u) << zt::errorText();
  zt::execute(*loaded);
  return zek_getErrorCode();
}

TEST(HilGenerators, ParametersAreNotChecked) {
  struct Row {
    int code;
    std::string operands;
    int32_t at0, later;
  };
  const Row rows[] = {
      {0, "PUSHINT32 5; PUSHINT32 9; PUSHDOUBLE nan", 5, 5},                                    // impulse
      {1, "PUSHINT32 0; PUSHINT32 10; PUSHDOUBLE 0; PUSHFALSE", 10, 10},                        // ramp
      {2, "PUSHINT32 0; PUSHINT32 10; PUSHDOUBLE nan", 10, 10},                                 // rampgradient
      {3, "PUSHINT32 0; PUSHINT32 1; PUSHDOUBLE 0; PUSHDOUBLE 1", 1, 2147483647},               // steps
      {4, "PUSHINT32 3; PUSHDOUBLE 1; PUSHDOUBLE 0; PUSHDOUBLE 1; PUSHDOUBLE 0", 0, 0},         // sinwave
      {5, "PUSHINT32 0; PUSHINT32 1; PUSHDOUBLE 1; PUSHDOUBLE 1.5; PUSHDOUBLE 2", 1, 1},        // pulsewave
      {6, "PUSHINT32 0; PUSHINT32 10; PUSHDOUBLE 1; PUSHDOUBLE 5; PUSHDOUBLE -0.5", 0, 3},      // sawtooth
  };
  for (const Row &row : rows) {
    zt::Loaded l;
    ASSERT_EQ(execute(call(row.code, row.operands, "0") + call(row.code, row.operands, "0.5"), &l), 0)
        << row.code << ": " << zt::errorText();
    EXPECT_EQ(zt::top<int32_t>(1), row.at0) << row.code;
    // Steps of zero width: the count stops at the end of u32, and 2^32 saturates the int32.
    EXPECT_EQ(zt::top<int32_t>(0), row.later) << row.code;
  }
}

TEST(HilGenerators, TheSawtoothPauseRuleStays) {
  zt::Loaded l;
  const std::string saw = "PUSHINT32 0; PUSHINT32 10; PUSHDOUBLE 1; PUSHDOUBLE 5; PUSHDOUBLE 1";
  EXPECT_EQ(execute(call(6, saw, "0"), &l), 18);
  EXPECT_EQ(zt::bareError(), "Parameter 'pause'=1.000000 must be smaller than 'period'=1.000000 in ZEK.sawtooth().");
  // The stored parameters do not count as a start.
  EXPECT_EQ(execute(call(6, saw, "0") + call(6, saw, "0.5"), &l), 18);
  zt::execute(l);
}

}  // namespace
