#include "encoding.h"

#include <cstdio>
#include <cstring>

namespace panelsim {
namespace {

constexpr int kMinSigned = -128;
constexpr int kMaxSigned = 127;

bool FitsSignedByte(int value) { return value >= kMinSigned && value <= kMaxSigned; }

std::uint8_t ToByte(int signed_value) { return static_cast<std::uint8_t>(signed_value & 0xFF); }

// Floor division for a positive divisor, so negative numbers pick the right H.
int FloorDiv(int value, int divisor) {
  const int quotient = value / divisor;
  return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

void SetError(std::string *error, const std::string &text) {
  if (error != nullptr) *error = text;
}

bool CheckZone(int zone, const char *what, std::string *error) {
  if (zone >= kMinNumber && zone <= kMaxNumber) return true;
  SetError(error, std::string(what) + " " + std::to_string(zone) + " cannot be encoded (" +
                      std::to_string(kMinNumber) + " to " + std::to_string(kMaxNumber) + ")");
  return false;
}

// Puts a number's low and high bytes at positions at and at + 1 of m0..m5.
void PutNumber(Message *message, std::size_t at, int number) {
  EncodeNumber(number, &message->bytes[at], &message->bytes[at + 1]);
}

bool RangeMessage(std::uint8_t type, std::uint8_t kind, int first, int last, Message *out,
                  std::string *error) {
  if (!CheckZone(first, "zone", error) || !CheckZone(last, "zone", error)) return false;
  if (first > last) {
    SetError(error, "the range " + std::to_string(first) + ".." + std::to_string(last) +
                        " runs backwards");
    return false;
  }
  Message message;
  message.bytes[0] = type;
  message.bytes[1] = kind;
  PutNumber(&message, 2, first);
  PutNumber(&message, 4, last);
  *out = message;
  return true;
}

bool SingleZoneMessage(std::uint8_t type, std::uint8_t kind, int zone, Message *out,
                       std::string *error) {
  if (!CheckZone(zone, "zone", error)) return false;
  Message message;
  message.bytes[0] = type;
  message.bytes[1] = kind;
  PutNumber(&message, 3, zone);
  *out = message;
  return true;
}

bool ElementMessage(std::uint8_t type, int zone, int element, std::uint8_t state, Message *out,
                    std::string *error) {
  Message message;
  message.bytes[0] = type;
  message.bytes[1] = state;
  if (!EncodeZoneElement(zone, element, &message.bytes[3], &message.bytes[4])) {
    if (!CheckZone(zone, "zone", error)) return false;
    SetError(error, "element " + std::to_string(element) + " cannot go with zone " +
                        std::to_string(zone) +
                        ": the element travels in the zone's low byte (zone " +
                        std::to_string(zone) + " carries element " +
                        std::to_string(ElementOfZone(zone)) + ")");
    return false;
  }
  *out = message;
  return true;
}

}  // namespace

int SignedByte(std::uint8_t byte) { return byte < 0x80 ? byte : byte - 256; }

int DecodeNumber(std::uint8_t low, std::uint8_t high) {
  return SignedByte(low) + SignedByte(high) * 255;
}

bool EncodeNumber(int number, std::uint8_t *low, std::uint8_t *high) {
  if (number < kMinNumber || number > kMaxNumber) return false;
  // Two encodings exist where the low byte would be -128 or 127; prefer the one
  // with the low byte in -127..127, which keeps small numbers in the low byte.
  const int nearest = FloorDiv(number + 127, 255);
  for (int candidate : {nearest, nearest - 1, nearest + 1}) {
    const int rest = number - candidate * 255;
    if (FitsSignedByte(candidate) && FitsSignedByte(rest)) {
      *low = ToByte(rest);
      *high = ToByte(candidate);
      return true;
    }
  }
  return false;
}

bool EncodeZoneElement(int zone, int element, std::uint8_t *low, std::uint8_t *high) {
  if (zone < kMinNumber || zone > kMaxNumber || !FitsSignedByte(element)) return false;
  const int difference = zone - element;
  if (difference % 255 != 0 || !FitsSignedByte(difference / 255)) return false;
  *low = ToByte(element);
  *high = ToByte(difference / 255);
  return true;
}

int ElementOfZone(int zone) {
  std::uint8_t low = 0;
  std::uint8_t high = 0;
  EncodeNumber(zone, &low, &high);
  return SignedByte(low);
}

bool ElementStateMessage(int zone, int element, std::uint8_t state, Message *out,
                         std::string *error) {
  return ElementMessage(kTypeElementState, zone, element, state, out, error);
}

bool ElementEventMessage(int zone, int element, std::uint8_t state, Message *out,
                         std::string *error) {
  return ElementMessage(kTypeElementEvent, zone, element, state, out, error);
}

bool ZoneAlarmMessage(int zone, std::uint8_t kind, Message *out, std::string *error) {
  if (kind != kAlarmSingle && kind != kAlarmSingleOther) {
    SetError(error, "a single-zone alarm is of kind 1 or 7, not " + std::to_string(kind));
    return false;
  }
  return SingleZoneMessage(kTypeZoneAlarm, kind, zone, out, error);
}

bool AlarmRangeMessage(int first, int last, std::uint8_t kind, Message *out, std::string *error) {
  if (kind != kAlarmRange && kind != kAlarmRangeOther) {
    SetError(error, "an alarm range is of kind 4 or 9, not " + std::to_string(kind));
    return false;
  }
  return RangeMessage(kTypeZoneAlarm, kind, first, last, out, error);
}

bool ZoneFaultMessage(int zone, Message *out, std::string *error) {
  return SingleZoneMessage(kTypeZoneFault, kFaultSingle, zone, out, error);
}

bool FaultRangeMessage(int first, int last, Message *out, std::string *error) {
  return RangeMessage(kTypeZoneFault, kFaultRange, first, last, out, error);
}

Message CommandRejectedMessage(std::uint8_t command_code, std::uint8_t rejected_type) {
  Message message;
  message.bytes[0] = kTypeCommandRejected;
  message.bytes[2] = command_code;
  message.bytes[3] = rejected_type;
  return message;
}

bool ZoneReportMessage(int zone, Message *out, std::string *error) {
  return SingleZoneMessage(kTypeZoneReport, 0, zone, out, error);
}

bool StatusMessage(std::uint8_t type, std::uint8_t state, Message *out, std::string *error) {
  if (type == 0 || std::strchr(kStatusTypes, type) == nullptr) {
    SetError(error, std::string("a status message is of type one of ") + kStatusTypeList);
    return false;
  }
  Message message;
  message.bytes[0] = type;
  message.bytes[1] = state;
  *out = message;
  return true;
}

std::vector<std::uint8_t> BuildFrame(const Message &message, const FrameLayout &layout) {
  std::size_t length = layout.length < kMinFrameLength ? kMinFrameLength : layout.length;
  if (length > 255) length = 255;
  std::vector<std::uint8_t> frame(length, 0);
  frame[0] = kStx;
  frame[1] = layout.address;
  frame[2] = static_cast<std::uint8_t>(length);
  std::memcpy(&frame[kMessageOffset], message.bytes.data(), kMessageLength);
  if (length == kMinFrameLength + 1) {
    frame[length - 1] = kEtx;
  } else if (length > kMinFrameLength + 1) {
    frame[length - 2] = kEtx;
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < length - 1; ++i) check ^= frame[i];
    frame[length - 1] = check;
  }
  return frame;
}

std::vector<std::uint8_t> CommandFrame(char letter) {
  switch (letter) {
    case 'A':
      return {kStx, 0x02, 0x00, 0x01, 0x01};
    case 'R':
      return {kStx, 0x02, 0x00, 0x00, 0x00};
    case 'S':
      return {kStx, 0x02, 0x00, 0x02, 0x02};
    default:
      return {};
  }
}

char CommandLetter(const std::uint8_t *frame) {
  for (char letter : {'A', 'R', 'S'}) {
    const std::vector<std::uint8_t> expected = CommandFrame(letter);
    if (std::memcmp(expected.data(), frame, kCommandFrameLength) == 0) return letter;
  }
  return 0;
}

std::string HexBytes(const std::uint8_t *bytes, std::size_t count) {
  std::string text;
  text.reserve(count * 3);
  for (std::size_t i = 0; i < count; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    if (i != 0) text += ' ';
    text += pair;
  }
  return text;
}

std::string HexBytes(const std::vector<std::uint8_t> &bytes) {
  return HexBytes(bytes.data(), bytes.size());
}

}  // namespace panelsim
