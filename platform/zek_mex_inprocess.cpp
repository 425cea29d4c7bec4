// The in-process MEX host of the tests. Arrays keep their class, extents and raw element bytes;
// character arrays keep their text as bytes.
#include "zek_mex_inprocess.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

struct mxArray_tag {
  ZekMxClass classId;
  std::vector<size_t> dims;
  std::vector<uint8_t> data;
};

namespace {

struct Host {
  std::map<std::string, std::pair<zmx::Function, void *>> functions;
  std::vector<zmx::Call> calls;
  std::string console;
  std::set<const mxArray *> arrays;
  std::set<void *> blocks;
  bool trap = false;
};

Host &host() {
  static Host h;
  return h;
}

size_t elementSize(ZekMxClass c) {
  switch (c) {
    case ZEK_MX_LOGICAL_CLASS:
    case ZEK_MX_INT8_CLASS:
    case ZEK_MX_UINT8_CLASS: return 1;
    case ZEK_MX_CHAR_CLASS:
    case ZEK_MX_INT16_CLASS:
    case ZEK_MX_UINT16_CLASS: return 2;
    case ZEK_MX_SINGLE_CLASS:
    case ZEK_MX_INT32_CLASS:
    case ZEK_MX_UINT32_CLASS: return 4;
    case ZEK_MX_DOUBLE_CLASS:
    case ZEK_MX_INT64_CLASS:
    case ZEK_MX_UINT64_CLASS: return 8;
    default: return 0;
  }
}

mxArray *make(ZekMxClass classId, std::vector<size_t> dims) {
  mxArray *a = new mxArray_tag{classId, std::move(dims), {}};
  size_t n = 1;
  for (size_t d : a->dims) n *= d;
  // Character arrays hold one byte per character here.
  a->data.assign(n * (classId == ZEK_MX_CHAR_CLASS ? 1 : elementSize(classId)), 0);
  host().arrays.insert(a);
  return a;
}

mxArray *fromIntDims(ZekMxClass classId, int ndim, const int *dims) {
  std::vector<size_t> d;
  for (int i = 0; i < ndim; ++i) d.push_back(dims[i] < 0 ? 0 : (size_t)dims[i]);
  if (d.size() < 2) d.resize(2, 1);
  return make(classId, d);
}

}  // namespace

namespace zmx {

void reset() {
  Host &h = host();
  h.functions.clear();
  h.calls.clear();
  h.console.clear();
  h.arrays.clear();
  h.blocks.clear();
  h.trap = false;
}

void define(const char *name, Function function, void *context) { host().functions[name] = {function, context}; }
const std::string &console() { return host().console; }
std::string takeConsole() {
  std::string text;
  text.swap(host().console);
  return text;
}
const std::vector<Call> &calls() { return host().calls; }
int liveArrays() { return (int)host().arrays.size(); }
int liveBlocks() { return (int)host().blocks.size(); }

mxArray *numeric(ZekMxClass classId, std::vector<size_t> dims, const void *data) {
  mxArray *a = make(classId, std::move(dims));
  if (data != nullptr && !a->data.empty()) std::memcpy(a->data.data(), data, a->data.size());
  return a;
}

std::vector<size_t> dims(const mxArray *array) { return array->dims; }

}  // namespace zmx

extern "C" {

int mexPrintf(const char *format, ...) {
  char buffer[8192];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  host().console += buffer;
  return n;
}

int mexCallMATLAB(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], const char *name) {
  Host &h = host();
  zmx::Call call{name, nlhs, nrhs, h.trap, {}, {}, {}};
  for (int i = 0; i < nrhs; ++i) {
    call.rhsClasses.push_back(prhs[i] != nullptr ? prhs[i]->classId : -1);
    call.rhsDims.push_back(prhs[i] != nullptr ? prhs[i]->dims : std::vector<size_t>{});
    call.rhsData.push_back(prhs[i] != nullptr ? prhs[i]->data : std::vector<uint8_t>{});
  }
  h.calls.push_back(call);
  auto f = h.functions.find(name);
  for (int i = 0; i < nlhs; ++i) plhs[i] = nullptr;
  int result = f == h.functions.end() ? 1 : f->second.first(nlhs, plhs, nrhs, prhs, f->second.second);
  if (result != 0) {
    // A failing MATLAB function leaves no results behind.
    for (int i = 0; i < nlhs; ++i)
      if (plhs[i] != nullptr) {
        mxDestroyArray(plhs[i]);
        plhs[i] = nullptr;
      }
    if (!h.trap) {
      // Without the trap flag MATLAB would leave the MEX function here; a library that
      // relies on that is wrong, so the test host says so loudly.
      std::fprintf(stderr, "mexCallMATLAB: '%s' failed without the trap flag set\n", name);
      std::abort();
    }
    return 1;
  }
  return 0;
}

void mexSetTrapFlag(int flag) { host().trap = flag != 0; }

void *mxMalloc(size_t size) {
  void *p = std::calloc(1, size == 0 ? 1 : size);
  if (p != nullptr) host().blocks.insert(p);
  return p;
}

void mxFree(void *p) {
  if (p == nullptr) return;
  if (host().blocks.erase(p) == 0) {
    std::fprintf(stderr, "mxFree: %p was not allocated by mxMalloc\n", p);
    std::abort();
  }
  std::free(p);
}

mxArray *mxCreateString(const char *text) {
  size_t n = text != nullptr ? std::strlen(text) : 0;
  mxArray *a = make(ZEK_MX_CHAR_CLASS, {1, n});
  if (n > 0) std::memcpy(a->data.data(), text, n);
  return a;
}

char *mxArrayToString(const mxArray *array) {
  if (array == nullptr || array->classId != ZEK_MX_CHAR_CLASS) return nullptr;
  char *s = (char *)mxMalloc(array->data.size() + 1);
  if (s != nullptr && !array->data.empty()) std::memcpy(s, array->data.data(), array->data.size());
  return s;
}

mxArray *mxCreateNumericArray_700(int ndim, const int *dims, ZekMxClass classId, ZekMxComplexity) {
  return fromIntDims(classId, ndim, dims);
}

mxArray *mxCreateLogicalArray_700(int ndim, const int *dims) { return fromIntDims(ZEK_MX_LOGICAL_CLASS, ndim, dims); }

void *mxGetData(const mxArray *array) {
  return array->data.empty() ? nullptr : const_cast<uint8_t *>(array->data.data());
}

void mxDestroyArray(mxArray *array) {
  if (array == nullptr) return;
  if (host().arrays.erase(array) == 0) {
    std::fprintf(stderr, "mxDestroyArray: %p is not a live array\n", (void *)array);
    std::abort();
  }
  delete array;
}

ZekMxClass mxGetClassID(const mxArray *array) { return array->classId; }

size_t mxGetNumberOfElements(const mxArray *array) {
  size_t n = 1;
  for (size_t d : array->dims) n *= d;
  return n;
}

size_t mxGetElementSize(const mxArray *array) { return elementSize(array->classId); }

}  // extern "C"
