// Console output through MATLAB, the program file helpers and the MATLAB client functions.
#include "matlab_services.h"

#include <cstdarg>
#include <cstring>

#include "zek_common.h"

namespace {

constexpr uint32_t kPrintBufferSize = 2048;

bool isArgument(const ChannelDecl *c, uint32_t role) { return c->role == role; }

// Copies a MATLAB text result into a text channel; false (error raised) when it does not fit.
bool takeText(const FunctionDecl *f, ChannelDecl *c, const mxArray *array) {
  char *text = array != nullptr ? mxArrayToString(array) : nullptr;
  if (text == nullptr) {
    zek_raiseError(ZEK_ERR_MATLAB, "Client function '%s' returned no text for '%s'.", f->name, c->name);
    return false;
  }
  size_t n = std::strlen(text);
  bool fits = n <= c->elementCount;
  if (!fits) {
    zek_raiseError(ZEK_ERR_CLIENT_STRING, "Client function returned a string, that is to long for the ZEK channel.");
  } else {
    std::memcpy(c->value, text, n);
    if (n < c->elementCount) c->value[n] = 0;
  }
  mxFree(text);
  return fits;
}

// Copies a MATLAB result into a channel; a result of fewer bytes than the channel is refused
// rather than read past its end.
bool takeValue(const FunctionDecl *f, ChannelDecl *c, const mxArray *array) {
  uint64_t wanted = (uint64_t)c->elementSize * c->elementCount;
  const void *data = array != nullptr ? mxGetData(array) : nullptr;
  uint64_t have = array != nullptr ? (uint64_t)mxGetNumberOfElements(array) * mxGetElementSize(array) : 0;
  if (wanted > 0 && (data == nullptr || have < wanted)) {
    zek_raiseError(ZEK_ERR_MATLAB, "Client function '%s' returned %llu bytes for '%s', which holds %llu.", f->name,
                   (unsigned long long)have, c->name, (unsigned long long)wanted);
    return false;
  }
  if (wanted > 0) std::memcpy(c->value, data, (size_t)wanted);
  return true;
}

}  // namespace

void zek_printf(const char *format, ...) {
  char buffer[kPrintBufferSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) buffer[0] = 0;
  mexPrintf("%s", buffer);
}

FILE *zek_fopen_utf8(const char *path, const char *mode) {
  return path != nullptr ? std::fopen(path, mode) : nullptr;
}

int64_t zek_getFileSize(FILE *stream) {
  if (fseeko(stream, 0, SEEK_END) != 0) return -1;
  int64_t size = (int64_t)ftello(stream);
  if (fseeko(stream, 0, SEEK_SET) != 0) return -1;
  return size;
}

bool zek_readFully(FILE *stream, uint8_t *buffer, uint64_t size) {
  uint64_t done = 0;
  while (done < size) {
    size_t n = std::fread(buffer + done, 1, (size_t)(size - done), stream);
    if (n == 0) return false;
    done += n;
  }
  return true;
}

uint32_t getMatlabTypeForZekType(uint32_t baseType) {
  switch (baseType) {
    case ZEK_UINT8: return MEX_CLASS_UINT8;
    case ZEK_INT8: return MEX_CLASS_INT8;
    case ZEK_UINT16: return MEX_CLASS_UINT16;
    case ZEK_INT16: return MEX_CLASS_INT16;
    case ZEK_UINT32: return MEX_CLASS_UINT32;
    case ZEK_INT32: return MEX_CLASS_INT32;
    case ZEK_INT64: return MEX_CLASS_INT64;
    case ZEK_FLOAT: return MEX_CLASS_SINGLE;
    default: return MEX_CLASS_DOUBLE;
  }
}

mxArray *createParameterValue(const ChannelDecl *channel) {
  if (channel->isText) {
    // The text ends at its first zero byte or after the channel's elements.
    uint32_t n = zek_nstrlen((const char *)channel->value, channel->elementCount);
    char *text = (char *)mxMalloc((size_t)n + 1);
    if (text == nullptr) return nullptr;
    std::memcpy(text, channel->value, n);
    text[n] = 0;
    mxArray *array = mxCreateString(text);
    mxFree(text);
    return array;
  }
  int count = channel->dimCount > 0 && channel->dims != nullptr ? channel->dimCount : 1;
  int *dims = (int *)mxMalloc(sizeof(int) * (size_t)count);
  if (dims == nullptr) return nullptr;
  if (channel->dimCount > 0 && channel->dims != nullptr) {
    for (int i = 0; i < count; ++i) dims[i] = (int)channel->dims[i];
  } else {
    dims[0] = 1;
  }
  mxArray *array = channel->baseType == ZEK_BOOL
                       ? mxCreateLogicalArray_700(count, dims)
                       : mxCreateNumericArray_700(count, dims, (int32_t)getMatlabTypeForZekType(channel->baseType),
                                                  MEX_REAL);
  mxFree(dims);
  if (array == nullptr) return nullptr;
  uint64_t bytes = (uint64_t)channel->elementSize * channel->elementCount;
  void *data = mxGetData(array);
  uint64_t room = (uint64_t)mxGetNumberOfElements(array) * mxGetElementSize(array);
  if (bytes > 0 && data != nullptr) std::memcpy(data, channel->value, (size_t)(bytes <= room ? bytes : room));
  return array;
}

void zek_initializeClientFunctions(VmData *data) {
  for (uint16_t i = 0; i < data->functionCount; ++i)
    if (data->functions[i].role == ZEK_FUNC_CLIENT) data->functions[i].handler = zek_MatlabClientFunction;
}

void zek_MatlabClientFunction(FunctionDecl *f) {
  int nOut = 0, nIn = 0;
  for (uint16_t i = 0; i < f->argCount; ++i) {
    nOut += isArgument(&f->firstArg[i], ZEK_ROLE_FUNC_OUTPUT);
    nIn += isArgument(&f->firstArg[i], ZEK_ROLE_FUNC_INPUT);
  }
  mxArray **lhs = nOut > 0 ? (mxArray **)mxMalloc(sizeof(mxArray *) * (size_t)nOut) : nullptr;
  mxArray **rhs = nIn > 0 ? (mxArray **)mxMalloc(sizeof(mxArray *) * (size_t)nIn) : nullptr;
  bool ok = (nOut == 0 || lhs != nullptr) && (nIn == 0 || rhs != nullptr);
  for (int k = 0; lhs != nullptr && k < nOut; ++k) lhs[k] = nullptr;
  for (int k = 0; rhs != nullptr && k < nIn; ++k) rhs[k] = nullptr;
  for (uint16_t i = 0, k = 0; ok && i < f->argCount; ++i) {
    if (!isArgument(&f->firstArg[i], ZEK_ROLE_FUNC_INPUT)) continue;
    rhs[k] = createParameterValue(&f->firstArg[i]);
    ok = rhs[k++] != nullptr;
  }
  if (!ok || mexCallMATLAB(nOut, lhs, nIn, rhs, f->name) != 0) {
    zek_raiseError(ZEK_ERR_MATLAB, "Error in matlab client function");
    ok = false;
  }
  for (uint16_t i = 0, k = 0; ok && i < f->argCount; ++i) {
    ChannelDecl *c = &f->firstArg[i];
    if (!isArgument(c, ZEK_ROLE_FUNC_OUTPUT)) continue;
    const mxArray *array = lhs[k++];
    ok = c->isText ? takeText(f, c, array) : takeValue(f, c, array);
  }
  // Every array is released, also those behind a failure.
  for (int k = 0; lhs != nullptr && k < nOut; ++k)
    if (lhs[k] != nullptr) mxDestroyArray(lhs[k]);
  for (int k = 0; rhs != nullptr && k < nIn; ++k)
    if (rhs[k] != nullptr) mxDestroyArray(rhs[k]);
  if (lhs != nullptr) mxFree(lhs);
  if (rhs != nullptr) mxFree(rhs);
}
