// Writes the program images and parameter files the embedding-library tests use into one
// folder. It runs at build time: the tests themselves reach the VM only through the shared
// library, so they cannot also link the VM library that the image builder needs.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image_builder.h"
#include "zekbin_writer.h"

namespace {

constexpr uint8_t kRecorded = 0x02, kNoBinding = 0x20;

bool writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// Test inputs and outputs of every kind the bindings reach, each output computed from its input.
zt::Program echo() {
  zt::Program p;
  p.timeout = 5;
  p.channel("x", 6, 0).flags = kRecorded;
  p.channel("a", 9, 0, 4);
  p.channel("s", 9, 0).flags = kRecorded;
  p.channel("g", 6, 0, 6).dims = std::vector<uint32_t>{2, 3};
  p.channel("wide", 1, 0, 65535).dims = std::vector<uint32_t>{65535};
  p.channel("open", 6, 0, 4).dims = std::vector<uint32_t>{0xFFFFFFFFu};
  p.channel("y", 6, 1).flags = kRecorded;
  p.channel("b", 9, 1, 4);
  p.channel("t", 9, 1).flags = kRecorded;
  p.channel("rw", 6, 1).init = zt::bytesOf<int32_t>({5});
  p.channel("h", 6, 1, 6).dims = std::vector<uint32_t>{2, 3};
  p.channel("local", 6, 2).attributes = std::vector<std::string>{"exchangemode=LOCAL"};
  p.channel("huge", 1, 3, 70000);
  p.attributes = {"suppressed=sup_"};
  p.events = {{3, "tick"}};
  p.code =
      "READALL x; PUSHINT32 1; PLUS; WRITEALL y; READALL a; WRITEALL b; READALL s; WRITEALL t;"
      "READALL rw; PUSHINT32 10; PLUS; WRITEALL rw; READALL g; WRITEALL h; EVENT tick 0; ENDCYCLE";
  return p;
}

// A recorded input and output and one event per cycle; SuT-synchronous or not.
zt::Program rows(bool sut) {
  zt::Program p;
  p.flags = sut ? 1 : 0;
  // 8 s: 8 cycles of 1 s, or 4 of 2 s.
  p.density = 1000000000;
  p.timeout = 8;
  p.channel("x", 6, 0).flags = kRecorded;
  p.channel("y", 6, 1).flags = kRecorded;
  p.events = {{3, "tick"}};
  p.code = "READALL x; PUSHINT32 1; PLUS; WRITEALL y; EVENT tick 0; ENDCYCLE";
  return p;
}

// Divides 100 by its input: an input of 0 is a runtime error.
zt::Program divide() {
  zt::Program p;
  p.timeout = 6;
  p.channel("x", 6, 0).flags = kRecorded;
  p.channel("y", 6, 1).flags = kRecorded;
  p.code = "PUSHINT32 100; READALL x; DIV; WRITEALL y; ENDCYCLE";
  return p;
}

// What the completeness check asks for and what it does not.
zt::Program finalize() {
  zt::Program p;
  p.channel("i1", 6, 0);
  p.channel("i2", 6, 0);
  p.channel("free_in", 6, 0).flags = kNoBinding;
  p.channel("o1", 6, 1);
  p.channel("free_out", 6, 1).flags = kNoBinding;
  p.channel("pl", 6, 2).attributes = std::vector<std::string>{"exchangemode=LOCAL"};
  p.channel("pr", 6, 2).attributes = std::vector<std::string>{"exchangemode=REMOTE"};
  p.channel("fa", 6, 5);
  zt::Function f;
  f.name = "f";
  f.role = 2;
  f.firstArg = 7;
  f.argCount = 1;
  p.functions.push_back(f);
  return p;
}

// More unbound inputs than the completeness message takes.
zt::Program many() {
  zt::Program p;
  for (int i = 0; i < 400; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "an_input_with_a_long_name_%04d", i);
    p.channel(name, 6, 0);
  }
  return p;
}

// A client function cf (argument ca in, cb out) and a server function sf (sa in, sb out), with
// ids that are not their table positions.
zt::Program functions() {
  zt::Program p;
  p.timeout = 10;
  p.channel("x", 6, 0);
  p.channel("y", 6, 1);
  p.channel("ca", 6, 5);
  p.channel("cb", 6, 6);
  p.channel("sa", 6, 5);
  p.channel("sb", 6, 6);
  zt::Function cf;
  cf.name = "cf";
  cf.role = 2;
  cf.firstArg = 2;
  cf.argCount = 2;
  cf.id = 4;
  zt::Function sf;
  sf.name = "sf";
  sf.role = 1;
  sf.entry = "sf";
  sf.firstArg = 4;
  sf.argCount = 2;
  sf.id = 9;
  p.functions = {cf, sf};
  p.code =
      "READALL x; WRITEALL ca; CALLFUNCTION cf; READALL cb; WRITEALL y; ENDCYCLE;"
      "sf: READALL sa; PUSHINT32 2; MULT; WRITEALL sb; ENDCYCLE";
  return p;
}

// Runs on the real-time clock when one is installed.
zt::Program clock() {
  zt::Program p;
  p.timeout = 10;
  p.channel("x", 6, 0).flags = kRecorded;
  p.channel("y", 6, 1).flags = kRecorded;
  p.channel("@realtime", 9, 3);
  p.code = "READALL x; PUSHINT32 1; PLUS; WRITEALL y; ENDCYCLE";
  return p;
}

// A message box in the first cycle, its answer recorded; then the end or a runtime error.
zt::Program box(const std::string &after) {
  zt::Program p;
  p.timeout = 1;
  p.channel("answer", 1, 1).flags = kRecorded;
  p.code = "PUSHTRUE; MESSAGEBOX \"Go on?\" \"Yes\" \"No\"; WRITEALL answer; " + after;
  return p;
}

// The benchmark's program: a block of 10^4 doubles in and out, for as many cycles as it takes.
zt::Program block() {
  zt::Program p;
  p.timeout = 0xFFFFFFF0u;
  p.valueStack = 1 << 20;
  p.channel("in", 9, 0, 10000);
  p.channel("out", 9, 1, 10000);
  p.code = "READALL in; WRITEALL out; ENDCYCLE";
  return p;
}

// A parameter file: one row of values.
bool writeParams(const std::string &path, bool empty) {
  struct Param {
    const char *name;
    uint32_t type;
    uint32_t count;
    std::vector<uint8_t> value;
  };
  std::vector<Param> params;
  if (!empty) {
    params = {{"p_i32", 6, 1, zt::bytesOf<int32_t>({42})},
              {"p_arr", 9, 3, zt::bytesOf<double>({1.5, 2.5, 3.5})},
              {"p_u16", 3, 1, zt::bytesOf<uint16_t>({7})},
              {"p_unbound", 6, 1, zt::bytesOf<int32_t>({9})}};
  }
  std::vector<ChannelDecl> decls(params.size());
  std::vector<ChannelDecl *> table;
  for (size_t i = 0; i < params.size(); ++i) {
    ChannelDecl &d = decls[i];
    d = ChannelDecl{};
    d.name = params[i].name;
    d.id = (uint16_t)i;
    d.baseType = params[i].type;
    d.elementSize = (uint8_t)(params[i].value.size() / params[i].count);
    d.elementCount = params[i].count;
    d.recorded = 1;
    d.role = 2;
    d.option2 = d.option4 = d.option5 = -1;
    d.value = params[i].value.data();
    table.push_back(&d);
  }
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  ZekbinWriter *w = zek_write_zekbin_headerblock(f, table.data(), (uint32_t)table.size(), nullptr, 0, nullptr, 0, 0, 1);
  bool ok = w != nullptr;
  if (ok && !empty) ok = zek_write_zekbin_signaldatarow(w, f, nullptr, 0) == 0;
  if (w != nullptr) ok = zek_close_zekbin_datablock(w, f, nullptr, 1, 1) == 0 && ok;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  std::string dir = std::string(argv[1]) + "/";
  struct Entry {
    const char *file;
    zt::Program program;
  };
  const Entry programs[] = {{"echo.zvm", echo()},           {"sutsync.zvm", rows(true)},
                            {"notsync.zvm", rows(false)},   {"divide.zvm", divide()},
                            {"finalize.zvm", finalize()},   {"many.zvm", many()},
                            {"functions.zvm", functions()}, {"block.zvm", block()},
                            {"box.zvm", box("ENDCYCLE")},   {"boxfail.zvm", box("ENDERROR 3 \"late\"")},
                            {"clock.zvm", clock()}};
  for (const Entry &e : programs) {
    if (!writeFile(dir + e.file, e.program.build().bytes)) {
      std::fprintf(stderr, "cannot write %s%s\n", dir.c_str(), e.file);
      return 1;
    }
  }
  if (!writeParams(dir + "params.zekbin", false) || !writeParams(dir + "empty_params.zekbin", true)) {
    std::fprintf(stderr, "cannot write the parameter files\n");
    return 1;
  }
  return 0;
}
