// Channels moving towards their targets in ramps.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__RAMP_INIT(void) { zek__NYI(); }
void zek__RAMP_NOW(void) { zek__NYI(); }
