#pragma once
// Helpers shared by the interpreter and every host: base types, comparisons, CRC, attribute
// lists, strings, the growable string buffer, memory and byte order. Together with the error
// state they form the unit that a program linking the bare interpreter object supplies.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include "zek_vm.h"

// Error codes, grouped by kind.
enum ErrorCode : uint16_t {
  ZEK_ERR_MAGIC = 10,
  ZEK_ERR_FORMAT = 11,
  ZEK_ERR_MEMORY = 15,
  ZEK_ERR_FUTURE = 16,
  ZEK_ERR_TYPE = 18,
  ZEK_ERR_FILE = 19,
  ZEK_ERR_NOT_AVAILABLE = 100,
  ZEK_ERR_HISTORY = 101,
  ZEK_ERR_JUMPTABLE = 102,
  ZEK_ERR_FUNCTION = 103,
  ZEK_ERR_SHAPE = 104,
  ZEK_ERR_DIVISION = 106,
  ZEK_ERR_OVERFLOW = 108,
  ZEK_ERR_UNDERFLOW = 109,
  ZEK_ERR_LIMIT = 111,
  ZEK_ERR_MONOTONIC = 112,
  ZEK_ERR_PSTACK_MISMATCH = 113,
  ZEK_ERR_CSTACK = 114,
  ZEK_ERR_DENSITY = 115,
  ZEK_ERR_BYTECODE = 117,
  ZEK_ERR_MSGBOX = 118,
  ZEK_ERR_API = 119,
  ZEK_ERR_API_MEMORY = 120,
  ZEK_ERR_SHAREDMEM = 121,
  ZEK_ERR_CLIENT_STRING = 122,
  ZEK_ERR_FATAL = 123,
  ZEK_ERR_GETBIT = 124,
  ZEK_ERR_MATLAB = 10000,
};

// The code of the standing error (0: none). Read through zek_errorPending on hot paths; only
// zek_raiseError and zek_resetError change it.
extern "C" uint16_t zek_errorCode;
inline bool zek_errorPending(void) { return zek_errorCode != 0; }

// Growable string buffer: the text is reallocated when a formatted result does not fit.
struct ZekStrBuf {
  char *text;
  int32_t capacity;
};

extern "C" {
int32_t zek_strprint(ZekStrBuf *buffer, const char *format, ...) ZEK_PRINTF_LIKE(2, 3);
int32_t zek_strvprint(ZekStrBuf *buffer, const char *format, va_list args);

uint8_t zek_getBaseTypeSize(uint32_t type);
const char *zek_getBaseTypeName(uint32_t type);
inline bool zek_isValidBaseType(uint32_t type) { return type >= 1 && type <= 10; }
// Size without raising: 0 for an unknown id. For hot paths that checked the type already.
inline uint8_t zek_baseTypeSizeOf(uint32_t type) {
  static constexpr uint8_t sizes[11] = {0, 1, 1, 2, 2, 4, 4, 8, 4, 8, 1};
  return type <= 10 ? sizes[type] : 0;
}

bool zek_isGreater(const void *a, const void *b, uint32_t type);
bool zek_isGreaterOrEqual(const void *a, const void *b, uint32_t type);
bool zek_isZero(const void *value, uint32_t type);

uint32_t zek_computeCrc(const uint8_t *data, uint32_t length);

uint16_t zek_attributes_len(const char *list);
const char *zek_get_attribute(const char *list, const char *key);

uint32_t zek_strlen(const char *text);
uint32_t zek_nstrlen(const char *text, uint32_t max);
bool zek_streq(const char *a, const char *b);
int32_t zek_strindexof(const char *text, char ch);
char *zek_getDimName(const uint32_t *dimensions, uint8_t count);

bool zek_isBigEndianArch(void);

void *zek_malloc(uint32_t size);
void zek_free(void *p);
}  // extern "C"

// Unaligned loads and stores in machine byte order.
template <typename T> inline T zek_load_as(const void *p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename T> inline void zek_store_as(void *p, T v) { std::memcpy(p, &v, sizeof v); }

// The channel flag byte of a program image or record file into the six flag fields of a
// channel record or of a reader's variable, which keep them in the order bits 0, 4, 1, 2, 3, 5.
template <typename Record> inline void zek_setChannelFlags(Record *r, uint8_t flags) {
  r->flagBit0 = flags & 1;
  r->flagBit4 = (flags >> 4) & 1;
  r->recorded = (flags >> 1) & 1;
  r->flagBit2 = (flags >> 2) & 1;
  r->isText = (flags >> 3) & 1;
  r->needsNoPort = (flags >> 5) & 1;
}

// One scalar of a base type as a double: integers exactly (int64 rounded to nearest), bool as
// its byte, 0.0 for an unknown type.
inline double zek_scalarAsDouble(uint32_t type, const void *value) {
  switch (type) {
    case ZEK_UINT8: case ZEK_BOOL: return (double)zek_load_as<uint8_t>(value);
    case ZEK_INT8: return (double)zek_load_as<int8_t>(value);
    case ZEK_UINT16: return (double)zek_load_as<uint16_t>(value);
    case ZEK_INT16: return (double)zek_load_as<int16_t>(value);
    case ZEK_UINT32: return (double)zek_load_as<uint32_t>(value);
    case ZEK_INT32: return (double)zek_load_as<int32_t>(value);
    case ZEK_INT64: return (double)zek_load_as<int64_t>(value);
    case ZEK_FLOAT: return (double)zek_load_as<float>(value);
    case ZEK_DOUBLE: return zek_load_as<double>(value);
  }
  return 0.0;
}
