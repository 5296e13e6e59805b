#include "simulator.h"

#include <sched.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "engine.h"

namespace panelsim {
namespace {

constexpr unsigned kFastestBaud = 4'000'000;

bool CheckOptions(const Options &options, std::string *error) {
  if (options.baud == 0 || options.baud > kFastestBaud) {
    *error = "the baud rate must be from 1 to " + std::to_string(kFastestBaud);
    return false;
  }
  if (options.frame_length < kMinFrameLength || options.frame_length > kMaxFrameLength) {
    *error = "the frame length must be from " + std::to_string(kMinFrameLength) + " to " +
             std::to_string(kMaxFrameLength);
    return false;
  }
  const int highest = sched_get_priority_max(SCHED_FIFO);
  if (options.realtime_priority < 0 || options.realtime_priority > highest) {
    *error = "the real-time priority must be from 0 to " + std::to_string(highest);
    return false;
  }
  return true;
}

const char *KindMark(TraceEvent::Kind kind) {
  switch (kind) {
    case TraceEvent::Kind::kReceived:
      return "<";
    case TraceEvent::Kind::kSent:
      return ">";
    case TraceEvent::Kind::kNote:
    case TraceEvent::Kind::kLineOpened:
      break;
  }
  return "!";
}

const char *FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kSilent:
      return "silent";
    case FaultKind::kGarbage:
      return "garbage";
    case FaultKind::kShortFrame:
      return "short-frame";
    case FaultKind::kLongFrame:
      return "long-frame";
    case FaultKind::kDribble:
      return "dribble";
    case FaultKind::kCommandReply:
      return "command-reply";
    case FaultKind::kCommandSilent:
      break;
  }
  return "command-silent";
}

}  // namespace

std::string FormatTrace(const TraceEvent &event) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.6f",
                std::chrono::duration<double>(event.time).count());
  std::string text = std::string(stamp) + " " + KindMark(event.kind) + " ";
  if (event.kind == TraceEvent::Kind::kLineOpened) return text + "line " + event.note;
  if (event.kind == TraceEvent::Kind::kNote) return text + event.note;
  text += HexBytes(event.bytes);
  if (!event.note.empty()) text += "  " + event.note;
  return text;
}

Simulator::Simulator(Scenario scenario, Options options)
    : scenario_(std::move(scenario)),
      options_(std::move(options)),
      shared_(std::make_shared<Shared>(options_.received_history)) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(std::string *error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (started_) {
    *error = "the simulator was already started";
    return false;
  }
  if (!CheckOptions(options_, error)) return false;
  UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) {
    *error = std::string("cannot create the wake-up descriptor: ") + std::strerror(errno);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->wake = std::move(wake);
  }
  engine_ = std::make_unique<Engine>(scenario_, options_, shared_.get());
  if (!engine_->Start(error)) {
    engine_.reset();
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->wake.reset();
    return false;
  }
  started_ = true;
  return true;
}

std::string Simulator::SlavePath() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->line_path;
}

void Simulator::Push(const Message &message, const std::string &label) {
  Action action;
  action.kind = ActionKind::kMessage;
  action.message = message;
  action.label = label.empty() ? "raw " + HexBytes(message.bytes.data(), message.bytes.size())
                               : label;
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->injected.push_back(std::move(action));
  shared_->Wake();
}

void Simulator::Queue(const Fault &fault) {
  Action action;
  action.kind = ActionKind::kFault;
  action.fault = fault;
  action.label = FaultName(fault.kind);
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->injected.push_back(std::move(action));
  shared_->Wake();
}

void Simulator::HangUp(std::optional<Duration> return_after) {
  Action action;
  action.kind = ActionKind::kHangup;
  action.return_after = return_after;
  action.label = "hangup";
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->injected.push_back(std::move(action));
  shared_->Wake();
}

Stats Simulator::GetStats() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->stats;
}

std::vector<TraceEvent> Simulator::Received() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return std::vector<TraceEvent>(shared_->received.begin(), shared_->received.end());
}

void Simulator::SetTrace(std::function<void(const TraceEvent &)> trace) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->trace = std::move(trace);
}

bool Simulator::WaitForPolls(std::uint64_t count, Duration timeout) const {
  return WaitUntil([count](const Stats &stats) { return stats.polls >= count; }, timeout);
}

bool Simulator::WaitUntil(const std::function<bool(const Stats &)> &done,
                          Duration timeout) const {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  return shared_->changed.wait_for(lock, timeout, [&] { return done(shared_->stats); });
}

bool Simulator::WaitForEnd(Duration timeout) const {
  return WaitUntil([](const Stats &stats) { return stats.ended; }, timeout);
}

void Simulator::Stop() {
  if (!engine_) return;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stop_requested = true;
    shared_->Wake();
  }
  engine_->Join();
  engine_.reset();
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->wake.reset();
}

}  // namespace panelsim
