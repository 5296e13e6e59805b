// Decoding panel replies into the point's result word and the host's gates, seen
// through the host library's real gate table.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gate_names.h"
#include "host_capture.h"
#include "panel_protocol.h"

using namespace vuzov;

namespace {

using Stores = std::vector<std::pair<std::string, double>>;

constexpr std::uint8_t kClient = 9;
constexpr std::uint8_t kStale = 0xA5;
constexpr double k2To32 = 4294967296.0;

class DecodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&state, kStale, sizeof state);
    const std::uint8_t slot[4] = {kClient, 0xEE, 0xEE, 0xEE};
    std::memcpy(reinterpret_cast<std::uint8_t *>(&state) + offsetof(InstanceState, client_id),
                slot, sizeof slot);
    SetPanel(1);
    point.result = &result_word;
    request.state = &state;
    request.command = kSingleRead;
    request.params = &point;
  }

  void SetPanel(std::int32_t panel) { point.panel = panel; }

  // Places the reply at the start of the receive area and decodes exactly it.
  void Decode(const std::vector<std::uint8_t> &reply) {
    std::memcpy(state.receive, reply.data(), reply.size());
    DecodeReply(&request, reply.size());
  }

  // A framed message: STX, two bytes the decoder ignores, then m0 to m5.
  void DecodeFrame(std::uint8_t m0, std::uint8_t m1, std::uint8_t m2 = 0, std::uint8_t m3 = 0,
                   std::uint8_t m4 = 0, std::uint8_t m5 = 0) {
    Decode({kStx, 0x31, 0x32, m0, m1, m2, m3, m4, m5});
  }

  // The stores made so far, each of them checked to carry the instance's client.
  Stores Stored() const {
    Stores stores;
    for (const auto &store : host.Stores()) {
      EXPECT_EQ(store.client, kClient) << store.name;
      stores.emplace_back(store.name, store.value);
    }
    return stores;
  }

  void Reset() {
    host.Clear();
    first_lookup = QarHostLookupCount();
  }
  std::uint64_t Lookups() const { return QarHostLookupCount() - first_lookup; }

  static void AddGates(std::initializer_list<const char *> names) {
    for (const char *name : names) QarHostAddGate(name);
  }

  vuzov_test::HostCapture host;
  InstanceState state;
  PointBlock point{};
  Request request{};
  std::int32_t result_word = 0x5A5A5A5A;
  std::uint64_t first_lookup = 0;
};

}  // namespace

TEST_F(DecodeTest, EotSetsTheResultToZeroAndChangesNothingElse) {
  QarHostSetDiscovery(1);
  state.receive[0] = kEot;
  InstanceState before = state;
  DecodeReply(&request, 1);
  EXPECT_EQ(result_word, 0);
  EXPECT_TRUE(Stored().empty());
  EXPECT_EQ(Lookups(), 0u);
  EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
}

TEST_F(DecodeTest, ResultWordIsSignedTypePlusSignedStateTimes65535) {
  const struct {
    std::uint8_t m0, m1;
    std::int32_t word;
  } cases[] = {
      {'0', 2, 48 + 2 * 65535}, {0x80, 0x80, -128 - 128 * 65535}, {0x7F, 0x7F, 127 + 127 * 65535},
      {0xFF, 0x01, -1 + 65535}, {0x00, 0x00, 0},
  };
  for (const auto &c : cases) {
    DecodeFrame(c.m0, c.m1);
    EXPECT_EQ(result_word, c.word) << int{c.m0} << " " << int{c.m1};
  }
}

TEST_F(DecodeTest, MessageTypeAndStateGatesTakeTheUnsignedViewOfSignedBytes) {
  AddGates({"CP1MS", "CP1ST"});
  DecodeFrame('2', 0x05);
  EXPECT_EQ(Stored(), (Stores{{"CP1MS", 50.0}, {"CP1ST", 5.0}}));
  Reset();
  DecodeFrame(0x80, 0xFF);
  EXPECT_EQ(Stored(), (Stores{{"CP1MS", k2To32 - 128}, {"CP1ST", k2To32 - 1}}));
  EXPECT_TRUE(host.Lines().empty());
}

TEST_F(DecodeTest, TypesWithoutZoneDataStoreOnlyTypeAndState) {
  QarHostSetDiscovery(1);  // every name asked for would be found and stored
  const std::uint8_t types[] = {'2', '4', '5', '6', '8', '9', ':', ';', '/', '>', 0x00, 0x7F,
                                0x80, 0xB0, 0xBD, 0xFF};
  for (std::uint8_t type : types) {
    Reset();
    DecodeFrame(type, 1, 2, 3, 4, 5);
    EXPECT_EQ(Stored(), (Stores{{"CP1MS", static_cast<double>(static_cast<std::uint32_t>(
                                                static_cast<std::int8_t>(type)))},
                                {"CP1ST", 1.0}}))
        << int{type};
    EXPECT_EQ(Lookups(), 2u) << int{type};
  }
  EXPECT_TRUE(host.Lines().empty());
}

TEST_F(DecodeTest, ElementStateStoresItsFixedValuesOrTheCurrentValue) {
  AddGates({"CP1MS", "CP1ST", "CP1Z260E5"});
  const struct {
    std::uint8_t state;
    double state_gate, element;
  } cases[] = {
      {0, 0.0, 1.0}, {3, 3.0, 3.0}, {4, 4.0, 4.0}, {2, 2.0, 2.0}, {1, 1.0, 1.0},
      {0x85, k2To32 - 123, k2To32 - 123},
  };
  for (const auto &c : cases) {
    Reset();
    DecodeFrame('0', c.state, 0, 5, 1);
    EXPECT_EQ(Stored(), (Stores{{"CP1MS", 48.0}, {"CP1ST", c.state_gate}, {"CP1Z260E5", c.element}}))
        << int{c.state};
  }
}

TEST_F(DecodeTest, ElementStateFallsBackToWhicheverGatesExist) {
  // Only the message-type gate: the element gets the type character's code,
  // unless its state is one of the fixed ones.
  AddGates({"CP1MS", "CP1Z7E7"});
  const std::pair<std::uint8_t, double> with_type[] = {{2, 48.0}, {0, 1.0}, {3, 3.0}, {4, 4.0}};
  for (const auto &[element_state, stored] : with_type) {
    Reset();
    DecodeFrame('0', element_state, 0, 7);
    EXPECT_EQ(Stored(), (Stores{{"CP1MS", 48.0}, {"CP1Z7E7", stored}})) << int{element_state};
  }

  // Only the state gate.
  QarHostReset();
  AddGates({"CP1ST", "CP1Z7E7"});
  Reset();
  DecodeFrame('0', 2, 0, 7);
  EXPECT_EQ(Stored(), (Stores{{"CP1ST", 2.0}, {"CP1Z7E7", 2.0}}));

  // Neither: the element gets the state it reported; fixed states still win.
  QarHostReset();
  AddGates({"CP1Z7E7"});
  const std::pair<std::uint8_t, double> reported[] = {
      {2, 2.0}, {0x90, k2To32 - 112}, {3, 3.0}, {0, 1.0}};
  for (const auto &[element_state, stored] : reported) {
    Reset();
    DecodeFrame('0', element_state, 0, 7);
    EXPECT_EQ(Stored(), (Stores{{"CP1Z7E7", stored}})) << int{element_state};
    EXPECT_EQ(Lookups(), 3u);
  }
}

TEST_F(DecodeTest, ElementGateNamesUseSignedZoneAndElement) {
  QarHostSetDiscovery(1);
  DecodeFrame('1', 0x42, 0x11, 0x80, 0xFF, 0x22);
  EXPECT_EQ(Stored().back(), (std::pair<std::string, double>{"CP1Z-383E-128", 1.0}));
  Reset();
  DecodeFrame('1', 0, 0, 5, 1);
  EXPECT_EQ(Stored(), (Stores{{"CP1MS", 49.0}, {"CP1ST", 0.0}, {"CP1Z260E5", 1.0}}));
}

TEST_F(DecodeTest, SingleZoneMessagesCountHighBytesAs255) {
  QarHostSetDiscovery(1);
  const struct {
    std::uint8_t type, state;
    const char *zone;
  } cases[] = {
      {'=', 0x33, "CP1Z260"}, {'3', 1, "CP1Z260"}, {'3', 7, "CP1Z260"}, {'7', 1, "CP1Z260"},
  };
  for (const auto &c : cases) {
    Reset();
    DecodeFrame(c.type, c.state, 0x7F, 5, 1, 0x7F);
    EXPECT_EQ(Stored().size(), 3u) << c.type << int{c.state};
    EXPECT_EQ(Stored().back(), (std::pair<std::string, double>{c.zone, 1.0}));
  }
  Reset();
  DecodeFrame('=', 0, 0, 0xFF, 0x00);
  EXPECT_EQ(Stored().back().first, "CP1Z-1");
  Reset();
  DecodeFrame('=', 0, 0, 0x10, 0x80);
  EXPECT_EQ(Stored().back().first, "CP1Z-32624");
}

TEST_F(DecodeTest, ZoneRangesRunAscendingAndSkipMissingGates) {
  AddGates({"CP1Z10", "CP1Z12"});
  DecodeFrame('3', 4, 10, 0, 12, 0);
  EXPECT_EQ(Stored(), (Stores{{"CP1Z10", 1.0}, {"CP1Z12", 1.0}}));
  EXPECT_EQ(Lookups(), 2u + 3u);

  // Across a high byte, from -5 + 255 to 6 + 255, with the other range states.
  QarHostSetDiscovery(1);
  const std::pair<std::uint8_t, std::uint8_t> range_types[] = {{'3', 9}, {'7', 3}};
  for (const auto &[type, range_state] : range_types) {
    Reset();
    DecodeFrame(type, range_state, 0xFB, 1, 6, 1);
    Stores expected{{"CP1MS", static_cast<double>(type)},
                    {"CP1ST", static_cast<double>(range_state)}};
    for (int zone = 250; zone <= 261; ++zone) expected.emplace_back("CP1Z" + std::to_string(zone), 1.0);
    EXPECT_EQ(Stored(), expected) << type;
  }
  // Negative ends.
  Reset();
  DecodeFrame('3', 4, 0x80, 0xFF, 0x82, 0xFF);
  EXPECT_EQ(Stored(), (Stores{{"CP1MS", 51.0}, {"CP1ST", 4.0}, {"CP1Z-383", 1.0},
                              {"CP1Z-382", 1.0}, {"CP1Z-381", 1.0}}));
}

TEST_F(DecodeTest, ZeroTo1000LooksUp1001ZonesAndAStartAboveTheEndNone) {
  // End 1000 = -20 + 4 * 255: its low byte 0xEC is negative.
  DecodeFrame('3', 4, 0, 0, 0xEC, 4);
  EXPECT_EQ(Lookups(), 2u + 1001u);
  Reset();
  DecodeFrame('3', 4, 12, 0, 10, 0);
  EXPECT_EQ(Lookups(), 2u);
}

TEST_F(DecodeTest, OtherStatesOfZoneTypesStoreNoZone) {
  QarHostSetDiscovery(1);
  const std::pair<std::uint8_t, std::uint8_t> cases[] = {
      {'3', 0}, {'3', 2}, {'3', 3}, {'3', 8}, {'3', 0x81}, {'7', 0}, {'7', 4}, {'7', 7}, {'7', 9},
  };
  for (const auto &[type, zone_state] : cases) {
    Reset();
    DecodeFrame(type, zone_state, 1, 0, 3, 0);
    EXPECT_EQ(Lookups(), 2u) << type << int{zone_state};
  }
}

TEST_F(DecodeTest, RejectedCommandIsLoggedWithSignedBytesInHex) {
  QarHostSetDiscovery(1);
  DecodeFrame('<', 0, 0x10, 0x85);
  DecodeFrame('<', 0, 0x80, 0x7F);
  DecodeFrame('<', 0, 0x05, 0x00);
  EXPECT_EQ(host.Lines(), (std::vector<vuzov_test::LogLine>{
                              {kLogInfo, "ZODODA> Command 10 rejected - type FFFFFF85"},
                              {kLogInfo, "ZODODA> Command FFFFFF80 rejected - type 7F"},
                              {kLogInfo, "ZODODA> Command 05 rejected - type 00"},
                          }));
  EXPECT_EQ(Lookups(), 3u * 2u);
}

TEST_F(DecodeTest, DecodingClearsTheFirstFourBytesOnly) {
  const std::uint8_t frame[] = {kStx, 0x31, 0x32, '=', 1, 2, 3, 4, 5, 6, 7};
  std::memcpy(state.receive, frame, sizeof frame);
  std::uint8_t before[kReceiveAreaSize];
  std::memcpy(before, state.receive, sizeof before);
  DecodeReply(&request, sizeof frame);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(state.receive[i], 0) << i;
  EXPECT_EQ(std::memcmp(state.receive + 4, before + 4, kReceiveAreaSize - 4), 0);
}

TEST_F(DecodeTest, BytesTheReplyDidNotDeliverReadAsZero) {
  QarHostSetDiscovery(1);
  // An older reply left a full zone message behind.
  const std::uint8_t older[] = {0, 0, 0, '3', 1, 0, 5, 1, 0};
  std::memcpy(state.receive, older, sizeof older);

  // A single byte other than EOT is a message of zeros, not the older one.
  for (std::uint8_t single : {kAck, std::uint8_t{0x15}, kStx}) {
    Reset();
    Decode({single});
    EXPECT_EQ(result_word, 0);
    EXPECT_EQ(Stored(), (Stores{{"CP1MS", 0.0}, {"CP1ST", 0.0}})) << int{single};
    EXPECT_EQ(std::memcmp(state.receive + 4, older + 4, sizeof older - 4), 0);
  }

  // A short frame: m3 and m4 were not delivered, so the zone is 0, not 260.
  Reset();
  Decode({kStx, 0, 0, '=', 0x01, 0x02});
  EXPECT_EQ(result_word, '=' + 65535);
  EXPECT_EQ(Stored(), (Stores{{"CP1MS", 61.0}, {"CP1ST", 1.0}, {"CP1Z0", 1.0}}));
  EXPECT_EQ(state.receive[6], 5);  // the area keeps what it held
}

TEST_F(DecodeTest, AReplyOfNoBytesChangesNothing) {
  QarHostSetDiscovery(1);
  InstanceState before = state;
  DecodeReply(&request, 0);
  EXPECT_EQ(result_word, 0x5A5A5A5A);
  EXPECT_EQ(Lookups(), 0u);
  EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
}

TEST_F(DecodeTest, GateNamesAreWholeForAnyPanelNumber) {
  QarHostSetDiscovery(1);
  SetPanel(INT_MIN);
  DecodeFrame('0', 0, 0, 0x7F, 0x7F);
  EXPECT_EQ(Stored(), (Stores{{"CP-2147483648MS", 48.0},
                              {"CP-2147483648ST", 0.0},
                              {"CP-2147483648Z32512E127", 1.0}}));
  Reset();
  SetPanel(INT_MAX);
  DecodeFrame('=', 0, 0, 0x80, 0x80);
  EXPECT_EQ(Stored().back().first, "CP2147483647Z-32768");
  Reset();
  SetPanel(123456);
  DecodeFrame('2', 0);
  EXPECT_EQ(Stored().front().first, "CP123456MS");
}

TEST_F(DecodeTest, NullResultPointerIsNeverWrittenButTheReplyIsDecoded) {
  QarHostSetDiscovery(1);
  point.result = nullptr;
  DecodeFrame('=', 0, 0, 3);
  EXPECT_EQ(Stored().back().first, "CP1Z3");
  EXPECT_EQ(state.receive[0], 0);
  Decode({kEot});
  EXPECT_EQ(result_word, 0x5A5A5A5A);
}

TEST_F(DecodeTest, NullPointBlockDecodesNothing) {
  QarHostSetDiscovery(1);
  request.params = nullptr;
  state.receive[0] = kStx;
  InstanceState before = state;
  DecodeReply(&request, 9);
  EXPECT_EQ(Lookups(), 0u);
  EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
}

// The link acknowledges a frame only when it holds every byte its message is
// decoded from, as MessageLength says. Held against the decoder itself, for
// every type and state: bytes from that length on change nothing the decoding
// does, and the last byte before it does change it, so the link neither waits
// for bytes the decoder ignores nor acknowledges a frame the decoder would
// read past.
TEST_F(DecodeTest, MessageLengthIsExactlyWhatTheDecoderReads) {
  QarHostSetDiscovery(1);
  struct Effects {
    std::vector<vuzov_test::GateStore> stores;
    std::vector<std::string> lines;
    std::int32_t result;
    bool operator==(const Effects &other) const {
      return stores == other.stores && lines == other.lines && result == other.result;
    }
  };
  const auto effects_of = [this](const std::vector<std::uint8_t> &frame, std::size_t delivered) {
    host.Clear();
    std::memcpy(state.receive, frame.data(), frame.size());
    DecodeReply(&request, delivered);
    return Effects{host.Stores(), host.Texts(), result_word};
  };
  // Small zone numbers, so that ranges stay short: single zone 1 + 12 * 255,
  // range 10 + 255 up to 12 + 255.
  for (int type = 0; type < 256; ++type) {
    for (int state_byte = 0; state_byte < 256; ++state_byte) {
      const auto m0 = static_cast<std::uint8_t>(type);
      const auto m1 = static_cast<std::uint8_t>(state_byte);
      const std::size_t length = MessageLength(m0, m1);
      ASSERT_GE(length, 5u);
      ASSERT_LE(length, 9u);
      std::vector<std::uint8_t> frame = {kStx, 0x31, 0x32, m0, m1, 10, 1, 12, 1};
      frame.resize(kMaxReplyLength, 0x7E);
      const Effects whole = effects_of(frame, length);
      std::vector<std::uint8_t> other_tail = frame;
      for (std::size_t i = length; i < other_tail.size(); ++i) other_tail[i] ^= 0x5A;
      ASSERT_EQ(effects_of(other_tail, kMaxReplyLength), whole)
          << "type " << type << " state " << state_byte << ": a byte past " << length
          << " was decoded";
      if (length > 5 || m1 != 0) {
        ASSERT_FALSE(effects_of(frame, length - 1) == whole)
            << "type " << type << " state " << state_byte << ": byte " << length - 1
            << " is never decoded";
      }
      ASSERT_TRUE(HoldsWholeMessage(frame.data(), length));
      ASSERT_FALSE(HoldsWholeMessage(frame.data(), length - 1));
    }
  }
  const std::uint8_t not_a_frame[] = {kAck, 0, 0, '=', 1, 2, 3, 4, 5};
  EXPECT_FALSE(HoldsWholeMessage(not_a_frame, sizeof not_a_frame));
}

// The names the decoder builds are what hosts configured: the formats' own
// output, and the tools read each back into the numbers it was built from.
// No other text reads as a name.
TEST(GateNames, AreWhatTheFormatsPrintAndReadBackWhole) {
  const std::int32_t numbers[] = {INT_MIN, -32640, -1, 0, 1, 8, 10, 260, 32512, INT_MAX};
  const auto check = [](const GateParts &parts, const char *format, auto... arguments) {
    char printed[64];
    std::snprintf(printed, sizeof printed, format, arguments...);
    EXPECT_EQ(GateNameOf(parts).View(), printed);
    const std::optional<GateParts> read = ParseGateName(printed);
    ASSERT_TRUE(read.has_value()) << printed;
    EXPECT_TRUE(read->kind == parts.kind && read->panel == parts.panel &&
                read->zone == parts.zone && read->element == parts.element)
        << printed;
  };
  for (const std::int32_t panel : numbers) {
    check({GateKind::kMessageType, panel, 0, 0}, kMessageTypeGateFormat, panel);
    check({GateKind::kState, panel, 0, 0}, kStateGateFormat, panel);
    for (const std::int32_t zone : numbers) {
      check({GateKind::kZone, panel, zone, 0}, kZoneGateFormat, panel, zone);
      for (const std::int32_t element : {-128, 0, 5, 127}) {
        check({GateKind::kElement, panel, zone, element}, kElementGateFormat, panel, zone, element);
      }
    }
  }
  for (const char *other : {"", "CP", "CP1", "cp1Z3", "CP01Z3", "CP1Z03", "CP1Z-0", "CP+1MS",
                            "CP1Z", "CP1Z3E", "CP1Z3E5X", "CP1MSX", "CP1E5", "CP1 Z3",
                            "CP2147483648MS", "CP1Z3 "}) {
    EXPECT_FALSE(ParseGateName(other).has_value()) << "'" << other << "'";
  }
}
