// The byte stack and its dump, the stack counters, the one-line parameter-stack dump and the
// role texts, with the printed text as zek_printf received it.
#include "console_capture.h"
#include "vm_extras.h"
#include "vm_harness.h"

namespace {

TEST(ByteStack, DumpShowsBytesFromTheTopAndFillsThePlacesLeft) {
  char name[] = "bytes";
  ZekByteStack *stack = zek_stack_init(name, 16);
  ASSERT_NE(stack, nullptr);
  name[0] = 'X';  // the stack keeps its own copy
  EXPECT_STREQ(zek_stack_name(stack), "bytes");
  EXPECT_EQ(stack->end - stack->base, 16);
  *stack->top++ = 0x01;
  *stack->top++ = 0x02;
  EXPECT_EQ(zek_stack_currentsize(stack), 2u);
  zt::takePrinted();
  struct Row {
    int32_t n;
    const char *printed;
  };
  const Row rows[] = {{4, "Stack(name=bytes, size= 2): 02 01 .. .. "},
                      {2, "Stack(name=bytes, size= 2): 02 01 "},
                      {1, "Stack(name=bytes, size= 2): 02 "},
                      {0, "Stack(name=bytes, size= 2): "},
                      {-3, "Stack(name=bytes, size= 2): "}};
  for (const Row &row : rows) {
    EXPECT_EQ(zek_stack_dump(stack, row.n), row.n);
    EXPECT_EQ(zt::takePrinted(), row.printed) << row.n;
  }
  zek_stack_clear(stack);
  EXPECT_EQ(zek_stack_currentsize(stack), 0u);
  zek_stack_dump(stack, 1);
  EXPECT_EQ(zt::takePrinted(), "Stack(name=bytes, size= 0): .. ");
  zek_stack_dispose(stack);  // the leak check of the sanitizer build sees the name copy freed too
}

TEST(ByteStack, NullAndImpossibleSizes) {
  zek_stack_dispose(nullptr);
  zek_stack_clear(nullptr);
  EXPECT_EQ(zek_stack_currentsize(nullptr), 0u);
  EXPECT_EQ(zek_stack_name(nullptr), nullptr);
  zek_resetError();
  // The header does not fit beside a storage of 4 GiB in one 32-bit allocation.
  EXPECT_EQ(zek_stack_init("big", 0xFFFFFFF0u), nullptr);
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_MEMORY);
  zek_resetError();
  ZekByteStack *empty = zek_stack_init(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(zek_stack_name(empty), "");
  EXPECT_EQ(empty->base, empty->end);
  zek_stack_dispose(empty);
}

struct PstackDump : ::testing::Test {
  zt::Loaded loaded;
  void SetUp() override {
    loaded = zt::load(zt::Program{});
    ASSERT_EQ(loaded.result, 0u);
    zt::prepareExecution();
    zt::takePrinted();
  }
  template <typename T> void pushArray(uint32_t type, std::vector<T> values, std::vector<uint32_t> dims) {
    uint8_t *bytes = zek_pstack_pushValue(type, values.size() * sizeof(T), dims.data(), (uint8_t)dims.size());
    ASSERT_NE(bytes, nullptr);
    std::memcpy(bytes, values.data(), values.size() * sizeof(T));
  }
  std::string dump(uint32_t width) {
    zt::StackSnapshot before = zt::snapshot();
    zek_pstack_dump(width);
    EXPECT_EQ(zt::snapshot(), before) << "the dump changed the stacks";
    return zt::takePrinted();
  }
};

TEST_F(PstackDump, Goldens) {
  EXPECT_EQ(dump(10), " 0: | .........|");
  zek_pstack_push<int32_t>(ZEK_INT32, 5);
  EXPECT_EQ(dump(12), " 1: | 5i32 ......|");
  zek_pstack_push<double>(ZEK_DOUBLE, 0.5);
  EXPECT_EQ(dump(16), " 2: | 5i32 0.5d .....|");
  zek_pstack_clear();
  pushArray<int16_t>(ZEK_INT16, {1, 2, 3}, {3});
  EXPECT_EQ(dump(24), " 1: | [1i16,2i16,3i16] ......|");
  // A two-dimensional value: every element between one pair of brackets; then a bool on top.
  pushArray<uint8_t>(ZEK_UINT8, {1, 2, 3, 4, 5, 6}, {2, 3});
  zek_pstack_push<uint8_t>(ZEK_BOOL, 2);
  EXPECT_EQ(dump(50), " 3: | [1i16,2i16,3i16] [1u8,2u8,3u8,4u8,5u8,6u8] true .|");
  EXPECT_EQ(zek_pstack_tCount(), 3u);
  EXPECT_EQ(zek_pstack_sCount(), 1u + 3u + 1u);  // {3}; 2, 3, marker; scalar
}

TEST_F(PstackDump, RenderingStopsWhereTheNextPieceNoLongerFits) {
  pushArray<int32_t>(ZEK_INT32, {100, 200}, {2});
  // "100i32" does not fit in front of ",200i32]": what fitted is shown from the left edge.
  EXPECT_EQ(dump(10), " 1: |,200i32] .|");
  EXPECT_EQ(dump(9), " 1: |200i32] .|");
}

TEST_F(PstackDump, TinyWidthsStayInsideTheText) {
  pushArray<int32_t>(ZEK_INT32, {100, 200}, {2});
  zek_pstack_push<int32_t>(ZEK_INT32, 7);
  const std::pair<uint32_t, const char *> rows[] = {
      {0, " 2: ||"}, {1, " 2: |.|"}, {2, " 2: | .|"}, {3, " 2: | ..|"}, {4, " 2: | ...|"}, {5, " 2: | ....|"}, {6, " 2: |7i32 .|"}};
  for (const auto &[width, printed] : rows) EXPECT_EQ(dump(width), printed) << width;
}

TEST(RoleNames, EveryRoleAndTheRest) {
  const char *names[] = {"ZEK input channel", "ZEK output channel", "parameter",   "ZEK local channel", "VM internal",
                         "function input",    "function output",    "assessment", "measurement"};
  for (uint32_t role = 0; role < 9; ++role) EXPECT_STREQ(zek_getRoleName(role), names[role]) << role;
  EXPECT_STREQ(zek_getRoleName(9), "signal");
  EXPECT_STREQ(zek_getRoleName(0xFFFFFFFFu), "signal");
}

}  // namespace
