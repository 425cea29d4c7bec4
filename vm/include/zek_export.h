#pragma once
// Every function a deliverable exports is declared with ZEK_EXPORT; everything else stays hidden.
#include "zek_portability.h"

#define ZEK_EXPORT extern "C" ZEK_VISIBLE
