// Console output of the console and embedding builds: standard output.
#include <cstdio>

#include "zek_common.h"

void zek_printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}
