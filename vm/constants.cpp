// Constants pushed from the byte code, and DROP.
#include "operands.h"
#include "opcodes.h"
#include "stacks.h"

namespace {
template <typename T> inline void pushOperand(uint32_t type, T value) { zek_pstack_push<T>(type, value); }
}  // namespace

void zek__PUSHTRUE(void) { zek_pstack_push<uint8_t>(ZEK_BOOL, 1); }
void zek__PUSHFALSE(void) { zek_pstack_push<uint8_t>(ZEK_BOOL, 0); }
// The operand byte is taken as stored: a bool may hold any non-zero byte.
void zek__PUSHBOOL(void) { pushOperand<uint8_t>(ZEK_BOOL, op_u8()); }
void zek__PUSHUINT8(void) { pushOperand<uint8_t>(ZEK_UINT8, op_u8()); }
void zek__PUSHINT8(void) { pushOperand<uint8_t>(ZEK_INT8, op_u8()); }
void zek__PUSHUINT16(void) { pushOperand<uint16_t>(ZEK_UINT16, op_u16()); }
void zek__PUSHINT16(void) { pushOperand<uint16_t>(ZEK_INT16, op_u16()); }
void zek__PUSHUINT32(void) { pushOperand<uint32_t>(ZEK_UINT32, op_u32()); }
void zek__PUSHINT32(void) { pushOperand<uint32_t>(ZEK_INT32, op_u32()); }
void zek__PUSHINT64(void) { pushOperand<uint64_t>(ZEK_INT64, op_u64()); }
// Floating-point constants travel as bit patterns so that every NaN keeps its payload.
void zek__PUSHFLOAT(void) { pushOperand<uint32_t>(ZEK_FLOAT, op_u32()); }
void zek__PUSHDOUBLE(void) { pushOperand<uint64_t>(ZEK_DOUBLE, op_u64()); }

void zek__DROP(void) {
  VmState &vm = vmstate0;
  // Scalars are the common case: one size entry, one type entry, the type's bytes.
  if (vm.sizes.top > vm.sizes.base && vm.sizes.top[-1] == 0 && vm.types.top > vm.types.base) {
    uint32_t size = zek_baseTypeSizeOf(vm.types.top[-1]);
    if ((uint32_t)(vm.values.top - vm.values.base) >= size) {
      vm.values.top -= size;
      --vm.sizes.top;
      --vm.types.top;
      return;
    }
  }
  ZekValueView dropped;
  zek_pstack_popValue(&dropped);
}
