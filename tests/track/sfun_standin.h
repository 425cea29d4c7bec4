#pragma once
// Control of the stand-in for the two functions that the coverage runtime imports from the
// S-function library: what zek_printf printed, and the cycle count zek_getCycleCount returns.
#include <cstdint>

#if defined(_WIN32) && defined(STANDIN_BUILD)
#define STANDIN_EXPORT extern "C" __declspec(dllexport)
#elif defined(_WIN32)
#define STANDIN_EXPORT extern "C" __declspec(dllimport)
#else
#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

STANDIN_EXPORT void standin_setCycleCount(uint32_t count);
// Everything printed since the last standin_reset.
STANDIN_EXPORT const char *standin_printed(void);
// Clears the printed text and sets the cycle count to 0.
STANDIN_EXPORT void standin_reset(void);
