// Strings, events, message boxes and measurements.
// PENDING: the handlers below still answer as bytes not in use.
#include "opcodes.h"

void zek__EVENT(void) { zek__NYI(); }
void zek__MESSAGEBOX(void) { zek__NYI(); }
void zek__STRING(void) { zek__NYI(); }
void zek__STRCAT(void) { zek__NYI(); }
void zek__STRCMP(void) { zek__NYI(); }
void zek__NUM2STR(void) { zek__NYI(); }
void zek__MEASUREMENT(void) { zek__NYI(); }
