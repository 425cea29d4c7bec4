// Strings, events, message boxes and measurements.
//
// A string on the parameter stack is a one-dimensional uint8 array whose element count includes
// the terminating NUL when there is one; a scalar uint8 is a string of one element. The text of a
// string is its bytes up to the first NUL, or all of them.
#include <cstdio>

#include "opcodes.h"
#include "operands.h"
#include "stacks.h"

namespace {
// Longest string that STRCAT builds, in elements.
constexpr uint64_t kMaxJoinedString = 0x40000000u;
// An event record keeps its data length in 16 bits.
constexpr uint32_t kMaxEventData = 0xFFFFu;
// A record row keeps the number of its events in 16 bits: the events of one cycle, which all
// go into its row, are bounded by it (so also the memory of a cycle that raises them forever).
constexpr uint32_t kMaxEventsPerCycle = 0xFFFFu;
// NUM2STR formats into a zeroed 32-byte buffer and lets the print write at most 31 bytes of it
// (30 characters and the NUL); a longer text is cut there.
constexpr size_t kNumTextBuffer = 32;
constexpr size_t kNumTextLimit = 31;

struct StackString {
  uint8_t *bytes;  // on the value stack; valid until the next push
  uint32_t count;  // elements, NUL included
};

// Pops the top value as a string. Its bytes stay where they lay, just above the new top.
bool popString(StackString *out) {
  VmState &vm = vmstate0;
  if (vm.types.top <= vm.types.base || vm.sizes.top <= vm.sizes.base) {
    zek_pstack_raiseUnderflow();
    return false;
  }
  uint32_t entry = vm.sizes.top[-1];
  if (entry >= ZEK_NDIM_MARKER) {
    zek_raiseError(ZEK_ERR_SHAPE, "Expected 1-dim array, got %d-dim array.", (int)(entry & 0xFF));
    return false;
  }
  uint32_t count = entry == 0 ? 1 : entry;
  uint32_t type = vm.types.top[-1];
  uint64_t bytes = (uint64_t)count * zek_baseTypeSizeOf(type);
  if (bytes > (uint64_t)(vm.values.top - vm.values.base)) {
    zek_pstack_raiseUnderflow();
    return false;
  }
  --vm.types.top;
  --vm.sizes.top;
  vm.values.top -= bytes;
  if (type != ZEK_UINT8) {
    const char *expected = zek_getBaseTypeName(ZEK_UINT8);
    zek_raiseError(ZEK_ERR_TYPE, "Type mismatch on parameter stack. Expected %s, got %s.", expected,
                   zek_getBaseTypeName(type));
    return false;
  }
  out->bytes = vm.values.top;
  out->count = count;
  return true;
}

// Pushes count bytes as a one-dimensional uint8 string; null after an overflow.
uint8_t *pushString(uint32_t count) { return zek_pstack_pushValue(ZEK_UINT8, count, &count, 1); }

// The formatted text of a scalar, cut to the limit; false for a type without a text.
bool formatScalar(uint32_t type, const uint8_t *value, char (&text)[kNumTextBuffer]) {
  switch (type) {
    case ZEK_UINT8: std::snprintf(text, kNumTextLimit, "%u", (unsigned)zek_load_as<uint8_t>(value)); return true;
    case ZEK_UINT16: std::snprintf(text, kNumTextLimit, "%u", (unsigned)zek_load_as<uint16_t>(value)); return true;
    case ZEK_UINT32: std::snprintf(text, kNumTextLimit, "%u", (unsigned)zek_load_as<uint32_t>(value)); return true;
    case ZEK_INT8: std::snprintf(text, kNumTextLimit, "%d", (int)zek_load_as<int8_t>(value)); return true;
    case ZEK_INT16: std::snprintf(text, kNumTextLimit, "%d", (int)zek_load_as<int16_t>(value)); return true;
    case ZEK_INT32: std::snprintf(text, kNumTextLimit, "%d", (int)zek_load_as<int32_t>(value)); return true;
    case ZEK_INT64:
      std::snprintf(text, kNumTextLimit, "%lld", (long long)zek_load_as<int64_t>(value));
      return true;
    case ZEK_FLOAT: std::snprintf(text, kNumTextLimit, "%f", (double)zek_load_as<float>(value)); return true;
    case ZEK_DOUBLE: std::snprintf(text, kNumTextLimit, "%f", zek_load_as<double>(value)); return true;
    case ZEK_BOOL:
      std::snprintf(text, kNumTextLimit, "%s", zek_load_as<uint8_t>(value) != 0 ? "true" : "false");
      return true;
  }
  return false;
}
}  // namespace

void zek__STRING(void) {
  VmState &vm = vmstate0;
  uint8_t opcode = op_u8();
  if (opcode != OP_WRITEALL && opcode != OP_WRITEPART && opcode != OP_WRITESLICE) {
    zek_raiseError(ZEK_ERR_BYTECODE, "STRING cannot be used with opcode %u.", (unsigned)opcode);
    return;
  }
  // The write reads its own operands behind ours. The flag must not outlive the write, whether
  // it succeeds or fails, or a later plain write would be treated as a string write.
  vm.stringWrite = 1;
  zek_callByteCode(opcode);
  vm.stringWrite = 0;
}

void zek__STRCAT(void) {
  StackString second, first;
  if (!popString(&second) || !popString(&first)) return;
  uint32_t length = zek_nstrlen((const char *)first.bytes, first.count);
  uint64_t count = (uint64_t)length + second.count;
  if (count > kMaxJoinedString) {
    zek_raiseError(ZEK_ERR_LIMIT, "Concatenated string too long (size %lld).", (long long)count);
    return;
  }
  // The second string lies right behind the first one's elements; move it down behind the first
  // one's text. The regions overlap whenever the second is longer than the gap.
  if (length < first.count) std::memmove(first.bytes + length, second.bytes, second.count);
  // The value-stack top is the first string's start, so the reserved bytes are the joined ones.
  pushString((uint32_t)count);
}

void zek__STRCMP(void) {
  StackString second, first;
  if (!popString(&second) || !popString(&first)) return;
  const uint8_t *a = first.bytes, *b = second.bytes;
  uint32_t shorter = first.count < second.count ? first.count : second.count;
  uint8_t equal = 2;  // undecided
  for (uint32_t i = 0; i < shorter && equal == 2; ++i) {
    if (a[i] != b[i]) equal = 0;
    else if (a[i] == 0) equal = 1;
  }
  if (equal == 2) {
    // One string ended without a NUL: equal only when the other ends at the same place.
    if (first.count == second.count) equal = 1;
    else equal = (first.count > shorter ? a[shorter] : b[shorter]) == 0 ? 1 : 0;
  }
  zek_pstack_push<uint8_t>(ZEK_BOOL, equal);
}

void zek__NUM2STR(void) {
  uint32_t type = 0;
  const uint8_t *value = zek_pstack_dropScalar(&type);
  if (value == nullptr) return;
  char text[kNumTextBuffer] = {};
  if (!formatScalar(type, value, text)) {
    zek_raiseError(ZEK_ERR_TYPE, "Illegal datatype %d during NUM2STR", (int)type);
    return;
  }
  // Only what the print stored goes onto the stack, however long the full text would be.
  uint32_t count = (uint32_t)std::strlen(text) + 1;
  uint8_t *bytes = pushString(count);
  if (bytes != nullptr) std::memcpy(bytes, text, count);
}

void zek__EVENT(void) {
  VmState &vm = vmstate0;
  uint16_t id = op_u16();
  uint8_t hasData = op_u8();
  StackString data{nullptr, 0};
  if (hasData != 0) {
    if (!popString(&data)) return;
    if (data.count > kMaxEventData) {
      zek_raiseError(ZEK_ERR_LIMIT, "EVENT with more than 65535 bytes not supported.");
      return;
    }
  }
  if (vm.eventCount >= kMaxEventsPerCycle) {
    zek_raiseError(ZEK_ERR_LIMIT, "More than 65535 EVENTs in one cycle not supported.");
    return;
  }
  // A record enters the list only complete: a failed allocation leaves the list as it was.
  EventRecord *record = (EventRecord *)zek_malloc(sizeof(EventRecord));
  if (record == nullptr) return;
  record->id = id;
  record->length = (uint16_t)data.count;
  record->data = nullptr;
  record->next = nullptr;
  if (data.count > 0) {
    record->data = (uint8_t *)zek_malloc(data.count);
    if (record->data == nullptr) {
      zek_free(record);
      return;
    }
    std::memcpy(record->data, data.bytes, data.count);
  }
  if (vm.data.eventList == nullptr) vm.data.eventList = record;
  else vm.eventTail->next = record;
  vm.eventTail = record;
  ++vm.eventCount;
}

void zek__MESSAGEBOX(void) {
  VmState &vm = vmstate0;
  const char *text = op_text();
  if (text == nullptr) return;
  uint8_t count;
  if (!op_checked_u8(&count)) return;
  // The byte behind the count identifies the box for the host.
  uint32_t position = vm.pc;
  const char *items = (const char *)vm.image + vm.pc;
  // Every item must end inside the byte code before the host may walk them.
  for (uint8_t i = 0; i < count; ++i)
    if (op_text() == nullptr) return;
  uint8_t flag = 0;
  if (!zek_pstack_popScalar<uint8_t>(ZEK_BOOL, &flag)) return;
  if (vm.messageBoxCmd == nullptr) {
    zek_raiseError(ZEK_ERR_MSGBOX, "The message box command is not installed on this platform.");
    return;
  }
  uint32_t behindItems = vm.pc;
  uint8_t answer = vm.messageBoxCmd(position, flag, text, count, count > 0 ? items : "");
  if (!zek_pstack_push<uint8_t>(ZEK_UINT8, answer)) return;
  vm.pc = behindItems;
}

void zek__MEASUREMENT(void) {
  uint8_t record = 0;
  if (!zek_pstack_popScalar<uint8_t>(ZEK_BOOL, &record)) return;
  vmstate0.recordCycle = record != 0 ? 1 : 0;
}
