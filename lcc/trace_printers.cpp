// Trace printers of the LCC builds, for following a program by hand: where the interpreter
// stands with its stacks, and every channel's current value. They only read the VM state.
#include "stacks.h"
#include "vm_extras.h"
#include "zek_lcc.h"

void zek_logStackAndCommand(void) {
  const VmState &vm = vmstate0;
  uint32_t level = zek_cstack_count();
  zek_printf("Call level %02u: ", level);
  zek_pstack_dump(140);
  zek_printf(" 0x%04x : ", vm.pc >= vm.codeBase ? vm.pc - vm.codeBase : 0);
  for (uint32_t i = 0; i < level; ++i) zek_printf(" ");
}

void zek_logVariables(void) {
  const VmData &data = vmstate0.data;
  for (uint16_t i = 0; i < data.channelCount; ++i) {
    const ChannelDecl &c = data.channels[i];
    char *name = zek_getFullVarname(&c);
    zek_printf("%20s =", name != nullptr ? name : (c.name != nullptr ? c.name : ""));
    zek_free(name);
    for (uint32_t e = 0; c.value != nullptr && e < c.elementCount; ++e) {
      zek_printf(" ");
      zek_printValue(c.value + (uint64_t)e * c.elementSize, c.baseType);
    }
    zek_printf("\n");
  }
}
