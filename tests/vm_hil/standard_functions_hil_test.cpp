// The standard functions as the hardware-in-the-loop deliverables carry them: this program links
// standard_functions.cpp built with ZEK_HIL_FUNCTIONS in place of the interpreter's own copy.
#include "standard_functions.h"
#include "vm_harness.h"

namespace {

TEST(HilStandardFunctions, TheTableEndsBeforeTheIeeeHexViews) {
  EXPECT_EQ(zek_functionCount, 24);
  for (int code : {24, 25, 26}) {
    zt::Program p;
    p.code = "PUSHFLOAT 1; FUNCTION " + std::to_string(code) + "; ENDCYCLE";
    auto l = zt::load(p);
    zt::execute(l);
    EXPECT_EQ(zek_getErrorCode(), 103) << code;
    EXPECT_EQ(zt::bareError(), "Std. Function with unknown function code " + std::to_string(code) + " has been called.");
    EXPECT_EQ(zt::topView().type, (uint32_t)ZEK_FLOAT);
  }
  zt::Program p;
  p.code = "PUSHFLOAT 1.25; PUSHUINT8 1; FUNCTION 23; ENDCYCLE";
  auto l = zt::load(p);
  zt::execute(l);
  EXPECT_EQ(zek_getErrorCode(), 0) << zt::errorText();
  EXPECT_EQ(zt::top<float>(), 1.3f);
}

}  // namespace
