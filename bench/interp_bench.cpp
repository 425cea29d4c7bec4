// Interpreter benchmark: nanoseconds per executed instruction for tight in-cycle loops, and the
// fixed cost of an empty cycle with a large history part. Counts every allocation made while
// cycles run: the instruction loop must make none.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

const char *g_only = nullptr;  // a word of the names of the rows to run, or all rows

bool selected(const char *name) { return g_only == nullptr || std::strstr(name, g_only) != nullptr; }

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

void measure(const char *name, const zt::Program &p, uint32_t cycles, double instructionsPerCycle) {
  if (selected(name)) report(name, runCycles(p, cycles), instructionsPerCycle);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1) g_only = argv[1];
  const uint32_t cycles = 2000;
  {
    // Straight-line dispatch: 1000 constant pushes and drops per cycle.
    zt::Program p;
    p.timeout = 0xFFFFFFFFu;
    std::string code;
    for (int i = 0; i < 500; ++i) code += "PUSHINT32 1; DROP; PUSHDOUBLE 2.5; DROP; ";
    p.code = code + "ENDCYCLE";
    measure("PUSH/DROP straight line", p, cycles, 2001);
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
    measure("branches/JUMPTABLE/CALLSUB/DUP/ARRAY straight line", p, cycles, 11 * 200 + 1);
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
    measure("READALL/PUSHINT32/PLUS/WRITEALL/LT/JUMP loop", p, cycles / 10, 3 + 8 * 1000);
  }
  {
    // A typical mixed cycle, 50 times over: read an input, scale it, run a ramp generator on the
    // cycle's time, compare, branch and count, write the outputs. Every block runs the same
    // 22 instructions, whichever way the branch goes.
    zt::Program p;
    p.timeout = 0xFFFFFFFFu;
    p.buckets = 50;
    p.channel("in", 9, 0).init = zt::bytesOf<double>({3.0});
    p.channel("scaled", 9, 1);
    p.channel("ramp", 9, 1);
    p.channel("count", 6, 1);
    std::string code;
    for (int i = 0; i < 50; ++i) {
      std::string n = std::to_string(i);
      code += "READALL in; PUSHDOUBLE 2.0; MULT; WRITEALL scaled;"
              "PUSHDOUBLE 0.0; PUSHDOUBLE 10.0; PUSHDOUBLE 5.0; PUSHFALSE; READT; STATEFULFUNCTION 1 " + n +
              "; WRITEALL ramp; READALL ramp; READALL scaled; LT; JUMPONFALSE s" + n +
              "; READALL count; PUSHINT32 1; PLUS; WRITEALL count; JUMP e" + n + "; s" + n +
              ": PUSHINT32 0; WRITEALL count; NOP; NOP; NOP; e" + n + ": NOP;";
    }
    p.code = code + "ENDCYCLE";
    measure("mixed: read, arithmetic, ramp generator, branch, write", p, cycles, 22 * 50 + 1);
  }
  for (uint32_t part3 : {1024u, 1u << 20}) {
    zt::Program p;
    p.timeout = 0xFFFFFFFFu;
    p.history = 100;
    p.part3Size = part3;
    p.code = "ENDCYCLE";
    std::string name = "empty cycle, history part " + std::to_string(part3 / 1024) + " KiB, H=100";
    measure(name.c_str(), p, part3 > 4096 ? 2000 : 200000, 0);
  }
  return 0;
}
