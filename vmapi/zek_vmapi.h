/* The embedding library zekvmapi64 as a test frame sees it: executions of a program image,
 * bindings of the program's test inputs, test outputs and function arguments to the frame's
 * variables, cycles, bound and served functions, and the parameter exchange with the system
 * under test (SuT). A C header: frames are written in C as often as in C++.
 *
 * Calling order: zek_vmapi_createExecution; the bind operations, zek_vmapi_bindFunction,
 * zek_vmapi_setIndexCoeffs, zek_vmapi_setLimits, zek_vmapi_enableReadWrite,
 * zek_vmapi_setRoundScalingResults, zek_vmapi_setStepSize; zek_vmapi_bindSignalFinalize;
 * zek_vmapi_runCycle once per SuT step until it returns a result other than 0 (1 error, 2 the
 * test ended); zek_vmapi_closeExecution. There is one virtual machine per process, so one
 * execution is live at a time: creating an execution makes the previous one stale (only
 * closing it is left to do). Every call comes from the thread that drives the execution.
 *
 * Errors are the virtual machine's: a refused call raises its error (code and message through
 * zek_vmapi_getErrorCode and zek_vmapi_getErrorMessage) and returns false, 0 or null.
 *
 * The frame's callbacks (SuT functions, getters, setters, address functions, the real-time
 * clock, the bind callback of an exchange, init and step of a test case) run inside an
 * operation of the library. There they may read and adjust, but what would free, replace or run
 * again what the operation uses is refused with error 119: inside a cycle or a value transfer,
 * closing the live execution, creating one, cycles, served functions, test cases, exchanges and
 * new bindings; inside an exchange, closing the live or the exchange's execution, creating one,
 * cycles, served functions, test cases and another exchange; inside init and step, closing the
 * run's execution, creating one and another test case. A refusal inside a cycle ends that cycle
 * with the error (result 1). */
#ifndef ZEK_VMAPI_H
#define ZEK_VMAPI_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(__cplusplus)
#define ZEK_VMAPI_EXTERN extern "C"
#else
#define ZEK_VMAPI_EXTERN extern
#endif
#if defined(_WIN32) && defined(ZEK_EXPORTS_BY_LIST)
/* The library's own sources: its export table comes from its module-definition file. */
#define ZEK_VMAPI_API ZEK_VMAPI_EXTERN
#elif defined(_WIN32)
#define ZEK_VMAPI_API ZEK_VMAPI_EXTERN __declspec(dllimport)
#else
#define ZEK_VMAPI_API ZEK_VMAPI_EXTERN __attribute__((visibility("default")))
#endif

/* Base type ids of the virtual machine; the bind type (the SuT variable's type) uses them too. */
enum {
  ZEK_VMAPI_UINT8 = 1, ZEK_VMAPI_INT8 = 2, ZEK_VMAPI_UINT16 = 3, ZEK_VMAPI_INT16 = 4, ZEK_VMAPI_UINT32 = 5,
  ZEK_VMAPI_INT32 = 6, ZEK_VMAPI_INT64 = 7, ZEK_VMAPI_FLOAT = 8, ZEK_VMAPI_DOUBLE = 9, ZEK_VMAPI_BOOL = 10
};
/* As a physical type: whatever type the channel (or the parameter) declares. */
#define ZEK_VMAPI_ANY_TYPE (-1)

/* How a binding reaches the SuT's elements. */
enum {
  ZEK_VMAPI_BIND_STATIC = 0,     /* base address and index coefficients */
  ZEK_VMAPI_BIND_DYNAMIC16 = 1,  /* address function, 16-bit index and dimension table */
  ZEK_VMAPI_BIND_DYNAMIC32 = 2,  /* address function, 32-bit index, the channel's table */
  ZEK_VMAPI_BIND_GETSET16 = 3,   /* getter and setter, 16-bit */
  ZEK_VMAPI_BIND_GETSET32 = 4    /* getter and setter, 32-bit */
};

/* Results of a cycle. */
enum { ZEK_VMAPI_GO_ON = 0, ZEK_VMAPI_ERROR = 1, ZEK_VMAPI_TEST_ENDED = 2 };

struct ChannelDecl;
struct VmData;
typedef struct VmapiExecution VmapiExecution;

/* An element's address from its index; a null address skips the element. dims16 holds one
 * entry per dimension, -1 for an open one. */
typedef void *(*ZekVmapiAddressFn16)(uint16_t index, uint8_t dimCount, const int16_t *dims16);
typedef void *(*ZekVmapiAddressFn32)(uint32_t index, uint8_t dimCount, const uint32_t *dims);
/* A getter writes one element of the bind type to value and returns true when it did. */
typedef bool (*ZekVmapiGetter16)(void *value, uint16_t index, uint8_t dimCount, const int16_t *dims16);
typedef void (*ZekVmapiSetter16)(const void *value, uint16_t index, uint8_t dimCount, const int16_t *dims16);
typedef bool (*ZekVmapiGetter32)(void *value, uint32_t index, uint8_t dimCount, const uint32_t *dims);
typedef void (*ZekVmapiSetter32)(const void *value, uint32_t index, uint8_t dimCount, const uint32_t *dims);
/* The SuT function of a bound client function: called with the function's id and name. */
typedef void (*ZekVmapiSutFunction)(uint16_t id, const char *name);
typedef void (*ZekVmapiCallback)(void);
typedef double (*ZekVmapiRealtimeCmd)(void);

/* A raw limit: one value of the bind type. */
typedef union ZekVmapiRaw {
  uint8_t u8; int8_t i8; uint16_t u16; int16_t i16; uint32_t u32; int32_t i32; int64_t i64;
  float f32; double f64; uint8_t boolean; uint64_t bits;
} ZekVmapiRaw;

/* One binding. The record is the handle zek_vmapi_getSignal and zek_vmapi_getBoundSignals give
 * out; frames walk the list of all bindings (creation order) through nextBound. Its layout is
 * part of the interface. Valid until the execution is closed; once a new execution replaces
 * it, channel and dims are null (the new load freed them). */
typedef struct SignalBinding {
  const char *name;        /* the frame's string, kept by reference */
  uint32_t physicalType;   /* the VM side's base type */
  uint32_t bindType;       /* the SuT variable's base type */
  double f0, f1, f2, f3;   /* physical = (raw * f0 + f1) / (raw * f2 + f3) */
  double lowerLimit, upperLimit; /* NaN: no limit */
  uint32_t dim;            /* elements covered */
  uint32_t *dims;          /* the channel's dimension table, or null */
  uint8_t dimCount;        /* 255 when no channel is known */
  uint8_t readFromSuT;
  uint8_t writtenToSuT;
  struct SignalBinding *nextBound;
  struct ChannelDecl *channel;
  int32_t mode;
  union {
    struct {
      void *base;
      uint32_t groupSize, groupStride, elementStride;
    } fixed;
    ZekVmapiAddressFn16 address16;
    ZekVmapiAddressFn32 address32;
    struct {
      ZekVmapiGetter16 getter;
      ZekVmapiSetter16 setter;
    } getSet16;
    struct {
      ZekVmapiGetter32 getter;
      ZekVmapiSetter32 setter;
    } getSet32;
    uint8_t bytes[24];
  } target;
  uint8_t lowerLimitSet, upperLimitSet;
  ZekVmapiRaw lowerLimitRaw, upperLimitRaw;
  uint8_t needsScaling;
  uint8_t indexCoeffsSet;
  int16_t *dims16;         /* modes 1 and 3 only */
  struct SignalBinding *next;
} SignalBinding;

/* Executions. Paths without _v2 are multibyte strings, with _v2 wide-character strings. */
ZEK_VMAPI_API VmapiExecution *zek_vmapi_createExecution(const char *programFile, const char *recordFile);
ZEK_VMAPI_API void zek_vmapi_closeExecution(VmapiExecution *execution);
ZEK_VMAPI_API void zek_vmapi_setRoundScalingResults(VmapiExecution *execution, bool round);
ZEK_VMAPI_API uint32_t zek_vmapi_setStepSize(VmapiExecution *execution, int32_t stepSize);
ZEK_VMAPI_API void zek_vmapi_installRealtimeCmd(ZekVmapiRealtimeCmd cmd);
ZEK_VMAPI_API uint32_t zek_vmapi_getCycleCount(void);
ZEK_VMAPI_API uint16_t zek_vmapi_getErrorCode(void);
ZEK_VMAPI_API const char *zek_vmapi_getErrorMessage(void);
ZEK_VMAPI_API bool zek_vmapi_hasError(void);
ZEK_VMAPI_API void zek_vmapi_resetError(void);

/* Signal bindings. */
ZEK_VMAPI_API double zek_vmapi_NAN(void);
ZEK_VMAPI_API bool zek_vmapi_bindSignal(VmapiExecution *execution, const char *name, int32_t physicalType,
                                        int32_t bindType, double f0, double f1, double f2, double f3,
                                        void *address, uint16_t dim);
ZEK_VMAPI_API bool zek_vmapi_bindSignal_v2(VmapiExecution *execution, const char *name, int32_t physicalType,
                                           int32_t bindType, double f0, double f1, double f2, double f3,
                                           void *address, uint32_t dim);
ZEK_VMAPI_API bool zek_vmapi_bindSignalDynamic(VmapiExecution *execution, const char *name, int32_t physicalType,
                                               int32_t bindType, double f0, double f1, double f2, double f3,
                                               ZekVmapiAddressFn16 address, uint16_t dim);
ZEK_VMAPI_API bool zek_vmapi_bindSignalDynamic_v2(VmapiExecution *execution, const char *name,
                                                  int32_t physicalType, int32_t bindType, double f0, double f1,
                                                  double f2, double f3, ZekVmapiAddressFn32 address, uint32_t dim);
ZEK_VMAPI_API bool zek_vmapi_bindSignalGetSet(VmapiExecution *execution, const char *name, int32_t physicalType,
                                              int32_t bindType, double f0, double f1, double f2, double f3,
                                              ZekVmapiGetter16 getter, ZekVmapiSetter16 setter, uint16_t dim);
ZEK_VMAPI_API bool zek_vmapi_bindSignalGetSet_v2(VmapiExecution *execution, const char *name,
                                                 int32_t physicalType, int32_t bindType, double f0, double f1,
                                                 double f2, double f3, ZekVmapiGetter32 getter,
                                                 ZekVmapiSetter32 setter, uint32_t dim);
ZEK_VMAPI_API bool zek_vmapi_bindSignalFinalize(void);
ZEK_VMAPI_API SignalBinding *zek_vmapi_getSignal(VmapiExecution *execution, const char *name);
ZEK_VMAPI_API SignalBinding *zek_vmapi_getBoundSignals(void);
ZEK_VMAPI_API uint16_t zek_vmapi_getDim(VmapiExecution *execution, const char *name);
ZEK_VMAPI_API uint32_t zek_vmapi_getDim_v2(VmapiExecution *execution, const char *name);
ZEK_VMAPI_API bool zek_vmapi_isUpdated(VmapiExecution *execution, SignalBinding *binding, int32_t index);
ZEK_VMAPI_API int32_t zek_vmapi_getIntTypeEnum(uint8_t byteSize, bool isSigned);
ZEK_VMAPI_API bool zek_vmapi_setIndexCoeffs(VmapiExecution *execution, const char *name, int16_t groupSize,
                                            int16_t groupStride, int16_t elementStride);
ZEK_VMAPI_API bool zek_vmapi_setIndexCoeffs_v2(VmapiExecution *execution, const char *name, uint32_t groupSize,
                                               uint32_t groupStride, uint32_t elementStride);
ZEK_VMAPI_API bool zek_vmapi_setLimits(VmapiExecution *execution, const char *name, double lower, double upper);
ZEK_VMAPI_API bool zek_vmapi_enableReadWrite(VmapiExecution *execution, const char *name);

/* Cycles and whole test cases. */
ZEK_VMAPI_API int32_t zek_vmapi_runCycle(VmapiExecution *execution);
ZEK_VMAPI_API bool zek_vmapi_internal_updateTestInputs(VmapiExecution *execution);
ZEK_VMAPI_API int32_t zek_vmapi_internal_callCycle(VmapiExecution *execution);
ZEK_VMAPI_API bool zek_vmapi_internal_updateTestOutputs(VmapiExecution *execution);
/* Runs the whole test case: init after creation (bind there, through *execution), step before
 * every cycle but the first. An error prints "Error: <message>" and ends the process with
 * exit code 1 after the record file is finished. */
ZEK_VMAPI_API void zek_vmapi_runTestcase(const char *programFile, const char *recordFile,
                                         VmapiExecution **execution, ZekVmapiCallback init,
                                         ZekVmapiCallback step);
ZEK_VMAPI_API void zek_vmapi_runTestcase_v2(const wchar_t *programFile, const wchar_t *recordFile,
                                            VmapiExecution **execution, ZekVmapiCallback init,
                                            ZekVmapiCallback step);

/* Bound and served functions. */
ZEK_VMAPI_API bool zek_vmapi_bindFunction(VmapiExecution *execution, const char *name,
                                          ZekVmapiSutFunction function);
ZEK_VMAPI_API uint32_t zek_vmapi_getFunctionID(VmapiExecution *execution, const char *name);
ZEK_VMAPI_API int32_t zek_vmapi_runFunctionByID(VmapiExecution *execution, uint32_t id);
ZEK_VMAPI_API int32_t zek_vmapi_runFunctionByName(VmapiExecution *execution, const char *name);

/* Parameter exchange: bind inside the callback, through *execution. */
ZEK_VMAPI_API bool zek_vmapi_exchangeParamsFromSuT(const char *paramFile, const char *resultFile,
                                                   VmapiExecution **execution, ZekVmapiCallback bind);
ZEK_VMAPI_API bool zek_vmapi_exchangeParamsFromSuT_v2(const wchar_t *paramFile, const wchar_t *resultFile,
                                                      VmapiExecution **execution, ZekVmapiCallback bind);
ZEK_VMAPI_API bool zek_vmapi_exchangeParamsToSuT(const char *paramFile, VmapiExecution **execution,
                                                 ZekVmapiCallback bind);
ZEK_VMAPI_API bool zek_vmapi_exchangeParamsToSuT_v2(const wchar_t *paramFile, VmapiExecution **execution,
                                                    ZekVmapiCallback bind);

#endif
