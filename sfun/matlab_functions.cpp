// The client functions of a program run as MATLAB functions, and the MATLAB arrays that carry
// their values.
//
// Values cross as raw memory in the VM's element order; MATLAB reads a multi-dimensional
// argument in its own column-major way, and users' MATLAB functions rely on exactly that.
#include "matlab_functions.h"

#include <cstring>

namespace {

void destroy(mxArray *a) {
  if (a != nullptr) mxDestroyArray(a);
}

uint32_t expectedClass(const ChannelDecl &c) {
  return c.baseType == ZEK_BOOL ? (uint32_t)ZEK_MX_LOGICAL_CLASS : getMatlabTypeForZekType(c.baseType);
}

mxArray *createText(const ChannelDecl &c) {
  // The text ends at its first zero byte or after the channel's elements.
  uint32_t length = zek_nstrlen((const char *)c.value, c.elementCount);
  char *text = (char *)mxMalloc((size_t)length + 1);
  if (text == nullptr) {
    zek_raiseError(ZEK_ERR_MATLAB, "Not enough MATLAB memory for the argument '%s'.", c.name);
    return nullptr;
  }
  std::memcpy(text, c.value, length);
  text[length] = '\0';
  mxArray *a = mxCreateString(text);
  mxFree(text);
  if (a == nullptr) zek_raiseError(ZEK_ERR_MATLAB, "MATLAB could not create the argument '%s'.", c.name);
  return a;
}

// Copies one MATLAB result into its output channel; false after raising why not. A result
// must be present, of the channel's class and of its element count; a text must fit.
bool takeResult(ChannelDecl &c, const mxArray *a) {
  if (a == nullptr) {
    zek_raiseError(ZEK_ERR_MATLAB, "MATLAB returned no value for the output argument '%s'.", c.name);
    return false;
  }
  uint32_t classId = (uint32_t)mxGetClassID(a);
  if (c.isText) {
    if (classId != ZEK_MX_CHAR_CLASS) {
      zek_raiseError(ZEK_ERR_MATLAB, "MATLAB returned a value of class %u, not a text, for the string argument '%s'.",
                     (unsigned)classId, c.name);
      return false;
    }
    char *s = mxArrayToString(a);
    if (s == nullptr) {
      zek_raiseError(ZEK_ERR_MATLAB, "MATLAB returned no text for the string argument '%s'.", c.name);
      return false;
    }
    size_t length = std::strlen(s);
    bool fits = length <= c.elementCount;
    if (fits) {
      std::memcpy(c.value, s, length);
      if (length < c.elementCount) c.value[length] = 0;
    }
    mxFree(s);
    if (!fits) zek_raiseError(ZEK_ERR_CLIENT_STRING, "Client function returned a string, that is to long for the ZEK channel.");
    return fits;
  }
  uint32_t expected = expectedClass(c);
  if (classId != expected) {
    zek_raiseError(ZEK_ERR_MATLAB, "MATLAB returned a value of class %u for the output argument '%s' of type %s (class %u).",
                   (unsigned)classId, c.name, zek_getBaseTypeName(c.baseType), (unsigned)expected);
    return false;
  }
  size_t n = mxGetNumberOfElements(a);
  if (n != c.elementCount) {
    zek_raiseError(ZEK_ERR_MATLAB, "MATLAB returned %llu elements for the output argument '%s' of %u elements.",
                   (unsigned long long)n, c.name, (unsigned)c.elementCount);
    return false;
  }
  size_t bytes = (size_t)c.elementSize * c.elementCount;
  const void *data = mxGetData(a);
  if (bytes > 0 && (data == nullptr || mxGetElementSize(a) != c.elementSize)) {
    zek_raiseError(ZEK_ERR_MATLAB, "MATLAB returned no data for the output argument '%s'.", c.name);
    return false;
  }
  if (bytes > 0) std::memcpy(c.value, data, bytes);
  return true;
}

}  // namespace

// ---- MATLAB arrays and client functions ----

int zek_callMatlab(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], const char *name) {
  mexSetTrapFlag(1);
  return mexCallMATLAB(nlhs, plhs, nrhs, prhs, name);
}

uint32_t getMatlabTypeForZekType(uint32_t baseType) {
  switch (baseType) {
    case ZEK_UINT8: return ZEK_MX_UINT8_CLASS;
    case ZEK_INT8: return ZEK_MX_INT8_CLASS;
    case ZEK_UINT16: return ZEK_MX_UINT16_CLASS;
    case ZEK_INT16: return ZEK_MX_INT16_CLASS;
    case ZEK_UINT32: return ZEK_MX_UINT32_CLASS;
    case ZEK_INT32: return ZEK_MX_INT32_CLASS;
    case ZEK_INT64: return ZEK_MX_INT64_CLASS;
    case ZEK_FLOAT: return ZEK_MX_SINGLE_CLASS;
    default: return ZEK_MX_DOUBLE_CLASS;
  }
}

// The extents are the channel's fixed dimensions, which never hold a structural mark.
mxArray *createParameterValue(const ChannelDecl *channel) {
  const ChannelDecl &c = *channel;
  if (c.isText) return createText(c);
  uint8_t count = c.fixedDimCount;
  const uint32_t *fixed = c.fixedDims;
  static const uint32_t one[1] = {1};
  if (count == 0 || fixed == nullptr) {
    count = 1;
    fixed = one;
  }
  uint64_t product = 1;
  for (uint8_t k = 0; k < count; ++k) {
    if (fixed[k] > 0x7FFFFFFFu) product = 0;
    product *= fixed[k];
    if (product > 0xFFFFFFFFu) product = 0;
  }
  if (product != c.elementCount) {
    zek_raiseError(ZEK_ERR_MATLAB, "The dimensions of the argument '%s' do not give its %u elements.", c.name,
                   (unsigned)c.elementCount);
    return nullptr;
  }
  int *dims = (int *)mxMalloc((size_t)count * sizeof(int));
  if (dims == nullptr) {
    zek_raiseError(ZEK_ERR_MATLAB, "Not enough MATLAB memory for the argument '%s'.", c.name);
    return nullptr;
  }
  for (uint8_t k = 0; k < count; ++k) dims[k] = (int)fixed[k];
  mxArray *a = c.baseType == ZEK_BOOL
                   ? mxCreateLogicalArray_700(count, dims)
                   : mxCreateNumericArray_700(count, dims, (ZekMxClass)getMatlabTypeForZekType(c.baseType), ZEK_MX_REAL);
  mxFree(dims);
  if (a == nullptr) {
    zek_raiseError(ZEK_ERR_MATLAB, "MATLAB could not create the argument '%s'.", c.name);
    return nullptr;
  }
  size_t bytes = (size_t)c.elementSize * c.elementCount;
  void *data = mxGetData(a);
  if (bytes > 0 && (data == nullptr || mxGetElementSize(a) != c.elementSize)) {
    mxDestroyArray(a);
    zek_raiseError(ZEK_ERR_MATLAB, "MATLAB could not create the argument '%s'.", c.name);
    return nullptr;
  }
  if (bytes > 0) std::memcpy(data, c.value, bytes);
  return a;
}

void zek_MatlabClientFunction(FunctionDecl *f) {
  uint32_t nIn = 0, nOut = 0;
  for (uint16_t a = 0; a < f->argCount; ++a) {
    nIn += f->firstArg[a].role == ZEK_ROLE_FUNC_INPUT;
    nOut += f->firstArg[a].role == ZEK_ROLE_FUNC_OUTPUT;
  }
  mxArray **lhs = nOut > 0 ? (mxArray **)mxMalloc(nOut * sizeof(mxArray *)) : nullptr;
  mxArray **rhs = nIn > 0 ? (mxArray **)mxMalloc(nIn * sizeof(mxArray *)) : nullptr;
  bool ok = (nOut == 0 || lhs != nullptr) && (nIn == 0 || rhs != nullptr);
  if (!ok) zek_raiseError(ZEK_ERR_MATLAB, "Not enough MATLAB memory for the arguments.");
  // Both arrays start empty, also when the other could not be had: the release below reads them.
  for (uint32_t k = 0; lhs != nullptr && k < nOut; ++k) lhs[k] = nullptr;
  for (uint32_t k = 0; rhs != nullptr && k < nIn; ++k) rhs[k] = nullptr;
  uint32_t created = 0;
  for (uint16_t a = 0; ok && a < f->argCount; ++a) {
    if (f->firstArg[a].role != ZEK_ROLE_FUNC_INPUT) continue;
    rhs[created] = createParameterValue(&f->firstArg[a]);
    ok = rhs[created++] != nullptr;
  }
  if (ok && zek_callMatlab((int)nOut, lhs, (int)nIn, rhs, f->name) != 0) {
    zek_raiseError(ZEK_ERR_MATLAB, "Error in matlab client function");
    ok = false;
  }
  uint32_t out = 0;
  for (uint16_t a = 0; ok && a < f->argCount; ++a) {
    ChannelDecl &c = f->firstArg[a];
    if (c.role == ZEK_ROLE_FUNC_OUTPUT) ok = takeResult(c, lhs[out++]);
  }
  // Every array and block goes back to MATLAB on every path.
  for (uint32_t k = 0; lhs != nullptr && k < nOut; ++k) destroy(lhs[k]);
  for (uint32_t k = 0; rhs != nullptr && k < created; ++k) destroy(rhs[k]);
  if (lhs != nullptr) mxFree(lhs);
  if (rhs != nullptr) mxFree(rhs);
}

void zek_initializeClientFunctions(void) {
  VmData *data = zek_getData();
  for (uint16_t i = 0; data != nullptr && i < data->functionCount; ++i)
    if (data->functions[i].role == ZEK_FUNC_CLIENT) data->functions[i].handler = zek_MatlabClientFunction;
}
