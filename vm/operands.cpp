// The out-of-line operand readers (texts and blocks), the error every failed operand read
// raises, and the jump-target check (operands.h).
#include "operands.h"

void zek_raiseOperandOutOfCode(void) {
  zek_raiseError(ZEK_ERR_BYTECODE, "Byte code at address 0x%04x reads past the end of the code.",
                 vmstate0.instructionAddress >= vmstate0.codeBase ? vmstate0.instructionAddress - vmstate0.codeBase : 0);
  vmstate0.pc = vmstate0.crcPosition;
}

const char *op_text(void) {
  VmState &vm = vmstate0;
  const char *text = (const char *)vm.image + vm.pc;
  const void *nul = vm.pc < vm.crcPosition ? std::memchr(text, 0, vm.crcPosition - vm.pc) : nullptr;
  if (nul == nullptr) {
    zek_raiseOperandOutOfCode();
    return nullptr;
  }
  vm.pc += (uint32_t)((const char *)nul - text) + 1;
  return text;
}

const uint8_t *op_bytes(uint32_t n) {
  if (!zek_operandFits(n)) {
    zek_raiseOperandOutOfCode();
    return nullptr;
  }
  const uint8_t *p = vmstate0.image + vmstate0.pc;
  vmstate0.pc += n;
  return p;
}

bool zek_checkTarget(uint64_t target) {
  const VmState &vm = vmstate0;
  if ((uint64_t)vm.codeBase + target < vm.crcPosition) return true;
  zek_raiseError(ZEK_ERR_BYTECODE, "Target 0x%llx lies outside of the byte code.", (unsigned long long)target);
  return false;
}
