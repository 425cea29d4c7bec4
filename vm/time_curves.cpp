// Time of the cycle, time indices, characteristic curves and maps.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__READT(void) { zek__NYI(); }
void zek__READT_RELATIVE(void) { zek__NYI(); }
void zek__READCYCLECOUNT(void) { zek__NYI(); }
void zek__READDENSITY(void) { zek__NYI(); }
void zek__READREALTIME(void) { zek__NYI(); }
void zek__TOTIMEINDEX(void) { zek__NYI(); }
void zek__READCURVE(void) { zek__NYI(); }
void zek__READMAP(void) { zek__NYI(); }
