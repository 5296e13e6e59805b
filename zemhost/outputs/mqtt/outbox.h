// What one instance's broker connection has to send, in order, kept apart
// from the client library: a bounded queue of messages, and what is said
// again after each (re)connect and after a loss from the queue (every gate's
// latest value, the discovery configs, the link summary). Not thread-safe:
// the connection's lock guards it.
#ifndef VUZOV_ZEMHOST_MQTT_OUTBOX_H
#define VUZOV_ZEMHOST_MQTT_OUTBOX_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "cli/mqtt_options.h"
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

  Outbox(const InstanceTopics &topics, const MqttOptions &options)
      : topics_(topics), options_(options) {}

  // A gate's value when it changed, its zone's discovery config when it is new.
  void Gate(const std::string &name, double value);
  void Log(std::int32_t level, const std::string &cp437_line);
  // A poll's result: a turn of the link goes out at once, the counts at most
  // once a second.
  void Exchange(std::uint32_t result, Clock::time_point now);
  void CommandResult(const std::string &point, std::uint32_t result, bool acknowledged);
  void Refusal(const std::string &payload, const std::string &why);

  // A new connection: "online" first, then what waits, then everything again.
  void Reconnected();
  // At the end: the link summary goes out with the rest; nothing new is taken.
  void Close();

  // The message to send at `now`; false when there is none yet.
  bool Next(Clock::time_point now, Outgoing *message);
  // A message the client could not take goes first again.
  void PutBack(Outgoing message) { queue_.push_front(std::move(message)); }
  // Nothing is left to send, now or later.
  bool Empty() const { return queue_.empty() && !resync_ && !online_due_ && !link_dirty_; }
  // Messages lost from the full queue since the last call.
  std::uint64_t TakeDropped();

 private:
  void Queue(Outgoing message);
  void QueueCurrentState();
  bool LinkDue(Clock::time_point now) const;

  const InstanceTopics &topics_;
  const MqttOptions &options_;
  std::deque<Outgoing> queue_;
  std::map<std::string, std::string> gates_;  // every gate stored into, as sent
  LinkCounts link_;
  bool link_dirty_ = false;   // counts changed since the last summary
  bool link_urgent_ = false;  // to be sent now: after a reconnect, or at the end
  Clock::time_point last_link_sent_{};
  bool online_due_ = false;
  bool resync_ = false;
  bool closed_ = false;
  std::uint64_t dropped_ = 0;
};

}  // namespace zemhost

#endif
