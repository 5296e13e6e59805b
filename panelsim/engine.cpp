#include "engine.h"

#include <poll.h>
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

constexpr std::size_t kReadChunk = 256;
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

bool IsControlByte(std::uint8_t byte) { return byte == kStx || byte == kEot || byte == kAck; }

std::string Failure(const std::string &what, int saved_errno) {
  return what + ": " + std::strerror(saved_errno);
}

timespec ToTimespec(Duration duration) {
  if (duration < Duration::zero()) duration = Duration::zero();
  timespec wait_time{};
  wait_time.tv_sec = static_cast<time_t>(duration.count() / 1'000'000'000);
  wait_time.tv_nsec = static_cast<long>(duration.count() % 1'000'000'000);
  return wait_time;
}

}  // namespace

template <typename Change>
void Simulator::Engine::Count(Change change) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  change(shared_->stats);
  shared_->changed.notify_all();
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
  return true;
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
    if (saved != EINTR) EndWithError(Clock::now(), Failure("cannot wait on the line", saved));
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
  line_.Close();
  link_.Remove();
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->stats.running = false;
  shared_->stats.ended = true;
  shared_->stats.error = end_error_;
  shared_->stats.pending = pending_.size();
  shared_->line_path.clear();
  shared_->changed.notify_all();
}

// ---- The line ---------------------------------------------------------------

bool Simulator::Engine::OpenLine(TimePoint now, std::string *error) {
  if (!Line::Open(settings_, &line_, error)) return false;
  if (!options_.link.empty() && !link_.Point(options_.link, line_.path(), error)) {
    line_.Close();
    return false;
  }
  line_free_at_ = now;
  input_free_at_ = now;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->line_path = line_.path();
    ++shared_->stats.lines_opened;
    shared_->changed.notify_all();
  }
  Emit(TraceEvent::Kind::kLineOpened, {}, now, line_.path());
  return true;
}

void Simulator::Engine::ReopenIfDue(TimePoint now) {
  if (!reopen_at_ || now < *reopen_at_) return;
  reopen_at_.reset();
  std::string error;
  if (!OpenLine(now, &error)) EndWithError(now, "cannot bring the line back: " + error);
}

void Simulator::Engine::HangUp(const std::optional<Duration> &return_after, TimePoint now) {
  if (!line_.is_open()) return;
  Note(now, "hangup");
  if (outgoing_ && outgoing_->written > 0) {
    Note(now, "the hangup cut the reply after " + std::to_string(outgoing_->written) + " of " +
                  std::to_string(outgoing_->bytes.size()) + " bytes");
  }
  line_.Close();
  outgoing_.reset();
  inbound_.clear();
  command_deadline_.reset();
  awaiting_ack_ = false;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->line_path.clear();
    ++shared_->stats.hangups;
    shared_->changed.notify_all();
  }
  if (return_after) {
    reopen_at_ = now + *return_after;
  } else {
    ended_ = true;
  }
}

std::size_t Simulator::Engine::ReadInput(TimePoint now) {
  std::uint8_t buffer[kReadChunk];
  std::size_t total = 0;
  for (;;) {
    const ssize_t got = read(line_.fd(), buffer, sizeof buffer);
    if (got > 0) {
      for (ssize_t i = 0; i < got; ++i) {
        const TimePoint whole = paces_input_ ? std::max(now, input_free_at_) + byte_time_ : now;
        input_free_at_ = whole;
        inbound_.push_back({buffer[i], now, whole});
      }
      Count([got](Stats &stats) { stats.bytes_received += static_cast<std::uint64_t>(got); });
      total += static_cast<std::size_t>(got);
      if (static_cast<std::size_t>(got) < sizeof buffer) return total;
      continue;
    }
    const int saved = errno;
    if (got < 0 && saved == EINTR) continue;
    if (got < 0 && (saved == EAGAIN || saved == EWOULDBLOCK)) return total;
    // The far side is gone: a device unplugged or its pty closed.
    EndWithError(now, got == 0 ? std::string("the line was hung up")
                               : Failure("cannot read from the line", saved));
    return total;
  }
}

void Simulator::Engine::SendDueBytes(TimePoint now) {
  while (!ended_ && outgoing_ && !outgoing_->blocked && outgoing_->due <= now) {
    WriteOneByte(now);
  }
}

void Simulator::Engine::WriteOneByte(TimePoint now) {
  Outgoing &out = *outgoing_;
  const std::uint8_t byte = out.bytes[out.written];
  const ssize_t written = write(line_.fd(), &byte, 1);
  if (written != 1) {
    const int saved = errno;
    if (written < 0 && (saved == EAGAIN || saved == EWOULDBLOCK)) {
      out.blocked = true;
    } else if (!(written < 0 && saved == EINTR)) {
      EndWithError(now, Failure("cannot write to the line", saved));
    }
    return;
  }
  if (out.written == 0) {
    if (out.carries_message) message_on_line_since_ = now;
    Emit(TraceEvent::Kind::kSent, out.bytes, now, out.note);
  }
  ++out.written;
  line_free_at_ = std::max(out.due, now);
  Count([](Stats &stats) { ++stats.bytes_sent; });
  if (out.written == out.bytes.size()) {
    outgoing_.reset();
    return;
  }
  // Deadlines are absolute, so a late wake-up does not push the rest of the
  // reply back; a dribble measures each gap from the byte actually written.
  out.due = out.keep_gaps ? Clock::now() + out.spacing : out.due + out.spacing;
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
      pending_.push_back({action.message, action.label, 0});
      Count([this](Stats &stats) {
        ++stats.messages_queued;
        stats.pending = pending_.size();
      });
      Note(now, "queued " + action.label);
      return;
    case ActionKind::kFault:
      (IsCommandFault(action.fault.kind) ? command_faults_ : poll_faults_)
          .push_back(action.fault);
      Count([](Stats &stats) { ++stats.faults_armed; });
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

// ---- What the host sends ----------------------------------------------------

void Simulator::Engine::ProcessInbound(TimePoint now) {
  while (!ended_ && line_.is_open() && !outgoing_ && !inbound_.empty()) {
    const Inbound first = inbound_.front();
    if (first.byte == kStx) {
      if (!TakeCommandFrame(now)) return;
      continue;
    }
    inbound_.pop_front();
    if (first.byte == kEnq) {
      HandlePoll(first.time, first.whole, now);
    } else if (first.byte == kAck) {
      HandleAck(first.time);
    } else {
      Emit(TraceEvent::Kind::kReceived, {first.byte}, first.time, "unexpected byte");
      Count([](Stats &stats) { ++stats.unexpected_bytes; });
    }
  }
}

// A command is STX and four more bytes, all arriving within the command window.
// Returns false while the window is still open and the frame incomplete.
bool Simulator::Engine::TakeCommandFrame(TimePoint now) {
  const TimePoint started = inbound_.front().time;
  const TimePoint window_end = started + command_window_;
  std::size_t taken = 1;
  while (taken < kCommandFrameLength && taken < inbound_.size() &&
         inbound_[taken].time <= window_end) {
    ++taken;
  }
  if (taken < kCommandFrameLength && now < window_end) {
    command_deadline_ = window_end;
    return false;
  }
  command_deadline_.reset();
  std::vector<std::uint8_t> frame;
  for (std::size_t i = 0; i < taken; ++i) frame.push_back(inbound_[i].byte);
  const TimePoint whole = inbound_[taken - 1].whole;
  inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(taken));
  const char letter = taken == kCommandFrameLength ? CommandLetter(frame.data()) : 0;
  if (letter != 0) {
    HandleCommand(letter, frame, started, whole);
    return true;
  }
  Emit(TraceEvent::Kind::kReceived, std::move(frame), started,
       taken == kCommandFrameLength ? "unknown frame, ignored" : "incomplete frame, ignored");
  Count([](Stats &stats) { ++stats.unknown_frames; });
  return true;
}

// Polls that piled up while the panel was busy count as one: the panel answers
// once whatever has reached it by the time it turns to the line, and so never
// falls behind the line by answering each of them in turn. That holds for the
// polls behind a command that waited too: answering one of them after the
// command's ACK would put two answers back to back on the line, which the host
// reads as one reply. Commands and ACKs keep their places. A poll still on its
// way across the wire has not arrived yet: it gets an answer of its own once
// this one is out. The answer is timed from the last poll taken.
Simulator::Engine::TimePoint Simulator::Engine::TakePiledUpPolls(TimePoint whole, TimePoint now) {
  const TimePoint arrived_by = std::max(now, whole);
  std::uint64_t merged = 0;
  std::size_t at = 0;
  while (at < inbound_.size() && inbound_[at].whole <= arrived_by) {
    const Inbound &entry = inbound_[at];
    if (entry.byte == kStx) {
      at += kCommandFrameLength;  // a command frame's bytes are no polls
      continue;
    }
    if (entry.byte != kEnq) {
      ++at;
      continue;
    }
    whole = std::max(whole, entry.whole);
    Emit(TraceEvent::Kind::kReceived, {kEnq}, entry.time, "poll piled up behind it, counts as one");
    inbound_.erase(inbound_.begin() + static_cast<std::ptrdiff_t>(at));
    ++merged;
  }
  if (merged > 0) Count([merged](Stats &stats) { stats.polls_merged += merged; });
  return whole;
}

// The panel sees a request as soon as it is read, but answers it no sooner than
// a panel at the far end of a wire could: one byte time after the request's last
// byte has crossed. A wire takes no less, and a late wake-up of this thread
// takes nothing from the reply's timing.
void Simulator::Engine::HandlePoll(TimePoint arrived, TimePoint whole, TimePoint now) {
  const std::uint64_t number = ++polls_seen_;
  Emit(TraceEvent::Kind::kReceived, {kEnq}, arrived, "poll " + std::to_string(number));
  whole = TakePiledUpPolls(whole, now);
  if (clock_from_first_poll_ && !clock_start_) {
    clock_start_ = arrived;
    FireDueTimeEvents(now);
  }
  FirePollEvents(number, now);
  if (!ended_ && line_.is_open()) AnswerPoll(whole);
  // Counted last, so that a caller woken by the count sees the poll handled.
  Count([number](Stats &stats) { stats.polls = number; });
}

void Simulator::Engine::AnswerPoll(TimePoint now) {
  awaiting_ack_ = false;
  if (!poll_faults_.empty()) {
    ApplyPollFault(now);
    return;
  }
  if (pending_.empty()) {
    Count([](Stats &stats) { ++stats.eots_sent; });
    StartReply({kEot}, Duration::zero(), "nothing to report", now);
    return;
  }
  SendFrame(FrameToSend(layout_.length), Duration::zero(), "", now);
}

void Simulator::Engine::ApplyPollFault(TimePoint now) {
  const Fault fault = poll_faults_.front();
  if (fault.kind == FaultKind::kSilent && fault.count > 1) {
    --poll_faults_.front().count;
  } else {
    poll_faults_.pop_front();
  }
  Count([](Stats &stats) { ++stats.faults_applied; });
  switch (fault.kind) {
    case FaultKind::kSilent:
      Count([](Stats &stats) { ++stats.polls_unanswered; });
      Note(now, "poll " + std::to_string(polls_seen_) + " left unanswered");
      return;
    case FaultKind::kGarbage:
      StartReply(Noise(fault.count, fault.byte), Duration::zero(), "garbage", now);
      return;
    case FaultKind::kShortFrame: {
      std::vector<std::uint8_t> frame = FrameToSend(layout_.length);
      frame.resize(std::min<std::size_t>(fault.count, frame.size()));
      SendFrame(std::move(frame), Duration::zero(), ", cut short", now);
      return;
    }
    case FaultKind::kLongFrame:
      SendFrame(FrameToSend(fault.count), Duration::zero(), ", overlong", now);
      return;
    case FaultKind::kDribble:
      SendFrame(FrameToSend(layout_.length), fault.gap, ", dribbled", now);
      return;
    case FaultKind::kCommandReply:
    case FaultKind::kCommandSilent:
      return;  // never queued for polls
  }
}

void Simulator::Engine::HandleAck(TimePoint arrived) {
  if (!awaiting_ack_ || !message_on_line_since_ || arrived < *message_on_line_since_) {
    Emit(TraceEvent::Kind::kReceived, {kAck}, arrived, "ACK with no message awaiting it");
    Count([](Stats &stats) {
      ++stats.acks;
      ++stats.acks_without_message;
    });
    return;
  }
  Emit(TraceEvent::Kind::kReceived, {kAck}, arrived, "ACK retires " + pending_.front().label);
  pending_.pop_front();
  awaiting_ack_ = false;
  Count([this](Stats &stats) {
    ++stats.acks;
    ++stats.messages_retired;
    stats.pending = pending_.size();
  });
}

void Simulator::Engine::HandleCommand(char letter, const std::vector<std::uint8_t> &frame,
                                      TimePoint arrived, TimePoint whole) {
  const std::string name = std::string("command ") + letter;
  Emit(TraceEvent::Kind::kReceived, frame, arrived, name);
  std::optional<std::uint8_t> answer = kAck;
  if (!command_faults_.empty()) {
    Fault &armed = command_faults_.front();
    if (armed.kind == FaultKind::kCommandReply) {
      answer = armed.byte.value_or(kAck);
      command_faults_.pop_front();
    } else {
      answer.reset();
      if (--armed.count == 0) command_faults_.pop_front();
    }
    Count([](Stats &stats) { ++stats.faults_applied; });
  }
  if (answer) StartReply({*answer}, Duration::zero(), "answer to " + name, whole);
  else Note(whole, name + " left unanswered");
  // Counted last, so that a caller woken by the count sees the command handled.
  Count([letter, &answer](Stats &stats) {
    if (letter == 'A') ++stats.commands_a;
    if (letter == 'R') ++stats.commands_r;
    if (letter == 'S') ++stats.commands_s;
    if (!answer) ++stats.commands_unanswered;
  });
}

// ---- What the panel sends ---------------------------------------------------

void Simulator::Engine::StartReply(std::vector<std::uint8_t> bytes, Duration gap,
                                   const std::string &note, TimePoint now) {
  Outgoing out;
  out.bytes = std::move(bytes);
  out.spacing = byte_time_ + gap;
  out.keep_gaps = gap > Duration::zero();
  // The first byte is on the wire one byte time after the line is free.
  out.due = std::max(now, line_free_at_) + byte_time_;
  out.note = note;
  outgoing_ = std::move(out);
}

std::vector<std::uint8_t> Simulator::Engine::FrameToSend(std::size_t length) const {
  FrameLayout layout = layout_;
  layout.length = length;
  if (!pending_.empty()) return BuildFrame(pending_.front().message, layout);
  Message status;
  StatusMessage('2', 0, &status, nullptr);
  return BuildFrame(status, layout);
}

void Simulator::Engine::SendFrame(std::vector<std::uint8_t> frame, Duration gap,
                                  const std::string &how, TimePoint now) {
  if (pending_.empty()) {
    StartReply(std::move(frame), gap, "status 2 (nothing queued)" + how, now);
    return;
  }
  Pending &front = pending_.front();
  const bool resend = front.times_sent++ > 0;
  awaiting_ack_ = true;
  message_on_line_since_.reset();
  Count([resend](Stats &stats) {
    ++stats.messages_sent;
    if (resend) ++stats.resends;
  });
  StartReply(std::move(frame), gap, front.label + (resend ? " (resent)" : "") + how, now);
  outgoing_->carries_message = true;
}

// Reproducible noise: the same scenario puts the same bytes on the line.
std::vector<std::uint8_t> Simulator::Engine::Noise(unsigned count,
                                                   const std::optional<std::uint8_t> &first) {
  const auto next = [this]() {
    noise_state_ ^= noise_state_ << 13;
    noise_state_ ^= noise_state_ >> 17;
    noise_state_ ^= noise_state_ << 5;
    return static_cast<std::uint8_t>(noise_state_ >> 24);
  };
  std::vector<std::uint8_t> bytes;
  for (unsigned i = 0; i < count; ++i) bytes.push_back(next());
  if (first) {
    bytes[0] = *first;
  } else {
    while (IsControlByte(bytes[0])) bytes[0] = next();
  }
  return bytes;
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
