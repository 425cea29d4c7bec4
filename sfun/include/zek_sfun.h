#pragma once
// The interface of the S-function library to the S-function wrapper of a Simulink block: the
// port and function records the wrapper fills, the callbacks it gives, and the exports it
// calls. The records are an interface format shared with generated code; their layouts are
// pinned below for the 64-bit build and for the 32-bit build (4-byte pointers).
#include <cstddef>
#include <cstdarg>
#include <cstdint>

#include "zek_export.h"
#include "zek_sfun_state.h"

typedef void *SfunHandle;  // the wrapper's block; passed on, never read

// Marks a structural level (entering the next bus level) in a signal's dimension list.
constexpr uint32_t ZEK_SFUN_STRUCT_LEVEL = 0xFFFFFFFFu;

struct zek_port_signal {
  const char *name;
  int32_t mlBusElementOffset;
  uint16_t nSlTypes;
  uint32_t *slTypeIds;
  uint32_t *slTypeSizes;
  uint8_t nDims;
  uint32_t *dims;
  uint32_t dataType;
  uint8_t isScaledFixedPointType;
  uint16_t zek_vm_adr;           // filled by matching
  uint32_t nMlElementOffsets;    // filled by matching
  uint32_t *mlElementOffsets;    // filled by matching
};

struct zek_port_data {
  void *data;
  uint16_t nSignals;
  zek_port_signal *signals;
  uint8_t wrapperFlag;
  uint8_t writeInitialOutput;
  uint8_t initialized;
};

struct PortInterface {
  uint16_t nInputs;
  zek_port_data *inputs;
  uint16_t nOutputs;
  zek_port_data *outputs;
};

struct SlFunctionEntry {
  const char *name;
  uint16_t vmFunctionIndex;  // filled by matching
  uint16_t nInputArgs;
  zek_port_data *inputArgs;
  uint16_t nOutputArgs;
  zek_port_data *outputArgs;
};

struct FunctionInterface {
  uint16_t count;
  SlFunctionEntry *entries;
};

// The same records as the 32-bit libraries see them: every pointer a 32-bit word.
struct zek_port_signal32 {
  uint32_t name;
  int32_t mlBusElementOffset;
  uint16_t nSlTypes;
  uint32_t slTypeIds, slTypeSizes;
  uint8_t nDims;
  uint32_t dims;
  uint32_t dataType;
  uint8_t isScaledFixedPointType;
  uint16_t zek_vm_adr;
  uint32_t nMlElementOffsets;
  uint32_t mlElementOffsets;
};
struct zek_port_data32 {
  uint32_t data;
  uint16_t nSignals;
  uint32_t signals;
  uint8_t wrapperFlag, writeInitialOutput, initialized;
};
struct PortInterface32 {
  uint16_t nInputs;
  uint32_t inputs;
  uint16_t nOutputs;
  uint32_t outputs;
};
struct SlFunctionEntry32 {
  uint32_t name;
  uint16_t vmFunctionIndex, nInputArgs;
  uint32_t inputArgs;
  uint16_t nOutputArgs;
  uint32_t outputArgs;
};
struct FunctionInterface32 {
  uint16_t count;
  uint32_t entries;
};

#define ZEK_SFUN_AT(T, f, o) static_assert(offsetof(T, f) == (o), #T "." #f)
// 32-bit layout.
static_assert(sizeof(zek_port_signal32) == 44 && sizeof(zek_port_data32) == 16 && sizeof(PortInterface32) == 16 &&
              sizeof(SlFunctionEntry32) == 20 && sizeof(FunctionInterface32) == 8);
ZEK_SFUN_AT(zek_port_signal32, mlBusElementOffset, 4);
ZEK_SFUN_AT(zek_port_signal32, nSlTypes, 8);
ZEK_SFUN_AT(zek_port_signal32, slTypeIds, 12);
ZEK_SFUN_AT(zek_port_signal32, slTypeSizes, 16);
ZEK_SFUN_AT(zek_port_signal32, nDims, 20);
ZEK_SFUN_AT(zek_port_signal32, dims, 24);
ZEK_SFUN_AT(zek_port_signal32, dataType, 28);
ZEK_SFUN_AT(zek_port_signal32, isScaledFixedPointType, 32);
ZEK_SFUN_AT(zek_port_signal32, zek_vm_adr, 34);
ZEK_SFUN_AT(zek_port_signal32, nMlElementOffsets, 36);
ZEK_SFUN_AT(zek_port_signal32, mlElementOffsets, 40);
ZEK_SFUN_AT(zek_port_data32, nSignals, 4);
ZEK_SFUN_AT(zek_port_data32, signals, 8);
ZEK_SFUN_AT(zek_port_data32, wrapperFlag, 12);
ZEK_SFUN_AT(zek_port_data32, writeInitialOutput, 13);
ZEK_SFUN_AT(zek_port_data32, initialized, 14);
ZEK_SFUN_AT(PortInterface32, inputs, 4);
ZEK_SFUN_AT(PortInterface32, nOutputs, 8);
ZEK_SFUN_AT(PortInterface32, outputs, 12);
ZEK_SFUN_AT(SlFunctionEntry32, vmFunctionIndex, 4);
ZEK_SFUN_AT(SlFunctionEntry32, nInputArgs, 6);
ZEK_SFUN_AT(SlFunctionEntry32, inputArgs, 8);
ZEK_SFUN_AT(SlFunctionEntry32, nOutputArgs, 12);
ZEK_SFUN_AT(SlFunctionEntry32, outputArgs, 16);
ZEK_SFUN_AT(FunctionInterface32, entries, 4);
#if UINTPTR_MAX == 0xFFFFFFFFu
// A 32-bit build uses the native records in exactly that layout.
static_assert(sizeof(zek_port_signal) == sizeof(zek_port_signal32) && sizeof(zek_port_data) == sizeof(zek_port_data32) &&
              sizeof(SlFunctionEntry) == sizeof(SlFunctionEntry32));
ZEK_SFUN_AT(zek_port_signal, mlElementOffsets, 40);
ZEK_SFUN_AT(zek_port_data, initialized, 14);
ZEK_SFUN_AT(SlFunctionEntry, outputArgs, 16);
#else
static_assert(sizeof(zek_port_signal) == 72 && sizeof(zek_port_data) == 32 && sizeof(PortInterface) == 32 &&
              sizeof(SlFunctionEntry) == 40 && sizeof(FunctionInterface) == 16);
ZEK_SFUN_AT(zek_port_signal, mlBusElementOffset, 8);
ZEK_SFUN_AT(zek_port_signal, nSlTypes, 12);
ZEK_SFUN_AT(zek_port_signal, slTypeIds, 16);
ZEK_SFUN_AT(zek_port_signal, slTypeSizes, 24);
ZEK_SFUN_AT(zek_port_signal, nDims, 32);
ZEK_SFUN_AT(zek_port_signal, dims, 40);
ZEK_SFUN_AT(zek_port_signal, dataType, 48);
ZEK_SFUN_AT(zek_port_signal, isScaledFixedPointType, 52);
ZEK_SFUN_AT(zek_port_signal, zek_vm_adr, 54);
ZEK_SFUN_AT(zek_port_signal, nMlElementOffsets, 56);
ZEK_SFUN_AT(zek_port_signal, mlElementOffsets, 64);
ZEK_SFUN_AT(zek_port_data, nSignals, 8);
ZEK_SFUN_AT(zek_port_data, signals, 16);
ZEK_SFUN_AT(zek_port_data, wrapperFlag, 24);
ZEK_SFUN_AT(zek_port_data, writeInitialOutput, 25);
ZEK_SFUN_AT(zek_port_data, initialized, 26);
ZEK_SFUN_AT(PortInterface, inputs, 8);
ZEK_SFUN_AT(PortInterface, nOutputs, 16);
ZEK_SFUN_AT(PortInterface, outputs, 24);
ZEK_SFUN_AT(SlFunctionEntry, vmFunctionIndex, 8);
ZEK_SFUN_AT(SlFunctionEntry, nInputArgs, 10);
ZEK_SFUN_AT(SlFunctionEntry, inputArgs, 16);
ZEK_SFUN_AT(SlFunctionEntry, nOutputArgs, 24);
ZEK_SFUN_AT(SlFunctionEntry, outputArgs, 32);
ZEK_SFUN_AT(FunctionInterface, entries, 8);
#endif
#undef ZEK_SFUN_AT

// The wrapper's report callback. text stays valid until the next report.
typedef void (*ReportErrorFn)(SfunHandle block, const char *text);
// Fixed-point handlers: convert one element between the VM value (vmElement, of the channel's
// base type and size) and the port memory (slElement, slSize bytes). A failing handler calls
// zek_reportError; the library checks the state after every call.
typedef void (*CopyPortDataFn)(SfunHandle block, uint32_t port, uint32_t signal, void *vmElement, uint32_t baseType,
                               uint8_t elementSize, void *slElement, uint32_t slSize);
typedef void (*CopyFcnArgDataFn)(SfunHandle block, int32_t fcnIndex, uint32_t argument, uint32_t signal,
                                 void *vmElement, uint32_t baseType, uint8_t elementSize, void *slElement,
                                 uint32_t slSize);

// Set-up, services and reporting.
ZEK_EXPORT void zek_sfun_setup(double stepSize, ReportErrorFn reportError, const char *programFile,
                               const char *recordFile, PortInterface *io, CopyPortDataFn writeFixPtOut,
                               CopyPortDataFn readFixPtIn);
ZEK_EXPORT void zek_sfun_setup_fcn_io(FunctionInterface *fcnIo, CopyFcnArgDataFn writeFixPtFcnOut,
                                      CopyFcnArgDataFn readFixPtFcnIn);
ZEK_EXPORT uint32_t zek_sfun_getCycleCount(void);
ZEK_EXPORT void *zek_sfun_malloc(uint32_t size);
ZEK_EXPORT void zek_sfun_free(void *p);
ZEK_EXPORT void zek_reportError(SfunHandle block, const char *text);

// Lifecycle. A result of 0 tells the wrapper that the block has ended or failed.
ZEK_EXPORT uint8_t zek_sfun_init(SfunHandle block, uint8_t quiet);
ZEK_EXPORT uint8_t zek_sfun_update(SfunHandle block);
ZEK_EXPORT uint8_t zek_sfun_cycle(SfunHandle block);
ZEK_EXPORT uint8_t zek_sfun_write(SfunHandle block);
ZEK_EXPORT void zek_sfun_terminate(void);

// Simulink functions and MATLAB services.
ZEK_EXPORT int32_t zekCallServerFunction(SfunHandle block, uint32_t fcnIndex);
ZEK_EXPORT uint32_t getEnumBaseTypeByName(const char *enumTypeName);

// Code-generation tables: the texts live in one buffer of the library until
// zek_sfun_rtw_cleanup; each request overwrites the previous text.
ZEK_EXPORT void zek_sfun_gen_rtw_portdata(char **text, const char *tableName, uint32_t portCount,
                                          const zek_port_data *ports);
ZEK_EXPORT void zek_sfun_gen_rtw_port_signals_suffixes(char **text, const zek_port_data *port);
ZEK_EXPORT void zek_sfun_gen_rtw_port_signals_vmtype_names(char **text, const zek_port_data *port);
ZEK_EXPORT void zek_sfun_gen_rtw_port_signals_typeids(uint32_t **ids, uint32_t *idCount, const zek_port_data *port);
ZEK_EXPORT void zek_sfun_rtw_cleanup(void);
// Bounded formatting that returns the length of the whole text, whether or not it fitted.
ZEK_EXPORT uint32_t zek_sfun_snprintf(char *buffer, uint32_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
ZEK_EXPORT uint32_t zek_sfun_vsnprintf(char *buffer, uint32_t size, const char *format, va_list args);
