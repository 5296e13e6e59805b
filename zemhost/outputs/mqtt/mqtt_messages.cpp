#include "outputs/mqtt/mqtt_messages.h"

#include <ctime>

#include "events/event_text.h"
#include "gate_names.h"
#include "outputs/json_text.h"

namespace zemhost {
namespace {

// Discovery ids take letters, digits, '_' and '-' only.
std::string IdText(const std::string &text) {
  std::string out = text;
  for (char &c : out) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-';
    if (!plain) c = '_';
  }
  return out;
}

std::string IsoTime(std::chrono::system_clock::time_point when) {
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[64];
  (void)std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(millis % 1000));
  return text;
}

// A gate's name as one topic level.
std::string TopicLevel(const std::string &gate) {
  std::string level = gate.empty() ? "_" : gate;
  for (char &c : level) {
    if (c == '/' || c == '+' || c == '#' || c == '\0') c = '_';
  }
  return level;
}

std::string TimeOrNull(const std::optional<std::chrono::system_clock::time_point> &when) {
  return when ? "\"" + IsoTime(*when) + "\"" : std::string("null");
}

const char *ButtonTitle(const char *command) {
  const std::string name = command;
  if (name == "acknowledge") return "Acknowledge";
  if (name == "silence") return "Silence";
  return "Reset";
}

}  // namespace

InstanceTopics::InstanceTopics(const std::string &prefix, int instance)
    : prefix_(prefix),
      instance_(instance),
      base_(prefix + "/" + std::to_string(instance)),
      node_(IdText(prefix) + "_" + std::to_string(instance)) {}

std::string InstanceTopics::Gate(const std::string &gate) const {
  return base_ + "/gate/" + TopicLevel(gate);
}

std::string InstanceTopics::Zone(const std::string &gate) const {
  return base_ + "/zone/" + TopicLevel(gate);
}

std::string InstanceTopics::ZoneDiscovery(const std::string &gate) const {
  return "homeassistant/binary_sensor/" + node_ + "/" + IdText(gate) + "/config";
}

std::string InstanceTopics::ProblemDiscovery(const std::string &gate) const {
  return "homeassistant/binary_sensor/" + node_ + "/" + IdText(gate) + "_problem/config";
}

std::string InstanceTopics::LinkDiscovery() const {
  return "homeassistant/binary_sensor/" + node_ + "/link/config";
}

std::string InstanceTopics::ButtonDiscovery(const char *command) const {
  return "homeassistant/button/" + node_ + "/" + command + "/config";
}

std::string InstanceTopics::DeviceJson() const {
  return "{\"identifiers\":[" + JsonString(node_) + "],\"name\":" +
         JsonString("Fire panel, " + prefix_ + " instance " + std::to_string(instance_)) +
         ",\"model\":\"FP11x\",\"sw_version\":\"VUZOV\"}";
}

std::string InstanceTopics::Entity(const std::string &title, const std::string &id) const {
  const std::string unique = JsonString(node_ + "_" + id);
  return "\"name\":" + JsonString(title) + ",\"unique_id\":" + unique + ",\"object_id\":" + unique;
}

std::string InstanceTopics::BothAvailabilities() const {
  const auto one = [](const std::string &topic) {
    return "{\"topic\":" + JsonString(topic) +
           ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"}";
  };
  return "\"availability\":[" + one(Status()) + "," + one(Availability()) +
         "],\"availability_mode\":\"all\"";
}

std::string InstanceTopics::GatewayAvailability() const {
  return "\"availability_topic\":" + JsonString(Status()) +
         ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"";
}

std::string InstanceTopics::ZoneConfig(const std::string &gate,
                                       const ZoneAnnouncement &zones) const {
  const vuzov::GateParts zone = vuzov::ParseGateName(gate).value_or(vuzov::GateParts{});
  const std::string title =
      "Panel " + std::to_string(zone.panel) + " zone " + std::to_string(zone.zone);
  // Without a mapping any value but 0 is a zone in alarm; with one, only a
  // zone an alarm (or a type the mapping leaves out) set.
  const std::string state =
      zones.mapped ? ",\"state_topic\":" + JsonString(Zone(gate)) +
                         ",\"value_template\":\"{{ 'ON' if value_json.alarm else 'OFF' }}\""
                   : ",\"state_topic\":" + JsonString(Gate(gate)) +
                         ",\"value_template\":\"{{ 'OFF' if value == '0' else 'ON' }}\"";
  return "{" + Entity(title, IdText(gate)) + ",\"device_class\":\"smoke\"" + state +
         ",\"json_attributes_topic\":" + JsonString(Zone(gate)) + "," + BothAvailabilities() +
         ",\"device\":" + DeviceJson() + "}";
}

std::string InstanceTopics::ProblemConfig(const std::string &gate) const {
  const vuzov::GateParts zone = vuzov::ParseGateName(gate).value_or(vuzov::GateParts{});
  const std::string title =
      "Panel " + std::to_string(zone.panel) + " zone " + std::to_string(zone.zone) + " fault";
  return "{" + Entity(title, IdText(gate) + "_problem") +
         ",\"device_class\":\"problem\",\"state_topic\":" + JsonString(Zone(gate)) +
         ",\"value_template\":\"{{ 'ON' if value_json.fault else 'OFF' }}\"" +
         ",\"json_attributes_topic\":" + JsonString(Zone(gate)) + "," + BothAvailabilities() +
         ",\"device\":" + DeviceJson() + "}";
}

std::string InstanceTopics::LinkConfig() const {
  return "{" + Entity("Panel link", "link") +
         ",\"device_class\":\"connectivity\",\"entity_category\":\"diagnostic\",\"state_topic\":" +
         JsonString(Link()) +
         ",\"value_template\":\"{{ 'ON' if value_json.state == 'up' else 'OFF' }}\"" +
         ",\"json_attributes_topic\":" + JsonString(Link()) + "," + GatewayAvailability() +
         ",\"device\":" + DeviceJson() + "}";
}

std::string InstanceTopics::ButtonConfig(const char *command) const {
  return "{" + Entity(ButtonTitle(command), command) +
         ",\"command_topic\":" + JsonString(Command()) + ",\"payload_press\":" +
         JsonString(command) + "," + BothAvailabilities() + ",\"device\":" + DeviceJson() + "}";
}

// The zones announced are those of panels and zones numbered from 0 up: a
// zone below 0 (a panel's high byte of 0x80 or more) is published, not
// announced.
bool IsZoneGate(const std::string &gate) {
  const std::optional<vuzov::GateParts> parts = vuzov::ParseGateName(gate);
  return parts && parts->kind == vuzov::GateKind::kZone && parts->panel >= 0 && parts->zone >= 0;
}

char CommandKind(const std::string &payload) {
  const auto first = payload.find_first_not_of(" \t\r\n");
  const auto last = payload.find_last_not_of(" \t\r\n");
  const std::string name = first == std::string::npos ? "" : payload.substr(first, last - first + 1);
  if (name == "acknowledge") return 'A';
  if (name == "silence") return 'S';
  if (name == "reset") return 'R';
  return 0;
}

std::string CommandNameOf(const std::string &point) {
  if (point.size() >= 2 && point.back() == '!') {
    switch (point[point.size() - 2]) {
      case 'A': return kCommandNames[0];
      case 'S': return kCommandNames[1];
      case 'R': return kCommandNames[2];
      default: break;
    }
  }
  return point;
}

std::string LinkJson(const LinkSummary &link) {
  return "{\"state\":\"" + std::string(LinkStateName(link.state)) +
         "\",\"since\":" + TimeOrNull(link.since) + ",\"why\":" +
         (link.why.empty() ? std::string("null") : JsonString(link.why)) +
         ",\"exchanges\":" + std::to_string(link.exchanges) +
         ",\"failures\":" + std::to_string(link.failures) +
         ",\"last_result\":" + std::to_string(link.last_result) +
         ",\"last_good\":" + TimeOrNull(link.last_good) + "}";
}

const char *AvailabilityOf(LinkState state) {
  return state == LinkState::kUp ? "online" : "offline";
}

std::string ZoneJson(const ZoneReading &zone) {
  JsonObject object;
  object.Raw("value", FormatValue(zone.value));
  object.Bool("alarm", zone.alarm).Bool("fault", zone.fault);
  const std::optional<MessageSource> &source = zone.set_by;
  object.Raw("message_type", source && source->type ? JsonString(MessageTypeText(*source->type))
                                                    : "null");
  object.Raw("message_code", source && source->type ? std::to_string(*source->type) : "null");
  object.Raw("message_state", source && source->state ? std::to_string(*source->state) : "null");
  object.Raw("meaning", source ? "\"" + std::string(MeaningName(source->meaning)) + "\"" : "null");
  object.Raw("cleared_by", zone.cleared_by.empty() ? "null" : JsonString(zone.cleared_by));
  object.Raw("changed", TimeOrNull(zone.changed));
  return object.Close();
}

std::string LogJson(std::int32_t level, const std::string &cp437_line) {
  return "{\"level\":" + std::to_string(level) + ",\"text\":" + JsonString(cp437_line) + "}";
}

std::string CommandResultJson(const std::string &command, const std::string &point,
                              bool acknowledged, std::uint32_t result) {
  return "{\"command\":" + JsonString(command) + ",\"point\":" + JsonString(point) +
         ",\"acknowledged\":" + (acknowledged && result == 0 ? "true" : "false") +
         ",\"result\":" + std::to_string(result) + "}";
}

std::string CommandRefusedJson(const std::string &payload, const std::string &why) {
  return "{\"command\":" + JsonString(payload) + ",\"acknowledged\":false,\"error\":" +
         JsonString(why) + "}";
}

}  // namespace zemhost
