// Generated AND/OR/XOR/NOT decisions evaluated many times the way instrumented code does it,
// with short-circuit evaluation and switch decisions nested between conditions. After every
// batch the result file must agree with a count kept here: hits add up, first cycles stay,
// minimum distances never grow, an outcome that occurred has distance 0. Leaks show in the
// sanitizer build.
#include "track_support.h"

#include <cmath>
#include <random>

namespace {

using tt::Outcome;
using tt::TrackTest;

enum NodeKind { LEAF, AND, OR, XOR, NOT };

struct Node {
  NodeKind kind;
  int left = -1, right = -1; // NOT uses left
  uint32_t condition = 0;    // leaves: numbered left to right
  int leafKind = 0;
};

struct Tree {
  std::vector<Node> nodes;
  int root = -1;
  uint32_t conditions = 0;
};

int grow(Tree &t, std::mt19937 &rng, int depth) {
  std::uniform_int_distribution<int> pick(0, 9);
  int choice = depth <= 0 ? 0 : pick(rng);
  Node n{};
  if (choice < 3) {
    n.kind = LEAF;
    n.condition = t.conditions++;
    n.leafKind = std::uniform_int_distribution<int>(0, 8)(rng);
    t.nodes.push_back(n);
    return int(t.nodes.size()) - 1;
  }
  n.kind = choice < 5 ? AND : choice < 7 ? OR : choice < 9 ? XOR : NOT;
  // Children first, left before right, so that conditions are numbered left to right.
  int left = grow(t, rng, depth - 1);
  int right = n.kind == NOT ? -1 : grow(t, rng, depth - 1);
  n.left = left;
  n.right = right;
  t.nodes.push_back(n);
  return int(t.nodes.size()) - 1;
}

struct Counts {
  int32_t decisionTrue = 0, decisionFalse = 0;
  std::vector<int32_t> condTrue, condFalse;
};

struct RandomRun {
  std::mt19937 rng;
  uint32_t switchDecision;
  std::vector<int32_t> caseHits = std::vector<int32_t>(3, 0);
};

void pushOperand(RandomRun &run, int32_t v) {
  switch (std::uniform_int_distribution<int>(0, 3)(run.rng)) {
  case 0: ZEK_TRACK_push_int32(v); break;
  case 1: ZEK_TRACK_push_double(v); break;
  case 2: ZEK_TRACK_push_int8(int8_t(v)); break;
  default: ZEK_TRACK_push_int64(v); break;
  }
}

bool evaluateLeaf(RandomRun &run, const Node &n) {
  std::uniform_int_distribution<int32_t> small(-3, 3);
  uint32_t i = n.condition;
  switch (n.leafKind) {
  case 0: return ZEK_TRACK_condition_int32(small(run.rng) > 0, i) != 0;
  case 1: return ZEK_TRACK_condition_uint8(uint8_t(std::max(0, small(run.rng))), i) != 0;
  case 2: return ZEK_TRACK_condition_double(small(run.rng) * 0.5 > 0 ? 1.5 : 0.0, i) != 0;
  default: break;
  }
  int32_t l = small(run.rng), r = small(run.rng);
  pushOperand(run, l);
  pushOperand(run, r);
  switch (n.leafKind) {
  case 3: return ZEK_TRACK_lt(l < r, i) != 0;
  case 4: return ZEK_TRACK_le(l <= r, i) != 0;
  case 5: return ZEK_TRACK_gt(l > r, i) != 0;
  case 6: return ZEK_TRACK_ge(l >= r, i) != 0;
  case 7: return ZEK_TRACK_eq(l == r, i) != 0;
  default: return ZEK_TRACK_neq(l != r, i) != 0;
  }
}

bool evaluate(RandomRun &run, const Tree &t, int at, Counts &counts) {
  const Node &n = t.nodes[at];
  switch (n.kind) {
  case LEAF: {
    // A switch decision that opens and closes between two conditions.
    if (std::uniform_int_distribution<int>(0, 7)(run.rng) == 0) {
      uint32_t c = std::uniform_int_distribution<uint32_t>(0, 2)(run.rng);
      ZEK_TRACK_switch_uint32(c, run.switchDecision, 3);
      ZEK_TRACK_case(run.switchDecision, c);
      ++run.caseHits[c];
    }
    bool v = evaluateLeaf(run, n);
    ++(v ? counts.condTrue : counts.condFalse)[n.condition];
    return v;
  }
  case AND: {
    ZEK_TRACK_push_and();
    bool l = evaluate(run, t, n.left, counts);
    bool v = l && evaluate(run, t, n.right, counts);
    return ZEK_TRACK_logop(v) != 0;
  }
  case OR: {
    ZEK_TRACK_push_or_T();
    bool l = evaluate(run, t, n.left, counts);
    bool v = l || evaluate(run, t, n.right, counts);
    return ZEK_TRACK_logop(v) != 0;
  }
  case XOR: {
    ZEK_TRACK_push_xor();
    bool l = evaluate(run, t, n.left, counts);
    bool r = evaluate(run, t, n.right, counts);
    return ZEK_TRACK_logop(l != r) != 0;
  }
  case NOT: return ZEK_TRACK_not(!evaluate(run, t, n.left, counts)) != 0;
  }
  return false;
}

// Undefined counts as farther than every distance.
double rank(double d) { return tt::isUndefined(d) ? INFINITY : d; }

void checkOutcome(const Outcome &now, const Outcome &before, int32_t expectedHits, bool mayBeUndefined,
                  const std::string &what) {
  SCOPED_TRACE(what);
  if (expectedHits >= 0) {
    EXPECT_EQ(now.hits, expectedHits);
  }
  EXPECT_GE(now.hits, before.hits);
  if (tt::isUndefined(now.distance)) {
    EXPECT_TRUE(mayBeUndefined);
  } else {
    EXPECT_FALSE(std::isnan(now.distance)) << now;
    EXPECT_GE(now.distance, 0.0) << now;
  }
  EXPECT_LE(rank(now.distance), rank(before.distance)) << now << " after " << before;
  if (now.hits > 0) {
    EXPECT_EQ(now.distance, 0.0) << now;
    EXPECT_GE(now.firstCycle, 0);
    if (before.hits > 0) {
      EXPECT_EQ(now.firstCycle, before.firstCycle);
    }
  } else {
    EXPECT_EQ(now.firstCycle, -1);
  }
}

void checkTable(const tt::Table &now, const tt::Table &before, const std::vector<Counts> &counts, const RandomRun &run) {
  ASSERT_EQ(now.decisions.size(), before.decisions.size());
  for (size_t d = 0; d < counts.size(); ++d) {
    const tt::Decision &n = now.decisions[d], &b = before.decisions[d];
    const Counts &c = counts[d];
    std::string at = "decision " + std::to_string(d);
    ASSERT_EQ(n.kind, 1) << at;
    ASSERT_EQ(n.count, c.condTrue.size()) << at;
    checkOutcome(n.decisionTrue, b.decisionTrue, c.decisionTrue, true, at + " true");
    checkOutcome(n.decisionFalse, b.decisionFalse, c.decisionFalse, true, at + " false");
    for (uint32_t i = 0; i < n.count; ++i) {
      std::string ci = at + " condition " + std::to_string(i);
      checkOutcome(n.condTrue[i], b.condTrue[i], c.condTrue[i], false, ci + " true");
      checkOutcome(n.condFalse[i], b.condFalse[i], c.condFalse[i], false, ci + " false");
      checkOutcome(n.mcdcTrue[i], b.mcdcTrue[i], -1, false, ci + " MC/DC true");
      checkOutcome(n.mcdcFalse[i], b.mcdcFalse[i], -1, false, ci + " MC/DC false");
      EXPECT_LE(n.mcdcTrue[i].hits, n.condTrue[i].hits) << ci;
      EXPECT_LE(n.mcdcFalse[i].hits, n.condFalse[i].hits) << ci;
    }
  }
  const tt::Decision &s = now.decisions[run.switchDecision];
  ASSERT_EQ(s.kind, 2);
  for (uint32_t c = 0; c < 3; ++c) {
    EXPECT_EQ(s.cases[c].hits, run.caseHits[c]) << "case " << c;
    EXPECT_TRUE(tt::isUndefined(s.cases[c].distance));
  }
}

TEST_F(TrackTest, RandomDecisionTreesAddUp) {
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomRun run{std::mt19937(seed), 0};
    std::vector<Tree> trees;
    for (int d = 0; d < 12; ++d) {
      Tree t;
      t.root = grow(t, run.rng, 1 + d % 4);
      trees.push_back(t);
    }
    run.switchDecision = uint32_t(trees.size());
    std::vector<Counts> counts(trees.size());
    for (size_t d = 0; d < trees.size(); ++d) {
      counts[d].condTrue.assign(trees[d].conditions, 0);
      counts[d].condFalse.assign(trees[d].conditions, 0);
    }
    ZEK_TRACK_init_v2(run.switchDecision + 1, 0, 1);
    // The first use fixes every entry's kind, so that the first snapshot can be compared.
    for (size_t d = 0; d < trees.size(); ++d) {
      ZEK_TRACK_init_decision(uint32_t(d), trees[d].conditions);
      bool v = evaluate(run, trees[d], trees[d].root, counts[d]);
      ++(v ? counts[d].decisionTrue : counts[d].decisionFalse);
      ZEK_TRACK_decision_int32(v, uint32_t(d));
    }
    ZEK_TRACK_switch_uint32(0, run.switchDecision, 3);
    ZEK_TRACK_case(run.switchDecision, 0);
    ++run.caseHits[0];
    ASSERT_EQ(tt::heldError(), "");
    tt::Table before = tt::snapshot();
    uint32_t cycle = 1;
    for (int batch = 0; batch < 6; ++batch) {
      for (int step = 0; step < 100; ++step, ++cycle) {
        standin_setCycleCount(cycle);
        for (size_t d = 0; d < trees.size(); ++d) {
          ZEK_TRACK_init_decision(uint32_t(d), trees[d].conditions);
          bool v = evaluate(run, trees[d], trees[d].root, counts[d]);
          ++(v ? counts[d].decisionTrue : counts[d].decisionFalse);
          ZEK_TRACK_decision_uint16(v, uint32_t(d));
        }
      }
      ASSERT_EQ(tt::heldError(), "");
      tt::Table now = tt::snapshot();
      checkTable(now, before, counts, run);
      if (HasFailure()) return;
      before = now;
    }
    ZEK_TRACK_cleanup();
  }
}

} // namespace
