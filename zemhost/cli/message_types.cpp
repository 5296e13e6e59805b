#include "cli/message_types.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace zemhost {
namespace {

constexpr int kEveryState = -1;

// Decimal, or hexadecimal after 0x; a byte.
std::optional<std::uint8_t> ParseByte(const std::string &text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  errno = 0;
  char *end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || value > 0xFF) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

// A character that stands for itself as a type: printable, and neither the
// separator of a state nor the start of a comment.
bool StandsForItself(char c) { return c > ' ' && c < 0x7F && c != '/' && c != '#'; }

std::optional<std::uint8_t> ParseType(const std::string &text) {
  if (text.size() == 1 && StandsForItself(text[0])) return static_cast<std::uint8_t>(text[0]);
  if (text.size() == 1) return std::nullopt;
  return ParseByte(text);
}

}  // namespace

bool MessageKey::Matches(std::uint8_t message_type,
                         std::optional<std::uint8_t> message_state) const {
  return message_type == type && (!state || state == message_state);
}

bool ParseMessageKey(const std::string &text, MessageKey *key, std::string *problem) {
  const auto slash = text.find('/');
  const auto type = ParseType(text.substr(0, slash));
  std::optional<std::uint8_t> state;
  if (slash != std::string::npos) {
    state = ParseByte(text.substr(slash + 1));
    if (!state) {
      *problem = "'" + text + "': the state after / is a byte, 0 to 255 or 0xHH";
      return false;
    }
  }
  if (!type) {
    *problem = "'" + text +
               "' is not a message type: its character (3, =, <) or its code (51, 0x33), "
               "then /STATE for one state of it";
    return false;
  }
  key->type = *type;
  key->state = state;
  return true;
}

std::string MessageTypeText(std::uint8_t type) {
  // A single digit reads back as the character, never as a code.
  if (StandsForItself(static_cast<char>(type))) return std::string(1, static_cast<char>(type));
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(type));
  return text;
}

std::string MessageKeyText(const MessageKey &key) {
  std::string text = MessageTypeText(key.type);
  if (key.state) text += "/" + std::to_string(*key.state);
  return text;
}

const char *MeaningName(Meaning meaning) {
  switch (meaning) {
    case Meaning::kAlarm: return "alarm";
    case Meaning::kFault: return "fault";
    case Meaning::kReport: return "report";
    case Meaning::kOther: return "other";
    case Meaning::kUnmapped: break;
  }
  return "unmapped";
}

std::optional<Meaning> ParseMeaning(const std::string &text) {
  for (Meaning meaning : {Meaning::kAlarm, Meaning::kFault, Meaning::kReport, Meaning::kOther}) {
    if (text == MeaningName(meaning)) return meaning;
  }
  return std::nullopt;
}

void MessageTypeMap::Set(const MessageKey &key, Meaning meaning) {
  meanings_[Key{key.type, key.state ? *key.state : kEveryState}] = meaning;
}

Meaning MessageTypeMap::Of(std::uint8_t type, std::optional<std::uint8_t> state) const {
  if (state) {
    const auto exact = meanings_.find(Key{type, *state});
    if (exact != meanings_.end()) return exact->second;
  }
  const auto any = meanings_.find(Key{type, kEveryState});
  return any == meanings_.end() ? Meaning::kUnmapped : any->second;
}

bool MessageTypeMap::HasFault() const {
  for (const auto &[key, meaning] : meanings_) {
    if (meaning == Meaning::kFault) return true;
  }
  return false;
}

MessageTypeMap MessageTypeMap::Over(const MessageTypeMap &defaults) const {
  MessageTypeMap merged = defaults;
  for (const auto &[key, meaning] : meanings_) merged.meanings_[key] = meaning;
  return merged;
}

}  // namespace zemhost
