#pragma once
// The hardware-in-the-loop S-function library: what its wrapper calls. The wrapper initialises
// once with the flat interface record, then calls zek_sfun once per model step and
// zek_sfun_terminate at the end. Errors reach it as a text through the error slot it hands in;
// the text stays valid until the next error.
#include <cstddef>
#include <cstdint>

#include "zek_export.h"

// One side of the interface record: seven 8-byte slots. The arrays belong to the wrapper and
// have count entries each; index and both dimensions are filled by the library. Every field
// starts its own slot, so the record is the same on x86, where a pointer fills the first half
// of its slot.
struct HilPortGroup {
  alignas(8) uint16_t count;             // slot 0: the other 6 bytes of the slot are not read
  alignas(8) void *const *buffers;       // the value buffer of each signal
  alignas(8) const char *const *names;   // the signal names the VM's channels are matched by
  alignas(8) uint32_t *index;            // the matched channel: its index among the VM's inputs or outputs
  alignas(8) uint32_t *dim1;             // a matrix channel's first dimension, else its element count
  alignas(8) uint32_t *dim2;             // a matrix channel's second dimension, else 0
  alignas(8) const uint32_t *types;      // the base type each signal has in the model (1..10)
};

// The record zek_sfun_init receives: 14 slots, the inputs then the outputs.
struct HilPortInterface {
  HilPortGroup inputs;
  HilPortGroup outputs;
};
static_assert(sizeof(HilPortGroup) == 7 * 8 && sizeof(HilPortInterface) == 14 * 8, "the record has 14 slots");
static_assert(offsetof(HilPortGroup, buffers) == 8 && offsetof(HilPortGroup, names) == 16 &&
                  offsetof(HilPortGroup, index) == 24 && offsetof(HilPortGroup, dim1) == 32 &&
                  offsetof(HilPortGroup, dim2) == 40 && offsetof(HilPortGroup, types) == 48 &&
                  offsetof(HilPortInterface, outputs) == 56,
              "one field a slot");

// 1 when the library is initialised and usable. A first call loads the program, matches the
// signals by name and type, and unless quiet installs the MATLAB client functions and opens
// the record file; later calls take the record's buffers again and keep the matching.
ZEK_EXPORT uint8_t zek_sfun_init(double stepTime, char **errorSlot, const char *programFile, const char *recordFile,
                                 const HilPortInterface *ports, uint8_t quiet);
// One model step: inputs in, one VM cycle, outputs out. 1 while the test goes on.
ZEK_EXPORT uint8_t zek_sfun(void);
ZEK_EXPORT void zek_sfun_terminate(void);
// The entry point of the host-simulation variant: this library refuses it.
ZEK_EXPORT void zek_sfun_hil(void *block, int32_t port, double time, void *data, uint8_t *status, char **errorSlot);
// Stops the run with a message for the wrapper.
ZEK_EXPORT void zek_reportError(const char *text);
