#include "outputs/modbus/unit_state.h"

#include <algorithm>
#include <cmath>

#include "cli/modbus_options.h"
#include "gate_names.h"
#include "outputs/modbus/register_map.h"

namespace zemhost::modbus {
namespace {

// A gate value as the 32-bit word the driver made it from a byte: 0 to 127,
// or 2^32 - 128 and up for a byte of 0x80 or more.
std::uint32_t GateWord(double value) {
  if (!(value >= 0 && value <= 4294967295.0)) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(value);
}

std::uint16_t High(std::uint32_t value) { return static_cast<std::uint16_t>(value >> 16); }
std::uint16_t Low(std::uint32_t value) { return static_cast<std::uint16_t>(value & 0xFFFF); }
// A signed number as the register's 16 bits (two's complement), clamped.
std::uint16_t Signed(std::int32_t value) {
  return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(value, -32768, 32767)));
}

}  // namespace

UnitState::UnitState(int instance, int panel, int zones, bool commands)
    : instance_(instance),
      zones_(zones),
      commands_(commands),
      panel_(panel),
      words_(static_cast<std::size_t>(zones) + 1, kZoneNotReported),
      alarms_(static_cast<std::size_t>(zones) + 1, 0) {
  words_[0] = 0;
}

void UnitState::Shown(int panel) {
  const std::lock_guard<std::mutex> lock(mutex_);
  panel_ = panel;
}

std::string UnitState::Gate(const std::string &name, double value) {
  const std::optional<vuzov::GateParts> parts = vuzov::ParseGateName(name);
  if (!parts) return std::string();  // a gate of a list that is no driver's name
  const std::uint32_t word = GateWord(value);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (parts->panel != panel_) {
    if (parts->kind == vuzov::GateKind::kZone || parts->kind == vuzov::GateKind::kElement) {
      return Outside(name);
    }
    return std::string();
  }
  switch (parts->kind) {
    case vuzov::GateKind::kMessageType:
      message_type_ = static_cast<std::uint8_t>(word & 0xFF);
      return std::string();
    case vuzov::GateKind::kState:
      message_state_ = static_cast<std::uint8_t>(word & 0xFF);
      return std::string();
    case vuzov::GateKind::kZone:
    case vuzov::GateKind::kElement:
      break;
  }
  const bool zone = parts->kind == vuzov::GateKind::kZone;
  event_.count += 1;
  event_.kind = zone ? kZoneEvent : kElementEvent;
  event_.type = message_type_.value_or(0);
  event_.zone = parts->zone;
  event_.element = zone ? 0 : parts->element;
  event_.value = word;
  if (!zone) return std::string();
  if (parts->zone < 1 || parts->zone > zones_) return Outside(name);
  Zone(parts->zone, word);
  return std::string();
}

void UnitState::Zone(std::int32_t zone, std::uint32_t value) {
  const auto at = static_cast<std::size_t>(zone);
  std::uint16_t word = static_cast<std::uint16_t>(value & 0xFF);
  // A zone set by a message says which type set it; one cleared says none.
  if (value != 0 && message_type_) {
    word |= static_cast<std::uint16_t>(kZoneTypeKnown | ((*message_type_ & 0x0F) << kZoneTypeShift));
  }
  words_[at] = word;
  const std::uint8_t alarm = value != 0 ? 1 : 0;
  if (alarm != alarms_[at]) {
    zones_in_alarm_ = static_cast<std::uint16_t>(alarm ? zones_in_alarm_ + 1 : zones_in_alarm_ - 1);
  }
  alarms_[at] = alarm;
}

std::string UnitState::Outside(const std::string &name) {
  outside_ += 1;
  if (outside_said_) return std::string();
  outside_said_ = true;
  return "instance " + std::to_string(instance_) + ": gate " + name +
         " is outside the Modbus map (zones 1 to " + std::to_string(zones_) + " of panel " +
         std::to_string(panel_) + ", --modbus-zones): such reports are counted in input "
         "registers 10-11 and not shown; this is said once";
}

void UnitState::Exchanged(bool answered, Clock::time_point now) {
  const std::lock_guard<std::mutex> lock(mutex_);
  exchanges_ += 1;
  if (answered) {
    last_answer_ = now;
  } else {
    failures_ += 1;
  }
}

void UnitState::LinkIs(LinkState state) {
  const std::lock_guard<std::mutex> lock(mutex_);
  link_ = state;
}

void UnitState::CommandDone(std::uint32_t ticket, std::uint32_t result, bool acknowledged) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (ticket == 0 || ticket != result_ticket_) return;
  result_ = result != 0 ? kFailed : acknowledged ? kAcknowledged : kNotAcknowledged;
}

void UnitState::CommandTaken(std::uint16_t code, std::uint32_t ticket) {
  const std::lock_guard<std::mutex> lock(mutex_);
  sequence_ = static_cast<std::uint16_t>(sequence_ == 0xFFFF ? 1 : sequence_ + 1);
  result_ = kPending;
  result_command_ = code;
  result_ticket_ = ticket;
}

std::uint16_t UnitState::PanelRegister(int address, Clock::time_point now) const {
  switch (address) {
    case kVersionRegister: return kMapVersion;
    case kStatus: {
      std::uint16_t bits = kStatusGatewayRunning;
      if (link_ == LinkState::kUp) bits |= kStatusLinkUp;
      if (link_ == LinkState::kDown) bits |= kStatusLinkLost;
      if (commands_) bits |= kStatusCommandsTaken;
      return bits;
    }
    case kExchanges: return High(exchanges_);
    case kExchanges + 1: return Low(exchanges_);
    case kFailures: return High(failures_);
    case kFailures + 1: return Low(failures_);
    case kSecondsSinceAnswer: {
      if (!last_answer_) return kLongAgo;
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - *last_answer_);
      return static_cast<std::uint16_t>(std::min<long long>(seconds.count(), kLongAgo));
    }
    case kMessageType: return message_type_.value_or(0);
    case kMessageState: return message_state_;
    case kZonesInAlarm: return zones_in_alarm_;
    case kOutsideReports: return High(outside_);
    case kOutsideReports + 1: return Low(outside_);
    case kZoneCount: return static_cast<std::uint16_t>(zones_);
    case kZoneWordBase: return kModbusZoneWordBase;
    case kPanelNumber: return Signed(panel_);
    case kEventCount: return High(event_.count);
    case kEventCount + 1: return Low(event_.count);
    case kEventKind: return event_.kind;
    case kEventType: return event_.type;
    case kEventZone: return Signed(event_.zone);
    case kEventElement: return Signed(event_.element);
    case kEventValue: return Low(event_.value);
    default: return 0;
  }
}

void UnitState::CopyInputRegisters(int first, int count, Clock::time_point now,
                                   std::uint16_t *out) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const std::uint16_t link_bit = link_ == LinkState::kDown ? kZoneLinkLost : 0;
  for (int address = first; address < first + count; ++address) {
    const int zone = address - kModbusZoneWordBase;
    if (zone >= 1) {
      *out++ = static_cast<std::uint16_t>(words_[static_cast<std::size_t>(zone)] | link_bit);
    } else {
      *out++ = PanelRegister(address, now);
    }
  }
}

void UnitState::CopyDiscreteInputs(int first, int count, std::uint8_t *out) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::copy_n(alarms_.begin() + first, count, out);
}

void UnitState::CopyHoldingRegisters(int first, int count, std::uint16_t *out) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const std::uint16_t registers[kHoldingSize] = {0, sequence_, result_, result_command_};
  std::copy_n(registers + first, count, out);
}

}  // namespace zemhost::modbus
