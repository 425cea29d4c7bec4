// Interpreter benchmark: nanoseconds per executed instruction for tight in-cycle loops, and the
// fixed cost of an empty cycle with a large history part. Counts every allocation made while
// cycles run: the instruction loop must make none.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image_builder.h"
#include "vm_state.h"

// Every allocation in this process goes through these, so the counter sees the VM's too.
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
static unsigned long g_allocations = 0;
extern "C" void *malloc(size_t n) { ++g_allocations; return __libc_malloc(n); }
extern "C" void *calloc(size_t n, size_t m) { ++g_allocations; return __libc_calloc(n, m); }
extern "C" void *realloc(void *p, size_t n) { ++g_allocations; return __libc_realloc(p, n); }

namespace {

struct Result {
  bool ran;
  double nsPerCycle;
  unsigned long allocations;
  std::string error;
};

Result runCycles(const zt::Program &p, uint32_t cycles) {
  zt::Image img = p.build();
  if (zek_load(img.data()) != 0) return {false, 0, 0, zek_getErrorMessage()};
  // One warm-up cycle, then the measured ones.
  if (zek_runCycle() != 0) return {false, 0, 0, zek_getErrorMessage()};
  unsigned long before = g_allocations;
  auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < cycles; ++i)
    if (zek_runCycle() != 0) return {false, 0, 0, zek_getErrorMessage()};
  auto end = std::chrono::steady_clock::now();
  double ns = std::chrono::duration<double, std::nano>(end - start).count();
  return {true, ns / cycles, g_allocations - before, ""};
}

void report(const char *name, const Result &r, double instructionsPerCycle) {
  if (!r.ran) {
    std::printf("%-44s n/a (%s)\n", name, r.error.c_str());
    return;
  }
  if (instructionsPerCycle > 0)
    std::printf("%-44s %8.2f ns/instruction  allocations: %lu\n", name, r.nsPerCycle / instructionsPerCycle,
                r.allocations);
  else
    std::printf("%-44s %8.1f ns/cycle        allocations: %lu\n", name, r.nsPerCycle, r.allocations);
}

}  // namespace

int main() {
  const uint32_t cycles = 2000;
  {
    // Straight-line dispatch: 1000 constant pushes and drops per cycle.
    zt::Program p;
    p.timeout = 0xFFFFFFFFu;
    std::string code;
    for (int i = 0; i < 500; ++i) code += "PUSHINT32 1; DROP; PUSHDOUBLE 2.5; DROP; ";
    p.code = code + "ENDCYCLE";
    report("PUSH/DROP straight line", runCycles(p, cycles), 2001);
  }
  {
    // Branches, a jump table, a subroutine call and a small array join, 200 times per cycle.
    zt::Program p;
    p.timeout = 0xFFFFFFFFu;
    std::string code;
    for (int i = 0; i < 200; ++i) {
      std::string n = std::to_string(i);
      code += "PUSHTRUE; JUMPONTRUE t" + n + "; t" + n + ": PUSHUINT16 0; JUMP_IF_ZERO z" + n + "; z" + n +
              ": JUMPTABLE j" + n + "; j" + n + ": CALLSUB sub; PUSHINT32 1; DUP; ARRAY 2; DROP; ";
    }
    p.code = code + "ENDCYCLE; sub: RETURN";
    report("branches/JUMPTABLE/CALLSUB/DUP/ARRAY straight line", runCycles(p, cycles), 11 * 200 + 1);
  }
  {
    // The counting loop: i := i + 1 while i < 1000, through channel reads and writes.
    zt::Program p;
    p.timeout = 0xFFFFFFFFu;
    p.channel("i", 6, 3);
    p.code =
        "PUSHINT32 0; WRITEALL i;"
        "loop: READALL i; PUSHINT32 1; PLUS; WRITEALL i;"
        "READALL i; PUSHINT32 1000; LT; JUMPONTRUE loop; ENDCYCLE";
    report("READALL/PUSHINT32/PLUS/WRITEALL/LT/JUMP loop", runCycles(p, cycles / 10), 3 + 8 * 1000);
  }
  for (uint32_t part3 : {1024u, 1u << 20}) {
    zt::Program p;
    p.timeout = 0xFFFFFFFFu;
    p.history = 100;
    p.part3Size = part3;
    p.code = "ENDCYCLE";
    std::string name = "empty cycle, history part " + std::to_string(part3 / 1024) + " KiB, H=100";
    report(name.c_str(), runCycles(p, part3 > 4096 ? 2000 : 200000), 0);
  }
  return 0;
}
