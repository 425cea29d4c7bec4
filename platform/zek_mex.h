#pragma once
// The MATLAB MEX and matrix calls that the S-function libraries make, declared as the library
// uses them. The library defines none of them: a MEX host (MATLAB's libmex and libmx, or
// another host of the MEX interface) supplies them when it loads the library, and the unit
// tests link an in-process stand-in (zek_mex_inprocess.h).
//
// Arrays are opaque. Dimension lists of the two creation calls are 32-bit extents, the form
// of the interface that the S-function libraries are built against.
#include <cstddef>
#include <cstdint>

struct mxArray_tag;
typedef struct mxArray_tag mxArray;

// Class ids of MATLAB arrays as the interface numbers them.
enum ZekMxClass : int {
  ZEK_MX_UNKNOWN_CLASS = 0,
  ZEK_MX_LOGICAL_CLASS = 3,
  ZEK_MX_CHAR_CLASS = 4,
  ZEK_MX_DOUBLE_CLASS = 6,
  ZEK_MX_SINGLE_CLASS = 7,
  ZEK_MX_INT8_CLASS = 8,
  ZEK_MX_UINT8_CLASS = 9,
  ZEK_MX_INT16_CLASS = 10,
  ZEK_MX_UINT16_CLASS = 11,
  ZEK_MX_INT32_CLASS = 12,
  ZEK_MX_UINT32_CLASS = 13,
  ZEK_MX_INT64_CLASS = 14,
  ZEK_MX_UINT64_CLASS = 15,
};

// Complexity argument of the numeric creation call.
enum ZekMxComplexity : int { ZEK_MX_REAL = 0, ZEK_MX_COMPLEX = 1 };

extern "C" {

// Prints a formatted text on the MATLAB console.
int mexPrintf(const char *format, ...);
// Calls the MATLAB function name with nrhs arguments; fills plhs[0..nlhs-1] with new arrays
// that the caller destroys. 0 on success. With the trap flag set a failing function makes the
// call return non-zero instead of ending the MEX function.
int mexCallMATLAB(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], const char *name);
void mexSetTrapFlag(int flag);

void *mxMalloc(size_t size);
void mxFree(void *p);

mxArray *mxCreateString(const char *text);
// A NUL-terminated copy of a character array (free with mxFree), or null for other arrays.
char *mxArrayToString(const mxArray *array);
mxArray *mxCreateNumericArray_700(int ndim, const int *dims, ZekMxClass classId, ZekMxComplexity complexity);
mxArray *mxCreateLogicalArray_700(int ndim, const int *dims);
void *mxGetData(const mxArray *array);
void mxDestroyArray(mxArray *array);

ZekMxClass mxGetClassID(const mxArray *array);
size_t mxGetNumberOfElements(const mxArray *array);
size_t mxGetElementSize(const mxArray *array);

}  // extern "C"
