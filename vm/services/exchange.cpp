// The IDE exchange: building, publishing and releasing the shared block, and the handshake
// around every cycle. One exchange per process, on the host's thread.
#include "exchange.h"

#include <cstring>

#include "zek_host.h"
#include "zek_common.h"
#include "zek_platform.h"
#include "zekbin_format.h"

namespace {

// The hardware-in-the-loop build records in format 8, and its block carries the declarations
// in that form under layout version 1.
#ifdef ZEK_ZEKBIN_V8
constexpr uint8_t kLayoutVersion = ZEK_EXCHANGE_LAYOUT_VERSION_HIL;
constexpr uint8_t kDeclarationVersion = ZEKBIN_VERSION_HIL;
#else
constexpr uint8_t kLayoutVersion = ZEK_EXCHANGE_LAYOUT_VERSION;
constexpr uint8_t kDeclarationVersion = ZEKBIN_VERSION;
#endif

struct ExchangeState {
  PlatEvent *toVm;   // kept for the life of the process once created
  PlatEvent *toIde;
  PlatMapping *mapping;
  uint8_t *block;    // null while there is no block
  uint8_t *heapCopy;
  const uint8_t *holdFlag;
  ZekExchangeMarks marks;
  uint32_t heapSize;  // the heap's real size when the block was built
  bool connected;
  uint32_t waitMs;
};

ExchangeState g_exchange = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, {}, 0, false, ZEK_EXCHANGE_WAIT_MS};

void putLe16(uint8_t *p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

void putLe32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

// The bytes of the heap that both sides may touch now: never more than the block was built
// for, nor more than the VM's heap has.
uint32_t sharedHeapSize(void) {
  if (zek_getValuesHeapBuffer() == nullptr) return 0;
  uint32_t now = zek_getValuesHeapBufferSize();
  return now < g_exchange.heapSize ? now : g_exchange.heapSize;
}

void releaseSharedMemory(void) {
  ExchangeState &s = g_exchange;
  s.connected = false;
  s.block = nullptr;
  s.heapCopy = nullptr;
  s.holdFlag = nullptr;
  s.marks = ZekExchangeMarks{};
  s.heapSize = 0;
  plat_mapping_close(s.mapping);
  s.mapping = nullptr;
}

bool initSharedMemory(VmData *data) {
  ExchangeState &s = g_exchange;
  uint64_t enumBytes = 0, declBytes = 0;
  bool encodable = true;
  for (uint16_t i = 0; i < data->enumSetCount; ++i) {
    int32_t n = zek_getEnumSetDeclLength(&data->enumSets[i]);
    encodable = encodable && n >= 0;
    enumBytes += n >= 0 ? (uint64_t)n : 0;
  }
  for (uint16_t i = 0; i < data->channelCount; ++i) {
    int32_t n = zekbin_getSignalDeclLengthOf(&data->channels[i], kDeclarationVersion);
    encodable = encodable && n >= 0;
    declBytes += n >= 0 ? (uint64_t)n : 0;
  }
  uint32_t heapSize = zek_getValuesHeapBuffer() != nullptr ? zek_getValuesHeapBufferSize() : 0;
  ZekExchangeLayout layout;
  if (!encodable || !zek_exchange_layout(heapSize, enumBytes, declBytes, &layout)) {
    zek_raiseError(ZEK_ERR_SHAREDMEM, "Cannot create shared memory for VM");
    return false;
  }
  PlatMapping *mapping = plat_mapping_create(ZEK_EXCHANGE_MAPPING_NAME, (size_t)layout.total);
  if (mapping == nullptr) {
    zek_raiseError(ZEK_ERR_SHAREDMEM, "Cannot create shared memory for VM");
    return false;
  }
  if (plat_mapping_data(mapping) == nullptr || plat_mapping_size(mapping) < layout.total) {
    plat_mapping_close(mapping);
    zek_raiseError(ZEK_ERR_SHAREDMEM, "Cannot create shared memory map area for VM");
    return false;
  }
  uint8_t *block = (uint8_t *)plat_mapping_data(mapping);

  // The mapping may be one that an IDE still holds from an earlier run: every byte of the
  // block is written here.
  putLe32(block + ZEK_EXCHANGE_OFFSET_TOTAL_SIZE, (uint32_t)layout.total);
  block[ZEK_EXCHANGE_OFFSET_VERSION] = kLayoutVersion;
  putLe32(block + ZEK_EXCHANGE_OFFSET_CYCLE_TIME, zek_getDensity());
  putLe32(block + ZEK_EXCHANGE_OFFSET_TIMEOUT, zek_getTimeout());
  putLe32(block + ZEK_EXCHANGE_OFFSET_CYCLE_COUNT, 0);
  block[ZEK_EXCHANGE_OFFSET_RESULT] = 0;
  std::memset(block + ZEK_EXCHANGE_OFFSET_MESSAGE, 0, ZEK_EXCHANGE_MESSAGE_SIZE);
  block[ZEK_EXCHANGE_OFFSET_RESERVED] = 0;
  block[ZEK_EXCHANGE_OFFSET_HOLD] = 0;
  putLe16(block + ZEK_EXCHANGE_OFFSET_ENUM_COUNT, data->enumSetCount);
  uint8_t *p = block + ZEK_EXCHANGE_OFFSET_ENUM_SETS;
  for (uint16_t i = 0; i < data->enumSetCount; ++i) p = zekbin_encodeEnumSetDecl(&data->enumSets[i], p);
  putLe16(p, data->channelCount);
  p += 2;
  for (uint16_t i = 0; i < data->channelCount; ++i) p = zekbin_writeSignalDeclOf(&data->channels[i], kDeclarationVersion, p);
  putLe32(block + layout.heapSizeField, (uint32_t)layout.paddedHeapSize);

  uint8_t *heapCopy = block + layout.heapCopy;
  if (heapSize > 0) std::memcpy(heapCopy, zek_getValuesHeapBuffer(), heapSize);
  std::memset(heapCopy + heapSize, 0, (size_t)(layout.paddedHeapSize - heapSize));
  std::memset(block + layout.level1, 0, (size_t)(layout.total - layout.level1));

  s.mapping = mapping;
  s.block = block;
  s.heapCopy = heapCopy;
  s.holdFlag = block + ZEK_EXCHANGE_OFFSET_HOLD;
  s.marks = {block + layout.level1, block + layout.level2, block + layout.level3, layout.level3Size,
             block + layout.overwriteFlag};
  s.heapSize = heapSize;
  return true;
}

void copyErrorCodeAndMessage(void) {
  uint8_t *block = g_exchange.block;
  if (zek_getErrorCode() == 0) {
    block[ZEK_EXCHANGE_OFFSET_RESULT] = 0;
    return;
  }
  block[ZEK_EXCHANGE_OFFSET_RESULT] = 1;
  const char *message = zek_getErrorMessage();
  uint32_t n = zek_nstrlen(message, ZEK_EXCHANGE_MESSAGE_SIZE - 1);
  std::memcpy(block + ZEK_EXCHANGE_OFFSET_MESSAGE, message, n);
  block[ZEK_EXCHANGE_OFFSET_MESSAGE + n] = 0;
}

void copyVmToSharedMem(void) {
  ExchangeState &s = g_exchange;
  uint32_t cycles = zek_getCycleCount();
  zek_exchange_copyValueBuffers(zek_getValuesHeapBuffer(), s.heapCopy, sharedHeapSize(), &s.marks, false);
  copyErrorCodeAndMessage();
  putLe32(s.block + ZEK_EXCHANGE_OFFSET_CYCLE_COUNT, cycles);
}

// The whole heap copy: the IDE's changes to any byte take effect for the coming cycle.
void copySharedMemToVm(void) {
  uint32_t size = sharedHeapSize();
  if (size > 0) std::memcpy(zek_getValuesHeapBuffer(), g_exchange.heapCopy, size);
}

void copySharedMemToVmOnlyOverwrites(void) {
  ExchangeState &s = g_exchange;
  zek_exchange_copyValueBuffers(s.heapCopy, zek_getValuesHeapBuffer(), sharedHeapSize(), &s.marks, true);
}

// Copies count bytes from first on, clipped to size; false when first lies beyond it.
inline bool copyClipped(const uint8_t *source, uint8_t *destination, uint64_t first, uint64_t count, uint32_t size) {
  if (first >= size) return false;
  uint64_t n = first + count <= size ? count : size - first;
  std::memcpy(destination + first, source + first, (size_t)n);
  return true;
}

}  // namespace

bool zek_exchange_layout(uint32_t heapSize, uint64_t enumSetBytes, uint64_t declarationBytes,
                         ZekExchangeLayout *layout) {
  ZekExchangeLayout l{};
  l.paddedHeapSize = ((uint64_t)heapSize + ZEK_EXCHANGE_HEAP_ALIGN - 1) & ~(uint64_t)(ZEK_EXCHANGE_HEAP_ALIGN - 1);
  l.level1Size = l.paddedHeapSize / 8;
  l.level2Size = (l.level1Size + 7) / 8;
  l.level3Size = (l.level2Size + 7) / 8;
  l.channelCount = ZEK_EXCHANGE_OFFSET_ENUM_SETS + enumSetBytes;
  l.heapSizeField = l.channelCount + 2 + declarationBytes;
  l.heapCopy = l.heapSizeField + 4;
  l.level1 = l.heapCopy + l.paddedHeapSize;
  l.level2 = l.level1 + l.level1Size;
  l.level3 = l.level2 + l.level2Size;
  l.overwriteFlag = l.level3 + l.level3Size;
  l.total = l.overwriteFlag + 1;
  *layout = l;
  // Each addend is below 2^48 here, so the sums above cannot wrap.
  return enumSetBytes <= UINT32_MAX && declarationBytes <= UINT32_MAX && l.total <= UINT32_MAX;
}

void zek_exchange_copyValueBuffers(const uint8_t *source, uint8_t *destination, uint32_t size,
                                   const ZekExchangeMarks *marks, bool onlyOverwrites) {
  if (size == 0) return;
  if (*marks->overwriteFlag == 0) {
    if (!onlyOverwrites) std::memcpy(destination, source, size);
    return;
  }
  const bool normal = !onlyOverwrites;
  for (uint64_t i = 0; i < marks->level3Size && i * 512 < size; ++i) {
    if (marks->level3[i] == 0) {
      if (normal) copyClipped(source, destination, i * 512, 512, size);
      continue;
    }
    for (uint64_t j = 8 * i; j < 8 * i + 8 && j * 64 < size; ++j) {
      if (marks->level2[j] == 0) {
        if (normal) copyClipped(source, destination, j * 64, 64, size);
        continue;
      }
      for (uint64_t k = 8 * j; k < 8 * j + 8 && k * 8 < size; ++k) {
        uint8_t bits = marks->level1[k];
        if (bits == 0) {
          if (normal) copyClipped(source, destination, k * 8, 8, size);
          continue;
        }
        for (uint32_t l = 0; l < 8 && k * 8 + l < size; ++l) {
          bool marked = (bits >> l) & 1u;
          if (marked != onlyOverwrites) continue;
          uint32_t b = (uint32_t)(k * 8 + l);
          destination[b] = source[b];
          if (onlyOverwrites) zek_setWrittenFlagInRange(b, b);
        }
      }
    }
  }
}

void zek_sharedmem_setWaitTimeout(uint32_t ms) { g_exchange.waitMs = ms; }

bool zek_sharedmem_isAttached(void) { return g_exchange.connected; }

void zek_sharedmem_beforecycle(VmData *data) {
  ExchangeState &s = g_exchange;
  uint32_t cycles = zek_getCycleCount();
  if (cycles == 0) releaseSharedMemory();
  if (s.toVm == nullptr) s.toVm = plat_event_create(ZEK_EXCHANGE_TO_VM_EVENT);
  if (s.toIde == nullptr) s.toIde = plat_event_create(ZEK_EXCHANGE_TO_IDE_EVENT);
  if (!s.connected) {
    if (cycles % ZEK_EXCHANGE_POLL_CYCLES != 0) return;
    if (s.toVm == nullptr || s.toIde == nullptr) return;
    if (plat_event_wait(s.toVm, 0) != PLAT_WAIT_OK) return;
    plat_event_reset(s.toVm);
    if (data == nullptr) data = zek_getData();
    if (s.block == nullptr && !initSharedMemory(data)) return;
    s.connected = true;
  }
  copyVmToSharedMem();
  plat_event_reset(s.toVm);
  plat_event_set(s.toIde);
  for (;;) {
    if (plat_event_wait(s.toVm, s.waitMs) != PLAT_WAIT_OK) {
      // No answer in time (or a failed wait): the cycle runs without the IDE.
      releaseSharedMemory();
      return;
    }
    plat_event_reset(s.toVm);
    if (*s.holdFlag == 0) break;
  }
  copySharedMemToVm();
}

void zek_sharedmem_aftercycle(int32_t cycleResult) {
  ExchangeState &s = g_exchange;
  if (!s.connected) return;
  copySharedMemToVmOnlyOverwrites();
  copyErrorCodeAndMessage();
  s.block[ZEK_EXCHANGE_OFFSET_RESULT] = (uint8_t)cycleResult;
  if (cycleResult == 0) return;
  // The final state goes to the IDE; a silent IDE is given one wait, not forever.
  plat_event_reset(s.toVm);
  plat_event_set(s.toIde);
  if (plat_event_wait(s.toVm, s.waitMs) == PLAT_WAIT_OK) plat_event_reset(s.toVm);
  releaseSharedMemory();
}

void zek_sharedmem_shutdown(void) {
  ExchangeState &s = g_exchange;
  releaseSharedMemory();
  plat_event_close(s.toVm);
  plat_event_close(s.toIde);
  s.toVm = nullptr;
  s.toIde = nullptr;
}
