// The code-generation tables, byte for byte, the per-port lists and the bounded formatting.
#include "lcc_message_check.h"
#include "sfun_support.h"

using namespace st;

namespace {

struct Tables : public ::testing::Test {
  void TearDown() override { zek_sfun_rtw_cleanup(); }
  Wrapper w;
};

TEST_F(Tables, OneScalarPort) {
  Port p{{{"in1", ZEK_DOUBLE, {8}}}};
  zek_port_data port = w.port(p);
  port.signals[0].slTypeIds[0] = 17;
  port.wrapperFlag = 1;
  char *text = nullptr;
  zek_sfun_gen_rtw_portdata(&text, "blk", 1, &port);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text),
            "static zek_uint32 blk___p0___s0___zek___typeIds[1] = {17};\n"
            "static zek_uint32 blk___p0___s0___zek___typeSizes[1] = {8};\n"
            "static zek_port_signal blk___p0[1] = {\n"
            " {\n"
            "  \"in1\", /* name */\n"
            "  0, /* mlBusElementOffset */\n"
            "  1, /* nSlTypes */\n"
            "blk___p0___s0___zek___typeIds, /* slTypeIds */\n"
            "blk___p0___s0___zek___typeSizes, /* slTypeSizes */\n"
            "  0, /* nDims */\n"
            "  ZEK_NULL, /* dims */\n"
            "  9, /* dataType */\n"
            "  0, /* isScaledFixedPointType */\n"
            "  0, /* zek_vm_adr */\n"
            "  0, /* nMlElementOffsets */\n"
            "  ZEK_NULL /* mlElementOffsets */\n"
            " }\n"
            "};\n"
            "static zek_port_data blk[1] = {\n"
            " {\n"
            "  (void*)0,\n"
            "  1,\n"
            "  blk___p0,\n"
            "  1,\n"
            "  0,\n"
            "  1,\n"
            " }\n"
            "};\n");
}

TEST_F(Tables, BusSignalsEscapedNamesAndAnEmptyPort) {
  zek_port_data ports[2] = {
      w.port(Port{{{"a", ZEK_INT8, {1}}, {"bus.\"q\\", ZEK_DOUBLE, {16, 8}, {S, 2}, 8, true}}, 8, true, true}),
      w.port(Port{{}, 8, false})};
  ports[0].signals[1].slTypeIds[0] = 5;
  ports[0].signals[1].slTypeIds[1] = 6;
  char *text = nullptr;
  zek_sfun_gen_rtw_portdata(&text, "t", 2, ports);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text),
            "static zek_uint32 t___p0___s0___zek___typeIds[1] = {0};\n"
            "static zek_uint32 t___p0___s0___zek___typeSizes[1] = {1};\n"
            "static zek_uint32 t___p0___s1___zek___typeIds[2] = {5, 6};\n"
            "static zek_uint32 t___p0___s1___zek___typeSizes[2] = {16, 8};\n"
            "static zek_tsize t___p0___s1___zek___dims[2] = {4294967295, 2};\n"
            "static zek_port_signal t___p0[2] = {\n"
            " {\n"
            "  \"a\", /* name */\n"
            "  0, /* mlBusElementOffset */\n"
            "  1, /* nSlTypes */\n"
            "t___p0___s0___zek___typeIds, /* slTypeIds */\n"
            "t___p0___s0___zek___typeSizes, /* slTypeSizes */\n"
            "  0, /* nDims */\n"
            "  ZEK_NULL, /* dims */\n"
            "  2, /* dataType */\n"
            "  0, /* isScaledFixedPointType */\n"
            "  0, /* zek_vm_adr */\n"
            "  0, /* nMlElementOffsets */\n"
            "  ZEK_NULL /* mlElementOffsets */\n"
            " }, {\n"
            "  \"bus.\\\"q\\\\\", /* name */\n"
            "  8, /* mlBusElementOffset */\n"
            "  2, /* nSlTypes */\n"
            "t___p0___s1___zek___typeIds, /* slTypeIds */\n"
            "t___p0___s1___zek___typeSizes, /* slTypeSizes */\n"
            "  2, /* nDims */\n"
            "t___p0___s1___zek___dims,/* dims */\n"
            "  9, /* dataType */\n"
            "  1, /* isScaledFixedPointType */\n"
            "  0, /* zek_vm_adr */\n"
            "  0, /* nMlElementOffsets */\n"
            "  ZEK_NULL /* mlElementOffsets */\n"
            " }\n"
            "};\n"
            "static zek_port_signal t___p1[0] = {\n"
            "\n"
            "};\n"
            "static zek_port_data t[2] = {\n"
            " {\n"
            "  (void*)0,\n"
            "  2,\n"
            "  t___p0,\n"
            "  0,\n"
            "  1,\n"
            "  1,\n"
            " }, {\n"
            "  (void*)0,\n"
            "  0,\n"
            "  t___p1,\n"
            "  0,\n"
            "  0,\n"
            "  0,\n"
            " }\n"
            "};\n");
}

TEST_F(Tables, ATextBeyondTheFirstBufferIsPrintedWhole) {
  std::vector<Sig> many(14000, Sig{"signal_with_a_longish_name", ZEK_DOUBLE, {8}, {3}});
  zek_port_data port = w.port(Port{many});
  char *text = nullptr;
  zek_sfun_gen_rtw_portdata(&text, "big_table_name", 1, &port);
  ASSERT_NE(text, nullptr);
  std::string s(text);
  EXPECT_GT(s.size(), 5000000u);
  EXPECT_EQ(s.substr(s.size() - 11), "  1,\n }\n};\n");
  EXPECT_NE(s.find("big_table_name___p0___s13999___zek___dims,/* dims */\n"), std::string::npos);
  // Later, shorter texts reuse the grown buffer.
  char *again = nullptr;
  zek_sfun_gen_rtw_port_signals_vmtype_names(&again, &port);
  EXPECT_EQ(again, text);
  zek_sfun_rtw_cleanup();
  zek_sfun_rtw_cleanup();
}

TEST_F(Tables, AccessSuffixesTypeNamesAndTypeIds) {
  zek_port_data port = w.port(Port{{
      {"bus.a.b", ZEK_DOUBLE, {8, 8, 8}, {S, 2, S}},
      {"bus.a.b", ZEK_BOOL, {8, 8, 8}, {S, S, 3}},
      {"bus.a", ZEK_INT64, {8, 8}, {S, S, 3}},  // a level with no path left closes the suffix
      {"plain", 99, {8}, {}},
      {"bus.c.d", ZEK_UINT16, {2}, {}},
  }});
  char *text = nullptr;
  zek_sfun_gen_rtw_port_signals_suffixes(&text, &port);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "[\"a[0].b\", \"a.b[0]\", \"a\", \"\", \"c.d\"]");
  zek_sfun_gen_rtw_port_signals_vmtype_names(&text, &port);
  EXPECT_STREQ(text, "[\"zek_type_double\", \"zek_type_bool\", \"zek_type_int64\", \"\", \"zek_type_uint16\"]");

  zek_port_data two = w.port(Port{{{"a", ZEK_DOUBLE, {8}}, {"b", ZEK_DOUBLE, {16, 8}}}});
  two.signals[0].slTypeIds[0] = 3;
  two.signals[1].slTypeIds[0] = 4;
  two.signals[1].slTypeIds[1] = 5;
  uint32_t *ids = nullptr, count = 0;
  zek_sfun_gen_rtw_port_signals_typeids(&ids, &count, &two);
  ASSERT_EQ(count, 5u);
  EXPECT_EQ(std::vector<uint32_t>(ids, ids + count), (std::vector<uint32_t>{3, S, 4, 5, S}));
  zek_sfun_free(ids);
}

TEST(BoundedFormatting, ReturnsTheWholeLength) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(zek_sfun_snprintf(buffer, 0, "%d", 123456), 6u);
  EXPECT_EQ(buffer[0], 'x') << "size 0 writes nothing";
  EXPECT_EQ(zek_sfun_snprintf(buffer, 4, "%d", 123456), 6u);
  EXPECT_STREQ(buffer, "123");
  EXPECT_EQ(zek_sfun_snprintf(buffer, 8, "%s", "ab"), 2u);
  EXPECT_STREQ(buffer, "ab");
  // Also in the LCC build, whose vsnprintf answers the characters stored.
  EXPECT_EQ(zek_sfun_snprintf(buffer, 4, "%s", "abcdef"), 6u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(zek_sfun_snprintf(nullptr, 0, "%s", "abcdef"), 6u);
}

TEST(BoundedFormatting, VmMessagesAreCutOnlyInTheLccBuild) {
  expectVmMessagesCutInLccBuildOnly(ZEK_SFUN_TEST_LCC);
}

}  // namespace
