// Console output through MATLAB, the program file helpers, and client functions run as MATLAB
// functions: the part of the S-function host that the hardware-in-the-loop library shares.
//
// Values cross as raw memory in the VM's element order; MATLAB reads a multi-dimensional
// argument in its own column-major way, and users' MATLAB functions rely on exactly that.
#include "matlab_helpers.h"

#include <cmath>
#include <cstdarg>
#include <cstring>

#include "exchange.h"
#include "zek_platform.h"

#ifdef ZEK_LCC_BUILD
#include "zek_lcc.h"
#endif

namespace {

constexpr uint32_t kPrintBufferSize = 2048;

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
    zek_raiseError(ZEK_ERR_MATLAB, "MATLAB returned %zu elements for the output argument '%s' of %u elements.", n, c.name,
                   (unsigned)c.elementCount);
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

// ---- Console and files ----

void zek_printf(const char *format, ...) {
  char buffer[kPrintBufferSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) buffer[0] = '\0';
  mexPrintf("%s", buffer);
}

FILE *zek_fopen_utf8(const char *path, const char *mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
#ifdef ZEK_LCC_BUILD
  // The LCC builds open the path as given; their opening takes the mode as a wide text.
  wchar_t wide[8];
  size_t n = 0;
  for (; mode[n] != '\0' && n + 1 < sizeof wide / sizeof wide[0]; ++n) wide[n] = (wchar_t)(unsigned char)mode[n];
  if (mode[n] != '\0') return nullptr;
  wide[n] = L'\0';
  return zek_lcc_fopen(path, wide);
#else
  return plat_fopen(path, mode);
#endif
}

int64_t zek_getFileSize(FILE *stream) {
  // 64-bit positions: a long is 32 bits on Windows.
  if (std::fseek(stream, 0, SEEK_END) != 0) return -1;
  int64_t size = plat_stream_tell(stream);
  if (size < 0 || !plat_stream_seek(stream, 0)) return -1;
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

uint8_t *zek_sfun_readProgramFile(const char *path, uint32_t *size, const char **failure) {
  *size = 0;
  FILE *file = zek_fopen_utf8(path, "rb");
  if (file == nullptr) {
    *failure = "Error opening ZVM file\n";
    return nullptr;
  }
  int64_t length = zek_getFileSize(file);
  if (length < 0 || length > (int64_t)0xFFFFFFFF) {
    std::fclose(file);
    *failure = length < 0 ? "Error reading ZVM file" : "Error reading ZVM file: the file is larger than 4 GiB";
    return nullptr;
  }
  // An empty file gets a block too; the image check refuses it with the VM's own message.
  uint8_t *bytes = (uint8_t *)zek_malloc(length > 0 ? (uint32_t)length : 1u);
  if (bytes == nullptr || !zek_readFully(file, bytes, (uint64_t)length)) {
    // The allocator's exhaustion error is the wrapper's message here, not the VM's.
    if (bytes == nullptr) zek_resetError();
    zek_free(bytes);
    std::fclose(file);
    *failure = "Error reading ZVM file";
    return nullptr;
  }
  std::fclose(file);
  *size = (uint32_t)length;
  return bytes;
}

void zek_sfun_printBanner(const char *programFile, const char *recordFile, uint32_t programLength) {
  zek_printf("ZEK > Init ZEK VM\n");
  zek_printf("ZEK > Program file : %s\n", programFile != nullptr ? programFile : "");
  zek_printf("ZEK > Record file : %s\n", recordFile != nullptr ? recordFile : "");
  zek_printf("ZEK > Build-Date  : %s : %s\n", __DATE__, __TIME__);
  zek_printf("ZEK > ProgLength  : %d\n", (int)programLength);
}

ChannelDecl **zek_get_recorded_channels(const VmData *data, int64_t role, bool ofRole, uint16_t *count) {
  *count = 0;
  ChannelDecl **list = (ChannelDecl **)zek_malloc((uint32_t)sizeof(ChannelDecl *) * (data->channelCount + 1u));
  if (list == nullptr) return nullptr;
  for (uint16_t i = 0; i < data->channelCount; ++i) {
    ChannelDecl *c = &data->channels[i];
    if (!c->recorded) continue;
    if (role >= 0 && ((int64_t)c->role == role) != ofRole) continue;
    list[(*count)++] = c;
  }
  return list;
}

void zek_sfun_endExchange(bool failed) {
  if (zek_sharedmem_isAttached()) zek_sharedmem_aftercycle(failed ? ZEK_CYCLE_ERROR : ZEK_CYCLE_TEST_ENDED);
  zek_sharedmem_shutdown();
}

uint32_t zek_sfun_stepMicroseconds(double stepSize) {
  if (!(stepSize > 0.0)) return 0;  // NaN, inherited (-1) and zero
  double us = std::round(stepSize * 1e6);
  if (!(us >= 1.0) || us > 4294967295.0) return 0;
  return (uint32_t)us;
}

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
