// The error context that zek_load installs: where in the byte code and when the error was
// raised.
#include <cstdio>

#include "vm_state.h"

void zek_vmErrorContextHandler(char *buffer, uint32_t size) {
  const VmState &vm = vmstate0;
  uint32_t address = vm.instructionAddress >= vm.codeBase ? vm.instructionAddress - vm.codeBase : 0;
  float time = (float)vm.cycleTime / 1e6f * (float)vm.cycleCount;
  std::snprintf(buffer, size, "error=%d, address=0x%04x, time=%fs", (int)zek_getErrorCode(), address, (double)time);
}
