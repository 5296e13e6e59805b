// One driver instance's host thread: it sends the commands queued for the
// instance first, then polls one point per interval, in turn, and reopens the
// port when the line stops answering. It touches only its instance's driver
// calls, its own queue and the hub.
#ifndef VUZOV_ZEMHOST_INSTANCE_POLLER_H
#define VUZOV_ZEMHOST_INSTANCE_POLLER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "run/driver_calls.h"
#include "events/hub.h"
#include "cli/options.h"

namespace zemhost {

// A point address as the driver checked it, with the panel number it read.
struct Point {
  std::string address;
  int panel = 0;
};

struct PollPlan {
  Millis interval{200};
  std::optional<std::uint64_t> polls;  // end the polling after this many
  int reopen_after = 0;                // failed polls in a row; 0 never
  bool send_only = false;              // no polling at all: commands only
};

class InstancePoller {
 public:
  using TimePoint = SteadyClock::time_point;

  // The host instance, the hub and the entry point outlive the poller.
  InstancePoller(int number, HostInstance &host, ZemMainFn zem_main, Hub &hub,
                 std::vector<Point> points, std::string port_name, PollPlan plan);
  ~InstancePoller() { Stop(); }
  InstancePoller(const InstancePoller &) = delete;
  InstancePoller &operator=(const InstancePoller &) = delete;

  void Start();
  // Asks the thread to stop after the call it is in, without waiting.
  void RequestStop();
  // True once the thread has stopped (or never started).
  bool Stopped() const { return !running_.load(); }
  // Stops the thread after the call it is in, and waits for it.
  void Stop();
  // From any thread; the command goes out before the next poll, and its
  // result carries `ticket`.
  void Queue(const Point &command, std::uint32_t ticket = 0);

  bool PollsDone() const { return polls_done_.load(); }
  int CommandsOutstanding() const { return commands_outstanding_.load(); }
  // The driver call the thread is inside ("read", "command", "reopen"), or
  // null between calls.
  const char *DriverCall() const { return driver_call_.load(); }
  // From any thread: whether the thread keeps its pace, that is it came
  // round its loop (a poll, a command, a wait for the next poll) no more than
  // `bound` before `now`, or it waits with nothing to do (its polls done).
  bool KeepsPace(TimePoint now, Millis bound) const;
  // How long ago the thread last came round its loop.
  Millis SinceProgress(TimePoint now) const;

 private:
  void Run();
  // Waits for a command, the next poll's time or the stop; false on the stop.
  struct Queued {
    Point point;
    std::uint32_t ticket;
  };

  bool WaitForWork(TimePoint next_poll, std::optional<Queued> *command);
  void Send(const Queued &command);
  void PollNext();
  void Reopen(int failed);
  void NoteProgress() { progress_.store(SteadyClock::now().time_since_epoch().count()); }

  // Marks the thread as inside one driver call while it lives.
  class InCall {
   public:
    InCall(std::atomic<const char *> &call, const char *name) : call_(call) { call_ = name; }
    ~InCall() { call_ = nullptr; }
    InCall(const InCall &) = delete;
    InCall &operator=(const InCall &) = delete;

   private:
    std::atomic<const char *> &call_;
  };

  const int number_;
  HostInstance &host_;
  const ZemMainFn zem_main_;
  Hub &hub_;
  const std::vector<Point> points_;
  const std::string port_name_;
  const PollPlan plan_;

  // The poll thread's own.
  std::size_t point_index_ = 0;
  std::uint64_t polls_ = 0;
  int failed_in_row_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Queued> commands_;
  bool stop_ = false;
  std::atomic<bool> polls_done_{false};
  std::atomic<int> commands_outstanding_{0};
  std::atomic<const char *> driver_call_{nullptr};
  std::atomic<bool> running_{false};
  std::atomic<SteadyClock::rep> progress_{0};
  std::atomic<bool> idle_{false};
  std::thread thread_;
};

}  // namespace zemhost

#endif
