#include "run/instance_poller.h"

#include <algorithm>
#include <utility>

namespace zemhost {

InstancePoller::InstancePoller(int number, HostInstance &host, ZemMainFn zem_main, Hub &hub,
                               std::vector<Point> points, std::string port_name, PollPlan plan)
    : number_(number),
      host_(host),
      zem_main_(zem_main),
      hub_(hub),
      points_(std::move(points)),
      port_name_(std::move(port_name)),
      plan_(plan) {}

void InstancePoller::Start() {
  NoteProgress();
  running_ = true;
  thread_ = std::thread([this] {
    Run();
    running_ = false;
  });
}

void InstancePoller::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
}

void InstancePoller::Stop() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

bool InstancePoller::KeepsPace(TimePoint now, Millis bound) const {
  return idle_.load() || SinceProgress(now) <= bound;
}

Millis InstancePoller::SinceProgress(TimePoint now) const {
  const TimePoint progress{SteadyClock::duration(progress_.load())};
  return std::chrono::duration_cast<Millis>(now - std::min(now, progress));
}

void InstancePoller::Queue(const Point &command, std::uint32_t ticket) {
  commands_outstanding_.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(Queued{command, ticket});
  }
  wake_.notify_all();
}

void InstancePoller::Run() {
  auto next_poll = SteadyClock::now();
  for (;;) {
    NoteProgress();
    std::optional<Queued> command;
    if (!WaitForWork(next_poll, &command)) return;
    if (command) {
      Send(*command);
      continue;
    }
    if (SteadyClock::now() < next_poll) continue;
    PollNext();
    next_poll = std::max(next_poll + plan_.interval, SteadyClock::now());
  }
}

bool InstancePoller::WaitForWork(TimePoint next_poll, std::optional<Queued> *command) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto ready = [this] { return stop_ || !commands_.empty(); };
  if (!plan_.send_only && !polls_done_) {
    wake_.wait_until(lock, next_poll, ready);
  } else {
    idle_ = true;
    wake_.wait(lock, ready);
    NoteProgress();  // what woke it starts from now
    idle_ = false;
  }
  if (stop_) return false;
  if (!commands_.empty()) {
    *command = commands_.front();
    commands_.pop_front();
  }
  return true;
}

void InstancePoller::Send(const Queued &command) {
  const Point &point = command.point;
  bool acknowledged = false;
  std::uint32_t result = 0;
  {
    const InCall in_call(driver_call_, "command");
    result = host_.Write(zem_main_, point.address, point.panel, &acknowledged);
  }
  hub_.Report(number_, CommandDone{point.address, result, acknowledged, command.ticket});
  commands_outstanding_.fetch_sub(1);
}

void InstancePoller::PollNext() {
  const Point &point = points_[point_index_++ % points_.size()];
  std::int32_t value = 0;
  std::uint32_t result = 0;
  {
    const InCall in_call(driver_call_, "read");
    result = host_.Read(zem_main_, point.address, point.panel, &value);
  }
  hub_.Report(number_, PollDone{point.address, result, value});
  failed_in_row_ = result == vuzov::kOk ? 0 : failed_in_row_ + 1;
  if (plan_.reopen_after > 0 && failed_in_row_ >= plan_.reopen_after) {
    Reopen(failed_in_row_);
    failed_in_row_ = 0;
  }
  if (plan_.polls && ++polls_ >= *plan_.polls) polls_done_ = true;
}

// A line that stopped answering: close and reopen the port, as a host does
// after an unplugged adapter. The reopen applies the state's DTR/RTS flags.
void InstancePoller::Reopen(int failed) {
  hub_.Report(number_, Notice{"instance " + std::to_string(number_) + ": " +
                              std::to_string(failed) + " failed polls in a row; reopening " +
                                  port_name_,
                              Severity::kWarning});
  std::uint32_t result = 0;
  {
    const InCall in_call(driver_call_, "reopen");
    host_.CloseCom(zem_main_);
    result = host_.ReOpenCom(zem_main_);
  }
  if (result != vuzov::kOk) {
    hub_.Report(number_, Notice{"instance " + std::to_string(number_) + ": ReOpenCom returned " +
                                    std::to_string(result),
                                Severity::kWarning});
  }
}

}  // namespace zemhost
