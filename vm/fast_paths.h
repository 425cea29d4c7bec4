#pragma once
// Fast paths of the instruction loop: the common cases of the hottest instructions done in line,
// for scalars only. Each one first checks everything its handler would check on the way to the
// same result (operand bytes inside the code, channel index, shapes, types, stack room, jump
// targets) and changes nothing when one of them fails: the loop then calls the handler, which
// runs the instruction from the start and raises what it raises. A fast path that completes has
// every effect of its handler (the pushed entries, the heap bytes and their written flag, the
// scalar registers of a binary operation, pc) and raises nothing.
//
// The fast paths work on Regs, the loop's copy of pc and the three stack tops with the fields
// that stay fixed while the program is loaded: kept in registers, they are not reloaded after
// every store of a value byte. The loop writes pc and the tops back before it calls a handler
// or returns, and takes them up again after a handler. Private to run_cycle.cpp.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "arithmetic.h"
#include "opcodes.h"
#include "stacks.h"
#include "vm_state.h"
#include "zek_portability.h"

namespace zek_fast {

struct Regs {
  uint32_t pc;
  uint8_t *values;
  uint32_t *sizes, *types;
  bool stringWrite;
  // The fields VmState marks as cached by the loop: fixed while the program is loaded.
  const uint8_t *image;
  uint32_t crc, codeBase;
  bool swap;
  uint8_t *valuesBase, *valuesEnd;
  uint32_t *sizesBase, *sizesEnd, *typesBase;
  ChannelDecl *channels;
  uint32_t channelCount;
  uint8_t *heap, *writtenFlags;
};

// The fields that stay fixed while a program is loaded (marked "cached" in VmState): taken once
// per loop.
ZEK_ALWAYS_INLINE void takeUpFixed(Regs &r, const VmState &vm) {
  r.image = vm.image;
  r.crc = vm.crcPosition;
  r.codeBase = vm.codeBase;
  r.swap = vm.swap != 0;
  r.valuesBase = vm.values.base;
  r.valuesEnd = vm.values.end;
  r.sizesBase = vm.sizes.base;
  r.sizesEnd = vm.sizes.end;
  r.typesBase = vm.types.base;
  r.channels = vm.data.channels;
  r.channelCount = vm.data.channelCount;
  r.heap = vm.heap;
  r.writtenFlags = vm.writtenFlags;
}

// What a handler may move: taken after every one.
ZEK_ALWAYS_INLINE void takeUp(Regs &r, const VmState &vm) {
  r.pc = vm.pc;
  r.values = vm.values.top;
  r.sizes = vm.sizes.top;
  r.types = vm.types.top;
  r.stringWrite = vm.stringWrite != 0;
}

ZEK_ALWAYS_INLINE void writeBack(const Regs &r, VmState &vm) {
  vm.pc = r.pc;
  vm.values.top = r.values;
  vm.sizes.top = r.sizes;
  vm.types.top = r.types;
}

ZEK_ALWAYS_INLINE bool fits(const Regs &r, uint32_t n) { return (uint64_t)r.pc + n <= r.crc; }

// Swap: the image's byte order is not the machine's (the loop is compiled for both cases, so
// the common one tests nothing per operand).
template <typename T, bool Swap> ZEK_ALWAYS_INLINE T operand(const Regs &r) {
  T v;
  std::memcpy(&v, r.image + r.pc, sizeof v);
  if (Swap) {
    if constexpr (sizeof(T) == 2) v = (T)zek_swap2((uint16_t)v);
    else if constexpr (sizeof(T) == 4) v = (T)zek_swap4((uint32_t)v);
    else if constexpr (sizeof(T) == 8) v = (T)zek_swap8((uint64_t)v);
  }
  return v;
}

// The channel named by the u16 operand, or null when the handler must run.
template <bool Swap> ZEK_ALWAYS_INLINE ChannelDecl *channel(const Regs &r) {
  if (!fits(r, 2)) return nullptr;
  uint16_t index = operand<uint16_t, Swap>(r);
  return index < r.channelCount ? r.channels + index : nullptr;
}

// READALL of a scalar channel that no loader delivers.
template <bool Swap> ZEK_ALWAYS_INLINE bool readAll(Regs &r) {
  ChannelDecl *c = channel<Swap>(r);
  if (c == nullptr || c->dimCount != 0 || c->valueLoader != nullptr) return false;
  uint8_t size = c->elementSize;
  if (r.sizes >= r.sizesEnd || (size_t)(r.valuesEnd - r.values) < size) return false;
  zek_copyElement(r.values, r.heap + c->heapOffset, size);
  r.values += size;
  *r.sizes++ = 0;
  *r.types++ = c->baseType;
  r.pc += 2;
  return true;
}

// WRITEALL of a scalar of the channel's type into a one-element channel.
template <bool Swap> ZEK_ALWAYS_INLINE bool writeAll(Regs &r) {
  ChannelDecl *c = channel<Swap>(r);
  if (c == nullptr || c->elementCount != 1 || r.stringWrite) return false;
  uint8_t size = c->elementSize;
  if (r.sizes <= r.sizesBase || r.sizes[-1] != 0 || r.types <= r.typesBase || r.types[-1] != c->baseType ||
      (size_t)(r.values - r.valuesBase) < size)
    return false;
  uint32_t offset = c->heapOffset;
  r.values -= size;
  --r.sizes;
  --r.types;
  zek_copyElement(r.heap + offset, r.values, size);
  zek_bitmap_set(r.writtenFlags, offset);
  r.pc += 2;
  return true;
}

// A constant push of a T, from the operand or the given value.
template <typename T, bool Swap> ZEK_ALWAYS_INLINE bool push(Regs &r, uint32_t type, bool fromOperand, T value) {
  if (fromOperand) {
    if (!fits(r, sizeof(T))) return false;
    value = operand<T, Swap>(r);
  }
  if (r.sizes >= r.sizesEnd || (size_t)(r.valuesEnd - r.values) < sizeof(T)) return false;
  std::memcpy(r.values, &value, sizeof(T));
  r.values += sizeof(T);
  *r.sizes++ = 0;
  *r.types++ = type;
  if (fromOperand) r.pc += sizeof(T);
  return true;
}

// The binary operators with a fast path; the results are those of the operators' element
// functions (integers wrap in the unsigned working type, comparisons exact).
enum class Bin { Plus, Minus, Mult, Lt, Gt, Le, Ge, Eq, Neq };

template <Bin B, typename E> ZEK_ALWAYS_INLINE void compute(uint8_t *left, const uint8_t *right) {
  E a, b;
  std::memcpy(&a, left, sizeof a);
  std::memcpy(&b, right, sizeof b);
  using W = std::conditional_t<sizeof(E) == 8, uint64_t, uint32_t>;
  if constexpr (B == Bin::Plus || B == Bin::Minus || B == Bin::Mult) {
    E v;
    if constexpr (std::is_floating_point_v<E>) {
      v = B == Bin::Plus ? a + b : B == Bin::Minus ? a - b : a * b;
    } else {
      W x = (W)a, y = (W)b;
      v = (E)(B == Bin::Plus ? x + y : B == Bin::Minus ? x - y : x * y);
    }
    std::memcpy(left, &v, sizeof v);
  } else {
    bool v = B == Bin::Lt ? a < b : B == Bin::Gt ? a > b : B == Bin::Le ? a <= b : B == Bin::Ge ? a >= b
           : B == Bin::Eq ? a == b : a != b;
    *left = v ? 1 : 0;
  }
}

// Two scalars of one numeric type on top (bool and unknown types take the handler).
template <Bin B> ZEK_ALWAYS_INLINE bool binary(Regs &r) {
  if (r.sizes - r.sizesBase < 2 || r.sizes[-1] != 0 || r.sizes[-2] != 0 || r.types - r.typesBase < 2) return false;
  uint32_t type = r.types[-1];
  if (type != r.types[-2] || type < ZEK_UINT8 || type > ZEK_DOUBLE) return false;
  size_t size = zek_baseTypeSizeOf(type);
  if ((size_t)(r.values - r.valuesBase) < 2 * size) return false;
  uint8_t *right = r.values - size, *left = right - size;
  REGISTER_S2 = ZekScalarRegister{type, right};
  REGISTER_S1 = ZekScalarRegister{type, left};
  constexpr bool arithmetic = B == Bin::Plus || B == Bin::Minus || B == Bin::Mult;
  if constexpr (arithmetic) {
    // The low bits of a sum, difference or product do not depend on the sign: the integer
    // types are told apart by their size alone.
    if (type == ZEK_FLOAT) compute<B, float>(left, right);
    else if (type == ZEK_DOUBLE) compute<B, double>(left, right);
    else if (size == 4) compute<B, uint32_t>(left, right);
    else if (size == 8) compute<B, uint64_t>(left, right);
    else if (size == 2) compute<B, uint16_t>(left, right);
    else compute<B, uint8_t>(left, right);
  } else switch (type) {
    case ZEK_UINT8: compute<B, uint8_t>(left, right); break;
    case ZEK_INT8: compute<B, int8_t>(left, right); break;
    case ZEK_UINT16: compute<B, uint16_t>(left, right); break;
    case ZEK_INT16: compute<B, int16_t>(left, right); break;
    case ZEK_UINT32: compute<B, uint32_t>(left, right); break;
    case ZEK_INT32: compute<B, int32_t>(left, right); break;
    case ZEK_INT64: compute<B, int64_t>(left, right); break;
    case ZEK_FLOAT: compute<B, float>(left, right); break;
    default: compute<B, double>(left, right); break;
  }
  --r.sizes;
  --r.types;
  if constexpr (arithmetic) {
    r.values = right;
  } else {
    r.types[-1] = ZEK_BOOL;
    r.values = left + 1;
  }
  return true;
}

// JUMP, and JUMPONTRUE / JUMPONFALSE on a bool scalar; a jump that would leave the code takes
// the handler, which raises. So does a jump taken while a stop request stands: its handler
// ends the loop when the jump goes back. The request is read before the direction is compared:
// on the backward jump of a loop, a byte load and a branch that is never taken cost less than
// a comparison whose branch is taken there.
template <bool Swap> ZEK_ALWAYS_INLINE bool jump(Regs &r) {
  if (!fits(r, 4)) return false;
  uint32_t target = operand<uint32_t, Swap>(r);
  if ((uint64_t)r.codeBase + target >= r.crc || zek_stopRequested()) return false;
  r.pc = r.codeBase + target;
  return true;
}

template <bool Swap> ZEK_ALWAYS_INLINE bool jumpOn(Regs &r, bool when) {
  if (!fits(r, 4)) return false;
  uint32_t target = operand<uint32_t, Swap>(r);
  if (r.types <= r.typesBase || r.sizes <= r.sizesBase || r.sizes[-1] != 0 || r.types[-1] != ZEK_BOOL ||
      r.values <= r.valuesBase)
    return false;
  bool taken = (r.values[-1] != 0) == when;
  if (taken && ((uint64_t)r.codeBase + target >= r.crc || zek_stopRequested())) return false;
  --r.values;
  --r.sizes;
  --r.types;
  r.pc = taken ? r.codeBase + target : r.pc + 4;
  return true;
}

// DROP of a scalar.
ZEK_ALWAYS_INLINE bool drop(Regs &r) {
  if (r.sizes <= r.sizesBase || r.sizes[-1] != 0 || r.types <= r.typesBase) return false;
  uint32_t size = zek_baseTypeSizeOf(r.types[-1]);
  if ((uint32_t)(r.values - r.valuesBase) < size) return false;
  r.values -= size;
  --r.sizes;
  --r.types;
  return true;
}

// The instructions with a fast path and the call that runs it.
#define ZEK_FAST_PATHS(X)                                          \
  X(READALL, readAll<Swap>(r))                                     \
  X(WRITEALL, writeAll<Swap>(r))                                   \
  X(PUSHTRUE, (push<uint8_t, Swap>(r, ZEK_BOOL, false, 1)))        \
  X(PUSHFALSE, (push<uint8_t, Swap>(r, ZEK_BOOL, false, 0)))       \
  X(PUSHUINT8, (push<uint8_t, Swap>(r, ZEK_UINT8, true, 0)))       \
  X(PUSHINT8, (push<uint8_t, Swap>(r, ZEK_INT8, true, 0)))         \
  X(PUSHUINT16, (push<uint16_t, Swap>(r, ZEK_UINT16, true, 0)))    \
  X(PUSHINT16, (push<uint16_t, Swap>(r, ZEK_INT16, true, 0)))      \
  X(PUSHUINT32, (push<uint32_t, Swap>(r, ZEK_UINT32, true, 0)))    \
  X(PUSHINT32, (push<uint32_t, Swap>(r, ZEK_INT32, true, 0)))      \
  X(PUSHINT64, (push<uint64_t, Swap>(r, ZEK_INT64, true, 0)))      \
  X(PUSHFLOAT, (push<uint32_t, Swap>(r, ZEK_FLOAT, true, 0)))      \
  X(PUSHDOUBLE, (push<uint64_t, Swap>(r, ZEK_DOUBLE, true, 0)))    \
  X(PLUS, binary<Bin::Plus>(r))                                    \
  X(MINUS, binary<Bin::Minus>(r))                                  \
  X(MULT, binary<Bin::Mult>(r))                                    \
  X(LT, binary<Bin::Lt>(r))                                        \
  X(GT, binary<Bin::Gt>(r))                                        \
  X(LE, binary<Bin::Le>(r))                                        \
  X(GE, binary<Bin::Ge>(r))                                        \
  X(EQ, binary<Bin::Eq>(r))                                        \
  X(NEQ, binary<Bin::Neq>(r))                                      \
  X(JUMP, jump<Swap>(r))                                           \
  X(JUMPONTRUE, jumpOn<Swap>(r, true))                             \
  X(JUMPONFALSE, jumpOn<Swap>(r, false))                           \
  X(DROP, drop(r))

}  // namespace zek_fast
