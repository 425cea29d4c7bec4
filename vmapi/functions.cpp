// Bound and served functions: a client function of the program implemented by a SuT function,
// and the program's functions run on the frame's demand. Slots are the functions' positions in
// the program's function table; ids are compared whole.
#include <cstring>

#include "vmapi_internal.h"

namespace {

// The position of the first function of that name, or -1.
int32_t functionNamed(const VmData *d, const char *name) {
  if (d == nullptr || name == nullptr) return -1;
  for (uint16_t i = 0; i < d->functionCount; ++i)
    if (d->functions[i].name != nullptr && std::strcmp(d->functions[i].name, name) == 0) return i;
  return -1;
}

int32_t functionWithId(const VmData *d, uint32_t id) {
  if (d == nullptr) return -1;
  for (uint16_t i = 0; i < d->functionCount; ++i)
    if (d->functions[i].id == id) return i;
  return -1;
}

void callSutFunction(VmapiExecution *e, FunctionDecl *function, FunctionSlot &slot) {
  vmapi_writeOutputBindings(e, slot.head);
  vmapi_writeOutputBindings(e, e->lists.outputHead);
  slot.sutFunction(function->id, function->name);
  // A SuT function reports failure by raising an error; the VM reports it.
  if (zek_errorPending()) return;
  vmapi_readInputBindings(e, slot.head, false);
  vmapi_readInputBindings(e, e->lists.inputHead, false);
}

// The handler of a bound client function, inside the cycle that calls it: the arguments and
// the test outputs go to the SuT, the SuT function runs, its results come back. It is part of
// the cycle however the VM was driven to it.
void boundFunctionCallback(FunctionDecl *function) {
  VmapiExecution *e = (VmapiExecution *)function->hostData;
  if (!vmapi_requireLive(e, "bound function")) return;
  int32_t position = (int32_t)(function - e->data->functions);
  if (position < 0 || position >= e->lists.functionCount) return;
  // Inside the running byte code, whose own refusals hold the program (server functions still
  // nest in it).
  VmapiRunning outer = vmapi_enter(VMAPI_IN_CYCLE, nullptr);
  callSutFunction(e, function, e->lists.functionBindings[position]);
  vmapi_leave(outer);
}

}  // namespace

ZEK_EXPORT bool zek_vmapi_bindFunction(VmapiExecution *e, const char *name, ZekVmapiSutFunction sutFunction) {
  if (e != nullptr && e->parameterExchange) return true;
  if (!vmapi_requireLive(e, "zek_vmapi_bindFunction")) return false;
  int32_t position = functionNamed(e->data, name);
  if (position < 0) {
    zek_raiseError(ZEK_ERR_API, "Signal name %s not found.", name != nullptr ? name : "");
    return false;
  }
  if (sutFunction == nullptr) {
    zek_raiseError(ZEK_ERR_API, "bind function \"%s\" not allowed with a NULL pointer as function.", name);
    return false;
  }
  FunctionDecl &f = e->data->functions[position];
  FunctionSlot &slot = e->lists.functionBindings[position];
  if (!slot.bound) {
    slot.previousHandler = f.handler;
    slot.previousHostData = f.hostData;
    slot.bound = true;
  }
  slot.sutFunction = sutFunction;
  f.handler = boundFunctionCallback;
  f.hostData = (uintptr_t)e;
  return true;
}

ZEK_EXPORT uint32_t zek_vmapi_getFunctionID(VmapiExecution *e, const char *name) {
  if (!vmapi_requireLive(e, "zek_vmapi_getFunctionID")) return 0xFFFFFFFFu;
  int32_t position = e->parameterExchange ? -1 : functionNamed(e->data, name);
  if (position < 0) {
    zek_raiseError(ZEK_ERR_API, "Function \"%s\" is unknown.", name != nullptr ? name : "");
    return 0xFFFFFFFFu;
  }
  return e->data->functions[position].id;
}

int32_t runFunction(VmapiExecution *e, FunctionSlot &slot, int32_t position) {
  bool in = vmapi_readInputBindings(e, slot.head, false);
  in = vmapi_readInputBindings(e, e->lists.inputHead, false) && in;
  if (!in) return 1;
  uint32_t result;
  {
    // The VM's refusals inside running byte code guard the program meanwhile.
    ZekHoldLetGo letGo;
    result = zek_runServerStubFunction((uint16_t)position);
  }
  bool out = vmapi_writeOutputBindings(e, slot.head);
  out = vmapi_writeOutputBindings(e, e->lists.outputHead) && out;
  return result == 0 && out ? 0 : 1;
}

// A served function runs like a cycle (transfers around byte code), so not inside one: its
// transfers would call the frame's getters again from within their own calls.
ZEK_EXPORT int32_t zek_vmapi_runFunctionByID(VmapiExecution *e, uint32_t id) {
  if (!vmapi_mayStart("zek_vmapi_runFunctionByID", VMAPI_REFUSE_RUN)) return 1;
  if (!vmapi_requireLive(e, "zek_vmapi_runFunctionByID")) return 1;
  int32_t position = e->parameterExchange ? -1 : functionWithId(e->data, id);
  if (position < 0) {
    zek_raiseError(ZEK_ERR_API, "Function with ID \"%u\" is unknown.", id);
    return 1;
  }
  // The run is decided by its own errors, not by one that stood before it.
  zek_resetError();
  VmapiRunning outer = vmapi_enter(VMAPI_IN_CYCLE, "zek_vmapi_runFunctionByID");
  int32_t result = runFunction(e, e->lists.functionBindings[position], position);
  vmapi_leave(outer);
  return result;
}

ZEK_EXPORT int32_t zek_vmapi_runFunctionByName(VmapiExecution *e, const char *name) {
  if (!vmapi_mayStart("zek_vmapi_runFunctionByName", VMAPI_REFUSE_RUN)) return 1;
  uint32_t id = zek_vmapi_getFunctionID(e, name);
  if (id == 0xFFFFFFFFu) return 1;
  return zek_vmapi_runFunctionByID(e, id);
}
