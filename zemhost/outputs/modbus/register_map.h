// The Modbus register map, version 1: what each address of each table holds
// for one unit (one instance). Addresses are the protocol's own, from 0.
// docs/modbus.md explains it for a BMS integrator, and zemhost --modbus-map
// prints it as CSV from the rows here; a BMS configured for version 1 relies
// on every address and bit below, so they never move: a change is version 2.
#ifndef VUZOV_ZEMHOST_MODBUS_REGISTER_MAP_H
#define VUZOV_ZEMHOST_MODBUS_REGISTER_MAP_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/modbus_options.h"

namespace zemhost::modbus {

inline constexpr std::uint16_t kMapVersion = 1;

// Input registers (FC 04): the panel block. A 32-bit count takes two
// registers, the high word first.
enum PanelRegister : int {
  kVersionRegister = 0,
  kStatus = 1,
  kExchanges = 2,  // and 3
  kFailures = 4,   // and 5
  kSecondsSinceAnswer = 6,
  kMessageType = 7,
  kMessageState = 8,
  kZonesInAlarm = 9,
  kOutsideReports = 10,  // and 11
  kZoneCount = 12,
  kZoneWordBase = 13,
  kPanelNumber = 14,
  kEventCount = 15,  // and 16
  kEventKind = 17,
  kEventType = 18,
  kEventZone = 19,
  kEventElement = 20,
  kEventValue = 21,
  kPanelBlockSize = 22,  // registers from here to the zone words read 0
};

// The status register's bits.
inline constexpr std::uint16_t kStatusLinkUp = 1u << 0;
inline constexpr std::uint16_t kStatusLinkLost = 1u << 1;
inline constexpr std::uint16_t kStatusGatewayRunning = 1u << 2;
inline constexpr std::uint16_t kStatusCommandsTaken = 1u << 3;

// What the last-event block's kind register says.
enum EventKind : std::uint16_t { kNoEvent = 0, kZoneEvent = 1, kElementEvent = 2 };

// A zone word (input register kModbusZoneWordBase + zone): the zone gate's
// value in the low byte, and in the high byte:
inline constexpr std::uint16_t kZoneLinkLost = 1u << 8;
inline constexpr std::uint16_t kZoneNotReported = 1u << 9;  // no report since the start
inline constexpr std::uint16_t kZoneTypeKnown = 1u << 11;   // bits 12 to 15 hold it
inline constexpr int kZoneTypeShift = 12;  // the low 4 bits of the message type that set it

// The seconds register saturates: never answered, or this long ago or more.
inline constexpr std::uint16_t kLongAgo = 0xFFFF;

// Holding registers (FC 03, 06, 16), with --modbus-commands only.
enum HoldingRegister : int {
  kCommandRegister = 0,   // write 1, 2 or 3; reads 0
  kCommandSequence = 1,   // the number of the last command taken
  kCommandResult = 2,     // its result
  kResultCommand = 3,     // which command it was
  kHoldingSize = 4,
};

// The values written to the command register, and the panel's command letters.
enum CommandCode : std::uint16_t { kAcknowledge = 1, kSilence = 2, kReset = 3 };
// 'A', 'S' or 'R' for a command code; 0 for any other value.
char CommandLetter(std::uint16_t code);

enum CommandResult : std::uint16_t {
  kNoResult = 0,
  kPending = 1,
  kAcknowledged = 2,
  kNotAcknowledged = 3,
  kFailed = 4,
};

// The first address after the tables, for a map of `zones` zones: discrete
// inputs 0 to zones, input registers 0 to the last zone word.
inline int DiscreteInputCount(int zones) { return zones + 1; }
inline int InputRegisterCount(int zones) { return kModbusZoneWordBase + zones + 1; }

// One row of the map as --modbus-map prints it.
struct MapRow {
  std::string address;  // "7", "2-3", "1001-2024"
  std::string table;
  std::string name;
  std::string meaning;
  std::string unit;
};

std::vector<MapRow> MapRows(int zones);
// The rows as CSV, a header line first (RFC 4180 quoting).
void PrintMapCsv(std::FILE *out, int zones);

}  // namespace zemhost::modbus

#endif
