// Base types, comparisons, CRC, attribute lists, strings, memory and byte order.
#include "zek_common.h"
#include "zek_host.h"
#include "zek_platform.h"

#include <cstdio>
#include <cstdlib>

namespace {
const char *const kTypeNames[11] = {"?0?",   "uint8", "int8",  "uint16", "int16", "uint32",
                                    "int32", "int64", "float", "double", "bool"};

template <typename T> bool greater(const void *a, const void *b) {
  return zek_load_as<T>(a) > zek_load_as<T>(b);
}
template <typename T> bool greaterOrEqual(const void *a, const void *b) {
  return zek_load_as<T>(a) >= zek_load_as<T>(b);
}
}  // namespace

uint8_t zek_getBaseTypeSize(uint32_t type) {
  if (!zek_isValidBaseType(type)) {
    zek_raiseError(ZEK_ERR_TYPE, "Type %d not allowed in zek_getBaseTypeSize().", (int)type);
    return 0;
  }
  return zek_baseTypeSizeOf(type);
}

const char *zek_getBaseTypeName(uint32_t type) {
  if (!zek_isValidBaseType(type)) {
    zek_raiseError(ZEK_ERR_TYPE, "Type %d not allowed in zek_getBaseTypeName().", (int)type);
    return kTypeNames[0];
  }
  return kTypeNames[type];
}

bool zek_isGreater(const void *a, const void *b, uint32_t type) {
  switch (type) {
    case ZEK_UINT8: case ZEK_BOOL: return greater<uint8_t>(a, b);
    case ZEK_INT8: return greater<int8_t>(a, b);
    case ZEK_UINT16: return greater<uint16_t>(a, b);
    case ZEK_INT16: return greater<int16_t>(a, b);
    case ZEK_UINT32: return greater<uint32_t>(a, b);
    case ZEK_INT32: return greater<int32_t>(a, b);
    case ZEK_INT64: return greater<int64_t>(a, b);
    case ZEK_FLOAT: return greater<float>(a, b);
    case ZEK_DOUBLE: return greater<double>(a, b);
  }
  zek_raiseError(ZEK_ERR_TYPE, "Type %d not allowed in zek_isGreater()", (int)type);
  return false;
}

bool zek_isGreaterOrEqual(const void *a, const void *b, uint32_t type) {
  switch (type) {
    case ZEK_UINT8: case ZEK_BOOL: return greaterOrEqual<uint8_t>(a, b);
    case ZEK_INT8: return greaterOrEqual<int8_t>(a, b);
    case ZEK_UINT16: return greaterOrEqual<uint16_t>(a, b);
    case ZEK_INT16: return greaterOrEqual<int16_t>(a, b);
    case ZEK_UINT32: return greaterOrEqual<uint32_t>(a, b);
    case ZEK_INT32: return greaterOrEqual<int32_t>(a, b);
    case ZEK_INT64: return greaterOrEqual<int64_t>(a, b);
    case ZEK_FLOAT: return greaterOrEqual<float>(a, b);
    case ZEK_DOUBLE: return greaterOrEqual<double>(a, b);
  }
  zek_raiseError(ZEK_ERR_TYPE, "Type %d not allowed in zek_isGreaterOrEqual()", (int)type);
  return false;
}

bool zek_isZero(const void *value, uint32_t type) {
  switch (type) {
    case ZEK_UINT8: case ZEK_INT8: case ZEK_BOOL: return zek_load_as<uint8_t>(value) == 0;
    case ZEK_UINT16: case ZEK_INT16: return zek_load_as<uint16_t>(value) == 0;
    case ZEK_UINT32: case ZEK_INT32: return zek_load_as<uint32_t>(value) == 0;
    case ZEK_INT64: return zek_load_as<uint64_t>(value) == 0;
    case ZEK_FLOAT: return zek_load_as<float>(value) == 0.0f;
    case ZEK_DOUBLE: return zek_load_as<double>(value) == 0.0;
  }
  zek_raiseError(ZEK_ERR_TYPE, "Type %d not allowed.", (int)type);
  return true;
}

uint32_t zek_computeCrc(const uint8_t *data, uint32_t length) {
  uint32_t table[256];
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

uint16_t zek_attributes_len(const char *list) {
  // Entries up to the empty one that closes the list; an empty list is its two NUL bytes.
  size_t n = 0;
  if (list[0] == '\0') return 2;
  while (list[n] != '\0') n += std::strlen(list + n) + 1;
  return (uint16_t)(n + 1);
}

const char *zek_get_attribute(const char *list, const char *key) {
  if (list == nullptr) return nullptr;
  size_t keyLen = std::strlen(key);
  for (const char *entry = list; *entry != '\0'; entry += std::strlen(entry) + 1) {
    const char *eq = std::strchr(entry, '=');
    if (eq == nullptr) return nullptr;
    // A prefix match: the entry's key only has to begin with the key asked for.
    if (std::strncmp(entry, key, keyLen) == 0) return eq + 1;
  }
  return nullptr;
}

uint32_t zek_strlen(const char *text) { return (uint32_t)std::strlen(text); }

uint32_t zek_nstrlen(const char *text, uint32_t max) {
  uint32_t n = 0;
  while (n < max && text[n] != '\0') ++n;
  return n;
}

bool zek_streq(const char *a, const char *b) { return std::strcmp(a, b) == 0; }

int32_t zek_strindexof(const char *text, char ch) {
  const char *p = std::strchr(text, ch);
  return (p == nullptr || ch == '\0') ? -1 : (int32_t)(p - text);
}

char *zek_getDimName(const uint32_t *dimensions, uint8_t count) {
  // "[%d]" per dimension: at most 13 characters each.
  char *text = (char *)zek_malloc((uint32_t)count * 13u + 1u);
  if (text == nullptr) return nullptr;
  size_t pos = 0;
  for (uint8_t i = 0; i < count; ++i)
    pos += (size_t)std::snprintf(text + pos, 14, "[%d]", (int)dimensions[i]);
  return text;
}

bool zek_isBigEndianArch(void) { return false; }

void *zek_malloc(uint32_t size) {
  void *p = plat_fault_fires(PLAT_FAULT_ALLOCATION) ? nullptr : std::calloc(1, size);
  if (p == nullptr && size > 0) zek_raiseError(ZEK_ERR_MEMORY, "Not enough heap memory for %u bytes.", size);
  return p;
}

void *zek_hostMalloc(uint32_t size) {
  return plat_fault_fires(PLAT_FAULT_ALLOCATION) ? nullptr : std::calloc(1, size);
}

void zek_free(void *p) {
  if (p != nullptr) std::free(p);
}
