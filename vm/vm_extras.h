#pragma once
// Diagnostics and helpers that only the S-function builds of the VM library carry: a named byte
// stack with a hex dump, the stack counters and the one-line parameter-stack dump, the texts of
// the channel roles, printers of typed values, and the ramp gradients of stamp and step channels.
// They keep their C names (the library's interface), but no deliverable exports them: the hosts
// do not call them, the trace printers of the LCC build do.
#include <cstdint>

// A byte stack: this header and its storage in one block; base is the storage, end = base + size,
// top = base when empty. name is the stack's own copy of the name given at creation.
struct ZekByteStack {
  uint8_t *top;
  uint8_t *base;
  uint8_t *end;
  char *name;
};

extern "C" {
// Null when the size does not fit the allocator or an allocation fails.
ZekByteStack *zek_stack_init(const char *name, uint32_t size);
// Frees the stack and its name copy; null is ignored.
void zek_stack_dispose(ZekByteStack *stack);
void zek_stack_clear(ZekByteStack *stack);
uint32_t zek_stack_currentsize(const ZekByteStack *stack);
const char *zek_stack_name(const ZekByteStack *stack);
// "Stack(name=%s, size=%2u): ", then at most n used bytes from the top down as "%02x ", then
// ".. " for every one of the n places left. Returns n.
int32_t zek_stack_dump(const ZekByteStack *stack, int32_t n);

// Entries on the size stack and on the type stack (one per value); 0 before a load.
uint32_t zek_pstack_sCount(void);
uint32_t zek_pstack_tCount(void);
// Prints "%2d: |...|": the parameter stack's values right-aligned in width characters, the
// topmost at the right, the rest filled with ".". Changes nothing on the stacks.
void zek_pstack_dump(uint32_t width);

// The display text of a channel role; "signal" for a role outside 0..8.
const char *zek_getRoleName(uint32_t role);

// One value of a base type as text. The buffer forms store at most size - 1 characters and a
// NUL and return the number of characters stored; all three return 0 and print nothing for a
// type outside 1..10.
int32_t zek_printValue(const void *value, uint32_t baseType);
int32_t zek_snprintValue(char *buffer, uint32_t size, const void *value, uint32_t baseType);
int32_t zek_snprintValueWithTypeSuffix(char *buffer, uint32_t size, const void *value, uint32_t baseType);

// How far a ramp kept in a stamp channel and a step channel (double, change per cycle) has
// moved since the stamp. The cycle form takes a uint32 stamp (a cycle number), the real-time
// form a double stamp (seconds). 0.0 once an error stands.
double zek__RAMPCHAN_computeGradient_NonRealtime(uint16_t stampChannel, uint16_t stepChannel);
double zek__RAMPCHAN_computeGradient_Realtime(uint16_t stampChannel, uint16_t stepChannel);
}
