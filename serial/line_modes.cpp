// How the line-control flags word selects the DTR and RTS modes. The bits are
// tested in a fixed order and the first match wins; no other bit has an effect.
#include "serial_port.h"

namespace vuzov {

DtrMode DtrModeFor(std::uint16_t flags) {
  if ((flags & (kDtrOn | kDtrOnToo)) != 0) return DtrMode::kOn;
  if ((flags & kDtrHandshake) != 0) return DtrMode::kHandshake;
  return DtrMode::kOff;
}

RtsMode RtsModeFor(std::uint16_t flags) {
  if ((flags & (kRtsOn | kRtsOnToo)) != 0) return RtsMode::kOn;
  if ((flags & kRtsHandshake) != 0) return RtsMode::kHandshake;
  if ((flags & kRtsToggle) != 0) return RtsMode::kToggle;
  return RtsMode::kOff;
}

}  // namespace vuzov
