#pragma once
// Test helpers of the stateful instructions (generators, ramps, recorded signals).
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "vm_harness.h"

namespace zt {

// A double as assembler text that reads back to the same double.
inline std::string num(double d) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", d);
  return text;
}

// One load, several executions: the state of the stateful instructions lives on between them as
// between cycles. The code at the code base only ends the cycle, so zek_runCycle advances the
// cycle count and the clock; each named section ends the cycle too and run() executes one of
// them in the cycle that ran last.
struct Sections {
  Program program;
  Loaded loaded;
  std::map<std::string, uint32_t> labels;

  Sections(Program p, const std::vector<std::pair<std::string, std::string>> &sections) : program(std::move(p)) {
    program.code = "ENDCYCLE; ";
    for (auto &s : sections) program.code += s.first + ": " + s.second + "; ENDCYCLE; ";
    loaded = load(program);
    EXPECT_EQ(loaded.result, 0u) << errorText();
    assemble(program, program.code, &labels);
  }
  // Executes a section and returns the error code; its results stay on the stack.
  uint16_t run(const std::string &name) {
    executeFrom(labels.at(name));
    return zek_getErrorCode();
  }
};

}  // namespace zt
