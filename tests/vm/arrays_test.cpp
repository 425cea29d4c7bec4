#include <cmath>
#include <string>
#include <vector>

#include "vm_harness.h"

namespace {

using zt::bareError;

const bool kByteOrders[] = {false, true};

std::string order(bool big) { return big ? "big-endian" : "little-endian"; }

// "BYTES op b0 b1 ..." for an instruction with a raw operand, in the image's byte order.
std::string rawOperand(int opcode, uint64_t value, int bytes, bool big) {
  std::string s = "BYTES " + std::to_string(opcode);
  for (int i = 0; i < bytes; ++i) {
    int shift = big ? 8 * (bytes - 1 - i) : 8 * i;
    s += " " + std::to_string((value >> shift) & 0xFF);
  }
  return s;
}

template <typename T> std::vector<uint8_t> bytes(T v) {
  std::vector<uint8_t> out(sizeof(T));
  std::memcpy(out.data(), &v, sizeof(T));
  return out;
}

std::vector<uint32_t> sizeStack() { return std::vector<uint32_t>(vmstate0.sizes.base, vmstate0.sizes.top); }

// ---------------------------------------------------------------------------------------------
// Constants

TEST(Constants, PushTheirOperandInBothByteOrders) {
  struct Row {
    std::string code;
    uint32_t type;
    std::vector<uint8_t> value;  // machine byte order
  };
  const uint64_t signallingNan = 0x7FF0000000000001ull;
  const uint32_t signallingNanF = 0x7F800001u;
  for (bool big : kByteOrders) {
    const Row rows[] = {
        {"PUSHTRUE", ZEK_BOOL, {1}},
        {"PUSHFALSE", ZEK_BOOL, {0}},
        {"PUSHBOOL 2", ZEK_BOOL, {2}},  // the byte as stored, not normalised
        {"PUSHUINT8 200", ZEK_UINT8, {200}},
        {"PUSHINT8 -5", ZEK_INT8, bytes<int8_t>(-5)},
        {"PUSHUINT16 0xBEEF", ZEK_UINT16, bytes<uint16_t>(0xBEEF)},
        {"PUSHINT16 -2", ZEK_INT16, bytes<int16_t>(-2)},
        {"PUSHUINT32 0xDEADBEEF", ZEK_UINT32, bytes<uint32_t>(0xDEADBEEFu)},
        {"PUSHINT32 -7", ZEK_INT32, bytes<int32_t>(-7)},
        {"PUSHINT64 0x0102030405060708", ZEK_INT64, bytes<int64_t>(0x0102030405060708ll)},
        {"PUSHINT64 -9000000000", ZEK_INT64, bytes<int64_t>(-9000000000ll)},
        {"PUSHFLOAT 1.5", ZEK_FLOAT, bytes<float>(1.5f)},
        {"PUSHDOUBLE -2.25", ZEK_DOUBLE, bytes<double>(-2.25)},
        {rawOperand(140, signallingNanF, 4, big), ZEK_FLOAT, bytes<uint32_t>(signallingNanF)},
        {rawOperand(141, signallingNan, 8, big), ZEK_DOUBLE, bytes<uint64_t>(signallingNan)},
        // The same operand bytes 01 00 read in the image's order.
        {"BYTES 136 1 0", ZEK_INT16, bytes<int16_t>(big ? 256 : 1)},
    };
    for (const Row &row : rows) {
      SCOPED_TRACE(row.code + " " + order(big));
      auto l = zt::bothWays(row.code, [&] { return zt::run(row.code + "; ENDCYCLE", big); });
      ASSERT_FALSE(zek_hasError()) << zt::errorText();
      ASSERT_EQ(zek_pstack_valueCount(), 1u);
      ZekValueView v = zt::topView();
      EXPECT_EQ(v.type, row.type);
      EXPECT_EQ(v.scalar, 1);
      EXPECT_EQ(std::vector<uint8_t>(v.bytes, v.bytes + row.value.size()), row.value);
      EXPECT_EQ(zek_pstack_count(), row.value.size());
    }
  }
}

// An operand cut by the end of the code is an error, and nothing is pushed from it.
TEST(Constants, CutOperandsPushNothing) {
  for (int opcode : {132, 133, 134, 135, 136, 137, 138, 139, 140, 141}) {
    SCOPED_TRACE(opcode);
    std::string code = "BYTES " + std::to_string(opcode);
    auto l = zt::bothWays(code, [&] { return zt::run(code, false); });
    EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_BYTECODE) << zt::errorText();
    EXPECT_EQ(zek_pstack_valueCount(), 0u);
  }
}

// ---------------------------------------------------------------------------------------------
// DROP and DUP

TEST(StackOperations, DropRemovesWholeValuesAndDupCopiesScalars) {
  auto l = zt::run(
      "PUSHINT16 -3; PUSHSTRING \"abc\"; PUSHINT32 1; PUSHINT32 2; ARRAY 2; PUSHINT32 3; PUSHINT32 4; ARRAY 2"
      "; XARRAY 2; DROP; DROP; DUP; ENDCYCLE");
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  ASSERT_EQ(zek_pstack_valueCount(), 2u);
  EXPECT_EQ(sizeStack(), (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(zek_pstack_count(), 4u);
  EXPECT_EQ(zt::top<int16_t>(0), -3);
  EXPECT_EQ(zt::top<int16_t>(1), -3);
  EXPECT_EQ(zt::topView(0).type, (uint32_t)ZEK_INT16);

  struct Row {
    const char *code;
    uint16_t error;
    const char *message;
  };
  const Row rows[] = {
      {"DROP", ZEK_ERR_UNDERFLOW, "An underflow of the parameter stack occurred."},
      {"DUP", ZEK_ERR_UNDERFLOW, "An underflow of the parameter stack occurred."},
      {"PUSHSTRING \"abcde\"; DUP", ZEK_ERR_SHAPE, "peekScalar: Expected scalar, got array (5)."},
  };
  for (const Row &row : rows) {
    auto r = zt::bothWays(row.code, [&] { return zt::run(row.code); });
    EXPECT_EQ(zek_getErrorCode(), row.error) << row.code;
    EXPECT_EQ(bareError(), row.message) << row.code;
  }
}

// ---------------------------------------------------------------------------------------------
// Inline blocks

TEST(InlineBlocks, PushStringReadMemAndMem) {
  for (bool big : kByteOrders) {
    SCOPED_TRACE(order(big));
    auto s = zt::run("PUSHSTRING \"a\\0b\"; ENDCYCLE", big);
    ASSERT_FALSE(zek_hasError()) << zt::errorText();
    EXPECT_EQ(zt::topArray<uint8_t>(), (std::vector<uint8_t>{'a', 0, 'b'}));
    EXPECT_EQ(zt::topView().type, (uint32_t)ZEK_UINT8);
    EXPECT_EQ(sizeStack(), (std::vector<uint32_t>{3}));

    // MEM is skipped; READMEM reaches blocks before and behind it and goes on behind its operand.
    auto m = zt::run(
        "JUMP go; before: MEM \"xy\"; go: MEM \"zz\"; READMEM before; READMEM after; PUSHINT32 1; ENDCYCLE"
        "; after: MEM \"hello\"",
        big);
    ASSERT_FALSE(zek_hasError()) << zt::errorText();
    ASSERT_EQ(zek_pstack_valueCount(), 3u);
    EXPECT_EQ(zt::topArray<uint8_t>(2), (std::vector<uint8_t>{'x', 'y'}));
    EXPECT_EQ(zt::topArray<uint8_t>(1), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(zt::top<int32_t>(0), 1);
  }
}

// ---------------------------------------------------------------------------------------------
// Arrays

TEST(Arrays, JoinInPushOrder) {
  for (bool big : kByteOrders) {
    SCOPED_TRACE(order(big));
    {
      auto l = zt::run("PUSHINT32 1; PUSHINT32 2; PUSHINT32 3; ARRAY 3; PUSHUINT8 9; ARRAY 1; ENDCYCLE", big);
      ASSERT_FALSE(zek_hasError()) << zt::errorText();
      EXPECT_EQ(zt::topArray<int32_t>(1), (std::vector<int32_t>{1, 2, 3}));
      EXPECT_EQ(zt::topArray<uint8_t>(0), (std::vector<uint8_t>{9}));
      EXPECT_EQ(sizeStack(), (std::vector<uint32_t>{3, 1}));
    }
    {
      // Two arrays of 3 become 2 x 3; two of those 2 x 2 x 3; XARRAY 1 over an array of 2 is 1 x 2.
      std::string code;
      for (int i = 0; i < 4; ++i)
        code += "PUSHINT16 " + std::to_string(3 * i) + "; PUSHINT16 " + std::to_string(3 * i + 1) + "; PUSHINT16 " +
                std::to_string(3 * i + 2) + "; ARRAY 3; " + (i % 2 == 1 ? "XARRAY 2; " : "");
      code += "XARRAY 2; PUSHUINT8 1; PUSHUINT8 2; ARRAY 2; XARRAY 1; ENDCYCLE";
      auto l = zt::run(code, big);
      ASSERT_FALSE(zek_hasError()) << zt::errorText();
      ASSERT_EQ(zek_pstack_valueCount(), 2u);
      EXPECT_EQ(sizeStack(), (std::vector<uint32_t>{2, 2, 3, 0x80000003u, 1, 2, 0x80000002u}));
      ZekValueView cube = zt::topView(1);
      EXPECT_EQ(cube.type, (uint32_t)ZEK_INT16);
      EXPECT_EQ(cube.dimCount, 3);
      EXPECT_EQ(cube.total, 12u);
      EXPECT_EQ(zt::topArray<int16_t>(1), (std::vector<int16_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
      EXPECT_EQ(zt::topArray<uint8_t>(0), (std::vector<uint8_t>{1, 2}));
    }
  }
}

TEST(Arrays, ArrayOfStructRegroupsFields) {
  // Two structures {int32, uint8[2]}: the int32 fields as ARRAY, the arrays as XARRAY.
  auto l = zt::run(
      "PUSHINT32 10; PUSHUINT8 1; PUSHUINT8 2; ARRAY 2"
      "; PUSHINT32 20; PUSHUINT8 3; PUSHUINT8 4; ARRAY 2"
      "; ARRAYOFSTRUCT 2 2 1 0; ENDCYCLE");
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  ASSERT_EQ(zek_pstack_valueCount(), 2u);
  EXPECT_EQ(sizeStack(), (std::vector<uint32_t>{2, 2, 2, 0x80000002u}));
  EXPECT_EQ(zt::topArray<int32_t>(1), (std::vector<int32_t>{10, 20}));
  EXPECT_EQ(zt::topArray<uint8_t>(0), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(zt::topView(0).dimCount, 2);

  // Three structures of three scalar fields of different types, each field a 1-dim array.
  auto s = zt::run(
      "PUSHINT8 1; PUSHDOUBLE 1.5; PUSHBOOL 1"
      "; PUSHINT8 2; PUSHDOUBLE 2.5; PUSHBOOL 0"
      "; PUSHINT8 3; PUSHDOUBLE 3.5; PUSHBOOL 1"
      "; ARRAYOFSTRUCT 3 3 1 1 1; ENDCYCLE");
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(sizeStack(), (std::vector<uint32_t>{3, 3, 3}));
  EXPECT_EQ(zt::topArray<int8_t>(2), (std::vector<int8_t>{1, 2, 3}));
  EXPECT_EQ(zt::topArray<double>(1), (std::vector<double>{1.5, 2.5, 3.5}));
  EXPECT_EQ(zt::topArray<uint8_t>(0), (std::vector<uint8_t>{1, 0, 1}));
}

// Each row sets up values, then one instruction fails; the stacks must stand as the setup left
// them (compared with a run of the setup alone).
struct FailureRow {
  std::string setup;
  zt::ErrorRow failure;  // the instruction, its error and message
};

void expectFailuresLeaveTheStacks(const std::vector<FailureRow> &rows) {
  for (const FailureRow &row : rows) {
    SCOPED_TRACE(row.setup.substr(0, 80) + " | " + row.failure.code.substr(0, 80));
    zt::StackSnapshot before;
    {
      auto l = zt::run(row.setup + "; ENDCYCLE");
      ASSERT_FALSE(zek_hasError()) << zt::errorText();
      before = zt::snapshot();
    }
    std::string code = row.setup + "; " + row.failure.code + "; ENDCYCLE";
    auto l = zt::bothWays(code, [&] { return zt::run(code); });
    zt::expectError(row.failure);
    EXPECT_TRUE(zt::snapshot() == before);
  }
}

TEST(Arrays, TypeAndShapeErrors) {
  expectFailuresLeaveTheStacks({
      {"PUSHUINT8 1; PUSHINT8 2", "ARRAY 2", ZEK_ERR_TYPE, "Type mismatch on parameter stack. Expected uint8, got int8."},
      {"PUSHINT32 1; PUSHINT32 2; PUSHINT32 3; ARRAY 2", "ARRAY 2", ZEK_ERR_LIMIT,
       "Array with different sub-dimensions int32 and int32[2] not allowed."},
      {"PUSHSTRING \"ab\"; PUSHSTRING \"cd\"", "ARRAY 2", ZEK_ERR_PSTACK_MISMATCH,
       "Unable to join array to 1-dim-array if inner array is 1-dim."},
      {"PUSHSTRING \"ab\"; PUSHSTRING \"cd\"; XARRAY 2", "ARRAY 1", ZEK_ERR_PSTACK_MISMATCH,
       "Unable to join array to 1-dim-array if inner array is 2-dim."},
      {"PUSHSTRING \"abc\"; PUSHSTRING \"defg\"", "XARRAY 2", ZEK_ERR_LIMIT,
       "Array with different sub-dimensions uint8[3] and uint8[4] not allowed."},
      {"PUSHSTRING \"ab\"; PUSHSTRING \"cd\"; XARRAY 2; PUSHSTRING \"ab\"; PUSHSTRING \"cd\"; PUSHSTRING \"ef\"; XARRAY 3",
       "XARRAY 2", ZEK_ERR_LIMIT, "Array with different sub-dimensions uint8[2][2] and uint8[3][2] not allowed."},
      {"PUSHUINT8 1; PUSHSTRING \"ab\"", "XARRAY 2", ZEK_ERR_LIMIT,
       "Array with different sub-dimensions uint8 and uint8[2] not allowed."},
      {"PUSHSTRING \"ab\"; PUSHINT32 1; PUSHINT32 2; ARRAY 2", "XARRAY 2", ZEK_ERR_TYPE,
       "Type mismatch on parameter stack. Expected uint8, got int32."},
      // A value below with fewer size entries than the reference is a shape (or type) mismatch too.
      {"PUSHUINT8 1; PUSHSTRING \"ab\"; PUSHSTRING \"cd\"; XARRAY 2", "XARRAY 2", ZEK_ERR_LIMIT,
       "Array with different sub-dimensions uint8 and uint8[2][2] not allowed."},
      {"PUSHINT32 1; PUSHSTRING \"ab\"; PUSHSTRING \"cd\"; XARRAY 2", "XARRAY 2", ZEK_ERR_TYPE,
       "Type mismatch on parameter stack. Expected int32, got uint8."},
      // Structures {int32, uint8[2]} whose second array has another length, whose first field
      // has another type, and join modes that do not fit the fields.
      {"PUSHINT32 1; PUSHSTRING \"ab\"; PUSHINT32 2; PUSHSTRING \"abc\"", "ARRAYOFSTRUCT 2 2 1 0", ZEK_ERR_LIMIT,
       "Array with different sub-dimensions uint8[2] and uint8[3] not allowed."},
      {"PUSHINT16 1; PUSHSTRING \"ab\"; PUSHINT32 2; PUSHSTRING \"ab\"", "ARRAYOFSTRUCT 2 2 1 0", ZEK_ERR_TYPE,
       "Type mismatch on parameter stack. Expected int16, got int32."},
      {"PUSHINT32 1; PUSHSTRING \"ab\"; PUSHINT32 2; PUSHSTRING \"cd\"", "ARRAYOFSTRUCT 2 2 1 1", ZEK_ERR_PSTACK_MISMATCH,
       "Unable to join array to 1-dim-array if inner array is 1-dim."},
  });
}

TEST(Arrays, MalformedCountsAndBlocksAreRefused) {
  std::string deep = "PUSHINT32 1; ARRAY 1";  // one more dimension per XARRAY 1, up to the cap of 255
  for (int i = 0; i < 254; ++i) deep += "; XARRAY 1";
  std::string modes4096;
  for (int i = 0; i < 4096; ++i) modes4096 += " 0";
  expectFailuresLeaveTheStacks({
      {"PUSHINT32 1", "ARRAY 0", ZEK_ERR_BYTECODE, "ARRAY with a count of 0 joins no values."},
      {"PUSHSTRING \"a\"", "XARRAY 0", ZEK_ERR_BYTECODE, "XARRAY with a count of 0 joins no values."},
      {"PUSHINT32 1", "ARRAYOFSTRUCT 0 1 1", ZEK_ERR_BYTECODE, "ARRAYOFSTRUCT with a count of 0 joins no values."},
      {"PUSHINT32 1; PUSHINT32 2", "ARRAY 3", ZEK_ERR_UNDERFLOW, "An underflow of the parameter stack occurred."},
      {"PUSHINT32 1; PUSHINT32 2", "ARRAY 0xFFFFFFFF", ZEK_ERR_UNDERFLOW, "An underflow of the parameter stack occurred."},
      {"NOP", "ARRAY 1", ZEK_ERR_UNDERFLOW, "An underflow of the parameter stack occurred."},
      {"PUSHSTRING \"ab\"", "XARRAY 2", ZEK_ERR_UNDERFLOW, "An underflow of the parameter stack occurred."},
      {"PUSHINT32 1; PUSHINT32 2", "XARRAY 2", ZEK_ERR_BYTECODE, "XARRAY joins arrays, got a scalar."},
      {"PUSHINT32 1; PUSHINT32 2", "ARRAYOFSTRUCT 1 2 1 0", ZEK_ERR_BYTECODE, "XARRAY joins arrays, got a scalar."},
      {"PUSHINT32 1; PUSHINT32 2; PUSHINT32 3", "ARRAYOFSTRUCT 2 2 1 1", ZEK_ERR_UNDERFLOW,
       "An underflow of the parameter stack occurred."},
      {"PUSHINT32 1", "ARRAYOFSTRUCT 0x10000 0x10000 1", ZEK_ERR_BYTECODE, ""},  // modes leave the code
      {"PUSHINT32 1", "ARRAYOFSTRUCT 0x100000 4096" + modes4096, ZEK_ERR_BYTECODE,
       "ARRAYOFSTRUCT of 1048576 structures with 4096 fields exceeds 4294967295 values."},
      {deep, "XARRAY 1", ZEK_ERR_LIMIT, "Array with more than 255 dimensions not allowed."},
      {"NOP", "PUSHSTRING \"\"", ZEK_ERR_BYTECODE, "PUSHSTRING: a block of 0 bytes cannot be pushed as an array."},
      {"NOP", "BYTES 146 10 0 0 0 1 2", ZEK_ERR_BYTECODE, ""},   // block leaves the code
      {"NOP", "BYTES 146 0 0 0 128 1", ZEK_ERR_BYTECODE, ""},    // length 0x80000000
      {"NOP", "READMEM blk; JUMP end; blk: MEM \"\"; end: NOP", ZEK_ERR_BYTECODE,
       "READMEM: a block of 0 bytes cannot be pushed as an array."},
      {"NOP", "READMEM 1; NOP; PUSHTRUE", ZEK_ERR_BYTECODE, "PROGOFFSET 1 does not point to a MEM instruction in READMEM"},
      {"NOP", "READMEM 100000", ZEK_ERR_BYTECODE, "PROGOFFSET 100000 does not point to a MEM instruction in READMEM"},
      {"NOP", "READMEM -100000", ZEK_ERR_BYTECODE, "PROGOFFSET -100000 does not point to a MEM instruction in READMEM"},
      // Lands on the last byte before the code base.
      {"NOP", "READMEM -7", ZEK_ERR_BYTECODE, "PROGOFFSET -7 does not point to a MEM instruction in READMEM"},
      {"NOP", "READMEM 1; BYTES 0 27 200 0 0 0", ZEK_ERR_BYTECODE, ""},  // MEM block leaves the code
      {"NOP", "READMEM 0; BYTES 27 1 0", ZEK_ERR_BYTECODE, ""},         // MEM length cut by the code end
      {"NOP", "BYTES 27 5 0 0 0 1", ZEK_ERR_BYTECODE, ""},              // MEM block leaves the code
  });
}

TEST(Arrays, OverflowOfTheParameterStack) {
  // The value stack holds 8192 bytes.
  std::string block(5000, 'x');
  auto l = zt::run("PUSHSTRING \"" + block + "\"; blk: MEM \"" + block + "\"; READMEM blk; ENDCYCLE");
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_OVERFLOW) << zt::errorText();
  EXPECT_EQ(bareError(), "An overflow of the parameter stack occurred.");
  EXPECT_EQ(zek_pstack_valueCount(), 1u);
  // 8192 scalars fill the size stack; DUP of the last one no longer fits.
  std::string code;
  for (int i = 0; i < 8192; ++i) code += "PUSHTRUE; ";
  auto full = zt::run(code + "DUP; ENDCYCLE");
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_OVERFLOW) << zt::errorText();
  EXPECT_EQ(zek_pstack_valueCount(), 8192u);
}

}  // namespace
