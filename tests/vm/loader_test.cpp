#include <cinttypes>

#include "vm_harness.h"
#include "faults.h"

namespace {

using zt::Program;

Program richProgram(bool bigEndian) {
  Program p;
  p.bigEndian = bigEndian;
  p.density = 2500;
  p.timeout = 40;
  p.history = 5;
  p.flags = 1;
  p.attributes = {"suppressed=a,bc"};
  p.enums.push_back({ZEK_INT16, {-2, 300}, {"LOW", "HIGH"}});
  p.events.push_back({7, "started"});
  auto &in = p.channel("in", ZEK_INT16, ZEK_ROLE_INPUT, 3);
  in.init = zt::bytesOf<int16_t>({-1, 2, 0x1234});
  in.flags = 0x3F;
  in.scaling = std::vector<double>{1.0, 2.5, 0.0, 1.0};
  in.externalName = "ext_in";
  in.option2 = 12;
  in.dims = std::vector<uint32_t>{3, 0xFFFFFFFFu};
  in.option4 = -7;
  in.option5 = 9;
  in.attributes = std::vector<std::string>{"exchangemode=LOCAL"};
  auto &after = p.channel("after", ZEK_DOUBLE, ZEK_ROLE_OUTPUT);  // right behind all optional parts
  after.init = zt::bytesOf<double>({-0.75});
  after.part = 2;
  p.channel("big", ZEK_INT64, ZEK_ROLE_PARAMETER).init = zt::bytesOf<int64_t>({0x0102030405060708LL});
  auto &f = p.channel("f", ZEK_FLOAT, ZEK_ROLE_LOCAL);
  f.init = zt::bytesOf<float>({3.5f});
  f.part = 3;
  p.channel("flag", ZEK_BOOL, ZEK_ROLE_INTERNAL).init = {1};
  p.channel("arg", ZEK_UINT32, ZEK_ROLE_FUNC_INPUT).init = zt::bytesOf<uint32_t>({0xDEADBEEF});
  p.functions.push_back({"serve", 1, "srv", 5, 1, std::nullopt, std::nullopt});
  p.functions.push_back({"client", 2, "", 5, 1, std::nullopt, std::nullopt});
  p.code = "ENDCYCLE; srv: ENDCYCLE";
  return p;
}

TEST(Loader, BothByteOrdersGiveTheSameProgram) {
  std::vector<uint8_t> heaps[2];
  for (int big = 0; big < 2; ++big) {
    auto l = zt::load(richProgram(big != 0));
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    VmData *d = zek_getData();
    EXPECT_EQ(zek_getDensity(), 2500u);
    EXPECT_EQ(zek_getTimeout(), 40u);
    EXPECT_EQ(zek_getHistorySize(), 5u);
    EXPECT_EQ(zek_isSutSynchron(), 1);
    EXPECT_EQ(zek_isRecordCycle(), 1);
    ASSERT_EQ(d->enumSetCount, 1);
    EXPECT_EQ(d->enumSets[0].baseType, (uint32_t)ZEK_INT16);
    EXPECT_EQ(zek_load_as<int16_t>(d->enumSets[0].values + 2), 300);
    EXPECT_STREQ(d->enumSets[0].names[1], "HIGH");
    ASSERT_EQ(d->eventCount, 1);
    EXPECT_EQ(d->events[0].id, 7);
    EXPECT_STREQ(d->events[0].name, "started");

    ChannelDecl *in = zt::channel("in");
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->elementSize, 2);
    EXPECT_EQ(in->elementCount, 3u);
    EXPECT_EQ(zt::value<int16_t>("in", 2), 0x1234);
    EXPECT_EQ(zt::value<int16_t>("in", 0), -1);
    EXPECT_EQ(in->flagBit0 + in->flagBit4 + in->recorded + in->flagBit2 + in->isText + in->needsNoPort, 6);
    ASSERT_NE(in->scaling, nullptr);
    EXPECT_EQ(in->scaling[1], 2.5);
    EXPECT_STREQ(in->externalName, "ext_in");
    EXPECT_EQ(in->option2, 12);
    EXPECT_EQ(in->option4, -7);
    EXPECT_EQ(in->option5, 9);
    ASSERT_EQ(in->dimCount, 2);
    EXPECT_EQ(in->dims[1], 0xFFFFFFFFu);
    ASSERT_EQ(in->fixedDimCount, 1);
    EXPECT_EQ(in->fixedDims[0], 3u);
    EXPECT_STREQ(zek_get_attribute(in->attributes, "exchangemode"), "LOCAL");

    ChannelDecl *after = zt::channel("after");
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->option2, -1);
    EXPECT_EQ(after->scaling, nullptr);
    EXPECT_EQ(after->dimCount, 0);
    EXPECT_EQ(after->fixedDimCount, 1);
    EXPECT_EQ(after->fixedDims[0], 1u);
    EXPECT_EQ(zt::value<double>("after"), -0.75);
    EXPECT_EQ(zt::value<int64_t>("big"), 0x0102030405060708LL);
    EXPECT_EQ(zt::value<float>("f"), 3.5f);
    EXPECT_EQ(zt::value<uint32_t>("arg"), 0xDEADBEEFu);

    ASSERT_EQ(d->functionCount, 2);
    EXPECT_EQ(d->functions[0].handler, &zek_serverFunctionHandler);
    EXPECT_EQ(d->functions[0].firstArg, zt::channel("arg"));
    EXPECT_EQ(d->functions[0].entryPoint, 1u);
    EXPECT_EQ(d->functions[1].handler, nullptr);
    EXPECT_STREQ(zek_getSuppressedSignalNames(), "a,bc");
    heaps[big].assign(zek_getValuesHeapBuffer(), zek_getValuesHeapBuffer() + zek_getValuesHeapBufferSize());
  }
  EXPECT_EQ(heaps[0], heaps[1]);
}

TEST(Loader, AnEmptyAttributeListTakesItsTwoBytes) {
  Program p;
  p.channel("first", ZEK_INT32, 3).attributes = std::vector<std::string>{};
  auto &second = p.channel("second", ZEK_INT32, 3);
  second.attributes = std::vector<std::string>{"exchangemode=LOCAL"};
  second.init = zt::bytesOf<int32_t>({41});
  p.channel("third", ZEK_INT32, 3).externalName = "x3";
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  EXPECT_EQ(zek_attributes_len(zt::channel("first")->attributes), 2);
  EXPECT_STREQ(zek_get_attribute(zt::channel("second")->attributes, "exchangemode"), "LOCAL");
  EXPECT_EQ(zt::value<int32_t>("second"), 41);
  EXPECT_STREQ(zt::channel("third")->externalName, "x3");
  // The program attribute list may be empty as well.
  EXPECT_STREQ(zek_getSuppressedSignalNames(), "");
}

TEST(Loader, RoleGroupsFollowTheChannelTable) {
  Program p;
  p.channel("i1", ZEK_INT32, 0);
  p.channel("i2", ZEK_INT32, 0);
  p.channel("o1", ZEK_INT32, 1);
  p.channel("par", ZEK_INT32, 2);
  p.channel("loc", ZEK_INT32, 3);
  p.channel("int", ZEK_INT32, 4);
  p.channel("meas", ZEK_INT32, 8);
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  VmData *d = zek_getData();
  EXPECT_EQ(d->inputCount, 2);
  EXPECT_EQ(d->inputs, d->channels);
  EXPECT_EQ(d->outputCount, 2);
  EXPECT_STREQ(d->outputs[0].name, "o1");
  EXPECT_EQ(d->localCount, 2);
  EXPECT_STREQ(d->locals[1].name, "int");
}

TEST(Loader, HeaderClamps) {
  for (uint32_t history : {0u, 1u, 2u, 9u}) {
    Program p;
    p.history = history;
    p.valueStack = 100;
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u);
    EXPECT_EQ(zek_getHistorySize(), history < 2 ? 2u : history);
    EXPECT_EQ(vmstate0.values.end - vmstate0.values.base, 8192);
    EXPECT_EQ(vmstate0.sizes.end - vmstate0.sizes.base, 8192);
    EXPECT_EQ(vmstate0.index.end - vmstate0.index.base, 48);
  }
}

TEST(Loader, SuppressedNamesArePrefixes) {
  Program p;
  p.attributes = {"suppressed=a,bc"};
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  for (const char *name : {"a", "abc", "bcd"}) EXPECT_TRUE(zek_isSuppressedSignalName(name)) << name;
  EXPECT_FALSE(zek_isSuppressedSignalName("b"));
  Program none;
  auto l2 = zt::load(none);
  EXPECT_STREQ(zek_getSuppressedSignalNames(), "");
  EXPECT_FALSE(zek_isSuppressedSignalName("a"));
}

// A patch applied to a valid image, and what the loader must say about it.
struct Rejection {
  const char *what;
  void (*patch)(zt::Image &);
  uint16_t code;
  const char *message;  // printf-style expectations are spelled out in full
};

uint32_t crcOf(const zt::Image &img) { return zek_computeCrc(img.data(), img.layout.length - 4); }

TEST(Loader, RejectionTable) {
  Program base;
  base.enums.push_back({ZEK_UINT8, {1}, {"ONE"}});
  base.channel("x", ZEK_INT32, 0);
  base.functions.push_back({"fn", 1, "", 0, 0, std::nullopt, std::nullopt});
  const Rejection rows[] = {
      {"magic", [](zt::Image &i) { i.bytes[0] = 'Y'; }, 10, "Wrong magic key."},
      {"version", [](zt::Image &i) { i.bytes[6] = 16; }, 11,
       "Version mismatch. The bytecode version is 16, the version supported by the ZEK VM is 17."},
      {"channel type", [](zt::Image &i) { i.bytes[i.layout.channelRecords[0] + 6] = 11; zt::fixCrc(i.bytes); }, 11,
       "Unknown type id: '11' for channel id '0'."},
      {"channel role", [](zt::Image &i) { i.bytes[i.layout.channelRecords[0] + 12] = 9; zt::fixCrc(i.bytes); }, 11,
       "Unknown role id: '9' for channel id '0'."},
      {"function role", [](zt::Image &i) { i.bytes[i.layout.functionBlock + 4] = 3; zt::fixCrc(i.bytes); }, 11,
       "Unknown Client/Server role: '3' for function 'fn'."},
      {"enum type", [](zt::Image &i) { i.bytes[i.layout.enumBlock + 2] = 0; zt::fixCrc(i.bytes); }, 18,
       "Type 0 not allowed in zek_getBaseTypeSize()."},
  };
  for (const Rejection &row : rows) {
    zt::Image img = base.build();
    row.patch(img);
    EXPECT_EQ(zek_load(img.data()), 1u) << row.what;
    EXPECT_EQ(zek_getErrorCode(), row.code) << row.what;
    EXPECT_EQ(zt::bareError(), row.message) << row.what;
    EXPECT_EQ(zek_getData()->channelCount, 0) << row.what;
  }
}

TEST(Loader, CrcMismatchNamesBothValues) {
  Program p;
  zt::Image img = p.build();
  uint32_t good = crcOf(img);
  img.bytes[img.layout.codeBase] ^= 0xFF;  // the byte code is covered by the CRC
  uint32_t now = crcOf(img);
  ASSERT_EQ(zek_load(img.data()), 1u);
  EXPECT_EQ(zek_getErrorCode(), 11);
  char expected[128];
  std::snprintf(expected, sizeof expected, "CRC-Error. The CRC read from the file is 0x%08x the computed CRC is 0x%08x.",
                good, now);
  EXPECT_EQ(zt::bareError(), expected);
  EXPECT_EQ(zek_runCycle(), 1u);  // no program is left to run
  EXPECT_EQ(zek_getErrorCode(), 123);
}

TEST(Loader, InconsistentTablesAreRefused) {
  struct Row {
    const char *what;
    Program program;
  };
  std::vector<Row> rows;
  {
    Program p;
    p.channel("x", ZEK_INT32, 3).heapOffset = 2;  // 4 bytes from offset 2 in a 4-byte heap
    rows.push_back({"channel leaves the heap", p});
  }
  {
    Program p;
    p.channel("x", ZEK_INT32, 1);
    p.channel("y", ZEK_INT32, 0);
    rows.push_back({"roles out of order", p});
  }
  {
    Program p;
    p.channel("x", ZEK_INT32, 5);
    p.functions.push_back({"f", 1, "", 0, 2, std::nullopt, std::nullopt});
    rows.push_back({"arguments leave the channel table", p});
  }
  {
    Program p;
    p.functions.push_back({"f", 1, "", 0, 0, std::nullopt, 1000u});
    rows.push_back({"entry point leaves the code", p});
  }
  {
    Program p;
    p.channel("x", ZEK_INT32, 3, 0);
    rows.push_back({"no elements", p});
  }
  for (Row &row : rows) {
    auto l = zt::load(row.program);
    EXPECT_EQ(l.result, 1u) << row.what;
    EXPECT_EQ(zek_getErrorCode(), 11) << row.what << ": " << zt::errorText();
  }
}

TEST(Loader, MalformedImagesEndInAnError) {
  Program p;
  p.channel("x", ZEK_INT32, 0);
  p.channel("y", ZEK_INT32, 1);
  p.functions.push_back({"fn", 1, "", 0, 1, std::nullopt, std::nullopt});
  p.events.push_back({1, "e"});
  p.enums.push_back({ZEK_UINT8, {1, 2}, {"A", "B"}});
  const zt::Image good = p.build();
  struct Row {
    const char *what;
    std::function<void(zt::Image &)> patch;
  };
  const Row rows[] = {
      {"length below the header", [](zt::Image &i) { zt::put32(i.bytes, 7, 20); }},
      {"enum block past the end", [](zt::Image &i) { zt::put32(i.bytes, 44, i.layout.length + 100); }},
      {"channel block past the end", [](zt::Image &i) { zt::put32(i.bytes, 52, 0xFFFFFFF0u); }},
      {"function block past the end", [](zt::Image &i) { zt::put32(i.bytes, 60, i.layout.length - 4); }},
      {"event block past the end", [](zt::Image &i) { zt::put32(i.bytes, 68, i.layout.length); }},
      {"initial values past the end", [](zt::Image &i) { zt::put32(i.bytes, 76, i.layout.codeBase + 2); }},
      {"code base past the end", [](zt::Image &i) { zt::put32(i.bytes, 84, i.layout.length - 4); }},
      {"channel count 0xFFFF", [](zt::Image &i) { zt::put16(i.bytes, i.layout.channelBlock, 0xFFFF); }},
      {"function count 0xFFFF", [](zt::Image &i) { zt::put16(i.bytes, i.layout.functionBlock, 0xFFFF); }},
      {"event count 0xFFFF", [](zt::Image &i) { zt::put16(i.bytes, i.layout.eventBlock, 0xFFFF); }},
      {"enum count 0xFFFF", [](zt::Image &i) { zt::put16(i.bytes, i.layout.enumBlock, 0xFFFF); }},
      {"enum value count 0xFFFF", [](zt::Image &i) { zt::put16(i.bytes, i.layout.enumBlock + 3, 0xFFFF); }},
      {"heap sizes beyond 4 GiB", [](zt::Image &i) { zt::put32(i.bytes, 23, 0xFFFFFFF0u); zt::put32(i.bytes, 27, 0x100u); }},
      {"history ring beyond 4 GiB", [](zt::Image &i) { zt::put32(i.bytes, 19, 0xFFFFFFFFu); zt::put32(i.bytes, 31, 16); }},
      {"value stack beyond 4 GiB", [](zt::Image &i) { zt::put32(i.bytes, 37, 0x40000001u); }},
      {"name without NUL up to the CRC",
       [](zt::Image &i) {
         // Turn every byte from the event name to the CRC into text.
         for (uint32_t k = i.layout.eventBlock + 4; k < i.layout.length - 4; ++k) i.bytes[k] = 'n';
       }},
  };
  for (const Row &row : rows) {
    zt::Image img = good;
    row.patch(img);
    zt::fixCrc(img.bytes);
    uint32_t length = zek_getProgramLength(img.data());
    if (length != 0xFFFFFFFFu && (uint64_t)length + 4 > img.bytes.size()) img.bytes.resize((size_t)length + 4);
    EXPECT_EQ(zek_load(img.data()), 1u) << row.what;
    EXPECT_TRUE(zek_getErrorCode() == 11 || zek_getErrorCode() == 15 || zek_getErrorCode() == 18) << row.what << ": " << zt::errorText();
    EXPECT_EQ(zek_getData()->channelCount, 0) << row.what;
  }
}

TEST(Loader, TruncatedFilesAreRefusedBeforeLoading) {
  Program p;
  p.channel("x", ZEK_INT32, 0);
  zt::Image img = p.build();
  EXPECT_TRUE(zek_checkImageSize(img.data(), img.bytes.size()));
  EXPECT_FALSE(zek_checkImageSize(img.data(), img.bytes.size() - 1));
  EXPECT_EQ(zek_getErrorCode(), 11);
  EXPECT_FALSE(zek_checkImageSize(img.data(), 8));
  EXPECT_EQ(zek_getProgramLength(img.data()), img.layout.length);
  img.bytes[0] = 'X';
  EXPECT_EQ(zek_getProgramLength(img.data()), 0xFFFFFFFFu);
}

// A sized load of a buffer shorter than its image fails as any failed load: the message
// with the context of the reset VM (not that of the program run before), nothing loaded.
TEST(Loader, ASizedLoadRefusesACutBufferAsAnyFailedLoad) {
  Program p;
  p.density = 1000;
  p.channel("x", ZEK_INT32, 0);
  zt::Image img = p.build();
  const uint64_t whole = img.bytes.size();
  const std::string context = " (error=11, address=0x0000, time=0.000000s)";
  const struct {
    uint64_t size;
    std::string message;
  } cases[] = {
      {whole - 1, "Malformed program image. The program announces " + std::to_string(whole) +
                      " bytes, the file holds " + std::to_string(whole - 1) + "." + context},
      {8, "Malformed program image. The file of 8 bytes is shorter than its header." + context},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.size);
    ASSERT_EQ(zek_loadSized(img.data(), whole), 0u) << zt::errorText();
    for (int k = 0; k < 3; ++k) ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
    EXPECT_EQ(zek_loadSized(img.data(), c.size), 1u);
    EXPECT_EQ(zek_getErrorCode(), 11);
    EXPECT_EQ(zt::errorText(), c.message);
    EXPECT_EQ(zek_getData()->channelCount, 0) << "the program before is discarded";
    EXPECT_EQ(zek_getCycleCount(), 0u);
  }
  // The header's own faults read as zek_load gives them.
  img.bytes[6] = 16;
  EXPECT_EQ(zek_loadSized(img.data(), whole), 1u);
  std::string sized = zt::errorText();
  EXPECT_EQ(zek_load(img.data()), 1u);
  EXPECT_EQ(sized, zt::errorText());
  EXPECT_EQ(sized, "Version mismatch. The bytecode version is 16, the version supported by the ZEK VM is 17." + context);
}

// Every allocation of a load fails once in turn: each load ends in the memory error with
// nothing of the program left, and the next load of the same image succeeds.
TEST(Loader, AFailedAllocationAtAnyPointEndsTheLoad) {
  Program p = richProgram(false);
  p.buckets = 2;
  zt::Image img = p.build();
  uint64_t allocations = zt::failEachCallInTurn(PLAT_FAULT_ALLOCATION, [&](uint64_t n) {
    uint32_t result = zek_load(img.data());
    uint16_t code = zek_getErrorCode();
    uint16_t channels = zek_getData()->channelCount;
    std::string text = zt::errorText();
    return [=](bool fired) {
      EXPECT_EQ(result, fired ? 1u : 0u) << n << ": " << text;
      if (fired) {
        EXPECT_EQ(code, ZEK_ERR_MEMORY) << n << ": " << text;
        EXPECT_EQ(channels, 0) << n;
      }
    };
  });
  EXPECT_GT(allocations, 3u);
  EXPECT_EQ(zek_load(img.data()), 0u);
  EXPECT_NE(zt::channel("in"), nullptr);
}

int g_cleanups = 0;
void countCleanup(uint16_t index, void *bucket) {
  g_cleanups += 1 + index;
  zek_free(bucket);
}

TEST(Loader, ReloadReleasesThePreviousProgramAndItsBuckets) {
  Program p;
  p.buckets = 3;
  auto first = zt::load(p);
  ASSERT_EQ(first.result, 0u);
  ASSERT_NE(vmstate0.buckets, nullptr);
  vmstate0.buckets[0] = zek_malloc(16);
  vmstate0.bucketCleanups[0] = countCleanup;
  vmstate0.buckets[2] = zek_malloc(16);
  vmstate0.bucketCleanups[2] = countCleanup;
  vmstate0.buckets[1] = zek_malloc(16);
  vmstate0.bucketCleanups[1] = zek_default_bucket_cleanup;
  zek_installRealtimeCmd([] { return 1.0; });
  g_cleanups = 0;
  Program none;
  auto second = zt::load(none);
  ASSERT_EQ(second.result, 0u);
  EXPECT_EQ(g_cleanups, 1 + 3);
  EXPECT_EQ(vmstate0.buckets, nullptr);
  EXPECT_EQ(vmstate0.realtimeCmd, nullptr);  // hosts install their commands after each load
  EXPECT_EQ(vmstate0.guard1, ZEK_GUARD);
  EXPECT_EQ(vmstate0.guard4, ZEK_GUARD);
}

TEST(Loader, GettersAreDefinedWithoutAProgram) {
  zt::Image bad = Program{}.build();
  bad.bytes[0] = 0;
  EXPECT_EQ(zek_load(bad.data()), 1u);
  EXPECT_EQ(zek_getData()->channelCount, 0);
  EXPECT_EQ(zek_getData()->functionCount, 0);
  EXPECT_EQ(zek_getCycleCount(), 0u);
  EXPECT_EQ(zek_isWrittenFlag(0), 0u);
  EXPECT_EQ(zek_isWrittenFlag(0xFFFFFFFFu), 0u);
  EXPECT_STREQ(zek_getSuppressedSignalNames(), "");
  EXPECT_EQ(zek_runCycle(), 1u);
  EXPECT_EQ(zek_getErrorCode(), 123);
  EXPECT_EQ(zek_runServerStubFunction(0), 1u);
  EXPECT_EQ(zek_getVmCompatiblityVersion(), 1u);
  EXPECT_EQ(zek_getVmFeatureVersion(), 1800u);
}

TEST(Loader, WrittenFlagBitsAreAddressedByHeapByte) {
  Program p;
  p.channel("x", ZEK_UINT8, 3, 16);
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  vmstate0.writtenFlags[1] = 2;
  EXPECT_NE(zek_isWrittenFlag(9), 0u);
  EXPECT_EQ(zek_isWrittenFlag(8), 0u);
  EXPECT_EQ(zek_isWrittenFlag(16), 0u);  // past the 2-byte bitmap
}

}  // namespace
