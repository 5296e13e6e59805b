#include "events/event_text.h"

#include <cstdio>

#include "events/cp437.h"

namespace zemhost {

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

std::string FormatValue(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

std::string HexBytes(const std::uint8_t *bytes, std::size_t count) {
  std::string out;
  char hex[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
    if (i > 0) out += ' ';
    out += hex;
  }
  return out;
}

std::string Shown(const std::string &cp437_text) { return Cp437ToUtf8(cp437_text); }

std::string CommandOutcome(const CommandDone &command) {
  std::string outcome = command.acknowledged ? "acknowledged" : "not acknowledged";
  if (command.result != 0) outcome += " (result " + std::to_string(command.result) + ")";
  return outcome;
}

const char *LinkStateName(LinkState state) {
  switch (state) {
    case LinkState::kUp: return "up";
    case LinkState::kDown: return "down";
    case LinkState::kUnknown: break;
  }
  return "unknown";
}

std::string RunSummary(const RunEnded &end) {
  const auto counted = [](std::uint64_t count, const char *noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
  };
  return counted(end.exchanges, "exchange") + ", " + std::to_string(end.failures) + " failed; " +
         counted(end.commands, "command") + ", " + std::to_string(end.acknowledged) +
         " acknowledged";
}

}  // namespace zemhost
