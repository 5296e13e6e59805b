// Inside the simulator: the state its thread shares with callers, and the engine
// that runs on that thread. Not part of the library's interface. The engine's
// loop is in engine.cpp, the line and the pacing of every byte on it in
// engine_line.cpp, and its answers to what the host sends in engine_answers.cpp.
#ifndef PANELSIM_ENGINE_H
#define PANELSIM_ENGINE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fault_plan.h"
#include "line.h"
#include "message_queue.h"
#include "scenario.h"
#include "simulator.h"

namespace panelsim {

struct Simulator::Shared {
  explicit Shared(std::size_t history_length) : history(history_length) {}
  void Wake() const;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  Stats stats;
  std::deque<TraceEvent> received;
  std::size_t history;
  std::function<void(const TraceEvent &)> trace;
  std::vector<Action> injected;
  bool stop_requested = false;
  std::string line_path;
  UniqueFd wake;  // an eventfd the engine waits on beside the line
};

class Simulator::Engine {
 public:
  Engine(const Scenario &scenario, const Options &options, Shared *shared);
  ~Engine() { Join(); }
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  // Opens the line on the caller's thread, so that a failure is reported
  // there, then starts the engine's thread.
  bool Start(std::string *error);
  void Join();

 private:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;

  struct Inbound {
    std::uint8_t byte;
    TimePoint time;   // when it was read off the line
    TimePoint whole;  // when it will have wholly crossed the line to the panel
  };
  // One reply on its way out, a byte at a time at absolute deadlines.
  struct Outgoing {
    std::vector<std::uint8_t> bytes;
    std::size_t written = 0;
    TimePoint due;
    Duration spacing{};
    bool keep_gaps = false;  // dribble: every gap, and one after the last byte, from the last write
    Duration quiet_after{};  // a spoilt reply: the line stays quiet this long after its last byte
    bool blocked = false;    // the line would not take a byte
    bool carries_message = false;  // the frame of the queue's front message
    std::string note;
  };

  void Run();
  void RaisePriority();
  void Loop();
  void Step(TimePoint now);
  void WaitForWork();
  std::optional<TimePoint> NextDeadline() const;
  bool TakeInjected(TimePoint now);
  void Finish();

  bool OpenLine(TimePoint now, std::string *error);
  void ReopenIfDue(TimePoint now);
  void HangUp(const std::optional<Duration> &return_after, TimePoint now);
  std::size_t ReadInput(TimePoint now);  // bytes read
  void SendDueBytes(TimePoint now);
  void WriteOneByte(TimePoint now);

  void FireDueTimeEvents(TimePoint now);
  void FirePollEvents(std::uint64_t poll, TimePoint now);
  void Perform(const Action &action, TimePoint now);

  void ProcessInbound(TimePoint now);
  bool TakeCommandFrame(TimePoint now);
  TimePoint TakePiledUpPolls(TimePoint whole, TimePoint now);
  void HandlePoll(TimePoint arrived, TimePoint whole, TimePoint now);
  void AnswerPoll(TimePoint now);
  void ApplyPollFault(TimePoint now);
  void HandleAck(TimePoint arrived);
  void HandleCommand(char letter, const std::vector<std::uint8_t> &frame, TimePoint arrived,
                     TimePoint whole);

  void EndReply();  // the reply is out, or cut by a hang-up
  void StartReply(std::vector<std::uint8_t> bytes, Duration gap, const std::string &note,
                  TimePoint now);
  // The waiting message's frame, or a status frame when none waits.
  std::vector<std::uint8_t> FrameToSend(std::size_t length) const;
  void SendFrame(std::vector<std::uint8_t> frame, Duration gap, const std::string &how,
                 TimePoint now);

  void Emit(TraceEvent::Kind kind, std::vector<std::uint8_t> bytes, TimePoint time,
            const std::string &note);
  void Note(TimePoint time, const std::string &note);
  void EndWithError(TimePoint now, const std::string &error);
  template <typename Change>
  void Count(Change change);

  const Options options_;
  const LineSettings settings_;
  const FrameLayout layout_;
  const Duration byte_time_;
  const Duration command_window_;
  const bool clock_from_first_poll_;
  // A pty hands over the host's bytes at once, where a wire takes a byte time
  // for each; on a pty the panel's answers are timed from when the host's bytes
  // would have crossed. A real device's wire does that itself.
  const bool paces_input_;
  std::vector<Event> time_events_;
  std::vector<Event> poll_events_;
  std::size_t next_time_event_ = 0;
  std::size_t next_poll_event_ = 0;
  Shared *const shared_;

  Line line_;
  LinkOwner link_;
  TimePoint run_start_;
  std::optional<TimePoint> clock_start_;
  MessageQueue messages_;
  FaultPlan faults_;
  std::deque<Inbound> inbound_;
  std::optional<Outgoing> outgoing_;
  TimePoint line_free_at_;
  TimePoint input_free_at_;  // when the host's last byte will have crossed the line
  std::optional<TimePoint> command_deadline_;
  std::optional<TimePoint> reopen_at_;
  std::uint64_t polls_seen_ = 0;
  bool ended_ = false;
  std::string end_error_;
  std::thread thread_;
};

template <typename Change>
void Simulator::Engine::Count(Change change) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  change(shared_->stats);
  shared_->changed.notify_all();
}

// "cannot read from the line: Input/output error"
std::string ErrnoText(const std::string &what, int saved_errno);

}  // namespace panelsim

#endif
