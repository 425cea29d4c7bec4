// Index parts and slices of multi-dimensional channels, read through READPART and READSLICE.
#include "channel_test_support.h"

namespace {

// m is a 3x4 int32 channel holding 0..11 in row-major order; c a 2x3x2 channel holding 0..11.
zt::Program gridProgram(const std::string &code) {
  zt::Program p;
  zt::Channel &m = p.channel("m", ZEK_INT32, 3, 12);
  m.dims = std::vector<uint32_t>{3, 4};
  m.init = ct::bytesOfRange<int32_t>(0, 12);
  zt::Channel &c = p.channel("c", ZEK_INT32, 3, 12);
  c.dims = std::vector<uint32_t>{2, 3, 2};
  c.init = ct::bytesOfRange<int32_t>(0, 12);
  p.code = code;
  return p;
}

struct ReadRow {
  const char *what;
  std::vector<uint32_t> indices;  // index-stack entries, bottom first
  std::vector<int32_t> values;    // expected elements; empty when an error is expected
  std::vector<uint32_t> shape;    // expected shape; empty for a scalar
  uint16_t error;
  std::string message;
};

void checkRead(const ReadRow &row) {
  if (row.error != 0) {
    EXPECT_EQ(zek_getErrorCode(), row.error) << row.what;
    EXPECT_EQ(zt::bareError(), row.message) << row.what;
    EXPECT_EQ(zek_pstack_valueCount(), 0u) << row.what << ": nothing is pushed";
    return;
  }
  ASSERT_FALSE(zek_hasError()) << row.what << ": " << zt::errorText();
  ASSERT_EQ(zek_pstack_valueCount(), 1u) << row.what;
  ZekValueView v = zt::topView();
  EXPECT_EQ(v.type, (uint32_t)ZEK_INT32) << row.what;
  EXPECT_EQ(ct::shapeOf(v), row.shape) << row.what;
  EXPECT_EQ(vmstate0.sizes.top[-1], row.shape.empty() ? 0u : row.shape.size() == 1 ? row.shape[0] : 0x80000000u + (uint32_t)row.shape.size())
      << row.what << ": top size entry";
  EXPECT_EQ(zt::topArray<int32_t>(), row.values) << row.what;
}

TEST(ChannelIndex, IndexPartsOfA3x4Channel) {
  const ReadRow rows[] = {
      {"scalar element", ct::group({1, 2}), {6}, {}, 0, ""},
      {"row", ct::group({2}), {8, 9, 10, 11}, {4}, 0, ""},
      {"no index: the whole channel", ct::group({}), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {3, 4}, 0, ""},
      {"-1 counts from the end", ct::group({-1, -1}), {11}, {}, 0, ""},
      {"-4 on a dimension of 4", ct::group({0, -4}), {0}, {}, 0, ""},
      {"-5 on a dimension of 4", ct::group({0, -5}), {}, {}, 111, "Effective array index for signal m is negative (-1)"},
      {"most negative index", ct::group({INT32_MIN}), {}, {}, 111, "Effective array index for signal m is negative (-2147483645)"},
      {"row out of bounds", ct::group({3}), {}, {}, 111, "Array index out of bounds for signal m: 3 >= 3"},
      {"column out of bounds", ct::group({0, 4}), {}, {}, 111, "Array index out of bounds for signal m: 4 >= 4"},
      {"largest index", ct::group({INT32_MAX}), {}, {}, 111, "Array index out of bounds for signal m: 2147483647 >= 3"},
      {"too many indices", ct::group({0, 0, 0}), {}, {}, 111, "Too many array indices for m."},
      {"group larger than the stack", {1, 3}, {}, {}, 109, "An underflow of the size stack occurred."},
      {"empty index stack", {}, {}, {}, 109, "An underflow of the size stack occurred."},
  };
  auto l = zt::load(gridProgram("READPART m; ENDCYCLE"));
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  for (const ReadRow &row : rows) {
    ct::run(row.indices);
    checkRead(row);
  }
}

TEST(ChannelIndex, SlicesOfA3x4Channel) {
  const ReadRow rows[] = {
      {"block of rows and columns", ct::group({0, 2, 1, 2}), {1, 2, 5, 6, 9, 10}, {3, 2}, 0, ""},
      {"reversed pairs read in ascending order", ct::group({2, 0, 2, 1}), {1, 2, 5, 6, 9, 10}, {3, 2}, 0, ""},
      {"pair (3, 1) is 1..3", ct::group({0, ct::kNoRange, 3, 1}), {1, 2, 3}, {3}, 0, ""},
      {"drop sentinel removes the dimension", ct::group({1, ct::kNoRange}), {4, 5, 6, 7}, {4}, 0, ""},
      {"both dimensions dropped: a scalar", ct::group({1, ct::kNoRange, 2, ct::kNoRange}), {6}, {}, 0, ""},
      {"negative pairs", ct::group({-1, -2, -3, -1}), {5, 6, 7, 9, 10, 11}, {2, 3}, 0, ""},
      {"one-element range keeps its dimension", ct::group({1, 1}), {4, 5, 6, 7}, {1, 4}, 0, ""},
      {"no pairs: the whole channel", ct::group({}), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {3, 4}, 0, ""},
      {"odd count", ct::group({0, 1, 2}), {}, {}, 111, "Slice indices must be even for m."},
      {"too many pairs", ct::group({0, 1, 0, 1, 0, 1}), {}, {}, 111, "Too many array indices for m."},
      {"from negative", ct::group({-4, 0}), {}, {}, 111, "Effective array index for signal m is negative (-1)"},
      {"to negative", ct::group({0, -5}), {}, {}, 111, "Effective array index for signal m is negative (-2)"},
      {"from out of bounds", ct::group({3, 0}), {}, {}, 111, "Array index out of bounds for signal m: 3 >= 3"},
      {"to out of bounds", ct::group({0, 1, 0, 4}), {}, {}, 111, "Array index out of bounds for signal m: 4 >= 4"},
      {"dropped dimension still checks from", ct::group({5, ct::kNoRange}), {}, {}, 111, "Array index out of bounds for signal m: 5 >= 3"},
      {"group larger than the stack", {0, 4}, {}, {}, 109, "An underflow of the size stack occurred."},
  };
  auto l = zt::load(gridProgram("READSLICE m; ENDCYCLE"));
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  for (const ReadRow &row : rows) {
    ct::run(row.indices);
    checkRead(row);
  }
}

// The running indices advance like an odometer, the last indexed dimension fastest, and each
// combination reads one contiguous block of the trailing dimensions.
TEST(ChannelIndex, SliceBlocksInOdometerOrder) {
  auto l = zt::load(gridProgram("READSLICE c; ENDCYCLE"));
  ASSERT_EQ(l.result, 0u);
  ct::run(ct::group({1, 0, 2, 1}));
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(ct::shapeOf(zt::topView()), (std::vector<uint32_t>{2, 2, 2}));
  EXPECT_EQ(zt::topArray<int32_t>(), (std::vector<int32_t>{2, 3, 4, 5, 8, 9, 10, 11}));

  ct::run(ct::group({1, ct::kNoRange, 0, 2, 1, 1}));
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(ct::shapeOf(zt::topView()), (std::vector<uint32_t>{3, 1}));
  EXPECT_EQ(zt::topArray<int32_t>(), (std::vector<int32_t>{7, 9, 11}));
}

// The slice state holds 16 dimensions; a channel with more is refused before anything is
// filled or pushed. Sixteen still work.
TEST(ChannelIndex, SliceOfMoreThanSixteenDimensionsIsRefused) {
  for (uint32_t dims : {16u, 17u, 40u}) {
    zt::Program p;
    zt::Channel &wide = p.channel("wide", ZEK_UINT8, 3, 2);
    wide.dims = std::vector<uint32_t>(dims, 1);
    wide.dims->back() = 2;
    wide.init = {7, 8};
    p.code = "READSLICE wide; ENDCYCLE";
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    ct::run(ct::group({0, 0, 0, 0}));
    if (dims <= 16) {
      ASSERT_FALSE(zek_hasError()) << zt::errorText();
      EXPECT_EQ(zt::topArray<uint8_t>(), (std::vector<uint8_t>{7, 8}));
      EXPECT_EQ(zt::topView().dimCount, dims);
    } else {
      EXPECT_EQ(zek_getErrorCode(), 111);
      EXPECT_EQ(zt::bareError(), "Unable to slice signal wide with " + std::to_string(dims) + " dimensions (at most 16).");
      EXPECT_EQ(zek_pstack_valueCount(), 0u);
    }
  }
}

// A dimension list whose product exceeds the channel's elements would address bytes beyond it.
TEST(ChannelIndex, DimensionsBeyondTheElementsAreRefused) {
  zt::Program p;
  zt::Channel &bad = p.channel("bad", ZEK_INT32, 3, 2);
  bad.dims = std::vector<uint32_t>{3, 1000};
  p.code = "READALL bad; ENDCYCLE; READPART bad; ENDCYCLE; READSLICE bad; ENDCYCLE";
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  for (uint32_t offset : {0u, 4u, 8u}) {
    ct::run(ct::group({2, 999}), offset);
    EXPECT_EQ(zt::bareError(), "The dimensions of signal bad need more than its 2 elements.") << offset;
    EXPECT_EQ(zek_pstack_valueCount(), 0u) << offset;
  }
}

TEST(ChannelIndex, UnknownChannelOperand) {
  for (const char *code : {"READALL 2", "READPART_PREV 2", "WRITESLICE 7", "RESETVAR 65535"}) {
    auto l = zt::load(gridProgram(code));
    ASSERT_EQ(l.result, 0u);
    ct::run(ct::group({0}));
    std::string name = std::string(code).substr(std::string(code).find(' ') + 1);
    EXPECT_EQ(zek_getErrorCode(), 117) << code;
    EXPECT_EQ(zt::bareError(), "Byte code names channel " + name + ", but the program has 2 channels.") << code;
  }
}

// A read that does not fit on the parameter stack raises the overflow.
TEST(ChannelIndex, ReadBeyondTheParameterStack) {
  zt::Program p;
  p.channel("big", ZEK_DOUBLE, 3, 2000);
  p.code = "READALL big; ENDCYCLE; READSLICE big; ENDCYCLE";
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u);
  for (uint32_t offset : {0u, 4u}) {
    ct::run(ct::group({}), offset);
    EXPECT_EQ(zek_getErrorCode(), 108) << offset;
    EXPECT_EQ(zt::bareError(), "An overflow of the parameter stack occurred.") << offset;
  }
}

}  // namespace
