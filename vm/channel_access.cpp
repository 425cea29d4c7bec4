// Reading and writing channels: whole, by index part and by slice, now and in the past.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__READALL(void) { zek__NYI(); }
void zek__READALL_PREV(void) { zek__NYI(); }
void zek__READALL_AT_T(void) { zek__NYI(); }
void zek__READPART(void) { zek__NYI(); }
void zek__READPART_PREV(void) { zek__NYI(); }
void zek__READPART_AT_T(void) { zek__NYI(); }
void zek__READSLICE(void) { zek__NYI(); }
void zek__READSLICE_PREV(void) { zek__NYI(); }
void zek__READSLICE_AT_T(void) { zek__NYI(); }
void zek__WRITEALL(void) { zek__NYI(); }
void zek__WRITEPART(void) { zek__NYI(); }
void zek__WRITESLICE(void) { zek__NYI(); }
void zek__RESETVAR(void) { zek__NYI(); }
#include "channel_access.h"
const uint8_t *zek_getReadPtr(uint32_t, uint16_t, uint32_t) { zek__NYI(); return nullptr; }
uint8_t *zek_getWritePtr(uint16_t, uint32_t, uint32_t) { return nullptr; }
void zek_setWrittenFlagInRange(uint32_t, uint32_t) {}
char *zek_getFullVarname(const ChannelDecl *) { return nullptr; }
