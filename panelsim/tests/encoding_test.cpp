// Numbers, messages and frames as the host decodes them: every byte signed, and
// a number from a low and a high byte as s(L) + s(H) * 255.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "encoding.h"

using namespace panelsim;

namespace {

// The host's reading of a byte and of a low/high pair, written out here so the
// encoder is checked against the rule rather than against itself.
int HostByte(std::uint8_t byte) { return static_cast<std::int8_t>(byte); }
int HostNumber(std::uint8_t low, std::uint8_t high) { return HostByte(low) + HostByte(high) * 255; }

int HostSingleZone(const Message &message) {
  return HostNumber(message.bytes[3], message.bytes[4]);
}

}  // namespace

TEST(Encoding, EveryEncodableNumberDecodesBackAndNothingElseEncodes) {
  for (int number = kMinNumber; number <= kMaxNumber; ++number) {
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    ASSERT_TRUE(EncodeNumber(number, &low, &high)) << number;
    ASSERT_EQ(HostNumber(low, high), number);
    ASSERT_EQ(DecodeNumber(low, high), number);
  }
  for (int number : {kMinNumber - 1, kMaxNumber + 1, INT_MIN, INT_MAX, 40000, -40000}) {
    std::uint8_t low = 0xAA;
    std::uint8_t high = 0xBB;
    EXPECT_FALSE(EncodeNumber(number, &low, &high)) << number;
    EXPECT_EQ(low, 0xAA);
    EXPECT_EQ(high, 0xBB);
  }
}

TEST(Encoding, ZonesAboveTheSignedRangeUseNegativeLowBytes) {
  struct Case {
    int zone;
    std::uint8_t low;
    std::uint8_t high;
  };
  const Case cases[] = {{0, 0x00, 0x00},     {127, 0x7F, 0x00},  {128, 0x81, 0x01},
                        {200, 0xC9, 0x01},   {255, 0x00, 0x01},  {260, 0x05, 0x01},
                        {-1, 0xFF, 0x00},    {32512, 0x7F, 0x7F}, {-32768, 0x80, 0x80}};
  for (const Case &c : cases) {
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    ASSERT_TRUE(EncodeNumber(c.zone, &low, &high)) << c.zone;
    EXPECT_EQ(low, c.low) << c.zone;
    EXPECT_EQ(high, c.high) << c.zone;
  }
}

TEST(Encoding, AnElementTravelsInItsZonesLowByte) {
  std::uint8_t low = 0;
  std::uint8_t high = 0;
  EXPECT_TRUE(EncodeZoneElement(260, 5, &low, &high));
  EXPECT_EQ(low, 0x05);
  EXPECT_EQ(high, 0x01);
  EXPECT_TRUE(EncodeZoneElement(200, -55, &low, &high));
  EXPECT_EQ(low, 0xC9);
  // 127 is also -128 + 255: the element decides which encoding is sent.
  EXPECT_TRUE(EncodeZoneElement(127, -128, &low, &high));
  EXPECT_EQ(HostNumber(low, high), 127);
  EXPECT_EQ(HostByte(low), -128);
  EXPECT_FALSE(EncodeZoneElement(12, 3, &low, &high));
  EXPECT_FALSE(EncodeZoneElement(200, 200, &low, &high));
  EXPECT_FALSE(EncodeZoneElement(kMaxNumber + 1, 0, &low, &high));
  for (int zone = kMinNumber; zone <= kMaxNumber; zone += 97) {
    ASSERT_TRUE(EncodeZoneElement(zone, ElementOfZone(zone), &low, &high)) << zone;
    ASSERT_EQ(HostNumber(low, high), zone);
    ASSERT_EQ(HostByte(low), ElementOfZone(zone));
  }
}

TEST(Encoding, MessagesPutEveryNumberWhereTheHostReadsIt) {
  for (int zone : {1, 127, 128, 200, 260, 1000, kMaxNumber, kMinNumber}) {
    Message message;
    ASSERT_TRUE(ZoneAlarmMessage(zone, kAlarmSingleOther, &message, nullptr));
    EXPECT_EQ(message.bytes[0], '3');
    EXPECT_EQ(message.bytes[1], 7);
    EXPECT_EQ(HostSingleZone(message), zone);
    ASSERT_TRUE(ZoneFaultMessage(zone, &message, nullptr));
    EXPECT_EQ(message.bytes[0], '7');
    EXPECT_EQ(message.bytes[1], 1);
    EXPECT_EQ(HostSingleZone(message), zone);
    ASSERT_TRUE(ZoneReportMessage(zone, &message, nullptr));
    EXPECT_EQ(message.bytes[0], '=');
    EXPECT_EQ(HostSingleZone(message), zone);
    ASSERT_TRUE(ElementStateMessage(zone, ElementOfZone(zone), 3, &message, nullptr));
    EXPECT_EQ(message.bytes[0], '0');
    EXPECT_EQ(message.bytes[1], 3);
    EXPECT_EQ(HostSingleZone(message), zone);
    EXPECT_EQ(HostByte(message.bytes[3]), ElementOfZone(zone));
  }
  Message range;
  ASSERT_TRUE(AlarmRangeMessage(200, 260, kAlarmRange, &range, nullptr));
  EXPECT_EQ(range.bytes[1], 4);
  EXPECT_EQ(HostNumber(range.bytes[2], range.bytes[3]), 200);
  EXPECT_EQ(HostNumber(range.bytes[4], range.bytes[5]), 260);
  ASSERT_TRUE(FaultRangeMessage(-5, 5, &range, nullptr));
  EXPECT_EQ(range.bytes[0], '7');
  EXPECT_EQ(range.bytes[1], 3);
  EXPECT_EQ(HostNumber(range.bytes[2], range.bytes[3]), -5);
  EXPECT_EQ(HostNumber(range.bytes[4], range.bytes[5]), 5);
  const Message rejected = CommandRejectedMessage(0x53, 0x90);
  EXPECT_EQ(rejected.bytes[0], '<');
  EXPECT_EQ(rejected.bytes[2], 0x53);
  EXPECT_EQ(rejected.bytes[3], 0x90);
}

TEST(Encoding, BuildersRefuseWhatThePanelCannotSay) {
  Message message;
  message.bytes[0] = 0x77;
  std::string error;
  EXPECT_FALSE(ZoneAlarmMessage(40000, kAlarmSingle, &message, &error));
  EXPECT_NE(error.find("40000"), std::string::npos) << error;
  EXPECT_FALSE(ZoneAlarmMessage(5, 2, &message, &error));
  EXPECT_FALSE(AlarmRangeMessage(12, 10, kAlarmRange, &message, &error));
  EXPECT_NE(error.find("backwards"), std::string::npos) << error;
  EXPECT_FALSE(AlarmRangeMessage(1, 2, kAlarmSingle, &message, &error));
  EXPECT_FALSE(FaultRangeMessage(0, kMaxNumber + 1, &message, &error));
  EXPECT_FALSE(ElementEventMessage(12, 3, 0, &message, &error));
  EXPECT_NE(error.find("carries element 12"), std::string::npos) << error;
  EXPECT_FALSE(StatusMessage('3', 0, &message, &error));
  EXPECT_FALSE(StatusMessage(0, 0, &message, &error));
  EXPECT_EQ(message.bytes[0], 0x77) << "a refused message leaves the output alone";
}

TEST(Encoding, FramesCarryTheMessageInBytesThreeToEight) {
  Message message;
  ASSERT_TRUE(ZoneAlarmMessage(260, kAlarmSingle, &message, nullptr));
  for (std::size_t length : {9u, 10u, 11u, 12u, 20u, 24u}) {
    const std::vector<std::uint8_t> frame = BuildFrame(message, {length, 0x2A});
    ASSERT_EQ(frame.size(), length);
    EXPECT_EQ(frame[0], kStx);
    EXPECT_EQ(frame[1], 0x2A);
    EXPECT_EQ(frame[2], length);
    for (std::size_t i = 0; i < kMessageLength; ++i) EXPECT_EQ(frame[3 + i], message.bytes[i]);
    if (length == 10) {
      EXPECT_EQ(frame[9], kEtx);
    }
    if (length >= 11) {
      EXPECT_EQ(frame[length - 2], kEtx);
      std::uint8_t check = 0;
      for (std::size_t i = 1; i + 1 < length; ++i) check ^= frame[i];
      EXPECT_EQ(frame[length - 1], check);
    }
  }
}

TEST(Encoding, CommandFramesAreRecognisedExactly) {
  EXPECT_EQ(CommandFrame('A'), (std::vector<std::uint8_t>{0x02, 0x02, 0x00, 0x01, 0x01}));
  EXPECT_EQ(CommandFrame('R'), (std::vector<std::uint8_t>{0x02, 0x02, 0x00, 0x00, 0x00}));
  EXPECT_EQ(CommandFrame('S'), (std::vector<std::uint8_t>{0x02, 0x02, 0x00, 0x02, 0x02}));
  EXPECT_TRUE(CommandFrame('X').empty());
  for (char letter : {'A', 'R', 'S'}) EXPECT_EQ(CommandLetter(CommandFrame(letter).data()), letter);
  const std::uint8_t unknown[] = {0x02, 0x02, 0x00, 0x03, 0x03};
  const std::uint8_t almost[] = {0x02, 0x02, 0x00, 0x01, 0x02};
  EXPECT_EQ(CommandLetter(unknown), 0);
  EXPECT_EQ(CommandLetter(almost), 0);
}
