#pragma once
// Readers of inline operands. Each reads at pc in the image's byte order and moves pc past the
// operand. The byte code ends where the CRC starts.
//
// An instruction's fixed operands (the layout letters of opcodes.def before a text or variable
// data) are checked once, before its handler runs: when they would reach into the CRC, the
// dispatch raises 117 and the handler does not run. The fixed-size readers op_u8 ... op_f64
// therefore cannot fail inside a handler's fixed operands. What lies behind them (texts,
// tables, blocks, the length of a block found by an offset) is read with the checked readers,
// which raise 117 and leave pc at the end of the code, so that the loop stops there.
#include <cstdint>
#include <cstring>

#include "vm_state.h"

void zek_raiseOperandOutOfCode(void);

// True when n bytes at pc still belong to the byte code.
inline bool zek_operandFits(uint64_t n) { return (uint64_t)vmstate0.pc + n <= vmstate0.crcPosition; }

inline uint8_t op_u8(void) { return vmstate0.image[vmstate0.pc++]; }

inline uint16_t op_u16(void) {
  uint16_t v;
  std::memcpy(&v, vmstate0.image + vmstate0.pc, 2);
  vmstate0.pc += 2;
  return vmstate0.swap ? zek_swap2(v) : v;
}

inline uint32_t op_u32(void) {
  uint32_t v;
  std::memcpy(&v, vmstate0.image + vmstate0.pc, 4);
  vmstate0.pc += 4;
  return vmstate0.swap ? zek_swap4(v) : v;
}

inline uint64_t op_u64(void) {
  uint64_t v;
  std::memcpy(&v, vmstate0.image + vmstate0.pc, 8);
  vmstate0.pc += 8;
  return vmstate0.swap ? zek_swap8(v) : v;
}

inline float op_f32(void) {
  uint32_t bits = op_u32();
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

inline double op_f64(void) {
  uint64_t bits = op_u64();
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

// A u8 or u32 behind the fixed operands: true with the value, false after raising 117 when it
// does not lie inside the byte code.
inline bool op_checked_u8(uint8_t *out) {
  if (!zek_operandFits(1)) {
    zek_raiseOperandOutOfCode();
    return false;
  }
  *out = op_u8();
  return true;
}

inline bool op_checked_u32(uint32_t *out) {
  if (!zek_operandFits(4)) {
    zek_raiseOperandOutOfCode();
    return false;
  }
  *out = op_u32();
  return true;
}

// A NUL-terminated text at pc; pc moves behind its terminator. Null (after raising 117) when
// the text is not terminated inside the byte code.
const char *op_text(void);

// n raw bytes at pc (a MEM or PUSHSTRING block); pc moves behind them. Null after raising 117
// when the block leaves the byte code.
const uint8_t *op_bytes(uint32_t n);

// True when a jump target relative to the code base lies inside the byte code; raises 117
// otherwise.
bool zek_checkTarget(uint64_t target);
