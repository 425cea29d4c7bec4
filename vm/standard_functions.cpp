// The standard functions of the byte code.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__FUNCTION(void) { zek__NYI(); }
