#pragma once
// The one record of the virtual machine. Every zek_* function works on vmstate0.
#include <cstdint>

#include "zek_common.h"
#include "zek_host.h"
#include "zek_portability.h"

constexpr uint32_t ZEK_GUARD = 0x4f3ba653u;
constexpr uint32_t ZEK_MAX_CALL_DEPTH = 100;

// ZEK_STOPPED: a stop request of the host cut the running code short (zek_setStopRequest).
enum RunState : uint32_t { ZEK_RUNNING = 0, ZEK_END_OF_CYCLE = 1, ZEK_END_OF_TEST = 2, ZEK_STOPPED = 3 };

typedef void (*ZekBucketCleanup)(uint16_t index, void *bucket);

struct ByteStack {
  uint8_t *top, *base, *end;
};
struct WordStack {
  uint32_t *top, *base, *end;
};

// Cached by the loop; change only through load. The instruction loop takes these fields into
// registers once when it starts (zek_fast::takeUpFixed) and does not read them again while it
// runs, so a change in the middle of a cycle would not be seen by the fast paths: image,
// crcPosition, codeBase, swap, data.channels, data.channelCount, heap, writtenFlags and the
// bases and ends of the value and size stacks with the base of the type stack. Each is marked
// "cached" below; only zek_load and zek_initializeVars set them.
struct VmState {
  uint32_t guard1;
  uint32_t cycleTime;  // microseconds per cycle, the "density"
  uint32_t timeout;    // cycles
  double timeoutSeconds;
  uint32_t historySize;
  uint32_t part1Size, part2Size, part3Size;
  uint32_t cycleCount;
  const char *programAttributes;
  uint32_t guard2;
  double time;
  VmData data;  // cached: channels, channelCount
  const uint8_t *image;  // cached
  uint32_t crcPosition;  // cached; L - 4: the byte code and every block end before it
  const uint8_t *initialValues;
  uint32_t codeBase;  // cached
  uint32_t pc;
  uint32_t instructionAddress;
  uint32_t callDepth;
  uint32_t runState;
  uint8_t *heap;  // cached
  uint8_t *previousValues;
  uint8_t *historyRing;
  uint8_t *historySlot;
  uint8_t *writtenFlags;  // cached
  uint8_t *initialFlags;
  uint32_t bitmapSize;
  uint8_t sutSynchronous;
  uint8_t realtime;
  uint8_t swap;  // cached
  uint8_t recordCycle;
  uint8_t stringWrite;
  uint8_t loaded;  // 1 once a load succeeded, until the next load starts
  ZekMessageBoxCmd messageBoxCmd;
  ZekRealtimeCmd realtimeCmd;
  double realtimeStart;
  uint8_t realtimeActive;  // this cycle runs on the installed clock
  EventRecord *eventTail;  // last record of data.eventList, so EVENT appends in constant time
  uint32_t eventCount;     // records in data.eventList
  uint32_t guard3;
  ByteStack values;  // cached: base, end
  WordStack sizes;  // cached: base, end
  WordStack types;  // cached: base
  WordStack index;
  WordStack calls;
  void **buckets;
  ZekBucketCleanup *bucketCleanups;
  uint32_t *bucketTags;  // what kind of state each bucket holds, so a mismatch is noticed
  uint16_t bucketCount;
  uint32_t guard4;
};

extern VmState vmstate0;

// Loader internals that other parts of the VM use.
void zek_initializeVars(void);
bool zek_load_checkProgramVersion(const uint8_t *image);
void zek_load_swapValue(void *values, uint32_t count, uint32_t type);
uint16_t zek_swap2(uint16_t v);
uint32_t zek_swap4(uint32_t v);
uint64_t zek_swap8(uint64_t v);
void zek_default_bucket_cleanup(uint16_t index, void *bucket);

// Written flags and initial-value marks: one bit per heap byte.
inline void zek_bitmap_set(uint8_t *bitmap, uint32_t bit) { bitmap[bit >> 3] |= (uint8_t)(1u << (bit & 7)); }
inline bool zek_bitmap_test(const uint8_t *bitmap, uint32_t bit) { return (bitmap[bit >> 3] >> (bit & 7)) & 1u; }

// Copies one element of 1, 2, 4 or 8 bytes between the heap and the value stack. The fixed
// sizes keep the scalar paths free of library calls; four bytes (int32, uint32, float) come
// first, so that the common case costs one test.
ZEK_ALWAYS_INLINE void zek_copyElement(uint8_t *dst, const uint8_t *src, uint8_t size) {
  if (size == 4) {
    std::memcpy(dst, src, 4);
    return;
  }
  switch (size) {
    case 1: *dst = *src; break;
    case 2: std::memcpy(dst, src, 2); break;
    default: std::memcpy(dst, src, 8); break;
  }
}

// The host's stop request (zek_setStopRequest), 1 while it stands. A signal handler or another
// thread sets it: it is read and written only through zek_relaxedLoad and zek_relaxedStore.
extern uint8_t zek_stopRequest;

inline bool zek_stopRequested(void) { return zek_relaxedLoad(&zek_stopRequest) != 0; }

// Byte code repeats only where control goes back: to the instruction that moves it or before
// it (a jump, a jump table, a subroutine call or return), or into a function, which may call
// itself. Each such place asks this before it moves pc to `to`: with a stop request standing,
// the run state becomes ZEK_STOPPED (the loop ends behind the instruction) and the answer is
// true. The instruction address is the byte behind the opcode of the instruction that runs.
inline bool zek_stopGoingBack(uint32_t to) {
  VmState &vm = vmstate0;
  if (to >= vm.instructionAddress || !zek_stopRequested()) return false;
  vm.runState = ZEK_STOPPED;
  return true;
}

// Runs instructions from pc until one ends the cycle or the test, or an error stands. The run
// cycle, server functions and every nested execution use this one loop.
void zek_executeLoop(void);

// True while a cycle or a loop runs; then neither a cycle nor a load may start.
bool zek_byteCodeRunning(void);
// True while zek_load or zek_loadSized runs.
bool zek_loadRunning(void);
// True after raising 123 ("<operation>(): not allowed while zek_load() runs; call it after it
// returns.", or the holder's name in its place) when the entry named operation would free or
// start over what a running load uses, or what a host's export that holds the program uses
// (zek_holdProgram); a host's own call (hostCall) passes its hold.
bool zek_refusedWhileInUse(const char *operation, bool hostCall);

// For tests only: while this is set, zek_executeLoop sends every instruction to its handler and
// runs none of its fast paths, so that a test can hold each fast path to its handler's outcome.
// The loop reads it once when it starts, never per instruction. No host sets it.
extern bool zek_handlersOnly;

// Executes one instruction given by its opcode at the current pc (STRING runs its write so).
void zek_callByteCode(uint8_t opcode);
uint32_t zek_runCylce_terminated(void);
void zek_vmErrorContextHandler(char *buffer, uint32_t size);
void zek_serverFunctionHandler(FunctionDecl *function);
