// The MEX stand-in: plain C functions of default visibility, so that the library under test
// binds its undefined MEX symbols to them.
#include "mex_standin.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#define MEX_STANDIN extern "C" __attribute__((visibility("default")))

namespace {

std::string g_console;
std::map<std::string, mex::Function> g_functions;
int g_arrays = 0;
int g_blocks = 0;

size_t elementSize(int32_t classId) {
  switch (classId) {
    case 8: case 9: return 1;
    case 10: case 11: return 2;
    case 7: case 12: case 13: return 4;
    default: return 8;
  }
}

mxArray *newArray(int ndim, const int *dims, int32_t classId, bool logical) {
  mxArray *a = new mxArray;
  ++g_arrays;
  a->classId = classId;
  a->logical = logical;
  size_t n = 1;
  for (int i = 0; i < ndim; ++i) {
    a->dims.push_back(dims[i]);
    n *= (size_t)dims[i];
  }
  a->data.assign(n * (logical ? 1 : elementSize(classId)), 0);
  return a;
}

}  // namespace

namespace mex {

std::string takeConsole() {
  std::string s;
  s.swap(g_console);
  return s;
}
void define(const std::string &name, Function f) { g_functions[name] = std::move(f); }
void clearFunctions() { g_functions.clear(); }
int liveArrays() { return g_arrays; }
int liveBlocks() { return g_blocks; }
mxArray *doubles(const std::vector<double> &values) {
  int dims[2] = {1, (int)values.size()};
  mxArray *a = newArray(2, dims, 6, false);
  std::memcpy(a->data.data(), values.data(), values.size() * sizeof(double));
  return a;
}

}  // namespace mex

MEX_STANDIN int mexPrintf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  char buffer[8192];
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  g_console += buffer;
  return n;
}

MEX_STANDIN int mexCallMATLAB(int nlhs, mxArray **plhs, int nrhs, mxArray **prhs, const char *name) {
  auto f = g_functions.find(name);
  if (f == g_functions.end()) return 1;
  return f->second(nlhs, plhs, nrhs, prhs);
}

MEX_STANDIN mxArray *mxCreateString(const char *text) {
  int dims[2] = {1, (int)std::strlen(text)};
  mxArray *a = newArray(2, dims, 4, false);
  a->text = true;
  a->chars = text;
  return a;
}

MEX_STANDIN char *mxArrayToString(const mxArray *array) {
  if (!array->text) return nullptr;
  char *s = (char *)std::malloc(array->chars.size() + 1);
  ++g_blocks;
  std::memcpy(s, array->chars.c_str(), array->chars.size() + 1);
  return s;
}

MEX_STANDIN mxArray *mxCreateNumericArray_700(int ndim, const int *dims, int32_t classId, int32_t) {
  return newArray(ndim, dims, classId, false);
}

MEX_STANDIN mxArray *mxCreateLogicalArray_700(int ndim, const int *dims) { return newArray(ndim, dims, 3, true); }

MEX_STANDIN void *mxGetData(const mxArray *array) { return const_cast<uint8_t *>(array->data.data()); }

MEX_STANDIN size_t mxGetNumberOfElements(const mxArray *array) {
  size_t n = 1;
  for (int d : array->dims) n *= (size_t)d;
  return n;
}

MEX_STANDIN size_t mxGetElementSize(const mxArray *array) {
  return array->logical ? 1 : array->text ? 1 : elementSize(array->classId);
}

MEX_STANDIN void mxDestroyArray(mxArray *array) {
  --g_arrays;
  delete array;
}

MEX_STANDIN void *mxMalloc(size_t size) {
  ++g_blocks;
  return std::malloc(size > 0 ? size : 1);
}

MEX_STANDIN void mxFree(void *p) {
  if (p == nullptr) return;
  --g_blocks;
  std::free(p);
}
