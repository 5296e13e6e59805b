#include "engine.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>
#include <utility>

namespace panelsim {
namespace {

constexpr std::chrono::milliseconds kCommandSlack{50};

Duration ByteTime(const Options &options) {
  const unsigned baud = options.baud == 0 ? 1 : options.baud;
  return Duration(1'000'000'000LL * BitsPerByte(options.framing) / baud);
}

Duration CommandWindow(const Options &options) {
  if (options.command_timeout.count() > 0) return options.command_timeout;
  return kCommandSlack + 4 * ByteTime(options);
}

LineSettings SettingsOf(const Options &options) {
  LineSettings settings;
  settings.device = options.device;
  settings.baud = options.baud;
  settings.framing = options.framing;
  return settings;
}

FrameLayout LayoutOf(const Options &options) {
  FrameLayout layout;
  layout.length = options.frame_length;
  layout.address = options.address;
  return layout;
}

std::vector<Event> EventsWhere(const Scenario &scenario, bool at_poll) {
  std::vector<Event> events;
  for (const Event &event : scenario.events) {
    if (event.at_poll == at_poll) events.push_back(event);
  }
  std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) {
    return a.at_poll ? a.poll < b.poll : a.time < b.time;
  });
  return events;
}

timespec ToTimespec(Duration duration) {
  if (duration < Duration::zero()) duration = Duration::zero();
  timespec wait_time{};
  wait_time.tv_sec = static_cast<time_t>(duration.count() / 1'000'000'000);
  wait_time.tv_nsec = static_cast<long>(duration.count() % 1'000'000'000);
  return wait_time;
}

}  // namespace

std::string ErrnoText(const std::string &what, int saved_errno) {
  return what + ": " + std::strerror(saved_errno);
}

void Simulator::Shared::Wake() const {
  if (!wake) return;
  const std::uint64_t one = 1;
  // A full counter already wakes the engine, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = write(wake.get(), &one, sizeof one);
}

Simulator::Engine::Engine(const Scenario &scenario, const Options &options, Shared *shared)
    : options_(options),
      settings_(SettingsOf(options)),
      layout_(LayoutOf(options)),
      byte_time_(ByteTime(options)),
      command_window_(CommandWindow(options)),
      clock_from_first_poll_(scenario.clock_from_first_poll),
      paces_input_(options.device.empty()),
      time_events_(EventsWhere(scenario, false)),
      poll_events_(EventsWhere(scenario, true)),
      shared_(shared) {}

bool Simulator::Engine::Start(std::string *error) {
  run_start_ = Clock::now();
  line_free_at_ = run_start_;
  if (!clock_from_first_poll_) clock_start_ = run_start_;
  if (!OpenLine(run_start_, error)) return false;
  Count([](Stats &stats) { stats.running = true; });
  try {
    thread_ = std::thread(&Engine::Run, this);
  } catch (const std::system_error &failure) {
    *error = std::string("cannot start the simulator's thread: ") + failure.what();
    Finish();
    return false;
  }
  if (options_.realtime_priority > 0) RaisePriority();
  return true;
}

// Set from here rather than by the thread itself, so that the outcome is in the
// stats when Start returns.
void Simulator::Engine::RaisePriority() {
  sched_param priority{};
  priority.sched_priority = options_.realtime_priority;
  const int failure = pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &priority);
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (failure == 0) {
    shared_->stats.realtime_priority = options_.realtime_priority;
  } else {
    shared_->stats.realtime_refused = std::strerror(failure);
  }
}

void Simulator::Engine::Join() {
  if (thread_.joinable()) thread_.join();
}

// ---- The loop ---------------------------------------------------------------

void Simulator::Engine::Run() {
  // Every byte goes out at its deadline: the default timer slack would let each
  // of this thread's waits end up to 50 us late, a twentieth of a byte time at
  // 9600 baud and more at higher rates.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  try {
    Loop();
  } catch (const std::exception &failure) {
    EndWithError(Clock::now(), std::string("internal failure: ") + failure.what());
  } catch (...) {
    EndWithError(Clock::now(), "internal failure");
  }
  Finish();
}

void Simulator::Engine::Loop() {
  while (!ended_) {
    if (TakeInjected(Clock::now())) return;
    if (ended_) return;
    Step(Clock::now());
    if (ended_) return;
    WaitForWork();
  }
}

void Simulator::Engine::Step(TimePoint now) {
  FireDueTimeEvents(now);
  if (!ended_) ReopenIfDue(now);
  if (!ended_ && outgoing_) SendDueBytes(now);
  if (!ended_ && !outgoing_) ProcessInbound(now);
}

std::optional<Simulator::Engine::TimePoint> Simulator::Engine::NextDeadline() const {
  std::optional<TimePoint> deadline;
  const auto consider = [&deadline](TimePoint candidate) {
    if (!deadline || candidate < *deadline) deadline = candidate;
  };
  if (clock_start_ && next_time_event_ < time_events_.size()) {
    consider(*clock_start_ + time_events_[next_time_event_].time);
  }
  if (outgoing_ && !outgoing_->blocked) consider(outgoing_->due);
  if (command_deadline_ && !outgoing_) consider(*command_deadline_);
  if (reopen_at_) consider(*reopen_at_);
  return deadline;
}

// Sleeps until the next deadline, input on the line, room to write, or a wake-up.
void Simulator::Engine::WaitForWork() {
  pollfd fds[2] = {};
  fds[0].fd = shared_->wake.get();
  fds[0].events = POLLIN;
  nfds_t count = 1;
  if (line_.is_open()) {
    fds[1].fd = line_.fd();
    fds[1].events = static_cast<short>(POLLIN | (outgoing_ && outgoing_->blocked ? POLLOUT : 0));
    count = 2;
  }
  const std::optional<TimePoint> deadline = NextDeadline();
  timespec timeout{};
  if (deadline) timeout = ToTimespec(*deadline - Clock::now());
  if (ppoll(fds, count, deadline ? &timeout : nullptr, nullptr) < 0) {
    const int saved = errno;
    if (saved != EINTR) EndWithError(Clock::now(), ErrnoText("cannot wait on the line", saved));
    return;
  }
  const TimePoint now = Clock::now();
  if (fds[0].revents & POLLIN) {
    std::uint64_t counter = 0;
    [[maybe_unused]] const ssize_t got = read(shared_->wake.get(), &counter, sizeof counter);
  }
  if (count < 2) return;
  if (fds[1].revents & POLLNVAL) {
    EndWithError(now, "the line was closed under the simulator");
    return;
  }
  if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
    const std::size_t got = ReadInput(now);
    // A hang-up with nothing left to read would wake the loop for ever.
    if (got == 0 && !ended_ && (fds[1].revents & (POLLHUP | POLLERR))) {
      EndWithError(now, "the line was hung up");
      return;
    }
  }
  if ((fds[1].revents & POLLOUT) && outgoing_) {
    outgoing_->blocked = false;
    outgoing_->due = std::max(outgoing_->due, now);
  }
}

bool Simulator::Engine::TakeInjected(TimePoint now) {
  std::vector<Action> actions;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stop_requested) return true;
    actions.swap(shared_->injected);
  }
  for (const Action &action : actions) {
    if (ended_) break;
    Perform(action, now);
  }
  return false;
}

void Simulator::Engine::Finish() {
  link_.Remove();  // before the line, as at a hangup
  line_.Close();
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->stats.running = false;
  shared_->stats.ended = true;
  shared_->stats.error = end_error_;
  shared_->stats.pending = messages_.size();
  shared_->line_path.clear();
  shared_->changed.notify_all();
}

// ---- Scenario events --------------------------------------------------------

void Simulator::Engine::FireDueTimeEvents(TimePoint now) {
  if (!clock_start_) return;
  while (!ended_ && next_time_event_ < time_events_.size() &&
         *clock_start_ + time_events_[next_time_event_].time <= now) {
    Perform(time_events_[next_time_event_++].action, now);
  }
}

void Simulator::Engine::FirePollEvents(std::uint64_t poll, TimePoint now) {
  while (!ended_ && next_poll_event_ < poll_events_.size() &&
         poll_events_[next_poll_event_].poll <= poll) {
    Perform(poll_events_[next_poll_event_++].action, now);
  }
}

void Simulator::Engine::Perform(const Action &action, TimePoint now) {
  switch (action.kind) {
    case ActionKind::kMessage:
      messages_.Push(action.message, action.label);
      Count([this](Stats &stats) {
        ++stats.messages_queued;
        stats.pending = messages_.size();
      });
      Note(now, "queued " + action.label);
      return;
    case ActionKind::kFault:
      faults_.Arm(action.fault);
      Count([waiting = faults_.Waiting()](Stats &stats) {
        ++stats.faults_armed;
        stats.faults_waiting = waiting;
      });
      Note(now, "armed " + action.label);
      return;
    case ActionKind::kHangup:
      HangUp(action.return_after, now);
      return;
    case ActionKind::kEnd:
      Note(now, "end");
      ended_ = true;
      return;
  }
}

// ---- Trace and stats --------------------------------------------------------

void Simulator::Engine::Emit(TraceEvent::Kind kind, std::vector<std::uint8_t> bytes,
                             TimePoint time, const std::string &note) {
  TraceEvent event;
  event.time = std::chrono::duration_cast<Duration>(time - run_start_);
  event.kind = kind;
  event.bytes = std::move(bytes);
  event.note = note;
  std::function<void(const TraceEvent &)> trace;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (kind == TraceEvent::Kind::kReceived && shared_->history > 0) {
      shared_->received.push_back(event);
      if (shared_->received.size() > shared_->history) shared_->received.pop_front();
    }
    trace = shared_->trace;
  }
  if (trace) trace(event);
}

void Simulator::Engine::Note(TimePoint time, const std::string &note) {
  Emit(TraceEvent::Kind::kNote, {}, time, note);
}

void Simulator::Engine::EndWithError(TimePoint now, const std::string &error) {
  Note(now, error);
  end_error_ = error;
  ended_ = true;
}

}  // namespace panelsim
