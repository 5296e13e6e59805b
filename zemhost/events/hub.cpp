#include "events/hub.h"

#include <algorithm>
#include <utility>

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
  std::vector<EventSink *> sinks;
  {
    std::lock_guard<std::mutex> lock(fan_out_mutex_);
    sinks = sinks_;
  }
  for (EventSink *sink : sinks) sink->Tick();
}

void Hub::Report(int instance, EventBody body) {
  Event event{0, instance, std::move(body)};
  std::lock_guard<std::mutex> order(fan_out_mutex_);
  {
    std::lock_guard<std::mutex> lock(table_mutex_);
    event.time = Now();
    Record(event);
  }
  for (EventSink *sink : sinks_) sink->Take(event);
}

void Hub::Record(Event &event) {
  const double now = event.time;
  const int instance = event.instance;
  std::visit(Overloaded{
                 [&](GateStored &gate) { RecordGate(now, gate); },
                 [&](const LogLine &line) { RecordLog(now, line); },
                 [&](const PollDone &poll) { RecordPoll(instance, poll); },
                 [&](const CommandDone &command) { RecordCommand(now, instance, command); },
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

void Hub::RecordPoll(int instance, const PollDone &poll) {
  if (InstanceStatus *status = StatusOf(instance)) {
    status->exchanges += 1;
    if (poll.result != 0) status->failures += 1;
    status->last_result = poll.result;
  }
}

void Hub::RecordCommand(double now, int instance, const CommandDone &command) {
  ++commands_sent_;
  if (command.result == 0 && command.acknowledged) ++commands_acknowledged_;
  const std::string what = Shown(command.point) + " " + CommandOutcome(command);
  if (InstanceStatus *status = StatusOf(instance)) {
    RecordPoll(instance, PollDone{command.point, command.result, 0});
    status->last_command = what + " at " + Seconds(now) + " s";
  }
  Remember(now, "command " + what);
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
