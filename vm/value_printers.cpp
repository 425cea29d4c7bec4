// Typed values as text: the plain form of the console and the variable trace, and the form with
// a type suffix of the parameter-stack dump.
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "vm_extras.h"
#include "zek_common.h"

namespace {
struct Formats {
  const char *plain;
  const char *suffixed;
};
// Indexed by base type; bool prints its word without a suffix.
constexpr Formats kFormats[11] = {
    {nullptr, nullptr}, {"%u", "%uu8"},     {"%d", "%di8"}, {"%u", "%uu16"}, {"%d", "%di16"}, {"%u", "%uu32"},
    {"%d", "%di32"},    {"%lld", "%lldi64"}, {"%g", "%gf"},  {"%g", "%gd"},   {"%s", "%s"}};

// A double printed in single precision. Magnitudes beyond the float range round as IEEE
// narrowing does (to the largest float below half an ulp past it, else to infinity); the plain
// conversion would be undefined there.
double narrowToFloat(double d) {
  if (std::isfinite(d) && std::fabs(d) > FLT_MAX) {
    double halfUlpPast = (double)FLT_MAX + std::ldexp(1.0, 103);
    double magnitude = std::fabs(d) < halfUlpPast ? (double)FLT_MAX : HUGE_VAL;
    return std::signbit(d) ? -magnitude : magnitude;
  }
  return (double)(float)d;
}

// Formats the value into buffer with the type's format; the number of characters stored.
int32_t formatValue(char *buffer, uint32_t size, const void *value, uint32_t type, bool suffixed) {
  if (!zek_isValidBaseType(type) || buffer == nullptr || size == 0) return 0;
  const char *format = suffixed ? kFormats[type].suffixed : kFormats[type].plain;
  int n = 0;
  switch (type) {
    case ZEK_UINT8: n = std::snprintf(buffer, size, format, (unsigned)zek_load_as<uint8_t>(value)); break;
    case ZEK_INT8: n = std::snprintf(buffer, size, format, (int)zek_load_as<int8_t>(value)); break;
    case ZEK_UINT16: n = std::snprintf(buffer, size, format, (unsigned)zek_load_as<uint16_t>(value)); break;
    case ZEK_INT16: n = std::snprintf(buffer, size, format, (int)zek_load_as<int16_t>(value)); break;
    case ZEK_UINT32: n = std::snprintf(buffer, size, format, (unsigned)zek_load_as<uint32_t>(value)); break;
    case ZEK_INT32: n = std::snprintf(buffer, size, format, (int)zek_load_as<int32_t>(value)); break;
    case ZEK_INT64: n = std::snprintf(buffer, size, format, (long long)zek_load_as<int64_t>(value)); break;
    case ZEK_FLOAT: n = std::snprintf(buffer, size, format, (double)zek_load_as<float>(value)); break;
    case ZEK_DOUBLE: n = std::snprintf(buffer, size, format, narrowToFloat(zek_load_as<double>(value))); break;
    default: n = std::snprintf(buffer, size, format, zek_load_as<uint8_t>(value) != 0 ? "true" : "false"); break;
  }
  // The result is what the buffer holds, also where the text was cut.
  if (n < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return (uint32_t)n < size ? n : (int32_t)(size - 1);
}
}  // namespace

int32_t zek_printValue(const void *value, uint32_t baseType) {
  char text[64];
  int32_t length = formatValue(text, sizeof text, value, baseType, false);
  if (length > 0) zek_printf("%s", text);
  return length;
}

int32_t zek_snprintValue(char *buffer, uint32_t size, const void *value, uint32_t baseType) {
  return formatValue(buffer, size, value, baseType, false);
}

int32_t zek_snprintValueWithTypeSuffix(char *buffer, uint32_t size, const void *value, uint32_t baseType) {
  return formatValue(buffer, size, value, baseType, true);
}
