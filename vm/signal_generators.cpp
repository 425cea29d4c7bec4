// The stateful signal generators.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__STATEFULFUNCTION(void) { zek__NYI(); }
