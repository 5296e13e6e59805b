// The texts every output writes the same way: a time, a gate value, bytes in
// hex, the driver's code page 437 made safe to show, a command's outcome.
#ifndef VUZOV_ZEMHOST_EVENT_TEXT_H
#define VUZOV_ZEMHOST_EVENT_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "events/event.h"

namespace zemhost {

// Seconds since the start with three decimals: "2.113".
std::string Seconds(double seconds);
// A gate value as people read it: 1, 48, 4294967168.
std::string FormatValue(double value);
// "02 01 0C"
std::string HexBytes(const std::uint8_t *bytes, std::size_t count);
// Code page 437 in UTF-8 with the control bytes left out, so a log line
// cannot move a terminal's cursor or change its colours.
std::string Shown(const std::string &cp437_text);
// "acknowledged", "not acknowledged", "not acknowledged (result 2)".
std::string CommandOutcome(const CommandDone &command);
// "unknown", "up" or "down".
const char *LinkStateName(LinkState state);
// "16 exchanges, 0 failed; 1 command, 1 acknowledged"
std::string RunSummary(const RunEnded &end);

}  // namespace zemhost

#endif
