#pragma once
// The client functions of a loaded program carried out as MATLAB functions, and the MATLAB
// arrays of channel values they take and give. Both S-function libraries compile it.
#include <cstdint>

#include "zek_host.h"
#include "zek_mex.h"

// Calls a MATLAB function with the trap flag set, so that a failing function comes back here
// as a non-zero result instead of unwinding through the virtual machine.
int zek_callMatlab(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], const char *name);

// The class id of MATLAB arrays of a base type (double for double and bool, which becomes a
// logical array instead).
uint32_t getMatlabTypeForZekType(uint32_t baseType);
// The channel's current value as a new MATLAB array, or null after raising why not: a text for
// a text channel, else an array of the channel's fixed dimensions (1 without them) holding its
// bytes in the VM's element order, which MATLAB reads column-major.
mxArray *createParameterValue(const ChannelDecl *channel);
// Makes every client function of the loaded program a call of the MATLAB function of its name.
void zek_initializeClientFunctions(void);
void zek_MatlabClientFunction(FunctionDecl *function);
