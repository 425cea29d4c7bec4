// A pending conditional decision: operand nodes, comparison distances, logical operators with
// their MC/DC masking, and the finalisation that updates the decision's outcomes.
//
// A distance says how far the evaluated values were from producing an outcome (0: it was
// produced). Operand and operator nodes carry the distances to true and to false up the
// expression; an undefined distance stands for a missing operand.
#include "track_conditions.h"

#include "track_state.h"
#include "zek_track.h"

#include <cmath>
#include <cstdlib>

namespace {

// What a pop hands out. A failed pop gives result 0, undefined distances and the range 0..0.
struct TrackOperand {
  bool ok;
  int32_t result;
  double distTrue;
  double distFalse;
  uint32_t first;
  uint32_t last;
};

TrackOperand track_missing_operand() {
  return TrackOperand{false, 0, track_undefined_distance(), track_undefined_distance(), 0, 0};
}

// The top frame when it is a conditional decision; otherwise null after recording the message
// that fits the situation.
TrackFrame *track_conditional_frame(const char *noFrame, const char *notConditional) {
  TrackFrame *frame = g_track.frames;
  if (frame == nullptr) {
    track_report_error("%s", noFrame);
    return nullptr;
  }
  if (!track_is_conditional(frame)) {
    track_report_error("%s", notConditional);
    return nullptr;
  }
  return frame;
}

double track_sum_distances(double a, double b) {
  if (track_is_undefined(a)) return b;
  if (track_is_undefined(b)) return a;
  return a + b;
}

// Two ways to reach an outcome side by side, like parallel resistors. An infinite distance
// is a way that does not exist, so the other one counts alone (inf * b / (inf + b) would be
// NaN). When a * b overflows although the result is finite, the same value comes from the
// smaller over (1 + smaller / larger).
double track_parallel_distances(double a, double b) {
  if (track_is_undefined(a)) return b;
  if (track_is_undefined(b)) return a;
  if (std::isinf(a)) return b;
  if (std::isinf(b)) return a;
  if (a + b == 0) return 0;
  double p = a * b / (a + b);
  if (std::isinf(p) || (std::isnan(p) && !std::isnan(a) && !std::isnan(b))) {
    double lo = std::fmin(a, b), hi = std::fmax(a, b);
    p = lo / (1 + lo / hi);
  }
  return p;
}

// ---- Comparison distances (l the left, r the right operand) -------------------------------

// Equal infinities are 0 apart; any other difference is the plain one.
double track_difference(double l, double r) { return l == r ? 0.0 : l - r; }
// 0 only for a negative x; a NaN stays NaN.
double track_at_least_zero(double x) { return x < 0 ? 0.0 : x; }

// The strictness margin of less-than and greater-than.
constexpr double TRACK_STRICT_MARGIN = 1e-9;

double dist_to_less(double l, double r) { return track_at_least_zero(track_difference(l, r) + TRACK_STRICT_MARGIN); }
double dist_to_less_equal(double l, double r) { return track_at_least_zero(track_difference(l, r)); }
double dist_to_greater(double l, double r) { return track_at_least_zero(track_difference(r, l) + TRACK_STRICT_MARGIN); }
double dist_to_greater_equal(double l, double r) { return track_at_least_zero(track_difference(r, l)); }
double dist_to_equal(double l, double r) { return std::fabs(track_difference(l, r)); }
double dist_to_not_equal(double l, double r) { return l == r ? 1.0 : 0.0; }

using TrackDistanceFn = double (*)(double l, double r);

// ---- Operand stack -----------------------------------------------------------------------

void track_push_node(int32_t result, double distTrue, double distFalse, uint32_t first, uint32_t last) {
  TrackFrame *frame =
      track_conditional_frame("Illegal instrumentation. Storing condition data while decision data stack is empty.",
                              "Illegal instrumentation. Storing condition data only possible for conditional "
                              "decisions.");
  if (frame == nullptr) return;
  if (last < first) {
    track_report_error("Internal error: Illegal condition range %u to %u.", first, last);
    return;
  }
  TrackNode *node = static_cast<TrackNode *>(std::malloc(sizeof(TrackNode)));
  if (node == nullptr) {
    track_report_error("Failed to allocate temporary memory to process coverage data.");
    return;
  }
  *node = TrackNode{frame->nodes, TRACK_NODE_DATA, result, distTrue, distFalse, first, last};
  frame->nodes = node;
}

// With tolerateOperator an operator marker on top is no error: the operator had one operand.
TrackOperand track_pop_node(bool tolerateOperator) {
  TrackFrame *frame = track_conditional_frame(
      "Illegal instrumentation. Processing condition data while decision data stack is empty.",
      "Illegal instrumentation. Processing condition data only possible for conditional decisions.");
  if (frame == nullptr) return track_missing_operand();
  TrackNode *node = frame->nodes;
  if (node == nullptr) {
    track_report_error("Illegal instrumentation. Data expected on stack, but stack is empty.");
    return track_missing_operand();
  }
  if (node->kind != TRACK_NODE_DATA) {
    if (!tolerateOperator) track_report_error("Illegal instrumentation. Data expected on stack, but not available.");
    return track_missing_operand();
  }
  frame->nodes = node->next;
  TrackOperand operand{true, node->result, node->distTrue, node->distFalse, node->first, node->last};
  std::free(node);
  return operand;
}

void track_push_operator(int32_t kind) {
  if (kind == TRACK_NODE_DATA) {
    track_report_error("Invalid instrumentation for logical operator.");
    return;
  }
  TrackFrame *frame = track_conditional_frame(
      "Illegal instrumentation. Storing logical operator while decision data stack is empty.",
      "Illegal instrumentation. Storing logical operator data only possible for conditional decisions.");
  if (frame == nullptr) return;
  TrackNode *node = static_cast<TrackNode *>(std::malloc(sizeof(TrackNode)));
  if (node == nullptr) {
    track_report_error("Failed to allocate temporary memory to process coverage for logical operation.");
    return;
  }
  *node = TrackNode{frame->nodes, kind, 0, track_undefined_distance(), track_undefined_distance(), 0, 0};
  frame->nodes = node;
}

// The kind of the marker on top, or 0 (with the message) when there is none.
int32_t track_pop_operator() {
  TrackFrame *frame = track_conditional_frame(
      "Illegal instrumentation. Processing logical operator while decision data stack is empty.",
      "Illegal instrumentation. Retrieving operator from stack only possible for conditional decisions.");
  if (frame == nullptr) return 0;
  TrackNode *node = frame->nodes;
  if (node == nullptr) {
    track_report_error("Illegal instrumentation: Not initialized when retrieving operator from stack.");
    return 0;
  }
  if (node->kind == TRACK_NODE_DATA) {
    track_report_error("Illegal instrumentation. Operator expected on stack, but data found.");
    return 0;
  }
  frame->nodes = node->next;
  int32_t kind = node->kind;
  std::free(node);
  return kind;
}

// Conditions first..last no longer decide the outcome alone: the other operand of an operator
// would have to change by distance first. A later mask overwrites an earlier distance.
void track_mask_conditions(uint32_t first, uint32_t last, double distance) {
  TrackFrame *frame = track_conditional_frame(
      "Illegal instrumentation. Processing logical operator mcdc context info while decision data stack is empty.",
      "Illegal instrumentation. Processing logical operator mcdc context info only possible for conditional "
      "decisions.");
  if (frame == nullptr) return;
  uint32_t count = frame->decision->count;
  for (uint64_t i = first; i <= last && i < count; ++i) {
    frame->conds[i].unmasked = 0;
    frame->conds[i].maskDistance = distance;
  }
}

// ---- Conditions --------------------------------------------------------------------------

void track_store_condition(int32_t result, double distTrue, double distFalse, uint32_t i) {
  TrackFrame *frame = g_track.frames;
  if (frame == nullptr) {
    track_report_error("Failed to get decision context for condition %u. Decision data stack is empty.", i);
    return;
  }
  if (!track_is_conditional(frame)) {
    track_report_error("Illegal instrumentation. Storing condition results only possible for conditional decisions.");
    return;
  }
  TrackDecision &decision = *frame->decision;
  if (i >= decision.count) {
    track_report_error("Failed to store condition result data with decision %u. Condition %u is out of bounds.",
                       decision.id, i);
    return;
  }
  // A second report in the same evaluation is refused before it counts or pushes anything.
  TrackCondState &state = frame->conds[i];
  if (state.present) {
    track_report_error("Illegal instrumentation. Processing result for decision %u, condition %u but result data "
                       "is allready present.",
                       decision.id, i);
    return;
  }
  track_push_node(result, distTrue, distFalse, i, i);
  track_update_outcomes(result != 0, result == 0, distTrue, distFalse, decision.condTrue[i], decision.condFalse[i]);
  state.present = 1;
  state.result = result;
  state.flipDistance = result != 0 ? distFalse : distTrue;
}

void track_compare(int32_t result, uint32_t i, TrackDistanceFn toTrue, TrackDistanceFn toFalse) {
  if (!g_track.initialised) return;
  TrackOperand right = track_pop_node(false);
  TrackOperand left = track_pop_node(false);
  double r = right.distTrue, l = left.distTrue;
  // Without both values the comparison counts as a plain condition; its raw result is only a
  // truth value, so a true one is one step from false.
  if (track_is_undefined(r) || track_is_undefined(l)) {
    track_condition_result(result, result != 0 ? 1.0 : 0.0, i);
    return;
  }
  track_store_condition(result, toTrue(l, r), toFalse(l, r), i);
}

} // namespace

// ---- Used by the typed families ------------------------------------------------------------

void track_push_value(double value) {
  if (!g_track.initialised) return;
  track_push_node(0, value, 0.0, 0, 0);
}

void track_condition_result(int32_t result, double distanceToFalse, uint32_t i) {
  if (!g_track.initialised) return;
  if (result != 0)
    track_store_condition(result, 0.0, distanceToFalse, i);
  else
    track_store_condition(result, 1.0, 0.0, i);
}

void track_finalize_decision(bool value, uint32_t d) {
  if (!g_track.initialised) return;
  if (d >= g_track.decisionCount) {
    track_report_error("Finalizing decision data failed. Decision id %u is out of bounds.", d);
    return;
  }
  TrackFrame *frame = g_track.frames;
  if (frame == nullptr) {
    track_report_error("Finalizing decision data failed for decision %u. Decision data stack is empty.", d);
    return;
  }
  TrackDecision &decision = *frame->decision;
  if (decision.id != d) {
    track_report_error("Finalizing decision data failed for decision %u. Decision data stack has decision %u as top "
                       "level element.",
                       d, decision.id);
    return;
  }
  if (!track_is_conditional(frame)) {
    track_report_error("Illegal instrumentation. Finalizing conditional decision data for decision %u with is not "
                       "of type conditional.",
                       d);
    return;
  }
  double distTrue, distFalse;
  if (decision.count > 0) {
    TrackOperand top = track_pop_node(false);
    distTrue = top.distTrue;
    distFalse = top.distFalse;
  } else {
    distTrue = value ? 0.0 : 1.0;
    distFalse = value ? 1.0 : 0.0;
  }
  track_update_outcomes(value, !value, distTrue, distFalse, decision.decisionTrue, decision.decisionFalse);
  // A condition that short-circuit evaluation skipped changes no MC/DC outcome.
  for (uint32_t i = 0; i < decision.count; ++i) {
    const TrackCondState &c = frame->conds[i];
    if (!c.present) continue;
    double toTrue, toFalse;
    if (c.result != 0) {
      toTrue = track_sum_distances(c.maskDistance, 0.0);
      toFalse = track_sum_distances(c.maskDistance, c.flipDistance);
    } else {
      toTrue = track_sum_distances(c.maskDistance, c.flipDistance);
      toFalse = track_sum_distances(c.maskDistance, 0.0);
    }
    track_update_outcomes(c.result != 0 && c.unmasked, c.result == 0 && c.unmasked, toTrue, toFalse,
                          decision.mcdcTrue[i], decision.mcdcFalse[i]);
  }
  track_drop_frame();
}

// ---- Exports -------------------------------------------------------------------------------

int32_t ZEK_TRACK_lt(int32_t result, uint32_t i) {
  track_compare(result, i, dist_to_less, dist_to_greater_equal);
  return result;
}
int32_t ZEK_TRACK_le(int32_t result, uint32_t i) {
  track_compare(result, i, dist_to_less_equal, dist_to_greater);
  return result;
}
int32_t ZEK_TRACK_gt(int32_t result, uint32_t i) {
  track_compare(result, i, dist_to_greater, dist_to_less_equal);
  return result;
}
int32_t ZEK_TRACK_ge(int32_t result, uint32_t i) {
  track_compare(result, i, dist_to_greater_equal, dist_to_less);
  return result;
}
int32_t ZEK_TRACK_eq(int32_t result, uint32_t i) {
  track_compare(result, i, dist_to_equal, dist_to_not_equal);
  return result;
}
int32_t ZEK_TRACK_neq(int32_t result, uint32_t i) {
  track_compare(result, i, dist_to_not_equal, dist_to_equal);
  return result;
}

void ZEK_TRACK_push_and(void) {
  if (g_track.initialised) track_push_operator(TRACK_NODE_AND);
}
void ZEK_TRACK_push_or(void) {
  if (g_track.initialised) track_push_operator(TRACK_NODE_OR);
}
void ZEK_TRACK_push_xor(void) {
  if (g_track.initialised) track_push_operator(TRACK_NODE_XOR);
}
int32_t ZEK_TRACK_push_and_T(void) {
  ZEK_TRACK_push_and();
  return 1;
}
int32_t ZEK_TRACK_push_or_T(void) {
  ZEK_TRACK_push_or();
  return 1;
}
int32_t ZEK_TRACK_push_xor_T(void) {
  ZEK_TRACK_push_xor();
  return 1;
}

// Operand 1 is the right operand, or the only one when short-circuit evaluation skipped the
// other; operand 2 the left. Conditions are numbered left to right, so the combined node
// covers operand 2's first to operand 1's last condition.
int32_t ZEK_TRACK_logop(int32_t value) {
  if (!g_track.initialised) return value;
  TrackOperand op1 = track_pop_node(false);
  TrackOperand op2 = track_pop_node(true);
  bool two = op2.ok;
  double distTrue = track_undefined_distance(), distFalse = track_undefined_distance();
  switch (track_pop_operator()) {
  case TRACK_NODE_OR:
    distTrue = track_parallel_distances(op1.distTrue, op2.distTrue);
    distFalse = track_sum_distances(op1.distFalse, op2.distFalse);
    // A true operand holds the OR true whatever the other does.
    if (two && op1.result != 0) track_mask_conditions(op2.first, op2.last, op1.distFalse);
    if (two && op2.result != 0) track_mask_conditions(op1.first, op1.last, op2.distFalse);
    break;
  case TRACK_NODE_AND:
    distTrue = track_sum_distances(op1.distTrue, op2.distTrue);
    distFalse = track_parallel_distances(op1.distFalse, op2.distFalse);
    // A false operand holds the AND false whatever the other does.
    if (two && op1.result == 0) track_mask_conditions(op2.first, op2.last, op1.distTrue);
    if (two && op2.result == 0) track_mask_conditions(op1.first, op1.last, op2.distTrue);
    break;
  case TRACK_NODE_XOR:
    distTrue = value != 0 ? 0.0 : 1.0;
    distFalse = value != 0 ? 1.0 : 0.0;
    break;
  default: // no marker: its message stands, and the distances stay undefined
    break;
  }
  track_push_node(value, distTrue, distFalse, two ? op2.first : op1.first, op1.last);
  return value;
}

int32_t ZEK_TRACK_not(int32_t value) {
  if (!g_track.initialised) return value;
  TrackOperand operand = track_pop_node(false);
  if (operand.ok) track_push_node(value, operand.distFalse, operand.distTrue, operand.first, operand.last);
  return value;
}
