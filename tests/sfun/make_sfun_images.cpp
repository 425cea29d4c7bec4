// Writes the program images of the S-function tests into a folder. The tests drive the
// S-function library through its exports only (a second VM library in the test program
// would be a second virtual machine), so the images are built here, at build time.
#include <cstdio>
#include <string>

#include "image_builder.h"
#include "zek_vm.h"

namespace {

constexpr uint32_t S = 0xFFFFFFFFu;
constexpr uint8_t RECORDED = 2, TEXT = 8, NO_PORT = 32;

bool write(const std::string &folder, const char *name, const zt::Program &p) {
  zt::Image image = p.build();
  std::string path = folder + "/" + name;
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(image.bytes.data(), 1, image.bytes.size(), f) == image.bytes.size();
  return std::fclose(f) == 0 && ok;
}

// Channels for matching and transfer: names, external names, duplicates, hidden channels,
// arrays, buses and fixed-point values.
zt::Program ports() {
  zt::Program p;
  p.channel("x", ZEK_DOUBLE, ZEK_ROLE_INPUT);
  p.channel("u_int", ZEK_INT32, ZEK_ROLE_INPUT).externalName = "u_ext";
  p.channel("dup1", ZEK_INT16, ZEK_ROLE_INPUT).externalName = "dup";
  p.channel("dup2", ZEK_INT16, ZEK_ROLE_INPUT).externalName = "dup";
  p.channel("hidden", ZEK_DOUBLE, ZEK_ROLE_INPUT).flags = NO_PORT;
  p.channel("a", ZEK_DOUBLE, ZEK_ROLE_INPUT, 6).dims = std::vector<uint32_t>{2, 3};
  p.channel("v", ZEK_DOUBLE, ZEK_ROLE_INPUT, 4);
  p.channel("bus_a", ZEK_DOUBLE, ZEK_ROLE_INPUT).externalName = "bus.a";
  p.channel("bus_b", ZEK_INT32, ZEK_ROLE_INPUT).externalName = "bus.b";
  p.channel("fx", ZEK_INT16, ZEK_ROLE_INPUT);
  p.channel("fxa", ZEK_INT16, ZEK_ROLE_INPUT, 4).dims = std::vector<uint32_t>{2, 2};
  p.channel("s3", ZEK_DOUBLE, ZEK_ROLE_INPUT, 10).dims = std::vector<uint32_t>{5, S, 2};
  p.channel("sb", ZEK_DOUBLE, ZEK_ROLE_INPUT, 6).dims = std::vector<uint32_t>{2, S, 3};
  p.channel("short", ZEK_DOUBLE, ZEK_ROLE_INPUT, 5).dims = std::vector<uint32_t>{2, 3};
  p.channel("deep", ZEK_DOUBLE, ZEK_ROLE_INPUT, 4).dims = std::vector<uint32_t>{S, 2, S, 2};
  p.channel("y", ZEK_DOUBLE, ZEK_ROLE_OUTPUT);
  p.channel("b", ZEK_DOUBLE, ZEK_ROLE_OUTPUT, 6).dims = std::vector<uint32_t>{2, 3};
  p.channel("fy", ZEK_INT16, ZEK_ROLE_OUTPUT);
  p.channel("fya", ZEK_INT16, ZEK_ROLE_OUTPUT, 4).dims = std::vector<uint32_t>{2, 2};
  p.channel("yi", ZEK_DOUBLE, ZEK_ROLE_OUTPUT).init = zt::bytesOf<double>({7.5});
  p.channel("par", ZEK_DOUBLE, ZEK_ROLE_PARAMETER);
  p.code =
      "READALL x; WRITEALL y; READALL a; WRITEALL b; READALL fx; WRITEALL fy; READALL fxa; WRITEALL fya; "
      "ENDCYCLE";
  return p;
}

// y = x + 1 every cycle, with an event per cycle; recorded. Four cycles (timeout 3).
zt::Program steps(bool sut) {
  zt::Program p;
  p.flags = sut ? 1 : 0;
  p.timeout = 3;
  p.channel("x", ZEK_DOUBLE, ZEK_ROLE_INPUT).flags = RECORDED;
  p.channel("y", ZEK_DOUBLE, ZEK_ROLE_OUTPUT).flags = RECORDED;
  p.events.push_back({1, "tick"});
  p.code = "READALL x; PUSHDOUBLE 1; PLUS; WRITEALL y; EVENT tick 0; ENDCYCLE";
  return p;
}

// As steps, for 40 cycles: enough rows for every element to outgrow its first chunk and for
// the event records to outgrow their first lists.
zt::Program longSteps(bool sut) {
  zt::Program p = steps(sut);
  p.timeout = 39;
  return p;
}

// Its timeout ends the test after the first cycle.
zt::Program timeoutZero() {
  zt::Program p = steps(false);
  p.timeout = 0;
  return p;
}

// Ends the test in its first cycle.
zt::Program endsAtOnce() {
  zt::Program p;
  p.channel("x", ZEK_DOUBLE, ZEK_ROLE_INPUT).flags = RECORDED;
  p.channel("y", ZEK_DOUBLE, ZEK_ROLE_OUTPUT).flags = RECORDED;
  p.events.push_back({1, "tick"});
  p.code = "READALL x; WRITEALL y; EVENT tick 0; END";
  return p;
}

// As steps, with a third channel of a role no program has: the load fails on it after the
// channels before it are built.
zt::Program unknownRole() {
  zt::Program p = steps(false);
  p.channel("z", ZEK_DOUBLE, 9);
  return p;
}

zt::Program failing() {
  zt::Program p;
  p.channel("x", ZEK_DOUBLE, ZEK_ROLE_INPUT).flags = RECORDED;
  p.channel("y", ZEK_DOUBLE, ZEK_ROLE_OUTPUT).flags = RECORDED;
  p.code = "ENDERROR 42 \"boom\"";
  return p;
}

zt::Function function(const char *name, uint8_t role, const char *entry, uint16_t firstArg, uint16_t argCount) {
  zt::Function f;
  f.name = name;
  f.role = role;
  f.entry = entry;
  f.firstArg = firstArg;
  f.argCount = argCount;
  return f;
}

// Server functions twice (doubling) and bad (leaves a value on the stack); the client
// function cf with inputs of four kinds and two outputs; cs with a string output only; c0
// without arguments.
zt::Program functions() {
  zt::Program p;
  p.timeout = 100;
  p.channel("x", ZEK_DOUBLE, ZEK_ROLE_INPUT).flags = RECORDED;
  p.channel("y", ZEK_DOUBLE, ZEK_ROLE_OUTPUT).flags = RECORDED;
  p.channel("sf_in", ZEK_DOUBLE, ZEK_ROLE_FUNC_INPUT);
  p.channel("sf_out", ZEK_DOUBLE, ZEK_ROLE_FUNC_OUTPUT);
  p.channel("cf_d", ZEK_DOUBLE, ZEK_ROLE_FUNC_INPUT);
  p.channel("cf_b", ZEK_BOOL, ZEK_ROLE_FUNC_INPUT).init = {1};
  p.channel("cf_m", ZEK_INT64, ZEK_ROLE_FUNC_INPUT, 6).dims = std::vector<uint32_t>{2, 3};
  p.channel("cf_t", ZEK_UINT8, ZEK_ROLE_FUNC_INPUT, 8).flags = TEXT;
  p.channel("cf_out", ZEK_DOUBLE, ZEK_ROLE_FUNC_OUTPUT);
  p.channel("cf_str", ZEK_UINT8, ZEK_ROLE_FUNC_OUTPUT, 5).flags = TEXT;
  p.channel("cs_str", ZEK_UINT8, ZEK_ROLE_FUNC_OUTPUT, 4).flags = TEXT;
  p.channel("cs_flag", ZEK_BOOL, ZEK_ROLE_FUNC_OUTPUT);
  zt::Function twice = function("twice", 1, "twice", 2, 2);
  zt::Function bad = function("bad", 1, "bad", 2, 2);
  zt::Function cf = function("cf", 2, "", 4, 6);
  zt::Function cs = function("cs", 2, "", 10, 2);
  zt::Function c0 = function("c0", 2, "", 0, 0);
  p.functions = {twice, bad, cf, cs, c0};
  p.code =
      "READALL x; WRITEALL cf_d; CALLFUNCTION cf; READALL cf_out; WRITEALL y; ENDCYCLE; "
      "twice: READALL sf_in; PUSHDOUBLE 2; MULT; WRITEALL sf_out; ENDCYCLE; "
      "bad: PUSHINT32 1; ENDCYCLE";
  return p;
}

// Calls cs and then c0 each cycle.
zt::Program clientString() {
  zt::Program p = functions();
  p.code = "CALLFUNCTION cs; CALLFUNCTION c0; ENDCYCLE; twice: ENDCYCLE; bad: ENDCYCLE";
  return p;
}

// y = 1 / x (x = 0 fails the cycle), a message box and the client function c0 every cycle:
// each a callback of the wrapper inside the cycle. With a real-time clock or without.
zt::Program reentry(bool clock) {
  zt::Program p;
  p.timeout = 100;
  p.channel("x", ZEK_DOUBLE, ZEK_ROLE_INPUT).flags = RECORDED;
  p.channel("y", ZEK_DOUBLE, ZEK_ROLE_OUTPUT).flags = RECORDED;
  p.channel("answer", ZEK_UINT8, ZEK_ROLE_LOCAL);
  if (clock) p.channel("@realtime", ZEK_DOUBLE, ZEK_ROLE_LOCAL);
  p.functions = {function("c0", 2, "", 0, 0)};
  p.code =
      "PUSHDOUBLE 1; READALL x; DIV; WRITEALL y; PUSHTRUE; MESSAGEBOX \"Again?\" \"Yes\"; WRITEALL answer; "
      "CALLFUNCTION c0; ENDCYCLE";
  return p;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  std::string folder = argv[1];
  bool ok = write(folder, "ports.zvm", ports()) && write(folder, "steps.zvm", steps(false)) &&
            write(folder, "steps_sut.zvm", steps(true)) && write(folder, "timeout0.zvm", timeoutZero()) && write(folder, "ends_at_once.zvm", endsAtOnce()) &&
            write(folder, "long_steps.zvm", longSteps(false)) && write(folder, "long_steps_sut.zvm", longSteps(true)) &&
            write(folder, "failing.zvm", failing()) && write(folder, "functions.zvm", functions()) &&
            write(folder, "client_string.zvm", clientString()) && write(folder, "reentry.zvm", reentry(false)) &&
            write(folder, "reentry_clock.zvm", reentry(true)) && write(folder, "unknown_role.zvm", unknownRole());
  if (!ok) std::fprintf(stderr, "could not write the images into %s\n", folder.c_str());
  return ok ? 0 : 1;
}
