#pragma once
// TEMPORARY stand-in for scalar2double / double2scalar of the arithmetic family; removed when
// vm/arithmetic.h lands on main.
#include <cstdint>

double scalar2double(uint32_t type, const void *value);
void double2scalar(uint32_t type, void *destination, double x);
