#include "outputs/modbus/modbus_request.h"

#include <cstring>

#include "outputs/modbus/register_map.h"

namespace zemhost::modbus {
namespace {

// The length field counts the unit id and the PDU: at least a function code.
constexpr std::size_t kShortestLengthField = 2;
constexpr std::size_t kLongestLengthField = kLongestRequest - 6;

constexpr std::uint8_t kReadHoldingRegisters = 0x03;
constexpr std::uint8_t kReadDiscreteInputs = 0x02;
constexpr std::uint8_t kReadInputRegisters = 0x04;
constexpr std::uint8_t kWriteSingleRegister = 0x06;
constexpr std::uint8_t kWriteMultipleRegisters = 0x10;

constexpr int kMostBitsRead = 2000;
constexpr int kMostRegistersRead = 125;
constexpr int kMostRegistersWritten = 123;

std::uint16_t Word(const std::uint8_t *at) {
  return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

Decision Refuse(int instance, std::uint8_t exception) {
  Decision decision;
  decision.action = Action::kException;
  decision.instance = instance;
  decision.exception = exception;
  return decision;
}

// The instance a unit id names; 0 for none.
int InstanceOf(std::uint8_t unit, const ServedTables &tables) {
  if (unit >= 1 && unit <= tables.instances) return unit;
  if (unit == kDefaultUnit && tables.instances == 1) return 1;
  return 0;
}

// A read: a PDU of function, address and count, a count the protocol
// allows, a span within the table.
Decision Read(Action action, int instance, const std::uint8_t *pdu, std::size_t pdu_length,
              int most, int table) {
  if (pdu_length != 5) return Refuse(instance, kIllegalValue);
  const int first = Word(pdu + 1);
  const int count = Word(pdu + 3);
  if (count < 1 || count > most) return Refuse(instance, kIllegalValue);
  if (first + count > table) return Refuse(instance, kIllegalAddress);
  Decision decision;
  decision.action = action;
  decision.instance = instance;
  decision.first = first;
  decision.count = count;
  return decision;
}

// A write reaches the command register alone, with a command's code.
Decision Write(int instance, int first, int count, std::uint16_t value) {
  if (first != kCommandRegister || count != 1) return Refuse(instance, kIllegalAddress);
  if (CommandLetter(value) == 0) return Refuse(instance, kIllegalValue);
  Decision decision;
  decision.action = Action::kWriteCommand;
  decision.instance = instance;
  decision.first = first;
  decision.count = count;
  decision.value = value;
  return decision;
}

Decision WriteSingle(int instance, const std::uint8_t *pdu, std::size_t pdu_length) {
  if (pdu_length != 5) return Refuse(instance, kIllegalValue);
  return Write(instance, Word(pdu + 1), 1, Word(pdu + 3));
}

Decision WriteMultiple(int instance, const std::uint8_t *pdu, std::size_t pdu_length,
                       int table) {
  if (pdu_length < 6) return Refuse(instance, kIllegalValue);
  const int first = Word(pdu + 1);
  const int count = Word(pdu + 3);
  const std::size_t bytes = pdu[5];
  if (count < 1 || count > kMostRegistersWritten || bytes != static_cast<std::size_t>(count) * 2 ||
      pdu_length != 6 + bytes) {
    return Refuse(instance, kIllegalValue);
  }
  if (first + count > table) return Refuse(instance, kIllegalAddress);
  return Write(instance, first, count, Word(pdu + 6));
}

}  // namespace

RequestFramer::Status RequestFramer::Look(std::size_t *length, std::string *why) const {
  if (filled_ < kHeaderLength) return Status::kPartial;
  const std::uint16_t protocol = Word(buffer_ + 2);
  const std::size_t length_field = Word(buffer_ + 4);
  if (protocol != 0) {
    *why = "protocol id " + std::to_string(protocol) + " in a request's header, not 0 (Modbus)";
    return Status::kBroken;
  }
  if (length_field < kShortestLengthField || length_field > kLongestLengthField) {
    *why = "a request's length field of " + std::to_string(length_field) + " bytes (2 to " +
           std::to_string(kLongestLengthField) + ")";
    return Status::kBroken;
  }
  const std::size_t whole = 6 + length_field;
  if (filled_ < whole) return Status::kPartial;
  *length = whole;
  return Status::kWhole;
}

void RequestFramer::Consume(std::size_t length) {
  std::memmove(buffer_, buffer_ + length, filled_ - length);
  filled_ -= length;
}

Decision Decide(const std::uint8_t *request, std::size_t length, const ServedTables &tables) {
  const std::uint8_t unit = request[6];
  if (unit == 0) return Decision{};
  const int instance = InstanceOf(unit, tables);
  if (instance == 0) return Refuse(0, kGatewayTargetFailed);
  // The PDU, from the function code on; the framer's length field of at
  // least 2 leaves it at least that code.
  const std::uint8_t *pdu = request + kHeaderLength;
  const std::size_t pdu_length = length - kHeaderLength;
  switch (pdu[0]) {
    case kReadDiscreteInputs:
      return Read(Action::kReadDiscrete, instance, pdu, pdu_length, kMostBitsRead,
                  tables.discrete_inputs);
    case kReadInputRegisters:
      return Read(Action::kReadInputs, instance, pdu, pdu_length, kMostRegistersRead,
                  tables.input_registers);
    default:
      break;
  }
  if (!tables.commands) return Refuse(instance, kIllegalFunction);
  switch (pdu[0]) {
    case kReadHoldingRegisters:
      return Read(Action::kReadHolding, instance, pdu, pdu_length, kMostRegistersRead,
                  tables.holding_registers);
    case kWriteSingleRegister:
      return WriteSingle(instance, pdu, pdu_length);
    case kWriteMultipleRegisters:
      return WriteMultiple(instance, pdu, pdu_length, tables.holding_registers);
    default:
      return Refuse(instance, kIllegalFunction);
  }
}

}  // namespace zemhost::modbus
