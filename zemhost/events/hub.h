// Where every event of a run meets. The hub stamps each with its time, keeps
// the run's table (the gates, each instance's counts, the latest log lines)
// and hands the event to every sink, in one order for all of them.
#ifndef VUZOV_ZEMHOST_HUB_H
#define VUZOV_ZEMHOST_HUB_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cli/options.h"
#include "events/event.h"

namespace zemhost {

using SteadyClock = std::chrono::steady_clock;

struct GateRow {
  std::string name;
  double value = 0;
  std::uint64_t changes = 0;
  double changed_at = 0;  // seconds since the start
};

struct InstanceStatus {
  int number = 0;
  std::string port;
  std::uint64_t exchanges = 0;
  std::uint64_t failures = 0;
  std::uint32_t last_result = 0;
  std::string last_command;  // "CP1S! acknowledged at 15.0 s"
  // The panel link, as the instance's LinkRule reads its exchanges.
  LinkState link = LinkState::kUnknown;
  double link_since = 0;     // when it took that state, seconds since the start
  std::string link_why;      // what made it: "3 failed exchanges in a row"
  double answered_at = -1;   // the last answered exchange; -1 none yet
  int failed_in_row = 0;
};

struct LogEntry {
  double time = 0;
  std::string text;  // already shown-safe UTF-8
};

// The run's table, copied out.
struct Snapshot {
  double now = 0;
  std::vector<GateRow> gates;  // the ones stored into, in the order first seen
  std::vector<InstanceStatus> instances;
  std::vector<LogEntry> log;  // the latest lines, oldest first
};

class Hub {
 public:
  explicit Hub(SteadyClock::time_point start) : start_(start) {}
  Hub(const Hub &) = delete;
  Hub &operator=(const Hub &) = delete;

  double Now() const;

  // From the main thread. A sink hears every event reported after it is
  // added; once RemoveSink returns, no call of it is running or to come.
  void AddSink(EventSink *sink);
  void RemoveSink(EventSink *sink);
  // From the main thread: the link changes due by time (a poll that has hung
  // in the driver for the rule's silence), then every sink's Tick.
  void Tick();
  // From the main thread, as the instance starts polling: from now on its
  // link follows `rule`, the silence counted from now until the first answer.
  void WatchLink(int instance, const LinkRule &rule);

  // From any thread: records the event and hands it to every sink.
  void Report(int instance, EventBody body);

  Snapshot Take() const;
  // Counts "ZODODA> ShutDown !" lines; waits until `count` have been seen.
  bool WaitForShutdowns(int count, std::chrono::milliseconds timeout);
  // The driver's log lines from the `first`-th on (to show why a step failed).
  std::vector<std::string> LogLinesSince(std::size_t first) const;
  std::size_t LogLineCount() const;
  std::uint64_t CommandsSent() const;
  std::uint64_t CommandsAcknowledged() const;

 private:
  // Under the table's lock, `make` adds the events due at `now`; each is
  // recorded with what it brings along (a link change after an exchange),
  // then handed to every sink in that order.
  template <typename Make>
  void Dispatch(Make make);

  // Each records one kind of event, adding to *more the events it brings
  // along; the caller holds table_mutex_.
  void Record(Event &event, std::vector<Event> *more);
  void RecordGate(double now, GateStored &gate);
  void RecordLog(double now, const LogLine &line);
  void RecordExchange(const Event &event, std::uint32_t result, const char *what,
                      std::vector<Event> *more);
  void RecordCommand(const Event &event, const CommandDone &command, std::vector<Event> *more);
  void RecordInstance(int instance, const InstanceShown &shown);
  void RecordLink(double now, int instance, const LinkChanged &change);
  // The link changes the silence rule makes at `now`.
  void LinkSilences(double now, std::vector<Event> *due);
  void Remember(double now, std::string text);
  InstanceStatus *StatusOf(int instance);

  const SteadyClock::time_point start_;

  // Held while an event is recorded and handed out, so every sink hears the
  // events in the order the table took them.
  std::mutex fan_out_mutex_;
  std::vector<EventSink *> sinks_;

  mutable std::mutex table_mutex_;
  std::condition_variable shutdown_seen_;
  int shutdowns_ = 0;
  std::map<std::string, std::size_t> gate_index_;
  std::vector<GateRow> gates_;
  std::vector<InstanceStatus> instances_;
  // The instances whose link is watched: their rule, and when the watch began.
  struct LinkWatch {
    LinkRule rule;
    double from = 0;
  };
  std::map<int, LinkWatch> link_watches_;
  std::deque<LogEntry> recent_log_;
  std::vector<std::string> all_log_;
  std::uint64_t commands_sent_ = 0;
  std::uint64_t commands_acknowledged_ = 0;
};

}  // namespace zemhost

#endif
