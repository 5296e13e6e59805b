#include "outputs/standard_error.h"
#include "run/session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "qarpro.h"
#include "run/run_setup.h"

namespace zemhost {
namespace {

constexpr std::chrono::milliseconds kShutdownWait{5000};
constexpr std::chrono::milliseconds kThreadExitWait{3000};
constexpr Millis kConsoleWait{50};
constexpr Millis kThreadExitStep{5};
// What the output may still take when the process must end at once.
constexpr Millis kLastOutputWait{1000};
// One stop can arrive more than once: `timeout` sends its signal to zemhost
// and again to its process group, and a terminal's hang-up comes from the
// kernel and again from the shell. Only a stop this long after the first is
// a second one (an operator's second Ctrl-C).
constexpr std::chrono::seconds kSecondStopAfter{1};

}  // namespace

int Session::Run() {
  Exit exit = RunSetup(config_, hub_, output_, zem_main_).Prepare(&instances_, &state_size_);
  if (exit) return *exit;
  exit = StartInstances();
  if (!exit) exit = Loop();
  const int shutdown = Shutdown();
  if (*exit != kExitOk) return *exit;
  if (shutdown != kExitOk) return shutdown;
  // A run cut short by its lost output ends for that reason alone.
  if (out_.Error() != 0) return kExitOk;
  return EveryPolledInstanceAnswered() ? kExitOk : kExitNoAnswer;
}

// A line on which no poll was ever answered has shown nothing about the panel:
// ending as a clean run would pass a dead line off as a quiet panel.
bool Session::EveryPolledInstanceAnswered() const {
  bool all = true;
  for (const InstanceStatus &status : hub_.Take().instances) {
    if (status.exchanges == 0 || status.failures < status.exchanges) continue;
    SayOnStandardError("instance " + std::to_string(status.number) +
                       ": no poll was answered (" + std::to_string(status.exchanges) + " tried)");
    all = false;
  }
  return all;
}

Exit Session::StartInstances() {
  thread_baseline_ = CountThreads();
  for (auto &instance : instances_) {
    if (Exit exit = ColdStart(*instance)) return exit;
  }
  const bool any_send = std::any_of(instances_.begin(), instances_.end(), [](const auto &instance) {
    return !instance->commands.empty();
  });
  send_only_ = !config_.polls && !config_.run_for && any_send;
  StartPolling();
  return std::nullopt;
}

Exit Session::ColdStart(Instance &instance) {
  instance.host = std::make_unique<HostInstance>(instance.number, state_size_,
                                                 instance.config.flags, reports_);
  const std::size_t mark = hub_.LogLineCount();
  const std::uint32_t result = instance.host->ColdStart(zem_main_, instance.port_name,
                                                        instance.config.timeout, instance.line);
  if (result == vuzov::kOk) {
    instance.started = true;
    reports_.NoteClient(instance.host->ClientId(), instance.number);
    return std::nullopt;
  }
  if (result == vuzov::kNotPossible) {
    const std::string held = LineHeldElsewhere(instance.port_name);
    output_.Fail(mark, "instance " + std::to_string(instance.number) + ": the port " +
                           instance.description + " did not open (ColdStart returned 1)" +
                           (held.empty() ? "" : ": " + held));
    return kExitPort;
  }
  output_.Fail(mark, "instance " + std::to_string(instance.number) + ": ColdStart returned " +
                         std::to_string(result));
  return kExitFailure;
}

void Session::StartPolling() {
  const PollPlan plan{config_.interval, config_.polls, config_.reopen_after, send_only_};
  for (auto &instance : instances_) {
    instance->poller =
        std::make_unique<InstancePoller>(instance->number, *instance->host, zem_main_, hub_,
                                         instance->points, instance->port_name, plan);
    schedule_.AddInstance(instance->poller.get(), instance->number, instance->config.panel,
                          instance->commands);
    hub_.ReadMessages(instance->number, ReadingOf(config_, instance->config));
    // A run that only sends has no polls whose silence could mean a lost panel.
    if (!send_only_) hub_.WatchLink(instance->number, LinkRuleOf(config_, instance->config));
    instance->poller->Start();
  }
}

Exit Session::Loop() {
  if (output_.LiveScreen()) console_.StartKeys();
  service_.Ready(instances_);
  // The outputs' timed work first, so the live screen shows from the start.
  for (hub_.Tick(); HandleConsole(); hub_.Tick()) {
    service_.Tick(instances_);
    schedule_.SendDue(
        std::chrono::duration_cast<Millis>(std::chrono::duration<double>(hub_.Now())));
    for (CommandSource *source : remote_) {
      for (const RemoteCommand &command : source->TakeCommands()) {
        schedule_.SendTo(command.instance, command.kind, command.ticket);
      }
    }
    if (config_.run_for && hub_.Now() * 1000.0 >= static_cast<double>(config_.run_for->count())) {
      break;
    }
    if (Finished()) break;
    // Nobody hears a run whose output is lost: end it as a host would.
    if (out_.Error() != 0) break;
  }
  console_.StopKeys();
  if (send_only_ && hub_.CommandsAcknowledged() < hub_.CommandsSent()) return kExitFailure;
  return kExitOk;
}

bool Session::HandleConsole() {
  int key = 0;
  const Console::Event event = console_.Wait(kConsoleWait, &key);
  if (event == Console::Event::kStop) {
    OnStopRequest();
    return false;
  }
  if (event == Console::Event::kOutputClosed) {
    out_.Lost(EPIPE);
    return false;
  }
  if (event != Console::Event::kKey) return true;
  if (key == 'q' || key == 'Q') return false;
  if (key == 'a' || key == 'A') schedule_.SendToAll('A');
  if (key == 's' || key == 'S') schedule_.SendToAll('S');
  if (key == 'r' || key == 'R') schedule_.SendToAll('R');
  return true;
}

bool Session::Finished() const {
  bool all_done = true;
  for (const auto &instance : instances_) {
    if (instance->poller->CommandsOutstanding() > 0) return false;
    all_done = all_done && instance->poller->PollsDone();
  }
  if (send_only_) return schedule_.AllDue();
  return config_.polls && all_done;
}

void Session::StopPolling() {
  for (auto &instance : instances_) {
    if (instance->poller) instance->poller->Stop();
  }
}

// Stop polling, let the driver's waiting threads end, close every port, end
// the driver; after this the module may be unloaded. A poll may take three
// read timeouts to return, so the console stays watched meanwhile.
int Session::Shutdown() {
  service_.Stopping();
  for (auto &instance : instances_) {
    if (instance->poller) instance->poller->RequestStop();
  }
  WaitWatching(
      [this] {
        return std::all_of(instances_.begin(), instances_.end(), [](const auto &instance) {
          return !instance->poller || instance->poller->Stopped();
        });
      },
      std::nullopt, kConsoleWait);
  StopPolling();
  int started = 0;
  for (const auto &instance : instances_) started += instance->started ? 1 : 0;
  int status = WaitForShutdownLines(started);
  EndDriver();
  if (safe_to_unload_ && !WaitForDriverThreadsToExit()) {
    hub_.Report(0, Notice{"a driver thread is still running; the module stays loaded", Severity::kError});
    safe_to_unload_ = false;
    status = kExitFailure;
  }
  output_.Summarise();
  return status;
}

int Session::WaitForShutdownLines(int started) {
  if (started == 0) return kExitOk;
  QarHostPostAll();
  const auto all_seen = [this, started] { return hub_.WaitForShutdowns(started, Millis(0)); };
  if (WaitWatching(all_seen, kShutdownWait, kConsoleWait)) return kExitOk;
  hub_.Report(0, Notice{"the driver's waiting threads did not end", Severity::kError});
  safe_to_unload_ = false;
  return kExitFailure;
}

void Session::EndDriver() {
  Instance *first = nullptr;
  for (auto &instance : instances_) {
    if (!instance->host) continue;
    // EndZem closes only its own instance's port: close every one first.
    instance->host->CloseCom(zem_main_);
    if (first == nullptr) first = instance.get();
  }
  if (first != nullptr) first->host->EndZem(zem_main_);
}

// The "ShutDown !" line is the threads' last word, but they still have to
// leave the module's code before it can be unloaded.
bool Session::WaitForDriverThreadsToExit() {
  return WaitWatching([this] { return CountThreads() <= thread_baseline_; }, kThreadExitWait,
                      kThreadExitStep);
}

bool Session::WaitWatching(const std::function<bool()> &done, std::optional<Millis> limit,
                           Millis step) {
  const auto deadline = SteadyClock::now() + limit.value_or(Millis(0));
  while (!done()) {
    if (limit && SteadyClock::now() >= deadline) return false;
    int key = 0;
    if (console_.Wait(step, &key) == Console::Event::kStop) OnStopRequest();
  }
  return true;
}

// The first request ends the run by its shutdown; one more while that runs,
// at least a second after the first, ends the process. One that comes sooner
// is the same stop delivered again.
void Session::OnStopRequest() {
  const auto now = SteadyClock::now();
  if (!first_stop_) {
    first_stop_ = now;
    hub_.Report(0, Notice{"stop requested"});
    return;
  }
  if (now - *first_stop_ >= kSecondStopAfter) EndAtOnce();
}

// The driver may still be inside a call on a poll thread, so nothing of it is
// touched: the process ends as it stands, saying which instances were busy.
void Session::EndAtOnce() {
  std::string busy;
  for (const auto &instance : instances_) {
    const char *call = instance->poller ? instance->poller->DriverCall() : nullptr;
    if (call == nullptr) continue;
    busy += (busy.empty() ? "" : ", ") + std::string("instance ") +
            std::to_string(instance->number) + " (" + call + " on " + instance->port_name + ")";
  }
  out_.Finish(kLastOutputWait);
  SayOnStandardError("stopped at once, without the driver's shutdown; " +
                     (busy.empty() ? std::string("no instance was inside a driver call")
                                   : "still inside a driver call: " + busy));
  EndProcessAtOnce(128 + console_.StopSignal());
}

}  // namespace zemhost
