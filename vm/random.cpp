#include "vm_random.h"

#include <cstdlib>

void zek_random_seed(uint32_t seed) { std::srand(seed); }
int zek_random_next(void) { return std::rand(); }
