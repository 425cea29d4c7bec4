#pragma once
// Failing every call of one kind in turn, through the fault hooks of the platform layer.
#include <cstdint>

#include "zek_platform.h"

namespace zt {

// Runs attempt(n, fired) for n = 1, 2, ... with the n-th call of the fault's kind failing;
// fired tells whether the run reached that call. The first run that did not is the last one
// (its calls all succeeded). Returns that run's n: one more than the calls a clean run makes.
template <class Attempt> uint64_t failEachCallInTurn(PlatFault fault, Attempt attempt) {
  for (uint64_t n = 1;; ++n) {
    plat_fault_arm(fault, n);
    auto outcome = attempt(n);
    bool fired = !plat_fault_armed(fault);
    plat_fault_arm(fault, 0);
    outcome(fired);
    if (!fired) return n;
  }
}

}  // namespace zt
