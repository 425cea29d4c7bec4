// A MEX gateway playing the S-function wrapper inside GNU Octave: it builds the block's port
// and function records, hands them to zek_sfun_lib64 and drives the block by command:
//   zek_sfun_gateway('init', program, record, step)      -> go on
//   [y, goOn] = zek_sfun_gateway('step', x)               update, cycle, write
//   [ok, out] = zek_sfun_gateway('call', index, in)       a Simulink function
//   type = zek_sfun_gateway('enum', name)                 getEnumBaseTypeByName
//   zek_sfun_gateway('terminate')
//   zek_sfun_gateway('reinit')                           terminate, then init again -> go on
//   texts = zek_sfun_gateway('reports')                   every reported error, in order
// Built with mkoctfile --mex; uses Octave's own mex.h.
#include <cstring>
#include <string>
#include <vector>

#include "mex.h"
#include "zek_sfun.h"

// The library creates arrays through the 32-bit dimension form of the interface; Octave
// offers the native one with its 64-bit mwSize. These two are the whole shim.
extern "C" __attribute__((visibility("default"))) mxArray *mxCreateNumericArray_700(int ndim, const int *dims,
                                                                                    mxClassID classId,
                                                                                    mxComplexity complexity) {
  std::vector<mwSize> wide(dims, dims + ndim);
  return mxCreateNumericArray((mwSize)ndim, wide.data(), classId, complexity);
}

extern "C" __attribute__((visibility("default"))) mxArray *mxCreateLogicalArray_700(int ndim, const int *dims) {
  std::vector<mwSize> wide(dims, dims + ndim);
  return mxCreateLogicalArray((mwSize)ndim, wide.data());
}

namespace {

std::string g_program, g_record;
std::vector<std::string> g_reports;
int g_block;

double g_x, g_y, g_fnIn, g_fnOut;
uint32_t g_sizes[1] = {8}, g_ids[1] = {0};
zek_port_signal g_xSignal{"x", 0, 1, g_ids, g_sizes, 0, nullptr, 9, 0, 0, 0, nullptr};
zek_port_signal g_ySignal{"y", 0, 1, g_ids, g_sizes, 0, nullptr, 9, 0, 0, 0, nullptr};
zek_port_signal g_inSignal{"sf_in", 0, 1, g_ids, g_sizes, 0, nullptr, 9, 0, 0, 0, nullptr};
zek_port_signal g_outSignal{"sf_out", 0, 1, g_ids, g_sizes, 0, nullptr, 9, 0, 0, 0, nullptr};
zek_port_data g_input{&g_x, 1, &g_xSignal, 0, 0, 1};
zek_port_data g_output{&g_y, 1, &g_ySignal, 0, 0, 1};
zek_port_data g_fnInput{&g_fnIn, 1, &g_inSignal, 0, 0, 1};
zek_port_data g_fnOutput{&g_fnOut, 1, &g_outSignal, 0, 0, 1};
PortInterface g_io{1, &g_input, 1, &g_output};
SlFunctionEntry g_twice{"twice", 0, 1, &g_fnInput, 1, &g_fnOutput};
FunctionInterface g_functions{1, &g_twice};

void onReport(SfunHandle, const char *text) { g_reports.push_back(text); }

std::string text(const mxArray *a) {
  char *s = mxArrayToString(a);
  std::string t = s != nullptr ? s : "";
  mxFree(s);
  return t;
}

}  // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  if (nrhs < 1) mexErrMsgTxt("zek_sfun_gateway: no command");
  std::string command = text(prhs[0]);
  if (command == "init" && nrhs == 4) {
    g_program = text(prhs[1]);
    g_record = text(prhs[2]);
    zek_sfun_setup(mxGetScalar(prhs[3]), onReport, g_program.c_str(), g_record.c_str(), &g_io, nullptr, nullptr);
    zek_sfun_setup_fcn_io(&g_functions, nullptr, nullptr);
    plhs[0] = mxCreateDoubleScalar(zek_sfun_init(&g_block, 0));
  } else if (command == "step" && nrhs == 2) {
    g_x = mxGetScalar(prhs[1]);
    int goOn = zek_sfun_update(&g_block) & zek_sfun_cycle(&g_block) & zek_sfun_write(&g_block);
    plhs[0] = mxCreateDoubleScalar(g_y);
    if (nlhs > 1) plhs[1] = mxCreateDoubleScalar(goOn);
  } else if (command == "call" && nrhs == 3) {
    g_fnIn = mxGetScalar(prhs[2]);
    plhs[0] = mxCreateDoubleScalar(zekCallServerFunction(&g_block, (uint32_t)mxGetScalar(prhs[1])));
    if (nlhs > 1) plhs[1] = mxCreateDoubleScalar(g_fnOut);
  } else if (command == "enum" && nrhs == 2) {
    std::string name = text(prhs[1]);
    plhs[0] = mxCreateDoubleScalar(getEnumBaseTypeByName(name.c_str()));
  } else if (command == "terminate") {
    zek_sfun_terminate();
  } else if (command == "reinit") {
    zek_sfun_terminate();
    plhs[0] = mxCreateDoubleScalar(zek_sfun_init(&g_block, 0));
  } else if (command == "reports") {
    plhs[0] = mxCreateCellMatrix(1, (mwSize)g_reports.size());
    for (size_t i = 0; i < g_reports.size(); ++i) mxSetCell(plhs[0], (mwIndex)i, mxCreateString(g_reports[i].c_str()));
  } else {
    mexErrMsgTxt("zek_sfun_gateway: unknown command");
  }
}
