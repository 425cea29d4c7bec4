#pragma once
// Loading built images into the VM and looking at the result, for the tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
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

// The instruction that raised the standing error, quoted with its line of the instruction table:
// " (raised by the instruction at code offset 0x0002: ENDERROR hs [--])"; empty without an
// error. For failure messages.
inline std::string raisedBy() {
  const VmState &vm = vmstate0;
  if (!zek_hasError() || vm.image == nullptr || vm.instructionAddress <= vm.codeBase ||
      vm.instructionAddress > vm.crcPosition)
    return "";
  uint32_t at = vm.instructionAddress - 1;
  char offset[16];
  std::snprintf(offset, sizeof offset, "0x%04x", at - vm.codeBase);
  return std::string(" (raised by the instruction at code offset ") + offset + ": " + opcodeLine(vm.image[at]) + ")";
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
  EXPECT_EQ(zek_getErrorCode(), row.error) << row.code << ": " << errorText() << raisedBy();
  if (!row.message.empty()) {
    EXPECT_EQ(bareError(), row.message) << row.code << raisedBy();
  }
}

// ---------------------------------------------------------------------------------------------
// The fast paths held to their handlers

// Everything an instruction can leave behind: the five stacks, the values heap with its written
// flags, the error (its code and whole message, context included), pc and the run state.
struct Outcome {
  std::vector<uint8_t> values;
  std::vector<uint32_t> sizes, types, index, calls;
  std::vector<uint8_t> heap, written;
  uint16_t error = 0;
  std::string message;
  uint32_t pc = 0, runState = 0;
  bool operator==(const Outcome &) const = default;
};

inline Outcome outcomeNow() {
  const VmState &vm = vmstate0;
  Outcome o;
  StackSnapshot s = snapshot();
  o.values = s.values;
  o.sizes = s.sizes;
  o.types = s.types;
  o.index = s.index;
  o.calls = s.calls;
  if (vm.heap != nullptr) o.heap.assign(vm.heap, vm.heap + zek_getValuesHeapBufferSize());
  if (vm.writtenFlags != nullptr) o.written.assign(vm.writtenFlags, vm.writtenFlags + vm.bitmapSize);
  o.error = zek_getErrorCode();
  o.message = zek_getErrorMessage();
  o.pc = vm.pc;
  o.runState = vm.runState;
  return o;
}

template <typename T> std::string hexList(const std::vector<T> &v) {
  std::string text = "{";
  for (size_t i = 0; i < v.size() && i < 64; ++i) {
    char item[16];
    std::snprintf(item, sizeof item, "%s%llx", i > 0 ? " " : "", (unsigned long long)v[i]);
    text += item;
  }
  return text + (v.size() > 64 ? " ...}" : "}");
}

// The parts in which the handlers' outcome and the fast paths' differ, each with both sides.
inline std::string differences(const Outcome &handlers, const Outcome &fast) {
  std::string text;
  auto part = [&](const char *name, const std::string &a, const std::string &b) {
    if (a != b) text += std::string("\n  ") + name + ": handlers " + a + ", fast paths " + b;
  };
  part("value stack", hexList(handlers.values), hexList(fast.values));
  part("size stack", hexList(handlers.sizes), hexList(fast.sizes));
  part("type stack", hexList(handlers.types), hexList(fast.types));
  part("index stack", hexList(handlers.index), hexList(fast.index));
  part("call stack", hexList(handlers.calls), hexList(fast.calls));
  part("heap", hexList(handlers.heap), hexList(fast.heap));
  part("written flags", hexList(handlers.written), hexList(fast.written));
  part("error", std::to_string(handlers.error) + " \"" + handlers.message + "\"",
       std::to_string(fast.error) + " \"" + fast.message + "\"");
  part("pc", std::to_string(handlers.pc), std::to_string(fast.pc));
  part("run state", std::to_string(handlers.runState), std::to_string(fast.runState));
  return text;
}

// Sets zek_handlersOnly for its lifetime, so that a failing check cannot leave it set.
struct HandlersOnly {
  HandlersOnly() { zek_handlersOnly = true; }
  ~HandlersOnly() { zek_handlersOnly = false; }
  HandlersOnly(const HandlersOnly &) = delete;
  HandlersOnly &operator=(const HandlersOnly &) = delete;
};

// Runs a case twice from a fresh load: first with every instruction sent to its handler, then
// as the hosts run it, with the fast paths. Both must leave the same outcome. run loads the
// program and executes it; what its second call returns is returned (the Loaded that keeps the
// image alive), and the VM stands as the fast paths left it, so that the case's own checks
// look at the hosts' run.
template <typename Run> auto bothWays(const std::string &what, Run &&run) -> decltype(run()) {
  using Result = decltype(run());
  Outcome handlers;
  std::string handlersRaiser;
  auto compare = [&] {
    Outcome fast = outcomeNow();
    std::string quotes;
    if (!handlersRaiser.empty()) quotes += "\n  handlers" + handlersRaiser;
    if (!raisedBy().empty()) quotes += "\n  fast paths" + raisedBy();
    EXPECT_TRUE(handlers == fast) << what << ": the fast paths and the handlers disagree"
                                  << differences(handlers, fast) << quotes;
  };
  if constexpr (std::is_void_v<Result>) {
    {
      HandlersOnly only;
      run();
      handlers = outcomeNow();
      handlersRaiser = raisedBy();
    }
    run();
    compare();
  } else {
    Result first = [&] {
      HandlersOnly only;
      Result r = run();
      handlers = outcomeNow();
      handlersRaiser = raisedBy();
      return r;
    }();
    Result second = run();
    compare();
    return second;
  }
}

}  // namespace zt
