#pragma once
// The VM side of the exchange with the IDE: a shared block that mirrors the values heap, and
// two manual-reset events that pass control between the VM and the IDE.
//
// A host calls, around every cycle of a run and on its own thread:
//   zek_sharedmem_beforecycle(zek_getData());   // publishes and, while attached, waits
//   uint32_t result = zek_runCycle();
//   zek_sharedmem_aftercycle((int32_t)result);  // forces marked bytes; final handshake
// and zek_sharedmem_shutdown() when it ends. A failure to build the block stands in the
// error state after zek_sharedmem_beforecycle (error 121); the run can go on without the IDE.
//
// Protocol: the IDE attaches by setting ZEK_EXCHANGE_TO_VM_EVENT; while detached the VM looks
// at it at cycle counts that are multiples of 20 only, without waiting. Attached, the VM
// publishes before every cycle, sets ZEK_EXCHANGE_TO_IDE_EVENT and waits up to 5000 ms for
// the IDE's signal (again after each signal while the IDE's hold flag is set); no signal in
// time detaches the IDE. After a cycle that ends the run (error or end of test) the VM hands
// the final state over and waits once more, at most as long, then detaches.
//
// Block layout (integers little-endian, packed):
//   0 u32 total size | 4 u8 layout version 2 (1) | 5 u32 cycle time (us) | 9 u32 time-out (cycles)
//   13 u32 cycle count | 17 u8 error flag before a cycle, cycle result after it
//   18 char[256] error message, NUL-terminated, cut to 255 characters
//   274 u8 reserved | 275 u8 hold flag (IDE) | 276 u16 enum-set count E | 278 E enum sets
//   u16 channel count C, C SignalDeclRecords | u32 S = heap size rounded up to 512
//   S bytes heap copy | S/8 level-1 marks | S/64 level-2 marks | S/512 level-3 marks
//   u8 overwrite flag (IDE)
// Level-1 bit l of byte k marks heap byte 8k + l as forced by the IDE; a level-2 byte stands
// for 8 level-1 bytes and a level-3 byte for 8 level-2 bytes, and the VM reads a level only
// below a nonzero byte of the level above. The VM takes every size and position from what it
// computed when it built the block, never from the block, which the IDE can write.
#include <cstdint>

#include "zek_vm.h"

inline constexpr char ZEK_EXCHANGE_MAPPING_NAME[] = "ZEK-VM-EXCHANGE";
inline constexpr char ZEK_EXCHANGE_TO_VM_EVENT[] = "ZEK-TO-ZVM-EVENT";   // set by the IDE
inline constexpr char ZEK_EXCHANGE_TO_IDE_EVENT[] = "ZVM-TO-ZEK-EVENT";  // set by the VM

constexpr uint8_t ZEK_EXCHANGE_LAYOUT_VERSION = 2;
// Built with ZEK_ZEKBIN_V8 (the hardware-in-the-loop library): layout 1, the same block with
// the channel declarations in their record-format-8 form.
constexpr uint8_t ZEK_EXCHANGE_LAYOUT_VERSION_HIL = 1;
constexpr uint32_t ZEK_EXCHANGE_OFFSET_TOTAL_SIZE = 0;
constexpr uint32_t ZEK_EXCHANGE_OFFSET_VERSION = 4;
constexpr uint32_t ZEK_EXCHANGE_OFFSET_CYCLE_TIME = 5;
constexpr uint32_t ZEK_EXCHANGE_OFFSET_TIMEOUT = 9;
constexpr uint32_t ZEK_EXCHANGE_OFFSET_CYCLE_COUNT = 13;
constexpr uint32_t ZEK_EXCHANGE_OFFSET_RESULT = 17;
constexpr uint32_t ZEK_EXCHANGE_OFFSET_MESSAGE = 18;
constexpr uint32_t ZEK_EXCHANGE_MESSAGE_SIZE = 256;
constexpr uint32_t ZEK_EXCHANGE_OFFSET_RESERVED = 274;
constexpr uint32_t ZEK_EXCHANGE_OFFSET_HOLD = 275;
constexpr uint32_t ZEK_EXCHANGE_OFFSET_ENUM_COUNT = 276;
constexpr uint32_t ZEK_EXCHANGE_OFFSET_ENUM_SETS = 278;
constexpr uint32_t ZEK_EXCHANGE_HEAP_ALIGN = 512;
constexpr uint32_t ZEK_EXCHANGE_POLL_CYCLES = 20;
constexpr uint32_t ZEK_EXCHANGE_WAIT_MS = 5000;

// Offsets and sizes of the variable parts, in 64 bits so that no sum can wrap.
struct ZekExchangeLayout {
  uint64_t channelCount;  // offset of the u16 channel count
  uint64_t heapSizeField; // offset of S
  uint64_t heapCopy;
  uint64_t level1, level2, level3;
  uint64_t overwriteFlag;
  uint64_t total;
  uint64_t paddedHeapSize;  // S
  uint64_t level1Size, level2Size, level3Size;  // S/8, S/64, S/512
};

// The mark levels as the walk reads them: level sizes follow from level3Size.
struct ZekExchangeMarks {
  const uint8_t *level1, *level2, *level3;
  uint64_t level3Size;
  const uint8_t *overwriteFlag;
};

extern "C" {

// Before zek_runCycle: at cycle count 0 ends any exchange of an earlier run; attaches an IDE
// that has signalled (at multiples of 20 cycles), building the block from data (the VM's
// data when null); while attached publishes the heap and waits for the IDE.
void zek_sharedmem_beforecycle(VmData *data);

// After zek_runCycle with its result: forces the IDE's marked bytes into the heap and sets
// their written flags, publishes the error state and the result, and after a result other
// than 0 does the final handshake and detaches.
void zek_sharedmem_aftercycle(int32_t cycleResult);

// True while an IDE is attached.
bool zek_sharedmem_isAttached(void);

// Detaches, releases the block and closes the events; for the end of the host.
void zek_sharedmem_shutdown(void);

// Where the parts lie for a heap of heapSize bytes and the given serialised declaration
// sizes; false when the block would not fit its 32-bit total size.
bool zek_exchange_layout(uint32_t heapSize, uint64_t enumSetBytes, uint64_t declarationBytes,
                         ZekExchangeLayout *layout);

// The walk over the marks, clipped to size bytes. Normal mode copies every byte whose mark
// is clear (all bytes while the overwrite flag is 0); overwrite mode copies exactly the
// marked bytes (none while the flag is 0) and sets their written flags.
void zek_exchange_copyValueBuffers(const uint8_t *source, uint8_t *destination, uint32_t size,
                                   const ZekExchangeMarks *marks, bool onlyOverwrites);

}  // extern "C"

// For tests: the bound of every wait for the IDE (normally ZEK_EXCHANGE_WAIT_MS).
void zek_sharedmem_setWaitTimeout(uint32_t ms);
