// What the gateway puts on the broker: topic names and payload texts, built
// from the run's reports. Kept free of any MQTT library so the wording lives
// in one place.
#ifndef VUZOV_ZEMHOST_MQTT_MESSAGES_H
#define VUZOV_ZEMHOST_MQTT_MESSAGES_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace zemhost {

// The topics of one instance under the prefix: "vuzov/1/...".
class InstanceTopics {
 public:
  InstanceTopics(const std::string &prefix, int instance);

  int instance() const { return instance_; }
  std::string Status() const { return base_ + "/status"; }
  std::string Link() const { return base_ + "/link"; }
  std::string Log() const { return base_ + "/log"; }
  std::string Command() const { return base_ + "/command"; }
  std::string CommandResult() const { return base_ + "/command/result"; }
  // A gate's topic; characters a topic level cannot hold become '_'.
  std::string Gate(const std::string &gate) const;
  // Home Assistant's discovery topics for a zone gate and a command button.
  std::string ZoneDiscovery(const std::string &gate) const;
  std::string ButtonDiscovery(const char *command) const;

  // The discovery configs, retained on the broker.
  std::string ZoneConfig(const std::string &gate) const;
  std::string ButtonConfig(const char *command) const;

 private:
  std::string DeviceJson() const;

  std::string prefix_;
  int instance_;
  std::string base_;
  std::string node_;  // the prefix and instance as one discovery node id
};

// CP1Z3 is a zone; CP1Z260E5 (an element), CP1MS and CP1ST are not. Only a
// zone gate is given to ZoneConfig.
bool IsZoneGate(const std::string &gate);

// The commands a broker may ask for, by their payload names.
inline constexpr const char *kCommandNames[] = {"acknowledge", "silence", "reset"};
// 'A', 'S' or 'R' for a payload name (surrounding blanks ignored), else 0.
char CommandKind(const std::string &payload);
// The payload name of a command point's kind ("CP1S!" is silence); the point
// itself when it is no command.
std::string CommandNameOf(const std::string &point);

struct LinkCounts {
  std::uint64_t exchanges = 0;
  std::uint64_t failures = 0;
  std::uint32_t last_result = 0;
  std::optional<std::chrono::system_clock::time_point> last_good;
  bool failing = false;
};

std::string LinkJson(const LinkCounts &link);
std::string LogJson(std::int32_t level, const std::string &cp437_line);
std::string CommandResultJson(const std::string &command, const std::string &point,
                              bool acknowledged, std::uint32_t result);
std::string CommandRefusedJson(const std::string &payload, const std::string &why);

}  // namespace zemhost

#endif
