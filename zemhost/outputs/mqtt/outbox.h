// What one instance's broker connection has to send, in order, kept apart
// from the client library: a bounded queue of messages, and what is said
// again after each (re)connect and after a loss from the queue (every gate's
// latest value and zone reading, the discovery configs, the link and the
// panel's availability). Not thread-safe: the connection's lock guards it.
#ifndef VUZOV_ZEMHOST_MQTT_OUTBOX_H
#define VUZOV_ZEMHOST_MQTT_OUTBOX_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>

#include "cli/mqtt_options.h"
#include "events/event.h"
#include "outputs/mqtt/mqtt_messages.h"

namespace zemhost {

struct Outgoing {
  std::string topic;
  std::string payload;
  int qos = 1;
  bool retain = false;
};

class Outbox {
 public:
  using Clock = std::chrono::steady_clock;

  Outbox(const InstanceTopics &topics, const MqttOptions &options, ZoneAnnouncement zones)
      : topics_(topics), options_(options), zones_(zones) {}

  // The zones a gateway before this run left in alarm on the broker (gate
  // name to value): a reset clears them with the run's own.
  void Inherit(const std::map<std::string, std::string> &zones);

  // A gate's value when it changed, a zone's reading when it changed, its
  // discovery configs when the zone is new.
  void Gate(const GateStored &gate);
  void Log(std::int32_t level, const std::string &cp437_line);
  // A poll's result: the counts go out at most once a second.
  void Exchange(std::uint32_t result);
  // The link turned: it and the panel's availability go out at once.
  void Link(const LinkChanged &change);
  void ZonesCleared(const std::string &why);
  void CommandResult(const std::string &point, std::uint32_t result, bool acknowledged);
  void Refusal(const std::string &payload, const std::string &why);

  // A new connection: the availability and "online" first, then what
  // waits, then everything again.
  void Reconnected();
  // At the end: the panel is not available through this gateway any more;
  // the link summary goes out with the rest; nothing new is taken.
  void Close();

  // The message to send at `now`; false when there is none yet.
  bool Next(Clock::time_point now, Outgoing *message);
  // A message the client could not take goes first again.
  void PutBack(Outgoing message) { queue_.push_front(std::move(message)); }
  // Nothing is left to send, now or later.
  bool Empty() const {
    return queue_.empty() && !resync_ && online_due_ == OnlineDue::kNo && !link_dirty_;
  }
  // Messages lost from the full queue since the last call.
  std::uint64_t TakeDropped();

 private:
  struct Zone {
    ZoneReading reading;
    std::string sent;  // the payload last queued
  };
  // After a connect, the panel's availability goes before "online", so that
  // no subscriber takes the retained one of a run before for this one's.
  enum class OnlineDue { kNo, kAvailability, kStatus };

  void Queue(Outgoing message);
  void QueueZone(const std::string &gate, Zone &zone);
  void QueueDiscovery(const std::string &gate);
  void QueueCurrentState();
  Outgoing AvailabilityMessage() const;
  bool LinkDue(Clock::time_point now) const;

  const InstanceTopics &topics_;
  const MqttOptions &options_;
  const ZoneAnnouncement zones_;
  std::deque<Outgoing> queue_;
  std::map<std::string, std::string> gates_;  // every gate stored into, as sent
  std::map<std::string, Zone> zone_readings_;
  std::map<std::string, std::string> inherited_;  // zones in alarm from before, not since
  LinkSummary link_;
  bool link_dirty_ = false;   // counts changed since the last summary
  bool link_urgent_ = false;  // to be sent now: after a reconnect, or at the end
  Clock::time_point last_link_sent_{};
  OnlineDue online_due_ = OnlineDue::kNo;
  bool resync_ = false;
  bool closed_ = false;
  std::uint64_t dropped_ = 0;
};

}  // namespace zemhost

#endif
