#pragma once
// Loading built images into the VM and looking at the result, for the tests.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "image_builder.h"
#include "stacks.h"
#include "vm_state.h"
#include "zek_vm.h"

namespace zt {

// Keeps the image alive while it is loaded, as every host must.
struct Loaded {
  Image image;
  uint32_t result = 1;
};

inline Loaded load(const Program &p) {
  Loaded l{p.build(), 1};
  l.result = zek_load(l.image.data());
  return l;
}

inline ChannelDecl *channel(const std::string &name) {
  VmData *d = zek_getData();
  for (uint16_t i = 0; i < d->channelCount; ++i)
    if (name == d->channels[i].name) return &d->channels[i];
  return nullptr;
}

template <typename T> T value(const std::string &name, uint32_t element = 0) {
  ChannelDecl *c = channel(name);
  EXPECT_NE(c, nullptr) << name;
  T v{};
  if (c != nullptr) std::memcpy(&v, c->value + (size_t)element * c->elementSize, sizeof(T));
  return v;
}

template <typename T> void setValue(const std::string &name, T v, uint32_t element = 0) {
  ChannelDecl *c = channel(name);
  ASSERT_NE(c, nullptr) << name;
  std::memcpy(c->value + (size_t)element * c->elementSize, &v, sizeof(T));
}

inline std::string errorText() { return zek_getErrorMessage(); }

// The message without the context text that the VM appends in parentheses.
inline std::string bareError() {
  std::string m = zek_getErrorMessage();
  size_t p = m.rfind(" (error=");
  return p == std::string::npos ? m : m.substr(0, p);
}

// Runs byte code from the code base in the current cycle without the end-of-cycle checks, so a
// test can look at what the instructions left on the stacks. The program is loaded first.
// prepareExecution puts pc at offset bytes behind the code base with empty stacks and no error;
// a test may then place values before it runs the loop.
inline void prepareExecution(uint32_t offset = 0) {
  VmState &vm = vmstate0;
  vm.pc = vm.codeBase + offset;
  vm.runState = 0;
  vm.callDepth = 0;
  zek_pstack_clear();
  zek_istack_clear();
  zek_cstack_clear();
  zek_resetError();
}

// The one way the tests run byte code: from offset bytes behind the code base, after
// prepareExecution, with prepare (if given) placing operands or setting state first.
inline void executeFrom(uint32_t offset, const std::function<void()> &prepare = {}) {
  prepareExecution(offset);
  if (prepare) prepare();
  zek_executeLoop();
}

inline void execute(const Loaded &) { executeFrom(0); }

// The top value of the parameter stack as a scalar of type T.
template <typename T> T top(uint32_t depth = 0) {
  ZekValueView v{};
  EXPECT_TRUE(zek_pstack_peekValue(depth, &v));
  T out{};
  if (v.bytes != nullptr) std::memcpy(&out, v.bytes, sizeof(T));
  return out;
}

inline ZekValueView topView(uint32_t depth = 0) {
  ZekValueView v{};
  EXPECT_TRUE(zek_pstack_peekValue(depth, &v));
  return v;
}

template <typename T> std::vector<T> topArray(uint32_t depth = 0) {
  ZekValueView v = topView(depth);
  std::vector<T> out(v.total);
  if (v.total > 0) std::memcpy(out.data(), v.bytes, v.total * sizeof(T));
  return out;
}

// Everything on the five stacks, to show that a failing instruction left them as they were.
struct StackSnapshot {
  std::vector<uint8_t> values;
  std::vector<uint32_t> sizes, types, index, calls;
  bool operator==(const StackSnapshot &) const = default;
};

inline StackSnapshot snapshot() {
  const VmState &vm = vmstate0;
  StackSnapshot s;
  s.values.assign(vm.values.base, vm.values.top);
  s.sizes.assign(vm.sizes.base, vm.sizes.top);
  s.types.assign(vm.types.base, vm.types.top);
  s.index.assign(vm.index.base, vm.index.top);
  s.calls.assign(vm.calls.base, vm.calls.top);
  return s;
}

// Loads the program and runs its code once with executeFrom(0, prepare); nothing runs when
// the load fails (the test fails then).
inline Loaded runProgram(const Program &p, const std::function<void()> &prepare = {}) {
  Loaded l = load(p);
  EXPECT_EQ(l.result, 0u) << errorText();
  if (l.result == 0) executeFrom(0, prepare);
  return l;
}

// Loads code of a program without channels and runs it.
inline Loaded run(const std::string &code, bool bigEndian = false) {
  Program p;
  p.bigEndian = bigEndian;
  p.code = code;
  return runProgram(p);
}

// One row of an error table: the code that runs, the error it must raise and the message
// without its context (empty: only the error code is checked).
struct ErrorRow {
  std::string code;
  uint16_t error;
  std::string message;
};

// The error state after a row ran, as the row says.
inline void expectError(const ErrorRow &row) {
  EXPECT_EQ(zek_getErrorCode(), row.error) << row.code << ": " << errorText();
  if (!row.message.empty()) {
    EXPECT_EQ(bareError(), row.message) << row.code;
  }
}

}  // namespace zt
