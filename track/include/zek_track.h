#pragma once
// The coverage-tracking runtime ZEK_SL_Instrumentation_rt: the functions that instrumented
// model code calls each step to record decision, condition, switch-case and MC/DC coverage,
// and the writer of the coverage result file.
//
// One evaluation of a conditional decision d with n conditions:
//   ZEK_TRACK_init_decision(d, n);
//   per logical operator: its marker (ZEK_TRACK_push_and / _or / _xor, or the _T form) before
//     its operands, then the operands, then ZEK_TRACK_logop(value of the operator);
//   per condition, numbered 0..n-1 from left to right: ZEK_TRACK_push_<type>(left),
//     ZEK_TRACK_push_<type>(right), ZEK_TRACK_lt .. ZEK_TRACK_neq(result, index), or
//     ZEK_TRACK_condition_<type>(value, index); ZEK_TRACK_not after a negated operand;
//     an operand that short-circuit evaluation skips reports nothing;
//   ZEK_TRACK_decision_<type>(value, d).
// A switch decision: ZEK_TRACK_switch_<type>(selector, d, case count), then
// ZEK_TRACK_case(d, case index) for the case taken.
//
// Around the run: ZEK_TRACK_init_v2 before the first step, ZEK_TRACK_save or
// ZEK_TRACK_save_to at the end, ZEK_TRACK_cleanup last. Misuse never stops the process: the
// first problem is kept as a message until ZEK_TRACK_SL_resetErrorMsg.
#include "zek_export.h"

#include <cstdint>

// The library version that generated test frames are built for.
#define ZEK_TRACK_LIBRARY_VERSION 1u

ZEK_EXPORT void ZEK_TRACK_init_v2(uint32_t decisionCount, uint8_t unused, uint32_t libraryVersion);
// The initialisation of test frames from before the version check; only records a message.
ZEK_EXPORT void ZEK_TRACK_init(void);
ZEK_EXPORT void ZEK_TRACK_cleanup(void);
ZEK_EXPORT void ZEK_TRACK_save(void);
ZEK_EXPORT void ZEK_TRACK_save_to(const char *path);
// The held message, or null while none is held.
ZEK_EXPORT const char *ZEK_TRACK_SL_getErrorMsg(void);
ZEK_EXPORT void ZEK_TRACK_SL_resetErrorMsg(void);

// Operand values of comparisons.
ZEK_EXPORT int8_t ZEK_TRACK_push_int8(int8_t value);
ZEK_EXPORT int16_t ZEK_TRACK_push_int16(int16_t value);
ZEK_EXPORT int32_t ZEK_TRACK_push_int32(int32_t value);
ZEK_EXPORT int64_t ZEK_TRACK_push_int64(int64_t value);
ZEK_EXPORT uint8_t ZEK_TRACK_push_uint8(uint8_t value);
ZEK_EXPORT uint16_t ZEK_TRACK_push_uint16(uint16_t value);
ZEK_EXPORT uint32_t ZEK_TRACK_push_uint32(uint32_t value);
ZEK_EXPORT uint64_t ZEK_TRACK_push_uint64(uint64_t value);
ZEK_EXPORT float ZEK_TRACK_push_float(float value);
ZEK_EXPORT double ZEK_TRACK_push_double(double value);

// Comparisons: pop the right, then the left operand value; return the result.
ZEK_EXPORT int32_t ZEK_TRACK_lt(int32_t result, uint32_t condition);
ZEK_EXPORT int32_t ZEK_TRACK_le(int32_t result, uint32_t condition);
ZEK_EXPORT int32_t ZEK_TRACK_gt(int32_t result, uint32_t condition);
ZEK_EXPORT int32_t ZEK_TRACK_ge(int32_t result, uint32_t condition);
ZEK_EXPORT int32_t ZEK_TRACK_eq(int32_t result, uint32_t condition);
ZEK_EXPORT int32_t ZEK_TRACK_neq(int32_t result, uint32_t condition);

// Plain conditions: the value is the condition's result (true when not 0; NaN is true).
ZEK_EXPORT int8_t ZEK_TRACK_condition_int8(int8_t value, uint32_t condition);
ZEK_EXPORT int16_t ZEK_TRACK_condition_int16(int16_t value, uint32_t condition);
ZEK_EXPORT int32_t ZEK_TRACK_condition_int32(int32_t value, uint32_t condition);
ZEK_EXPORT int64_t ZEK_TRACK_condition_int64(int64_t value, uint32_t condition);
ZEK_EXPORT uint8_t ZEK_TRACK_condition_uint8(uint8_t value, uint32_t condition);
ZEK_EXPORT uint16_t ZEK_TRACK_condition_uint16(uint16_t value, uint32_t condition);
ZEK_EXPORT uint32_t ZEK_TRACK_condition_uint32(uint32_t value, uint32_t condition);
ZEK_EXPORT uint64_t ZEK_TRACK_condition_uint64(uint64_t value, uint32_t condition);
ZEK_EXPORT float ZEK_TRACK_condition_float(float value, uint32_t condition);
ZEK_EXPORT double ZEK_TRACK_condition_double(double value, uint32_t condition);

// Logical operators: the marker before the operands, ZEK_TRACK_logop after them.
ZEK_EXPORT void ZEK_TRACK_push_and(void);
ZEK_EXPORT void ZEK_TRACK_push_or(void);
ZEK_EXPORT void ZEK_TRACK_push_xor(void);
ZEK_EXPORT int32_t ZEK_TRACK_push_and_T(void);
ZEK_EXPORT int32_t ZEK_TRACK_push_or_T(void);
ZEK_EXPORT int32_t ZEK_TRACK_push_xor_T(void);
ZEK_EXPORT int32_t ZEK_TRACK_logop(int32_t value);
ZEK_EXPORT int32_t ZEK_TRACK_not(int32_t value);

// Conditional decisions.
ZEK_EXPORT void ZEK_TRACK_init_decision(uint32_t decision, uint32_t conditionCount);
ZEK_EXPORT int32_t ZEK_TRACK_init_decision_T(uint32_t decision, uint32_t conditionCount);
ZEK_EXPORT int8_t ZEK_TRACK_decision_int8(int8_t value, uint32_t decision);
ZEK_EXPORT int16_t ZEK_TRACK_decision_int16(int16_t value, uint32_t decision);
ZEK_EXPORT int32_t ZEK_TRACK_decision_int32(int32_t value, uint32_t decision);
ZEK_EXPORT int64_t ZEK_TRACK_decision_int64(int64_t value, uint32_t decision);
ZEK_EXPORT uint8_t ZEK_TRACK_decision_uint8(uint8_t value, uint32_t decision);
ZEK_EXPORT uint16_t ZEK_TRACK_decision_uint16(uint16_t value, uint32_t decision);
ZEK_EXPORT uint32_t ZEK_TRACK_decision_uint32(uint32_t value, uint32_t decision);
ZEK_EXPORT uint64_t ZEK_TRACK_decision_uint64(uint64_t value, uint32_t decision);
ZEK_EXPORT float ZEK_TRACK_decision_float(float value, uint32_t decision);
ZEK_EXPORT double ZEK_TRACK_decision_double(double value, uint32_t decision);

// Switch decisions.
ZEK_EXPORT int8_t ZEK_TRACK_switch_int8(int8_t value, uint32_t decision, uint32_t caseCount);
ZEK_EXPORT int16_t ZEK_TRACK_switch_int16(int16_t value, uint32_t decision, uint32_t caseCount);
ZEK_EXPORT int32_t ZEK_TRACK_switch_int32(int32_t value, uint32_t decision, uint32_t caseCount);
ZEK_EXPORT int64_t ZEK_TRACK_switch_int64(int64_t value, uint32_t decision, uint32_t caseCount);
ZEK_EXPORT uint8_t ZEK_TRACK_switch_uint8(uint8_t value, uint32_t decision, uint32_t caseCount);
ZEK_EXPORT uint16_t ZEK_TRACK_switch_uint16(uint16_t value, uint32_t decision, uint32_t caseCount);
ZEK_EXPORT uint32_t ZEK_TRACK_switch_uint32(uint32_t value, uint32_t decision, uint32_t caseCount);
ZEK_EXPORT uint64_t ZEK_TRACK_switch_uint64(uint64_t value, uint32_t decision, uint32_t caseCount);
ZEK_EXPORT void ZEK_TRACK_case(uint32_t decision, uint32_t caseIndex);
