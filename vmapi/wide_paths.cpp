// Paths as the exports receive them: a multibyte string, or a wide one (UTF-16 where wchar_t
// has 16 bits, UTF-32 elsewhere) that becomes UTF-8 for the platform layer, independent of the
// locale.
#include "vmapi_internal.h"

namespace {

// The code point at *p, which moves past it: a UTF-16 surrogate pair where wchar_t has 16 bits
// (Windows), one UTF-32 unit elsewhere. False for what is no text: a lone surrogate, a value
// beyond U+10FFFF.
bool nextCodePoint(const wchar_t **p, uint32_t *out) {
  uint32_t c = (uint32_t)*(*p)++;
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0xD800 && c <= 0xDBFF) {
      uint32_t low = (uint32_t)**p;
      if (low < 0xDC00 || low > 0xDFFF) return false;
      ++*p;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
  }
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  *out = c;
  return true;
}

// UTF-8 of a wide string (UTF-16 on Windows, UTF-32 on Linux), independent of the locale. Null
// after raising.
char *wideToUtf8(const wchar_t *text) {
  uint64_t length = 0;
  for (const wchar_t *p = text; *p != 0;) {
    uint32_t c = 0;
    if (!nextCodePoint(&p, &c)) {
      zek_raiseError(ZEK_ERR_FATAL, "Unable to convert wide string to filename.");
      return nullptr;
    }
    length += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  }
  char *out = length < 0xFFFFFFFFu ? (char *)zek_malloc((uint32_t)length + 1) : nullptr;
  if (out == nullptr) {
    zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for file name.");
    return nullptr;
  }
  uint8_t *o = (uint8_t *)out;
  for (const wchar_t *p = text; *p != 0;) {
    uint32_t c = 0;
    nextCodePoint(&p, &c);
    if (c < 0x80) {
      *o++ = (uint8_t)c;
    } else if (c < 0x800) {
      *o++ = (uint8_t)(0xC0 | (c >> 6));
      *o++ = (uint8_t)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *o++ = (uint8_t)(0xE0 | (c >> 12));
      *o++ = (uint8_t)(0x80 | ((c >> 6) & 0x3F));
      *o++ = (uint8_t)(0x80 | (c & 0x3F));
    } else {
      *o++ = (uint8_t)(0xF0 | (c >> 18));
      *o++ = (uint8_t)(0x80 | ((c >> 12) & 0x3F));
      *o++ = (uint8_t)(0x80 | ((c >> 6) & 0x3F));
      *o++ = (uint8_t)(0x80 | (c & 0x3F));
    }
  }
  *o = 0;
  return out;
}

}  // namespace

const char *vmapi_pathToMultibyte(VmapiPath path, bool *owned) {
  *owned = false;
  if (!path.isWide) return (const char *)path.path;
  char *text = wideToUtf8((const wchar_t *)path.path);
  *owned = text != nullptr;
  return text;
}

FILE *vmapi_openPath(VmapiPath path, const char *mode) {
  bool owned = false;
  const char *name = vmapi_pathToMultibyte(path, &owned);
  if (name == nullptr) return nullptr;
  FILE *f = plat_fopen(name, mode);
  if (owned) zek_free((void *)name);
  return f;
}
