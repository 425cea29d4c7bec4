#pragma once
// STOPGAP until the record-file codec (zekbin_format.h) is on this branch: the declaration
// encoders the exchange block shares with the record files, with the codec's own signatures.
// Remove this header and exchange_codec_stopgap.cpp, include "zekbin_format.h" instead and
// link the codec's library, once the codec has landed.
#include <cstdint>

#include "zek_vm.h"

extern "C" {
int32_t zek_getEnumSetDeclLength(const EnumSetDecl *set);  // -1 for an unknown base type
uint8_t *zekbin_encodeEnumSetDecl(const EnumSetDecl *set, uint8_t *dest);
int32_t zek_getSignalDeclLength(const ChannelDecl *channel);
uint8_t *zek_zekbin_writeSignalDeclBlock(const ChannelDecl *channel, uint8_t *dest);
}
