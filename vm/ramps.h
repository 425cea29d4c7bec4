#pragma once
// Ramps: the element kernel and the clean-up of a ramp's bucket.
#include <cstdint>

// Writes one element of `type` moved from `start` toward `target` by the step e >= 0 (stopping
// exactly on the target). Raises 18 for a type outside 1..10.
void zek__RAMP_one(uint32_t type, void *destination, const void *start, const void *target, double e);
// Releases a ramp bucket with the copies it owns; nothing for a null bucket.
void zek__RAMP_bucket_cleanup(uint16_t index, void *bucket);
