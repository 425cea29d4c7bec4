// Channel writes, string writes, written flags, full names, the value loader and RESETVAR.
#include "channel_test_support.h"

namespace {

// Heap layout (all part 1): m int32[3][4] at byte 0, src int32[3][4] = 100.. at 48, f float[3][4]
// at 96, a3 int32[3] = 1,2,3 at 144, x int32[4] at 156, s int32 at 172, r4 int32[4] = 1..4 at
// 176, q int32[2][2] = 1..4 at 192; 208 bytes, 26 bitmap bytes.
zt::Program writeProgram(const std::string &code) {
  zt::Program p;
  p.channel("m", ZEK_INT32, 3, 12).dims = std::vector<uint32_t>{3, 4};
  zt::Channel &src = p.channel("src", ZEK_INT32, 3, 12);
  src.dims = std::vector<uint32_t>{3, 4};
  src.init = ct::bytesOfRange<int32_t>(100, 12);
  p.channel("f", ZEK_FLOAT, 3, 12).dims = std::vector<uint32_t>{3, 4};
  p.channel("a3", ZEK_INT32, 3, 3).init = ct::bytesOfRange<int32_t>(1, 3);
  p.channel("x", ZEK_INT32, 3, 4);
  p.channel("s", ZEK_INT32, 3);
  p.channel("r4", ZEK_INT32, 3, 4).init = ct::bytesOfRange<int32_t>(1, 4);
  zt::Channel &q = p.channel("q", ZEK_INT32, 3, 4);
  q.dims = std::vector<uint32_t>{2, 2};
  q.init = ct::bytesOfRange<int32_t>(1, 4);
  p.code = code + "; ENDCYCLE";
  return p;
}

struct WriteRow {
  const char *code;
  std::vector<uint32_t> indices;
  std::map<uint32_t, int32_t> written;   // elements of m that change (all others stay 0)
  std::map<size_t, uint8_t> flags;       // expected written-flag bytes (all others 0)
  uint16_t error;
  std::string message;
};

TEST(ChannelWrite, WriteTable) {
  const std::string sub = "into a subrange of the signal m[3][4] (dimension of this signal subrange is ";
  std::map<uint32_t, int32_t> all7, fromSrc;
  for (uint32_t i = 0; i < 12; ++i) all7[i] = 7, fromSrc[i] = 100 + (int32_t)i;
  const WriteRow rows[] = {
      // A scalar reaches every element and marks each element's first byte only.
      {"PUSHINT32 7; WRITEALL m", {}, all7, {{0, 0x11}, {1, 0x11}, {2, 0x11}, {3, 0x11}, {4, 0x11}, {5, 0x11}}, 0, ""},
      // A value marks the whole range.
      {"READALL src; WRITEALL m", {}, fromSrc, {{0, 0xFF}, {1, 0xFF}, {2, 0xFF}, {3, 0xFF}, {4, 0xFF}, {5, 0xFF}}, 0, ""},
      {"PUSHINT32 7; WRITEPART m", ct::group({1}), {{4, 7}, {5, 7}, {6, 7}, {7, 7}}, {{2, 0x11}, {3, 0x11}}, 0, ""},
      {"READALL r4; WRITEPART m", ct::group({-2}), {{4, 1}, {5, 2}, {6, 3}, {7, 4}}, {{2, 0xFF}, {3, 0xFF}}, 0, ""},
      {"PUSHINT32 9; WRITEPART m", ct::group({1, 2}), {{6, 9}}, {{3, 0x01}}, 0, ""},
      {"READALL s; WRITEPART m", ct::group({2, 3}), {{11, 0}}, {{5, 0x10}}, 0, ""},
      {"PUSHINT32 5; WRITESLICE m", ct::group({0, 1, 2, 1}), {{1, 5}, {2, 5}, {5, 5}, {6, 5}},
       {{0, 0x10}, {1, 0x01}, {2, 0x10}, {3, 0x01}}, 0, ""},
      // Value slices: one range per block, the blocks in odometer order.
      // Blocks of one element mark one byte each.
      {"READALL q; WRITESLICE m", ct::group({2, 1, 2, 3}), {{6, 1}, {7, 2}, {10, 3}, {11, 4}}, {{3, 0x11}, {5, 0x11}}, 0, ""},
      {"READALL r4; WRITESLICE m", ct::group({2, ct::kNoRange}), {{8, 1}, {9, 2}, {10, 3}, {11, 4}}, {{4, 0xFF}, {5, 0xFF}}, 0, ""},
      {"PUSHINT16 1; WRITEALL m", {}, {}, {}, 111, "Unable to write a value of type int16 into signal m (type int32)."},
      {"PUSHINT16 1; WRITEALL s", {}, {}, {}, 111, "Unable to write a value of type int16 into signal s (type int32)."},
      {"READALL f; WRITEALL m", {}, {}, {}, 111, "Unable to write a value of type float into signal m (type int32)."},
      {"PUSHFLOAT 1.5; WRITESLICE m", ct::group({0, 1}), {}, {}, 111, "Unable to write a value of type float into signal m (type int32)."},
      {"READALL a3; WRITEALL x", {}, {}, {}, 111, "Unable to write a value with dimension [3] into the signal x[4]."},
      {"READALL a3; WRITEALL s", {}, {}, {}, 111, "Unable to write a value with dimension [3] into the signal s."},
      {"READALL src; WRITEALL a3", {}, {}, {}, 111, "Unable to write a value with dimension [3][4] into the signal a3[3]."},
      {"READALL a3; WRITEPART m", ct::group({}), {}, {}, 111, "Unable to write a value with dimension [3] into the signal m[3][4]."},
      {"READALL a3; WRITEPART m", ct::group({1}), {}, {}, 111, "Unable to write a value with dimension [3] " + sub + "[4])."},
      {"READALL a3; WRITEPART m", ct::group({1, 1}), {}, {}, 111, "Unable to write a value with dimension [3] " + sub + ")."},
      {"READALL q; WRITESLICE m", ct::group({0, 2, 0, 1}), {}, {}, 111, "Unable to write a value with dimension [2][2] " + sub + "[3][2])."},
      {"READALL a3; WRITESLICE m", ct::group({1, 1}), {}, {}, 111, "Unable to write a value with dimension [3] " + sub + "[1][4])."},
      {"WRITEALL m", {}, {}, {}, 109, "An underflow of the parameter stack occurred."},
      {"PUSHINT32 1; WRITEPART m", ct::group({3}), {}, {}, 111, "Array index out of bounds for signal m: 3 >= 3"},
  };
  for (const WriteRow &row : rows) {
    std::string what = row.code + std::string(" ") + testing::PrintToString(row.indices);
    auto l = zt::bothWays(what, [&] {
      auto loaded = zt::load(writeProgram(row.code));
      EXPECT_EQ(loaded.result, 0u) << zt::errorText();
      ct::run(row.indices);
      return loaded;
    });
    if (row.error == 0) {
      EXPECT_FALSE(zek_hasError()) << what << ": " << zt::errorText();
      EXPECT_EQ(zek_pstack_valueCount(), 0u) << what;
    } else {
      EXPECT_EQ(zek_getErrorCode(), row.error) << what;
      EXPECT_EQ(zt::bareError(), row.message) << what;
    }
    std::vector<int32_t> expected(12, 0);
    for (auto [i, v] : row.written) expected[i] = v;
    EXPECT_EQ(ct::values<int32_t>("m"), expected) << what;
    EXPECT_EQ(ct::writtenBitmap(), ct::bitmapWith(row.flags)) << what;
  }
}

// WRITEALL stores the bytes of the value, which has the channel's shape, not element count x
// size: a channel that holds more elements than its dimensions keeps the rest.
TEST(ChannelWrite, WriteAllCopiesTheValueNotTheElementCount) {
  zt::Program p = writeProgram("READALL a3; WRITEALL w");
  zt::Channel &w = p.channel("w", ZEK_INT32, 3, 6);
  w.dims = std::vector<uint32_t>{3};
  w.init = ct::bytesOfRange<int32_t>(50, 6);
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  ct::run();
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(ct::values<int32_t>("w"), (std::vector<int32_t>{1, 2, 3, 53, 54, 55}));
}

// The hot paths on scalar channels of every element size, with the machine's byte order kept.
TEST(ChannelWrite, ScalarRoundTripOfEveryType) {
  zt::Program p;
  const uint8_t types[] = {ZEK_UINT8, ZEK_INT8, ZEK_UINT16, ZEK_INT16, ZEK_UINT32, ZEK_INT32, ZEK_INT64, ZEK_FLOAT, ZEK_DOUBLE, ZEK_BOOL};
  std::string code;
  for (uint8_t t : types) {
    std::string n = std::to_string(t);
    p.channel("in" + n, t).init = std::vector<uint8_t>{0x81, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48};
    p.channel("out" + n, t);
    code += "READALL in" + n + "; WRITEALL out" + n + "; ";
  }
  for (auto &c : p.channels) c.init.resize(c.init.empty() ? 0 : zek_baseTypeSizeOf(c.type));
  p.code = code + "ENDCYCLE";
  auto l = zt::bothWays("every type", [&] {
    auto loaded = zt::load(p);
    EXPECT_EQ(loaded.result, 0u);
    EXPECT_EQ(zek_runCycle(), 0u) << zt::errorText();
    return loaded;
  });
  for (uint8_t t : types) {
    std::string n = std::to_string(t);
    ChannelDecl *in = zt::channel("in" + n), *out = zt::channel("out" + n);
    EXPECT_EQ(std::memcmp(in->value, out->value, in->elementSize), 0) << n;
    EXPECT_TRUE(zek_isWrittenFlag(out->heapOffset)) << n;
  }
}

// String writes: a string is a uint8 array; its text fills the signal and zeros pad the rest.
TEST(ChannelWrite, StringWrites) {
  struct Row {
    const char *code;
    std::vector<uint32_t> indices;
    bool stringMode;
    std::string sig;    // expected 6 bytes of sig (initially "xxxxxx")
    std::string names;  // expected 12 bytes of names (initially "............")
    std::string message;
  };
  const std::string z(1, '\0');
  const Row rows[] = {
      {"READALL t10; WRITEALL sig", {}, true, "hello" + z, "", ""},
      {"READALL hi; WRITEALL sig", {}, true, "hi" + z + z + z + z, "", ""},
      {"READALL full6; WRITEALL sig", {}, true, "abcdef", "", ""},
      {"READALL nul7; WRITEALL sig", {}, true, "abcdef", "", ""},
      {"READALL long10; WRITEALL sig", {}, true, "", "", "String too long. Unable to write string with length 10 into the signal sig[6]."},
      {"READALL long7; WRITEALL sig", {}, true, "", "", "String too long. Unable to write string with length 7 into the signal sig[6]."},
      {"READALL i8; WRITEALL sig", {}, true, "ab" + z + z + z + z, "", ""},
      {"READALL i8; WRITEALL sig", {}, false, "", "", "Unable to write a value of type int8 into signal sig (type uint8)."},
      {"READALL t10; WRITEALL sig", {}, false, "", "", "Unable to write a value with dimension [10] into the signal sig[6]."},
      {"READALL full6; WRITEALL sig", {}, false, "abcdef", "", ""},
      {"PUSHUINT8 65; WRITEALL sig", {}, true, "", "", "Unable to write a value with dimension  into the signal sig[6]."},
      {"PUSHUINT8 65; WRITEALL sig", {}, false, "AAAAAA", "", ""},
      {"PUSHINT16 65; WRITEALL sig", {}, true, "", "", "Unable to write a value of type int16 into signal sig (type uint8)."},
      {"READALL hi; WRITEPART names", ct::group({1}), true, "", "......hi" + z + z + z + z, ""},
      {"READALL hi; WRITESLICE names", ct::group({1, ct::kNoRange, 0, 5}), true, "", "......hi" + z + z + z + z, ""},
      {"READALL hi; WRITESLICE names", ct::group({1, 0, 3, ct::kNoRange}), true, "", "...h.....i..", ""},
      {"READALL t10; WRITESLICE names", ct::group({1, 0, 3, ct::kNoRange}), true, "", "", "String too long. Unable to write string with length 5 into the signal names[2][6]."},
      {"READALL t10; WRITEPART names", ct::group({1, 2}), true, "", "", "Unable to write a value with dimension [10] into a subrange of the signal names[2][6] (dimension of this signal subrange is )."},
  };
  for (const Row &row : rows) {
    zt::Program p;
    auto text = [&](const char *name, uint8_t type, const std::string &bytes) {
      p.channel(name, type, 3, (uint32_t)bytes.size()).init = std::vector<uint8_t>(bytes.begin(), bytes.end());
    };
    text("sig", ZEK_UINT8, "xxxxxx");
    text("t10", ZEK_UINT8, "hello" + z + "WXYZ");
    text("hi", ZEK_UINT8, "hi" + z);
    text("full6", ZEK_UINT8, "abcdef");
    text("nul7", ZEK_UINT8, "abcdef" + z);
    text("long10", ZEK_UINT8, "helloworld");
    text("long7", ZEK_UINT8, "abcdefg");
    text("i8", ZEK_INT8, "ab" + z);
    text("names", ZEK_UINT8, "............");
    p.channels.back().dims = std::vector<uint32_t>{2, 6};
    p.code = row.code + std::string("; ENDCYCLE");
    std::string what = std::string(row.code) + (row.stringMode ? " (string mode)" : "");
    auto l = zt::bothWays(what, [&] {
      auto loaded = zt::load(p);
      EXPECT_EQ(loaded.result, 0u) << zt::errorText();
      ct::run(row.indices, 0, row.stringMode);
      return loaded;
    });
    EXPECT_EQ(zt::bareError(), row.message) << what;
    std::string sig((const char *)zt::channel("sig")->value, 6), names((const char *)zt::channel("names")->value, 12);
    EXPECT_EQ(sig, row.sig.empty() ? "xxxxxx" : row.sig) << what;
    EXPECT_EQ(names, row.names.empty() ? "............" : row.names) << what;
  }
}

// A string write marks the whole target range, like every value write.
TEST(ChannelWrite, StringWriteMarksTheWholeSignal) {
  zt::Program p;
  p.channel("pad", ZEK_UINT8, 3, 3);
  p.channel("sig", ZEK_UINT8, 3, 6).init = {'x', 'x', 'x', 'x', 'x', 'x'};
  p.channel("hi", ZEK_UINT8, 3, 3).init = {'h', 'i', 0};
  p.code = "READALL hi; WRITEALL sig; ENDCYCLE";
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  ct::run({}, 0, true);
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(ct::writtenBitmap(), (std::vector<uint8_t>{0xF8, 0x01}));
}

TEST(ChannelFlags, RangesSetExactBits) {
  struct Row {
    uint32_t first, last;
    std::vector<uint8_t> bitmap;
  };
  // The heap has 20 bytes: the bitmap's last byte holds bits 16..19 only.
  const Row rows[] = {
      {0, 0, {0x01, 0, 0}},
      {3, 5, {0x38, 0, 0}},
      {7, 8, {0x80, 0x01, 0}},
      {5, 12, {0xE0, 0x1F, 0}},
      {2, 17, {0xFC, 0xFF, 0x03}},
      {8, 15, {0, 0xFF, 0}},
      {0, 19, {0xFF, 0xFF, 0x0F}},
      {5, 4, {0, 0, 0}},
      {9, 0, {0, 0, 0}},
      {16, 1000, {0, 0, 0x0F}},
      {18, 0xFFFFFFFF, {0, 0, 0x0C}},
      {20, 30, {0, 0, 0}},
      {0xFFFFFFFF, 0xFFFFFFFF, {0, 0, 0}},
  };
  zt::Program p;
  p.channel("b", ZEK_UINT8, 3, 20);
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  ASSERT_EQ(vmstate0.bitmapSize, 3u);
  for (const Row &row : rows) {
    ct::clearWrittenFlags();
    zek_setWrittenFlagInRange(row.first, row.last);
    EXPECT_EQ(ct::writtenBitmap(), row.bitmap) << row.first << ".." << row.last;
  }
}

// A range of count elements covers their bytes; one element only its first byte; none nothing.
TEST(ChannelFlags, WritePointerMarks) {
  zt::Program p;
  p.channel("w", ZEK_INT16, 3, 10);
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  struct Row {
    uint32_t first, count;
    std::vector<uint8_t> bitmap;
  };
  const Row rows[] = {{0, 1, {0x01, 0, 0}}, {3, 1, {0x40, 0, 0}}, {3, 3, {0xC0, 0x0F, 0}}, {2, 0, {0, 0, 0}}, {0, 0, {0, 0, 0}}, {0, 10, {0xFF, 0xFF, 0x0F}}};
  for (const Row &row : rows) {
    ct::clearWrittenFlags();
    uint8_t *ptr = zek_getWritePtr(0, row.first, row.count);
    EXPECT_EQ(ptr, zt::channel("w")->value + 2 * row.first);
    EXPECT_EQ(ct::writtenBitmap(), row.bitmap) << row.first << " x " << row.count;
  }
}

TEST(ChannelNames, FullNames) {
  struct Row {
    const char *name;
    std::vector<uint32_t> dims;
    std::string full;
  };
  const uint32_t open = ZEK_OPEN_DIMENSION;
  const Row rows[] = {
      {"x", {}, "x"},
      {"m", {3, 4}, "m[3][4]"},
      {"a.b", {3, open, 4}, "a[3].b[4]"},
      {"a.b", {}, "a.b"},
      {"s.t.u", {2, open, open, 3}, "s[2].t.u[3]"},
      {"a.b", {open, 5}, "a.b[5]"},
      {"x", {0x80000000u, 0xFFFFFFFEu, 7}, "x[-2147483648][-2][7]"},
      {"big", {0x80000000u, 0x80000000u, 0x80000000u}, "big[-2147483648][-2147483648][-2147483648]"},
      {"a\\.b", {2}, "a\\.b[2]"},
      {"a\\", {2}, "a\\[2]"},
      {"\\\\.c", {1, open, 2}, "\\\\[1].c[2]"},
  };
  for (const Row &row : rows) {
    ChannelDecl c{};
    c.name = row.name;
    std::vector<uint32_t> dims = row.dims;
    c.dims = dims.empty() ? nullptr : dims.data();
    c.dimCount = (uint8_t)dims.size();
    char *full = zek_getFullVarname(&c);
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(std::string(full), row.full) << row.name;
    zek_free(full);
  }
}

int g_loads = 0;
int g_loaderResult = 0;
int deliverInput(ChannelDecl *c) {
  ++g_loads;
  for (uint32_t i = 0; i < c->elementCount; ++i) zek_store_as<int32_t>(c->value + 4 * i, 40 + (int32_t)i);
  return g_loaderResult;
}

// The cycle reads each input twice; behind the first ENDCYCLE (offset 31) an index part is read
// first.
zt::Program loaderProgram(void) {
  zt::Program p;
  p.channel("in", ZEK_INT32, ZEK_ROLE_INPUT, 3);
  p.channel("in1", ZEK_INT32, ZEK_ROLE_INPUT);
  p.channel("local", ZEK_INT32, ZEK_ROLE_LOCAL, 3);
  p.channel("o", ZEK_INT32, ZEK_ROLE_LOCAL, 3);
  p.channel("e", ZEK_INT32, ZEK_ROLE_LOCAL);
  p.timeout = 10;
  p.code = "READALL in; WRITEALL o; READALL in; WRITEALL o; READALL local; WRITEALL o;"
           "READALL in1; WRITEALL e; READALL in1; WRITEALL e; ENDCYCLE;"
           "READPART in; WRITEALL e; READALL in; WRITEALL o; ENDCYCLE";
  return p;
}
constexpr uint32_t kPartEntry = 31;

// The loader delivers a test input on its first read in a cycle; the whole channel then counts
// as written, so later reads in the cycle take the value as it stands. Other roles never load.
TEST(ChannelLoader, DeliversAnInputOnItsFirstReadInACycle) {
  auto l = zt::load(loaderProgram());
  ASSERT_EQ(l.result, 0u);
  for (ChannelDecl *c : {zt::channel("in"), zt::channel("in1"), zt::channel("local")}) c->valueLoader = deliverInput;
  g_loads = 0;
  g_loaderResult = 0;
  for (int cycle = 1; cycle <= 3; ++cycle) {
    ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
    EXPECT_EQ(g_loads, 2 * cycle) << "in and in1 once per cycle";
    EXPECT_EQ(zt::value<int32_t>("e"), 40);
    EXPECT_EQ(ct::values<int32_t>("local"), (std::vector<int32_t>{0, 0, 0}));
  }
}

TEST(ChannelLoader, MarksTheWholeChannelAndReportsFailure) {
  auto l = zt::load(loaderProgram());
  ASSERT_EQ(l.result, 0u);
  zek_getData()->channels[0].valueLoader = deliverInput;
  g_loads = 0;
  g_loaderResult = 0;
  ct::run(ct::group({2}), kPartEntry);
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(g_loads, 1) << "the index part loads the whole channel";
  EXPECT_EQ(zt::value<int32_t>("e"), 42);
  EXPECT_EQ(ct::values<int32_t>("o"), (std::vector<int32_t>{40, 41, 42}));
  EXPECT_EQ(ct::writtenBitmap()[0], 0xFF);
  EXPECT_EQ(ct::writtenBitmap()[1], 0x0F);

  g_loaderResult = 3;
  ct::clearWrittenFlags();
  ct::run(ct::group({2}), kPartEntry);
  EXPECT_EQ(zek_getErrorCode(), 100);
  EXPECT_EQ(zt::bareError(), "Accessing the current value of channel 'in', which could not be loaded.");
  EXPECT_EQ(zek_pstack_valueCount(), 0u);
}

// A test input without a loader is marked present in the first cycle and never loads.
TEST(ChannelLoader, InitialValueMarksStandForAnInput) {
  auto l = zt::load(loaderProgram());
  ASSERT_EQ(l.result, 0u);
  g_loads = 0;
  ASSERT_EQ(zek_runCycle(), 0u);
  zek_getData()->channels[0].valueLoader = deliverInput;
  ASSERT_EQ(zek_runCycle(), 0u);
  EXPECT_EQ(g_loads, 0);
}

// RESETVAR restores the initial value, in the machine's byte order whatever the image's.
TEST(ChannelReset, RestoresInitialValuesInBothByteOrders) {
  for (bool big : {false, true}) {
    zt::Program p;
    p.bigEndian = big;
    p.channel("pad", ZEK_UINT8, 3);
    p.channel("r", ZEK_INT32, 3, 2).init = zt::bytesOf<int32_t>({0x01020304, -5});
    p.channel("d", ZEK_DOUBLE, 3).init = zt::bytesOf<double>({2.5});
    p.code = "RESETVAR r; RESETVAR d; ENDCYCLE";
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u);
    zt::setValue<int32_t>("r", 9, 0);
    zt::setValue<int32_t>("r", 9, 1);
    zt::setValue<double>("d", 0.0);
    ct::run();
    ASSERT_FALSE(zek_hasError()) << zt::errorText();
    EXPECT_EQ(ct::values<int32_t>("r"), (std::vector<int32_t>{0x01020304, -5})) << big;
    EXPECT_EQ(zt::value<double>("d"), 2.5) << big;
    // r at bytes 1..8, d at 9..16: each element's first byte.
    EXPECT_EQ(ct::writtenBitmap(), (std::vector<uint8_t>{0x22, 0x02, 0x00})) << big;
  }
}

}  // namespace
