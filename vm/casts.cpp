// Conversion of values between base types.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__CAST(void) { zek__NYI(); }
