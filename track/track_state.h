#pragma once
// The records of the coverage-tracking runtime and the operations its units share.
#include <bit>
#include <cstddef>
#include <cstdint>

// Bound from the S-function library when this library is loaded: console output (the MATLAB
// command window there) and the number of cycles the test's virtual machine has computed.
#if defined(_WIN32)
#define ZEK_TRACK_IMPORT extern "C" __declspec(dllimport)
#else
#define ZEK_TRACK_IMPORT extern "C" __attribute__((visibility("default")))
#endif
ZEK_TRACK_IMPORT void zek_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
ZEK_TRACK_IMPORT uint32_t zek_getCycleCount(void);

// Counters of one outcome; also the 16-byte unit of the result file.
struct TrackOutcome {
  int32_t hits;       // saturates at INT32_MAX
  int32_t firstCycle; // -1 while the outcome never occurred
  double minDistance; // smallest distance to the outcome seen so far
};

enum : uint32_t { TRACK_KIND_UNUSED = 0, TRACK_KIND_CONDITIONAL = 1, TRACK_KIND_SWITCH = 2 };

// One entry of the decision table. Kind and count are fixed by the first use; they are set
// only once the arrays exist. For a conditional decision one block holds the four condition
// arrays one after another (condTrue owns it); for a switch decision condTrue is the case
// array and the other three are null.
struct TrackDecision {
  uint32_t id;
  uint32_t kind;
  uint32_t count;
  TrackOutcome *condTrue;
  TrackOutcome *condFalse;
  TrackOutcome *mcdcTrue;
  TrackOutcome *mcdcFalse;
  TrackOutcome decisionTrue;
  TrackOutcome decisionFalse;
};

enum : int32_t { TRACK_NODE_DATA = 1, TRACK_NODE_OR = 2, TRACK_NODE_AND = 3, TRACK_NODE_XOR = 4 };

// An entry of a pending conditional decision's operand stack: an operand (data) or the
// marker of a logical operator whose operands follow above it.
struct TrackNode {
  TrackNode *next;
  int32_t kind;
  int32_t result;
  double distTrue;  // a pushed operand value travels here
  double distFalse;
  uint32_t first; // the condition indices the node covers
  uint32_t last;
};

// What one condition did in the pending evaluation.
struct TrackCondState {
  int32_t result;
  uint8_t present;  // evaluated in this evaluation
  uint8_t unmasked; // no logical operator masked it
  double flipDistance;
  double maskDistance;
};

// A pending decision. A switch frame (its decision has kind 2) owns nothing more; a
// conditional frame owns its operand nodes and the condition states, which share the
// frame's allocation.
struct TrackFrame {
  TrackFrame *next;
  TrackDecision *decision;
  TrackNode *nodes;
  TrackCondState *conds;
};

constexpr size_t TRACK_ERROR_CAPACITY = 2048;

struct TrackModule {
  bool initialised;
  uint32_t decisionCount;
  TrackDecision *decisions;
  TrackFrame *frames;
  const char *error; // null while no message is held
  char errorBuffer[TRACK_ERROR_CAPACITY];
};

extern TrackModule g_track;

// A distance is undefined only with exactly these bits; other NaNs are ordinary values.
constexpr uint64_t TRACK_UNDEFINED_BITS = 0x7FF8000000000000ull;
constexpr double TRACK_NEVER_DISTANCE = 10000000.0; // condition and MC/DC outcomes not yet reached

inline double track_undefined_distance() { return std::bit_cast<double>(TRACK_UNDEFINED_BITS); }
inline bool track_is_undefined(double d) { return std::bit_cast<uint64_t>(d) == TRACK_UNDEFINED_BITS; }

// Keeps the first message until it is fetched and reset.
void track_report_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Zero-filled room for count elements of size bytes, or null when the size does not fit or the
// allocation fails (callers handle count 0 themselves).
void *track_alloc_array(uint64_t count, size_t size);

// Counts the outcomes that occurred and keeps the smaller distance of each outcome.
void track_update_outcomes(bool hitA, bool hitB, double distA, double distB, TrackOutcome &a, TrackOutcome &b);

// Opens a switch decision (every ZEK_TRACK_switch_<type>).
void track_init_switch(uint32_t decision, uint32_t caseCount);

// Unlinks and frees the top frame with whatever operand nodes it still holds.
void track_drop_frame();

inline bool track_is_conditional(const TrackFrame *frame) {
  return frame->decision->kind == TRACK_KIND_CONDITIONAL;
}
