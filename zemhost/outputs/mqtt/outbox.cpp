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

void Outbox::Gate(const std::string &name, double value) {
  const std::string text = FormatValue(value);
  const auto [entry, added] = gates_.try_emplace(name, text);
  if (!added) {
    if (entry->second == text) return;
    entry->second = text;
  }
  if (added && options_.discovery && IsZoneGate(name)) {
    Queue(Outgoing{topics_.ZoneDiscovery(name), topics_.ZoneConfig(name), 1, true});
  }
  Queue(Outgoing{topics_.Gate(name), text, 1, true});
}

void Outbox::Log(std::int32_t level, const std::string &cp437_line) {
  Queue(Outgoing{topics_.Log(), LogJson(level, cp437_line), 0, false});
}

void Outbox::Exchange(std::uint32_t result, Clock::time_point now) {
  link_.exchanges += 1;
  if (result != 0) {
    link_.failures += 1;
  } else {
    link_.last_good = std::chrono::system_clock::now();
  }
  link_.last_result = result;
  const bool failing = result != 0;
  const bool turned = failing != link_.failing;
  link_.failing = failing;
  if (!turned) {
    link_dirty_ = true;
    return;
  }
  // Queued as it is now, so that no turn is lost in a later summary.
  Queue(Outgoing{topics_.Link(), LinkJson(link_), 1, true});
  link_dirty_ = false;
  last_link_sent_ = now;
}

void Outbox::CommandResult(const std::string &point, std::uint32_t result, bool acknowledged) {
  Queue(Outgoing{topics_.CommandResult(),
                 CommandResultJson(CommandNameOf(point), point, acknowledged, result), 1, false});
}

void Outbox::Refusal(const std::string &payload, const std::string &why) {
  Queue(Outgoing{topics_.CommandResult(), CommandRefusedJson(payload, why), 1, false});
}

void Outbox::Reconnected() {
  online_due_ = true;
  resync_ = true;
}

void Outbox::Close() {
  link_urgent_ = link_dirty_;
  closed_ = true;
}

bool Outbox::Next(Clock::time_point now, Outgoing *message) {
  if (online_due_) {
    *message = Outgoing{topics_.Status(), "online", 1, true};
    online_due_ = false;
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
    for (const auto &[gate, value] : gates_) {
      if (IsZoneGate(gate)) {
        Queue(Outgoing{topics_.ZoneDiscovery(gate), topics_.ZoneConfig(gate), 1, true});
      }
    }
  }
  for (const auto &[gate, value] : gates_) Queue(Outgoing{topics_.Gate(gate), value, 1, true});
  if (link_.exchanges > 0) {
    link_dirty_ = true;
    link_urgent_ = true;
  }
}

bool Outbox::LinkDue(Clock::time_point now) const {
  return link_dirty_ && (link_urgent_ || now >= last_link_sent_ + kLinkPeriod);
}

}  // namespace zemhost
