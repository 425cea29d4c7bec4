#pragma once
// Recorded and interpolated signals: reading and interpolating the values of a table.
#include <cstdint>

// Copies one value of `type` from the image into `destination`, in the machine's byte order.
// False after raising 18 for a type outside 1..10.
bool zek_RSIGNAL_read(void *destination, const uint8_t *position, uint32_t type);
// a := a + (b - a) x x, in the type's own arithmetic (integer differences signed, the step
// truncated toward zero). False after raising 18 for a type outside 1..10.
bool zek_RSIGNAL_interpolate(void *a, const void *b, double x, uint32_t type);
// The time of a record in seconds: an f64 (real-time tables) or a u32 cycle number.
double zek__ISIGNAL_getTimeFromMEM(bool realtime, const uint8_t *position);
void zek__RSIGNAL_and_RSIGNALRT(bool realtime);
void zek__ISIGNAL_and_ISIGNALRT(bool realtime);
