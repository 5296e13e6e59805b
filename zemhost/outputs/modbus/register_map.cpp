#include "outputs/modbus/register_map.h"

namespace zemhost::modbus {
namespace {

const char kDiscrete[] = "discrete input";
const char kInput[] = "input register";
const char kHolding[] = "holding register";

std::string Span(int first, int last) {
  return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

std::string At(int address) { return std::to_string(address); }

// A field of a CSV line: quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string &text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

char CommandLetter(std::uint16_t code) {
  switch (code) {
    case kAcknowledge: return 'A';
    case kSilence: return 'S';
    case kReset: return 'R';
    default: return 0;
  }
}

std::vector<MapRow> MapRows(int zones) {
  const int first_word = kModbusZoneWordBase + 1;
  const int last_word = kModbusZoneWordBase + zones;
  return {
      {Span(1, zones), kDiscrete, "zone_alarm",
       "zone z (address z) is in alarm: the panel reported it and it is not cleared, its gate is "
       "not 0 (the zone word says which message type set it); address 0 reads 0",
       "bit"},
      {At(kVersionRegister), kInput, "map_version", "the version of this map: 1", "number"},
      {At(kStatus), kInput, "status",
       "bit 0 the panel link is up; bit 1 the link is lost; bit 2 the gateway is running; bit 3 "
       "commands are taken (--modbus-commands); neither bit 0 nor bit 1 until the link is known",
       "bits"},
      {Span(kExchanges, kExchanges + 1), kInput, "exchanges",
       "polls and commands exchanged with the panel since the start, high word first: a "
       "heartbeat",
       "count"},
      {Span(kFailures, kFailures + 1), kInput, "failed_exchanges",
       "exchanges the panel did not answer (after the driver's three attempts), high word first",
       "count"},
      {At(kSecondsSinceAnswer), kInput, "seconds_since_answer",
       "seconds since the panel last answered; 65535 when it never has, or that long ago", "s"},
      {At(kMessageType), kInput, "message_type",
       "the type of the panel's last message (gate CPnMS), a character code: 51 is '3'", "code"},
      {At(kMessageState), kInput, "message_state", "the state byte of the panel's last message "
       "(gate CPnST)", "code"},
      {At(kZonesInAlarm), kInput, "zones_in_alarm", "zones of the map in alarm now (their bits)",
       "count"},
      {Span(kOutsideReports, kOutsideReports + 1), kInput, "zone_reports_outside",
       "zone reports the map cannot show (a zone beyond --modbus-zones, zone 0 or below, another "
       "panel), high word first",
       "count"},
      {At(kZoneCount), kInput, "zone_count", "the zones of the map (--modbus-zones)", "count"},
      {At(kZoneWordBase), kInput, "zone_word_base", "the word of zone z is input register this "
       "+ z: 1000",
       "address"},
      {At(kPanelNumber), kInput, "panel", "the panel number whose zones the map shows: that of "
       "the instance's first point",
       "number"},
      {Span(kEventCount, kEventCount + 1), kInput, "event_count",
       "zone and zone-element reports since the start, high word first; the registers 17 to 21 "
       "describe the last one",
       "count"},
      {At(kEventKind), kInput, "event_kind", "0 none yet; 1 a zone; 2 a zone element", "code"},
      {At(kEventType), kInput, "event_message_type", "the message type of the last report, as "
       "register 7",
       "code"},
      {At(kEventZone), kInput, "event_zone", "its zone", "signed"},
      {At(kEventElement), kInput, "event_element", "its element; 0 for a zone", "signed"},
      {At(kEventValue), kInput, "event_value",
       "the value the report stored (a byte of 0x80 or more reads negative, as the panel sent "
       "it)",
       "signed"},
      {Span(kPanelBlockSize, kModbusZoneWordBase), kInput, "reserved", "reads 0", ""},
      {Span(first_word, last_word), kInput, "zone_word",
       "zone z (address 1000 + z): bits 0-7 the zone gate's value; bit 8 the panel link is lost; "
       "bit 9 no report of the zone since the start; bit 11 bits 12-15 are known; bits 12-15 the "
       "low 4 bits of the type of the message that set it (3 for type '3', 7 for '7', 13 for "
       "'=')",
       "bits"},
      {At(kCommandRegister), kHolding, "command",
       "with --modbus-commands: write 1 acknowledge, 2 silence or 3 reset (another value: "
       "exception 03); reads 0. Without it every holding register answers exception 01",
       "code"},
      {At(kCommandSequence), kHolding, "command_sequence",
       "the number of the last command taken, from 1 (after 65535 comes 1 again); 0 none yet",
       "count"},
      {At(kCommandResult), kHolding, "command_result",
       "the result of that command: 0 none; 1 pending; 2 acknowledged by the panel; 3 not "
       "acknowledged; 4 failed (no answer)",
       "code"},
      {At(kResultCommand), kHolding, "result_command", "which command that was: 1, 2 or 3; 0 none",
       "code"},
  };
}

void PrintMapCsv(std::FILE *out, int zones) {
  std::fprintf(out, "address,table,name,meaning,unit\n");
  for (const MapRow &row : MapRows(zones)) {
    std::fprintf(out, "%s,%s,%s,%s,%s\n", CsvField(row.address).c_str(),
                 CsvField(row.table).c_str(), CsvField(row.name).c_str(),
                 CsvField(row.meaning).c_str(), CsvField(row.unit).c_str());
  }
}

}  // namespace zemhost::modbus
