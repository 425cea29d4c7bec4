#pragma once
// The one header a host of the virtual machine includes: the exported VM functions and records,
// the common helpers (error codes, base types, memory, strings), and the few host-side calls
// that the hosts and the record-file and exchange services need beyond the exports. The VM
// record itself stays private to the core.
#include <cstdint>

#include "zek_common.h"
#include "zek_vm.h"

// A zero-filled block of size bytes, freed with zek_free, for memory of the host's own: null
// when it cannot be had, with the VM's error state left as it is (zek_malloc raises into it and
// calls its handler), so that the host reports the failure in its own words.
void *zek_hostMalloc(uint32_t size);

// For hosts that know the size of the buffer they read: true when the buffer holds the whole
// image that its header announces (length >= L + 4); raises the loader's error otherwise.
bool zek_checkImageSize(const uint8_t *image, uint64_t size);

// zek_load of a buffer of size bytes: a buffer shorter than the image its header announces
// fails as any load does (the program loaded before is discarded, the loader's message
// carries the VM's error context), and no byte beyond the buffer is read.
uint32_t zek_loadSized(const uint8_t *image, uint64_t size);

// The buffer the loaded program runs from (names, code, initial values): the image of the last
// successful load, null when no program is loaded. A host frees an image buffer only while the
// VM does not run from it.
const uint8_t *zek_loadedImage(void);

// A host's export that works on the loaded program while its caller's callbacks run (a
// fixed-point handler, a getter, the report callback, the error handler) holds the program
// under the export's name until it returns. Meanwhile the exported zek_load, zek_runCycle and
// zek_runServerStubFunction are refused with 123, "zek_load(): not allowed while
// zek_sfun_update() runs; call it after it returns.", because each would free or start over
// what that export uses. The host's own zek_loadSized passes its hold; around byte code of its
// own (zek_runCycle, a server function) the host lets go, and the VM's refusals inside running
// byte code apply. Null lets go. Returns the holder before, to be put back.
const char *zek_holdProgram(const char *holder);
// The number of calls refused so far because a load ran or a host held the program: a host that
// sees it change over a callback knows that the callback's call was refused, even where a later
// reset of the error state has cleared the message.
uint32_t zek_inUseRefusals(void);
// For the span of byte code a host runs itself (its zek_runCycle, a server function it
// serves): lets go of the host's hold, and puts it back at the end of the scope.
struct ZekHoldLetGo {
  const char *holder = zek_holdProgram(nullptr);
  ~ZekHoldLetGo() { zek_holdProgram(holder); }
  ZekHoldLetGo() = default;
  ZekHoldLetGo(const ZekHoldLetGo &) = delete;
  ZekHoldLetGo &operator=(const ZekHoldLetGo &) = delete;
};

// The values heap of the loaded program (null before a load) and its size in bytes.
uint8_t *zek_getValuesHeapBuffer(void);
uint32_t zek_getValuesHeapBufferSize(void);

// Sets the written flags of heap bytes first..last, both included. first > last sets nothing;
// bytes beyond the values heap are not marked.
void zek_setWrittenFlagInRange(uint32_t first, uint32_t last);

// The channel's name with its dimensions, "a[3].b[4]"; the caller frees it with zek_free.
char *zek_getFullVarname(const ChannelDecl *channel);

// Releases the EVENT records of the current cycle.
void zek_eventList_free(void);

// Releases the loaded program and everything its load allocated, as the next load would. The VM
// then holds no program (a cycle fails with "No program is loaded."), so a host may free the
// image buffer afterwards without leaving the VM pointing into freed memory.
void zek_unload(void);

// A stop request of the host, for a request to end the process (a termination signal, say)
// that must also end byte code which never ends its cycle. While it stands, the running code
// ends where it would go back (a jump, a jump table, a subroutine call or return, to the
// instruction itself or before it) or enter a function, and zek_runCycle returns
// ZEK_CYCLE_STOPPED. Code that runs forward and calls no function is not cut. The request
// stands until the host withdraws it, over loads too. Safe in a signal handler and from
// another thread.
void zek_setStopRequest(bool requested);

// The result of zek_runCycle for a cycle that a stop request cut short. It is no computed
// cycle: no error stands, the cycle count and the history stay as they were, and the end-of-
// cycle checks are not made; the values and events it produced until then stay in place. The
// host ends the run without recording the cycle.
constexpr uint32_t ZEK_CYCLE_STOPPED = 3;
