// The 256-entry handler table and the names of the instruction set, built from opcodes.def,
// and the handler of every byte not in use.
#include <array>

#include "opcodes.h"
#include "vm_state.h"

namespace {
struct OpcodeInfo {
  const char *name;
  const char *layout;
};

constexpr std::array<ZekOpcodeHandler, 256> buildHandlers() {
  std::array<ZekOpcodeHandler, 256> table{};
  for (auto &h : table) h = zek__NYI;
#define ZEK_OPCODE(byte, name, layout, effect) table[byte] = zek__##name;
#include "opcodes.def"
#undef ZEK_OPCODE
  return table;
}

constexpr std::array<OpcodeInfo, 256> buildInfo() {
  std::array<OpcodeInfo, 256> table{};
#define ZEK_OPCODE(byte, name, layout, effect) table[byte] = OpcodeInfo{#name, layout};
#include "opcodes.def"
#undef ZEK_OPCODE
  return table;
}

// b u8, h u16, w u32, q 8 bytes; a text ('s') or variable data ('*') ends the fixed part.
constexpr uint8_t fixedBytes(const char *layout) {
  uint8_t n = 0;
  for (const char *c = layout; *c != '\0' && *c != 's' && *c != '*'; ++c)
    n += *c == 'b' ? 1 : *c == 'h' ? 2 : *c == 'w' ? 4 : *c == 'q' ? 8 : 0;
  return n;
}

constexpr std::array<uint8_t, 256> buildFixedBytes() {
  std::array<uint8_t, 256> table{};
#define ZEK_OPCODE(byte, name, layout, effect) table[byte] = fixedBytes(layout);
#include "opcodes.def"
#undef ZEK_OPCODE
  return table;
}

constexpr std::array<OpcodeInfo, 256> kInfo = buildInfo();
constexpr std::array<ZekOpcodeHandler, 256> kHandlers = buildHandlers();
constexpr std::array<uint8_t, 256> kFixedBytes = buildFixedBytes();
static_assert(kFixedBytes[OP_ISIGNAL] == 7 && kFixedBytes[OP_ENDERROR] == 2 && kFixedBytes[OP_MESSAGEBOX] == 0 &&
              kFixedBytes[OP_ARRAYOFSTRUCT] == 8 && kFixedBytes[OP_PUSHDOUBLE] == 8);
}  // namespace

ZekOpcodeHandler zek_byteCodeHandler[256] = {
#define H(i) kHandlers[i]
#define H8(i) H(i), H(i + 1), H(i + 2), H(i + 3), H(i + 4), H(i + 5), H(i + 6), H(i + 7)
#define H64(i) H8(i), H8(i + 8), H8(i + 16), H8(i + 24), H8(i + 32), H8(i + 40), H8(i + 48), H8(i + 56)
    H64(0), H64(64), H64(128), H64(192)
#undef H64
#undef H8
#undef H
};

const uint8_t zek_fixedOperandBytes[256] = {
#define F(i) kFixedBytes[i]
#define F8(i) F(i), F(i + 1), F(i + 2), F(i + 3), F(i + 4), F(i + 5), F(i + 6), F(i + 7)
#define F64(i) F8(i), F8(i + 8), F8(i + 16), F8(i + 24), F8(i + 32), F8(i + 40), F8(i + 48), F8(i + 56)
    F64(0), F64(64), F64(128), F64(192)
#undef F64
#undef F8
#undef F
};

const char *zek_opcodeName(uint8_t byte) { return kInfo[byte].name; }
const char *zek_opcodeLayout(uint8_t byte) { return kInfo[byte].layout != nullptr ? kInfo[byte].layout : ""; }

// The handler of every byte not in use; it names the byte just fetched.
void zek__NYI(void) {
  const VmState &vm = vmstate0;
  zek_raiseError(ZEK_ERR_BYTECODE,
                 "Byte code %u not in use. Most likely your zvm-file is incompatible with this ZEK-VM version",
                 (unsigned)vm.image[vm.instructionAddress - 1]);
}
