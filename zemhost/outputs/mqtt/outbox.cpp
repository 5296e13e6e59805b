#include "outputs/mqtt/outbox.h"

#include <utility>

#include "events/event_text.h"

namespace zemhost {
namespace {

// Messages kept while the broker is away; past it the oldest go, and every
// gate's current value is sent again once the queue has drained.
constexpr std::size_t kQueueLimit = 10000;
constexpr auto kLinkPeriod = std::chrono::seconds(1);

}  // namespace

void Outbox::Inherit(const std::map<std::string, std::string> &zones) {
  for (const auto &[gate, value] : zones) {
    if (IsZoneGate(gate) && value != "0" && gates_.count(gate) == 0) inherited_[gate] = value;
  }
}

void Outbox::Gate(const GateStored &gate) {
  const std::string text = FormatValue(gate.value);
  inherited_.erase(gate.name);
  const auto [entry, added] = gates_.try_emplace(gate.name, text);
  const bool changed = added || entry->second != text;
  entry->second = text;
  if (added && options_.discovery && IsZoneGate(gate.name)) QueueDiscovery(gate.name);
  if (changed) Queue(Outgoing{topics_.Gate(gate.name), text, 1, true});
  if (!IsZoneGate(gate.name)) return;
  Zone &zone = zone_readings_[gate.name];
  if (changed) zone.reading.changed = WallClock::now();
  zone.reading.value = gate.value;
  zone.reading.alarm = gate.alarm;
  zone.reading.fault = gate.fault;
  zone.reading.set_by = gate.set_by;
  zone.reading.cleared_by = gate.cleared_by;
  QueueZone(gate.name, zone);
}

void Outbox::QueueZone(const std::string &gate, Zone &zone) {
  const std::string payload = ZoneJson(zone.reading);
  if (payload == zone.sent) return;
  zone.sent = payload;
  Queue(Outgoing{topics_.Zone(gate), payload, 1, true});
}

void Outbox::QueueDiscovery(const std::string &gate) {
  Queue(Outgoing{topics_.ZoneDiscovery(gate), topics_.ZoneConfig(gate, zones_), 1, true});
  if (zones_.faults) {
    Queue(Outgoing{topics_.ProblemDiscovery(gate), topics_.ProblemConfig(gate), 1, true});
  }
}

void Outbox::Log(std::int32_t level, const std::string &cp437_line) {
  Queue(Outgoing{topics_.Log(), LogJson(level, cp437_line), 0, false});
}

void Outbox::Exchange(std::uint32_t result) {
  link_.exchanges += 1;
  if (result != 0) {
    link_.failures += 1;
  } else {
    link_.last_good = WallClock::now();
  }
  link_.last_result = result;
  link_dirty_ = true;
}

void Outbox::Link(const LinkChanged &change) {
  link_.state = change.state;
  link_.since = WallClock::now();
  link_.why = change.why;
  // Queued as it is now, so that no turn is lost in a later summary.
  Queue(Outgoing{topics_.Link(), LinkJson(link_), 1, true});
  Queue(AvailabilityMessage());
  link_dirty_ = false;
  last_link_sent_ = Clock::now();
}

// The run's own zones arrive as GateStored events; those only the broker
// knew of, from a gateway before this run, are cleared here.
void Outbox::ZonesCleared(const std::string &why) {
  for (const auto &[gate, value] : inherited_) {
    gates_[gate] = "0";
    Queue(Outgoing{topics_.Gate(gate), "0", 1, true});
    Zone &zone = zone_readings_[gate];
    zone.reading = ZoneReading{};
    zone.reading.cleared_by = why;
    zone.reading.changed = WallClock::now();
    QueueZone(gate, zone);
  }
  inherited_.clear();
}

void Outbox::CommandResult(const std::string &point, std::uint32_t result, bool acknowledged) {
  Queue(Outgoing{topics_.CommandResult(),
                 CommandResultJson(CommandNameOf(point), point, acknowledged, result), 1, false});
}

void Outbox::Refusal(const std::string &payload, const std::string &why) {
  Queue(Outgoing{topics_.CommandResult(), CommandRefusedJson(payload, why), 1, false});
}

void Outbox::Reconnected() {
  online_due_ = OnlineDue::kAvailability;
  resync_ = true;
}

void Outbox::Close() {
  Queue(Outgoing{topics_.Availability(), AvailabilityOf(LinkState::kUnknown), 1, true});
  link_urgent_ = link_dirty_;
  closed_ = true;
}

Outgoing Outbox::AvailabilityMessage() const {
  return Outgoing{topics_.Availability(), AvailabilityOf(link_.state), 1, true};
}

bool Outbox::Next(Clock::time_point now, Outgoing *message) {
  if (online_due_ == OnlineDue::kAvailability) {
    *message = AvailabilityMessage();
    online_due_ = OnlineDue::kStatus;
    return true;
  }
  if (online_due_ == OnlineDue::kStatus) {
    *message = Outgoing{topics_.Status(), "online", 1, true};
    online_due_ = OnlineDue::kNo;
    return true;
  }
  if (queue_.empty() && resync_) {
    resync_ = false;
    QueueCurrentState();
  }
  if (!queue_.empty()) {
    *message = std::move(queue_.front());
    queue_.pop_front();
    return true;
  }
  if (!LinkDue(now)) return false;
  *message = Outgoing{topics_.Link(), LinkJson(link_), 1, true};
  link_dirty_ = false;
  link_urgent_ = false;
  last_link_sent_ = now;
  return true;
}

std::uint64_t Outbox::TakeDropped() { return std::exchange(dropped_, 0); }

void Outbox::Queue(Outgoing message) {
  if (closed_) return;
  if (queue_.size() >= kQueueLimit) {
    queue_.pop_front();
    ++dropped_;
    resync_ = true;  // the dropped one may have been a gate's latest value
  }
  queue_.push_back(std::move(message));
}

// Everything there is to say about the instance now.
void Outbox::QueueCurrentState() {
  if (options_.discovery) {
    if (options_.commands) {
      for (const char *command : kCommandNames) {
        Queue(Outgoing{topics_.ButtonDiscovery(command), topics_.ButtonConfig(command), 1, true});
      }
    }
    Queue(Outgoing{topics_.LinkDiscovery(), topics_.LinkConfig(), 1, true});
    for (const auto &[gate, value] : gates_) {
      if (IsZoneGate(gate)) QueueDiscovery(gate);
    }
  }
  for (const auto &[gate, value] : gates_) Queue(Outgoing{topics_.Gate(gate), value, 1, true});
  for (auto &[gate, zone] : zone_readings_) {
    zone.sent.clear();
    QueueZone(gate, zone);
  }
  Queue(AvailabilityMessage());
  link_dirty_ = true;
  link_urgent_ = true;
}

bool Outbox::LinkDue(Clock::time_point now) const {
  return link_dirty_ && (link_urgent_ || now >= last_link_sent_ + kLinkPeriod);
}

}  // namespace zemhost
