#pragma once
// Included before everything else in every source of an LCC build of the VM library (see
// zek_vm_library): there the runtime has no bounded formatting, so the names snprintf and
// vsnprintf, plain and as std::, mean the LCC support's bounded print. The C library's own
// headers are read first so that their declarations keep their names.
#include <stdio.h>
#ifdef __cplusplus
#include <cstdio>
#endif

#include "zek_lcc.h"

#ifdef __cplusplus
namespace std {
using ::zek_lcc_snprintf;
using ::zek_lcc_vsnprintf;
}  // namespace std
#endif

#define snprintf zek_lcc_snprintf
#define vsnprintf zek_lcc_vsnprintf
