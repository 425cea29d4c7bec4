#include "arithmetic.h"
#include "operand_stack.h"

namespace {

// STRUCTOP n mode operator; modes 0 structure op structure, 1 scalar op structure, 2 structure
// op scalar; operators 100 PLUS .. 104 MODULO.
std::vector<std::string> stackTexts() {
  std::vector<std::string> out;
  for (uint32_t d = zek_pstack_valueCount(); d-- > 0;) out.push_back(zt::valueText(d));
  return out;
}

TEST(StructOp, AppliesTheOperatorMemberByMember) {
  struct Row {
    const char *code;
    std::function<void()> operands;
    std::vector<std::string> expected;  // the whole stack, deepest first
  };
  const Row rows[] = {
      {"STRUCTOP 1 2 102",
       [] { zt::pushArray<int32_t>(ZEK_INT32, {1, 2, 3}); zt::pushScalar<int32_t>(ZEK_INT32, 10); },
       {"int32[3] {10,20,30}"}},
      {"STRUCTOP 2 1 103",
       [] {
         zt::pushScalar<double>(ZEK_DOUBLE, 1.0);
         zt::pushScalar<double>(ZEK_DOUBLE, 4.0);
         zt::pushArray<double>(ZEK_DOUBLE, {2.0, 8.0});
       },
       {"double 0.25", "double[2] {0.5,0.125}"}},
      // Left member minus right member, members of different types and shapes.
      {"STRUCTOP 2 0 101",
       [] {
         zt::pushScalar<int32_t>(ZEK_INT32, 5);
         zt::pushArray<double>(ZEK_DOUBLE, {1, 2, 3, 4}, {2, 2});
         zt::pushScalar<int32_t>(ZEK_INT32, 3);
         zt::pushArray<double>(ZEK_DOUBLE, {10, 20, 30, 40}, {2, 2});
       },
       {"int32 2", "double[2][2] {-9,-18,-27,-36}"}},
      {"STRUCTOP 2 2 104",
       [] {
         zt::pushScalar<int16_t>(ZEK_INT16, -7);
         zt::pushArray<int16_t>(ZEK_INT16, {7, 8, 9});
         zt::pushScalar<int16_t>(ZEK_INT16, 3);
       },
       {"int16 -1", "int16[3] {1,2,0}"}},
      {"STRUCTOP 1 1 100",
       [] { zt::pushScalar<uint8_t>(ZEK_UINT8, 200); zt::pushArray<uint8_t>(ZEK_UINT8, {50, 56, 100}); },
       {"uint8[3] {250,0,44}"}},
      // n = 0: mode 0 pops nothing, mode 1 only the scalar.
      {"STRUCTOP 0 0 100", [] { zt::pushScalar<int32_t>(ZEK_INT32, 1); }, {"int32 1"}},
      {"STRUCTOP 0 1 100",
       [] { zt::pushScalar<int32_t>(ZEK_INT32, 1); zt::pushScalar<int8_t>(ZEK_INT8, 2); }, {"int32 1"}},
  };
  for (const Row &row : rows) {
    zt::runOn(row.code, row.operands);
    EXPECT_FALSE(zek_hasError()) << row.code << ": " << zt::errorText();
    EXPECT_EQ(stackTexts(), row.expected) << row.code;
  }
}

TEST(StructOp, ChecksInOrderAndStopsAtTheFailingMember) {
  struct Row {
    const char *code;
    std::function<void()> operands;
    const char *error;
    std::vector<std::string> left;  // what stays on the stack
  };
  auto three = [] {
    zt::pushScalar<int32_t>(ZEK_INT32, 1);
    zt::pushScalar<int32_t>(ZEK_INT32, 2);
    zt::pushScalar<int32_t>(ZEK_INT32, 3);
  };
  const Row rows[] = {
      {"STRUCTOP 1 0 112", three, "error 117 STRUCTOP cannot be used with opcode 112.",
       {"int32 1", "int32 2", "int32 3"}},
      {"STRUCTOP 1 7 99", three, "error 117 STRUCTOP cannot be used with opcode 99.", {"int32 1", "int32 2", "int32 3"}},
      {"STRUCTOP 1 3 100", three, "error 117 STRUCTOP mode 3 not allowed.", {"int32 1", "int32 2", "int32 3"}},
      {"STRUCTOP 2 0 100", three, "error 109 An underflow of the parameter stack occurred.",
       {"int32 1", "int32 2", "int32 3"}},
      {"STRUCTOP 1 1 100", [] { zt::pushArray<int32_t>(ZEK_INT32, {1}); zt::pushScalar<int32_t>(ZEK_INT32, 2); },
       "error 117 ONE_OP_MANY requires a scalar on lhs.", {}},
      {"STRUCTOP 1 2 100", [] { zt::pushScalar<int32_t>(ZEK_INT32, 2); zt::pushArray<int32_t>(ZEK_INT32, {1}); },
       "error 117 MANY_OP_ONE requires a scalar on rhs.", {}},
      {"STRUCTOP 1 0 100", [] { zt::pushScalar<uint8_t>(ZEK_UINT8, 1); zt::pushScalar<int8_t>(ZEK_INT8, 1); },
       "error 18 Type mismatch on parameter stack. Expected uint8, got int8.", {}},
      {"STRUCTOP 1 1 100", [] { zt::pushScalar<double>(ZEK_DOUBLE, 1); zt::pushScalar<float>(ZEK_FLOAT, 1); },
       "error 18 Type mismatch on parameter stack. Expected double, got float.", {}},
      {"STRUCTOP 1 2 100", [] { zt::pushScalar<double>(ZEK_DOUBLE, 1); zt::pushScalar<float>(ZEK_FLOAT, 1); },
       "error 18 Type mismatch on parameter stack. Expected double, got float.", {}},
      {"STRUCTOP 1 0 100", [] { zt::pushScalar<int32_t>(ZEK_INT32, 1); zt::pushArray<int32_t>(ZEK_INT32, {1}); },
       "error 111 Array with different sub-dimensions int32 and int32[1] not allowed.", {}},
      {"STRUCTOP 1 0 100",
       [] { zt::pushArray<int32_t>(ZEK_INT32, {1, 2, 3, 4}, {2, 2}); zt::pushArray<int32_t>(ZEK_INT32, {1, 2, 3, 4}); },
       "error 111 Array with different sub-dimensions int32[2][2] and int32[4] not allowed.", {}},
      // Member 2 fails: R1 stays, the operands are consumed.
      {"STRUCTOP 2 0 100",
       [] {
         zt::pushScalar<int32_t>(ZEK_INT32, 1);
         zt::pushScalar<int16_t>(ZEK_INT16, 1);
         zt::pushScalar<int32_t>(ZEK_INT32, 2);
         zt::pushScalar<int32_t>(ZEK_INT32, 2);
       },
       "error 18 Type mismatch on parameter stack. Expected int16, got int32.", {"int32 3"}},
  };
  for (const Row &row : rows) {
    zt::runOn(row.code, row.operands);
    EXPECT_EQ(zt::outcome(), row.error) << row.code;
    EXPECT_EQ(stackTexts(), row.left) << row.code;
  }
}

// n comes from the byte code: 2n and n + 1 must not wrap, and nothing is allocated for a count
// the stack does not hold.
TEST(StructOp, HostileMemberCountUnderflows) {
  for (const char *code : {"STRUCTOP 2147483648 0 100", "STRUCTOP 4294967295 1 100", "STRUCTOP 4294967295 2 100",
                           "STRUCTOP 4294967295 0 100"}) {
    zt::runOn(code, [] {
      zt::pushScalar<int32_t>(ZEK_INT32, 1);
      zt::pushScalar<int32_t>(ZEK_INT32, 2);
    });
    EXPECT_EQ(zt::outcome(), "error 109 An underflow of the parameter stack occurred.") << code;
    EXPECT_EQ(zek_pstack_valueCount(), 2u) << code;
  }
  ValueList *list = reinterpret_cast<ValueList *>(1);
  EXPECT_FALSE(zek_pstack_dropNValues(0xFFFFFFFFu, &list));
  EXPECT_EQ(list, nullptr);
}

TEST(StructOp, KernelErrorsDoNotStopTheMembers) {
  ZekErrorHandler previous = zek_setErrorHandler(zt::countRaise);
  zt::raised = 0;
  zt::runOn("STRUCTOP 2 2 103", [] {
    zt::pushArray<int32_t>(ZEK_INT32, {4, 6});
    zt::pushScalar<int32_t>(ZEK_INT32, 8);
    zt::pushScalar<int32_t>(ZEK_INT32, 0);
  });
  zek_setErrorHandler(previous);
  EXPECT_EQ(zt::raised, 3);
  EXPECT_EQ(zt::bareError(), "Division by zero (int32).");
  EXPECT_EQ(zek_pstack_valueCount(), 2u);  // both results pushed
}

TEST(StructOp, ReadsTheCountInTheImageByteOrder) {
  zt::runOn(
      "STRUCTOP 2 2 100",
      [] {
        zt::pushScalar<int64_t>(ZEK_INT64, 1);
        zt::pushScalar<int64_t>(ZEK_INT64, 2);
        zt::pushScalar<int64_t>(ZEK_INT64, 40);
      },
      true);
  EXPECT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(stackTexts(), (std::vector<std::string>{"int64 41", "int64 42"}));
}

}  // namespace
