// zek_printf of the test programs of NO_PRINTF variants: formats with the C library and keeps
// the text for the test to look at.
#include "console_capture.h"

#include <cstdarg>
#include <cstdio>

#include "zek_vm.h"

namespace {
std::string g_printed;
}

void zek_printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  int n = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (n > 0) {
    std::string text((size_t)n + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize((size_t)n);
    g_printed += text;
  }
  va_end(args);
}

std::string zt::takePrinted() {
  std::string out;
  out.swap(g_printed);
  return out;
}
