#pragma once
// Axis search, fraction and interpolation shared by the curve and map lookups.
#include <cstdint>

// Index of the first point of the axis channel that is >= *x (x in the axis's type), or
// 0xFFFFFFFF when no point qualifies, the axis is not strictly rising up to that point (raises
// 112) or it cannot be read.
uint32_t zek_getIndexGreaterOrEqual(uint16_t axis, const void *x);

// (x - p[0]) / (p[1] - p[0]) for two consecutive axis points p of the given base type.
double zek_getDiffernceInPct(const void *p, const void *x, uint32_t type);

// Interpolates between the table values q[0], q[1] that belong to the axis points p[0], p[1] at
// the input stored at io (axis type) and writes the result over it (table type). io must have
// room for the larger of the two types.
void zek_linearInterpolation2D(const void *p, const void *q, void *io, uint32_t axisType, uint32_t tableType);
