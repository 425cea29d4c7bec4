// Simulink functions run as the program's server functions, and the storage type of a
// Simulink enumeration from MATLAB. The client functions run as MATLAB functions in
// matlab_functions.cpp, which the hardware-in-the-loop library shares.
#include <cstring>

#include "sfun_internal.h"

namespace {

void destroy(mxArray *a) {
  if (a != nullptr) mxDestroyArray(a);
}

}  // namespace

uint32_t getEnumBaseTypeByName(const char *enumTypeName) {
  mxArray *rhs[1] = {mxCreateString(enumTypeName != nullptr ? enumTypeName : "")};
  mxArray *lhs[1] = {nullptr};
  if (rhs[0] == nullptr || zek_callMatlab(1, lhs, 1, rhs, "zekGetEnumBaseType") != 0) {
    zek_raiseError(ZEK_ERR_FATAL, "Error getting enum base type");
    destroy(rhs[0]);
    destroy(lhs[0]);
    return 0;
  }
  char *s = lhs[0] != nullptr && mxGetClassID(lhs[0]) == ZEK_MX_CHAR_CLASS ? mxArrayToString(lhs[0]) : nullptr;
  static const struct {
    const char *name;
    uint32_t type;
  } types[] = {{"double", 9}, {"float", 8},  {"single", 8}, {"int8", 2},     {"int16", 4},  {"int32", 6},
               {"uint8", 1},  {"uint16", 3}, {"uint32", 5}, {"boolean", 10}, {"logical", 10}};
  uint32_t result = 0;
  for (const auto &t : types)
    if (s != nullptr && std::strcmp(s, t.name) == 0) result = t.type;
  if (s != nullptr) mxFree(s);
  destroy(lhs[0]);
  destroy(rhs[0]);
  return result;
}

namespace {

int32_t callServerFunction(SfunHandle block, uint32_t fcnIndex) {
  FunctionInterface *io = g_sfun.zek_server_fcn_io;
  if (io == nullptr) {
    zek_reportError(block, "Internal error: ZEK Server functions interface not initialized.");
    zek_close_outputfile(block, true);
    return 0;
  }
  // The byte code runs from the loaded program, which exists in states 1 and 2 only.
  if (g_sfun.zek_status == ZEK_SFUN_NOT_INITIALISED) {
    zek_reportError(block,
                    "ZEK S-Function has not been initialized. Please, initialize ZEK S-Function before starting it.");
    return 0;
  }
  if (g_sfun.zek_status != ZEK_SFUN_LOADED && g_sfun.zek_status != ZEK_SFUN_RUNNING) return 0;
  VmData *data = g_sfun.zek_Data;
  if (fcnIndex >= io->count || io->entries == nullptr || io->entries[fcnIndex].vmFunctionIndex >= data->functionCount) {
    zek_sfun_reportf(block, "Internal error: Simulink-Function %u does not exist; the block has %u.",
                     (unsigned)fcnIndex, (unsigned)io->count);
    zek_close_outputfile(block, true);
    return 0;
  }
  SlFunctionEntry &e = io->entries[fcnIndex];
  FunctionDecl &f = data->functions[e.vmFunctionIndex];
  zekReadValuesFromSl(block, (int32_t)fcnIndex, e.nInputArgs, e.inputArgs, f.argCount, f.firstArg);
  if (zek_sfun_failed()) {
    zek_close_outputfile(block, true);
    return 0;
  }
  // A standing error of the VM would keep the function from running.
  zek_resetError();
  if (zek_sfun_runServerFunction(&g_sfun.guard, e.vmFunctionIndex) == 1) {
    zek_reportError(block, zek_getErrorMessage());
    zek_close_outputfile(block, true);
    return 0;
  }
  zekWriteValuesToSl(block, (int32_t)fcnIndex, e.nOutputArgs, e.outputArgs, f.argCount, f.firstArg, 0);
  if (zek_sfun_failed()) {
    zek_close_outputfile(block, true);
    return 0;
  }
  return 1;
}

}  // namespace

// A served function runs as a step: its transfers and byte code call the wrapper's callbacks.
int32_t zekCallServerFunction(SfunHandle block, uint32_t fcnIndex) {
  if (!zek_sfun_beginExport(block, "zekCallServerFunction", true)) return 0;
  int32_t result = callServerFunction(block, fcnIndex);
  zek_sfun_endExport();
  return result;
}
