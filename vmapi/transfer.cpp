// Value transfer between the SuT and the VM: typed loads and stores, scaling with limits and
// rounding, element addressing, the transfers over a list, the cycle operations and the run of
// a whole test case.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "exchange.h"
#include "vmapi_internal.h"

namespace {

bool isIntegerType(uint32_t type) { return (type >= ZEK_UINT8 && type <= ZEK_INT64) || type == ZEK_BOOL; }

// Truncation toward zero into the 32- or 64-bit intermediate: NaN gives 0, values beyond the
// intermediate saturate, as the VM's scalar conversion does.
int32_t toInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return (int32_t)v;
}
int64_t toInt64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return INT64_MAX;
  if (v <= -9223372036854775808.0) return INT64_MIN;
  return (int64_t)v;
}

double roundHalfAway(double p) { return p < 0 ? std::ceil(p - 0.5) : std::floor(p + 0.5); }

// Calls f with a value of the C type of a base type (bool is its byte); false for an unknown id.
template <typename F> bool withType(uint32_t type, F &&f) {
  switch (type) {
    case ZEK_UINT8:
    case ZEK_BOOL: f(uint8_t{}); return true;
    case ZEK_INT8: f(int8_t{}); return true;
    case ZEK_UINT16: f(uint16_t{}); return true;
    case ZEK_INT16: f(int16_t{}); return true;
    case ZEK_UINT32: f(uint32_t{}); return true;
    case ZEK_INT32: f(int32_t{}); return true;
    case ZEK_INT64: f(int64_t{}); return true;
    case ZEK_FLOAT: f(float{}); return true;
    case ZEK_DOUBLE: f(double{}); return true;
  }
  return false;
}

// An f64 as a value of T: integers truncated toward zero through the 32-bit intermediate (the
// 64-bit one for uint32 and int64) and its low bytes taken, so that values inside the
// intermediate wrap (300 gives 44 in a uint8); float rounded to single precision.
template <typename T> T convertTo(double v) {
  if constexpr (std::is_floating_point_v<T>) return (T)v;
  else if constexpr (sizeof(T) < 4 || std::is_same_v<T, int32_t>) return (T)toInt32(v);
  else return (T)toInt64(v);
}

// The scaled transfer of a static binding with the default coefficients, one loop per pair of
// types: SuT raw values of R to VM values of P and back.
template <typename R, typename P> bool scaleInBlock(const SignalBinding *b, bool round) {
  const uint8_t *source = (const uint8_t *)b->target.fixed.base;
  uint8_t *vm = b->channel->value;
  const double f0 = b->f0, f1 = b->f1, f2 = b->f2, f3 = b->f3;
  const bool rounding = round && std::is_integral_v<P>;
  for (uint32_t i = 0; i < b->dim; ++i) {
    double r = (double)zek_load_as<R>(source + (size_t)i * sizeof(R));
    double d = r * f2 + f3;
    if (d == 0.0) {
      zek_raiseError(ZEK_ERR_API, "Division by zero. test input cannot be converted to physical value.");
      return false;
    }
    double p = (r * f0 + f1) / d;
    if (rounding) p = roundHalfAway(p);
    zek_store_as<P>(vm + (size_t)i * sizeof(P), convertTo<P>(p));
  }
  return true;
}

template <typename P, typename R> bool scaleOutBlock(const SignalBinding *b, bool round) {
  const uint8_t *vm = b->channel->value;
  uint8_t *destination = (uint8_t *)b->target.fixed.base;
  const double f0 = b->f0, f1 = b->f1, f2 = b->f2, f3 = b->f3;
  const bool rounding = round && std::is_integral_v<R>;
  for (uint32_t i = 0; i < b->dim; ++i) {
    double v = (double)zek_load_as<P>(vm + (size_t)i * sizeof(P));
    if (b->upperLimitSet && v > b->upperLimit) v = b->upperLimit;
    else if (b->lowerLimitSet && v < b->lowerLimit) v = b->lowerLimit;
    double d = v * f2 - f0;
    if (d == 0.0) {
      zek_raiseError(ZEK_ERR_API, "Division by zero. Signal cannot be converted to fix-point value.");
      return false;
    }
    double raw = (f1 - v * f3) / d;
    if (rounding) raw = roundHalfAway(raw);
    zek_store_as<R>(destination + (size_t)i * sizeof(R), convertTo<R>(raw));
  }
  return true;
}

// The typed loops for a pair of base types; *ok is the loop's result.
bool scaleBlock(const SignalBinding *b, bool round, bool in, bool *ok) {
  return withType(b->bindType, [&](auto raw) {
    withType(b->physicalType, [&](auto physical) {
      using R = decltype(raw);
      using P = decltype(physical);
      *ok = in ? scaleInBlock<R, P>(b, round) : scaleOutBlock<P, R>(b, round);
    });
  });
}

uint8_t *elementAt(const ChannelDecl *c, uint32_t type, uint32_t i) {
  return c->value + (uint64_t)i * zek_baseTypeSizeOf(type);
}

// The SuT address of element i (modes 0-2); null skips the element.
void *elementAddress(const SignalBinding *b, uint32_t i) {
  switch (b->mode) {
    case ZEK_VMAPI_BIND_STATIC: {
      uintptr_t base = (uintptr_t)b->target.fixed.base;
      if (!b->indexCoeffsSet) return (void *)(base + (uint64_t)i * b->target.fixed.groupStride);
      if (i == 0) return (void *)base;
      uint32_t g = b->target.fixed.groupSize;
      uint32_t offset = (i / g) * b->target.fixed.groupStride + (i % g) * b->target.fixed.elementStride;
      return (void *)(base + offset);
    }
    case ZEK_VMAPI_BIND_DYNAMIC16: return b->target.address16((uint16_t)i, b->dimCount, b->dims16);
    case ZEK_VMAPI_BIND_DYNAMIC32: return b->target.address32(i, b->dimCount, b->dims);
  }
  return nullptr;
}

bool toPhysical(const SignalBinding *b, const void *raw, bool round, void *destination) {
  double r = vmapi_loadTyped(b->bindType, raw);
  double d = r * b->f2 + b->f3;
  if (d == 0.0) {
    zek_raiseError(ZEK_ERR_API, "Division by zero. test input cannot be converted to physical value.");
    return false;
  }
  double p = (r * b->f0 + b->f1) / d;
  if (round && isIntegerType(b->physicalType)) p = roundHalfAway(p);
  vmapi_storeTyped(b->physicalType, destination, p);
  return true;
}

bool toFixedPoint(const SignalBinding *b, const void *vm, bool round, void *destination) {
  double v = vmapi_loadTyped(b->physicalType, vm);
  if (b->upperLimitSet && v > b->upperLimit) v = b->upperLimit;
  else if (b->lowerLimitSet && v < b->lowerLimit) v = b->lowerLimit;
  double d = v * b->f2 - b->f0;
  if (d == 0.0) {
    zek_raiseError(ZEK_ERR_API, "Division by zero. Signal cannot be converted to fix-point value.");
    return false;
  }
  double raw = (b->f1 - v * b->f3) / d;
  if (round && isIntegerType(b->bindType)) raw = roundHalfAway(raw);
  vmapi_storeTyped(b->bindType, destination, raw);
  return true;
}

bool getElement(const SignalBinding *b, uint32_t i, void *value) {
  if (b->mode == ZEK_VMAPI_BIND_GETSET16)
    return b->target.getSet16.getter != nullptr && b->target.getSet16.getter(value, (uint16_t)i, b->dimCount, b->dims16);
  return b->target.getSet32.getter != nullptr && b->target.getSet32.getter(value, i, b->dimCount, b->dims);
}

bool hasSetter(const SignalBinding *b) {
  return b->mode == ZEK_VMAPI_BIND_GETSET16 ? b->target.getSet16.setter != nullptr : b->target.getSet32.setter != nullptr;
}

void setElement(const SignalBinding *b, uint32_t i, const void *value) {
  if (b->mode == ZEK_VMAPI_BIND_GETSET16) b->target.getSet16.setter(value, (uint16_t)i, b->dimCount, b->dims16);
  else b->target.getSet32.setter(value, i, b->dimCount, b->dims);
}

bool isGetSet(const SignalBinding *b) { return b->mode == ZEK_VMAPI_BIND_GETSET16 || b->mode == ZEK_VMAPI_BIND_GETSET32; }

// SuT to VM for one binding; false after a conversion failure (the rest of the binding keeps
// its values).
bool transferIn(const SignalBinding *b, bool round) {
  const ChannelDecl *c = b->channel;
  if (c == nullptr || c->value == nullptr) return true;
  uint32_t size = zek_baseTypeSizeOf(b->bindType);
  bool ok = true;
  if (b->needsScaling && b->mode == ZEK_VMAPI_BIND_STATIC && !b->indexCoeffsSet && scaleBlock(b, round, true, &ok))
    return ok;
  if (b->needsScaling) {
    for (uint32_t i = 0; i < b->dim; ++i) {
      ZekVmapiRaw temporary{};
      const void *source = &temporary;
      if (isGetSet(b)) {
        if (!getElement(b, i, &temporary)) continue;
      } else if ((source = elementAddress(b, i)) == nullptr) {
        continue;
      }
      if (!toPhysical(b, source, round, elementAt(c, b->physicalType, i))) return false;
    }
  } else if (b->mode != ZEK_VMAPI_BIND_STATIC || b->indexCoeffsSet) {
    for (uint32_t i = 0; i < b->dim; ++i) {
      uint8_t *vm = elementAt(c, b->physicalType, i);
      if (isGetSet(b)) {
        getElement(b, i, vm);
      } else if (const void *source = elementAddress(b, i)) {
        std::memcpy(vm, source, size);
      }
    }
  } else {
    std::memcpy(c->value, b->target.fixed.base, (size_t)b->dim * size);
  }
  return true;
}

// VM to SuT for one binding; false at the first conversion failure.
bool transferOut(const SignalBinding *b, bool round) {
  const ChannelDecl *c = b->channel;
  if (c == nullptr || c->value == nullptr) return true;
  bool ok = true;
  if (b->needsScaling && b->mode == ZEK_VMAPI_BIND_STATIC && !b->indexCoeffsSet && scaleBlock(b, round, false, &ok))
    return ok;
  if (b->needsScaling) {
    for (uint32_t i = 0; i < b->dim; ++i) {
      const uint8_t *vm = elementAt(c, b->physicalType, i);
      if (isGetSet(b)) {
        if (!hasSetter(b)) continue;
        ZekVmapiRaw temporary{};
        if (!toFixedPoint(b, vm, round, &temporary)) return false;
        setElement(b, i, &temporary);
      } else if (void *destination = elementAddress(b, i)) {
        if (!toFixedPoint(b, vm, round, destination)) return false;
      }
    }
  } else if (b->mode != ZEK_VMAPI_BIND_STATIC || b->lowerLimitSet || b->upperLimitSet || b->indexCoeffsSet) {
    uint32_t size = zek_baseTypeSizeOf(b->bindType);
    for (uint32_t i = 0; i < b->dim; ++i) {
      const void *value = elementAt(c, b->physicalType, i);
      if (b->upperLimitSet && vmapi_isGreater(b->bindType, value, &b->upperLimitRaw)) value = &b->upperLimitRaw;
      else if (b->lowerLimitSet && vmapi_isGreater(b->bindType, &b->lowerLimitRaw, value)) value = &b->lowerLimitRaw;
      if (isGetSet(b)) {
        if (hasSetter(b)) setElement(b, i, value);
      } else if (void *destination = elementAddress(b, i)) {
        std::memcpy(destination, value, size);
      }
    }
  } else {
    std::memcpy(b->target.fixed.base, c->value, (size_t)b->dim * zek_baseTypeSizeOf(b->physicalType));
  }
  return true;
}

// The error handler of a whole-test-case run and of a parameter exchange: the message, then
// the ordered end of whatever is live (IDE, dialog, record file), then the exit.
void fatalErrorHandler(void) {
  static bool ending = false;
  if (ending) return;  // an error of the ordered end itself changes nothing
  ending = true;
  zek_printf("Error: %s", zek_getErrorMessage());
  std::fflush(stdout);
  // The process ends here, so whatever runs (a cycle, an exchange) never returns into what
  // is closed.
  VmapiExecution *current = vmapi_current();
  if (current != nullptr && current != vmapi_liveTest()) vmapi_close(current, "zek_vmapi_closeExecution");
  if (VmapiExecution *test = vmapi_liveTest()) {
    test->lastCycleResult = ZEK_CYCLE_ERROR;  // what an attached IDE is told at the end
    vmapi_close(test, "zek_vmapi_closeExecution");
  }
  std::fflush(stdout);
  std::exit(1);
}

// The loop holds its execution across init and step: while they run, the execution is not
// closed or replaced.
void runTestcase(VmapiExecution *e, VmapiExecution **out, ZekVmapiCallback init, ZekVmapiCallback step,
                 ZekErrorHandler previous) {
  if (e != nullptr) {
    if (out != nullptr) *out = e;
    VmapiRunning outer = vmapi_enter(VMAPI_IN_TESTCASE, "zek_vmapi_runTestcase");
    if (init != nullptr) init();
    int32_t result = zek_vmapi_runCycle(e);
    while (result == ZEK_CYCLE_GO_ON) {
      if (step != nullptr) step();
      result = zek_vmapi_runCycle(e);
    }
    vmapi_leave(outer);
    vmapi_close(e, "zek_vmapi_runTestcase");
    if (out != nullptr) *out = nullptr;
  }
  zek_setErrorHandler(previous);
}

// The three steps of a cycle, inside the cycle's mark.
bool updateTestInputs(VmapiExecution *e) {
  uint32_t cycles = zek_getCycleCount();
  bool ok = vmapi_readInputBindings(e, e->lists.inputHead, cycles == 0);
  zek_sharedmem_beforecycle(e->data);
  if (cycles != 0 && e->recordFile != nullptr && zek_isSutSynchron() == 1) vmapi_writeRecordRow(e);
  return ok;
}

int32_t callCycle(VmapiExecution *e) {
  uint32_t refusals = vmapi_refusals();
  {
    // The VM's refusals inside running byte code guard the program meanwhile.
    ZekHoldLetGo letGo;
    e->lastCycleResult = (int32_t)zek_runCycle();
  }
  // A refusal in the real-time clock comes before the VM resets the error state for the cycle.
  if (vmapi_refusals() != refusals && !zek_hasError()) {
    vmapi_raiseLatestRefusal();
    e->lastCycleResult = ZEK_CYCLE_ERROR;
  }
  if (e->recordFile != nullptr) zekbin_recorderCycleRan(&e->recordFile->recorder);
  return e->lastCycleResult;
}

bool updateTestOutputs(VmapiExecution *e) {
  zek_sharedmem_aftercycle(e->lastCycleResult);
  bool ok = vmapi_writeOutputBindings(e, e->lists.outputHead);
  if (e->recordFile != nullptr && zek_isSutSynchron() == 0) vmapi_writeRecordRow(e);
  return ok;
}

// A cycle operation on the live test execution: never from inside another one (a nested cycle
// would start over the one that runs), nor from a parameter exchange.
bool mayRunCycle(VmapiExecution *e, const char *operation) {
  return vmapi_mayStart(operation, VMAPI_REFUSE_RUN) && vmapi_requireLive(e, operation) && !e->parameterExchange;
}

}  // namespace

double vmapi_loadTyped(uint32_t type, const void *p) {
  double v = 0.0;
  withType(type, [&](auto t) { v = (double)zek_load_as<decltype(t)>(p); });
  return v;
}

void vmapi_storeTyped(uint32_t type, void *p, double v) {
  withType(type, [&](auto t) { zek_store_as<decltype(t)>(p, convertTo<decltype(t)>(v)); });
}

void vmapi_storeLimit(uint32_t type, void *p, double v) {
  double low = 0, high = 0;
  switch (type) {
    case ZEK_UINT8:
    case ZEK_BOOL: high = 255; break;
    case ZEK_INT8: low = -128, high = 127; break;
    case ZEK_UINT16: high = 65535; break;
    case ZEK_INT16: low = -32768, high = 32767; break;
    case ZEK_UINT32: high = 4294967295.0; break;
    case ZEK_INT32: low = -2147483648.0, high = 2147483647.0; break;
    case ZEK_INT64: low = -9223372036854775808.0, high = 9223372036854775807.0; break;
    default: vmapi_storeTyped(type, p, v); return;
  }
  // A limit beyond the type stands for the type's end, never for a wrapped value.
  vmapi_storeTyped(type, p, v < low ? low : v > high ? high : v);
}

bool vmapi_isGreater(uint32_t type, const void *a, const void *b) {
  switch (type) {
    case ZEK_UINT8:
    case ZEK_BOOL: return zek_load_as<uint8_t>(a) > zek_load_as<uint8_t>(b);
    case ZEK_INT8: return zek_load_as<int8_t>(a) > zek_load_as<int8_t>(b);
    case ZEK_UINT16: return zek_load_as<uint16_t>(a) > zek_load_as<uint16_t>(b);
    case ZEK_INT16: return zek_load_as<int16_t>(a) > zek_load_as<int16_t>(b);
    case ZEK_UINT32: return zek_load_as<uint32_t>(a) > zek_load_as<uint32_t>(b);
    case ZEK_INT32: return zek_load_as<int32_t>(a) > zek_load_as<int32_t>(b);
    case ZEK_INT64: return zek_load_as<int64_t>(a) > zek_load_as<int64_t>(b);
    case ZEK_FLOAT: return zek_load_as<float>(a) > zek_load_as<float>(b);
    case ZEK_DOUBLE: return zek_load_as<double>(a) > zek_load_as<double>(b);
  }
  return false;
}

// A transfer ends after the binding whose callback made a refused call: the frame's mistake
// ends the operation with its error.
bool vmapi_readInputBindings(VmapiExecution *e, SignalBinding *list, bool firstCycle) {
  bool ok = true;
  bool round = e != nullptr && e->roundScalingResults;
  uint32_t refusals = vmapi_refusals();
  for (SignalBinding *b = list; b != nullptr; b = b->next) {
    // A read-write output keeps the VM's initial value in the first cycle.
    if (firstCycle && b->channel != nullptr && b->channel->readWrite) continue;
    if (!transferIn(b, round)) ok = false;
    if (vmapi_refusals() != refusals) return false;
  }
  return ok;
}

bool vmapi_writeOutputBindings(VmapiExecution *e, SignalBinding *list) {
  bool round = e != nullptr && e->roundScalingResults;
  uint32_t refusals = vmapi_refusals();
  for (SignalBinding *b = list; b != nullptr; b = b->next)
    if (!transferOut(b, round) || vmapi_refusals() != refusals) return false;
  return true;
}

bool vmapi_paramFromSuT(SignalBinding *b, ChannelDecl *parameter, bool round) {
  b->channel = parameter;
  return transferIn(b, round);
}

bool vmapi_paramToSuT(SignalBinding *b, ChannelDecl *parameter, bool round) {
  b->channel = parameter;
  return transferOut(b, round);
}

ZekErrorHandler vmapi_installFatalHandler(void) {
  // Installing calls the handler at once when an error stands; a stale one is not this run's.
  zek_resetError();
  return zek_setErrorHandler(fatalErrorHandler);
}

ZEK_EXPORT bool zek_vmapi_internal_updateTestInputs(VmapiExecution *e) {
  if (!mayRunCycle(e, "zek_vmapi_internal_updateTestInputs")) return false;
  VmapiRunning outer = vmapi_enter(VMAPI_IN_CYCLE, "zek_vmapi_internal_updateTestInputs");
  bool ok = updateTestInputs(e);
  vmapi_leave(outer);
  return ok;
}

ZEK_EXPORT int32_t zek_vmapi_internal_callCycle(VmapiExecution *e) {
  if (!mayRunCycle(e, "zek_vmapi_internal_callCycle")) return ZEK_CYCLE_ERROR;
  VmapiRunning outer = vmapi_enter(VMAPI_IN_CYCLE, "zek_vmapi_internal_callCycle");
  int32_t result = callCycle(e);
  vmapi_leave(outer);
  return result;
}

ZEK_EXPORT bool zek_vmapi_internal_updateTestOutputs(VmapiExecution *e) {
  if (!mayRunCycle(e, "zek_vmapi_internal_updateTestOutputs")) return false;
  VmapiRunning outer = vmapi_enter(VMAPI_IN_CYCLE, "zek_vmapi_internal_updateTestOutputs");
  bool ok = updateTestOutputs(e);
  vmapi_leave(outer);
  return ok;
}

ZEK_EXPORT int32_t zek_vmapi_runCycle(VmapiExecution *e) {
  if (!mayRunCycle(e, "zek_vmapi_runCycle")) return ZEK_CYCLE_ERROR;
  VmapiRunning outer = vmapi_enter(VMAPI_IN_CYCLE, "zek_vmapi_runCycle");
  int32_t result = ZEK_CYCLE_ERROR;
  // An input that could not be converted would leave the cycle on stale values.
  if (updateTestInputs(e)) {
    result = callCycle(e);
    if (!updateTestOutputs(e)) result = ZEK_CYCLE_ERROR;
  }
  vmapi_leave(outer);
  return result;
}

ZEK_EXPORT void zek_vmapi_runTestcase(const char *programFile, const char *recordFile, VmapiExecution **out,
                                      ZekVmapiCallback init, ZekVmapiCallback step) {
  // Refused before the fatal handler is installed: the operation that runs keeps its own.
  if (!vmapi_mayStart("zek_vmapi_runTestcase", VMAPI_REFUSE_LOAD)) return;
  ZekErrorHandler previous = vmapi_installFatalHandler();
  runTestcase(zek_vmapi_createExecution(programFile, recordFile), out, init, step, previous);
}

ZEK_EXPORT void zek_vmapi_runTestcase_v2(const wchar_t *programFile, const wchar_t *recordFile, VmapiExecution **out,
                                         ZekVmapiCallback init, ZekVmapiCallback step) {
  if (!vmapi_mayStart("zek_vmapi_runTestcase_v2", VMAPI_REFUSE_LOAD)) return;
  ZekErrorHandler previous = vmapi_installFatalHandler();
  runTestcase(vmapi_createExecutionWide(programFile, recordFile), out, init, step, previous);
}
