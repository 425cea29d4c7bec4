#pragma once
// The state of an S-function block, the same in both S-function libraries.
#include <cstdint>

// The value of zek_status.
enum SfunState : int32_t {
  ZEK_SFUN_NOT_INITIALISED = 0,
  ZEK_SFUN_LOADED = 1,
  ZEK_SFUN_RUNNING = 2,
  ZEK_SFUN_FINISHED = 3,
  ZEK_SFUN_ERROR = 4,
};
