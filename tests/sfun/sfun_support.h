#pragma once
// The S-function wrapper played by the tests: it builds the port and function records, owns
// the port memory, logs every callback, and drives the library through its exports only.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "zek_mex_inprocess.h"
#include "zek_sfun.h"
#include "zek_vm.h"

namespace st {

constexpr uint32_t S = ZEK_SFUN_STRUCT_LEVEL;

inline std::string image(const char *name) { return std::string(ZEK_SFUN_IMAGES) + "/" + name; }

struct Sig {
  std::string name;
  uint32_t type = ZEK_DOUBLE;
  std::vector<uint32_t> sizes = {8};
  std::vector<uint32_t> dims = {};
  int32_t busOffset = 0;
  bool fixed = false;
};

struct Port {
  std::vector<Sig> signals;
  size_t bytes = 64;
  bool initialized = true;
  bool writeInitialOutput = false;
  bool noMemory = false;
};

// One callback of the wrapper's fixed-point handlers.
struct HandlerCall {
  bool toVm;
  int32_t fcnIndex;  // -1 for block ports
  uint32_t port, signal;
  void *vmElement;
  uint32_t baseType;
  uint8_t elementSize;
  void *slElement;
  uint32_t slSize;
};

struct Log {
  std::vector<std::string> reports;
  std::vector<SfunHandle> reportBlocks;
  std::vector<const char *> reportPointers;
  std::vector<HandlerCall> handlerCalls;
  int failAtHandlerCall = -1;  // the n-th handler call reports an error
};

inline Log &log() {
  static Log l;
  return l;
}

inline void onReport(SfunHandle block, const char *text) {
  log().reports.push_back(text);
  log().reportBlocks.push_back(block);
  log().reportPointers.push_back(text);
}

// The handlers scale by 10: port value (double) = VM value (int16) / 10.
inline void handle(HandlerCall call) {
  Log &l = log();
  l.handlerCalls.push_back(call);
  if ((int)l.handlerCalls.size() - 1 == l.failAtHandlerCall) {
    zek_reportError(nullptr, "fixed point handler failed");
    return;
  }
  int16_t vm;
  double sl;
  if (call.toVm) {
    std::memcpy(&sl, call.slElement, 8);
    vm = (int16_t)(sl * 10);
    std::memcpy(call.vmElement, &vm, 2);
  } else {
    std::memcpy(&vm, call.vmElement, 2);
    sl = vm / 10.0;
    std::memcpy(call.slElement, &sl, 8);
  }
}

inline void writeFixOut(SfunHandle, uint32_t port, uint32_t signal, void *vm, uint32_t type, uint8_t size, void *sl,
                        uint32_t slSize) {
  handle({false, -1, port, signal, vm, type, size, sl, slSize});
}
inline void readFixIn(SfunHandle, uint32_t port, uint32_t signal, void *vm, uint32_t type, uint8_t size, void *sl,
                      uint32_t slSize) {
  handle({true, -1, port, signal, vm, type, size, sl, slSize});
}
inline void writeFixFcnOut(SfunHandle, int32_t f, uint32_t arg, uint32_t signal, void *vm, uint32_t type, uint8_t size,
                           void *sl, uint32_t slSize) {
  handle({false, f, arg, signal, vm, type, size, sl, slSize});
}
inline void readFixFcnIn(SfunHandle, int32_t f, uint32_t arg, uint32_t signal, void *vm, uint32_t type, uint8_t size,
                         void *sl, uint32_t slSize) {
  handle({true, f, arg, signal, vm, type, size, sl, slSize});
}

// Owns every record and buffer it hands to the library; addresses stay put.
struct Wrapper {
  std::deque<std::vector<uint32_t>> lists;
  std::deque<std::vector<zek_port_signal>> signalTables;
  std::deque<std::vector<uint8_t>> memory;
  std::deque<std::string> names;
  std::vector<zek_port_data> inputs, outputs;
  PortInterface io{};
  std::deque<std::vector<zek_port_data>> argTables;
  std::vector<SlFunctionEntry> entries;
  FunctionInterface fcnIo{};
  std::string program, record;
  int block = 0;  // its address is the block handle

  SfunHandle handle() { return &block; }

  uint32_t *list(const std::vector<uint32_t> &v) {
    lists.push_back(v);
    return lists.back().empty() ? nullptr : lists.back().data();
  }

  zek_port_data port(const Port &spec) {
    signalTables.emplace_back();
    std::vector<zek_port_signal> &sigs = signalTables.back();
    for (const Sig &s : spec.signals) {
      names.push_back(s.name);
      zek_port_signal r{};
      r.name = names.back().c_str();
      r.mlBusElementOffset = s.busOffset;
      r.nSlTypes = (uint16_t)s.sizes.size();
      std::vector<uint32_t> ids(s.sizes.size(), 0);
      r.slTypeIds = list(ids);
      r.slTypeSizes = list(s.sizes);
      r.nDims = (uint8_t)s.dims.size();
      r.dims = list(s.dims);
      r.dataType = s.type;
      r.isScaledFixedPointType = s.fixed;
      sigs.push_back(r);
    }
    memory.emplace_back(spec.bytes, 0);
    zek_port_data p{};
    p.data = spec.noMemory ? nullptr : memory.back().data();
    p.nSignals = (uint16_t)sigs.size();
    p.signals = sigs.empty() ? nullptr : sigs.data();
    p.initialized = spec.initialized;
    p.writeInitialOutput = spec.writeInitialOutput;
    return p;
  }

  void ports(const std::vector<Port> &in, const std::vector<Port> &out) {
    for (const Port &p : in) inputs.push_back(port(p));
    for (const Port &p : out) outputs.push_back(port(p));
    io = PortInterface{(uint16_t)inputs.size(), inputs.empty() ? nullptr : inputs.data(), (uint16_t)outputs.size(),
                       outputs.empty() ? nullptr : outputs.data()};
  }

  void function(const char *name, const std::vector<Port> &in, const std::vector<Port> &out) {
    names.push_back(name);
    SlFunctionEntry e{};
    e.name = names.back().c_str();
    argTables.emplace_back();
    for (const Port &p : in) argTables.back().push_back(port(p));
    e.nInputArgs = (uint16_t)in.size();
    e.inputArgs = argTables.back().empty() ? nullptr : argTables.back().data();
    argTables.emplace_back();
    for (const Port &p : out) argTables.back().push_back(port(p));
    e.nOutputArgs = (uint16_t)out.size();
    e.outputArgs = argTables.back().empty() ? nullptr : argTables.back().data();
    entries.push_back(e);
    fcnIo = FunctionInterface{(uint16_t)entries.size(), entries.data()};
  }

  // Hands everything over; the step size is 10 ms.
  void setup(const char *programImage, double step = 0.01) {
    program = programImage != nullptr ? image(programImage) : "";
    zek_sfun_setup(step, onReport, program.c_str(), record.c_str(), &io, writeFixOut, readFixIn);
    if (!entries.empty()) zek_sfun_setup_fcn_io(&fcnIo, writeFixFcnOut, readFixFcnIn);
  }

  zek_port_signal &inSignal(size_t port, size_t signal) { return inputs[port].signals[signal]; }
  zek_port_signal &outSignal(size_t port, size_t signal) { return outputs[port].signals[signal]; }
  template <typename T> T inValue(size_t port, size_t offset) {
    T v;
    std::memcpy(&v, (uint8_t *)inputs[port].data + offset, sizeof v);
    return v;
  }
  template <typename T> void setIn(size_t port, size_t offset, T v) { std::memcpy((uint8_t *)inputs[port].data + offset, &v, sizeof v); }
  template <typename T> T outValue(size_t port, size_t offset) {
    T v;
    std::memcpy(&v, (uint8_t *)outputs[port].data + offset, sizeof v);
    return v;
  }
};

// The channel of the loaded program by name.
inline ChannelDecl *channel(const char *name) {
  VmData *d = zek_getData();
  for (uint16_t i = 0; d != nullptr && i < d->channelCount; ++i)
    if (std::strcmp(d->channels[i].name, name) == 0) return &d->channels[i];
  return nullptr;
}

template <typename T> T value(const char *name, uint32_t element = 0) {
  T v;
  std::memcpy(&v, channel(name)->value + element * sizeof(T), sizeof v);
  return v;
}
template <typename T> void setValue(const char *name, T v, uint32_t element = 0) {
  std::memcpy(channel(name)->value + element * sizeof(T), &v, sizeof v);
}

inline std::string lastReport() { return log().reports.empty() ? std::string() : log().reports.back(); }

inline std::string tempPath(const std::string &name) {
  return "/tmp/zek_sfun_" + std::to_string(getpid()) + "_" + name;
}

inline std::vector<uint8_t> readFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Every test starts with a fresh block and ends it.
class SfunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log() = Log{};
    zmx::reset();
    zek_sfun_terminate();
  }
  void TearDown() override {
    zek_sfun_terminate();
    zek_sfun_setup(-1.0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    zek_sfun_setup_fcn_io(nullptr, nullptr, nullptr);
    for (const std::string &p : removeAtEnd) std::remove(p.c_str());
  }
  std::vector<std::string> removeAtEnd;
};

}  // namespace st
