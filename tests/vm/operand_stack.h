#pragma once
// Operands for the operator tests: values placed on the parameter stack before the byte code
// runs, and the top value (or the error) as one line of text.
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "vm_harness.h"

namespace zt {

template <typename T> void pushScalar(uint32_t type, T v) { ASSERT_TRUE(zek_pstack_pushScalar(type, &v)); }

// A one-dimensional array, or one of the given dimensions.
template <typename T> void pushArray(uint32_t type, const std::vector<T> &v, std::vector<uint32_t> dims = {}) {
  if (dims.empty()) dims = {(uint32_t)v.size()};
  uint8_t *p = zek_pstack_pushValue(type, v.size() * sizeof(T), dims.data(), (uint8_t)dims.size());
  ASSERT_NE(p, nullptr);
  if (!v.empty()) std::memcpy(p, v.data(), v.size() * sizeof(T));
}

// Loads a program made of code, lets prepare put operands on the stack and runs the code on
// them, without the end-of-cycle checks, so the stacks can be looked at afterwards.
inline void runOn(const std::string &code, const std::function<void()> &prepare = {}, bool bigEndian = false) {
  static Loaded loaded;  // the image stays alive while the VM refers to it
  Program p;
  p.bigEndian = bigEndian;
  p.code = code + "; ENDCYCLE";
  loaded = runProgram(p, prepare);
}

inline std::string floatingText(double v, int digits) {
  if (std::isnan(v)) return std::signbit(v) ? "-nan" : "nan";
  char text[40];
  std::snprintf(text, sizeof text, "%.*g", digits, v);
  return text;
}

inline std::string elementText(uint32_t type, const uint8_t *p) {
  switch (type) {
    case ZEK_UINT8: case ZEK_BOOL: return std::to_string(zek_load_as<uint8_t>(p));
    case ZEK_INT8: return std::to_string(zek_load_as<int8_t>(p));
    case ZEK_UINT16: return std::to_string(zek_load_as<uint16_t>(p));
    case ZEK_INT16: return std::to_string(zek_load_as<int16_t>(p));
    case ZEK_UINT32: return std::to_string(zek_load_as<uint32_t>(p));
    case ZEK_INT32: return std::to_string(zek_load_as<int32_t>(p));
    case ZEK_INT64: return std::to_string(zek_load_as<int64_t>(p));
    case ZEK_FLOAT: return floatingText(zek_load_as<float>(p), 9);
    case ZEK_DOUBLE: return floatingText(zek_load_as<double>(p), 17);
  }
  return "?";
}

// "int8 -56", "bool[3] {0,1,1}", "int16[2][3] {...}", or "error 106 Division by zero (int32)."
inline std::string valueText(uint32_t depth = 0) {
  ZekValueView v{};
  if (!zek_pstack_peekValue(depth, &v)) return "no value";
  std::string text = zek_getBaseTypeName(v.type);
  if (v.scalar) return text + " " + elementText(v.type, v.bytes);
  for (uint8_t i = 0; i < v.dimCount; ++i) text += "[" + std::to_string(v.dims[i]) + "]";
  text += " {";
  for (uint32_t i = 0; i < v.total; ++i)
    text += (i > 0 ? "," : "") + elementText(v.type, v.bytes + (size_t)i * zek_baseTypeSizeOf(v.type));
  return text + "}";
}

inline std::string outcome() {
  if (zek_hasError()) return "error " + std::to_string(zek_getErrorCode()) + " " + bareError();
  return valueText();
}

// One operation and what it leaves: the top value, or "error <code> <message>". Each case runs
// through the handlers alone and with the fast paths, which must agree.
struct Case {
  const char *code;
  const char *expected;
};

inline void expectOutcomes(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    bothWays(c.code, [&] { runOn(c.code); });
    EXPECT_EQ(outcome(), c.expected) << c.code << raisedBy();
  }
}

// An error handler that counts the errors raised.
inline int raised = 0;
inline void countRaise(void) { ++raised; }

}  // namespace zt
