#pragma once
// An in-process stand-in for MATLAB's MEX and matrix functions, linked into the test program
// and found by the library under test at load time: a console that the tests read, and MATLAB
// functions scripted by name.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct mxArray {
  int32_t classId = 6;
  bool logical = false;
  bool text = false;
  std::vector<int> dims;
  std::vector<uint8_t> data;
  std::string chars;
};

namespace mex {

using Function = std::function<int(int nlhs, mxArray **plhs, int nrhs, mxArray **prhs)>;

// What mexPrintf printed since the last take.
std::string takeConsole();
void define(const std::string &name, Function f);
void clearFunctions();
// Arrays and mxMalloc blocks not yet released.
int liveArrays();
int liveBlocks();
// A new double array of the given values (one row).
mxArray *doubles(const std::vector<double> &values);

}  // namespace mex
