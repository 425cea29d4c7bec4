// The named byte stack with its hex dump, the stack counters, the one-line parameter-stack dump
// and the role texts. All of it only reads the VM state.
#include <cstring>

#include "stacks.h"
#include "vm_extras.h"

ZekByteStack *zek_stack_init(const char *name, uint32_t size) {
  // Header and storage in one block; the sum is checked because zek_malloc takes 32 bits.
  uint64_t total = (uint64_t)sizeof(ZekByteStack) + size;
  if (total > 0xFFFFFFFFull) {
    zek_raiseError(ZEK_ERR_MEMORY, "Not enough heap memory for %llu bytes.", (unsigned long long)total);
    return nullptr;
  }
  ZekByteStack *stack = (ZekByteStack *)zek_malloc((uint32_t)total);
  if (stack == nullptr) return nullptr;
  if (name == nullptr) name = "";
  uint32_t length = zek_strlen(name);
  stack->name = (char *)zek_malloc(length + 1);
  if (stack->name == nullptr) {
    zek_free(stack);
    return nullptr;
  }
  std::memcpy(stack->name, name, length);
  stack->base = (uint8_t *)(stack + 1);
  stack->end = stack->base + size;
  stack->top = stack->base;
  return stack;
}

void zek_stack_dispose(ZekByteStack *stack) {
  if (stack == nullptr) return;
  stack->top = stack->base = stack->end = nullptr;
  zek_free(stack->name);
  zek_free(stack);
}

void zek_stack_clear(ZekByteStack *stack) {
  if (stack != nullptr) stack->top = stack->base;
}

uint32_t zek_stack_currentsize(const ZekByteStack *stack) {
  return stack != nullptr ? (uint32_t)(stack->top - stack->base) : 0;
}

const char *zek_stack_name(const ZekByteStack *stack) { return stack != nullptr ? stack->name : nullptr; }

int32_t zek_stack_dump(const ZekByteStack *stack, int32_t n) {
  if (stack == nullptr) return n;
  uint32_t used = zek_stack_currentsize(stack);
  zek_printf("Stack(name=%s, size=%2u): ", stack->name, used);
  uint32_t places = n > 0 ? (uint32_t)n : 0;
  uint32_t shown = used < places ? used : places;
  for (uint32_t i = 0; i < shown; ++i) zek_printf("%02x ", (unsigned)stack->top[-1 - (int64_t)i]);
  for (uint32_t i = shown; i < places; ++i) zek_printf(".. ");
  return n;
}

uint32_t zek_pstack_sCount(void) { return (uint32_t)(vmstate0.sizes.top - vmstate0.sizes.base); }
uint32_t zek_pstack_tCount(void) { return (uint32_t)(vmstate0.types.top - vmstate0.types.base); }

namespace {
// Right-to-left rendering into text[0, pos): every piece goes in front of what is there, and a
// piece that does not fit in front ends the rendering.
struct Rendering {
  char *text;
  uint32_t pos;
  bool full;

  bool put(const char *piece, uint32_t length) {
    if (full || length > pos) {
      full = true;
      return false;
    }
    pos -= length;
    std::memcpy(text + pos, piece, length);
    return true;
  }
  bool put(char ch) { return put(&ch, 1); }
};

// Puts one value in front: its elements from the last to the first, arrays in brackets.
bool renderValue(Rendering &r, const ZekValueView &value) {
  uint8_t elementSize = zek_baseTypeSizeOf(value.type);
  if (!value.scalar && !r.put(']')) return false;
  const uint8_t *element = value.bytes + (uint64_t)value.total * elementSize;
  for (uint32_t i = value.total; i-- > 0;) {
    element -= elementSize;
    char text[256];
    int32_t length = zek_snprintValueWithTypeSuffix(text, sizeof text, element, value.type);
    if (!r.put(text, (uint32_t)length)) return false;
    if (i > 0 && !r.put(',')) return false;
  }
  if (!value.scalar && !r.put('[')) return false;
  return r.put(' ');
}
}  // namespace

void zek_pstack_dump(uint32_t width) {
  // A console line; a wider request gets this much.
  constexpr uint32_t kMaxWidth = 1u << 20;
  if (width > kMaxWidth) width = kMaxWidth;
  uint32_t count = zek_pstack_tCount();
  if (width < 2) {
    // No room for the leading blank: only the fill.
    zek_printf("%2d: |%.*s|", (int)count, (int)width, ".");
    return;
  }
  uint32_t textSize = 2 * width;
  char *text = (char *)zek_malloc(textSize + 1);
  if (text == nullptr) return;
  std::memset(text, '.', textSize);
  Rendering r{text, width - 2, false};
  text[r.pos] = ' ';
  for (uint32_t depth = 0; depth < count && r.pos >= 1; ++depth) {
    ZekValueView value{};
    if (!zek_pstack_peekValue(depth, &value) || !renderValue(r, value)) break;
  }
  zek_printf("%2d: |%.*s|", (int)count, (int)width, text + r.pos);
  zek_free(text);
}

const char *zek_getRoleName(uint32_t role) {
  static const char *const kRoleNames[] = {"ZEK input channel", "ZEK output channel", "parameter",
                                           "ZEK local channel", "VM internal",        "function input",
                                           "function output",   "assessment",         "measurement"};
  return role < sizeof kRoleNames / sizeof kRoleNames[0] ? kRoleNames[role] : "signal";
}
