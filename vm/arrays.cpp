// Inline data blocks, arrays built on the parameter stack and stack copies.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__MEM(void) { zek__NYI(); }
void zek__READMEM(void) { zek__NYI(); }
void zek__ARRAY(void) { zek__NYI(); }
void zek__XARRAY(void) { zek__NYI(); }
void zek__ARRAYOFSTRUCT(void) { zek__NYI(); }
void zek__PUSHSTRING(void) { zek__NYI(); }
void zek__DUP(void) { zek__NYI(); }
