#pragma once
// The records behind the embedding library's handles and the helpers its parts share.
#include <cstdint>
#include <cstdio>

#include "zek_host.h"
#include "zek_platform.h"
#include "zek_vmapi.h"
#include "zekbin_recorder.h"

// The record file of an execution.
struct RecordFileState {
  ZekbinRecorder recorder;  // the stream, the recorded channels, the writer, the rows so far
  uint32_t density;         // the density of the latest row
  char *name;               // the path as the messages show it, owned
  PlatFileIdentity identity;  // the file that was opened, whatever name it is given later
  bool identityKnown;
};

// One slot per VM function, by the function's position in the program's function table.
struct FunctionSlot {
  SignalBinding *head, *tail;  // the bindings of the function's arguments
  ZekVmapiSutFunction sutFunction;
  bool bound;
  ZekFunctionHandler previousHandler;  // restored when the execution closes
  uintptr_t previousHostData;
};

// The binding lists of one execution; each execution owns its records.
struct BindingLists {
  SignalBinding *inputHead, *inputTail;
  SignalBinding *outputHead, *outputTail;
  SignalBinding *allHead, *allTail;
  FunctionSlot *functionBindings;
  uint16_t functionCount;
};

struct VmapiExecution {
  uint8_t *program;  // the program file's bytes; the VM uses them in place
  VmData *data;
  RecordFileState *recordFile;
  uint8_t roundScalingResults;
  int32_t lastCycleResult;
  uint8_t parameterExchange;
  BindingLists lists;
};

// A path as the exports receive it.
struct VmapiPath {
  const void *path;
  int32_t isWide;
};

// The execution the bind operations, the completeness check and the list of all bindings act
// on: the live test execution, or the parameter exchange's while it runs.
VmapiExecution *vmapi_current(void);
void vmapi_setCurrent(VmapiExecution *execution);
// The execution whose program is loaded (null when none is live).
VmapiExecution *vmapi_liveTest(void);
// True when the execution may drive the VM; raises 119 naming the operation otherwise.
bool vmapi_requireLive(const VmapiExecution *execution, const char *operation);
// True when the path names the open record file of the live execution.
bool vmapi_isLiveRecordFile(const char *path);

// What the library is in the middle of. The frame's callbacks (SuT functions, getters, setters,
// address functions, the real-time clock, the bind callback of an exchange, init and step of a
// test case, and the VM's error handler, which every raised error calls) run inside these
// operations, and must not free, replace or run again what the operation is using.
enum : uint8_t {
  VMAPI_IN_CYCLE = 1,      // a cycle, a value transfer or a served function
  VMAPI_IN_EXCHANGE = 2,   // a parameter exchange
  VMAPI_IN_TESTCASE = 4,   // the init and step callbacks of a whole test case
  VMAPI_IN_LIFECYCLE = 8,  // a creation or a close: the load, the record file's opening and finish
};
// What each kind of operation cannot start inside.
constexpr uint8_t VMAPI_REFUSE_RUN = VMAPI_IN_CYCLE | VMAPI_IN_EXCHANGE | VMAPI_IN_LIFECYCLE;
constexpr uint8_t VMAPI_REFUSE_LOAD = VMAPI_IN_CYCLE | VMAPI_IN_EXCHANGE | VMAPI_IN_TESTCASE | VMAPI_IN_LIFECYCLE;
constexpr uint8_t VMAPI_REFUSE_BIND = VMAPI_IN_CYCLE | VMAPI_IN_LIFECYCLE;
// What ran before an operation, for vmapi_leave.
struct VmapiRunning {
  uint8_t activity;
  const char *operation;
  const char *holder;  // of the VM's program
};
// Marks the activity of the export named operation as running, and holds the VM's program
// under that name (zek_holdProgram) until vmapi_leave; a null operation (a callback of running
// byte code) leaves both as they are.
VmapiRunning vmapi_enter(uint8_t activity, const char *operation);
void vmapi_leave(VmapiRunning previous);
// True when the operation may start now; otherwise raises 119 for the innermost of the
// running activities in refusedIn, counts the refusal and returns false.
bool vmapi_mayStart(const char *operation, uint8_t refusedIn);
// The number of refusals so far, the VM's refusals of its entries under the library's hold
// included: an operation that sees it change knows that a callback of its own was refused,
// even where a later reset of the error state has cleared the message.
uint32_t vmapi_refusals(void);
// Raises the latest refusal again (its error was reset by the VM meanwhile).
void vmapi_raiseLatestRefusal(void);
// zek_vmapi_createExecution of wide paths, for the whole-test-case run of wide paths.
VmapiExecution *vmapi_createExecutionWide(const wchar_t *programFile, const wchar_t *recordFile);
// Closes without asking what runs: the ordered end of the fatal handler and of the
// operations that own the execution, which operation names.
void vmapi_close(VmapiExecution *execution, const char *operation);

// std::calloc for the library's own records (free with std::free), which raises nothing; the
// tests' allocation fault reaches it.
void *vmapi_calloc(size_t count, size_t size);

// Frees every record of the lists and the slot array; the lists are empty afterwards.
void vmapi_freeLists(BindingLists *lists);
SignalBinding *vmapi_freeBinding(SignalBinding *binding);  // returns the next one

// Paths (wide_paths.cpp). The path as a multibyte string (a new buffer for a wide path;
// *owned tells whether to free it with zek_free). Null after raising the error.
const char *vmapi_pathToMultibyte(VmapiPath path, bool *owned);
// Opens a path (converted for a wide one) with the mode; null when it cannot be opened.
FILE *vmapi_openPath(VmapiPath path, const char *mode);
// The name of vmapi_pathToMultibyte for as long as a message may show it: released with the
// scope that holds it.
struct Multibyte {
  const char *text;
  bool owned;
  ~Multibyte() {
    if (owned) zek_free((void *)text);
  }
};
// The whole file into a new buffer (free with zek_free); null after raising the error.
uint8_t *vmapi_readWholeFile(VmapiPath path, uint64_t *size);

// Record rows: one row of the execution's record file.
void vmapi_writeRecordRow(VmapiExecution *execution);

// Typed values at an address (unaligned access) as f64 and back.
double vmapi_loadTyped(uint32_t type, const void *address);
void vmapi_storeTyped(uint32_t type, void *address, double value);
bool vmapi_isGreater(uint32_t type, const void *a, const void *b);
// A limit stored as a value of the type: integers truncated toward zero and saturated to the
// type's range.
void vmapi_storeLimit(uint32_t type, void *address, double value);

// Transfers over one list.
bool vmapi_readInputBindings(VmapiExecution *execution, SignalBinding *list, bool firstCycle);
bool vmapi_writeOutputBindings(VmapiExecution *execution, SignalBinding *list);
// One binding whose VM side is a parameter record (its channel).
bool vmapi_paramFromSuT(SignalBinding *binding, ChannelDecl *parameter, bool round);
bool vmapi_paramToSuT(SignalBinding *binding, ChannelDecl *parameter, bool round);
// needsScaling of a record from its coefficients and types.
uint8_t vmapi_needsScaling(const SignalBinding *binding);
// The 16-bit copy of a channel's dimension table for modes 1 and 3; false after raising 11.
bool vmapi_buildDims16(SignalBinding *binding);

// Installs the handler that ends the process on any error, after resetting a stale error;
// returns the handler it replaced.
ZekErrorHandler vmapi_installFatalHandler(void);

// The name of a base type for messages; "unknown type" for any other id.
const char *zek_type2text(uint32_t type);
