// What the gateway puts on the broker: topic names and payload texts, built
// from the run's reports. Kept free of any MQTT library so the wording lives
// in one place.
#ifndef VUZOV_ZEMHOST_MQTT_MESSAGES_H
#define VUZOV_ZEMHOST_MQTT_MESSAGES_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "events/event.h"

namespace zemhost {

// How the gateway announces an instance's zones: as one smoke sensor each
// fed by the gate's value (no [message-types] for it), or by the zone's
// reading (a mapping), with a problem sensor beside it when some type is a
// fault.
struct ZoneAnnouncement {
  bool mapped = false;
  bool faults = false;
};

// The topics of one instance under the prefix: "vuzov/1/...".
class InstanceTopics {
 public:
  InstanceTopics(const std::string &prefix, int instance);

  int instance() const { return instance_; }
  std::string Status() const { return base_ + "/status"; }
  std::string Availability() const { return base_ + "/availability"; }
  std::string Link() const { return base_ + "/link"; }
  std::string Log() const { return base_ + "/log"; }
  std::string Command() const { return base_ + "/command"; }
  std::string CommandResult() const { return base_ + "/command/result"; }
  // A gate's value, and a zone's reading; characters a topic level cannot
  // hold become '_'.
  std::string Gate(const std::string &gate) const;
  std::string Zone(const std::string &gate) const;
  // Every gate's topic, every zone's (subscription filters).
  std::string Gates() const { return base_ + "/gate/+"; }
  std::string Zones() const { return base_ + "/zone/+"; }
  // Home Assistant's discovery topics and configs, retained on the broker.
  std::string ZoneDiscovery(const std::string &gate) const;
  std::string ProblemDiscovery(const std::string &gate) const;
  std::string LinkDiscovery() const;
  std::string ButtonDiscovery(const char *command) const;
  std::string ZoneConfig(const std::string &gate, const ZoneAnnouncement &zones) const;
  std::string ProblemConfig(const std::string &gate) const;
  std::string LinkConfig() const;
  std::string ButtonConfig(const char *command) const;

 private:
  std::string DeviceJson() const;
  // The entity's identity and the device it belongs to.
  std::string Entity(const std::string &title, const std::string &id) const;
  // The panel's entities are available while the gateway is connected and
  // the panel's link is up; the link's own sensor only needs the gateway.
  std::string BothAvailabilities() const;
  std::string GatewayAvailability() const;

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

using WallClock = std::chrono::system_clock;

struct LinkSummary {
  LinkState state = LinkState::kUnknown;
  std::optional<WallClock::time_point> since;
  std::string why;
  std::uint64_t exchanges = 0;
  std::uint64_t failures = 0;
  std::uint32_t last_result = 0;
  std::optional<WallClock::time_point> last_good;
};

// What a zone shows, as the zone topic gives it.
struct ZoneReading {
  double value = 0;
  bool alarm = false;
  bool fault = false;
  std::optional<MessageSource> set_by;
  std::string cleared_by;
  std::optional<WallClock::time_point> changed;
};

std::string LinkJson(const LinkSummary &link);
// "online" while the panel's link is up, "offline" otherwise.
const char *AvailabilityOf(LinkState state);
std::string ZoneJson(const ZoneReading &zone);
std::string LogJson(std::int32_t level, const std::string &cp437_line);
std::string CommandResultJson(const std::string &command, const std::string &point,
                              bool acknowledged, std::uint32_t result);
std::string CommandRefusedJson(const std::string &payload, const std::string &why);

}  // namespace zemhost

#endif
