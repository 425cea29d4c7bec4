// Coverage-runtime benchmark: the cost of one evaluation of the four-condition decision
//   (a < b && c == d) || (e > f && g)
// as instrumented model code reports it each step, and the heap in use over 10^6 steps, which
// must stay flat: every step's frame and operand nodes are released when the step's decision
// closes.
#include "zek_track.h"

#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

// The two functions the runtime imports from the S-function library, supplied by this program.
static uint32_t g_cycle = 0;
extern "C" __attribute__((visibility("default"))) void zek_printf(const char *, ...) {}
extern "C" __attribute__((visibility("default"))) uint32_t zek_getCycleCount(void) { return g_cycle; }

// Counts every allocation in the process, the runtime's included.
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
static unsigned long g_allocations = 0;
extern "C" void *malloc(size_t n) {
  ++g_allocations;
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m) {
  ++g_allocations;
  return __libc_calloc(n, m);
}

namespace {

uint32_t g_random = 12345;
int32_t next(int32_t range) {
  g_random = g_random * 1103515245u + 12345u;
  return int32_t((g_random >> 16) % uint32_t(range));
}

// One model step: the decision as the instrumentation reports it, with short-circuit evaluation.
bool step() {
  int32_t a = next(8), b = next(8), c = next(4), d = next(4), e = next(8), f = next(8), g = next(2);
  ZEK_TRACK_init_decision(0, 4);
  ZEK_TRACK_push_or();
  ZEK_TRACK_push_and();
  ZEK_TRACK_push_int32(a);
  ZEK_TRACK_push_int32(b);
  bool left = ZEK_TRACK_lt(a < b, 0) != 0;
  if (left) {
    ZEK_TRACK_push_int32(c);
    ZEK_TRACK_push_int32(d);
    left = ZEK_TRACK_eq(c == d, 1) != 0;
  }
  ZEK_TRACK_logop(left);
  bool value = left;
  if (!value) {
    ZEK_TRACK_push_and();
    ZEK_TRACK_push_int32(e);
    ZEK_TRACK_push_int32(f);
    bool right = ZEK_TRACK_gt(e > f, 2) != 0;
    if (right) right = ZEK_TRACK_condition_int32(g, 3) != 0;
    value = ZEK_TRACK_logop(right) != 0;
  }
  ZEK_TRACK_logop(value);
  return ZEK_TRACK_decision_int32(value, 0) != 0;
}

size_t heapInUse() { return mallinfo2().uordblks; }

} // namespace

int main() {
  const uint32_t warmup = 1000, steps = 1000000;
  ZEK_TRACK_init_v2(1, 0, ZEK_TRACK_LIBRARY_VERSION);
  for (uint32_t i = 0; i < warmup; ++i, ++g_cycle) step();
  size_t heapBefore = heapInUse();
  unsigned long allocationsBefore = g_allocations;
  uint32_t trueSteps = 0;
  auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < steps; ++i, ++g_cycle) trueSteps += step() ? 1 : 0;
  auto end = std::chrono::steady_clock::now();
  size_t heapAfter = heapInUse();
  unsigned long allocations = g_allocations - allocationsBefore;
  double ns = std::chrono::duration<double, std::nano>(end - start).count() / steps;

  const char *error = ZEK_TRACK_SL_getErrorMsg();
  std::printf("four-condition AND/OR decision: %.1f ns per step (%u steps, %u true)\n", ns, steps, trueSteps);
  std::printf("allocations: %.2f per step\n", double(allocations) / steps);
  std::printf("heap in use: %zu bytes after %u warm-up steps, %zu bytes after %u more steps: %s\n", heapBefore,
              warmup, heapAfter, steps, heapAfter == heapBefore ? "flat" : "GROWING");
  if (error != nullptr) std::printf("runtime error: %s\n", error);
  ZEK_TRACK_cleanup();
  return heapAfter == heapBefore && error == nullptr ? 0 : 1;
}
