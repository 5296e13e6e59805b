// Everything a run reports, from every thread: gate changes, the driver's log
// lines, exchange results, command acknowledgements and line traces. The hub
// keeps what the live screen shows and writes the line and JSON outputs.
#ifndef VUZOV_ZEMHOST_EVENTS_H
#define VUZOV_ZEMHOST_EVENTS_H

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace zemhost {

using SteadyClock = std::chrono::steady_clock;

enum class Format { kLines, kJson, kScreen };

// The driver's text is code page 437: as a JSON string, in UTF-8, quoted.
std::string JsonString(const std::string &cp437_text);
// A gate value as people read it: 1, 48, 4294967168.
std::string FormatValue(double value);
// "02 01 0C"
std::string HexBytes(const std::uint8_t *bytes, std::size_t count);

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
};

struct LogEntry {
  double time = 0;
  std::string text;  // already shown-safe UTF-8
};

// What the live screen draws, copied out under the hub's lock.
struct Snapshot {
  double now = 0;
  std::vector<GateRow> gates;  // the ones stored into, in the order first seen
  std::vector<InstanceStatus> instances;
  std::vector<LogEntry> log;  // the latest lines, oldest first
};

// An output of its own beside the hub's (the MQTT gateway): it hears every
// gate store, log line, exchange and command result. Called on the thread that
// reports, outside the hub's lock; it must not call back into the hub.
class HubListener {
 public:
  virtual void GateStored(const std::string &name, double value) = 0;
  virtual void LogLine(std::int32_t level, const std::string &line) = 0;
  virtual void Exchange(int instance, std::uint32_t result) = 0;
  virtual void Command(int instance, const std::string &point, std::uint32_t result,
                       bool acknowledged) = 0;

 protected:
  ~HubListener() = default;
};

// A panel command asked for from outside the run (the broker): 'A'
// acknowledge, 'S' silence or 'R' reset, for one instance.
struct RemoteCommand {
  int instance = 0;
  char kind = 0;
};

// Where the run's loop picks such commands up; they take the same path as the
// keys and --send.
class CommandSource {
 public:
  virtual std::vector<RemoteCommand> TakeCommands() = 0;

 protected:
  ~CommandSource() = default;
};

class Hub {
 public:
  Hub(Format format, std::FILE *out, SteadyClock::time_point start);
  Hub(const Hub &) = delete;
  Hub &operator=(const Hub &) = delete;

  Format format() const { return format_; }
  double Now() const;

  void AddInstance(int number, const std::string &port);
  // The listener hears every report from now on; nullptr stops it.
  void SetListener(HubListener *listener) { listener_.store(listener); }

  // From the host runtime's sinks, on the driver's threads.
  void GateStored(const char *name, double value);
  void LogLine(std::int32_t level, const char *line);

  void Exchange(int instance, const std::string &point, std::uint32_t result, std::int32_t value);
  void Command(int instance, const std::string &point, std::uint32_t result, bool acknowledged);
  // from_driver: bytes the driver sent ("[05]"), else bytes the panel sent.
  void Trace(int instance, bool from_driver, const std::vector<std::uint8_t> &bytes);
  void TraceNote(int instance, const std::string &note);
  // zemhost's own word about the run ("instance 1: port reopened").
  void Notice(const std::string &text);
  // A JSON event of the run itself (driver, instance, end): its name, the time
  // as every event has it, then `members`, written as they are.
  void JsonEvent(const std::string &name, const std::string &members);

  // Pushes what the run's output holds to its file, noting a failure.
  void Flush();
  // Notes that the output cannot be written any more (errno's value); the
  // first reason is kept and nothing more is written.
  void OutputLost(int error);
  // 0 while the output is good, else why it failed (EPIPE: its reader went).
  int OutputError() const { return output_error_.load(); }

  Snapshot Take() const;
  // Counts "ZODODA> ShutDown !" lines; waits until `count` have been seen.
  bool WaitForShutdowns(int count, std::chrono::milliseconds timeout);
  // The driver's log lines from the `first`-th on (to show why a step failed).
  std::vector<std::string> LogLinesSince(std::size_t first) const;
  std::size_t LogLineCount() const;

  std::uint64_t CommandsSent() const;
  std::uint64_t CommandsAcknowledged() const;
  bool Changed() const;   // since the last Take()
  void ClearChanged();

 private:
  void WriteLine(const std::string &line);  // caller holds mutex_
  void FlushOut();                          // caller holds mutex_
  InstanceStatus *StatusOf(int instance);   // caller holds mutex_

  const Format format_;
  std::FILE *const out_;
  const SteadyClock::time_point start_;

  mutable std::mutex mutex_;
  std::condition_variable shutdown_seen_;
  int shutdowns_ = 0;
  std::map<std::string, std::size_t> gate_index_;
  std::vector<GateRow> gates_;
  std::vector<InstanceStatus> instances_;
  std::deque<LogEntry> recent_log_;
  std::vector<std::string> all_log_;
  std::uint64_t commands_sent_ = 0;
  std::uint64_t commands_acknowledged_ = 0;
  bool changed_ = true;
  std::atomic<HubListener *> listener_{nullptr};
  std::atomic<int> output_error_{0};
};

}  // namespace zemhost

#endif
