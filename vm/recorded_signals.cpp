// Signals replayed from tables inside the byte code: recorded signals (equidistant samples,
// RSIGNAL and RSIGNALRT) and interpolated signals ((time, value) records, ISIGNAL and
// ISIGNALRT). The plain forms take the time as a cycle number, the RT forms in seconds.
//
// A table is a MEM block that the instruction's offset designates, counted from the end of its
// operands. All multi-byte fields are in the image's byte order.
//   recorded:     27, u32 L, u8 type, f64 period P, N = (L - 9) / size samples
//   interpolated: 27, u32 L, u8 type, N = L / (time size + size) records {time, value}; the time
//                 is a u32 cycle number (ISIGNAL) or an f64 in seconds (ISIGNALRT)
// The tables come from the file: every field is checked against the image before a sample is
// read, and a table that does not hold together is refused with 117 (18 for its type).
#include <cmath>
#include <type_traits>

#include "arithmetic.h"
#include "channel_access.h"
#include "opcodes.h"
#include "operands.h"
#include "recorded_signals.h"
#include "signal_generators.h"
#include "state_buckets.h"
#include "stacks.h"

namespace {

constexpr uint8_t kMemOpcode = 27;

struct Table {
  uint32_t type;
  uint8_t size;
  uint32_t count;       // N >= 1
  const uint8_t *data;  // first sample or record
  uint32_t stride;      // bytes per sample or record
  double period;        // P of a recorded signal
};

// The block at `offset` from the current pc; its fields checked, none read beyond the block.
bool locateTable(uint32_t offset, bool interpolated, uint8_t timeSize, Table *out) {
  const VmState &vm = vmstate0;
  uint64_t pos = (uint64_t)vm.pc + offset;
  if (pos >= vm.crcPosition || vm.image[pos] != kMemOpcode) {
    if (interpolated)
      zek_raiseError(ZEK_ERR_BYTECODE, "PROGOFFSET %d does not point to a MEM or MEM32 instruction", (int)offset);
    else
      zek_raiseError(ZEK_ERR_BYTECODE, "PROGOFFSET %d does not point to a MEM instruction", (int)offset);
    return false;
  }
  auto raisePastTheCode = [offset]() {
    zek_raiseError(ZEK_ERR_BYTECODE, "Signal table at PROGOFFSET %d reaches past the end of the byte code.", (int)offset);
    return false;
  };
  if (pos + 5 > vm.crcPosition) return raisePastTheCode();
  uint32_t length = zek_load_as<uint32_t>(vm.image + pos + 1);
  if (vm.swap) length = zek_swap4(length);
  if (pos + 5 + length > vm.crcPosition) return raisePastTheCode();
  uint32_t header = interpolated ? 1 : 9;  // type byte, and the period of a recorded signal
  if (length < header) {
    zek_raiseError(ZEK_ERR_BYTECODE, "Signal table at PROGOFFSET %d holds no complete sample.", (int)offset);
    return false;
  }
  const uint8_t *block = vm.image + pos + 5;  // length bytes
  out->type = block[0];
  if (!zek_isValidBaseType(out->type)) {
    zek_raiseError(ZEK_ERR_TYPE, "Type %d not allowed in zek_RSIGNAL_read().", (int)out->type);
    return false;
  }
  out->size = zek_baseTypeSizeOf(out->type);
  out->stride = (uint32_t)out->size + timeSize;
  out->count = interpolated ? length / out->stride : (length - 9) / out->stride;
  // N = L / stride counts the type byte too; records must still end inside the block.
  if (out->count == 0 || (uint64_t)header + (uint64_t)out->count * out->stride > length) {
    zek_raiseError(ZEK_ERR_BYTECODE, "Signal table at PROGOFFSET %d holds no complete sample.", (int)offset);
    return false;
  }
  out->data = block + header;
  out->period = 0;
  if (!interpolated) {
    uint64_t bits = zek_load_as<uint64_t>(block + 1);
    if (vm.swap) bits = zek_swap8(bits);
    std::memcpy(&out->period, &bits, 8);
    if (!(out->period > 0) || std::isinf(out->period)) {
      zek_raiseError(ZEK_ERR_BYTECODE, "Sample period %f of the signal table at PROGOFFSET %d is not a positive number.",
                     out->period, (int)offset);
      return false;
    }
  }
  return true;
}

// A fraction outside 0..1 (or NaN) would extrapolate beyond the two neighbours.
inline double fractionOf(double x) { return x > 0 ? (x < 1 ? x : 1.0) : 0.0; }

template <typename T, typename Wide> inline void interpolateInt(uint8_t *a, const uint8_t *b, double x) {
  T va = zek_load_as<T>(a), vb = zek_load_as<T>(b);
  if constexpr (std::is_same_v<T, int64_t>) {
    // Samples more than 2^63 apart have no 64-bit difference: the point between them is taken in
    // double instead, and stays between them.
    bool rising = vb >= va;
    uint64_t d = (uint64_t)vb - (uint64_t)va;
    if (rising ? d > (uint64_t)INT64_MAX : d <= (uint64_t)INT64_MAX) {
      int64_t r = zek_truncToInt64((double)va + ((double)vb - (double)va) * x);
      int64_t lo = rising ? va : vb, hi = rising ? vb : va;
      zek_store_as<int64_t>(a, r < lo ? lo : (r > hi ? hi : r));
      return;
    }
  }
  // The difference in a signed width that holds it (int32 and uint32 in 64 bits).
  Wide d = (Wide)((uint64_t)(Wide)vb - (uint64_t)(Wide)va);
  int64_t step = zek_truncToInt64((double)d * x);
  zek_store_as<T>(a, (T)((uint64_t)(int64_t)va + (uint64_t)step));
}

}  // namespace

bool zek_RSIGNAL_read(void *destination, const uint8_t *position, uint32_t type) {
  if (!zek_isValidBaseType(type)) {
    zek_raiseError(ZEK_ERR_TYPE, "Type %d not allowed in zek_RSIGNAL_read().", (int)type);
    return false;
  }
  std::memcpy(destination, position, zek_baseTypeSizeOf(type));
  if (vmstate0.swap) zek_load_swapValue(destination, 1, type);
  return true;
}

bool zek_RSIGNAL_interpolate(void *a, const void *b, double x, uint32_t type) {
  uint8_t *pa = (uint8_t *)a;
  const uint8_t *pb = (const uint8_t *)b;
  switch (type) {
    case ZEK_UINT8: case ZEK_BOOL: interpolateInt<uint8_t, int32_t>(pa, pb, x); break;
    case ZEK_INT8: interpolateInt<int8_t, int32_t>(pa, pb, x); break;
    case ZEK_UINT16: interpolateInt<uint16_t, int32_t>(pa, pb, x); break;
    case ZEK_INT16: interpolateInt<int16_t, int32_t>(pa, pb, x); break;
    case ZEK_INT32: interpolateInt<int32_t, int64_t>(pa, pb, x); break;
    case ZEK_UINT32: interpolateInt<uint32_t, int64_t>(pa, pb, x); break;
    case ZEK_INT64: interpolateInt<int64_t, int64_t>(pa, pb, x); break;
    case ZEK_FLOAT: {
      float va = zek_load_as<float>(pa), vb = zek_load_as<float>(pb), d = vb - va;
      // Finite samples whose float difference overflows: the point between them in double.
      if (std::isinf(d) && std::isfinite(va) && std::isfinite(vb))
        zek_store_as<float>(pa, zek_doubleToFloat((double)va + ((double)vb - (double)va) * x));
      else
        zek_store_as<float>(pa, va + (float)((double)d * x));
      break;
    }
    case ZEK_DOUBLE: {
      double va = zek_load_as<double>(pa), vb = zek_load_as<double>(pb);
      zek_store_as<double>(pa, (vb - va) * x + va);
      break;
    }
    default:
      zek_raiseError(ZEK_ERR_TYPE, "Type %d not allowed in zek_RSIGNAL_read().", (int)type);
      return false;
  }
  return true;
}

double zek__ISIGNAL_getTimeFromMEM(bool realtime, const uint8_t *position) {
  const VmState &vm = vmstate0;
  if (realtime) {
    uint64_t bits = zek_load_as<uint64_t>(position);
    if (vm.swap) bits = zek_swap8(bits);
    double t;
    std::memcpy(&t, &bits, 8);
    return t;
  }
  uint32_t cycles = zek_load_as<uint32_t>(position);
  if (vm.swap) cycles = zek_swap4(cycles);
  return (double)cycles * 1e-6 * (double)vm.cycleTime;
}

void zek__RSIGNAL_and_RSIGNALRT(bool realtime) {
  const VmState &vm = vmstate0;
  uint32_t offset = op_u32();
  uint8_t interpolate = op_u8();
  Table table{};
  if (!locateTable(offset, false, 0, &table)) return;
  double period = table.period;
  double time, tolerance;
  if (realtime) {
    if (!zek_pstack_popScalar<double>(ZEK_DOUBLE, &time)) return;
    tolerance = period;
  } else {
    uint32_t cycle;
    if (!zek_pstack_popScalar<uint32_t>(ZEK_UINT32, &cycle)) return;
    double c = (double)vm.cycleTime * 1e-6;
    time = (double)cycle * c;
    tolerance = c < period ? c : period;
  }
  // Before the start (a negative or NaN time) the count is 0 and the fraction clamps to 0: the
  // first sample holds.
  uint32_t k = zek_countOf((time + tolerance / 10000) / period);
  if (k >= table.count) k = table.count - 1;
  uint8_t value[8], next[8];
  zek_RSIGNAL_read(value, table.data + (size_t)k * table.stride, table.type);
  if (interpolate != 0 && k < table.count - 1) {
    zek_RSIGNAL_read(next, table.data + (size_t)(k + 1) * table.stride, table.type);
    zek_RSIGNAL_interpolate(value, next, fractionOf((time - (double)k * period) / period), table.type);
  }
  zek_pstack_pushScalar(table.type, value);
}

void zek__ISIGNAL_and_ISIGNALRT(bool realtime) {
  VmState &vm = vmstate0;
  uint32_t offset = op_u32();
  uint16_t cursorChannel = op_u16();
  uint8_t interpolate = op_u8();
  Table table{};
  uint8_t timeSize = realtime ? 8 : 4;
  if (!locateTable(offset, true, timeSize, &table)) return;
  if (cursorChannel >= vm.data.channelCount) {
    zek_raiseError(ZEK_ERR_BYTECODE, "Cursor channel %d of the signal table at PROGOFFSET %d does not exist.",
                   (int)cursorChannel, (int)offset);
    return;
  }
  const ChannelDecl &cursor = vm.data.channels[cursorChannel];
  if (cursor.elementSize != 4) {
    zek_raiseError(ZEK_ERR_TYPE, "Cursor channel %s of the signal table at PROGOFFSET %d is not a 32-bit channel.",
                   cursor.name, (int)offset);
    return;
  }
  double time;
  if (realtime) {
    if (!zek_pstack_popScalar<double>(ZEK_DOUBLE, &time)) return;
  } else {
    uint32_t cycle;
    if (!zek_pstack_popScalar<uint32_t>(ZEK_UINT32, &cycle)) return;
    time = (double)cycle * 1e-6 * (double)vm.cycleTime;
  }
  double tolerance = (double)vm.cycleTime * 1e-9;

  // The search runs forward from the record found last; a time at or before 0 (or NaN) starts
  // it from the first record. When the cursor cannot be read its error stands and the search
  // starts at 0.
  uint32_t i = 0;
  if (time > 0) {
    const uint8_t *p = zek_getReadPtr(0, cursorChannel, 0);
    if (p != nullptr) i = zek_load_as<uint32_t>(p);
  }
  if (i >= table.count) {
    zek_raiseError(ZEK_ERR_BYTECODE, "Cursor %u of the signal table at PROGOFFSET %d lies beyond its %u records.", i,
                   (int)offset, table.count);
    return;
  }
  while (i < table.count && zek__ISIGNAL_getTimeFromMEM(realtime, table.data + (size_t)i * table.stride) <= time + tolerance)
    ++i;
  uint32_t j = i > 0 ? i - 1 : 0;
  zek_store_as<uint32_t>(vm.heap + cursor.heapOffset, j);
  zek_setWrittenFlagInRange(cursor.heapOffset, cursor.heapOffset);

  const uint8_t *record = table.data + (size_t)j * table.stride;
  uint8_t value[8], next[8];
  zek_RSIGNAL_read(value, record + timeSize, table.type);
  double m = zek__ISIGNAL_getTimeFromMEM(realtime, record);
  if (interpolate != 0 && time > m && j < table.count - 1) {
    const uint8_t *following = record + table.stride;
    double n = zek__ISIGNAL_getTimeFromMEM(realtime, following);
    // The search stopped before this record, so it lies after t unless the table's times are
    // not numbers.
    if (n > m) {
      zek_RSIGNAL_read(next, following + timeSize, table.type);
      zek_RSIGNAL_interpolate(value, next, fractionOf((time - m) / (n - m)), table.type);
    }
  }
  zek_pstack_pushScalar(table.type, value);
}

void zek__RSIGNAL(void) { zek__RSIGNAL_and_RSIGNALRT(false); }
void zek__RSIGNALRT(void) { zek__RSIGNAL_and_RSIGNALRT(true); }
void zek__ISIGNAL(void) { zek__ISIGNAL_and_ISIGNALRT(false); }
void zek__ISIGNALRT(void) { zek__ISIGNAL_and_ISIGNALRT(true); }
