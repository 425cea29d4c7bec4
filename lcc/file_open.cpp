// File opening of the LCC builds: the path goes to the runtime as given, in the runtime's own
// narrow encoding; those builds have no conversion of a UTF-8 path to UTF-16.
#include <cstdio>

#include "zek_lcc.h"

FILE *zek_lcc_fopen(const char *path, const wchar_t *mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
  // A C stream mode is a few ASCII letters: "rb", "wb", "r+b".
  char narrow[8];
  size_t n = 0;
  for (; mode[n] != L'\0'; ++n) {
    if (n + 1 >= sizeof narrow || mode[n] <= 0 || mode[n] >= 0x80) return nullptr;
    narrow[n] = (char)mode[n];
  }
  narrow[n] = '\0';
  return std::fopen(path, narrow);
}
