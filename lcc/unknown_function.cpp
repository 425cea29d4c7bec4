// The standard-function handler of the LCC builds for a code that no function bears. No slot
// of the function table holds it: FUNCTION refuses codes beyond the table itself.
#include "zek_common.h"
#include "zek_lcc.h"

void zek_FUNC_NYI(void) { zek_raiseError(ZEK_ERR_FUNCTION, "Function code unknown."); }
