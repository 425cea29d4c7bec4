#pragma once
// Readers of inline operands. Each reads at pc in the image's byte order and moves pc past the
// operand. The byte code ends where the CRC starts: an operand that would reach into it raises
// 117 and reads as 0, and pc is left at the end of the code so that the loop stops there.
#include <cstdint>
#include <cstring>

#include "vm_state.h"

void zek_raiseOperandOutOfCode(void);

// True when n bytes at pc still belong to the byte code.
inline bool zek_operandFits(uint32_t n) {
  return (uint64_t)vmstate0.pc + n <= vmstate0.crcPosition;
}

inline uint8_t op_u8(void) {
  if (!zek_operandFits(1)) { zek_raiseOperandOutOfCode(); return 0; }
  return vmstate0.image[vmstate0.pc++];
}

inline uint16_t op_u16(void) {
  if (!zek_operandFits(2)) { zek_raiseOperandOutOfCode(); return 0; }
  uint16_t v;
  std::memcpy(&v, vmstate0.image + vmstate0.pc, 2);
  vmstate0.pc += 2;
  return vmstate0.swap ? zek_swap2(v) : v;
}

inline uint32_t op_u32(void) {
  if (!zek_operandFits(4)) { zek_raiseOperandOutOfCode(); return 0; }
  uint32_t v;
  std::memcpy(&v, vmstate0.image + vmstate0.pc, 4);
  vmstate0.pc += 4;
  return vmstate0.swap ? zek_swap4(v) : v;
}

inline uint64_t op_u64(void) {
  if (!zek_operandFits(8)) { zek_raiseOperandOutOfCode(); return 0; }
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

// A NUL-terminated text at pc; pc moves behind its terminator. Null (after raising 117) when
// the text is not terminated inside the byte code.
const char *op_text(void);

// n raw bytes at pc (a MEM or PUSHSTRING block); pc moves behind them. Null after raising 117
// when the block leaves the byte code.
const uint8_t *op_bytes(uint32_t n);

// True when a jump target relative to the code base lies inside the byte code; raises 117
// otherwise.
bool zek_checkTarget(uint64_t target);

// True when an operand read of the current instruction failed: the reader raised 117 and left
// pc at the end of the code. A handler checks this once after its reads and stops, so that it
// neither acts on the zero it got nor replaces the error with a later one. The compare keeps
// the common case to one test.
inline bool zek_operandFailed(void) { return vmstate0.pc >= vmstate0.crcPosition && zek_errorPending(); }
