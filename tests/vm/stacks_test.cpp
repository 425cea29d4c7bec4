#include "vm_harness.h"

namespace {

struct StackTest : ::testing::Test {
  zt::Loaded loaded;
  void SetUp() override {
    zt::Program p;
    loaded = zt::load(p);
    ASSERT_EQ(loaded.result, 0u);
    zek_resetError();
  }
};

TEST_F(StackTest, PopFailuresAreCheckedInOrder) {
  struct Row {
    const char *what;
    void (*prepare)();
    uint16_t code;
    const char *message;
  };
  static const uint32_t dims3[] = {3};
  static const uint32_t dims2x2[] = {2, 2};
  const Row rows[] = {
      {"empty stack", [] {}, 109, "An underflow of the parameter stack occurred."},
      {"array on top", [] { zek_pstack_pushValue(ZEK_INT32, 12, dims3, 1); }, 104,
       "popScalar: Expected scalar, got array (3)."},
      {"k-dim array shows its marker", [] { zek_pstack_pushValue(ZEK_INT32, 16, dims2x2, 2); }, 104,
       "popScalar: Expected scalar, got array (-2147483646)."},
      {"other type", [] { zek_pstack_push<uint8_t>(ZEK_UINT8, 1); }, 18,
       "Type mismatch on parameter stack. Expected int32, got uint8."},
  };
  for (const Row &row : rows) {
    zek_pstack_clear();
    zek_resetError();
    row.prepare();
    uint32_t before = zek_pstack_valueCount();
    int32_t out = 0;
    EXPECT_FALSE(zek_pstack_popScalar(ZEK_INT32, &out)) << row.what;
    EXPECT_EQ(zek_getErrorCode(), row.code) << row.what;
    EXPECT_EQ(zt::bareError(), row.message) << row.what;
    EXPECT_EQ(zek_pstack_valueCount(), before) << row.what;
  }
  zek_pstack_clear();
  zek_pstack_pushValue(ZEK_INT32, 12, dims3, 1);
  uint32_t type;
  EXPECT_EQ(zek_pstack_dropScalar(&type), nullptr);
  EXPECT_EQ(zt::bareError(), "dropScalar: Expected scalar, got array (3).");
  EXPECT_EQ(zek_pstack_peekScalarWithType(ZEK_INT32), nullptr);
  EXPECT_EQ(zt::bareError(), "peekScalarWithType: Expected scalar, got array (3).");
}

TEST_F(StackTest, OverflowOfEitherStackIs108) {
  // 8192 bytes of value stack and 8192 size entries: uint8 scalars fill both at once, doubles
  // the value stack first.
  for (int i = 0; i < 1024; ++i) ASSERT_TRUE(zek_pstack_push<double>(ZEK_DOUBLE, 1.0));
  EXPECT_FALSE(zek_pstack_push<uint8_t>(ZEK_UINT8, 1));
  EXPECT_EQ(zek_getErrorCode(), 108);
  EXPECT_EQ(zt::bareError(), "An overflow of the parameter stack occurred.");
  zek_pstack_clear();
  zek_resetError();
  static const uint32_t one[] = {1};
  // Arrays of one element use one size entry and one byte: the size stack fills first when
  // values are k-dimensional (two entries for one byte).
  static const uint32_t dims[] = {1, 1};
  for (int i = 0; i < 2730; ++i) ASSERT_NE(zek_pstack_pushValue(ZEK_UINT8, 1, dims, 2), nullptr) << i;
  EXPECT_NE(zek_pstack_pushValue(ZEK_UINT8, 1, one, 1), nullptr);
  EXPECT_NE(zek_pstack_pushValue(ZEK_UINT8, 1, one, 1), nullptr);
  EXPECT_EQ(zek_pstack_pushValue(ZEK_UINT8, 1, one, 1), nullptr);
  EXPECT_EQ(zek_getErrorCode(), 108);
  EXPECT_LT(zek_pstack_count(), 8192u);
}

TEST_F(StackTest, DropNValuesCopiesValuesDeepestFirst) {
  static const uint32_t three[] = {3};
  zek_pstack_push<int32_t>(ZEK_INT32, -5);
  uint8_t *bytes = zek_pstack_pushValue(ZEK_UINT8, 3, three, 1);
  bytes[0] = 1, bytes[1] = 2, bytes[2] = 3;
  ValueList *list = nullptr;
  ASSERT_TRUE(zek_pstack_dropNValues(2, &list));
  ASSERT_EQ(list->count, 2u);
  EXPECT_EQ(list->entries[0].type, (uint32_t)ZEK_INT32);
  EXPECT_EQ(list->entries[0].scalar, 1);
  EXPECT_EQ(list->entries[0].dims[0], 1u);
  EXPECT_EQ(zek_load_as<int32_t>(list->entries[0].value), -5);
  EXPECT_EQ(list->entries[1].total, 3u);
  EXPECT_EQ(list->entries[1].scalar, 0);
  EXPECT_EQ(list->entries[1].value[2], 3);
  EXPECT_EQ(list->byteLength, 7u);
  EXPECT_EQ(zek_pstack_valueCount(), 0u);
  zek_pstack_dropNValues_free(list);
  // More values than the stack holds: refused before anything is allocated or popped.
  zek_pstack_push<int32_t>(ZEK_INT32, 1);
  EXPECT_FALSE(zek_pstack_dropNValues(0xFFFFFFFFu, &list));
  EXPECT_EQ(zek_getErrorCode(), 109);
  EXPECT_EQ(zek_pstack_valueCount(), 1u);
}

TEST_F(StackTest, IndexAndCallStacks) {
  for (int i = 0; i < 48; ++i) ASSERT_TRUE(zek_istack_push((uint32_t)i));
  EXPECT_FALSE(zek_istack_push(1));
  EXPECT_EQ(zt::bareError(), "An overflow of the size stack occurred.");
  zek_istack_clear();
  zek_istack_push(7);
  zek_istack_push(2);  // a group of two claims more entries than lie below it
  const uint32_t *values;
  uint8_t count;
  EXPECT_FALSE(zek_istack_pop_impl(&values, &count));
  EXPECT_EQ(zek_getErrorCode(), 109);
  EXPECT_EQ(zt::bareError(), "An underflow of the size stack occurred.");
  zek_istack_clear();
  zek_istack_push(4);
  zek_istack_push(5);
  zek_istack_push(2);
  ASSERT_TRUE(zek_istack_pop_impl(&values, &count));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(values[0], 4u);
  EXPECT_EQ(zek_istack_count(), 0u);

  zek_resetError();
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(zek_cstack_push(100u + i));  // capacity from the header
  EXPECT_FALSE(zek_cstack_push(1));
  EXPECT_EQ(zt::bareError(), "An overflow of the call stack occurred.");
  zek_cstack_clear();
  uint32_t address;
  EXPECT_FALSE(zek_cstack_pop(&address));
  EXPECT_EQ(zek_getErrorCode(), 114);
  EXPECT_EQ(zt::bareError(), "An underflow of the call stack occurred.");
}

}  // namespace
