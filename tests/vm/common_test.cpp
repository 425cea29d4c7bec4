#include <cmath>
#include <limits>

#include "vm_harness.h"

namespace {

int g_handlerCalls = 0;
void countingHandler() { ++g_handlerCalls; }
void fixedContext(char *buffer, uint32_t size) { std::snprintf(buffer, size, "ctx"); }

struct ErrorStateTest : ::testing::Test {
  void SetUp() override {
    zek_setErrorContextHandler(nullptr);
    zek_setErrorHandler(nullptr);
    zek_resetError();
    g_handlerCalls = 0;
  }
  void TearDown() override {
    zek_setErrorContextHandler(nullptr);
    zek_setErrorHandler(nullptr);
    zek_resetError();
  }
};

TEST_F(ErrorStateTest, LongMessagesGrowTheBufferAndShortOnesReuseIt) {
  std::string longText(700, 'x');
  zek_raiseError(18, "%s", longText.c_str());
  EXPECT_EQ(zek_getErrorCode(), 18);
  EXPECT_EQ(std::string(zek_getErrorMessage()), longText);
  zek_raiseError(19, "short %d", 5);
  EXPECT_EQ(zek_getErrorCode(), 19);
  EXPECT_STREQ(zek_getErrorMessage(), "short 5");
  zek_resetError();
  EXPECT_FALSE(zek_hasError());
  EXPECT_STREQ(zek_getErrorMessage(), "");
}

TEST_F(ErrorStateTest, AMessageMayQuoteThePreviousMessage) {
  zek_raiseError(103, "inner %s", "failure");
  zek_raiseError(103, "Function '%s': %s", "f", zek_getErrorMessage());
  EXPECT_STREQ(zek_getErrorMessage(), "Function 'f': inner failure");
  std::string big(600, 'y');
  zek_raiseError(103, "%s", big.c_str());
  zek_raiseError(103, "Function '%s': %s", "g", zek_getErrorMessage());
  EXPECT_EQ(std::string(zek_getErrorMessage()), "Function 'g': " + big);
}

TEST_F(ErrorStateTest, ContextTextFollowsEveryMessageInParentheses) {
  zek_setErrorContextHandler(fixedContext);
  zek_raiseError(11, "bad %s", "image");
  EXPECT_STREQ(zek_getErrorMessage(), "bad image (ctx)");
}

TEST_F(ErrorStateTest, HandlerRunsOnEveryRaiseAndAtOnceWhenInstalledOverAPendingError) {
  zek_setErrorHandler(countingHandler);
  zek_raiseError(18, "a");
  zek_raiseError(18, "b");
  EXPECT_EQ(g_handlerCalls, 2);
  zek_setErrorHandler(nullptr);
  EXPECT_EQ(zek_setErrorHandler(countingHandler), nullptr);  // error "b" still pending
  EXPECT_EQ(g_handlerCalls, 3);
}

// The handler runs on behalf of the code that raised: whatever it raises or resets is its own
// business, and that code still stops on its error once the handler returns. An error raised
// inside the handler does not call it again, so a handler that calls something failing on
// every error cannot recurse.
void handlerRaisesAgain() {
  ++g_handlerCalls;
  zek_raiseError(123, "inner %d", g_handlerCalls);
  EXPECT_EQ(zek_getErrorCode(), 123);
  EXPECT_EQ(std::string(zek_getErrorMessage()), "inner " + std::to_string(g_handlerCalls) + " (ctx)");
}
void handlerResets() {
  ++g_handlerCalls;
  zek_resetError();
}

TEST_F(ErrorStateTest, TheErrorTheHandlerIsCalledForStandsWhenItReturns) {
  zek_setErrorContextHandler(fixedContext);
  for (ZekErrorHandler handler : {handlerRaisesAgain, handlerResets}) {
    zek_resetError();
    g_handlerCalls = 0;
    zek_setErrorHandler(handler);
    zek_raiseError(18, "outer %s", "failure");
    EXPECT_EQ(g_handlerCalls, 1);
    EXPECT_EQ(zek_getErrorCode(), 18);
    EXPECT_STREQ(zek_getErrorMessage(), "outer failure (ctx)");
    // Installed over the pending error, it runs at once, with the same outcome.
    zek_setErrorHandler(nullptr);
    zek_setErrorHandler(handler);
    EXPECT_EQ(g_handlerCalls, 2);
    EXPECT_EQ(zek_getErrorCode(), 18);
    EXPECT_STREQ(zek_getErrorMessage(), "outer failure (ctx)");
  }
}

TEST_F(ErrorStateTest, BaseTypeTablesAndTheirRefusals) {
  const char *names[] = {"uint8", "int8", "uint16", "int16", "uint32", "int32", "int64", "float", "double", "bool"};
  const uint8_t sizes[] = {1, 1, 2, 2, 4, 4, 8, 4, 8, 1};
  for (uint32_t t = 1; t <= 10; ++t) {
    EXPECT_STREQ(zek_getBaseTypeName(t), names[t - 1]);
    EXPECT_EQ(zek_getBaseTypeSize(t), sizes[t - 1]);
  }
  EXPECT_FALSE(zek_hasError());
  EXPECT_STREQ(zek_getBaseTypeName(0), "?0?");
  EXPECT_EQ(zek_getErrorCode(), 18);
  EXPECT_EQ(zek_getBaseTypeSize(11), 0);
  EXPECT_STREQ(zek_getErrorMessage(), "Type 11 not allowed in zek_getBaseTypeSize().");
}

TEST_F(ErrorStateTest, ComparisonsAreExactAndSignedOnlyForSignedTypes) {
  double nan = std::numeric_limits<double>::quiet_NaN(), one = 1.0, negZero = -0.0;
  EXPECT_FALSE(zek_isGreater(&nan, &nan, ZEK_DOUBLE));
  EXPECT_FALSE(zek_isGreaterOrEqual(&nan, &one, ZEK_DOUBLE));
  EXPECT_TRUE(zek_isGreaterOrEqual(&negZero, &negZero, ZEK_DOUBLE));
  EXPECT_TRUE(zek_isZero(&negZero, ZEK_DOUBLE));
  EXPECT_FALSE(zek_isZero(&nan, ZEK_DOUBLE));
  uint8_t big = 200, small = 100;
  EXPECT_TRUE(zek_isGreater(&big, &small, ZEK_UINT8));
  EXPECT_FALSE(zek_isGreater(&big, &small, ZEK_INT8));  // 200 is -56 as int8
  uint32_t u = 0x80000000u, one32 = 1;
  EXPECT_TRUE(zek_isGreater(&u, &one32, ZEK_UINT32));
  EXPECT_FALSE(zek_isGreater(&u, &one32, ZEK_INT32));
  EXPECT_FALSE(zek_hasError());
  EXPECT_FALSE(zek_isGreater(&u, &one32, 0));
  EXPECT_STREQ(zek_getErrorMessage(), "Type 0 not allowed in zek_isGreater()");
  EXPECT_TRUE(zek_isZero(&u, 12));
  EXPECT_STREQ(zek_getErrorMessage(), "Type 12 not allowed.");
}

TEST(Helpers, CrcIsIeee8023) {
  const char *text = "123456789";
  EXPECT_EQ(zek_computeCrc((const uint8_t *)text, 9), 0xCBF43926u);
  EXPECT_EQ(zek_computeCrc(nullptr, 0), 0u);
}

TEST(Helpers, AttributeListsMatchKeysByPrefix) {
  const char list[] = "suppressed=a,bc\0exchangemode=LOCAL\0";  // closing NUL from the literal
  EXPECT_EQ(zek_attributes_len(list), sizeof(list));
  EXPECT_EQ(zek_attributes_len("\0"), 2);
  EXPECT_STREQ(zek_get_attribute(list, "exchangemode"), "LOCAL");
  EXPECT_STREQ(zek_get_attribute(list, "suppress"), "a,bc");  // prefix of a longer key
  EXPECT_EQ(zek_get_attribute(list, "missing"), nullptr);
  const char noEquals[] = "novalue\0suppressed=x\0";
  EXPECT_EQ(zek_get_attribute(noEquals, "suppressed"), nullptr);  // an entry without '=' ends the search
}

TEST(Helpers, Strings) {
  EXPECT_EQ(zek_nstrlen("abcdef", 3), 3u);
  EXPECT_EQ(zek_nstrlen("ab", 5), 2u);
  EXPECT_EQ(zek_strindexof("a.b", '.'), 1);
  EXPECT_EQ(zek_strindexof("ab", '.'), -1);
  EXPECT_TRUE(zek_streq("x", "x"));
  uint32_t dims[] = {3, 0xFFFFFFFFu, 4};
  char *name = zek_getDimName(dims, 3);
  EXPECT_STREQ(name, "[3][-1][4]");
  zek_free(name);
  ZekStrBuf buf{nullptr, 0};
  EXPECT_EQ(zek_strprint(&buf, "%d-%s", 12, "ab"), 5);
  EXPECT_STREQ(buf.text, "12-ab");
  EXPECT_EQ(buf.capacity, 6);
  std::free(buf.text);
}

}  // namespace
