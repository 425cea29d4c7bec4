// Operators applied member by member to structures. A structure on the parameter stack is the
// run of its member values; STRUCTOP combines two runs (or a run and a scalar) and leaves the run
// of results where the operands were.
#include "arithmetic.h"
#include "opcodes.h"
#include "operands.h"

namespace {

enum StructMode : uint8_t { MANY_OP_MANY = 0, ONE_OP_MANY = 1, MANY_OP_ONE = 2 };

ZekBinaryLoop arithmeticLoop(uint8_t opcode) {
  switch (opcode) {
    case OP_PLUS: return zek_loop_PLUS;
    case OP_MINUS: return zek_loop_MINUS;
    case OP_MULT: return zek_loop_MULT;
    case OP_DIV: return zek_loop_DIV;
    case OP_MODULO: return zek_loop_MODULO;
  }
  return nullptr;
}

bool isScalar(const ValueEntry &e) { return e.scalar && e.dimCount == 1 && e.dims[0] == 1; }

bool sameType(uint32_t expected, uint32_t found) {
  if (expected == found) return true;
  const char *expectedName = zek_getBaseTypeName(expected);
  zek_raiseError(ZEK_ERR_TYPE, "Type mismatch on parameter stack. Expected %s, got %s.", expectedName,
                 zek_getBaseTypeName(found));
  return false;
}

// Pushes one result member shaped like model and runs the operator over its elements.
bool pushMember(const ValueEntry &model, ZekBinaryLoop loop, const uint8_t *left, const uint8_t *right,
                ZekLoopShape shape) {
  uint8_t *result = zek_pushResult(model.type, model.scalar, model.dims, model.dimCount, model.total,
                                   zek_baseTypeSizeOf(model.type));
  if (result == nullptr) return false;
  loop(result, left, right, model.total, shape, model.type);
  return true;
}

void applyMembers(const ValueList *list, uint32_t n, uint8_t mode, ZekBinaryLoop loop) {
  const ValueEntry *e = list->entries;
  if (mode == MANY_OP_MANY) {
    for (uint32_t i = 0; i < n; ++i) {
      const ValueEntry &a = e[i], &b = e[n + i];
      if (!sameType(a.type, b.type)) return;
      if (!zek_sameShape(&a, &b)) {
        zek_raiseShapeMismatch(&a, &b);
        return;
      }
      if (!pushMember(a, loop, a.value, b.value, ZEK_EACH_OP_EACH)) return;
    }
  } else if (mode == ONE_OP_MANY) {
    const ValueEntry &s = e[0];
    if (!isScalar(s)) {
      zek_raiseError(ZEK_ERR_BYTECODE, "ONE_OP_MANY requires a scalar on lhs.");
      return;
    }
    for (uint32_t i = 1; i <= n; ++i) {
      if (!sameType(s.type, e[i].type)) return;
      if (!pushMember(e[i], loop, s.value, e[i].value, ZEK_ONE_OP_EACH)) return;
    }
  } else {
    const ValueEntry &s = e[n];
    if (!isScalar(s)) {
      zek_raiseError(ZEK_ERR_BYTECODE, "MANY_OP_ONE requires a scalar on rhs.");
      return;
    }
    for (uint32_t i = 0; i < n; ++i) {
      if (!sameType(e[i].type, s.type)) return;
      if (!pushMember(e[i], loop, e[i].value, s.value, ZEK_EACH_OP_ONE)) return;
    }
  }
}

}  // namespace

void zek__STRUCTOP(void) {
  uint32_t n = op_u32();
  uint8_t mode = op_u8();
  uint8_t opcode = op_u8();
  ZekBinaryLoop loop = arithmeticLoop(opcode);
  if (loop == nullptr) {
    zek_raiseError(ZEK_ERR_BYTECODE, "STRUCTOP cannot be used with opcode %u.", (unsigned)opcode);
    return;
  }
  if (mode > MANY_OP_ONE) {
    zek_raiseError(ZEK_ERR_BYTECODE, "STRUCTOP mode %u not allowed.", (unsigned)mode);
    return;
  }
  // n comes from the byte code: the operand count is taken in 64 bits and checked against the
  // stack before anything is allocated.
  uint64_t count = mode == MANY_OP_MANY ? 2u * (uint64_t)n : (uint64_t)n + 1u;
  if (count > zek_pstack_valueCount()) {
    zek_pstack_raiseUnderflow();
    return;
  }
  ValueList *list = nullptr;
  if (!zek_pstack_dropNValues((uint32_t)count, &list)) return;
  // The operands now live in the list's copy; the results go where they stood.
  applyMembers(list, n, mode, loop);
  zek_pstack_dropNValues_free(list);
}
