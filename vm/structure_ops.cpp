// Operators applied member by member to structures.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__STRUCTOP(void) { zek__NYI(); }
