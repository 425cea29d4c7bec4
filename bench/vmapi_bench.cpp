// Cost per cycle of the embedding library's transfers for a block of 10^4 doubles in and out:
// bound one to one (one block copy each way), and bound to float SuT variables (the scaled path,
// element by element), beside the cycle alone.
// Usage: zek_vmapi_bench [cycles, default 2000]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "zek_vmapi.h"

namespace {

constexpr uint32_t kElements = 10000;

// Nanoseconds per cycle: binds with the given bind type, then runs the cycles.
double perCycle(uint32_t cycles, int32_t bindType, bool transfers) {
  VmapiExecution *e = zek_vmapi_createExecution(ZEK_VMAPI_BENCH_IMAGE, nullptr);
  if (e == nullptr) {
    std::fprintf(stderr, "%s\n", zek_vmapi_getErrorMessage());
    std::exit(1);
  }
  std::vector<double> in(kElements, 1.25), out(kElements);
  std::vector<float> inF(kElements, 1.25f), outF(kElements);
  bool isFloat = bindType == ZEK_VMAPI_FLOAT;
  if (transfers) {
    zek_vmapi_bindSignal_v2(e, "in", ZEK_VMAPI_DOUBLE, bindType, 1, 0, 0, 1,
                            isFloat ? (void *)inF.data() : (void *)in.data(), kElements);
    zek_vmapi_bindSignal_v2(e, "out", ZEK_VMAPI_DOUBLE, bindType, 1, 0, 0, 1,
                            isFloat ? (void *)outF.data() : (void *)out.data(), kElements);
  }
  auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < cycles; ++i) {
    int32_t result = transfers ? zek_vmapi_runCycle(e) : zek_vmapi_internal_callCycle(e);
    if (result != 0) {
      std::fprintf(stderr, "cycle %u: %d %s\n", i, result, zek_vmapi_getErrorMessage());
      std::exit(1);
    }
  }
  double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  zek_vmapi_closeExecution(e);
  return ns / cycles;
}

}  // namespace

int main(int argc, char **argv) {
  uint32_t cycles = argc > 1 ? (uint32_t)std::strtoul(argv[1], nullptr, 10) : 2000;
  if (cycles == 0) cycles = 1;
  double vm = perCycle(cycles, ZEK_VMAPI_DOUBLE, false);
  double block = perCycle(cycles, ZEK_VMAPI_DOUBLE, true);
  double scaled = perCycle(cycles, ZEK_VMAPI_FLOAT, true);
  std::printf("%u elements in and out, %u cycles\n", kElements, cycles);
  std::printf("  cycle alone        %10.0f ns per cycle\n", vm);
  std::printf("  block copy         %10.0f ns per cycle (transfers %.0f ns)\n", block, block - vm);
  std::printf("  scaled (to float)  %10.0f ns per cycle (transfers %.0f ns)\n", scaled, scaled - vm);
  return 0;
}
