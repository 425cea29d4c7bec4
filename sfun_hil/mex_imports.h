#pragma once
// The functions of MATLAB's MEX and matrix libraries that this library calls. They are not
// linked in: the process that loads the library (MATLAB, or a test program standing in for it)
// supplies them. Only the calls are relied on, never the inside of an array.
#include <cstddef>
#include <cstdint>

// An array of MATLAB's, only ever handled through a pointer.
struct mxArray;

// Class ids of MATLAB's numeric arrays, as mxCreateNumericArray_700 takes them.
enum MexClassId : int32_t {
  MEX_CLASS_DOUBLE = 6,
  MEX_CLASS_SINGLE = 7,
  MEX_CLASS_INT8 = 8,
  MEX_CLASS_UINT8 = 9,
  MEX_CLASS_INT16 = 10,
  MEX_CLASS_UINT16 = 11,
  MEX_CLASS_INT32 = 12,
  MEX_CLASS_UINT32 = 13,
  MEX_CLASS_INT64 = 14,
};
constexpr int32_t MEX_REAL = 0;

extern "C" {
// Prints on the MATLAB console.
int mexPrintf(const char *format, ...);
// Calls the MATLAB function name with nrhs arguments; fills nlhs results. 0 on success.
int mexCallMATLAB(int nlhs, mxArray **plhs, int nrhs, mxArray **prhs, const char *name);

mxArray *mxCreateString(const char *text);
// A new NUL-terminated copy of a text array (free it with mxFree), or null for any other array.
char *mxArrayToString(const mxArray *array);
mxArray *mxCreateNumericArray_700(int ndim, const int *dims, int32_t classId, int32_t complexity);
mxArray *mxCreateLogicalArray_700(int ndim, const int *dims);
void *mxGetData(const mxArray *array);
size_t mxGetNumberOfElements(const mxArray *array);
size_t mxGetElementSize(const mxArray *array);
void mxDestroyArray(mxArray *array);
void *mxMalloc(size_t size);
void mxFree(void *p);
}
