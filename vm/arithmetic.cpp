// Typed operators over scalars and arrays.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__PLUS(void) { zek__NYI(); }
void zek__MINUS(void) { zek__NYI(); }
void zek__MULT(void) { zek__NYI(); }
void zek__DIV(void) { zek__NYI(); }
void zek__MODULO(void) { zek__NYI(); }
void zek__SHIFTLEFT(void) { zek__NYI(); }
void zek__SHIFTRIGHT(void) { zek__NYI(); }
void zek__NEG(void) { zek__NYI(); }
void zek__LT(void) { zek__NYI(); }
void zek__GT(void) { zek__NYI(); }
void zek__LE(void) { zek__NYI(); }
void zek__GE(void) { zek__NYI(); }
void zek__EQ(void) { zek__NYI(); }
void zek__NEQ(void) { zek__NYI(); }
void zek__AND(void) { zek__NYI(); }
void zek__OR(void) { zek__NYI(); }
void zek__XOR(void) { zek__NYI(); }
void zek__GETBIT(void) { zek__NYI(); }
void zek__LAND(void) { zek__NYI(); }
void zek__LOR(void) { zek__NYI(); }
void zek__NONZERO(void) { zek__NYI(); }
void zek__BITNEG(void) { zek__NYI(); }
