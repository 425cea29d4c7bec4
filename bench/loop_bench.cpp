// The reference loop side by side: x := x + 1 and n := n + 1 while n < N, in the VM (x an int32
// and n a uint32 scalar channel) and, when lua5.4 is on the PATH, in Lua 5.4 with x and n as
// fields of a table (the closest analogue of channels in a heap) and as locals, in the same
// run. Each figure is the best of several runs; the ratios come last.
// Usage: zek_loop_bench [iterations per run, default 10^7]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image_builder.h"
#include "vm_state.h"

namespace {

constexpr int kRuns = 5;
constexpr double kInstructionsPerIteration = 13;

// The loop of one cycle: n starts at 0, the cycle ends when n reaches N.
zt::Program referenceLoop(uint32_t iterations) {
  zt::Program p;
  p.timeout = 0xFFFFFFFFu;
  p.channel("x", ZEK_INT32, 3);
  p.channel("n", ZEK_UINT32, 3);
  std::string limit = std::to_string(iterations);
  p.code = "PUSHUINT32 0; WRITEALL n;"
           "L: READALL n; PUSHUINT32 " + limit + "; LT; JUMPONFALSE E;"
           "READALL x; PUSHINT32 1; PLUS; WRITEALL x;"
           "READALL n; PUSHUINT32 1; PLUS; WRITEALL n; JUMP L;"
           "E: ENDCYCLE";
  return p;
}

// Nanoseconds per iteration of the VM loop, or a negative value after printing the error.
double vmLoop(uint32_t iterations) {
  zt::Image img = referenceLoop(iterations).build();
  if (zek_load(img.data()) != 0) {
    std::printf("VM: %s\n", zek_getErrorMessage());
    return -1;
  }
  double best = -1;
  for (int run = 0; run < kRuns; ++run) {
    auto start = std::chrono::steady_clock::now();
    if (zek_runCycle() != 0) {
      std::printf("VM: %s\n", zek_getErrorMessage());
      return -1;
    }
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    if (best < 0 || ns < best) best = ns;
  }
  return best / iterations;
}

const char kLuaScript[] =
    "local N = tonumber(arg[1])\n"
    "local bestT, bestL\n"
    "for run = 1, tonumber(arg[2]) do\n"
    "  local t = {x = 0, n = 0}\n"
    "  local c = os.clock()\n"
    "  while t.n < N do t.x = t.x + 1; t.n = t.n + 1 end\n"
    "  local dt = os.clock() - c\n"
    "  local x, n = 0, 0\n"
    "  c = os.clock()\n"
    "  while n < N do x = x + 1; n = n + 1 end\n"
    "  local dl = os.clock() - c\n"
    "  if x ~= t.x then error('mismatch') end\n"
    "  if not bestT or dt < bestT then bestT = dt end\n"
    "  if not bestL or dl < bestL then bestL = dl end\n"
    "end\n"
    "print(string.format('%.9g %.9g', bestT, bestL))\n";

// Seconds of the best table-field and local runs; false when lua5.4 is missing or failed.
bool luaLoops(uint32_t iterations, double *tableNs, double *localNs) {
  if (std::system("command -v lua5.4 >/dev/null 2>&1") != 0) return false;
  const char *tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zek_loop_bench.lua";
  FILE *f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  std::fputs(kLuaScript, f);
  std::fclose(f);
  std::string command = "lua5.4 " + path + " " + std::to_string(iterations) + " " + std::to_string(kRuns);
  FILE *p = popen(command.c_str(), "r");
  double t = -1, l = -1;
  bool ok = p != nullptr && std::fscanf(p, "%lf %lf", &t, &l) == 2;
  if (p != nullptr) ok = pclose(p) == 0 && ok;
  std::remove(path.c_str());
  if (!ok || t <= 0 || l <= 0) return false;
  *tableNs = t * 1e9 / iterations;
  *localNs = l * 1e9 / iterations;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  uint32_t iterations = 10000000;
  if (argc > 1 && std::atol(argv[1]) > 0) iterations = (uint32_t)std::atol(argv[1]);
  std::printf("reference loop, %u iterations, best of %d runs\n", iterations, kRuns);
  double vm = vmLoop(iterations);
  if (vm < 0) return 1;
  std::printf("%-28s %8.2f ns/iteration %6.2f ns/instruction\n", "VM", vm, vm / kInstructionsPerIteration);
  double table, local;
  if (!luaLoops(iterations, &table, &local)) {
    std::printf("Lua 5.4: lua5.4 not on the PATH (or it failed), skipped\n");
    return 0;
  }
  std::printf("%-28s %8.2f ns/iteration\n", "Lua 5.4, table fields", table);
  std::printf("%-28s %8.2f ns/iteration\n", "Lua 5.4, locals", local);
  std::printf("ratio VM / Lua table fields: %.2f; VM / Lua locals: %.2f\n", vm / table, vm / local);
  return 0;
}
