// Writes the program images of the hardware-in-the-loop library's tests into a folder. A
// program of its own, so that the test program reaches a VM through the library's exports
// only.
//
//   make_hil_images FOLDER
#include <cstdio>
#include <fstream>
#include <string>

#include "image_builder.h"

namespace {

constexpr uint8_t kRecorded = 2;  // channel flag bit 1

// A 2x3 matrix and an int16 scalar in and out, a cycle counter and a recorded parameter.
zt::Program matrixProgram() {
  zt::Program p;
  p.density = 10000;
  p.timeout = 100000;
  zt::Channel &u = p.channel("u", 9, 0, 6);
  u.dims = std::vector<uint32_t>{2, 3};
  u.flags = kRecorded;
  p.channel("s", 4, 0);
  zt::Channel &y = p.channel("y", 9, 1, 6);
  y.dims = std::vector<uint32_t>{2, 3};
  y.flags = kRecorded;
  p.channel("t", 4, 1);
  p.channel("n", 6, 1).flags = kRecorded;
  zt::Channel &k = p.channel("k", 6, 2);
  k.flags = kRecorded;
  k.init = zt::bytesOf<int32_t>({42});
  p.code = "READALL u; WRITEALL y; READALL s; WRITEALL t; READALL n; PUSHINT32 1; PLUS; WRITEALL n; ENDCYCLE";
  return p;
}

// The matrix program with a seventh channel of a role no program has: the load fails on it
// after the channels before it are built.
zt::Program unknownRoleProgram() {
  zt::Program p = matrixProgram();
  p.channel("z", 9, 9);
  return p;
}

// Ends after three cycles of 10 ms.
zt::Program endingProgram() {
  zt::Program p;
  p.density = 10000;
  p.timeout = 3;
  p.channel("n", 6, 1).flags = kRecorded;
  p.code = "READALL n; PUSHINT32 1; PLUS; WRITEALL n; ENDCYCLE";
  return p;
}

// Divides by its input d: a cycle with d = 0 fails.
zt::Program dividingProgram() {
  zt::Program p;
  p.timeout = 100000;
  p.channel("d", 6, 0);
  p.channel("q", 6, 1);
  p.channel("r", 4, 1);
  p.code = "PUSHINT32 12; READALL d; DIV; WRITEALL q; PUSHINT16 7; WRITEALL r; ENDCYCLE";
  return p;
}

// An input of three dimensions.
zt::Program cubeProgram() {
  zt::Program p;
  zt::Channel &c = p.channel("c", 9, 0, 8);
  c.dims = std::vector<uint32_t>{2, 2, 2};
  return p;
}

// The client function twice(a) -> b, carried out by MATLAB; with a message box after it, two
// callbacks of the wrapper inside every cycle, and x and y recorded.
zt::Program clientProgram(bool withBox) {
  zt::Program p;
  p.timeout = 100000;
  p.channel("x", 9, 0).flags = withBox ? kRecorded : 0;
  p.channel("y", 9, 1).flags = withBox ? kRecorded : 0;
  if (withBox) p.channel("answer", 1, 3);
  p.channel("a", 9, 5);
  p.channel("b", 9, 6);
  zt::Function f;
  f.name = "twice";
  f.role = 2;
  f.firstArg = withBox ? 3 : 2;
  f.argCount = 2;
  p.functions.push_back(f);
  p.code = "READALL x; WRITEALL a; CALLFUNCTION twice; READALL b; WRITEALL y; ";
  p.code += withBox ? "PUSHTRUE; MESSAGEBOX \"Again?\" \"Yes\"; WRITEALL answer; ENDCYCLE" : "ENDCYCLE";
  return p;
}

// A 1 x 70000 matrix in and out: neither the count nor a dimension fits 16 bits.
zt::Program wideProgram() {
  zt::Program p;
  p.timeout = 100000;
  p.valueStack = 1 << 18;
  p.channel("w", 1, 0, 70000).dims = std::vector<uint32_t>{1, 70000};
  p.channel("v", 1, 1, 70000).dims = std::vector<uint32_t>{1, 70000};
  p.code = "READALL w; WRITEALL v; ENDCYCLE";
  return p;
}

bool write(const std::string &path, const zt::Program &p) {
  zt::Image image = p.build();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write((const char *)image.bytes.data(), (std::streamsize)image.bytes.size());
  return (bool)out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_hil_images FOLDER\n");
    return 2;
  }
  std::string dir = argv[1];
  zt::Program sut = matrixProgram();
  sut.flags = 1;
  bool ok = write(dir + "/matrix.zvm", matrixProgram()) && write(dir + "/matrix_sut.zvm", sut) &&
            write(dir + "/ending.zvm", endingProgram()) && write(dir + "/dividing.zvm", dividingProgram()) &&
            write(dir + "/cube.zvm", cubeProgram()) && write(dir + "/client.zvm", clientProgram(false)) &&
            write(dir + "/wide.zvm", wideProgram()) && write(dir + "/reentry.zvm", clientProgram(true)) &&
            write(dir + "/unknown_role.zvm", unknownRoleProgram());
  if (!ok) std::fprintf(stderr, "make_hil_images: cannot write into %s\n", dir.c_str());
  return ok ? 0 : 1;
}
