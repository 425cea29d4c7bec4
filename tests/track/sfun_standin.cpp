// Stands in for the S-function library: the coverage runtime binds zek_printf and
// zek_getCycleCount from whichever loaded library defines them first.
#include "sfun_standin.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {
std::string g_printed;
uint32_t g_cycleCount = 0;
} // namespace

STANDIN_EXPORT void zek_printf(const char *format, ...) {
  char buffer[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  g_printed += buffer;
}

STANDIN_EXPORT uint32_t zek_getCycleCount(void) { return g_cycleCount; }

void standin_setCycleCount(uint32_t count) { g_cycleCount = count; }

const char *standin_printed(void) { return g_printed.c_str(); }

void standin_reset(void) {
  g_printed.clear();
  g_cycleCount = 0;
}
