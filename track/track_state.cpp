// The decision table, the decision stack, switch decisions and the first-error message.
#include "track_state.h"

#include "zek_track.h"

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

TrackModule g_track;

void track_report_error(const char *format, ...) {
  if (g_track.error != nullptr) return;
  std::memset(g_track.errorBuffer, 0, sizeof g_track.errorBuffer);
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_track.errorBuffer, sizeof g_track.errorBuffer, format, args);
  va_end(args);
  g_track.error = g_track.errorBuffer;
}

void *track_alloc_array(uint64_t count, size_t size) {
  if (count == 0 || size == 0 || count > SIZE_MAX / size) return nullptr;
  return std::calloc(static_cast<size_t>(count), size);
}

// The VM counts cycles after computing them, so the cycle being computed is one less; before
// the first count that is cycle 0. Computed in 64 bits: a count of 0 must not wrap.
static int32_t track_current_cycle() {
  int64_t cycle = static_cast<int64_t>(zek_getCycleCount()) - 1;
  if (cycle < 0) return 0;
  if (cycle > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(cycle);
}

static void track_count_hit(TrackOutcome &o) {
  if (o.hits < INT32_MAX) ++o.hits;
  if (o.firstCycle < 0) o.firstCycle = track_current_cycle();
}

// No NaN is ever kept: a NaN of another bit pattern would not read as undefined and, never
// being smaller than anything, would stay for good.
static void track_keep_smaller(TrackOutcome &o, double d) {
  if (std::isnan(d)) return;
  if (track_is_undefined(o.minDistance) || d < o.minDistance) o.minDistance = d;
}

void track_update_outcomes(bool hitA, bool hitB, double distA, double distB, TrackOutcome &a, TrackOutcome &b) {
  if (hitA) track_count_hit(a);
  if (hitB) track_count_hit(b);
  track_keep_smaller(a, distA);
  track_keep_smaller(b, distB);
}

static void track_free_nodes(TrackNode *node) {
  while (node != nullptr) {
    TrackNode *next = node->next;
    std::free(node);
    node = next;
  }
}

void track_drop_frame() {
  TrackFrame *frame = g_track.frames;
  if (frame == nullptr) return;
  g_track.frames = frame->next;
  track_free_nodes(frame->nodes);
  std::free(frame);
}

static TrackOutcome track_outcome(double distance) { return TrackOutcome{0, -1, distance}; }

// ---- Initialisation and release ----------------------------------------------------------

void ZEK_TRACK_init_v2(uint32_t decisionCount, uint8_t, uint32_t libraryVersion) {
  if (libraryVersion != ZEK_TRACK_LIBRARY_VERSION) {
    track_report_error("The test frame was generated and instrumented with the ZEK instrumentation library "
                       "version %u but is used with version %u. Please regenerate the test frame.",
                       libraryVersion, ZEK_TRACK_LIBRARY_VERSION);
    return;
  }
  if (g_track.initialised) {
    if (decisionCount != g_track.decisionCount)
      track_report_error("Allready initialized, but with different number of decisions.");
    return;
  }
  zek_printf("KLOVA> Init to track result data for %u decisions \n", decisionCount);
  // An empty table is valid whatever the allocator makes of a size of 0.
  TrackDecision *table = nullptr;
  if (decisionCount > 0) {
    table = static_cast<TrackDecision *>(track_alloc_array(decisionCount, sizeof(TrackDecision)));
    if (table == nullptr) {
      track_report_error("Cannot allocate memory for coverage results data for '%u' decisions.", decisionCount);
      return;
    }
  }
  for (uint32_t i = 0; i < decisionCount; ++i) {
    TrackDecision &d = table[i];
    d = TrackDecision{};
    d.id = i;
    d.decisionTrue = track_outcome(track_undefined_distance());
    d.decisionFalse = track_outcome(track_undefined_distance());
  }
  g_track.decisions = table;
  g_track.decisionCount = decisionCount;
  g_track.initialised = true;
}

void ZEK_TRACK_init(void) {
  track_report_error("Invalid use of \"ZEK_TRACK_init\" to initalize the instrumentation. If the test frame was "
                     "generated and instrumented with a ZEK version before ZEK 18 please regenerate the test "
                     "frame.");
}

void ZEK_TRACK_cleanup(void) {
  while (g_track.frames != nullptr) track_drop_frame();
  for (uint32_t i = 0; i < g_track.decisionCount; ++i) std::free(g_track.decisions[i].condTrue);
  std::free(g_track.decisions);
  g_track.decisions = nullptr;
  g_track.decisionCount = 0;
  g_track.initialised = false;
}

const char *ZEK_TRACK_SL_getErrorMsg(void) { return g_track.error; }

void ZEK_TRACK_SL_resetErrorMsg(void) { g_track.error = nullptr; }

// ---- Opening decisions --------------------------------------------------------------------

static bool track_top_is_switch() {
  return g_track.frames != nullptr && g_track.frames->decision->kind == TRACK_KIND_SWITCH;
}

static void track_report_kind(uint32_t d, uint32_t stored, uint32_t used) {
  track_report_error("Inconsistent decision kind for decision %u. Data was initalized with decision kind %u but "
                     "is accessed with decision kind %u.",
                     d, stored, used);
}

// Gives a decision of kind 0 its kind, count and outcome arrays; false (with the message) when
// the arrays cannot be allocated, and the decision then stays unused.
static bool track_first_use(TrackDecision &d, uint32_t kind, uint32_t count) {
  if (count > 0) {
    uint64_t arrays = kind == TRACK_KIND_CONDITIONAL ? 4 : 1;
    TrackOutcome *block = static_cast<TrackOutcome *>(track_alloc_array(arrays * count, sizeof(TrackOutcome)));
    if (block == nullptr) {
      track_report_error("Cannot allocate memory for coverage results data of decision %u with %u %s.", d.id,
                         count, kind == TRACK_KIND_CONDITIONAL ? "conditions" : "cases");
      return false;
    }
    double initial = kind == TRACK_KIND_CONDITIONAL ? TRACK_NEVER_DISTANCE : track_undefined_distance();
    for (uint64_t i = 0; i < arrays * count; ++i) block[i] = track_outcome(initial);
    d.condTrue = block;
    if (kind == TRACK_KIND_CONDITIONAL) {
      d.condFalse = block + count;
      d.mcdcTrue = block + 2 * uint64_t{count};
      d.mcdcFalse = block + 3 * uint64_t{count};
    }
  }
  d.kind = kind;
  d.count = count;
  return true;
}

static bool track_push_frame(TrackDecision &d, uint32_t condStates) {
  size_t bytes = sizeof(TrackFrame);
  if (condStates > (SIZE_MAX - bytes) / sizeof(TrackCondState)) {
    track_report_error("Failed to allocate temporary memory to process coverage data.");
    return false;
  }
  bytes += condStates * sizeof(TrackCondState);
  TrackFrame *frame = static_cast<TrackFrame *>(std::malloc(bytes));
  if (frame == nullptr) {
    track_report_error("Failed to allocate temporary memory to process coverage data.");
    return false;
  }
  frame->decision = &d;
  frame->nodes = nullptr;
  frame->conds = condStates > 0 ? reinterpret_cast<TrackCondState *>(frame + 1) : nullptr;
  for (uint32_t i = 0; i < condStates; ++i)
    frame->conds[i] = TrackCondState{0, 0, 1, track_undefined_distance(), 0.0};
  frame->next = g_track.frames;
  g_track.frames = frame;
  return true;
}

static void track_init_decision(uint32_t d, uint32_t conditionCount) {
  if (!g_track.initialised) return;
  if (track_top_is_switch()) {
    track_report_error("Illegal instrumentation. Init conditional decision while a switch decision is still pending.");
    return;
  }
  if (d >= g_track.decisionCount) {
    track_report_error("Init for decision failed. Decision %u is out of bounds.", d);
    return;
  }
  TrackDecision &decision = g_track.decisions[d];
  if (decision.kind == TRACK_KIND_SWITCH) {
    track_report_kind(d, TRACK_KIND_SWITCH, TRACK_KIND_CONDITIONAL);
    return;
  }
  if (decision.kind == TRACK_KIND_CONDITIONAL && decision.count != conditionCount) {
    track_report_error("Inconsistent number of conditions for decision %u. Data was initalized with %u condions "
                       "but decision check is initalized with %u conditions.",
                       d, decision.count, conditionCount);
    return;
  }
  if (decision.kind == TRACK_KIND_UNUSED && !track_first_use(decision, TRACK_KIND_CONDITIONAL, conditionCount))
    return;
  track_push_frame(decision, conditionCount);
}

void ZEK_TRACK_init_decision(uint32_t decision, uint32_t conditionCount) {
  track_init_decision(decision, conditionCount);
}

int32_t ZEK_TRACK_init_decision_T(uint32_t decision, uint32_t conditionCount) {
  track_init_decision(decision, conditionCount);
  return 1;
}

void track_init_switch(uint32_t d, uint32_t caseCount) {
  if (!g_track.initialised) return;
  if (track_top_is_switch()) {
    track_report_error("Illegal instrumentation. Init switch decision while another switch decision is still pending.");
    return;
  }
  if (d >= g_track.decisionCount) {
    track_report_error("Init for decision failed. Decision %u is out of bounds.", d);
    return;
  }
  TrackDecision &decision = g_track.decisions[d];
  if (decision.kind == TRACK_KIND_CONDITIONAL) {
    track_report_kind(d, TRACK_KIND_CONDITIONAL, TRACK_KIND_SWITCH);
    return;
  }
  if (decision.kind == TRACK_KIND_SWITCH && decision.count != caseCount) {
    track_report_error("Inconsistent number of cases for decision %u. Data was initalized with %u cases but "
                       "decision check is initalized with %u cases.",
                       d, decision.count, caseCount);
    return;
  }
  if (decision.kind == TRACK_KIND_UNUSED && !track_first_use(decision, TRACK_KIND_SWITCH, caseCount)) return;
  track_push_frame(decision, 0);
}

// A failed report drops the switch frame too: left pending it would refuse every later
// decision of the run.
void ZEK_TRACK_case(uint32_t d, uint32_t caseIndex) {
  TrackFrame *frame = g_track.frames;
  if (frame == nullptr || frame->decision->kind != TRACK_KIND_SWITCH) return;
  TrackDecision &decision = *frame->decision;
  if (decision.id != d) {
    track_report_error("Illegal instrumentation. Switch case data was initalized for decision %u but case is "
                       "registered for decision %u.",
                       decision.id, d);
  } else if (caseIndex >= decision.count) {
    track_report_error("Illegal instrumentation. Case %u for decision %u is out of bounds.", caseIndex, d);
  } else {
    track_count_hit(decision.condTrue[caseIndex]);
  }
  track_drop_frame();
}
