#include "events/hub.h"

#include <algorithm>
#include <utility>

#include "duration.h"
#include "events/event_text.h"

namespace zemhost {
namespace {

constexpr std::size_t kRecentLogLines = 64;
constexpr const char kShutdownLine[] = "ZODODA> ShutDown !";

}  // namespace

double Hub::Now() const {
  return std::chrono::duration<double>(SteadyClock::now() - start_).count();
}

void Hub::AddSink(EventSink *sink) {
  std::lock_guard<std::mutex> lock(fan_out_mutex_);
  sinks_.push_back(sink);
}

void Hub::RemoveSink(EventSink *sink) {
  std::lock_guard<std::mutex> lock(fan_out_mutex_);
  sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

// Outside the fan-out lock: a sink's Tick may wait for its own threads, and
// those may be reporting. Only the main thread adds and removes sinks, so the
// copy stays valid.
void Hub::Tick() {
  Dispatch([this](double now, std::vector<Event> *due) { LinkSilences(now, due); });
  std::vector<EventSink *> sinks;
  {
    std::lock_guard<std::mutex> lock(fan_out_mutex_);
    sinks = sinks_;
  }
  for (EventSink *sink : sinks) sink->Tick();
}

void Hub::WatchLink(int instance, const LinkRule &rule) {
  std::lock_guard<std::mutex> lock(table_mutex_);
  link_watches_[instance] = LinkWatch{rule, Now()};
}

void Hub::Report(int instance, EventBody body) {
  Dispatch([&](double now, std::vector<Event> *events) {
    events->push_back(Event{now, instance, std::move(body)});
  });
}

template <typename Make>
void Hub::Dispatch(Make make) {
  std::lock_guard<std::mutex> order(fan_out_mutex_);
  std::vector<Event> events;
  {
    std::lock_guard<std::mutex> lock(table_mutex_);
    make(Now(), &events);
    for (std::size_t i = 0; i < events.size(); ++i) {
      std::vector<Event> more;
      Record(events[i], &more);
      events.insert(events.end(), std::make_move_iterator(more.begin()),
                    std::make_move_iterator(more.end()));
    }
  }
  for (const Event &event : events) {
    for (EventSink *sink : sinks_) sink->Take(event);
  }
}

void Hub::Record(Event &event, std::vector<Event> *more) {
  const double now = event.time;
  const int instance = event.instance;
  std::visit(Overloaded{
                 [&](GateStored &gate) { RecordGate(now, gate); },
                 [&](const LogLine &line) { RecordLog(now, line); },
                 [&](const PollDone &poll) { RecordExchange(event, poll.result, "poll", more); },
                 [&](const CommandDone &command) { RecordCommand(event, command, more); },
                 [&](const LinkChanged &change) { RecordLink(now, instance, change); },
                 [&](const Notice &notice) { Remember(now, Shown(notice.text)); },
                 [&](const InstanceShown &shown) { RecordInstance(instance, shown); },
                 [](const auto &) {},
             },
             event.body);
}

void Hub::RecordGate(double now, GateStored &gate) {
  const auto found = gate_index_.find(gate.name);
  if (found == gate_index_.end()) {
    gate_index_.emplace(gate.name, gates_.size());
    gate.changed = gate.value != 0;  // every gate starts at 0
    gates_.push_back(GateRow{gate.name, gate.value, gate.changed ? 1u : 0u, now});
    return;
  }
  GateRow &row = gates_[found->second];
  gate.changed = row.value != gate.value;
  if (!gate.changed) return;
  row.value = gate.value;
  row.changes += 1;
  row.changed_at = now;
}

void Hub::RecordLog(double now, const LogLine &line) {
  all_log_.push_back(line.text);
  Remember(now, "log " + std::to_string(line.level) + " " + Shown(line.text));
  if (line.text == kShutdownLine) {
    ++shutdowns_;
    shutdown_seen_.notify_all();
  }
}

// A poll or a command exchange: `what` names it in the link's reason. An
// answer of any kind (a refused command too) shows that the panel is there.
void Hub::RecordExchange(const Event &event, std::uint32_t result, const char *what,
                         std::vector<Event> *more) {
  InstanceStatus *status = StatusOf(event.instance);
  if (status == nullptr) return;
  status->exchanges += 1;
  status->last_result = result;
  const bool answered = result == 0;
  if (answered) {
    status->answered_at = event.time;
    status->failed_in_row = 0;
  } else {
    status->failures += 1;
    status->failed_in_row += 1;
  }
  const auto watch = link_watches_.find(event.instance);
  if (watch == link_watches_.end()) return;
  const auto turn = [&](LinkState state, std::string why) {
    more->push_back(Event{event.time, event.instance, LinkChanged{state, std::move(why)}});
  };
  if (answered && status->link != LinkState::kUp) {
    turn(LinkState::kUp, std::string(what) + " answered");
  }
  const int limit = watch->second.rule.failures;
  if (!answered && status->link != LinkState::kDown && status->failed_in_row >= limit) {
    turn(LinkState::kDown, std::to_string(limit) +
                               (limit == 1 ? " failed exchange" : " failed exchanges in a row"));
  }
}

void Hub::RecordCommand(const Event &event, const CommandDone &command, std::vector<Event> *more) {
  ++commands_sent_;
  if (command.result == 0 && command.acknowledged) ++commands_acknowledged_;
  const std::string what = Shown(command.point) + " " + CommandOutcome(command);
  if (InstanceStatus *status = StatusOf(event.instance)) {
    status->last_command = what + " at " + Seconds(event.time) + " s";
    RecordExchange(event, command.result, "command", more);
  }
  Remember(event.time, "command " + what);
}

void Hub::RecordLink(double now, int instance, const LinkChanged &change) {
  if (InstanceStatus *status = StatusOf(instance)) {
    status->link = change.state;
    status->link_since = now;
    status->link_why = change.why;
  }
  Remember(now, "instance " + std::to_string(instance) + " link " + LinkStateName(change.state) +
                    ": " + change.why);
}

// A poll that hangs in the driver reports nothing until it returns, so the
// silence is measured here, by the clock: from the last answer, or from the
// start of the watch when none came yet.
void Hub::LinkSilences(double now, std::vector<Event> *due) {
  for (const auto &[instance, watch] : link_watches_) {
    const InstanceStatus *status = StatusOf(instance);
    if (status == nullptr || status->link == LinkState::kDown) continue;
    const double silent_since = std::max(status->answered_at, watch.from);
    const double limit = std::chrono::duration<double>(watch.rule.silence).count();
    if (now - silent_since < limit) continue;
    due->push_back(Event{now, instance,
                         LinkChanged{LinkState::kDown,
                                     "no answered poll for " +
                                         toolbox::FormatDuration(watch.rule.silence)}});
  }
}

void Hub::RecordInstance(int instance, const InstanceShown &shown) {
  InstanceStatus status;
  status.number = instance;
  status.port = shown.where;
  instances_.push_back(status);
}

// The recent log keeps the latest lines only: what a screen has room for.
void Hub::Remember(double now, std::string text) {
  recent_log_.push_back(LogEntry{now, std::move(text)});
  if (recent_log_.size() > kRecentLogLines) recent_log_.pop_front();
}

InstanceStatus *Hub::StatusOf(int instance) {
  for (InstanceStatus &status : instances_) {
    if (status.number == instance) return &status;
  }
  return nullptr;
}

Snapshot Hub::Take() const {
  std::lock_guard<std::mutex> lock(table_mutex_);
  Snapshot snapshot;
  snapshot.now = Now();
  snapshot.gates = gates_;
  snapshot.instances = instances_;
  snapshot.log.assign(recent_log_.begin(), recent_log_.end());
  return snapshot;
}

bool Hub::WaitForShutdowns(int count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(table_mutex_);
  return shutdown_seen_.wait_for(lock, timeout, [&] { return shutdowns_ >= count; });
}

std::vector<std::string> Hub::LogLinesSince(std::size_t first) const {
  std::lock_guard<std::mutex> lock(table_mutex_);
  if (first >= all_log_.size()) return {};
  return std::vector<std::string>(all_log_.begin() + static_cast<std::ptrdiff_t>(first),
                                  all_log_.end());
}

std::size_t Hub::LogLineCount() const {
  std::lock_guard<std::mutex> lock(table_mutex_);
  return all_log_.size();
}

std::uint64_t Hub::CommandsSent() const {
  std::lock_guard<std::mutex> lock(table_mutex_);
  return commands_sent_;
}

std::uint64_t Hub::CommandsAcknowledged() const {
  std::lock_guard<std::mutex> lock(table_mutex_);
  return commands_acknowledged_;
}

}  // namespace zemhost
