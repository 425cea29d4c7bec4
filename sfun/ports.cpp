// Matching of the wrapper's port and function records to the program's channels, and the
// transfer of port values between port memory and channel values.
//
// Port memory is column-major (first dimension fastest) and nested in buses; a channel's value
// is one contiguous row-major block. Where the two differ, matching gives the signal a table of
// element offsets in the VM's element order, so the per-step copy needs no lookup.
#include <cstdlib>
#include <cstring>

#include "sfun_internal.h"

namespace {

const char *zek_role2text(uint32_t role) {
  switch (role) {
    case 0: return "input";
    case 1: return "output";
    case 2: return "parameter";
    case 4: return "vminternal";
    case 5: return "function input";
    case 6: return "function output";
    case 7: return "assessment variable";
    case 8: return "measurement variable";
    default: return "<unknown>";
  }
}

const char *zek_type2text(uint32_t type) {
  static const char *const names[] = {"uint8", "int8", "uint16", "int16", "uint32",
                                      "int32", "int64", "float", "double", "bool"};
  return type >= 1 && type <= 10 ? names[type - 1] : "unknown type";
}

// The offset tables this library handed out, so that a new matching or the end of the block
// frees them (the records belong to the wrapper and may hold anything before matching).
uint32_t **g_tables = nullptr;
uint32_t g_tableCount = 0, g_tableCapacity = 0;

bool rememberTable(uint32_t *table) {
  if (g_tableCount == g_tableCapacity) {
    uint32_t capacity = g_tableCapacity == 0 ? 16 : g_tableCapacity * 2;
    void *grown = std::realloc(g_tables, (size_t)capacity * sizeof(uint32_t *));
    if (grown == nullptr) return false;
    g_tables = (uint32_t **)grown;
    g_tableCapacity = capacity;
  }
  g_tables[g_tableCount++] = table;
  return true;
}

struct OffsetWalk {
  uint32_t *offsets;
  uint32_t capacity, count;
  const uint32_t *dims;
  uint8_t nDims;
  const uint32_t *sizes;
  uint16_t sizeCount;
  bool ok;
};

void visit(OffsetWalk &w, uint8_t level, uint64_t base, uint64_t stride, uint16_t sizeIndex) {
  if (!w.ok) return;
  if (level == w.nDims) {
    if (w.count >= w.capacity || base > 0xFFFFFFFFu) {
      w.ok = false;
      return;
    }
    w.offsets[w.count++] = (uint32_t)base;
    return;
  }
  uint32_t extent = w.dims[level];
  if (extent == ZEK_SFUN_STRUCT_LEVEL) {
    // The stride restarts with the element size of the next structural level.
    if ((uint32_t)sizeIndex + 1 >= w.sizeCount) {
      w.ok = false;
      return;
    }
    visit(w, (uint8_t)(level + 1), base, w.sizes[sizeIndex + 1], (uint16_t)(sizeIndex + 1));
    return;
  }
  for (uint32_t j = 0; j < extent && w.ok; ++j) {
    uint64_t next = stride * (uint64_t)extent;
    if (stride > 0xFFFFFFFFu || next > 0xFFFFFFFFu) {
      w.ok = false;
      return;
    }
    visit(w, (uint8_t)(level + 1), base + stride * j, next, sizeIndex);
  }
}

// Product of the array extents, saturated above 32 bits.
uint64_t extentProduct(const uint32_t *dims, uint8_t nDims) {
  uint64_t product = 1;
  for (uint8_t k = 0; k < nDims; ++k) {
    if (dims[k] == ZEK_SFUN_STRUCT_LEVEL) continue;
    product *= dims[k];
    if (product > 0xFFFFFFFFu) return 0x100000000u;
  }
  return product;
}

uint32_t structuralLevels(const uint32_t *dims, uint8_t nDims) {
  uint32_t n = 0;
  for (uint8_t k = 0; k < nDims; ++k) n += dims[k] == ZEK_SFUN_STRUCT_LEVEL;
  return n;
}

// A filled-in port record must come with its memory and its signals.
bool checkPort(SfunHandle block, const zek_port_data &port, const char *what, uint32_t index,
               const char *functionName) {
  char subject[512];
  if (functionName != nullptr)
    std::snprintf(subject, sizeof subject, "Simulink-Function %s, %s argument %u", functionName, what, (unsigned)index);
  else
    std::snprintf(subject, sizeof subject, "S-Function %s port %u", what, (unsigned)index);
  if (port.data == nullptr) {
    zek_sfun_reportf(block, "Internal error: Data for %s is marked initialized but has no memory.", subject);
    return false;
  }
  if (port.nSignals > 0 && port.signals == nullptr) {
    zek_sfun_reportf(block, "Internal error: Data for %s has no signal list.", subject);
    return false;
  }
  return true;
}

}  // namespace

// The records are not touched: at the end of the block the wrapper may have released them.
// Transfers run only after a matching, which fills every record anew.
void zek_sfun_releaseOffsetTables(void) {
  for (uint32_t i = 0; i < g_tableCount; ++i) zek_sfun_free(g_tables[i]);
  std::free(g_tables);
  g_tables = nullptr;
  g_tableCount = g_tableCapacity = 0;
}

bool assignArrayElemOffsets(uint32_t *offsets, uint32_t capacity, const uint32_t *dims, uint8_t nDims,
                            const uint32_t *slTypeSizes, uint16_t sizeCount) {
  if (sizeCount == 0) return false;
  OffsetWalk w{offsets, capacity, 0, dims, nDims, slTypeSizes, sizeCount, true};
  visit(w, 0, 0, slTypeSizes[0], 0);
  return w.ok && w.count == capacity;
}

void zek_init_signal(SfunHandle block, zek_port_signal *signal, uint16_t channelCount, ChannelDecl *channels,
                     const char *kind, uint32_t role) {
  // A signal lies inside its port's memory, and its element size comes from its size list.
  if (signal->name == nullptr || signal->nSlTypes == 0 || signal->slTypeSizes == nullptr ||
      (signal->nDims > 0 && signal->dims == nullptr) || signal->mlBusElementOffset < 0) {
    zek_sfun_reportf(block, "Internal error: The record of the signal '%s' is incomplete.",
                     signal->name != nullptr ? signal->name : "");
    return;
  }
  // 1. The first visible channel of the name; the external name stands for the channel.
  ChannelDecl *c = nullptr;
  uint16_t index = 0;
  for (uint16_t i = 0; i < channelCount && c == nullptr; ++i) {
    const ChannelDecl &candidate = channels[i];
    if (candidate.needsNoPort) continue;
    const char *name = candidate.externalName != nullptr && candidate.externalName[0] != '\0' ? candidate.externalName
                                                                                              : candidate.name;
    if (name != nullptr && std::strcmp(name, signal->name) == 0) {
      c = &channels[i];
      index = i;
    }
  }
  if (c == nullptr) {
    zek_sfun_reportf(block, "Unable to find a signal with external name '%s' in the ZEK VM's %s signals.", signal->name,
                     kind);
    return;
  }
  // 2.-5. Role, type and size.
  if (c->role != role) {
    zek_sfun_reportf(block, "The signal '%s' has different roles. The role in ZEK is %s, but the role in MATLAB is %s.",
                     signal->name, zek_role2text(c->role), zek_role2text(role));
    return;
  }
  signal->zek_vm_adr = index;
  if (signal->dataType != c->baseType) {
    zek_sfun_reportf(block,
                     "The signal '%s' has different data types. ZEK data type is '%s', but MATLAB data type is '%s'.",
                     signal->name, zek_type2text(c->baseType), zek_type2text(signal->dataType));
    return;
  }
  uint32_t slSize = signal->slTypeSizes[signal->nSlTypes - 1];
  if (!signal->isScaledFixedPointType && c->elementSize != slSize) {
    zek_sfun_reportf(block,
                     "The signal '%s' has different data types sizes. ZEK data type size is '%d', but MATLAB data type "
                     "size is '%d'.",
                     signal->name, (int)c->elementSize, (int)slSize);
    return;
  }
  // 6. Shape: before the first structural level the port adopts the program's extents.
  if (signal->nDims > 0 || c->elementCount >= 2) {
    if (c->dimCount != signal->nDims) {
      zek_sfun_reportf(block,
                       "The signal '%s' has different different structural depths. ZEK structural depth is '%d', but "
                       "MATLAB structural depth is '%d'.",
                       signal->name, (int)c->dimCount, (int)signal->nDims);
      return;
    }
    bool structural = false;
    for (uint8_t k = 0; k < signal->nDims; ++k) {
      uint32_t ours = c->dims[k], theirs = signal->dims[k];
      bool ourLevel = ours == ZEK_SFUN_STRUCT_LEVEL, theirLevel = theirs == ZEK_SFUN_STRUCT_LEVEL;
      if (ourLevel && theirLevel) {
        structural = true;
      } else if (ourLevel != theirLevel) {
        zek_sfun_reportf(block, "The signal '%s' has a structural missmatch at dimension index %d.", signal->name, (int)k);
        return;
      } else if (!structural) {
        signal->dims[k] = ours;
      } else if (ours != theirs) {
        zek_sfun_reportf(block,
                         "The signal '%s' has a missmatch in dimension at dimension index %d. ZEK dimension is '%d', "
                         "but MATLAB dimension is '%d'.",
                         signal->name, (int)k, (int)ours, (int)theirs);
        return;
      }
    }
  }
  // 7. Element offsets where the layouts differ (always for scaled fixed point, whose handlers
  // take one element at a time).
  bool contiguous = c->dimCount == 0 || c->dims[c->dimCount - 1] == c->elementCount;
  if (contiguous && !signal->isScaledFixedPointType) {
    signal->nMlElementOffsets = 0;
    signal->mlElementOffsets = nullptr;
    return;
  }
  // The table is allocated by element count and filled by the extents: they must agree.
  uint64_t product = extentProduct(c->dims, c->dimCount);
  if (product != c->elementCount) {
    zek_sfun_reportf(block, "The signal '%s' has %u elements in ZEK, but its dimensions give %llu.", signal->name,
                     (unsigned)c->elementCount, (unsigned long long)product);
    return;
  }
  uint32_t levels = structuralLevels(c->dims, c->dimCount);
  if (levels + 1 > signal->nSlTypes) {
    zek_sfun_reportf(block,
                     "The signal '%s' has %u structural levels in ZEK, but MATLAB gives the sizes of only %u levels.",
                     signal->name, (unsigned)levels, (unsigned)signal->nSlTypes - 1);
    return;
  }
  if ((uint64_t)c->elementCount * sizeof(uint32_t) > 0xFFFFFFFFu) {
    zek_sfun_reportf(block, "Not enough memory for the element offsets of the signal '%s'.", signal->name);
    return;
  }
  uint32_t *offsets = (uint32_t *)zek_hostMalloc(c->elementCount * (uint32_t)sizeof(uint32_t));
  if (offsets == nullptr || !rememberTable(offsets)) {
    zek_free(offsets);
    zek_sfun_reportf(block, "Not enough memory for the element offsets of the signal '%s'.", signal->name);
    return;
  }
  if (!assignArrayElemOffsets(offsets, c->elementCount, c->dims, c->dimCount, signal->slTypeSizes, signal->nSlTypes)) {
    zek_sfun_reportf(block, "The signal '%s' does not fit the 32-bit offsets of its port.", signal->name);
    return;
  }
  signal->nMlElementOffsets = c->elementCount;
  signal->mlElementOffsets = offsets;
}

void zek_find_signals_by_names(SfunHandle block) {
  if (g_sfun.zek_io == nullptr) {
    zek_reportError(block, "Internal error: S-Function interface data not set.");
    return;
  }
  zek_sfun_releaseOffsetTables();
  VmData *data = g_sfun.zek_Data;
  if ((g_sfun.zek_io->nInputs > 0 && g_sfun.zek_io->inputs == nullptr) || (g_sfun.zek_io->nOutputs > 0 && g_sfun.zek_io->outputs == nullptr)) {
    zek_reportError(block, "Internal error: S-Function interface data not set.");
    return;
  }
  for (uint16_t p = 0; p < g_sfun.zek_io->nInputs && !zek_sfun_failed(); ++p) {
    zek_port_data &port = g_sfun.zek_io->inputs[p];
    if (!port.initialized) {
      zek_sfun_reportf(block, "Internal error: Data for S-Function input port %d is not yet initialized.", (int)p);
      return;
    }
    if (!checkPort(block, port, "input", p, nullptr)) return;
    for (uint16_t s = 0; s < port.nSignals && !zek_sfun_failed(); ++s)
      zek_init_signal(block, &port.signals[s], data->inputCount, data->inputs, "input", ZEK_ROLE_INPUT);
  }
  for (uint16_t p = 0; p < g_sfun.zek_io->nOutputs && !zek_sfun_failed(); ++p) {
    zek_port_data &port = g_sfun.zek_io->outputs[p];
    if (!port.initialized) {
      zek_sfun_reportf(block, "Internal error: Data for S-Function output port %d is not yet initialized.", (int)p);
      return;
    }
    if (!checkPort(block, port, "output", p, nullptr)) return;
    for (uint16_t s = 0; s < port.nSignals && !zek_sfun_failed(); ++s)
      zek_init_signal(block, &port.signals[s], data->outputCount, data->outputs, "output", ZEK_ROLE_OUTPUT);
    if (port.writeInitialOutput && !zek_sfun_failed())
      zekWriteValuesToSl(block, -1, 1, &port, data->outputCount, data->outputs, p);
  }
}

void zek_find_functions_by_names(SfunHandle block) {
  FunctionInterface *io = g_sfun.zek_server_fcn_io;
  if (io == nullptr) return;
  if (io->count > 0 && io->entries == nullptr) {
    zek_reportError(block, "Internal error: ZEK Server functions interface not initialized.");
    return;
  }
  VmData *data = g_sfun.zek_Data;
  for (uint16_t i = 0; i < io->count && !zek_sfun_failed(); ++i) {
    SlFunctionEntry &e = io->entries[i];
    const char *name = e.name != nullptr ? e.name : "";
    FunctionDecl *f = nullptr;
    uint16_t index = 0;
    for (uint16_t k = 0; k < data->functionCount && f == nullptr; ++k)
      if (data->functions[k].name != nullptr && std::strcmp(data->functions[k].name, name) == 0) {
        f = &data->functions[k];
        index = k;
      }
    if (f == nullptr) {
      zek_sfun_reportf(block, "Unable to find function '%s' in the ZEK VM's function.", name);
      return;
    }
    if (f->role != ZEK_FUNC_SERVER) {
      zek_sfun_reportf(block, "Function '%s' is not a server fuction.", name);
      return;
    }
    e.vmFunctionIndex = index;
    if ((e.nInputArgs > 0 && e.inputArgs == nullptr) || (e.nOutputArgs > 0 && e.outputArgs == nullptr)) {
      zek_sfun_reportf(block, "Internal error: The arguments of Simulink-Function %s are not set.", name);
      return;
    }
    for (uint16_t a = 0; a < e.nInputArgs && !zek_sfun_failed(); ++a) {
      zek_port_data &arg = e.inputArgs[a];
      if (!arg.initialized) {
        zek_sfun_reportf(block, "Internal error: Data for Simulink-Function %s, input argument %d is not yet initialized.",
                         name, (int)a);
        return;
      }
      if (!checkPort(block, arg, "input", a, name)) return;
      for (uint16_t s = 0; s < arg.nSignals && !zek_sfun_failed(); ++s)
        zek_init_signal(block, &arg.signals[s], f->argCount, f->firstArg, "function argument", ZEK_ROLE_FUNC_INPUT);
    }
    for (uint16_t a = 0; a < e.nOutputArgs && !zek_sfun_failed(); ++a) {
      zek_port_data &arg = e.outputArgs[a];
      if (!arg.initialized) {
        zek_sfun_reportf(block,
                         "Internal error: Data for Simulink-Function %s, output argument %d is not yet initialized.",
                         name, (int)a);
        return;
      }
      if (!checkPort(block, arg, "output", a, name)) return;
      for (uint16_t s = 0; s < arg.nSignals && !zek_sfun_failed(); ++s)
        zek_init_signal(block, &arg.signals[s], f->argCount, f->firstArg, "function argument", ZEK_ROLE_FUNC_OUTPUT);
    }
  }
}

namespace {

enum Direction { TO_VM, TO_PORT };

// One signal's elements in either direction; false after a report.
bool transferSignal(SfunHandle block, Direction dir, int32_t fcnIndex, uint32_t portIndex, uint32_t signalIndex,
                    zek_port_data &port, zek_port_signal &s, uint16_t channelCount, ChannelDecl *channels) {
  if (s.zek_vm_adr >= channelCount || port.data == nullptr) {
    zek_sfun_reportf(block, "Internal error: The signal '%s' is not matched to a ZEK signal.",
                     s.name != nullptr ? s.name : "");
    return false;
  }
  ChannelDecl &c = channels[s.zek_vm_adr];
  uint32_t n = c.elementCount, z = c.elementSize;
  uint8_t *sl = (uint8_t *)port.data + s.mlBusElementOffset;
  bool table = s.mlElementOffsets != nullptr && s.nMlElementOffsets >= n;
  if (!s.isScaledFixedPointType) {
    if (table) {
      for (uint32_t e = 0; e < n; ++e) {
        uint8_t *vm = c.value + (size_t)e * z, *el = sl + s.mlElementOffsets[e];
        if (dir == TO_VM)
          std::memcpy(vm, el, z);
        else
          std::memcpy(el, vm, z);
      }
    } else if (dir == TO_VM) {
      std::memcpy(c.value, sl, (size_t)n * z);
    } else {
      std::memcpy(sl, c.value, (size_t)n * z);
    }
    return true;
  }
  bool function = fcnIndex >= 0;
  CopyPortDataFn portHandler = dir == TO_VM ? g_sfun.zek_copyPortDataSl2ZekFcn : g_sfun.zek_copyPortDataZek2SlFcn;
  CopyFcnArgDataFn argHandler = dir == TO_VM ? g_sfun.zek_copyFcnArgDataSl2ZekFcn : g_sfun.zek_copyFcnArgDataZek2SlFcn;
  if (function ? argHandler == nullptr : portHandler == nullptr) {
    if (function)
      zek_sfun_reportf(block,
                       dir == TO_VM ? "Cannot read value for scaled fixed point data for function %d, input argument %d. "
                                      "Fixed point data handler not set."
                                    : "Cannot write value for scaled fixed point data for function %d, output argument "
                                      "%d. Fixed point data handler not set.",
                       (int)fcnIndex, (int)portIndex);
    else
      zek_sfun_reportf(block,
                       dir == TO_VM ? "Cannot read value for scaled fixed point data at input port %d. Fixed point data "
                                      "handler not set."
                                    : "Cannot write value for scaled fixed point data at output port %d. Fixed point "
                                      "data handler not set.",
                       (int)portIndex);
    return false;
  }
  if (!table) {
    zek_sfun_reportf(block, "Internal error: The signal '%s' is not matched to a ZEK signal.",
                     s.name != nullptr ? s.name : "");
    return false;
  }
  uint32_t slSize = s.slTypeSizes != nullptr && s.nSlTypes > 0 ? s.slTypeSizes[s.nSlTypes - 1] : 0;
  for (uint32_t e = 0; e < n && !zek_sfun_failed(); ++e) {
    void *vm = c.value + (size_t)e * z, *el = sl + s.mlElementOffsets[e];
    if (function)
      argHandler(block, fcnIndex, portIndex, signalIndex, vm, c.baseType, (uint8_t)z, el, slSize);
    else
      portHandler(block, portIndex, signalIndex, vm, c.baseType, (uint8_t)z, el, slSize);
  }
  return !zek_sfun_failed();
}

void transferPorts(SfunHandle block, Direction dir, int32_t fcnIndex, uint16_t portCount, zek_port_data *ports,
                   uint16_t channelCount, ChannelDecl *channels, uint16_t firstPortIndex) {
  if (ports == nullptr || channels == nullptr) return;
  for (uint16_t p = 0; p < portCount && !zek_sfun_failed(); ++p) {
    zek_port_data &port = ports[p];
    if (port.signals == nullptr) continue;
    for (uint16_t s = 0; s < port.nSignals && !zek_sfun_failed(); ++s) {
      // Outputs reach the ports only while the program is loaded or running.
      if (dir == TO_PORT && g_sfun.zek_status != ZEK_SFUN_LOADED && g_sfun.zek_status != ZEK_SFUN_RUNNING) return;
      if (!transferSignal(block, dir, fcnIndex, (uint32_t)firstPortIndex + p, s, port, port.signals[s], channelCount,
                          channels))
        return;
    }
  }
}

}  // namespace

void zekReadValuesFromSl(SfunHandle block, int32_t fcnIndex, uint16_t portCount, zek_port_data *ports,
                         uint16_t channelCount, ChannelDecl *channels) {
  transferPorts(block, TO_VM, fcnIndex, portCount, ports, channelCount, channels, 0);
}

void zekWriteValuesToSl(SfunHandle block, int32_t fcnIndex, uint16_t portCount, zek_port_data *ports,
                        uint16_t channelCount, ChannelDecl *channels, uint16_t firstPortIndex) {
  transferPorts(block, TO_PORT, fcnIndex, portCount, ports, channelCount, channels, firstPortIndex);
}

void zek_readInputValues(SfunHandle block) {
  if (g_sfun.zek_io == nullptr || g_sfun.zek_Data == nullptr) return;
  zekReadValuesFromSl(block, -1, g_sfun.zek_io->nInputs, g_sfun.zek_io->inputs, g_sfun.zek_Data->inputCount, g_sfun.zek_Data->inputs);
}

void zek_writeOutputValues(SfunHandle block) {
  if (g_sfun.zek_status != ZEK_SFUN_LOADED && g_sfun.zek_status != ZEK_SFUN_RUNNING) return;
  if (g_sfun.zek_io == nullptr || g_sfun.zek_Data == nullptr) return;
  zekWriteValuesToSl(block, -1, g_sfun.zek_io->nOutputs, g_sfun.zek_io->outputs, g_sfun.zek_Data->outputCount, g_sfun.zek_Data->outputs, 0);
}
