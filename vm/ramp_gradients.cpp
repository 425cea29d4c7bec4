// Ramp gradients of a ramp kept in two channels instead of a ramp bucket: the stamp channel
// holds when the ramp started, the step channel the change per cycle. The result is the change
// since the stamp, as RAMP_NOW computes it from a bucket.
#include "channel_access.h"
#include "vm_extras.h"

namespace {
constexpr double kMicro = 1000000.0;

// The current value of element 0 of a channel of the expected type; null once an error stands.
// The type is checked because the value is taken as that type's bytes.
const uint8_t *readTyped(uint16_t channel, uint32_t expected, const char *what, const char *function) {
  const uint8_t *p = zek_getReadPtr(0, channel, 0);
  if (p == nullptr || zek_errorPending()) return nullptr;
  const ChannelDecl &c = vmstate0.data.channels[channel];
  if (c.baseType != expected) {
    zek_raiseError(ZEK_ERR_TYPE, "%s: the %s channel %s must be of type %s, not %s.", function, what, c.name,
                   zek_getBaseTypeName(expected),
                   zek_isValidBaseType(c.baseType) ? zek_getBaseTypeName(c.baseType) : "unknown");
    return nullptr;
  }
  return p;
}
}  // namespace

double zek__RAMPCHAN_computeGradient_NonRealtime(uint16_t stampChannel, uint16_t stepChannel) {
  static const char kName[] = "zek__RAMPCHAN_computeGradient_NonRealtime";
  const uint8_t *stamp = readTyped(stampChannel, ZEK_UINT32, "stamp", kName);
  if (stamp == nullptr) return 0.0;
  const uint8_t *step = readTyped(stepChannel, ZEK_DOUBLE, "step", kName);
  if (step == nullptr) return 0.0;
  // The ramp has moved one step in the stamp's own cycle already.
  uint32_t cyclesSince = vmstate0.cycleCount - zek_load_as<uint32_t>(stamp);
  return zek_load_as<double>(step) * ((double)cyclesSince + 1.0);
}

double zek__RAMPCHAN_computeGradient_Realtime(uint16_t stampChannel, uint16_t stepChannel) {
  static const char kName[] = "zek__RAMPCHAN_computeGradient_Realtime";
  const uint8_t *stampBytes = readTyped(stampChannel, ZEK_DOUBLE, "stamp", kName);
  if (stampBytes == nullptr) return 0.0;
  const uint8_t *stepBytes = readTyped(stepChannel, ZEK_DOUBLE, "step", kName);
  if (stepBytes == nullptr) return 0.0;
  const VmState &vm = vmstate0;
  double stamp = zek_load_as<double>(stampBytes), step = zek_load_as<double>(stepBytes);
  if (vm.time == stamp) return step;
  // The step belongs to one nominal cycle; without a cycle time there is no rate.
  if (vm.cycleTime == 0) {
    zek_raiseError(ZEK_ERR_DENSITY, "Density must be greater than 0 microseconds.");
    return 0.0;
  }
  return (vm.time - stamp) * (step / ((double)vm.cycleTime / kMicro));
}
