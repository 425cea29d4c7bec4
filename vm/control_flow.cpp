// Branches, jump tables, subroutines and calls of program functions.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__PUSHINDEX(void) { zek__NYI(); }
void zek__DUPINDEX(void) { zek__NYI(); }
void zek__PUSHCONSTINDEX(void) { zek__NYI(); }
void zek__JUMP(void) { zek__NYI(); }
void zek__JUMPONTRUE(void) { zek__NYI(); }
void zek__JUMPONFALSE(void) { zek__NYI(); }
void zek__JUMP_IF_ZERO(void) { zek__NYI(); }
void zek__JUMPTABLE(void) { zek__NYI(); }
void zek__CALLSUB(void) { zek__NYI(); }
void zek__RETURN(void) { zek__NYI(); }
void zek__CALLFUNCTION(void) { zek__NYI(); }
#include "vm_state.h"
void zek_serverFunctionHandler(FunctionDecl *) { zek__NYI(); }
uint32_t zek_runServerStubFunction(uint16_t) { return 1; }
