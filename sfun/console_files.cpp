// Console output through MATLAB and files by UTF-8 path, for both S-function libraries.
#include "console_files.h"

#include <cstdarg>

#include "zek_host.h"
#include "zek_mex.h"
#include "zek_platform.h"

#ifdef ZEK_LCC_BUILD
#include "zek_lcc.h"
#endif

namespace {

constexpr uint32_t kPrintBufferSize = 2048;

}  // namespace

void zek_printf(const char *format, ...) {
  char buffer[kPrintBufferSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) buffer[0] = '\0';
  mexPrintf("%s", buffer);
}

FILE *zek_fopen_utf8(const char *path, const char *mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
#ifdef ZEK_LCC_BUILD
  // The LCC builds open the path as given; their opening takes the mode as a wide text.
  wchar_t wide[8];
  size_t n = 0;
  for (; mode[n] != '\0' && n + 1 < sizeof wide / sizeof wide[0]; ++n) wide[n] = (wchar_t)(unsigned char)mode[n];
  if (mode[n] != '\0') return nullptr;
  wide[n] = L'\0';
  return zek_lcc_fopen(path, wide);
#else
  return plat_fopen(path, mode);
#endif
}

int64_t zek_getFileSize(FILE *stream) {
  // 64-bit positions: a long is 32 bits on Windows.
  if (std::fseek(stream, 0, SEEK_END) != 0) return -1;
  int64_t size = plat_stream_tell(stream);
  if (size < 0 || !plat_stream_seek(stream, 0)) return -1;
  return size;
}

bool zek_readFully(FILE *stream, uint8_t *buffer, uint64_t size) {
  uint64_t done = 0;
  while (done < size) {
    size_t n = std::fread(buffer + done, 1, (size_t)(size - done), stream);
    if (n == 0) return false;
    done += n;
  }
  return true;
}
