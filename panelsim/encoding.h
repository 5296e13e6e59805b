// The bytes of the panel link as the panel side builds them: control bytes, the
// panel's numbers, its six-byte messages and the frames that carry them.
//
// The host reads every message byte as a signed 8-bit value, and a number from a
// low byte L and a high byte H as s(L) + s(H) * 255. The helpers here encode so
// that the host decodes the intended number, and refuse numbers it cannot get.
#ifndef PANELSIM_ENCODING_H
#define PANELSIM_ENCODING_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace panelsim {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kEnq = 0x05;
inline constexpr std::uint8_t kAck = 0x06;

// A frame is STX, the panel address, the frame length, the message m0..m5 and
// an optional trailer. The host reads at most kMaxFrameLength bytes of a reply.
inline constexpr std::size_t kMessageLength = 6;
inline constexpr std::size_t kMessageOffset = 3;
inline constexpr std::size_t kMinFrameLength = kMessageOffset + kMessageLength;
inline constexpr std::size_t kMaxFrameLength = 20;
inline constexpr std::size_t kCommandFrameLength = 5;

// The numbers a low and a high byte can carry: -128 + -128 * 255 to 127 + 127 * 255.
inline constexpr int kMinNumber = -32768;
inline constexpr int kMaxNumber = 32512;

// Message types (m0) and the sub-types (m1) the host tells apart.
inline constexpr std::uint8_t kTypeElementState = '0';
inline constexpr std::uint8_t kTypeElementEvent = '1';
inline constexpr std::uint8_t kTypeZoneAlarm = '3';
inline constexpr std::uint8_t kTypeZoneFault = '7';
inline constexpr std::uint8_t kTypeCommandRejected = '<';
inline constexpr std::uint8_t kTypeZoneReport = '=';
inline constexpr std::uint8_t kAlarmSingle = 1;
inline constexpr std::uint8_t kAlarmSingleOther = 7;
inline constexpr std::uint8_t kAlarmRange = 4;
inline constexpr std::uint8_t kAlarmRangeOther = 9;
inline constexpr std::uint8_t kFaultSingle = 1;
inline constexpr std::uint8_t kFaultRange = 3;
// The status messages: the types the panel sends that carry no zone, so the
// host reads nothing beyond m0 and m1. ('7' is the zone fault, with a zone.)
inline constexpr char kStatusTypes[] = "245689:;";
inline constexpr char kStatusTypeList[] = "2 4 5 6 8 9 : ;";

int SignedByte(std::uint8_t byte);
// s(low) + s(high) * 255, as the host computes it.
int DecodeNumber(std::uint8_t low, std::uint8_t high);
// False when the number lies outside kMinNumber..kMaxNumber.
bool EncodeNumber(int number, std::uint8_t *low, std::uint8_t *high);
// The host takes an element's number from the zone's low byte, so a zone and an
// element go together only when zone = element + 255 * H for some H in -128..127.
bool EncodeZoneElement(int zone, int element, std::uint8_t *low, std::uint8_t *high);
// The element number that EncodeNumber(zone) puts in the low byte.
int ElementOfZone(int zone);

// One message, m0..m5.
struct Message {
  std::array<std::uint8_t, kMessageLength> bytes{};
  bool operator==(const Message &other) const { return bytes == other.bytes; }
  bool operator!=(const Message &other) const { return !(*this == other); }
};

// Message builders: each returns false, with the reason in *error (if given),
// when a number cannot be encoded or an argument is out of its range.
bool ElementStateMessage(int zone, int element, std::uint8_t state, Message *out,
                         std::string *error);
bool ElementEventMessage(int zone, int element, std::uint8_t state, Message *out,
                         std::string *error);
bool ZoneAlarmMessage(int zone, std::uint8_t kind, Message *out, std::string *error);
bool AlarmRangeMessage(int first, int last, std::uint8_t kind, Message *out, std::string *error);
bool ZoneFaultMessage(int zone, Message *out, std::string *error);
bool FaultRangeMessage(int first, int last, Message *out, std::string *error);
Message CommandRejectedMessage(std::uint8_t command_code, std::uint8_t rejected_type);
bool ZoneReportMessage(int zone, Message *out, std::string *error);
bool StatusMessage(std::uint8_t type, std::uint8_t state, Message *out, std::string *error);

// How the panel frames a message: `length` bytes (at least kMinFrameLength, at
// most 255) with its address in b1 and the length in b2. After m5 come zero
// padding, then ETX and an XOR check byte over b1..ETX; a 10-byte frame has ETX
// alone and a 9-byte frame no trailer.
struct FrameLayout {
  std::size_t length = 12;
  std::uint8_t address = 1;
};
std::vector<std::uint8_t> BuildFrame(const Message &message, const FrameLayout &layout);

// The host's five-byte command frames: 'A', 'R' or 'S'; empty for other letters.
std::vector<std::uint8_t> CommandFrame(char letter);
// The letter of a five-byte command frame, or 0 when the bytes are no command.
char CommandLetter(const std::uint8_t *frame);

// "02 01 0c": bytes as lower-case hex pairs separated by single spaces.
std::string HexBytes(const std::uint8_t *bytes, std::size_t count);
std::string HexBytes(const std::vector<std::uint8_t> &bytes);

}  // namespace panelsim

#endif
