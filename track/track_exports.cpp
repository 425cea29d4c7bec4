// The typed export families, one definition per base type.
#include "track_conditions.h"
#include "track_state.h"
#include "zek_track.h"

// A value is true when it is not 0; a NaN compares unequal to 0 and so counts as true.
template <typename T> static bool track_truth(T value) { return value != T(0); }

#define ZEK_TRACK_INTEGER_TYPES(X)                                                                              \
  X(int8, int8_t)                                                                                              \
  X(int16, int16_t)                                                                                            \
  X(int32, int32_t)                                                                                            \
  X(int64, int64_t)                                                                                            \
  X(uint8, uint8_t)                                                                                            \
  X(uint16, uint16_t)                                                                                          \
  X(uint32, uint32_t)                                                                                          \
  X(uint64, uint64_t)

#define ZEK_TRACK_ALL_TYPES(X)                                                                                  \
  ZEK_TRACK_INTEGER_TYPES(X)                                                                                   \
  X(float, float)                                                                                              \
  X(double, double)

#define ZEK_TRACK_DEFINE_PUSH(name, T)                                                                          \
  T ZEK_TRACK_push_##name(T value) {                                                                           \
    track_push_value(static_cast<double>(value));                                                              \
    return value;                                                                                              \
  }
ZEK_TRACK_ALL_TYPES(ZEK_TRACK_DEFINE_PUSH)

// The value-carrying conditions: a uint8 or uint16 value is its own distance to false.
uint8_t ZEK_TRACK_condition_uint8(uint8_t value, uint32_t condition) {
  track_condition_result(value, value, condition);
  return value;
}
uint16_t ZEK_TRACK_condition_uint16(uint16_t value, uint32_t condition) {
  track_condition_result(value, value, condition);
  return value;
}

#define ZEK_TRACK_DEFINE_CONDITION(name, T)                                                                     \
  T ZEK_TRACK_condition_##name(T value, uint32_t condition) {                                                  \
    bool truth = track_truth(value);                                                                           \
    track_condition_result(truth ? 1 : 0, truth ? 1.0 : 0.0, condition);                                       \
    return value;                                                                                              \
  }
ZEK_TRACK_DEFINE_CONDITION(int8, int8_t)
ZEK_TRACK_DEFINE_CONDITION(int16, int16_t)
ZEK_TRACK_DEFINE_CONDITION(int32, int32_t)
ZEK_TRACK_DEFINE_CONDITION(int64, int64_t)
ZEK_TRACK_DEFINE_CONDITION(uint32, uint32_t)
ZEK_TRACK_DEFINE_CONDITION(uint64, uint64_t)
ZEK_TRACK_DEFINE_CONDITION(float, float)
ZEK_TRACK_DEFINE_CONDITION(double, double)

#define ZEK_TRACK_DEFINE_DECISION(name, T)                                                                      \
  T ZEK_TRACK_decision_##name(T value, uint32_t decision) {                                                    \
    track_finalize_decision(track_truth(value), decision);                                                     \
    return value;                                                                                              \
  }
ZEK_TRACK_ALL_TYPES(ZEK_TRACK_DEFINE_DECISION)

// The selector itself plays no part: the case taken is reported by ZEK_TRACK_case.
#define ZEK_TRACK_DEFINE_SWITCH(name, T)                                                                        \
  T ZEK_TRACK_switch_##name(T value, uint32_t decision, uint32_t caseCount) {                                  \
    track_init_switch(decision, caseCount);                                                                    \
    return value;                                                                                              \
  }
ZEK_TRACK_INTEGER_TYPES(ZEK_TRACK_DEFINE_SWITCH)
