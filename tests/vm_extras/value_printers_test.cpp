// The value printers over every base type, with and without the type suffix, into buffers
// that fit and that do not.
#include <cmath>
#include <limits>

#include "console_capture.h"
#include "vm_extras.h"
#include "vm_harness.h"

namespace {

struct Case {
  uint32_t type;
  std::vector<uint8_t> bytes;
  const char *plain;
  const char *suffixed;
};

template <typename T> std::vector<uint8_t> bytes(T v) { return zt::bytesOf<T>({v}); }

const std::vector<Case> &cases() {
  static const std::vector<Case> table = {
      {ZEK_UINT8, {0xFF}, "255", "255u8"},
      {ZEK_INT8, {0xFF}, "-1", "-1i8"},
      {ZEK_UINT16, bytes<uint16_t>(65535), "65535", "65535u16"},
      {ZEK_INT16, bytes<int16_t>(-32768), "-32768", "-32768i16"},
      {ZEK_UINT32, bytes<uint32_t>(4294967295u), "4294967295", "4294967295u32"},
      {ZEK_INT32, bytes<int32_t>(-7), "-7", "-7i32"},
      {ZEK_INT64, bytes<int64_t>(-5000000000ll), "-5000000000", "-5000000000i64"},
      {ZEK_FLOAT, bytes<float>(2.5f), "2.5", "2.5f"},
      {ZEK_DOUBLE, bytes<double>(0.1), "0.1", "0.1d"},
      // A double prints in single precision, beyond the float range as an infinity.
      {ZEK_DOUBLE, bytes<double>(1.0 / 3.0), "0.333333", "0.333333d"},
      {ZEK_DOUBLE, bytes<double>(123456789.0), "1.23457e+08", "1.23457e+08d"},
      {ZEK_DOUBLE, bytes<double>(1e300), "inf", "infd"},
      {ZEK_DOUBLE, bytes<double>(-1e300), "-inf", "-infd"},
      {ZEK_DOUBLE, bytes<double>(3.4028235e38), "3.40282e+38", "3.40282e+38d"},
      {ZEK_DOUBLE, bytes<double>(std::numeric_limits<double>::quiet_NaN()), "nan", "nand"},
      {ZEK_BOOL, {2}, "true", "true"},
      {ZEK_BOOL, {0}, "false", "false"},
  };
  return table;
}

TEST(ValuePrinters, EveryTypeWithAndWithoutSuffix) {
  for (const Case &c : cases()) {
    char buffer[64];
    EXPECT_EQ(zek_snprintValue(buffer, sizeof buffer, c.bytes.data(), c.type), (int32_t)std::strlen(c.plain));
    EXPECT_STREQ(buffer, c.plain) << c.type;
    EXPECT_EQ(zek_snprintValueWithTypeSuffix(buffer, sizeof buffer, c.bytes.data(), c.type),
              (int32_t)std::strlen(c.suffixed));
    EXPECT_STREQ(buffer, c.suffixed) << c.type;
    zt::takePrinted();
    EXPECT_EQ(zek_printValue(c.bytes.data(), c.type), (int32_t)std::strlen(c.plain));
    EXPECT_EQ(zt::takePrinted(), c.plain);
  }
}

TEST(ValuePrinters, UnknownTypesPrintNothing) {
  const uint8_t value[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (uint32_t type : {0u, 11u, 0xFFFFFFFFu}) {
    char buffer[8] = "guard";
    EXPECT_EQ(zek_snprintValue(buffer, sizeof buffer, value, type), 0);
    EXPECT_EQ(zek_snprintValueWithTypeSuffix(buffer, sizeof buffer, value, type), 0);
    EXPECT_STREQ(buffer, "guard");
    EXPECT_EQ(zek_printValue(value, type), 0);
    EXPECT_EQ(zt::takePrinted(), "");
  }
}

TEST(ValuePrinters, ABufferTooSmallHoldsTheCutTextAndItsLength) {
  std::vector<uint8_t> v = bytes<int64_t>(-5000000000ll);
  for (uint32_t size : {0u, 1u, 2u, 5u, 14u, 15u}) {
    std::vector<char> buffer(size + 4, '#');
    int32_t n = zek_snprintValueWithTypeSuffix(buffer.data(), size, v.data(), ZEK_INT64);
    std::string text = "-5000000000i64";
    size_t stored = size == 0 ? 0 : std::min<size_t>(text.size(), size - 1);
    EXPECT_EQ(n, (int32_t)stored) << size;
    if (size > 0) {
      EXPECT_EQ(std::string(buffer.data()), text.substr(0, stored)) << size;
    }
    for (size_t i = size; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#') << size << " byte " << i;
  }
}

}  // namespace
