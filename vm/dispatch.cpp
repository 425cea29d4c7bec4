// The 256-entry handler table and the names of the instruction set, built from opcodes.def.
#include <array>

#include "opcodes.h"

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

constexpr std::array<OpcodeInfo, 256> kInfo = buildInfo();
constexpr std::array<ZekOpcodeHandler, 256> kHandlers = buildHandlers();
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

const char *zek_opcodeName(uint8_t byte) { return kInfo[byte].name; }
const char *zek_opcodeLayout(uint8_t byte) { return kInfo[byte].layout != nullptr ? kInfo[byte].layout : ""; }
