// The runtime's life cycle and its answers to misuse: initialisation, release, the first-error
// message with its exact texts, kind and count conflicts and pending frames.
#include "track_support.h"

#include <functional>

namespace {

using tt::Outcome;
using tt::TrackTest;

TEST_F(TrackTest, OnlyTheFirstErrorIsHeldUntilItIsReset) {
  EXPECT_EQ(ZEK_TRACK_SL_getErrorMsg(), nullptr);
  ZEK_TRACK_init();
  ZEK_TRACK_init_v2(1, 0, 2);
  EXPECT_EQ(tt::heldError(), "Invalid use of \"ZEK_TRACK_init\" to initalize the instrumentation. If the test frame "
                             "was generated and instrumented with a ZEK version before ZEK 18 please regenerate the "
                             "test frame.");
  ZEK_TRACK_SL_resetErrorMsg();
  EXPECT_EQ(ZEK_TRACK_SL_getErrorMsg(), nullptr);
  ZEK_TRACK_init_v2(1, 0, 2);
  EXPECT_EQ(tt::heldError(), "The test frame was generated and instrumented with the ZEK instrumentation library "
                             "version 2 but is used with version 1. Please regenerate the test frame.");
}

// A rejected version leaves the runtime uninitialised: recording calls return their argument
// and do nothing, and saving is refused.
TEST_F(TrackTest, WrongVersionLeavesTheRuntimeUninitialised) {
  ZEK_TRACK_init_v2(2, 0, 2);
  ZEK_TRACK_SL_resetErrorMsg();
  ZEK_TRACK_init_decision(0, 1);
  EXPECT_EQ(ZEK_TRACK_push_int16(-7), -7);
  EXPECT_EQ(ZEK_TRACK_lt(1, 0), 1);
  EXPECT_EQ(ZEK_TRACK_condition_double(2.5, 0), 2.5);
  EXPECT_EQ(ZEK_TRACK_logop(3), 3);
  EXPECT_EQ(ZEK_TRACK_not(4), 4);
  EXPECT_EQ(ZEK_TRACK_push_or_T(), 1);
  EXPECT_EQ(ZEK_TRACK_decision_uint32(5u, 0), 5u);
  EXPECT_EQ(ZEK_TRACK_switch_int64(-9, 0, 2), -9);
  ZEK_TRACK_case(0, 0);
  EXPECT_EQ(ZEK_TRACK_SL_getErrorMsg(), nullptr);
  std::string path = tt::tempPath("never.bin");
  ZEK_TRACK_save_to(path.c_str());
  EXPECT_EQ(tt::heldError(), "ZEK_TRACKS_init() has not been called before or failed.");
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(std::string(standin_printed()), "");
}

TEST_F(TrackTest, ReinitialisationKeepsTheCountersOrRefusesAnotherCount) {
  ZEK_TRACK_init_v2(2, 0, 1);
  ZEK_TRACK_switch_int32(0, 1, 2);
  ZEK_TRACK_case(1, 1);
  ZEK_TRACK_init_v2(2, 7, 1);
  EXPECT_EQ(ZEK_TRACK_SL_getErrorMsg(), nullptr);
  ZEK_TRACK_init_v2(3, 0, 1);
  EXPECT_EQ(tt::heldError(), "Allready initialized, but with different number of decisions.");
  ZEK_TRACK_SL_resetErrorMsg();
  tt::Table kept = tt::snapshot();
  ASSERT_EQ(kept.decisions.size(), 2u);
  EXPECT_EQ(kept.decisions[1].cases[1].hits, 1);
  EXPECT_EQ(std::string(standin_printed()).find("KLOVA> Init to track result data for 2 decisions \n"), 0u);
  EXPECT_EQ(std::string(standin_printed()).find("KLOVA", 1), std::string::npos);

  // After the release everything starts afresh, with another count too.
  ZEK_TRACK_cleanup();
  ZEK_TRACK_init_v2(3, 0, 1);
  tt::Table fresh = tt::snapshot("fresh.bin");
  ASSERT_EQ(fresh.decisions.size(), 3u);
  for (const tt::Decision &d : fresh.decisions) EXPECT_EQ(d.kind, 0);
}

// Pending frames of every kind, with operand nodes and markers, are released by the cleanup
// (the sanitizer build checks for leaks at exit), and a new run starts without them.
TEST_F(TrackTest, CleanupReleasesPendingFrames) {
  ZEK_TRACK_init_v2(3, 0, 1);
  ZEK_TRACK_init_decision(0, 3);
  ZEK_TRACK_push_and();
  ZEK_TRACK_condition_int32(1, 0);
  ZEK_TRACK_push_or();
  ZEK_TRACK_push_double(1.5);
  ZEK_TRACK_init_decision(1, 0);
  ZEK_TRACK_switch_uint8(1, 2, 2);
  EXPECT_EQ(ZEK_TRACK_SL_getErrorMsg(), nullptr);
  ZEK_TRACK_cleanup();

  ZEK_TRACK_init_v2(3, 0, 1);
  ZEK_TRACK_case(2, 1); // no frame: nothing happens
  ZEK_TRACK_init_decision(0, 1);
  EXPECT_EQ(tt::heldError(), "");
  ZEK_TRACK_condition_int32(1, 0);
  ZEK_TRACK_decision_int32(1, 0);
  EXPECT_EQ(tt::heldError(), "");
  tt::Table t = tt::snapshot();
  EXPECT_EQ(t.decisions[0].count, 1u);
  EXPECT_EQ(t.decisions[0].decisionTrue.hits, 1);
  EXPECT_EQ(t.decisions[2].kind, 0);
}

// A failed case report drops its switch frame: the run's later decisions are not blocked.
TEST_F(TrackTest, AFailedCaseReportDropsTheSwitchFrame) {
  ZEK_TRACK_init_v2(2, 0, 1);
  ZEK_TRACK_switch_int32(4, 0, 4);
  ZEK_TRACK_case(0, 4);
  EXPECT_EQ(tt::heldError(), "Illegal instrumentation. Case 4 for decision 0 is out of bounds.");
  ZEK_TRACK_SL_resetErrorMsg();
  ZEK_TRACK_switch_int32(1, 0, 4);
  EXPECT_EQ(ZEK_TRACK_SL_getErrorMsg(), nullptr);
  ZEK_TRACK_case(1, 0);
  EXPECT_EQ(tt::heldError(), "Illegal instrumentation. Switch case data was initalized for decision 0 but case is "
                             "registered for decision 1.");
  ZEK_TRACK_SL_resetErrorMsg();
  ZEK_TRACK_init_decision(1, 0);
  ZEK_TRACK_decision_int32(1, 1);
  ZEK_TRACK_switch_int32(1, 0, 4);
  ZEK_TRACK_case(0, 1);
  EXPECT_EQ(ZEK_TRACK_SL_getErrorMsg(), nullptr);
  tt::Table t = tt::snapshot();
  EXPECT_EQ(t.decisions[0].cases[1].hits, 1);
  EXPECT_EQ(t.decisions[0].cases[0].hits, 0);
  EXPECT_EQ(t.decisions[1].decisionTrue.hits, 1);
}

// A kind or count conflict opens no frame, and the entry keeps the kind of its first use.
TEST_F(TrackTest, KindAndCountConflicts) {
  struct Row {
    const char *what;
    std::function<void()> first, second;
    const char *message;
  };
  // The first use is a complete evaluation; the second one conflicts with it.
  auto switchOf = [](uint32_t cases) {
    return [cases] {
      ZEK_TRACK_switch_int32(0, 3, cases);
      ZEK_TRACK_case(3, 0);
    };
  };
  auto conditionalOf = [](uint32_t conditions) {
    return [conditions] {
      ZEK_TRACK_init_decision(3, conditions);
      ZEK_TRACK_condition_int32(1, 0);
      ZEK_TRACK_decision_int32(1, 3);
    };
  };
  const Row rows[] = {
      {"switch, then conditional", switchOf(4), [] { ZEK_TRACK_init_decision(3, 2); },
       "Inconsistent decision kind for decision 3. Data was initalized with decision kind 2 but is accessed with "
       "decision kind 1."},
      {"conditional, then switch", conditionalOf(2), [] { ZEK_TRACK_switch_uint16(0, 3, 2); },
       "Inconsistent decision kind for decision 3. Data was initalized with decision kind 1 but is accessed with "
       "decision kind 2."},
      {"another condition count", conditionalOf(2), [] { ZEK_TRACK_init_decision_T(3, 5); },
       "Inconsistent number of conditions for decision 3. Data was initalized with 2 condions but decision check "
       "is initalized with 5 conditions."},
      {"another case count", switchOf(4), [] { ZEK_TRACK_switch_int8(0, 3, 3); },
       "Inconsistent number of cases for decision 3. Data was initalized with 4 cases but decision check is "
       "initalized with 3 cases."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ZEK_TRACK_init_v2(4, 0, 1);
    row.first();
    EXPECT_EQ(ZEK_TRACK_SL_getErrorMsg(), nullptr);
    tt::Decision before = tt::snapshot().decisions[3];
    row.second();
    EXPECT_EQ(tt::heldError(), row.message);
    ZEK_TRACK_SL_resetErrorMsg();
    // No frame was opened: finalising finds an empty stack.
    ZEK_TRACK_decision_int32(0, 3);
    EXPECT_EQ(tt::heldError(), "Finalizing decision data failed for decision 3. Decision data stack is empty.");
    ZEK_TRACK_SL_resetErrorMsg();
    tt::Decision after = tt::snapshot().decisions[3];
    EXPECT_EQ(after.kind, before.kind);
    EXPECT_EQ(after.count, before.count);
    ZEK_TRACK_cleanup();
  }
}

// Misuse of the calling protocol: each row is one sequence of calls and the message it holds.
TEST_F(TrackTest, ProtocolMisuseMessages) {
  struct Row {
    const char *what;
    std::function<void()> calls;
    const char *message;
  };
  const Row rows[] = {
      {"decision out of bounds", [] { ZEK_TRACK_init_decision(4, 1); },
       "Init for decision failed. Decision 4 is out of bounds."},
      {"largest index prints unsigned", [] { ZEK_TRACK_switch_uint32(0, 4294967295u, 1); },
       "Init for decision failed. Decision 4294967295 is out of bounds."},
      {"conditional under a switch",
       [] {
         ZEK_TRACK_switch_int32(0, 0, 2);
         ZEK_TRACK_init_decision(1, 1);
       },
       "Illegal instrumentation. Init conditional decision while a switch decision is still pending."},
      {"switch under a switch",
       [] {
         ZEK_TRACK_switch_int32(0, 0, 2);
         ZEK_TRACK_switch_int32(0, 1, 2);
       },
       "Illegal instrumentation. Init switch decision while another switch decision is still pending."},
      {"condition without decision", [] { ZEK_TRACK_condition_int32(1, 2); },
       "Failed to get decision context for condition 2. Decision data stack is empty."},
      {"condition in a switch",
       [] {
         ZEK_TRACK_switch_int32(0, 0, 2);
         ZEK_TRACK_condition_int32(1, 0);
       },
       "Illegal instrumentation. Storing condition results only possible for conditional decisions."},
      {"condition out of bounds",
       [] {
         ZEK_TRACK_init_decision(1, 2);
         ZEK_TRACK_condition_int32(1, 2);
       },
       "Failed to store condition result data with decision 1. Condition 2 is out of bounds."},
      {"operand without decision", [] { ZEK_TRACK_push_int32(1); },
       "Illegal instrumentation. Storing condition data while decision data stack is empty."},
      {"operand in a switch",
       [] {
         ZEK_TRACK_switch_int32(0, 0, 2);
         ZEK_TRACK_push_float(1.0f);
       },
       "Illegal instrumentation. Storing condition data only possible for conditional decisions."},
      {"comparison without decision", [] { ZEK_TRACK_eq(1, 0); },
       "Illegal instrumentation. Processing condition data while decision data stack is empty."},
      {"comparison without operands",
       [] {
         ZEK_TRACK_init_decision(1, 1);
         ZEK_TRACK_gt(1, 0);
       },
       "Illegal instrumentation. Data expected on stack, but stack is empty."},
      {"comparison right after a marker",
       [] {
         ZEK_TRACK_init_decision(1, 1);
         ZEK_TRACK_push_and();
         ZEK_TRACK_le(1, 0);
       },
       "Illegal instrumentation. Data expected on stack, but not available."},
      {"marker without decision", [] { ZEK_TRACK_push_xor(); },
       "Illegal instrumentation. Storing logical operator while decision data stack is empty."},
      {"marker in a switch",
       [] {
         ZEK_TRACK_switch_int32(0, 0, 2);
         ZEK_TRACK_push_and_T();
       },
       "Illegal instrumentation. Storing logical operator data only possible for conditional decisions."},
      {"operator without marker",
       [] {
         ZEK_TRACK_init_decision(1, 2);
         ZEK_TRACK_condition_int32(1, 0);
         ZEK_TRACK_condition_int32(1, 1);
         ZEK_TRACK_logop(1);
       },
       "Illegal instrumentation: Not initialized when retrieving operator from stack."},
      {"operator over three operands",
       [] {
         ZEK_TRACK_init_decision(1, 3);
         ZEK_TRACK_condition_int32(1, 0);
         ZEK_TRACK_condition_int32(1, 1);
         ZEK_TRACK_condition_int32(1, 2);
         ZEK_TRACK_logop(1);
       },
       "Illegal instrumentation. Operator expected on stack, but data found."},
      {"operands out of order",
       [] {
         ZEK_TRACK_init_decision(1, 2);
         ZEK_TRACK_push_or();
         ZEK_TRACK_condition_int32(0, 1);
         ZEK_TRACK_condition_int32(0, 0);
         ZEK_TRACK_logop(0);
       },
       "Internal error: Illegal condition range 1 to 0."},
      {"negation without operand",
       [] {
         ZEK_TRACK_init_decision(1, 1);
         ZEK_TRACK_not(1);
       },
       "Illegal instrumentation. Data expected on stack, but stack is empty."},
      {"condition twice",
       [] {
         ZEK_TRACK_init_decision(1, 2);
         ZEK_TRACK_condition_int32(1, 1);
         ZEK_TRACK_condition_int32(0, 1);
       },
       "Illegal instrumentation. Processing result for decision 1, condition 1 but result data is allready present."},
      {"finalising out of bounds", [] { ZEK_TRACK_decision_int32(1, 4); },
       "Finalizing decision data failed. Decision id 4 is out of bounds."},
      {"finalising without frame", [] { ZEK_TRACK_decision_float(1.0f, 2); },
       "Finalizing decision data failed for decision 2. Decision data stack is empty."},
      {"finalising another decision",
       [] {
         ZEK_TRACK_init_decision(1, 0);
         ZEK_TRACK_decision_int32(1, 2);
       },
       "Finalizing decision data failed for decision 2. Decision data stack has decision 1 as top level element."},
      {"finalising a switch",
       [] {
         ZEK_TRACK_switch_int32(0, 0, 2);
         ZEK_TRACK_decision_int32(1, 0);
       },
       "Illegal instrumentation. Finalizing conditional decision data for decision 0 with is not of type "
       "conditional."},
      {"finalising without operands",
       [] {
         ZEK_TRACK_init_decision(1, 1);
         ZEK_TRACK_decision_int32(1, 1);
       },
       "Illegal instrumentation. Data expected on stack, but stack is empty."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ZEK_TRACK_init_v2(4, 0, 1);
    row.calls();
    EXPECT_EQ(tt::heldError(), row.message);
    ZEK_TRACK_SL_resetErrorMsg();
    // Whatever the misuse did, the table still saves completely.
    tt::snapshot();
    ZEK_TRACK_cleanup();
  }
}

// A condition reported a second time in one evaluation is refused before it is counted.
TEST_F(TrackTest, ASecondReportOfAConditionCountsNothing) {
  ZEK_TRACK_init_v2(1, 0, 1);
  ZEK_TRACK_init_decision(0, 1);
  ZEK_TRACK_condition_int32(1, 0);
  ZEK_TRACK_condition_int32(0, 0);
  ZEK_TRACK_decision_int32(1, 0);
  EXPECT_NE(tt::heldError(), "");
  ZEK_TRACK_SL_resetErrorMsg();
  const tt::Decision d = tt::snapshot().decisions[0];
  EXPECT_EQ(d.condTrue[0], (Outcome{1, 0, 0.0}));
  EXPECT_EQ(d.condFalse[0], (Outcome{0, -1, 1.0}));
  EXPECT_EQ(d.mcdcTrue[0], (Outcome{1, 0, 0.0}));
  EXPECT_EQ(d.decisionTrue, (Outcome{1, 0, 0.0}));
}

// Failed pops hand out undefined distances, which leave the kept distances alone.
TEST_F(TrackTest, AFailedPopChangesNoDistance) {
  ZEK_TRACK_init_v2(1, 0, 1);
  ZEK_TRACK_init_decision(0, 1);
  ZEK_TRACK_decision_int32(0, 0);
  EXPECT_EQ(tt::heldError(), "Illegal instrumentation. Data expected on stack, but stack is empty.");
  ZEK_TRACK_SL_resetErrorMsg();
  const tt::Decision d = tt::snapshot().decisions[0];
  EXPECT_EQ(d.decisionFalse, (Outcome{1, 0, tt::undefinedDistance()}));
  EXPECT_EQ(d.decisionTrue, tt::undefinedOutcome());
}

} // namespace
