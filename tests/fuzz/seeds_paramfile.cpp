// Writes the seeds of fuzz_paramfile into the folder given: small parameter files of every base
// type and declaration part, written by the record writer.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "recording.h"
#include "zekbin_writer.h"

namespace {

using Parameter = zt::RecordedSignal;

Parameter parameter(const char *name, uint16_t id, uint32_t type, uint32_t count) {
  Parameter p = zt::recordedSignal(name, type, count, 2, id);
  for (size_t i = 0; i < p.value.size(); ++i) p.value[i] = (uint8_t)(i * 37 + id);
  return p;
}

bool write(const std::string &path, std::vector<Parameter> &params, int rows, const EventDecl *events,
           uint16_t eventCount) {
  static const char *names[] = {"off", "on"};
  uint8_t values[2] = {0, 1};
  EnumSetDecl set{1, 2, names, values};
  zt::RecordingOptions options;
  options.enumSets = &set;
  options.enumSetCount = 1;
  options.events = events;
  options.eventCount = eventCount;
  options.step = 1;
  return zt::writeRecording(path, params, rows, [&](int64_t r) -> const EventRecord * {
    for (Parameter &p : params)
      if (!p.value.empty()) p.value[0] = (uint8_t)(p.value[0] + r % 3);
    return nullptr;
  }, options) == ZEKBIN_WRITE_OK;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: seeds_paramfile_writer FOLDER\n");
    return 2;
  }
  std::string dir = argv[1];
  bool ok = true;

  std::vector<Parameter> scalars;
  static const char *typeNames[] = {"", "u8", "i8", "u16", "i16", "u32", "i32", "i64", "f", "d", "b"};
  for (uint32_t type = 1; type <= 10; ++type) scalars.push_back(parameter(typeNames[type], (uint16_t)type, type, 1));
  ok &= write(dir + "/scalars.zekbin", scalars, 1, nullptr, 0);

  static double scaling[4] = {1, 0.5, 0, 0};
  static uint32_t dims[2] = {2, 3};
  std::vector<Parameter> parts = {parameter("matrix", 1, 9, 6), parameter("options", 2, 4, 1)};
  parts[0].decl.scaling = scaling;
  parts[0].decl.externalName = "Model/Matrix";
  parts[0].decl.dims = dims;
  parts[0].decl.dimCount = 2;
  parts[0].decl.attributes = "exchangemode=LOCAL\0unit=m\0";
  parts[1].decl.option2 = 3;
  parts[1].decl.option4 = 0x1234;
  parts[1].decl.option5 = 7;
  parts[1].decl.flagBit0 = parts[1].decl.isText = 1;
  ok &= write(dir + "/parts.zekbin", parts, 3, nullptr, 0);

  std::vector<Parameter> many = {parameter("curve", 1, 9, 40)};
  ok &= write(dir + "/chunks.zekbin", many, 30, nullptr, 0);

  std::vector<Parameter> none;
  ok &= write(dir + "/empty.zekbin", none, 1, nullptr, 0);

  std::vector<Parameter> rowless = {parameter("x", 1, 5, 2)};
  ok &= write(dir + "/rowless.zekbin", rowless, 0, nullptr, 0);

  EventDecl event{1, "ev"};
  std::vector<Parameter> withEvent = {parameter("y", 1, 6, 1)};
  ok &= write(dir + "/event.zekbin", withEvent, 1, &event, 1);

  if (!ok) std::fprintf(stderr, "seeds_paramfile_writer: could not write every seed into %s\n", dir.c_str());
  return ok ? 0 : 1;
}
