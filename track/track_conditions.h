#pragma once
// The operations of a pending conditional decision that the typed export families call.
#include <cstdint>

// Pushes an operand value of a comparison (a data node with the value as its distance to true).
void track_push_value(double value);

// Records a condition without operand values: distance 0 to true and distanceToFalse to false
// when result is not 0, distance 1 to true and 0 to false otherwise.
void track_condition_result(int32_t result, double distanceToFalse, uint32_t condition);

// Closes the top conditional decision, which must be decision, with its outcome value.
void track_finalize_decision(bool value, uint32_t decision);
