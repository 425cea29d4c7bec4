// Executions: creation, the ordered close, the record file of an execution, reading the
// program file and the pass-through exports.
#include <cstdlib>
#include <cstring>

#include "exchange.h"
#include "msgbox.h"
#include "zek_platform.h"
#include "vmapi_internal.h"

namespace {

VmapiExecution *g_current = nullptr;
VmapiExecution *g_liveTest = nullptr;
// The operations that run (VMAPI_IN_*) and the innermost one's export, the refusals so far and
// the latest one, which the cycle raises again when the VM's reset at the start of the cycle
// has cleared it.
uint8_t g_activity = 0;
const char *g_running = nullptr;
uint32_t g_refusals = 0;
const char *g_refusedOperation = "";
uint8_t g_refusedInside = 0;
const char *g_refusedRunning = "";
// The bytes of a program that loaded but whose execution could not be completed: the VM still
// points into them, so they stay until the next load replaces that program.
uint8_t *g_orphanProgram = nullptr;

void freeRecordFile(RecordFileState *r) {
  if (r == nullptr) return;
  std::free(r->name);
  std::free(r);
}

char *copyText(const char *text) {
  size_t n = std::strlen(text) + 1;
  char *copy = (char *)vmapi_calloc(n, 1);
  if (copy != nullptr) std::memcpy(copy, text, n);
  return copy;
}

// Opens the record file over the recorded channels of the loaded program; null after raising.
RecordFileState *openRecordFile(VmapiPath path, VmData *data, uint32_t density) {
  RecordFileState *r = (RecordFileState *)vmapi_calloc(1, sizeof(RecordFileState));
  if (r == nullptr) {
    zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for the record file.");
    return nullptr;
  }
  bool owned = false;
  const char *name = vmapi_pathToMultibyte(path, &owned);
  Multibyte shown{name, owned};
  if (name == nullptr) {
    freeRecordFile(r);
    return nullptr;
  }
  // The name that later messages show, had before the file is created.
  r->name = copyText(name);
  if (r->name == nullptr) {
    freeRecordFile(r);
    zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for the record file.");
    return nullptr;
  }
  // Opened by the name converted once: a second conversion that ran out of memory would be
  // told as a file that cannot be opened.
  FILE *stream = plat_fopen(name, "wb");
  if (stream == nullptr) {
    freeRecordFile(r);
    zek_raiseError(ZEK_ERR_FILE, "ERROR: Unable to open file '%s' for %s access.", name, "write");
    return nullptr;
  }
  // A header that could not be written is the first row's failure, told when the file is
  // finished.
  int32_t opened = zekbin_recorderOpen(&r->recorder, stream, data);
  if (opened == ZEKBIN_WRITE_MEMORY || opened == ZEKBIN_WRITE_NO_WRITER) {
    zekbin_recorderRelease(&r->recorder);
    freeRecordFile(r);
    if (opened == ZEKBIN_WRITE_MEMORY)
      zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for the record file.");
    else
      zek_raiseError(ZEK_ERR_FILE, "ERROR: The record file '%s' cannot be written: %s", name,
                     zekbin_writeResultText(ZEKBIN_WRITE_NO_WRITER));
    return nullptr;
  }
  r->density = density;
  // The identity of the file as it was opened, so that no later name of it can be written over.
  r->identityKnown = plat_file_identity(name, &r->identity);
  return r;
}

// Finishes the record file: the events of a cycle without a row of its own (the last one of
// a SuT-synchronous program), the time step and the time of the row that would come next.
// False after raising 19. The file of an execution that a new one replaces is finished by that
// creation, which fails with the error: the frame learns of it from the call it made.
bool finishRecordFile(VmapiExecution *e, bool withEvents, bool replaced) {
  RecordFileState *r = e->recordFile;
  if (r == nullptr) return true;
  e->recordFile = nullptr;
  uint64_t density = zek_getDensity();
  const EventRecord *events = withEvents && e->data != nullptr ? e->data->eventList : nullptr;
  int32_t result = zekbin_recorderFinish(&r->recorder, events, density, density * r->recorder.rows);
  bool closed = result != ZEKBIN_RECORD_NOT_CLOSED;
  bool ok = result == ZEKBIN_WRITE_OK;
  if (!ok && replaced)
    zek_raiseError(ZEK_ERR_FILE, "ERROR: The record file '%s' of the replaced execution cannot be finished: %s",
                   r->name != nullptr ? r->name : "",
                   zekbin_writeResultText(closed ? result : (int32_t)ZEKBIN_WRITE_STREAM));
  else if (!closed)
    zek_raiseError(ZEK_ERR_FILE, "ERROR: while closing the record file.");
  else if (result != ZEKBIN_WRITE_OK)
    zek_raiseError(ZEK_ERR_FILE, "ERROR: while writing the record file: %s", zekbin_writeResultText(result));
  freeRecordFile(r);
  return ok;
}

// Gives the functions of the loaded program back their own handlers.
void unbindFunctions(VmapiExecution *e) {
  BindingLists &l = e->lists;
  if (l.functionBindings == nullptr || e->data == nullptr) return;
  for (uint16_t i = 0; i < l.functionCount && i < e->data->functionCount; ++i) {
    FunctionSlot &s = l.functionBindings[i];
    if (!s.bound) continue;
    e->data->functions[i].handler = s.previousHandler;
    e->data->functions[i].hostData = s.previousHostData;
  }
}

// The bindings of an execution whose program is replaced: their channels and dimension tables
// go with that program, so the records keep no pointer into them.
void detachList(SignalBinding *b) {
  for (; b != nullptr; b = b->next) {
    b->channel = nullptr;
    b->dims = nullptr;
    b->dimCount = 255;
  }
}

void detachBindings(VmapiExecution *e) {
  BindingLists &l = e->lists;
  detachList(l.inputHead);
  detachList(l.outputHead);
  if (l.functionBindings != nullptr)
    for (uint16_t i = 0; i < l.functionCount; ++i) detachList(l.functionBindings[i].head);
}

// False (after raising) when the record file cannot be named or names the program file, which
// opening it for writing would destroy.
bool recordMayBeWritten(VmapiPath program, VmapiPath record) {
  if (record.path == nullptr) return true;
  bool programOwned = false, recordOwned = false;
  const char *recordName = vmapi_pathToMultibyte(record, &recordOwned);
  Multibyte recordShown{recordName, recordOwned};
  if (recordName == nullptr) return false;
  const char *programName = vmapi_pathToMultibyte(program, &programOwned);
  Multibyte programShown{programName, programOwned};
  if (programName == nullptr) return false;
  if (!plat_same_file(programName, recordName)) return true;
  zek_raiseError(ZEK_ERR_FILE, "ERROR: The record file '%s' is the program file; it is not overwritten.", recordName);
  return false;
}

// The text of a refusal inside the activity. A creation or a close runs innermost: nothing
// else starts inside it.
void raiseRefusal(const char *operation, uint8_t inside, const char *running) {
  if (inside & VMAPI_IN_LIFECYCLE)
    zek_raiseError(ZEK_ERR_API, "%s(): not allowed while %s() runs; call it after it returns.", operation, running);
  else if (inside & VMAPI_IN_CYCLE)
    zek_raiseError(ZEK_ERR_API, "%s(): not allowed inside a cycle or a value transfer; call it between cycles.",
                   operation);
  else if (inside & VMAPI_IN_EXCHANGE)
    zek_raiseError(ZEK_ERR_API,
                   "%s(): not allowed inside a parameter exchange; call it after the exchange has returned.",
                   operation);
  else
    zek_raiseError(ZEK_ERR_API,
                   "%s(): not allowed inside zek_vmapi_runTestcase(), which runs its execution until the test ends.",
                   operation);
}

// Refuses the operation inside the activities; counted before the error is raised, because
// raising may call the fatal handler, which does not return.
void refuse(const char *operation, uint8_t inside) {
  ++g_refusals;
  g_refusedOperation = operation;
  g_refusedInside = inside;
  g_refusedRunning = g_running != nullptr ? g_running : "";
  raiseRefusal(operation, inside, g_refusedRunning);
}

VmapiExecution *create(VmapiPath program, VmapiPath record) {
  // 1. The program file, whole.
  uint64_t size = 0;
  uint8_t *bytes = vmapi_readWholeFile(program, &size);
  if (bytes == nullptr) return nullptr;
  if (!recordMayBeWritten(program, record)) {
    zek_free(bytes);
    return nullptr;
  }
  VmapiExecution *e = (VmapiExecution *)vmapi_calloc(1, sizeof(VmapiExecution));
  if (e == nullptr) {
    zek_free(bytes);
    zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for the execution.");
    return nullptr;
  }
  // An execution still live belongs to the program about to be replaced: its record file is
  // finished now, while that program's channels and events still exist. When that fails, the
  // creation fails with the error, and no program stays loaded: the replaced execution is only
  // left to close.
  VmapiExecution *previous = g_liveTest;
  if (previous != nullptr) {
    bool finished = finishRecordFile(previous, true, true);
    unbindFunctions(previous);
    detachBindings(previous);
    g_liveTest = nullptr;
    if (g_current == previous) g_current = nullptr;
    if (!finished) {
      zek_unload();
      zek_free(g_orphanProgram);
      g_orphanProgram = nullptr;
      zek_free(bytes);
      std::free(e);
      return nullptr;
    }
  }
  // 2. Load; from here on the VM no longer points into an orphaned program. The loader knows
  // the size read: a file shorter than its image fails as any load does, with the loader's
  // message in a fresh context, before a byte beyond the file is read.
  bool loaded = zek_loadSized(bytes, size) == 0;
  zek_free(g_orphanProgram);
  g_orphanProgram = nullptr;
  if (!loaded) {
    zek_free(bytes);
    std::free(e);
    return nullptr;
  }
  // 3.-4. The program data and the record file.
  e->program = bytes;
  e->data = zek_getData();
  uint32_t density = zek_getDensity();
  if (record.path != nullptr) {
    e->recordFile = openRecordFile(record, e->data, density);
    if (e->recordFile == nullptr) {
      g_orphanProgram = bytes;
      std::free(e);
      return nullptr;
    }
  }
  // 5.-8. Message boxes (the load cleared the command), empty lists, the function slots.
  uint16_t functions = e->data->functionCount;
  if (functions > 0) {
    e->lists.functionBindings = (FunctionSlot *)vmapi_calloc(functions, sizeof(FunctionSlot));
    if (e->lists.functionBindings == nullptr) {
      finishRecordFile(e, false, false);
      g_orphanProgram = bytes;
      std::free(e);
      zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for the function bindings.");
      return nullptr;
    }
  }
  e->lists.functionCount = functions;
  zek_installMessageBoxCmd(msgbox_command);
  g_liveTest = e;
  g_current = e;
  return e;
}

// Loading frees the program data that a running operation uses. A creation runs the error
// handler on its failures, over the execution it replaces and the one it makes.
VmapiExecution *createExecution(VmapiPath program, VmapiPath record) {
  if (!vmapi_mayStart("zek_vmapi_createExecution", VMAPI_REFUSE_LOAD)) return nullptr;
  VmapiRunning outer = vmapi_enter(VMAPI_IN_LIFECYCLE, "zek_vmapi_createExecution");
  VmapiExecution *e = create(program, record);
  vmapi_leave(outer);
  return e;
}

}  // namespace

void *vmapi_calloc(size_t count, size_t size) {
  return plat_fault_fires(PLAT_FAULT_ALLOCATION) ? nullptr : std::calloc(count, size);
}

VmapiExecution *vmapi_current(void) { return g_current; }
void vmapi_setCurrent(VmapiExecution *execution) { g_current = execution; }
VmapiExecution *vmapi_liveTest(void) { return g_liveTest; }

bool vmapi_isLiveRecordFile(const char *path) {
  const RecordFileState *r = g_liveTest != nullptr ? g_liveTest->recordFile : nullptr;
  PlatFileIdentity identity;
  return r != nullptr && r->identityKnown && path != nullptr && plat_file_identity(path, &identity) &&
         identity.volume == r->identity.volume && identity.file == r->identity.file;
}

VmapiRunning vmapi_enter(uint8_t activity, const char *operation) {
  VmapiRunning previous{g_activity, g_running, zek_holdProgram(operation)};
  g_activity = (uint8_t)(g_activity | activity);
  if (operation != nullptr) g_running = operation;
  else zek_holdProgram(previous.holder);
  return previous;
}

void vmapi_leave(VmapiRunning previous) {
  g_activity = previous.activity;
  g_running = previous.operation;
  zek_holdProgram(previous.holder);
}

bool vmapi_mayStart(const char *operation, uint8_t refusedIn) {
  uint8_t inside = (uint8_t)(g_activity & refusedIn);
  if (inside == 0) return true;
  refuse(operation, inside);
  return false;
}

// The VM's own refusals of its entries under the library's hold count as the library's.
uint32_t vmapi_refusals(void) { return g_refusals + zek_inUseRefusals(); }

void vmapi_raiseLatestRefusal(void) { raiseRefusal(g_refusedOperation, g_refusedInside, g_refusedRunning); }

bool vmapi_requireLive(const VmapiExecution *execution, const char *operation) {
  if (execution != nullptr && (execution == g_liveTest || execution == g_current)) return true;
  zek_raiseError(ZEK_ERR_API, "%s(): the execution is not live (it is null, closed or replaced by a newer one).",
                 operation);
  return false;
}

SignalBinding *vmapi_freeBinding(SignalBinding *binding) {
  SignalBinding *next = binding->next;
  std::free(binding->dims16);
  std::free(binding);
  return next;
}

void vmapi_freeLists(BindingLists *l) {
  for (SignalBinding *b = l->inputHead; b != nullptr;) b = vmapi_freeBinding(b);
  for (SignalBinding *b = l->outputHead; b != nullptr;) b = vmapi_freeBinding(b);
  if (l->functionBindings != nullptr)
    for (uint16_t i = 0; i < l->functionCount; ++i)
      for (SignalBinding *b = l->functionBindings[i].head; b != nullptr;) b = vmapi_freeBinding(b);
  std::free(l->functionBindings);
  *l = BindingLists{};
}

uint8_t *vmapi_readWholeFile(VmapiPath path, uint64_t *size) {
  bool owned = false;
  const char *name = vmapi_pathToMultibyte(path, &owned);
  if (name == nullptr) return nullptr;
  Multibyte shown{name, owned};
  uint8_t *buffer = nullptr;
  uint64_t length = 0;
  switch (plat_file_read_all(name, &buffer, &length)) {
    case PLAT_FILE_OK: break;
    case PLAT_FILE_NO_FILE: {
      // A file that exists but cannot be opened (no permission, say) is told apart from one
      // that is not there.
      PlatFileIdentity identity;
      if (plat_file_identity(name, &identity)) {
        zek_raiseError(ZEK_ERR_FILE, "ERROR: Unable to open file '%s' for %s access.", name, "read");
        return nullptr;
      }
    }
      [[fallthrough]];
    case PLAT_FILE_NOT_REGULAR:
    case PLAT_FILE_DIRECTORY:
      zek_raiseError(ZEK_ERR_FILE,
                     "ERROR: Cannot detect file size of file '%s'. May be it does not exists or the user has "
                     "insufficient permission.",
                     name);
      return nullptr;
    case PLAT_FILE_READ_FAILED:
      zek_raiseError(ZEK_ERR_FILE, "ERROR: An error occurred while reading file '%s'.", name);
      return nullptr;
    case PLAT_FILE_NO_MEMORY:
      zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for file buffer.");
      return nullptr;
  }
  // The VM addresses an image in 32 bits; an empty file still gets a real buffer.
  if (length >= 0xFFFFFFFFu || (buffer == nullptr && (buffer = (uint8_t *)zek_malloc(1)) == nullptr)) {
    std::free(buffer);
    zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for file buffer.");
    return nullptr;
  }
  *size = length;
  return buffer;
}

void vmapi_writeRecordRow(VmapiExecution *e) {
  RecordFileState *r = e->recordFile;
  if (r == nullptr) return;
  // The density is the VM's at the time of the row, so that a step size set after creation
  // counts; times are 64-bit, a long run's times do not wrap.
  r->density = zek_getDensity();
  uint64_t time = r->recorder.rows * r->density;
  const EventRecord *events = e->data != nullptr ? e->data->eventList : nullptr;
  // A failure is raised by the row that meets it; one that stood before (the header's) is
  // raised when the file is finished.
  int32_t before = zekbin_writerResult(r->recorder.writer);
  int32_t result = zekbin_recorderRow(&r->recorder, events, time);
  if (result != ZEKBIN_WRITE_OK && before == ZEKBIN_WRITE_OK)
    zek_raiseError(ZEK_ERR_FILE, "ERROR: while writing the record file: %s", zekbin_writeResultText(result));
}

ZEK_EXPORT VmapiExecution *zek_vmapi_createExecution(const char *programFile, const char *recordFile) {
  if (programFile == nullptr) {
    zek_raiseError(ZEK_ERR_API, "zek_vmapi_createExecution(): no program file given.");
    return nullptr;
  }
  return createExecution(VmapiPath{programFile, 0}, VmapiPath{recordFile, 0});
}

// The wide form, for the whole-test-case run.
VmapiExecution *vmapi_createExecutionWide(const wchar_t *programFile, const wchar_t *recordFile) {
  if (programFile == nullptr) {
    zek_raiseError(ZEK_ERR_API, "zek_vmapi_createExecution(): no program file given.");
    return nullptr;
  }
  return createExecution(VmapiPath{programFile, 1}, VmapiPath{recordFile, 1});
}

void vmapi_close(VmapiExecution *e, const char *operation) {
  if (e == nullptr) return;
  // Finishing the record file runs the error handler on its failure, with the execution, its
  // record and the program still in use.
  VmapiRunning outer = vmapi_enter(VMAPI_IN_LIFECYCLE, operation);
  if (e == g_liveTest) {
    // The ordered end: an attached IDE gets the final state, the dialog ends, then the file.
    if (zek_sharedmem_isAttached())
      zek_sharedmem_aftercycle(e->lastCycleResult != ZEK_CYCLE_GO_ON ? e->lastCycleResult : (int32_t)ZEK_CYCLE_TEST_ENDED);
    zek_sharedmem_shutdown();
    msgbox_shutdown();
    finishRecordFile(e, true, false);
    unbindFunctions(e);
    g_liveTest = nullptr;
    // The VM runs from this execution's bytes: it lets go of them before they are freed.
    zek_unload();
  }
  if (g_current == e) g_current = nullptr;
  if (!e->parameterExchange) zek_free(e->program);
  vmapi_freeLists(&e->lists);
  std::free(e);
  vmapi_leave(outer);
}

ZEK_EXPORT void zek_vmapi_closeExecution(VmapiExecution *e) {
  if (e == nullptr) return;
  // What a running operation uses stays until it has returned; a replaced execution's own
  // records are nobody else's and may go at any time.
  uint8_t inside = g_activity;
  if (inside != 0 && (e == g_liveTest || e == g_current)) {
    refuse("zek_vmapi_closeExecution", inside);
    return;
  }
  vmapi_close(e, "zek_vmapi_closeExecution");
}

ZEK_EXPORT void zek_vmapi_setRoundScalingResults(VmapiExecution *e, bool round) {
  if (e != nullptr) e->roundScalingResults = round ? 1 : 0;
}

// The step size may change inside a cycle as well: the VM itself refuses it after the first
// cycle, and the first cycle's time is 0 whatever the step, so a change there counts as one
// made before it.
ZEK_EXPORT uint32_t zek_vmapi_setStepSize(VmapiExecution *, int32_t stepSize) {
  return zek_setDensity((uint32_t)stepSize);
}

ZEK_EXPORT void zek_vmapi_installRealtimeCmd(ZekVmapiRealtimeCmd cmd) { zek_installRealtimeCmd(cmd); }
ZEK_EXPORT uint32_t zek_vmapi_getCycleCount(void) { return zek_getCycleCount(); }
ZEK_EXPORT uint16_t zek_vmapi_getErrorCode(void) { return zek_getErrorCode(); }
ZEK_EXPORT const char *zek_vmapi_getErrorMessage(void) { return zek_getErrorMessage(); }
ZEK_EXPORT bool zek_vmapi_hasError(void) { return zek_hasError(); }
ZEK_EXPORT void zek_vmapi_resetError(void) { zek_resetError(); }
