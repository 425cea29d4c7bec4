#pragma once
// A channel to record and its value buffer, for the seed writers of the record-file targets.
#include <cstdint>
#include <vector>

#include "zek_vm.h"

struct SeedSignal {
  ChannelDecl decl;
  std::vector<uint8_t> value;
};

// A recorded channel of the given base type and element count, its value zeroed; the caller
// points decl.value at value once the record has its final place.
inline SeedSignal seedSignal(const char *name, uint16_t id, uint32_t type, uint32_t count, uint32_t role) {
  static const uint8_t sizes[11] = {0, 1, 1, 2, 2, 4, 4, 8, 4, 8, 1};
  SeedSignal s{};
  s.decl.name = name;
  s.decl.id = id;
  s.decl.baseType = type;
  s.decl.elementSize = sizes[type];
  s.decl.elementCount = count;
  s.decl.recorded = 1;
  s.decl.role = role;
  s.decl.option2 = s.decl.option4 = s.decl.option5 = -1;
  s.value.assign((size_t)count * sizes[type], 0);
  return s;
}
