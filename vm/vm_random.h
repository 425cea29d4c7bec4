#pragma once
// The one source of random numbers of the VM, seeded from the program image at every load so
// that a program's random values repeat from run to run.
#include <cstdint>

void zek_random_seed(uint32_t seed);
// A value in [0, RAND_MAX] of the runtime's generator.
int zek_random_next(void);
