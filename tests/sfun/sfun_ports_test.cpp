// Module services, port matching and port value transfer, with the test as the wrapper.
#include "sfun_support.h"

using namespace st;
using ::testing::HasSubstr;

namespace {

class Services : public SfunTest {};

TEST_F(Services, ConsoleOutputGoesToMatlabCutAt2047Characters) {
  zek_printf("ZEK > %d %s\n", 42, "x");
  EXPECT_EQ(zmx::console(), "ZEK > 42 x\n");
  zmx::reset();
  std::string longText(3000, 'a');
  zek_printf("%s", longText.c_str());
  EXPECT_EQ(zmx::console(), std::string(2047, 'a'));
}

TEST_F(Services, ReportsKeepTheirTextForTheWrapper) {
  Wrapper w;
  w.ports({}, {});
  w.setup("ports.zvm");
  zek_reportError(w.handle(), "first failure");
  ASSERT_EQ(log().reports.size(), 1u);
  EXPECT_EQ(log().reportBlocks[0], w.handle());
  const char *kept = log().reportPointers[0];
  EXPECT_STREQ(kept, "first failure");
  // The wrapper reports the kept text once more: it must survive the copy into itself.
  zek_reportError(w.handle(), kept);
  EXPECT_STREQ(kept, "first failure");
  EXPECT_EQ(log().reports.back(), "first failure");
  std::string longText(3000, 'b');
  zek_reportError(w.handle(), longText.c_str());
  EXPECT_EQ(log().reports.back(), std::string(2047, 'b'));
  EXPECT_EQ(zek_sfun_init(w.handle(), 1), 0) << "an errored block must be terminated before a new init";
}

TEST_F(Services, MemoryIsZeroedAndCountsTheVmCycles) {
  uint8_t *p = (uint8_t *)zek_sfun_malloc(64);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
  zek_sfun_free(p);
  zek_sfun_free(nullptr);
  EXPECT_EQ(zek_sfun_getCycleCount(), zek_getCycleCount());
}

// One signal matched against the ports program; the expected report, or "" for a match.
struct MatchCase {
  const char *what;
  bool output;
  Sig signal;
  const char *message;
  int adr;  // expected zek_vm_adr on success
};

TEST_F(Services, MatchingByNameRoleTypeAndDimension) {
  const MatchCase cases[] = {
      {"a plain name", false, {"x"}, "", 0},
      {"an external name", false, {"u_ext", ZEK_INT32, {4}}, "", 1},
      {"the lower index of a duplicate", false, {"dup", ZEK_INT16, {2}}, "", 2},
      {"an output", true, {"y"}, "", 0},
      {"a channel's own name behind its external name", false, {"u_int", ZEK_INT32, {4}},
       "Unable to find a signal with external name 'u_int' in the ZEK VM's input signals.", -1},
      {"a channel without ports", false, {"hidden"},
       "Unable to find a signal with external name 'hidden' in the ZEK VM's input signals.", -1},
      {"an output name among the inputs", false, {"y"},
       "Unable to find a signal with external name 'y' in the ZEK VM's input signals.", -1},
      {"a parameter on an output port", true, {"par"},
       "The signal 'par' has different roles. The role in ZEK is parameter, but the role in MATLAB is output.", -1},
      {"another type", false, {"x", ZEK_INT32, {4}},
       "The signal 'x' has different data types. ZEK data type is 'double', but MATLAB data type is 'int32'.", -1},
      {"another size", false, {"x", ZEK_DOUBLE, {4}},
       "The signal 'x' has different data types sizes. ZEK data type size is '8', but MATLAB data type size is '4'.", -1},
      {"another depth", false, {"a", ZEK_DOUBLE, {8}, {6}},
       "The signal 'a' has different different structural depths. ZEK structural depth is '2', but MATLAB structural "
       "depth is '1'.",
       -1},
      {"an adopted first extent", false, {"s3", ZEK_DOUBLE, {16, 8}, {3, S, 2}}, "", 11},
      {"an extent inside the bus", false, {"s3", ZEK_DOUBLE, {16, 8}, {5, S, 3}},
       "The signal 's3' has a missmatch in dimension at dimension index 2. ZEK dimension is '2', but MATLAB dimension "
       "is '3'.",
       -1},
      {"a structural level against an extent", false, {"s3", ZEK_DOUBLE, {16, 8}, {5, 2, 2}},
       "The signal 's3' has a structural missmatch at dimension index 1.", -1},
      {"extents that do not give the element count", false, {"short", ZEK_DOUBLE, {8}, {2, 3}},
       "The signal 'short' has 5 elements in ZEK, but its dimensions give 6.", -1},
      {"more structural levels than sizes", false, {"deep", ZEK_DOUBLE, {16, 8}, {S, 2, S, 2}},
       "The signal 'deep' has 2 structural levels in ZEK, but MATLAB gives the sizes of only 1 levels.", -1},
  };
  for (const MatchCase &c : cases) {
    SCOPED_TRACE(c.what);
    log() = Log{};
    Wrapper w;
    Port port{{c.signal}, 256};
    if (c.output)
      w.ports({}, {port});
    else
      w.ports({port}, {});
    w.setup("ports.zvm");
    uint8_t goOn = zek_sfun_init(w.handle(), 1);
    zek_port_signal &s = c.output ? w.outSignal(0, 0) : w.inSignal(0, 0);
    if (c.message[0] == '\0') {
      EXPECT_EQ(goOn, 1);
      EXPECT_TRUE(log().reports.empty()) << lastReport();
      EXPECT_EQ(s.zek_vm_adr, c.adr);
    } else {
      EXPECT_EQ(goOn, 0);
      ASSERT_EQ(log().reports.size(), 1u) << "the first mismatch is the only one reported";
      EXPECT_EQ(log().reports[0], c.message);
    }
    zek_sfun_terminate();
  }
}

TEST_F(Services, AdoptedExtentAndPortRecordFaults) {
  {
    Wrapper w;
    w.ports({Port{{{"s3", ZEK_DOUBLE, {16, 8}, {3, S, 2}}}, 256}}, {});
    w.setup("ports.zvm");
    ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
    EXPECT_EQ(w.inSignal(0, 0).dims[0], 5u) << "the port adopts the program's extent";
    zek_sfun_terminate();
  }
  struct Case {
    Port port;
    bool output;
    const char *message;
  } cases[] = {
      {Port{{{"x"}}, 8, false}, false, "Internal error: Data for S-Function input port 0 is not yet initialized."},
      {Port{{{"y"}}, 8, false}, true, "Internal error: Data for S-Function output port 0 is not yet initialized."},
      {Port{{{"x"}}, 8, true, false, true}, false,
       "Internal error: Data for S-Function input port 0 is marked initialized but has no memory."},
      {Port{{{"x", ZEK_DOUBLE, {8}, {}, -8}}, 8}, false, "Internal error: The record of the signal 'x' is incomplete."},
      {Port{{{"x", ZEK_DOUBLE, {}}}, 8}, false, "Internal error: The record of the signal 'x' is incomplete."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    log() = Log{};
    Wrapper w;
    if (c.output)
      w.ports({}, {c.port});
    else
      w.ports({c.port}, {});
    w.setup("ports.zvm");
    EXPECT_EQ(zek_sfun_init(w.handle(), 1), 0);
    EXPECT_EQ(lastReport(), c.message);
    zek_sfun_terminate();
  }
  log() = Log{};
  zek_sfun_setup(0.01, onReport, image("ports.zvm").c_str(), "", nullptr, nullptr, nullptr);
  EXPECT_EQ(zek_sfun_init(nullptr, 1), 0);
  EXPECT_EQ(lastReport(), "Internal error: Simulink interface not set\n");
}

std::vector<uint32_t> offsets(const zek_port_signal &s) {
  if (s.mlElementOffsets == nullptr) return {};
  return std::vector<uint32_t>(s.mlElementOffsets, s.mlElementOffsets + s.nMlElementOffsets);
}

TEST_F(Services, ElementOffsetTablesFollowThePortLayout) {
  Wrapper w;
  w.ports({Port{{{"a", ZEK_DOUBLE, {8}, {2, 3}},
                 {"sb", ZEK_DOUBLE, {40, 8}, {2, S, 3}},
                 {"fx", ZEK_INT16, {8}, {}, 0, true},
                 {"v", ZEK_DOUBLE, {8}, {4}},
                 {"x"}},
                256}},
          {});
  w.setup("ports.zvm");
  ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
  EXPECT_EQ(offsets(w.inSignal(0, 0)), (std::vector<uint32_t>{0, 16, 32, 8, 24, 40})) << "2-D, column-major port";
  EXPECT_EQ(offsets(w.inSignal(0, 1)), (std::vector<uint32_t>{0, 8, 16, 40, 48, 56})) << "array of buses";
  EXPECT_EQ(offsets(w.inSignal(0, 2)), (std::vector<uint32_t>{0})) << "a fixed-point scalar";
  EXPECT_EQ(w.inSignal(0, 3).nMlElementOffsets, 0u) << "a 1-D array is one block";
  EXPECT_EQ(w.inSignal(0, 3).mlElementOffsets, nullptr);
  EXPECT_EQ(w.inSignal(0, 4).mlElementOffsets, nullptr);
}

class Transfer : public SfunTest {};

TEST_F(Transfer, ArraysAndBusesInVmElementOrder) {
  Wrapper w;
  w.ports({Port{{{"a", ZEK_DOUBLE, {8}, {2, 3}}}, 48},
           Port{{{"bus.a", ZEK_DOUBLE, {16, 8}, {}, 0}, {"bus.b", ZEK_INT32, {16, 4}, {}, 8}}, 16},
           Port{{{"v", ZEK_DOUBLE, {8}, {4}}}, 32}},
          {Port{{{"b", ZEK_DOUBLE, {8}, {2, 3}}}, 48}});
  w.setup("ports.zvm");
  ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) w.setIn<double>(0, (i + 2 * j) * 8, 10.0 * i + j);
  w.setIn<double>(1, 0, 2.5);
  w.setIn<int32_t>(1, 8, -7);
  for (int k = 0; k < 4; ++k) w.setIn<double>(2, k * 8, k + 0.5);
  ASSERT_EQ(zek_sfun_update(w.handle()), 1);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(value<double>("a", 3 * i + j), 10.0 * i + j) << i << "," << j;
  EXPECT_EQ(value<double>("bus_a"), 2.5);
  EXPECT_EQ(value<int32_t>("bus_b"), -7);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(value<double>("v", k), k + 0.5);
  ASSERT_EQ(zek_sfun_cycle(w.handle()), 1) << lastReport();
  ASSERT_EQ(zek_sfun_write(w.handle()), 1);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(w.outValue<double>(0, (i + 2 * j) * 8), 10.0 * i + j) << i << "," << j;
}

TEST_F(Transfer, FixedPointGoesThroughTheHandlersWithEveryArgument) {
  Wrapper w;
  w.ports({Port{{{"x"}, {"fxa", ZEK_INT16, {8}, {2, 2}, 16, true}}, 64}},
          {Port{{{"y"}}, 8}, Port{{{"fya", ZEK_INT16, {8}, {2, 2}, 8, true}}, 48}});
  w.setup("ports.zvm");
  ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) w.setIn<double>(0, 16 + (i + 2 * j) * 8, 1.0 * i + 0.1 * j + 0.01);
  ASSERT_EQ(zek_sfun_update(w.handle()), 1) << lastReport();
  const auto &calls = log().handlerCalls;
  ASSERT_EQ(calls.size(), 4u);
  ChannelDecl *fxa = channel("fxa");
  uint8_t *port = (uint8_t *)w.inputs[0].data;
  const uint32_t expectedOffsets[] = {0, 16, 8, 24};
  for (uint32_t e = 0; e < 4; ++e) {
    SCOPED_TRACE(e);
    EXPECT_TRUE(calls[e].toVm);
    EXPECT_EQ(calls[e].port, 0u);
    EXPECT_EQ(calls[e].signal, 1u);
    EXPECT_EQ(calls[e].vmElement, fxa->value + 2 * e);
    EXPECT_EQ(calls[e].baseType, (uint32_t)ZEK_INT16);
    EXPECT_EQ(calls[e].elementSize, 2);
    EXPECT_EQ(calls[e].slElement, port + 16 + expectedOffsets[e]);
    EXPECT_EQ(calls[e].slSize, 8u);
  }
  EXPECT_EQ(value<int16_t>("fxa", 0), 0);
  EXPECT_EQ(value<int16_t>("fxa", 1), 1);
  EXPECT_EQ(value<int16_t>("fxa", 2), 10);
  EXPECT_EQ(value<int16_t>("fxa", 3), 11);
  ASSERT_EQ(zek_sfun_cycle(w.handle()), 1) << lastReport();
  log().handlerCalls.clear();
  ASSERT_EQ(zek_sfun_write(w.handle()), 1) << lastReport();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_FALSE(calls[0].toVm);
  EXPECT_EQ(calls[0].port, 1u) << "the output port's own index";
  EXPECT_EQ(calls[0].signal, 0u);
  EXPECT_EQ(w.outValue<double>(1, 8 + 8), 1.0) << "VM element (1,0) at port offset 8";
}

TEST_F(Transfer, AFailingHandlerStopsTheCopy) {
  Wrapper w;
  w.ports({Port{{{"fxa", ZEK_INT16, {8}, {2, 2}, 0, true}, {"x"}}, 48}}, {});
  w.setup("ports.zvm");
  ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
  w.setIn<double>(0, 32, 9.0);
  log().failAtHandlerCall = 1;
  EXPECT_EQ(zek_sfun_update(w.handle()), 0);
  EXPECT_EQ(log().handlerCalls.size(), 2u) << "no element after the failing one";
  EXPECT_EQ(lastReport(), "fixed point handler failed");
  EXPECT_EQ(value<double>("x"), 0.0) << "no signal after the failing one";
  EXPECT_EQ(zek_sfun_cycle(w.handle()), 0);
}

TEST_F(Transfer, AMissingHandlerIsReported) {
  Wrapper w;
  w.ports({Port{{{"fx", ZEK_INT16, {8}, {}, 0, true}}, 8}}, {Port{{{"fy", ZEK_INT16, {8}, {}, 0, true}}, 8}});
  w.setup("ports.zvm");
  zek_sfun_setup(0.01, onReport, w.program.c_str(), "", &w.io, nullptr, nullptr);
  ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
  EXPECT_EQ(zek_sfun_write(w.handle()), 0);
  EXPECT_EQ(lastReport(),
            "Cannot write value for scaled fixed point data at output port 0. Fixed point data handler not set.");
  zek_sfun_terminate();
  log() = Log{};
  ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
  EXPECT_EQ(zek_sfun_update(w.handle()), 0);
  EXPECT_EQ(lastReport(),
            "Cannot read value for scaled fixed point data at input port 0. Fixed point data handler not set.");
}

TEST_F(Transfer, OutputsReachThePortsOnlyWhileLoadedOrRunning) {
  Wrapper w;
  w.ports({Port{{{"x"}}, 8}}, {Port{{{"yi"}}, 8, true, true}, Port{{{"y"}}, 8}});
  w.setup("ports.zvm");
  ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
  EXPECT_EQ(w.outValue<double>(0, 0), 7.5) << "the initial output is written during matching";
  std::memset(w.outputs[0].data, 0, 8);
  ASSERT_EQ(zek_sfun_write(w.handle()), 1);
  EXPECT_EQ(w.outValue<double>(0, 0), 7.5) << "state 1 writes";
  zek_sfun_terminate();
  std::memset(w.outputs[0].data, 0, 8);
  EXPECT_EQ(zek_sfun_write(w.handle()), 1) << "state 0 writes nothing";
  EXPECT_EQ(w.outValue<double>(0, 0), 0.0);
  ASSERT_EQ(zek_sfun_init(w.handle(), 1), 1) << lastReport();
  zek_reportError(w.handle(), "stop");
  std::memset(w.outputs[0].data, 0, 8);
  EXPECT_EQ(zek_sfun_write(w.handle()), 0);
  EXPECT_EQ(w.outValue<double>(0, 0), 0.0) << "state 4 writes nothing";
}

}  // namespace
