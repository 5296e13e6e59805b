// The names of the gates the driver stores into. Hosts configure their gates by
// these exact texts, so the grammar is fixed: "CP%dMS" and "CP%dST" for a
// panel's message type and state, "CP%dZ%d" for a zone and "CP%dZ%dE%d" for a
// zone element, the panel number first, every number as "%d" prints it.
//
// The driver builds the names here, and the tools that read them back (zemhost
// deciding which gate is a zone) parse them here, so the two cannot drift.
// Header-only: the tools do not link the driver's code.
#ifndef VUZOV_PANEL_GATE_NAMES_H
#define VUZOV_PANEL_GATE_NAMES_H

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>

namespace vuzov {

inline constexpr const char kMessageTypeGateFormat[] = "CP%dMS";
inline constexpr const char kStateGateFormat[] = "CP%dST";
inline constexpr const char kZoneGateFormat[] = "CP%dZ%d";
inline constexpr const char kElementGateFormat[] = "CP%dZ%dE%d";

enum class GateKind { kMessageType, kState, kZone, kElement };

struct GateParts {
  GateKind kind = GateKind::kZone;
  std::int32_t panel = 0;
  std::int32_t zone = 0;     // zones and elements
  std::int32_t element = 0;  // elements
};

// Long enough for the longest name, "CP%dZ%dE%d" with three ints of 11
// characters each ("-2147483648"), so no name is ever cut short.
inline constexpr std::size_t kLongestInt = 11;
inline constexpr std::size_t kGateNameSize = 2 + kLongestInt + 1 + kLongestInt + 1 + kLongestInt + 1;

struct GateName {
  char text[kGateNameSize];
  std::size_t length;
  std::string_view View() const { return std::string_view(text, length); }
};

namespace gate_name_detail {

// Written by hand rather than with formatted printing: a zone range builds one
// name per zone, and printing cost more than all the rest of its decoding.
inline char *PutText(char *at, const char *text) {
  while (*text != '\0') *at++ = *text++;
  return at;
}

inline char *PutNumber(char *at, std::int32_t number) {
  return std::to_chars(at, at + kLongestInt, number).ptr;
}

// Ends the name's text at `end`; its length.
inline std::size_t Ended(const GateName &name, char *end) {
  *end = '\0';
  return static_cast<std::size_t>(end - name.text);
}

// Reads one number at *at; false when none starts there.
inline bool TakeNumber(const char **at, const char *end, std::int32_t *number) {
  const std::from_chars_result read = std::from_chars(*at, end, *number);
  if (read.ec != std::errc()) return false;
  *at = read.ptr;
  return true;
}

}  // namespace gate_name_detail

inline GateName MessageTypeGate(std::int32_t panel) {
  using namespace gate_name_detail;
  GateName name;
  name.length = Ended(name, PutText(PutNumber(PutText(name.text, "CP"), panel), "MS"));
  return name;
}

inline GateName StateGate(std::int32_t panel) {
  using namespace gate_name_detail;
  GateName name;
  name.length = Ended(name, PutText(PutNumber(PutText(name.text, "CP"), panel), "ST"));
  return name;
}

inline GateName ZoneGate(std::int32_t panel, std::int32_t zone) {
  using namespace gate_name_detail;
  GateName name;
  name.length =
      Ended(name, PutNumber(PutText(PutNumber(PutText(name.text, "CP"), panel), "Z"), zone));
  return name;
}

inline GateName ElementGate(std::int32_t panel, std::int32_t zone, std::int32_t element) {
  using namespace gate_name_detail;
  GateName name;
  char *at = PutNumber(PutText(PutNumber(PutText(name.text, "CP"), panel), "Z"), zone);
  name.length = Ended(name, PutNumber(PutText(at, "E"), element));
  return name;
}

inline GateName GateNameOf(const GateParts &parts) {
  switch (parts.kind) {
    case GateKind::kMessageType: return MessageTypeGate(parts.panel);
    case GateKind::kState: return StateGate(parts.panel);
    case GateKind::kZone: return ZoneGate(parts.panel, parts.zone);
    case GateKind::kElement: break;
  }
  return ElementGate(parts.panel, parts.zone, parts.element);
}

// The parts of a name the driver builds; nothing for any other text, such as
// "CP01Z3" or "CP1Z-0", which no format prints.
inline std::optional<GateParts> ParseGateName(std::string_view name) {
  using gate_name_detail::TakeNumber;
  if (name.substr(0, 2) != "CP") return std::nullopt;
  const char *at = name.data() + 2;
  const char *const end = name.data() + name.size();
  GateParts parts;
  if (!TakeNumber(&at, end, &parts.panel)) return std::nullopt;
  const std::string_view rest(at, static_cast<std::size_t>(end - at));
  if (rest == "MS") {
    parts.kind = GateKind::kMessageType;
  } else if (rest == "ST") {
    parts.kind = GateKind::kState;
  } else if (!rest.empty() && rest.front() == 'Z') {
    ++at;
    if (!TakeNumber(&at, end, &parts.zone)) return std::nullopt;
    parts.kind = GateKind::kZone;
    if (at != end && *at == 'E') {
      ++at;
      if (!TakeNumber(&at, end, &parts.element)) return std::nullopt;
      parts.kind = GateKind::kElement;
    }
  } else {
    return std::nullopt;
  }
  // Leading zeros, "-0" and trailing text read as numbers but are no name
  // the formats print.
  if (GateNameOf(parts).View() != name) return std::nullopt;
  return parts;
}

}  // namespace vuzov

#endif
