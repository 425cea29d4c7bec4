#pragma once
// Public interface of the virtual machine: the records hosts see and the exported functions.
#include <cstdint>
#include <cstdarg>
#include "zek_export.h"

enum BaseType : uint32_t {
  ZEK_UINT8 = 1, ZEK_INT8 = 2, ZEK_UINT16 = 3, ZEK_INT16 = 4, ZEK_UINT32 = 5,
  ZEK_INT32 = 6, ZEK_INT64 = 7, ZEK_FLOAT = 8, ZEK_DOUBLE = 9, ZEK_BOOL = 10
};

enum RoleId : uint32_t {
  ZEK_ROLE_INPUT = 0, ZEK_ROLE_OUTPUT = 1, ZEK_ROLE_PARAMETER = 2, ZEK_ROLE_LOCAL = 3,
  ZEK_ROLE_INTERNAL = 4, ZEK_ROLE_FUNC_INPUT = 5, ZEK_ROLE_FUNC_OUTPUT = 6,
  ZEK_ROLE_ASSESSMENT = 7, ZEK_ROLE_MEASUREMENT = 8
};

enum CycleResult : uint32_t { ZEK_CYCLE_GO_ON = 0, ZEK_CYCLE_ERROR = 1, ZEK_CYCLE_TEST_ENDED = 2 };

// Marks an open dimension (or, in a structure member's list, a name-component boundary).
constexpr uint32_t ZEK_OPEN_DIMENSION = 0xFFFFFFFFu;

struct ChannelDecl;
typedef int (*ZekValueLoader)(ChannelDecl *channel);

struct ChannelDecl {
  const char *name;
  uint16_t id;
  uint32_t heapOffset;
  uint32_t baseType;
  uint8_t elementSize;
  uint32_t elementCount;
  uint8_t *value;
  ZekValueLoader valueLoader;
  uintptr_t hostWord;
  // The six image flag bits, in the order bits 0, 4, 1, 2, 3, 5.
  uint8_t flagBit0;
  uint8_t flagBit4;
  uint8_t recorded;     // bit 1: recorded, exchanged with files
  uint8_t flagBit2;
  uint8_t isText;       // bit 3: holds text
  uint8_t needsNoPort;  // bit 5: needs no binding or port
  uint8_t readWrite;
  uint32_t role;
  double *scaling;      // 4 coefficients or null
  const char *externalName;
  int16_t option2;
  uint8_t dimCount;
  uint32_t *dims;
  uint8_t fixedDimCount;
  const uint32_t *fixedDims;
  int16_t option4;
  int16_t option5;
  const char *attributes;
};

struct FunctionDecl;
typedef void (*ZekFunctionHandler)(FunctionDecl *function);

enum FunctionRole : uint8_t { ZEK_FUNC_SERVER = 1, ZEK_FUNC_CLIENT = 2 };

struct FunctionDecl {
  uint16_t id;
  const char *name;
  uint8_t role;
  uint32_t entryPoint;
  uint16_t argCount;
  ChannelDecl *firstArg;
  ZekFunctionHandler handler;
  uintptr_t hostData;
};

struct EnumSetDecl {
  uint32_t baseType;
  uint16_t count;
  const char **names;
  uint8_t *values;
};

struct EventDecl {
  uint16_t id;
  const char *name;
};

// One EVENT of the current cycle; the list is released when the next cycle starts.
struct EventRecord {
  uint16_t id;
  uint16_t length;
  uint8_t *data;
  EventRecord *next;
};

struct VmData {
  uint16_t enumSetCount;
  EnumSetDecl *enumSets;
  uint16_t channelCount;
  ChannelDecl *channels;
  uint16_t inputCount;
  ChannelDecl *inputs;
  uint16_t outputCount;
  ChannelDecl *outputs;
  uint16_t localCount;
  ChannelDecl *locals;
  uint16_t functionCount;
  FunctionDecl *functions;
  uint16_t eventCount;
  EventDecl *events;
  EventRecord *eventList;
};

typedef void (*ZekErrorHandler)(void);
typedef void (*ZekErrorContextHandler)(char *buffer, uint32_t size);
// position: image offset of the byte behind the MESSAGEBOX count byte (it identifies the box);
// items: the first of count NUL-terminated item texts that follow one another in the byte code.
// The answer is pushed as it is returned.
typedef uint8_t (*ZekMessageBoxCmd)(uint32_t position, uint8_t flag, const char *text, uint8_t count,
                                    const char *items);
typedef double (*ZekRealtimeCmd)(void);

// Error state. The error handler is called at the end of every raise; an error raised while it
// runs does not call it again, and when it returns the error it was called for stands again,
// whatever it raised or reset meanwhile.
ZEK_EXPORT void zek_raiseError(uint16_t code, const char *format, ...)
    ZEK_PRINTF_LIKE(2, 3);
ZEK_EXPORT void zek_resetError(void);
ZEK_EXPORT bool zek_hasError(void);
ZEK_EXPORT uint16_t zek_getErrorCode(void);
ZEK_EXPORT const char *zek_getErrorMessage(void);
ZEK_EXPORT ZekErrorHandler zek_setErrorHandler(ZekErrorHandler handler);
ZEK_EXPORT ZekErrorContextHandler zek_setErrorContextHandler(ZekErrorContextHandler handler);
ZEK_EXPORT void zek_printf(const char *format, ...) ZEK_PRINTF_LIKE(1, 2);

// Program loading and data.
ZEK_EXPORT uint32_t zek_load(const uint8_t *image);
ZEK_EXPORT uint32_t zek_getProgramLength(const uint8_t *image);
ZEK_EXPORT uint32_t zek_getCycleCount(void);
ZEK_EXPORT VmData *zek_getData(void);
ZEK_EXPORT uint32_t zek_getDensity(void);
ZEK_EXPORT uint32_t zek_getHistorySize(void);
ZEK_EXPORT uint32_t zek_getTimeout(void);
ZEK_EXPORT uint32_t zek_getVmCompatiblityVersion(void);
ZEK_EXPORT uint32_t zek_getVmFeatureVersion(void);
ZEK_EXPORT const char *zek_getSuppressedSignalNames(void);
ZEK_EXPORT bool zek_isSuppressedSignalName(const char *name);
ZEK_EXPORT uint8_t zek_isRecordCycle(void);
ZEK_EXPORT uint8_t zek_isSutSynchron(void);
ZEK_EXPORT uint32_t zek_isWrittenFlag(uint32_t bit);
ZEK_EXPORT void zek_installMessageBoxCmd(ZekMessageBoxCmd cmd);
ZEK_EXPORT void zek_installRealtimeCmd(ZekRealtimeCmd cmd);

// Running.
ZEK_EXPORT uint32_t zek_runCycle(void);
ZEK_EXPORT uint32_t zek_setDensity(uint32_t us);
ZEK_EXPORT uint32_t zek_setTimeout(uint32_t cycles);
ZEK_EXPORT uint32_t zek_runServerStubFunction(uint16_t index);
