// The simulated panel: it owns a line and one thread that answers the host's
// polls and commands as a panel would, plays a scenario, and paces every byte it
// sends at the line's rate.
//
// The panel works one exchange at a time: while a reply is going out, what the
// host sends waits (with its arrival time recorded) until the reply is done.
#ifndef PANELSIM_SIMULATOR_H
#define PANELSIM_SIMULATOR_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "encoding.h"
#include "line.h"
#include "scenario.h"

namespace panelsim {

struct Options {
  unsigned baud = 9600;
  Framing framing = Framing::k8N1;  // 10 bits a byte, 11 with parity or 2 stop bits
  unsigned frame_length = 12;       // kMinFrameLength..kMaxFrameLength
  std::uint8_t address = 1;         // frame byte b1
  std::string device;               // empty: create a pty
  std::string link;                 // a symbolic link to the line, kept current
  // How long the four bytes after a command's STX may take to arrive; zero
  // picks 50 ms plus four byte times.
  std::chrono::milliseconds command_timeout{0};
  std::size_t received_history = 4096;  // Received() keeps this many events
  // The line thread's real-time priority (SCHED_FIFO, 1 to 99), so that the
  // panel keeps a panel's pacing on a busy machine, as its own hardware would;
  // 0 leaves the thread at the normal priority. Where the system refuses it,
  // the panel runs at the normal priority and Stats says why.
  int realtime_priority = 0;
};

struct Stats {
  std::uint64_t polls = 0;         // polls answered (or left unanswered by a fault)
  std::uint64_t polls_merged = 0;  // polls that piled up behind another and counted as one
  std::uint64_t polls_unanswered = 0;  // by the silent fault
  std::uint64_t acks = 0;
  std::uint64_t acks_without_message = 0;  // ACKs with no message frame awaiting one
  std::uint64_t commands_a = 0;
  std::uint64_t commands_r = 0;
  std::uint64_t commands_s = 0;
  std::uint64_t commands_unanswered = 0;
  std::uint64_t unknown_frames = 0;    // STX frames that are no command, or cut short
  std::uint64_t unexpected_bytes = 0;  // anything else the host sent
  std::uint64_t messages_queued = 0;
  std::uint64_t messages_sent = 0;  // frames carrying a queued message, resends included
  std::uint64_t resends = 0;
  std::uint64_t messages_retired = 0;
  std::uint64_t eots_sent = 0;
  std::uint64_t faults_armed = 0;  // by the scenario or Queue(), not yet applied or applied
  std::uint64_t faults_applied = 0;  // each time one takes effect (a silence of 3 polls: 3)
  std::size_t faults_waiting = 0;    // armed and not yet used up
  std::uint64_t hangups = 0;
  std::uint64_t lines_opened = 0;
  std::uint64_t bytes_received = 0;
  std::uint64_t bytes_sent = 0;
  std::size_t pending = 0;  // messages queued and not yet retired
  bool replying = false;    // a reply is on its way out (a dribbled one until its quiet ends)
  bool running = false;
  int realtime_priority = 0;     // the line thread's SCHED_FIFO priority; 0: the normal one
  std::string realtime_refused;  // why the system refused the priority asked for
  bool ended = false;  // the run is over (end, hangup, a line failure or Stop)
  std::string error;   // why the run ended, when a failure ended it
};

struct TraceEvent {
  enum class Kind { kReceived, kSent, kNote, kLineOpened };
  Duration time{};  // since Start: when a frame began to arrive or to go out
  Kind kind = Kind::kNote;
  std::vector<std::uint8_t> bytes;
  std::string note;  // "poll 3", "command S", "zone-alarm 12", or the line's path
};

// "12.345678 < 05  poll 3", "12.346789 > 02 01 ...", "12.4 ! hangup".
std::string FormatTrace(const TraceEvent &event);

class Simulator {
 public:
  Simulator(Scenario scenario, Options options);
  ~Simulator();  // stops the run
  Simulator(const Simulator &) = delete;
  Simulator &operator=(const Simulator &) = delete;

  // Opens the line (and the link) and starts the thread. Once only.
  bool Start(std::string *error);
  // The pty slave or the device; empty while the line is down.
  std::string SlavePath() const;

  // Run-time additions, handled as if a scenario event had just come due.
  void Push(const Message &message, const std::string &label = std::string());
  void Queue(const Fault &fault);
  void HangUp(std::optional<Duration> return_after);

  Stats GetStats() const;
  // What the host sent, frame by frame (poll, ACK, command, stray bytes).
  std::vector<TraceEvent> Received() const;
  // Called on the simulator's thread for every trace event.
  void SetTrace(std::function<void(const TraceEvent &)> trace);

  bool WaitForPolls(std::uint64_t count, Duration timeout) const;
  // Waits until `done` holds for the stats; false on timeout.
  bool WaitUntil(const std::function<bool(const Stats &)> &done, Duration timeout) const;
  bool WaitForEnd(Duration timeout) const;

  // Ends the run, joins the thread, closes the line and removes the link. Safe
  // to call twice.
  void Stop();

  struct Shared;
  class Engine;

 private:
  Scenario scenario_;
  Options options_;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<Engine> engine_;
  bool started_ = false;
};

}  // namespace panelsim

#endif
