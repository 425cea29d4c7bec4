// STOPGAP until the record-file codec is on this branch (see exchange_codec.h): the enum-set
// declaration and the SignalDeclRecord, in machine byte order.
#include <cstring>

#include "exchange_codec.h"
#include "zek_common.h"

namespace {
uint8_t *putBytes(uint8_t *dest, const void *bytes, size_t n) {
  std::memcpy(dest, bytes, n);
  return dest + n;
}
template <typename T> uint8_t *put(uint8_t *dest, T value) { return putBytes(dest, &value, sizeof value); }
uint8_t *putText(uint8_t *dest, const char *text) { return putBytes(dest, text, std::strlen(text) + 1); }

bool hasAttributes(const ChannelDecl *c) { return c->attributes != nullptr && c->attributes[0] != '\0'; }

uint8_t declMask(const ChannelDecl *c) {
  uint8_t mask = 0;
  if (c->scaling != nullptr) mask |= 0x01;
  if (c->externalName != nullptr) mask |= 0x02;
  if (c->option2 != -1) mask |= 0x04;
  if (c->dimCount > 0) mask |= 0x08;
  if ((uint16_t)c->option4 != 0xFFFF) mask |= 0x10;
  if ((uint16_t)c->option5 != 0xFFFF) mask |= 0x20;
  if (hasAttributes(c)) mask |= 0x40;
  return mask;
}
}  // namespace

int32_t zek_getEnumSetDeclLength(const EnumSetDecl *set) {
  uint8_t size = zek_baseTypeSizeOf(set->baseType);
  if (size == 0) return -1;
  int64_t length = 3 + (int64_t)set->count * size;
  for (uint16_t i = 0; i < set->count; ++i) length += (int64_t)std::strlen(set->names[i]) + 1;
  return (int32_t)length;
}

uint8_t *zekbin_encodeEnumSetDecl(const EnumSetDecl *set, uint8_t *dest) {
  uint8_t size = zek_baseTypeSizeOf(set->baseType);
  dest = put<uint8_t>(dest, (uint8_t)set->baseType);
  dest = put<uint16_t>(dest, set->count);
  dest = putBytes(dest, set->values, (size_t)set->count * size);
  for (uint16_t i = 0; i < set->count; ++i) dest = putText(dest, set->names[i]);
  return dest;
}

int32_t zek_getSignalDeclLength(const ChannelDecl *c) {
  int64_t length = 16 + (int64_t)std::strlen(c->name) + 1;
  uint8_t mask = declMask(c);
  if (mask & 0x01) length += 32;
  if (mask & 0x02) length += (int64_t)std::strlen(c->externalName) + 1;
  if (mask & 0x04) length += 2;
  if (mask & 0x08) length += 1 + 4 * (int64_t)c->dimCount;
  if (mask & 0x10) length += 4;
  if (mask & 0x20) length += 4;
  if (mask & 0x40) length += zek_attributes_len(c->attributes);
  return (int32_t)length;
}

uint8_t *zek_zekbin_writeSignalDeclBlock(const ChannelDecl *c, uint8_t *dest) {
  uint8_t mask = declMask(c);
  uint8_t flags = (uint8_t)((c->flagBit0 ? 0x01 : 0) | (c->recorded ? 0x02 : 0) | (c->flagBit2 ? 0x04 : 0) |
                            (c->isText ? 0x08 : 0) | (c->flagBit4 ? 0x10 : 0) | (c->needsNoPort ? 0x20 : 0));
  dest = put<uint32_t>(dest, c->id);
  dest = put<uint32_t>(dest, c->heapOffset);
  dest = put<uint8_t>(dest, (uint8_t)c->baseType);
  dest = put<uint32_t>(dest, c->elementCount);
  dest = put<uint8_t>(dest, flags);
  dest = put<uint8_t>(dest, (uint8_t)c->role);
  dest = put<uint8_t>(dest, mask);
  dest = putText(dest, c->name);
  if (mask & 0x01) dest = putBytes(dest, c->scaling, 32);
  if (mask & 0x02) dest = putText(dest, c->externalName);
  if (mask & 0x04) dest = put<int16_t>(dest, c->option2);
  if (mask & 0x08) {
    dest = put<uint8_t>(dest, c->dimCount);
    dest = putBytes(dest, c->dims, 4 * (size_t)c->dimCount);
  }
  if (mask & 0x10) dest = put<uint32_t>(dest, (uint16_t)c->option4);
  if (mask & 0x20) dest = put<uint32_t>(dest, (uint16_t)c->option5);
  if (mask & 0x40) dest = putBytes(dest, c->attributes, zek_attributes_len(c->attributes));
  return dest;
}
