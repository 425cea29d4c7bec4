#pragma once
// The one road by which byte code reads and writes channel values.
#include <cstdint>

#include "vm_state.h"

// Pointer to an element's bytes stepsBack cycles in the past (0: now), or null after an error.
const uint8_t *zek_getReadPtr(uint32_t stepsBack, uint16_t channel, uint32_t element);
// Pointer into the values heap at the first element; marks the range written. Checks nothing.
uint8_t *zek_getWritePtr(uint16_t channel, uint32_t first, uint32_t count);
// Sets the written flags of heap bytes first..last, both included.
void zek_setWrittenFlagInRange(uint32_t first, uint32_t last);
// The channel's name with its dimensions, "a[3].b[4]"; the caller frees it with zek_free.
char *zek_getFullVarname(const ChannelDecl *channel);
