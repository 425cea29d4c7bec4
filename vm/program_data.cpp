// What hosts see of the loaded program: VmData and the exported getters and setters.
#include "vm_state.h"

namespace {
constexpr double kMicro = 1000000.0;
}  // namespace

uint32_t zek_getCycleCount(void) { return vmstate0.cycleCount; }
VmData *zek_getData(void) { return &vmstate0.data; }
uint32_t zek_getDensity(void) { return vmstate0.cycleTime; }
uint32_t zek_getHistorySize(void) { return vmstate0.historySize; }
uint32_t zek_getTimeout(void) { return vmstate0.timeout; }
uint32_t zek_getVmCompatiblityVersion(void) { return 1; }
uint32_t zek_getVmFeatureVersion(void) { return 1800; }
uint8_t zek_isRecordCycle(void) { return vmstate0.recordCycle; }
uint8_t zek_isSutSynchron(void) { return vmstate0.sutSynchronous; }
void zek_installMessageBoxCmd(ZekMessageBoxCmd cmd) { vmstate0.messageBoxCmd = cmd; }
void zek_installRealtimeCmd(ZekRealtimeCmd cmd) { vmstate0.realtimeCmd = cmd; }

uint32_t zek_setDensity(uint32_t us) {
  VmState &vm = vmstate0;
  if (vm.cycleCount >= 1) {
    zek_raiseError(ZEK_ERR_DENSITY, "Density can only be adjusted if number of computed cycles is less than 1.");
    return 1;
  }
  if (us == 0) {
    zek_raiseError(ZEK_ERR_DENSITY, "Density must be greater than 0 microseconds.");
    return 1;
  }
  if (us != vm.cycleTime) {
    double cycles = (double)vm.cycleTime * (double)vm.timeout / (double)us;
    vm.timeout = cycles >= 4294967295.0 ? 0xFFFFFFFFu : (uint32_t)cycles;
    vm.cycleTime = us;
    vm.timeoutSeconds = (double)vm.timeout * (double)us / kMicro;
  }
  return 0;
}

uint32_t zek_setTimeout(uint32_t cycles) {
  VmState &vm = vmstate0;
  vm.timeout = cycles;
  vm.timeoutSeconds = (double)vm.cycleTime * (double)cycles / kMicro;
  return 0;
}

const char *zek_getSuppressedSignalNames(void) {
  const char *value = zek_get_attribute(vmstate0.programAttributes, "suppressed");
  return value != nullptr ? value : "";
}

bool zek_isSuppressedSignalName(const char *name) {
  // Each comma-separated entry suppresses every name that begins with it; the walk ends with
  // the value, so a trailing comma adds no empty entry.
  const char *entry = zek_getSuppressedSignalNames();
  while (*entry != '\0') {
    size_t n = std::strcspn(entry, ",");
    if (std::strncmp(name, entry, n) == 0) return true;
    entry += n;
    if (*entry == ',') ++entry;
  }
  return false;
}

uint32_t zek_isWrittenFlag(uint32_t bit) {
  const VmState &vm = vmstate0;
  if (vm.writtenFlags == nullptr || bit / 8 >= vm.bitmapSize) return 0;
  return vm.writtenFlags[bit / 8] & (1u << (bit % 8));
}

uint8_t *zek_getValuesHeapBuffer(void) { return vmstate0.heap; }

uint32_t zek_getValuesHeapBufferSize(void) {
  return vmstate0.part1Size + vmstate0.part2Size + vmstate0.part3Size;
}

void zek_default_bucket_cleanup(uint16_t, void *bucket) { zek_free(bucket); }

void zek_eventList_free(void) {
  EventRecord *record = vmstate0.data.eventList;
  while (record != nullptr) {
    EventRecord *next = record->next;
    zek_free(record->data);
    zek_free(record);
    record = next;
  }
  vmstate0.data.eventList = nullptr;
  vmstate0.eventTail = nullptr;
  vmstate0.eventCount = 0;
}
