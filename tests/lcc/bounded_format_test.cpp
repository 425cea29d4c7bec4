// The bounded print of the LCC support against the C library's: random formats of every
// conversion, random buffer sizes, and guard bytes behind the buffer that must stay untouched.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zek_lcc.h"

namespace {

constexpr size_t kGuard = 16;
constexpr char kGuardByte = '\x5a';

// Formats with ours and with the C library into buffers of the same size with guards behind
// them; the results and every byte, guards included, must agree.
template <typename... Args> void compare(const std::string &format, size_t size, Args... args) {
  std::vector<char> ours(size + kGuard, kGuardByte), theirs(size + kGuard, kGuardByte);
  int expected = std::snprintf(size > 0 ? theirs.data() : nullptr, size, format.c_str(), args...);
  int32_t got = zek_bounded_format(size > 0 ? ours.data() : nullptr, size, format.c_str(), args...);
  ASSERT_EQ(got, expected) << '"' << format << "\" size " << size;
  ASSERT_EQ(std::string(ours.begin(), ours.end()), std::string(theirs.begin(), theirs.end()))
      << '"' << format << "\" size " << size;
  for (size_t i = size; i < ours.size(); ++i) ASSERT_EQ(ours[i], kGuardByte) << format;
}

// A size that cuts the text anywhere, fits it exactly or leaves room.
size_t pickSize(std::mt19937_64 &rng, size_t fullLength) {
  switch (rng() % 4) {
    case 0: return 0;
    case 1: return fullLength + 1;
    case 2: return rng() % (fullLength + 2);
    default: return fullLength + 1 + rng() % 8;
  }
}

std::string flags(std::mt19937_64 &rng, const char *allowed) {
  std::string out;
  for (const char *f = allowed; *f != '\0'; ++f)
    if (rng() % 4 == 0) out += *f;
  return out;
}

// Width and precision: none, digits or '*' (the values come first in the arguments).
struct Field {
  std::string text;
  bool widthStar = false, precisionStar = false;
  int width = 0, precision = 0;
};

Field field(std::mt19937_64 &rng, int maxPrecision) {
  Field f;
  switch (rng() % 4) {
    case 1: f.text += std::to_string(rng() % 30); break;
    case 2:
      f.text += '*';
      f.widthStar = true;
      f.width = (int)(rng() % 50) - 20;
      break;
    default: break;
  }
  switch (rng() % 4) {
    case 1: f.text += "." + std::to_string(rng() % (maxPrecision + 1)); break;
    case 2:
      f.text += ".*";
      f.precisionStar = true;
      f.precision = (int)(rng() % (maxPrecision + 1)) - 3;
      break;
    case 3: f.text += "."; break;
    default: break;
  }
  return f;
}

// Calls compare with the star values in front of the value, for a random size.
template <typename T> void check(std::mt19937_64 &rng, const std::string &format, const Field &f, T value) {
  int full;
  if (f.widthStar && f.precisionStar) full = std::snprintf(nullptr, 0, format.c_str(), f.width, f.precision, value);
  else if (f.widthStar) full = std::snprintf(nullptr, 0, format.c_str(), f.width, value);
  else if (f.precisionStar) full = std::snprintf(nullptr, 0, format.c_str(), f.precision, value);
  else full = std::snprintf(nullptr, 0, format.c_str(), value);
  ASSERT_GE(full, 0) << format;
  size_t size = pickSize(rng, (size_t)full);
  if (f.widthStar && f.precisionStar) compare(format, size, f.width, f.precision, value);
  else if (f.widthStar) compare(format, size, f.width, value);
  else if (f.precisionStar) compare(format, size, f.precision, value);
  else compare(format, size, value);
}

double randomDouble(std::mt19937_64 &rng) {
  static const double nice[] = {0.0, -0.0, 0.5, 1.5, 2.5, 0.125, 0.25, 9.5, 99.5, 1e22, 1e23, 123456789.0, 0.1,
                                1.0 / 3.0, DBL_MAX, -DBL_MAX, DBL_MIN, 5e-324, 2.2250738585072009e-308, 1e-5, 1e-4,
                                999999.5, 9.9999995, 1e15, 0.00001234, HUGE_VAL, -HUGE_VAL, std::nan("")};
  switch (rng() % 4) {
    case 0: return nice[rng() % (sizeof nice / sizeof nice[0])];
    case 1: {
      uint64_t bits = rng();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    case 2: return (double)(int64_t)(rng() % 2000001) / 8.0 - 125000.0;  // exact binary fractions: ties
    default: return std::ldexp((double)(rng() % 1000000), (int)(rng() % 200) - 100);
  }
}

TEST(BoundedFormat, RandomFormatsAgreeWithTheCLibrary) {
#if defined(_WIN32)
  GTEST_SKIP() << "the Windows C library's snprintf is not the reference this table is made for";
#endif
  std::mt19937_64 rng(20261210);
  const char *texts[] = {"", "x", "value=", "%% ", "[", "abc def "};
  for (int i = 0; i < 60000; ++i) {
    std::string head = texts[rng() % 6], tail = texts[rng() % 6];
    Field f;
    std::string format;
    switch (rng() % 7) {
      case 0: {  // signed integers with every length
        f = field(rng, 25);
        const char *lengths[] = {"", "hh", "h", "l", "ll", "j", "z", "t"};
        const char *length = lengths[rng() % 8];
        format = head + "%" + flags(rng, "-+ 0#") + f.text + length + (rng() % 2 ? "d" : "i") + tail;
        int64_t v = (int64_t)rng() >> (rng() % 64);
        if (length[0] == 'l' || length[0] == 'j' || length[0] == 'z' || length[0] == 't') check(rng, format, f, (long long)v);
        else check(rng, format, f, (int)v);
        break;
      }
      case 1: {  // unsigned conversions
        f = field(rng, 25);
        const char *lengths[] = {"", "hh", "h", "l", "ll", "j", "z"};
        const char *length = lengths[rng() % 7];
        const char conversions[] = "uoxX";
        format = head + "%" + flags(rng, "-0#") + f.text + length + conversions[rng() % 4] + tail;
        uint64_t v = rng() >> (rng() % 64);
        if (length[0] == 'l' || length[0] == 'j' || length[0] == 'z') check(rng, format, f, (unsigned long long)v);
        else check(rng, format, f, (unsigned)v);
        break;
      }
      case 2:
      case 3: {  // decimal floating point
        f = field(rng, rng() % 10 == 0 ? 1100 : 20);
        const char conversions[] = "fFeEgG";
        char conversion = conversions[rng() % 6];
        // %#g is checked on its own below: the C library here drops the zeros that the
        // alternative form keeps when rounding carries into a new digit.
        format = head + "%" + flags(rng, conversion == 'g' || conversion == 'G' ? "-+ 0" : "-+ 0#") + f.text +
                 conversion + tail;
        check(rng, format, f, randomDouble(rng));
        break;
      }
      case 4: {  // hexadecimal floating point
        f = field(rng, 16);
        format = head + "%" + flags(rng, "-+ 0#") + f.text + (rng() % 2 ? "a" : "A") + tail;
        check(rng, format, f, randomDouble(rng));
        break;
      }
      case 5: {  // texts
        f = field(rng, 12);
        static const char *values[] = {"", "a", "hello", "a longer text of some length", nullptr};
        const char *v = values[rng() % 5];
        format = head + "%" + flags(rng, "-") + f.text + "s" + tail;
        check(rng, format, f, v);
        break;
      }
      default: {  // characters and pointers
        f = field(rng, 0);
        f.text = f.widthStar ? "*" : "";
        f.precisionStar = false;
        // The Windows C library writes a pointer as zero-padded upper-case hex, a form of
        // its own; only the characters are compared there.
        bool pointer = rng() % 2 == 0;
#if defined(_WIN32)
        pointer = false;
#endif
        if (!pointer) {
          format = head + "%" + flags(rng, "-") + f.text + "c" + tail;
          check(rng, format, f, (int)(' ' + rng() % 90));
        } else {
          format = head + "%" + flags(rng, "-") + f.text + "p" + tail;
          check(rng, format, f, rng() % 3 == 0 ? (void *)nullptr : (void *)(uintptr_t)(rng() >> (rng() % 64)));
        }
        break;
      }
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(BoundedFormat, SeveralConversionsInOneFormat) {
  for (size_t size : {0, 1, 7, 20, 40, 200}) {
    compare("error=%d, address=0x%04x, time=%fs", size, 117, 0x2au, 0.03);
    compare("%s: %u of %lld at %g (%5.2f%%) %c|%-6s|%+.3e", size, "name", 7u, -5000000000ll, 1e-7, 99.999, 'Z', "ab", 12345.678);
    compare("open:%u;%d;%s;%d;[];%u;%u\n", size, 12u, 1, "text", 2, 40u, 10u);
    compare("%.*s (%s)", size, 8191, "message", "context");
  }
}

TEST(BoundedFormat, AlternativeGeneralFormKeepsItsZeros) {
  struct Row {
    const char *format;
    double value;
    const char *text;
  };
  const Row rows[] = {{"%#g", 1.0, "1.00000"},          {"%#g", 1e6, "1.00000e+06"},
                      {"%#g", 999999.5, "1.00000e+06"}, {"%#.3g", 99.99, "100."},
                      {"%#.0g", 5e10, "5.e+10"},        {"%#G", 1e-10, "1.00000E-10"},
                      {"%#g", 0.0, "0.00000"},          {"%#10.2g", 0.000123, "   0.00012"}};
  for (const Row &row : rows) {
    char buffer[32];
    const std::string format = row.format;
    EXPECT_EQ(zek_bounded_format(buffer, sizeof buffer, format.c_str(), row.value), (int32_t)std::strlen(row.text));
    EXPECT_STREQ(buffer, row.text) << row.format << " " << row.value;
  }
}

TEST(BoundedFormat, UnknownConversionsAreCopiedAsText) {
  // Held in strings so that the compiler's format check leaves them alone.
  const std::string unknown = "a%yb%5yc%", percent = "%5%|%d";
  char buffer[32];
  EXPECT_EQ(zek_bounded_format(buffer, sizeof buffer, unknown.c_str(), 1), 9);
  EXPECT_STREQ(buffer, "a%yb%5yc%");
  EXPECT_EQ(zek_bounded_format(buffer, sizeof buffer, percent.c_str(), 3), 3);
  EXPECT_STREQ(buffer, "%|3");
}

// The formatting interface of the LCC build over the primitive: the measuring answer, the
// characters stored otherwise.
TEST(LccPrintInterface, MeasuringAnswerAndStoredLength) {
  char buffer[64];
  EXPECT_EQ(zek_lcc_snprintf(nullptr, 0, "%d", 5), 0);
  auto vs = [](char *b, uint32_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int32_t n = zek_lcc_vsnprintf(b, size, format, args);
    va_end(args);
    return n;
  };
  EXPECT_EQ(vs(nullptr, 0, "%d", 5), ZEK_LCC_MEASURE_LENGTH);
  EXPECT_EQ(vs(buffer, 0, "%d", 5), ZEK_LCC_MEASURE_LENGTH);
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(vs(buffer, 4, "%d", 123456), 3);
  EXPECT_STREQ(buffer, "123");
  EXPECT_EQ(buffer[4], '#');
  EXPECT_EQ(vs(buffer, sizeof buffer, "%s-%d", "ab", 7), 4);
  EXPECT_STREQ(buffer, "ab-7");
  std::string forty(40, 'k');
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(zek_lcc_snprintf(buffer, 31, "%s", forty.c_str()), 30);
  EXPECT_EQ(std::string(buffer), forty.substr(0, 30));
  EXPECT_EQ(buffer[31], '#');
  // A text of any length: the stored part only, never a byte past the buffer.
  std::string huge(100000, 'h');
  std::vector<char> big(16385 + kGuard, kGuardByte);
  EXPECT_EQ(vs(big.data(), 16385, "%s%s", huge.c_str(), "tail"), 16384);
  EXPECT_EQ(std::strlen(big.data()), 16384u);
  for (size_t i = 16385; i < big.size(); ++i) EXPECT_EQ(big[i], kGuardByte);
}

TEST(LccPrintInterface, ThePrimitiveReturnsTheWholeLengthWhereItCuts) {
  // What a full-length print (the S-function host's code-generation printer) takes from it.
  char buffer[8];
  EXPECT_EQ(zek_bounded_format(buffer, sizeof buffer, "%s", "0123456789abcdef"), 16);
  EXPECT_STREQ(buffer, "0123456");
  EXPECT_EQ(zek_bounded_format(nullptr, 0, "%0*d", 1000, 5), 1000);
}

}  // namespace
