#include "outputs/mqtt/mqtt_messages.h"

#include <ctime>

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
  std::string level = gate.empty() ? "_" : gate;
  for (char &c : level) {
    if (c == '/' || c == '+' || c == '#' || c == '\0') c = '_';
  }
  return base_ + "/gate/" + level;
}

std::string InstanceTopics::ZoneDiscovery(const std::string &gate) const {
  return "homeassistant/binary_sensor/" + node_ + "/" + IdText(gate) + "/config";
}

std::string InstanceTopics::ButtonDiscovery(const char *command) const {
  return "homeassistant/button/" + node_ + "/" + command + "/config";
}

std::string InstanceTopics::DeviceJson() const {
  return "{\"identifiers\":[" + JsonString(node_) + "],\"name\":" +
         JsonString("Fire panel, " + prefix_ + " instance " + std::to_string(instance_)) +
         ",\"model\":\"FP11x\",\"sw_version\":\"VUZOV\"}";
}

std::string InstanceTopics::ZoneConfig(const std::string &gate) const {
  // Any value but 0 is a zone in alarm.
  const vuzov::GateParts zone = vuzov::ParseGateName(gate).value_or(vuzov::GateParts{});
  const std::string title =
      "Panel " + std::to_string(zone.panel) + " zone " + std::to_string(zone.zone);
  return "{\"name\":" + JsonString(title) +
         ",\"unique_id\":" + JsonString(node_ + "_" + IdText(gate)) +
         ",\"object_id\":" + JsonString(node_ + "_" + IdText(gate)) +
         ",\"device_class\":\"smoke\",\"state_topic\":" + JsonString(Gate(gate)) +
         ",\"value_template\":\"{{ 'OFF' if value == '0' else 'ON' }}\"" +
         ",\"availability_topic\":" + JsonString(Status()) +
         ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\",\"device\":" +
         DeviceJson() + "}";
}

std::string InstanceTopics::ButtonConfig(const char *command) const {
  return "{\"name\":" + JsonString(ButtonTitle(command)) +
         ",\"unique_id\":" + JsonString(node_ + "_" + command) +
         ",\"object_id\":" + JsonString(node_ + "_" + command) +
         ",\"command_topic\":" + JsonString(Command()) + ",\"payload_press\":" +
         JsonString(command) + ",\"availability_topic\":" + JsonString(Status()) +
         ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\",\"device\":" +
         DeviceJson() + "}";
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

std::string LinkJson(const LinkCounts &link) {
  return "{\"state\":\"" + std::string(link.failing ? "failing" : "good") +
         "\",\"exchanges\":" + std::to_string(link.exchanges) +
         ",\"failures\":" + std::to_string(link.failures) +
         ",\"last_result\":" + std::to_string(link.last_result) + ",\"last_good\":" +
         (link.last_good ? "\"" + IsoTime(*link.last_good) + "\"" : std::string("null")) + "}";
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
