// The decoder runs a zone range in full: one reply can ask for 65,000 gate
// lookups. Such inputs cover nothing a short range does not, yet each costs as
// much as thousands of others, so the harnesses (never the driver) skip replies
// whose range spans more than kLongestRange zones. Ranges across a high-byte
// step stay in.
#ifndef VUZOV_FUZZ_LONG_RANGE_H
#define VUZOV_FUZZ_LONG_RANGE_H

#include <cstddef>
#include <cstdint>

#include "panel_protocol.h"

namespace vuzov_fuzz {

constexpr std::int32_t kLongestRange = 300;

// True for a reply of `delivered` bytes that decodes as a longer range; bytes
// not delivered read as zero, as the decoder reads them.
inline bool HasLongRange(const std::uint8_t *reply, std::size_t delivered) {
  const auto at = [&](std::size_t i) -> std::int32_t {
    return i < delivered ? static_cast<std::int8_t>(reply[i]) : 0;
  };
  if (delivered == 0 || at(0) == vuzov::kEot) return false;
  const std::int32_t type = at(3);
  const std::uint8_t state = static_cast<std::uint8_t>(at(4));
  const bool range = (type == '3' && (state == 4 || state == 9)) || (type == '7' && state == 3);
  const std::int32_t start = at(5) + at(6) * 255;
  const std::int32_t end = at(7) + at(8) * 255;
  return range && end - start > kLongestRange;
}

}  // namespace vuzov_fuzz

#endif
