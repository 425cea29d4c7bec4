#pragma once
// For tests of a VM library variant built with NO_PRINTF: the test program supplies zek_printf
// (console_capture.cpp), which collects everything printed until it is taken.
#include <string>

namespace zt {
// Everything printed since the last call; the collection starts empty again.
std::string takePrinted();
}  // namespace zt
