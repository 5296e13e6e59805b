// Decoding of one panel reply into the point's result word and gate stores.
//
// The number rules below look odd (signed bytes, high bytes worth 255, a result
// word of m0 + m1 * 65535) but they are what hosts have configured their gate
// names and values against, so they are kept exactly as the panel driver has
// always applied them.
#include <cstring>
#include <optional>

#include "gate_names.h"
#include "panel_protocol.h"

namespace vuzov {

namespace {

// Positions in the receive area: b0 is the reply's first byte, the message bytes
// m0 to m5 are b3 to b8.
constexpr std::size_t kMessageStart = 3;
constexpr std::size_t kMessageLength = 6;
constexpr std::size_t kClearedAfterDecoding = 4;

// The reply as the decoder sees it: what this reply delivered, and zero at every
// position it did not, whatever an older reply or the host left there.
class DeliveredReply {
 public:
  DeliveredReply(const std::uint8_t *area, std::size_t delivered)
      : area_(area), delivered_(delivered < kReceiveAreaSize ? delivered : kReceiveAreaSize) {}
  std::uint8_t At(std::size_t position) const {
    return position < delivered_ ? area_[position] : 0;
  }

 private:
  const std::uint8_t *area_;
  std::size_t delivered_;
};

std::int32_t Signed(std::uint8_t byte) { return static_cast<std::int8_t>(byte); }

// A byte as a gate value: the signed byte's 32-bit pattern read as unsigned, so
// 0x80 to 0xFF become 2^32 - 128 to 2^32 - 1.
double GateValue(std::uint8_t byte) {
  return static_cast<double>(static_cast<std::uint32_t>(Signed(byte)));
}

std::int32_t ZoneNumber(std::uint8_t low, std::uint8_t high) {
  return Signed(low) + Signed(high) * 255;
}

struct Message {
  std::uint8_t m[kMessageLength];
  std::int32_t Type() const { return Signed(m[0]); }
  std::uint8_t State() const { return m[1]; }
  std::int32_t SingleZone() const { return ZoneNumber(m[3], m[4]); }
  std::int32_t RangeStart() const { return ZoneNumber(m[2], m[3]); }
  std::int32_t RangeEnd() const { return ZoneNumber(m[4], m[5]); }
  std::int32_t Element() const { return Signed(m[3]); }
  // Fits in 32 bits: at most 127 + 127 * 65535.
  std::int32_t ResultWord() const { return Signed(m[0]) + Signed(m[1]) * 65535; }
};

// The gates of one panel, addressed by name through the host.
class PanelGates {
 public:
  PanelGates(std::uint8_t client, std::int32_t panel) : client_(client), panel_(panel) {}

  // Stores the value when the host has the gate; true when it has. A gate the
  // host lacks is skipped without a word.
  bool Store(const GateName &name, double value) const {
    std::uint32_t gate = 0;
    if (QarGetGateId(client_, name.text, &gate) != 0) return false;
    QarPutGateVal(client_, gate, 1, value, 0, 0);
    return true;
  }

  bool StoreMessageType(double value) const { return Store(MessageTypeGate(panel_), value); }
  bool StoreState(double value) const { return Store(StateGate(panel_), value); }
  void StoreZone(std::int32_t zone, double value) const { Store(ZoneGate(panel_, zone), value); }
  void StoreElement(std::int32_t zone, std::int32_t element, double value) const {
    Store(ElementGate(panel_, zone, element), value);
  }
  // Ascending from start to end inclusive; nothing when start lies above end.
  void StoreZoneRange(std::int32_t start, std::int32_t end, double value) const {
    for (std::int32_t zone = start; zone <= end; ++zone) StoreZone(zone, value);
  }

 private:
  std::uint8_t client_;
  std::int32_t panel_;
};

void WriteResultWord(const PointBlock &point, std::int32_t word) {
  if (point.result != nullptr) std::memcpy(point.result, &word, sizeof word);
}

// Type "0": the element's state. States 0, 3 and 4 store themselves; any other
// stores what the message-type and state stores left as the current value. When
// the host has neither of those gates nothing has been set, and the element gets
// the state it reported, v(m1), as it would have had the state gate existed.
void DecodeElementState(const Message &message, const PanelGates &gates,
                        std::optional<double> current) {
  switch (message.State()) {
    case 0: current = 1.0; break;
    case 3: current = 3.0; break;
    case 4: current = 4.0; break;
    default: break;
  }
  gates.StoreElement(message.SingleZone(), message.Element(),
                     current.value_or(GateValue(message.State())));
}

// Types "3" and "7": one zone, or a run of zones, reported as set.
void DecodeZones(const Message &message, const PanelGates &gates, bool single, bool range) {
  if (single) gates.StoreZone(message.SingleZone(), 1.0);
  if (range) gates.StoreZoneRange(message.RangeStart(), message.RangeEnd(), 1.0);
}

void ActOnType(const Message &message, const PanelGates &gates, std::optional<double> current) {
  const std::uint8_t state = message.State();
  switch (message.Type()) {
    case '0':
      DecodeElementState(message, gates, current);
      break;
    case '1':
      gates.StoreElement(message.SingleZone(), message.Element(), 1.0);
      break;
    case '3':
      DecodeZones(message, gates, state == 1 || state == 7, state == 4 || state == 9);
      break;
    case '7':
      DecodeZones(message, gates, state == 1, state == 3);
      break;
    case '<':
      // "%02X" of the signed value: 0x80 and above print as its 32-bit pattern.
      err(kLogInfo, "ZODODA> Command %02X rejected - type %02X",
          static_cast<unsigned>(Signed(message.m[2])), static_cast<unsigned>(Signed(message.m[3])));
      break;
    case '=':
      gates.StoreZone(message.SingleZone(), 1.0);
      break;
    default:  // "2", "4" to "6", "8" to ";" and every unknown type carry no gate
      break;
  }
}

std::uint8_t ClientId(const InstanceState &state) {
  const std::uint32_t slot = state.client_id;
  std::uint8_t first = 0;
  std::memcpy(&first, &slot, 1);  // the host writes the id into the slot's first byte
  return first;
}

}  // namespace

// Mirrors ActOnType: the last message byte each type and state is decoded
// from, as a count of frame bytes (m0 is byte 3, so m1 ends at 5, m3 at 7 and
// m5 at 9). Every message needs its type and state.
std::size_t MessageLength(std::uint8_t type, std::uint8_t state) {
  constexpr std::size_t kTypeAndState = kMessageStart + 2;
  constexpr std::size_t kThroughRejectedType = kMessageStart + 4;  // m3
  constexpr std::size_t kThroughSingleZone = kMessageStart + 5;    // m4
  constexpr std::size_t kThroughRangeEnd = kMessageStart + 6;      // m5
  switch (type) {
    case '0':
    case '1':
    case '=':
      return kThroughSingleZone;
    case '<':
      return kThroughRejectedType;
    case '3':
      if (state == 1 || state == 7) return kThroughSingleZone;
      if (state == 4 || state == 9) return kThroughRangeEnd;
      return kTypeAndState;
    case '7':
      if (state == 1) return kThroughSingleZone;
      if (state == 3) return kThroughRangeEnd;
      return kTypeAndState;
    default:
      return kTypeAndState;
  }
}

bool HoldsWholeMessage(const std::uint8_t *area, std::size_t delivered) {
  constexpr std::size_t kTypeAndState = kMessageStart + 2;
  if (delivered < kTypeAndState || area[0] != kStx) return false;
  return delivered >= MessageLength(area[kMessageStart], area[kMessageStart + 1]);
}

// A reply of no bytes is no reply: nothing is decoded and nothing changes.
void DecodeReply(Request *request, std::size_t delivered) {
  if (request == nullptr || request->state == nullptr || request->params == nullptr) return;
  if (delivered == 0) return;
  InstanceState &state = *request->state;
  const PointBlock point = *static_cast<const PointBlock *>(request->params);
  const DeliveredReply reply(state.receive, delivered);

  if (reply.At(0) == kEot) {
    WriteResultWord(point, 0);
    return;
  }
  Message message{};
  for (std::size_t i = 0; i < kMessageLength; ++i) message.m[i] = reply.At(kMessageStart + i);
  WriteResultWord(point, message.ResultWord());

  const PanelGates gates(ClientId(state), point.panel);
  std::optional<double> current;
  if (gates.StoreMessageType(GateValue(message.m[0]))) current = GateValue(message.m[0]);
  if (gates.StoreState(GateValue(message.m[1]))) current = GateValue(message.m[1]);
  ActOnType(message, gates, current);

  std::memset(state.receive, 0, kClearedAfterDecoding);
}

}  // namespace vuzov
