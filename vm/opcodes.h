#pragma once
// Handlers of the instruction set and its tables, all derived from opcodes.def.
#include <cstdint>

enum Opcode : uint8_t {
#define ZEK_OPCODE(byte, name, layout, effect) OP_##name = byte,
#include "opcodes.def"
#undef ZEK_OPCODE
};

#define ZEK_OPCODE(byte, name, layout, effect) void zek__##name(void);
#include "opcodes.def"
#undef ZEK_OPCODE
void zek__NYI(void);

typedef void (*ZekOpcodeHandler)(void);
extern ZekOpcodeHandler zek_byteCodeHandler[256];

// Mnemonic of a byte (null when the byte is not in use) and its operand layout.
const char *zek_opcodeName(uint8_t byte);
const char *zek_opcodeLayout(uint8_t byte);

// Bytes of each instruction's fixed operands, from its layout: the letters before a text or
// variable data (0 for a byte not in use). The dispatch checks them against the end of the code
// before the handler runs.
extern const uint8_t zek_fixedOperandBytes[256];
