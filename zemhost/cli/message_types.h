// What a site says its panel's messages mean. The driver stores a message's
// type byte (m0) and state byte (m1) in the CP<n>MS and CP<n>ST gates and
// sets zone gates to 1 for several types alike; which of them is a fire, a
// fault or a report is the site's knowledge, written in a config file's
// [message-types] section ("7 = fault") and in reset-message ("2/5").
#ifndef VUZOV_ZEMHOST_MESSAGE_TYPES_H
#define VUZOV_ZEMHOST_MESSAGE_TYPES_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace zemhost {

// A message type, and a state of it when only that state is meant.
struct MessageKey {
  std::uint8_t type = 0;
  std::optional<std::uint8_t> state;

  // The message of type `type` in state `message_state` is this one.
  bool Matches(std::uint8_t message_type, std::optional<std::uint8_t> message_state) const;
};

// TYPE is the type's character ("3", "=", "<") or its code, decimal of two or
// more digits or 0xHH ("51", "0x33"); STATE a byte, decimal or 0xHH.
bool ParseMessageKey(const std::string &text, MessageKey *key, std::string *problem);
// "3", "3/1", "0x85": the character where it is one that reads back.
std::string MessageKeyText(const MessageKey &key);
std::string MessageTypeText(std::uint8_t type);

enum class Meaning { kUnmapped, kAlarm, kFault, kReport, kOther };

// "alarm", "fault", "report", "other"; "unmapped" for none.
const char *MeaningName(Meaning meaning);
std::optional<Meaning> ParseMeaning(const std::string &text);

// The site's reading of message types: by type, or by type and state, the
// latter winning.
class MessageTypeMap {
 public:
  void Set(const MessageKey &key, Meaning meaning);
  Meaning Of(std::uint8_t type, std::optional<std::uint8_t> state) const;
  bool Empty() const { return meanings_.empty(); }
  // Some type or state is a fault.
  bool HasFault() const;
  // This map's entries over `defaults`: the run's map under an instance's.
  MessageTypeMap Over(const MessageTypeMap &defaults) const;

 private:
  using Key = std::pair<std::uint8_t, int>;  // the state, or -1 for every state
  std::map<Key, Meaning> meanings_;
};

}  // namespace zemhost

#endif
