#pragma once
// An in-process MEX host for tests of the S-function libraries: it implements the calls of
// zek_mex.h in the test program, captures the console, runs MATLAB functions that the test
// scripts by name, and counts live arrays and allocations so that a test can prove that no
// path leaks. Single-threaded, like the libraries it serves.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zek_mex.h"

namespace zmx {

// A scripted MATLAB function: fills plhs[0..nlhs-1] (entries start null) and returns 0, or
// returns non-zero to fail as a MATLAB error would.
typedef int (*Function)(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], void *context);

struct Call {
  std::string name;
  int nlhs, nrhs;
  bool trapped;                     // the trap flag was set when the call came
  std::vector<int> rhsClasses;      // per right-hand array its class id
  std::vector<std::vector<size_t>> rhsDims;
  std::vector<std::vector<uint8_t>> rhsData;  // raw element bytes (char arrays: the text)
};

// Forgets functions, calls and console text and zeroes the counters.
void reset();
void define(const char *name, Function function, void *context = nullptr);
// Everything mexPrintf printed since the last reset; takeConsole hands it over and clears it.
const std::string &console();
std::string takeConsole();
const std::vector<Call> &calls();
// Arrays created and not destroyed; mxMalloc blocks not freed.
int liveArrays();
int liveBlocks();

// Helpers for scripted functions (they create arrays through the same calls).
mxArray *numeric(ZekMxClass classId, std::vector<size_t> dims, const void *data);
std::vector<size_t> dims(const mxArray *array);

}  // namespace zmx
