// The ramp gradients of stamp and step channels in both forms, and the channels they refuse.
#include "vm_extras.h"
#include "vm_harness.h"

namespace {

struct RampGradients : ::testing::Test {
  zt::Loaded loaded;
  uint16_t cycleStamp = 0, step = 1, timeStamp = 2, other = 3;
  void SetUp() override {
    zt::Program p;
    p.density = 10000;
    p.channel("cycleStamp", ZEK_UINT32);
    p.channel("step", ZEK_DOUBLE);
    p.channel("timeStamp", ZEK_DOUBLE);
    p.channel("other", ZEK_INT32);
    loaded = zt::load(p);
    ASSERT_EQ(loaded.result, 0u) << zt::errorText();
    zek_resetError();
  }
};

TEST_F(RampGradients, CycleFormCountsTheStampsOwnCycle) {
  zt::setValue<uint32_t>("cycleStamp", 10);
  zt::setValue<double>("step", 0.5);
  vmstate0.cycleCount = 10;
  EXPECT_EQ(zek__RAMPCHAN_computeGradient_NonRealtime(cycleStamp, step), 0.5);
  vmstate0.cycleCount = 13;
  EXPECT_EQ(zek__RAMPCHAN_computeGradient_NonRealtime(cycleStamp, step), 2.0);
  EXPECT_FALSE(zek_hasError());
}

TEST_F(RampGradients, RealTimeFormScalesTheStepToTheTimePassed) {
  zt::setValue<double>("timeStamp", 1.0);
  zt::setValue<double>("step", 0.2);
  vmstate0.time = 1.05;
  EXPECT_DOUBLE_EQ(zek__RAMPCHAN_computeGradient_Realtime(timeStamp, step), 1.0);
  vmstate0.time = 1.0;
  EXPECT_EQ(zek__RAMPCHAN_computeGradient_Realtime(timeStamp, step), 0.2);
  EXPECT_FALSE(zek_hasError());
  // Without a cycle time there is no step per second.
  vmstate0.time = 1.05;
  vmstate0.cycleTime = 0;
  EXPECT_EQ(zek__RAMPCHAN_computeGradient_Realtime(timeStamp, step), 0.0);
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_DENSITY);
}

TEST_F(RampGradients, ChannelsThatCannotBeReadOrHoldAnotherTypeYieldZero) {
  zt::setValue<uint32_t>("cycleStamp", 1);
  zt::setValue<double>("step", 0.5);
  zt::setValue<double>("timeStamp", 0.0);
  vmstate0.cycleCount = 3;
  vmstate0.time = 0.5;
  struct Row {
    const char *what;
    bool realtime;
    uint16_t stamp, step;
    uint16_t code;
  };
  const Row rows[] = {
      {"no such stamp channel", false, 4, step, ZEK_ERR_BYTECODE},
      {"no such step channel", true, timeStamp, 900, ZEK_ERR_BYTECODE},
      {"cycle stamp of int32", false, other, step, ZEK_ERR_TYPE},
      {"cycle stamp of double", false, timeStamp, step, ZEK_ERR_TYPE},
      {"time stamp of uint32", true, cycleStamp, step, ZEK_ERR_TYPE},
      {"step of uint32", false, cycleStamp, cycleStamp, ZEK_ERR_TYPE},
      {"step of int32", true, timeStamp, other, ZEK_ERR_TYPE},
  };
  for (const Row &row : rows) {
    zek_resetError();
    double result = row.realtime ? zek__RAMPCHAN_computeGradient_Realtime(row.stamp, row.step)
                                 : zek__RAMPCHAN_computeGradient_NonRealtime(row.stamp, row.step);
    EXPECT_EQ(result, 0.0) << row.what;
    EXPECT_EQ(zek_getErrorCode(), row.code) << row.what;
  }
  zek_resetError();
  EXPECT_EQ(zek__RAMPCHAN_computeGradient_NonRealtime(cycleStamp, step), 1.5);
  EXPECT_EQ(zt::bareError(), "");
}

}  // namespace
