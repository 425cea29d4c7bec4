// A formatted print that never stores past its buffer: the conversions are rendered here, one
// character at a time into a sink that counts every character and stores only those that fit.
// Floating-point values are converted exactly (the binary value as a decimal of up to 767
// digits, rounded half to even like the C library), so no conversion needs scratch space that
// a width or a precision could overrun.
#include <climits>
#include <cmath>
#include <cstring>
#include <cwchar>

#include "zek_lcc.h"

namespace {

// Counts every character; stores the first size - 1 of them.
struct Sink {
  char *buffer;
  size_t size;
  uint64_t length;

  void put(char c) {
    if (length + 1 < size) buffer[length] = c;
    ++length;
  }
  void put(const char *text, size_t n) {
    if (length + 1 < size) {
      uint64_t room = size - 1 - length;
      std::memcpy(buffer + length, text, n < room ? n : (size_t)room);
    }
    length += n;
  }
  void fill(char c, uint64_t n) {
    if (length + 1 < size) {
      uint64_t room = size - 1 - length;
      std::memset(buffer + length, c, (size_t)(n < room ? n : room));
    }
    length += n;
  }
};

// Counts only: used to measure a conversion's body before its padding is placed.
struct Counter {
  uint64_t length = 0;
  void put(char) { ++length; }
  void put(const char *, size_t n) { length += n; }
  void fill(char, uint64_t n) { length += n; }
};

enum Length { kNone, kHH, kH, kL, kLL, kJ, kZ, kT, kBigL };

struct Spec {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  uint64_t width = 0;
  int64_t precision = -1;  // -1: none given
  Length length = kNone;
  char conversion = 0;
};

// Places prefix, zeros and body in the field: spaces before (or after, when left-justified),
// or zeros between prefix and body when zero-filled.
template <typename Body>
void emitField(Sink &out, const Spec &spec, const char *prefix, size_t prefixLength, uint64_t innerZeros,
               bool zeroFill, Body body) {
  Counter counter;
  body(counter);
  uint64_t total = prefixLength + innerZeros + counter.length;
  uint64_t pad = spec.width > total ? spec.width - total : 0;
  if (!spec.left && !zeroFill) out.fill(' ', pad);
  out.put(prefix, prefixLength);
  out.fill('0', innerZeros + (!spec.left && zeroFill ? pad : 0));
  body(out);
  if (spec.left) out.fill(' ', pad);
}

// ---- integers ----

void formatInteger(Sink &out, const Spec &spec, uint64_t magnitude, bool negative) {
  char digits[24];
  size_t count = 0;
  unsigned base = spec.conversion == 'o' ? 8 : (spec.conversion == 'x' || spec.conversion == 'X' || spec.conversion == 'p') ? 16 : 10;
  const char *alphabet = spec.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  for (uint64_t v = magnitude; v != 0; v /= base) digits[count++] = alphabet[v % base];
  uint64_t precision = spec.precision < 0 ? 1 : (uint64_t)spec.precision;
  uint64_t innerZeros = precision > count ? precision - count : 0;
  if (spec.conversion == 'o' && spec.alt && innerZeros == 0 && (count == 0 || digits[count - 1] != '0')) innerZeros = 1;
  char prefix[3];
  size_t prefixLength = 0;
  bool isSigned = spec.conversion == 'd' || spec.conversion == 'i';
  if (isSigned) {
    if (negative) prefix[prefixLength++] = '-';
    else if (spec.plus) prefix[prefixLength++] = '+';
    else if (spec.space) prefix[prefixLength++] = ' ';
  }
  if ((spec.conversion == 'x' || spec.conversion == 'X') && spec.alt && magnitude != 0) {
    prefix[prefixLength++] = '0';
    prefix[prefixLength++] = spec.conversion;
  }
  if (spec.conversion == 'p') {
    prefix[prefixLength++] = '0';
    prefix[prefixLength++] = 'x';
  }
  bool zeroFill = spec.zero && !spec.left && spec.precision < 0;
  emitField(out, spec, prefix, prefixLength, innerZeros, zeroFill, [&](auto &o) {
    for (size_t i = count; i-- > 0;) o.put(digits[i]);
  });
}

// ---- floating point ----

// A positive value as 0.d1 d2 ... dn x 10^point; no digits for zero. Trailing zeros are dropped.
struct Decimal {
  char digits[800];
  int count;
  int point;
  char at(int64_t i) const { return i >= 0 && i < count ? digits[i] : '0'; }
};

constexpr uint32_t kLimbBase = 1000000000u;
constexpr int kMaxLimbs = 96;  // 2^53 x 5^1074 has 767 decimal digits

void multiplySmall(uint32_t *limbs, int &n, uint32_t factor) {
  uint64_t carry = 0;
  for (int i = 0; i < n; ++i) {
    uint64_t v = (uint64_t)limbs[i] * factor + carry;
    limbs[i] = (uint32_t)(v % kLimbBase);
    carry = v / kLimbBase;
  }
  while (carry != 0 && n < kMaxLimbs) {
    limbs[n++] = (uint32_t)(carry % kLimbBase);
    carry /= kLimbBase;
  }
}

void trimZeros(Decimal &d) {
  while (d.count > 0 && d.digits[d.count - 1] == '0') --d.count;
}

// The exact decimal expansion of a finite positive double (or zero).
void toDecimal(double value, Decimal &d) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  uint64_t mantissa = bits & ((1ull << 52) - 1);
  int exponentField = (int)((bits >> 52) & 0x7FF);
  int e2 = exponentField == 0 ? -1074 : exponentField - 1075;
  if (exponentField != 0) mantissa |= 1ull << 52;
  d.count = 0;
  d.point = 0;
  if (mantissa == 0) return;
  while ((mantissa & 1) == 0 && e2 < 0) {
    mantissa >>= 1;
    ++e2;
  }
  uint32_t limbs[kMaxLimbs];
  int n = 0;
  for (uint64_t v = mantissa; v != 0; v /= kLimbBase) limbs[n++] = (uint32_t)(v % kLimbBase);
  // value = mantissa x 2^e2: for e2 < 0 that is mantissa x 5^-e2 / 10^-e2.
  int fractionDigits = 0;
  if (e2 > 0) {
    for (int left = e2; left > 0; left -= 29) multiplySmall(limbs, n, 1u << (left < 29 ? left : 29));
  } else if (e2 < 0) {
    fractionDigits = -e2;
    for (int left = -e2; left > 0; left -= 13) {
      uint32_t factor = 1;
      for (int i = 0; i < (left < 13 ? left : 13); ++i) factor *= 5;
      multiplySmall(limbs, n, factor);
    }
  }
  char top[10];
  int topCount = 0;
  for (uint32_t v = limbs[n - 1]; v != 0; v /= 10) top[topCount++] = (char)('0' + v % 10);
  while (topCount > 0) d.digits[d.count++] = top[--topCount];
  for (int i = n - 2; i >= 0; --i) {
    uint32_t v = limbs[i];
    for (int k = 8; k >= 0; --k) {
      d.digits[d.count + k] = (char)('0' + v % 10);
      v /= 10;
    }
    d.count += 9;
  }
  d.point = d.count - fractionDigits;
  trimZeros(d);
}

// Keeps the first keep digits, rounding half to even on the exact value.
void roundDigits(Decimal &d, int64_t keep) {
  if (keep >= d.count) return;
  if (keep < 0) {
    d.count = 0;
    return;
  }
  char next = d.digits[keep];
  bool lastOdd = keep > 0 && ((d.digits[keep - 1] - '0') & 1) != 0;
  bool up = next > '5' || (next == '5' && (d.count > keep + 1 || lastOdd));
  d.count = (int)keep;
  if (up) {
    int i = (int)keep - 1;
    while (i >= 0 && d.digits[i] == '9') --i;
    if (i < 0) {
      d.digits[0] = '1';
      d.count = 1;
      ++d.point;
    } else {
      ++d.digits[i];
      d.count = i + 1;
    }
  }
  trimZeros(d);
}

template <typename Out> void putFixed(Out &o, const Decimal &d, uint64_t precision, bool point) {
  if (d.count == 0 || d.point <= 0) {
    o.put('0');
  } else {
    for (int i = 0; i < d.point; ++i) o.put(d.at(i));
  }
  if (point) o.put('.');
  for (uint64_t j = 0; j < precision; ++j) {
    int64_t index = (int64_t)d.point + (int64_t)j;
    if (index >= d.count) {
      o.fill('0', precision - j);
      break;
    }
    o.put(d.count == 0 ? '0' : d.at(index));
  }
}

template <typename Out> void putExponent(Out &o, char letter, int exponent, int minDigits) {
  o.put(letter);
  o.put(exponent < 0 ? '-' : '+');
  unsigned magnitude = (unsigned)(exponent < 0 ? -exponent : exponent);
  char digits[12];
  int n = 0;
  for (; magnitude != 0; magnitude /= 10) digits[n++] = (char)('0' + magnitude % 10);
  while (n < minDigits) digits[n++] = '0';
  while (n > 0) o.put(digits[--n]);
}

template <typename Out> void putScientific(Out &o, const Decimal &d, uint64_t precision, bool point, char letter) {
  o.put(d.at(0));
  if (point) o.put('.');
  for (uint64_t j = 0; j < precision; ++j) {
    if ((int64_t)j + 1 >= d.count) {
      o.fill('0', precision - j);
      break;
    }
    o.put(d.at((int64_t)j + 1));
  }
  putExponent(o, letter, d.count == 0 ? 0 : d.point - 1, 2);
}

// %a: the hexadecimal form, a leading 1 (0 for subnormals and zero) and the exponent of two.
template <typename Out> void putHex(Out &o, double value, int64_t precision, bool alt, bool upper) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  uint64_t fraction = bits & ((1ull << 52) - 1);
  int exponentField = (int)((bits >> 52) & 0x7FF);
  uint64_t lead = exponentField != 0 ? 1 : 0;
  int exponent = exponentField != 0 ? exponentField - 1023 : (fraction != 0 ? -1022 : 0);
  int digits = 13;
  if (precision < 0) {
    while (digits > 0 && (fraction & 0xF) == 0) {
      fraction >>= 4;
      --digits;
    }
  } else if (precision < 13) {
    int drop = (13 - (int)precision) * 4;
    uint64_t rest = fraction & ((1ull << drop) - 1), half = 1ull << (drop - 1);
    uint64_t kept = fraction >> drop;
    if (rest > half || (rest == half && (((kept | (precision == 0 ? lead : 0)) & 1) != 0))) ++kept;
    digits = (int)precision;
    // A carry out of the kept digits goes into the leading digit, which may become 2.
    uint64_t limit = 1ull << (4 * digits);
    if (kept >= limit) {
      kept -= limit;
      ++lead;
    }
    fraction = kept;
  }
  const char *alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  o.put(alphabet[lead]);
  uint64_t shown = precision < 0 ? (uint64_t)digits : (uint64_t)precision;
  if (shown > 0 || alt) o.put('.');
  for (int i = digits - 1; i >= 0; --i) o.put(alphabet[(fraction >> (4 * i)) & 0xF]);
  if (shown > (uint64_t)digits) o.fill('0', shown - (uint64_t)digits);
  putExponent(o, upper ? 'P' : 'p', exponent, 1);
}

void formatFloat(Sink &out, const Spec &spec, double value) {
  char c = spec.conversion;
  bool upper = c == 'F' || c == 'E' || c == 'G' || c == 'A';
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  bool negative = (bits >> 63) != 0;
  if (negative) value = -value;
  char prefix[3];
  size_t prefixLength = 0;
  if (negative) prefix[prefixLength++] = '-';
  else if (spec.plus) prefix[prefixLength++] = '+';
  else if (spec.space) prefix[prefixLength++] = ' ';
  if (value != value || value > 1.7976931348623157e308) {
    const char *word = value != value ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf");
    emitField(out, spec, prefix, prefixLength, 0, false, [&](auto &o) { o.put(word, 3); });
    return;
  }
  bool zeroFill = spec.zero && !spec.left;
  if (c == 'a' || c == 'A') {
    prefix[prefixLength++] = '0';
    prefix[prefixLength++] = upper ? 'X' : 'x';
    emitField(out, spec, prefix, prefixLength, 0, zeroFill,
              [&](auto &o) { putHex(o, value, spec.precision, spec.alt, upper); });
    return;
  }
  Decimal d;
  toDecimal(value, d);
  uint64_t precision = spec.precision < 0 ? 6 : (uint64_t)spec.precision;
  if (c == 'f' || c == 'F') {
    roundDigits(d, (int64_t)d.point + (int64_t)precision);
    emitField(out, spec, prefix, prefixLength, 0, zeroFill,
              [&](auto &o) { putFixed(o, d, precision, precision > 0 || spec.alt); });
  } else if (c == 'e' || c == 'E') {
    roundDigits(d, (int64_t)precision + 1);
    emitField(out, spec, prefix, prefixLength, 0, zeroFill,
              [&](auto &o) { putScientific(o, d, precision, precision > 0 || spec.alt, upper ? 'E' : 'e'); });
  } else {  // g, G
    uint64_t significant = precision == 0 ? 1 : precision;
    roundDigits(d, (int64_t)significant);
    int64_t x = d.count == 0 ? 0 : d.point - 1;
    if ((int64_t)significant > x && x >= -4) {
      uint64_t fraction = significant - 1 - (uint64_t)x;
      if (!spec.alt) {
        int64_t present = (int64_t)d.count - d.point;
        fraction = present <= 0 ? 0 : ((uint64_t)present < fraction ? (uint64_t)present : fraction);
      }
      emitField(out, spec, prefix, prefixLength, 0, zeroFill,
                [&](auto &o) { putFixed(o, d, fraction, fraction > 0 || spec.alt); });
    } else {
      uint64_t fraction = significant - 1;
      if (!spec.alt) fraction = d.count <= 1 ? 0 : ((uint64_t)(d.count - 1) < fraction ? (uint64_t)(d.count - 1) : fraction);
      emitField(out, spec, prefix, prefixLength, 0, zeroFill,
                [&](auto &o) { putScientific(o, d, fraction, fraction > 0 || spec.alt, upper ? 'E' : 'e'); });
    }
  }
}

// ---- text ----

void formatText(Sink &out, const Spec &spec, const char *text) {
  if (text == nullptr) text = spec.precision >= 0 && spec.precision < 6 ? "" : "(null)";
  size_t n = 0;
  // Only as far as the precision: the text need not be terminated beyond it.
  while ((spec.precision < 0 || (int64_t)n < spec.precision) && text[n] != '\0') ++n;
  emitField(out, spec, "", 0, 0, false, [&](auto &o) { o.put(text, n); });
}

void formatWideText(Sink &out, const Spec &spec, const wchar_t *text) {
  if (text == nullptr) {
    formatText(out, spec, nullptr);
    return;
  }
  size_t n = 0;
  while ((spec.precision < 0 || (int64_t)n < spec.precision) && text[n] != L'\0') ++n;
  emitField(out, spec, "", 0, 0, false, [&](auto &o) {
    for (size_t i = 0; i < n; ++i) o.put(text[i] >= 0 && text[i] < 0x80 ? (char)text[i] : '?');
  });
}

// ---- the format ----

uint64_t parseNumber(const char *&p) {
  uint64_t n = 0;
  while (*p >= '0' && *p <= '9') {
    if (n < (uint64_t)INT_MAX) n = n * 10 + (uint64_t)(*p - '0');
    ++p;
  }
  return n;
}

int64_t signedArgument(const Spec &spec, va_list &args) {
  switch (spec.length) {
    case kHH: return (signed char)va_arg(args, int);
    case kH: return (short)va_arg(args, int);
    case kL: return va_arg(args, long);
    case kLL: return va_arg(args, long long);
    case kJ: return va_arg(args, intmax_t);
    case kZ: case kT: return va_arg(args, ptrdiff_t);
    default: return va_arg(args, int);
  }
}

uint64_t unsignedArgument(const Spec &spec, va_list &args) {
  switch (spec.length) {
    case kHH: return (unsigned char)va_arg(args, unsigned);
    case kH: return (unsigned short)va_arg(args, unsigned);
    case kL: return va_arg(args, unsigned long);
    case kLL: return va_arg(args, unsigned long long);
    case kJ: return va_arg(args, uintmax_t);
    case kZ: return va_arg(args, size_t);
    case kT: return (uint64_t)va_arg(args, ptrdiff_t);
    default: return va_arg(args, unsigned);
  }
}

// A long double in double precision; beyond the double range it becomes an infinity.
double fromLongDouble(long double v) {
  if (v > (long double)1.7976931348623157e308) return HUGE_VAL;
  if (v < -(long double)1.7976931348623157e308) return -HUGE_VAL;
  return (double)v;
}

}  // namespace

namespace {
// The whole formatted length, stored as far as the buffer holds it and always terminated.
uint64_t formatInto(char *buffer, size_t size, const char *format, va_list args) {
  if (buffer == nullptr) size = 0;
  Sink out{buffer, size, 0};
  va_list ap;
  va_copy(ap, args);
  for (const char *p = format != nullptr ? format : ""; *p != '\0';) {
    if (*p != '%') {
      const char *run = p;
      while (*p != '\0' && *p != '%') ++p;
      out.put(run, (size_t)(p - run));
      continue;
    }
    const char *start = p++;
    Spec spec;
    for (;; ++p) {
      if (*p == '-') spec.left = true;
      else if (*p == '+') spec.plus = true;
      else if (*p == ' ') spec.space = true;
      else if (*p == '#') spec.alt = true;
      else if (*p == '0') spec.zero = true;
      else break;
    }
    if (*p == '*') {
      int w = va_arg(ap, int);
      if (w < 0) {
        spec.left = true;
        spec.width = (uint64_t)(-(int64_t)w);
      } else {
        spec.width = (uint64_t)w;
      }
      ++p;
    } else {
      spec.width = parseNumber(p);
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        int q = va_arg(ap, int);
        spec.precision = q < 0 ? -1 : q;
        ++p;
      } else {
        spec.precision = (int64_t)parseNumber(p);
      }
    }
    switch (*p) {
      case 'h': spec.length = p[1] == 'h' ? kHH : kH; p += p[1] == 'h' ? 2 : 1; break;
      case 'l': spec.length = p[1] == 'l' ? kLL : kL; p += p[1] == 'l' ? 2 : 1; break;
      case 'q': spec.length = kLL; ++p; break;
      case 'j': spec.length = kJ; ++p; break;
      case 'z': spec.length = kZ; ++p; break;
      case 't': spec.length = kT; ++p; break;
      case 'L': spec.length = kBigL; ++p; break;
      default: break;
    }
    spec.conversion = *p;
    switch (*p) {
      case 'd': case 'i': {
        int64_t v = signedArgument(spec, ap);
        formatInteger(out, spec, v < 0 ? 0 - (uint64_t)v : (uint64_t)v, v < 0);
        break;
      }
      case 'u': case 'o': case 'x': case 'X':
        formatInteger(out, spec, unsignedArgument(spec, ap), false);
        break;
      case 'p': {
        const void *v = va_arg(ap, const void *);
        if (v == nullptr) {
          Spec text = spec;
          text.precision = -1;
          formatText(out, text, "(nil)");
        } else {
          Spec pointer = spec;
          pointer.plus = pointer.space = false;
          formatInteger(out, pointer, (uint64_t)(uintptr_t)v, false);
        }
        break;
      }
      case 'c': {
        // A wide character arrives promoted like a narrow one (wint_t is narrower than int on
        // some targets); only its low byte is printed.
        char ch = (char)va_arg(ap, int);
        emitField(out, spec, "", 0, 0, false, [&](auto &o) { o.put(ch); });
        break;
      }
      case 's':
        if (spec.length == kL) formatWideText(out, spec, va_arg(ap, const wchar_t *));
        else formatText(out, spec, va_arg(ap, const char *));
        break;
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        formatFloat(out, spec, spec.length == kBigL ? fromLongDouble(va_arg(ap, long double)) : va_arg(ap, double));
        break;
      case 'n':
        // Writing through a pointer of the format's arguments is no service of this print.
        (void)va_arg(ap, void *);
        break;
      case '%':
        out.put('%');
        break;
      default:
        // Unknown or missing conversion: the text as it stands.
        if (*p == '\0') {
          out.put(start, (size_t)(p - start));
          continue;
        }
        out.put(start, (size_t)(p - start) + 1);
        break;
    }
    ++p;
  }
  va_end(ap);
  if (size > 0) buffer[out.length < size ? out.length : size - 1] = '\0';
  return out.length;
}
}  // namespace

int32_t zek_bounded_vformat(char *buffer, size_t size, const char *format, va_list args) {
  uint64_t length = formatInto(buffer, size, format, args);
  return length <= (uint64_t)INT32_MAX ? (int32_t)length : -1;
}

int32_t zek_bounded_format(char *buffer, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int32_t n = zek_bounded_vformat(buffer, size, format, args);
  va_end(args);
  return n;
}

int32_t zek_lcc_vsnprintf(char *buffer, uint32_t size, const char *format, va_list args) {
  // The measuring call of the growable string buffer.
  if (buffer == nullptr || size == 0) return ZEK_LCC_MEASURE_LENGTH;
  uint64_t length = formatInto(buffer, size, format, args);
  uint64_t stored = length < size ? length : size - 1;
  return stored <= (uint64_t)INT32_MAX ? (int32_t)stored : -1;
}

int32_t zek_lcc_snprintf(char *buffer, uint32_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int32_t n = buffer == nullptr || size == 0 ? 0 : zek_lcc_vsnprintf(buffer, size, format, args);
  va_end(args);
  return n;
}
