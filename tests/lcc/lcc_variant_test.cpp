// The LCC variant of the VM library: its own sources format through the bounded print (error
// texts cut at 16384 characters, never past a buffer), while the C library's functions stay
// the process's; the file opening, the trace printers and the placeholder function.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "console_capture.h"
#include "vm_extras.h"
#include "vm_harness.h"
#include "zek_lcc.h"

namespace {

TEST(LccVariant, AnErrorMessageLongerThanTheMeasureIsCutThere) {
  ZekErrorContextHandler context = zek_setErrorContextHandler(nullptr);
  std::string text(20000, 'm');
  for (size_t i = 0; i < text.size(); i += 1000) text[i] = (char)('A' + i / 1000);
  zek_raiseError(ZEK_ERR_API, "%s", text.c_str());
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_API);
  EXPECT_EQ(std::string(zek_getErrorMessage()), text.substr(0, 16384));
  // A short message after the long one is whole, and so is one that quotes the message itself.
  zek_raiseError(ZEK_ERR_API, "short %d", 5);
  EXPECT_STREQ(zek_getErrorMessage(), "short 5");
  zek_raiseError(ZEK_ERR_API, "%s%s", text.c_str(), text.c_str());
  zek_raiseError(ZEK_ERR_API, "again: %s", zek_getErrorMessage());
  EXPECT_EQ(std::string(zek_getErrorMessage()), ("again: " + text).substr(0, 16384));
  zek_setErrorContextHandler(context);
  zek_resetError();
}

TEST(LccVariant, ErrorsOfARunCarryTheirContextWithinTheCut) {
  zt::Program p;
  p.code = "ENDERROR 123 \"" + std::string(300, 'e') + "\"";
  zt::Loaded l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  EXPECT_EQ(zek_runCycle(), 1u);
  EXPECT_EQ(zt::bareError(), std::string(300, 'e'));
  EXPECT_NE(zt::errorText().find("(error=123, address=0x0001, time=0.000000s)"), std::string::npos) << zt::errorText();
  zek_resetError();
}

TEST(LccVariant, TheCLibraryKeepsItsOwnFormatting) {
  // The mapping lives inside the variant's sources only: here the C library measures.
  const std::string format = "%d";
  EXPECT_EQ(std::snprintf(nullptr, 0, format.c_str(), 123456), 6);
  char buffer[4];
  EXPECT_EQ(std::snprintf(buffer, sizeof buffer, format.c_str(), 123456), 6);
}

TEST(LccVariant, ValuePrintersGiveTheStoredLength) {
  int64_t v = -5000000000ll;
  char buffer[8] = "#######";
  EXPECT_EQ(zek_snprintValueWithTypeSuffix(buffer, 5, &v, ZEK_INT64), 4);
  EXPECT_STREQ(buffer, "-500");
  EXPECT_EQ(buffer[5], '#');
}

TEST(LccVariant, FilesOpenWithThePathAsGiven) {
  namespace fs = std::filesystem;
  fs::path folder = fs::temp_directory_path() / ("zek_lcc_fopen_" + std::to_string(::getpid()));
  fs::create_directories(folder);
  // The bytes of the UTF-8 name reach the file system unchanged.
  std::string path = (folder / "pr\xc3\xbc" "fung.zvm").string();
  FILE *out = zek_lcc_fopen(path.c_str(), L"wb");
  ASSERT_NE(out, nullptr);
  std::fputs("ZEKVM", out);
  std::fclose(out);
  FILE *in = zek_lcc_fopen(path.c_str(), L"rb");
  ASSERT_NE(in, nullptr);
  char text[8] = {};
  EXPECT_EQ(std::fread(text, 1, 7, in), 5u);
  std::fclose(in);
  EXPECT_STREQ(text, "ZEKVM");
  EXPECT_EQ(zek_lcc_fopen((folder / "missing").string().c_str(), L"rb"), nullptr);
  EXPECT_EQ(zek_lcc_fopen(nullptr, L"rb"), nullptr);
  EXPECT_EQ(zek_lcc_fopen(path.c_str(), nullptr), nullptr);
  EXPECT_EQ(zek_lcc_fopen(path.c_str(), L"r\x00e9"), nullptr);
  EXPECT_EQ(zek_lcc_fopen(path.c_str(), L"rbbbbbbbbbbbb"), nullptr);
  fs::remove_all(folder);
}

TEST(LccVariant, VariableTrace) {
  zt::Program p;
  p.channel("x", ZEK_INT32, 3, 2).init = zt::bytesOf<int32_t>({1, 2});
  p.channel("flag", ZEK_BOOL).init = {1};
  p.channel("ratio", ZEK_DOUBLE).init = zt::bytesOf<double>({0.25});
  zt::Loaded l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  zt::takePrinted();
  zek_logVariables();
  EXPECT_EQ(zt::takePrinted(), "                x[2] = 1 2\n"
                               "                flag = true\n"
                               "               ratio = 0.25\n");
}

TEST(LccVariant, StackAndCommandTrace) {
  zt::Loaded l = zt::load(zt::Program{});
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  zt::prepareExecution(5);
  zek_pstack_push<int32_t>(ZEK_INT32, 5);
  ASSERT_TRUE(zek_cstack_push(1));
  ASSERT_TRUE(zek_cstack_push(2));
  zt::takePrinted();
  zek_logStackAndCommand();
  std::string printed = zt::takePrinted();
  zek_pstack_dump(140);
  std::string dump = zt::takePrinted();
  EXPECT_EQ(dump, " 1: | 5i32 " + std::string(134, '.') + "|");
  EXPECT_EQ(printed, "Call level 02: " + dump + " 0x0005 :   ");
  zek_cstack_clear();
  zek_pstack_clear();
}

TEST(LccVariant, FunctionCodesBeyondTheTableAreRefused) {
#ifdef ZEK_HIL_FUNCTIONS
  const uint8_t firstRefused = 24;
#else
  const uint8_t firstRefused = 26;
#endif
  zt::Program p;
  p.code = "PUSHDOUBLE 1; FUNCTION " + std::to_string(firstRefused) + "; ENDCYCLE";
  zt::Loaded l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  EXPECT_EQ(zek_runCycle(), 1u);
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_FUNCTION);
  zek_resetError();
}

TEST(LccVariant, PlaceholderFunctionRaisesUnknownCode) {
  zek_resetError();
  ZekErrorContextHandler context = zek_setErrorContextHandler(nullptr);
  zek_FUNC_NYI();
  EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_FUNCTION);
  EXPECT_STREQ(zek_getErrorMessage(), "Function code unknown.");
  zek_setErrorContextHandler(context);
  zek_resetError();
}

}  // namespace
