// Signals recorded in the program image, stepped or interpolated.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__RSIGNAL(void) { zek__NYI(); }
void zek__ISIGNAL(void) { zek__NYI(); }
void zek__RSIGNALRT(void) { zek__NYI(); }
void zek__ISIGNALRT(void) { zek__NYI(); }
