// zemhost: a host for the VUZOV driver module on the bench. It loads the module
// as a SCADA host does, provides the host runtime library, starts one driver
// instance per line, polls the panel from one thread per instance and shows
// what the panel reports.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cp437.h"
#include "driver_calls.h"
#include "events.h"
#include "host_interface.h"
#include "live_screen.h"
#include "module_loader.h"
#include "mqtt_gateway.h"
#include "options.h"
#include "platform.h"
#include "qarpro.h"
#include "simulated_panel.h"

namespace zemhost {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitModule = 3;
constexpr int kExitPort = 4;
constexpr int kExitBroker = 5;

constexpr std::chrono::milliseconds kShutdownWait{5000};
constexpr std::chrono::milliseconds kThreadExitWait{3000};
constexpr double kRedrawSeconds = 0.1;  // at most ten frames a second
constexpr int kDefaultZones = 255;

using Exit = std::optional<int>;

struct Point {
  std::string address;
  int panel = 0;  // as the driver read it from the address
};

struct TimedSend {
  Point point;
  Millis at{};
};

// One configured instance while the run lasts. The main thread owns it; the
// poll thread touches only the driver calls and the command queue.
struct InstanceRun {
  InstanceConfig config;
  int number = 0;
  vuzov::LineSettings line{};
  std::vector<Point> points;
  std::vector<Point> sends_now;
  std::vector<TimedSend> sends_later;
  std::unique_ptr<SimulatedPanel> panel;
  std::unique_ptr<LineRelay> relay;
  std::string port_name;  // what the driver opens
  std::string description;
  std::unique_ptr<HostInstance> host;
  bool started = false;

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Point> commands;
  bool stop = false;
  std::atomic<bool> polls_done{false};
  std::atomic<int> commands_outstanding{0};
  std::thread thread;
};

void OnLogLine(void *user, std::int32_t level, const char *line) {
  static_cast<Hub *>(user)->LogLine(level, line);
}

void OnGateStore(void *user, std::uint8_t, std::uint32_t, const char *name, double value) {
  static_cast<Hub *>(user)->GateStored(name, value);
}

// The host runtime's sinks point at the hub while this lives.
class SinkBinding {
 public:
  explicit SinkBinding(Hub *hub) {
    QarHostSetLogSink(&OnLogLine, hub);
    QarHostSetGateSink(&OnGateStore, hub);
  }
  ~SinkBinding() {
    QarHostSetGateSink(nullptr, nullptr);
    QarHostSetLogSink(nullptr, nullptr);
  }
  SinkBinding(const SinkBinding &) = delete;
  SinkBinding &operator=(const SinkBinding &) = delete;
};

std::string FramingName(const vuzov::LineSettings &line) {
  static const char parity_letters[] = "NOEMS";
  static const char *const stop_names[] = {"1", "1.5", "2"};
  const unsigned bits = line.data_bits & 0xFF;
  const unsigned parity = line.parity & 0xFF;
  const unsigned stop = line.stop_bits & 0xFF;
  std::string text = std::to_string(bits);
  text += parity < 5 ? parity_letters[parity] : '?';
  text += stop < 3 ? stop_names[stop] : "?";
  return text;
}

std::string JoinAddresses(const std::vector<Point> &points) {
  std::string out;
  for (const Point &point : points) out += (out.empty() ? "" : " ") + point.address;
  return out;
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    if (!line.empty()) lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

class Session {
 public:
  Session(const RunConfig &config, Console &console, Hub &hub, ZemMainFn zem_main)
      : config_(config), console_(console), hub_(hub), zem_main_(zem_main) {}
  ~Session() { StopPolling(); }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // The whole run; the exit status.
  int Run() {
    Exit exit = Prepare();
    if (exit) return *exit;
    exit = StartInstances();
    if (!exit) exit = Loop();
    const int shutdown = Shutdown();
    return *exit != kExitOk ? *exit : shutdown;
  }

  // Commands asked for from outside (the broker), picked up by the loop.
  void SetCommandSource(CommandSource *source) { remote_ = source; }

  // False when a driver thread may still be running inside the module.
  bool SafeToUnload() const { return safe_to_unload_; }

 private:
  bool Screen() const { return hub_.format() == Format::kScreen; }

  // Shows the driver's log lines since `mark` where the run's output does
  // not already show them, then the message.
  void Fail(std::size_t mark, const std::string &message) {
    if (Screen()) {
      for (const std::string &line : hub_.LogLinesSince(mark)) {
        std::fprintf(stderr, "  %s\n", Cp437ToUtf8(line).c_str());
      }
    }
    std::fprintf(stderr, "zemhost: %s\n", message.c_str());
  }

  Exit Prepare() {
    if (Exit exit = ReadDriverInfo()) return exit;
    for (std::size_t i = 0; i < config_.instances.size(); ++i) {
      auto run = std::make_unique<InstanceRun>();
      run->config = config_.instances[i];
      run->number = static_cast<int>(i) + 1;
      run->line = ResolveLine(run->config);
      instances_.push_back(std::move(run));
    }
    if (Exit exit = CheckAddresses()) return exit;
    if (Exit exit = SetUpGates()) return exit;
    for (auto &run : instances_) {
      if (Exit exit = OpenLine(*run)) return exit;
    }
    ShowInstances();
    return std::nullopt;
  }

  Exit ReadDriverInfo() {
    vuzov::DriverInfo info{};
    const std::uint32_t result = GetZemInfo(zem_main_, &info);
    if (result != vuzov::kOk) {
      std::fprintf(stderr, "zemhost: the driver's GetZemInfo returned %u\n", result);
      return kExitModule;
    }
    driver_name_ = info.name ? info.name : "";
    banner_ = info.banner ? info.banner : "";
    state_size_ = info.state_size;
    defaults_ = info.line;
    const std::string banner = Cp437ToUtf8(banner_);
    header_.banner = SplitLines(banner);
    header_.driver_name = Cp437ToUtf8(driver_name_);
    const std::string framing = FramingName(defaults_);
    const unsigned baud = defaults_.baud;
    if (hub_.format() == Format::kLines) {
      std::printf("%s\n\n", banner.c_str());
      std::printf("driver      \"%s\"\n", header_.driver_name.c_str());
      std::printf("state size  %u bytes\n", state_size_);
      std::printf("defaults    %u baud, %s\n", baud, framing.c_str());
      std::fflush(stdout);
    }
    hub_.RawJson("{\"event\":\"driver\",\"name\":" + JsonString(driver_name_) +
                 ",\"banner\":" + JsonString(banner_) +
                 ",\"state_size\":" + std::to_string(state_size_) +
                 ",\"baud\":" + std::to_string(baud) + ",\"framing\":\"" + framing + "\"}");
    return std::nullopt;
  }

  vuzov::LineSettings ResolveLine(const InstanceConfig &instance) const {
    vuzov::LineSettings line = defaults_;
    if (instance.baud) line.baud = *instance.baud;
    if (instance.data_bits) line.data_bits = *instance.data_bits;
    if (instance.stop_bits) line.stop_bits = *instance.stop_bits;
    if (instance.parity) line.parity = *instance.parity;
    return line;
  }

  // Every address goes through the driver's own check (command 3) before
  // anything starts; the panel number it reads names the point's gates.
  Exit CheckAddresses() {
    for (auto &run : instances_) {
      std::vector<std::string> addresses = PointsOf(run->config);
      for (const ScheduledSend &send : run->config.sends) addresses.push_back(send.address);
      std::size_t send_index = 0;
      const std::size_t point_count = addresses.size() - run->config.sends.size();
      for (std::size_t i = 0; i < addresses.size(); ++i) {
        const std::size_t mark = hub_.LogLineCount();
        int panel = 0;
        if (CheckAddress(zem_main_, addresses[i], &panel) != vuzov::kOk) {
          Fail(mark, "instance " + std::to_string(run->number) + " (" + run->config.origin +
                         "): the driver rejects the point address '" + addresses[i] + "'");
          return kExitUsage;
        }
        const Point point{addresses[i], panel};
        if (i < point_count) {
          run->points.push_back(point);
          continue;
        }
        const ScheduledSend &send = run->config.sends[send_index++];
        if (send.at) {
          run->sends_later.push_back(TimedSend{point, *send.at});
        } else {
          run->sends_now.push_back(point);
        }
      }
    }
    return std::nullopt;
  }

  Exit SetUpGates() {
    if (config_.discover) {
      QarHostSetDiscovery(1);
      gates_text_ = "discovery: every gate the driver asks for";
    } else if (!config_.gates_path.empty()) {
      const std::int32_t added = QarHostLoadGates(config_.gates_path.c_str());
      if (added < 0) {
        std::fprintf(stderr, "zemhost: cannot read the gate list %s\n", config_.gates_path.c_str());
        return kExitUsage;
      }
      gates_text_ = std::to_string(added) + " from " + config_.gates_path;
    } else {
      std::set<int> panels;
      for (const auto &run : instances_) {
        for (const Point &point : run->points) panels.insert(point.panel);
      }
      for (int panel : panels) {
        const std::string prefix = "CP" + std::to_string(panel);
        QarHostAddGate((prefix + "MS").c_str());
        QarHostAddGate((prefix + "ST").c_str());
        for (int zone = 1; zone <= kDefaultZones; ++zone) {
          QarHostAddGate((prefix + "Z" + std::to_string(zone)).c_str());
        }
        gates_text_ += (gates_text_.empty() ? "" : ", ") + prefix + "MS, " + prefix + "ST, " +
                       prefix + "Z1.." + prefix + "Z" + std::to_string(kDefaultZones);
      }
    }
    return std::nullopt;
  }

  Exit OpenLine(InstanceRun &run) {
    const int number = run.number;
    Hub *hub = &hub_;
    std::string error;
    if (!run.config.simulate.empty()) {
      PanelTrace trace;
      if (config_.trace) {
        trace.frame = [hub, number](bool from_driver, const std::vector<std::uint8_t> &bytes) {
          hub->Trace(number, from_driver, bytes);
        };
        trace.note = [hub, number](const std::string &note) { hub->TraceNote(number, note); };
      }
      SimulatedPanel::Failure failure = SimulatedPanel::Failure::kNone;
      run.panel = SimulatedPanel::Start(run.config.simulate, run.line.baud, trace, &error, &failure);
      if (!run.panel) {
        std::fprintf(stderr, "zemhost: %s\n", error.c_str());
        return failure == SimulatedPanel::Failure::kBadScenario ? kExitUsage : kExitPort;
      }
      run.port_name = run.panel->PortName();
      run.description = run.port_name + " (simulated panel: " + run.config.simulate + ")";
    } else if (config_.trace) {
      run.relay = LineRelay::Open(
          run.config.port, run.line,
          [hub, number](bool from_driver, const std::vector<std::uint8_t> &bytes) {
            hub->Trace(number, from_driver, bytes);
          },
          &error);
      if (!run.relay) {
        std::fprintf(stderr, "zemhost: instance %d: %s\n", number, error.c_str());
        return kExitPort;
      }
      run.port_name = run.relay->PortName();
      run.description = run.config.port + " (relayed through " + run.port_name + ")";
    } else {
      run.port_name = run.config.port;
      run.description = run.port_name;
    }
    return std::nullopt;
  }

  void ShowInstances() {
    for (const auto &run : instances_) {
      char flags[8];
      std::snprintf(flags, sizeof flags, "%04X", static_cast<unsigned>(run->config.flags));
      const unsigned baud = run->line.baud;
      const std::string text = run->description + ", " + std::to_string(baud) + " baud " +
                               FramingName(run->line) + ", timeout " +
                               std::to_string(run->config.timeout * 10) + " ms, flags 0x" + flags +
                               ", points " + JoinAddresses(run->points);
      hub_.AddInstance(run->number, run->description);
      if (hub_.format() == Format::kLines) {
        std::printf("instance %d  %s\n", run->number, text.c_str());
      }
      hub_.RawJson("{\"event\":\"instance\",\"instance\":" + std::to_string(run->number) +
                   ",\"port\":" + JsonString(run->port_name) +
                   ",\"description\":" + JsonString(text) + "}");
    }
    if (hub_.format() == Format::kLines) {
      std::printf("gates       %s\n\n", gates_text_.c_str());
      std::fflush(stdout);
    }
  }

  Exit StartInstances() {
    thread_baseline_ = CountThreads();
    for (auto &run : instances_) {
      run->host = std::make_unique<HostInstance>(run->number, state_size_, run->config.flags);
      const std::size_t mark = hub_.LogLineCount();
      const std::uint32_t result =
          run->host->ColdStart(zem_main_, run->port_name, run->config.timeout, run->line);
      if (result == vuzov::kOk) {
        run->started = true;
        continue;
      }
      if (result == vuzov::kNotPossible) {
        Fail(mark, "instance " + std::to_string(run->number) + ": the port " + run->description +
                       " did not open (ColdStart returned 1)");
        return kExitPort;
      }
      Fail(mark, "instance " + std::to_string(run->number) + ": ColdStart returned " +
                     std::to_string(result));
      return kExitFailure;
    }
    send_only_ = !config_.polls && !config_.run_for;
    bool any_send = false;
    for (auto &run : instances_) {
      any_send = any_send || !run->sends_now.empty() || !run->sends_later.empty();
    }
    send_only_ = send_only_ && any_send;
    for (auto &run : instances_) {
      for (const Point &point : run->sends_now) Queue(*run, point);
      InstanceRun *raw = run.get();
      run->thread = std::thread([this, raw] { Poll(*raw); });
    }
    return std::nullopt;
  }

  void Queue(InstanceRun &run, const Point &point) {
    run.commands_outstanding.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(run.mutex);
      run.commands.push_back(point);
    }
    run.wake.notify_all();
  }

  // The instance's own host thread: commands first, then one point per
  // interval, in turn.
  void Poll(InstanceRun &run) {
    auto next_poll = SteadyClock::now();
    std::size_t point_index = 0;
    std::uint64_t polls = 0;
    int failed_in_row = 0;
    for (;;) {
      std::optional<Point> command;
      {
        std::unique_lock<std::mutex> lock(run.mutex);
        const auto ready = [&] { return run.stop || !run.commands.empty(); };
        if (!send_only_ && !run.polls_done) {
          run.wake.wait_until(lock, next_poll, ready);
        } else {
          run.wake.wait(lock, ready);
        }
        if (run.stop) return;
        if (!run.commands.empty()) {
          command = run.commands.front();
          run.commands.pop_front();
        }
      }
      if (command) {
        bool acknowledged = false;
        const std::uint32_t result =
            run.host->Write(zem_main_, command->address, command->panel, &acknowledged);
        hub_.Command(run.number, command->address, result, acknowledged);
        run.commands_outstanding.fetch_sub(1);
        continue;
      }
      const auto now = SteadyClock::now();
      if (now < next_poll) continue;
      const Point &point = run.points[point_index++ % run.points.size()];
      std::int32_t value = 0;
      const std::uint32_t result = run.host->Read(zem_main_, point.address, point.panel, &value);
      hub_.Exchange(run.number, point.address, result, value);
      failed_in_row = result == vuzov::kOk ? 0 : failed_in_row + 1;
      if (config_.reopen_after > 0 && failed_in_row >= config_.reopen_after) {
        Reopen(run, failed_in_row);
        failed_in_row = 0;
      }
      next_poll = std::max(next_poll + config_.interval, SteadyClock::now());
      if (config_.polls && ++polls >= *config_.polls) run.polls_done = true;
    }
  }

  // A line that stopped answering: close and reopen the port, as a host does
  // after an unplugged adapter. The reopen applies the state's DTR/RTS flags.
  void Reopen(InstanceRun &run, int failed) {
    hub_.Notice("instance " + std::to_string(run.number) + ": " + std::to_string(failed) +
                " failed polls in a row; reopening " + run.port_name);
    run.host->CloseCom(zem_main_);
    const std::uint32_t result = run.host->ReOpenCom(zem_main_);
    if (result != vuzov::kOk) {
      hub_.Notice("instance " + std::to_string(run.number) + ": ReOpenCom returned " +
                  std::to_string(result));
    }
  }

  void SendTo(InstanceRun &run, char kind) {
    if (!run.started) return;
    Queue(run, Point{"CP" + std::to_string(run.config.panel) + kind + "!", run.config.panel});
  }

  void SendToAll(char kind) {
    for (auto &run : instances_) SendTo(*run, kind);
  }

  void DispatchRemoteCommands() {
    if (remote_ == nullptr) return;
    for (const RemoteCommand &command : remote_->TakeCommands()) {
      for (auto &run : instances_) {
        if (run->number == command.instance) SendTo(*run, command.kind);
      }
    }
  }

  void DispatchDueSends() {
    const Millis now = std::chrono::duration_cast<Millis>(
        std::chrono::duration<double>(hub_.Now()));
    for (auto &run : instances_) {
      auto &later = run->sends_later;
      for (auto it = later.begin(); it != later.end();) {
        if (it->at <= now) {
          Queue(*run, it->point);
          it = later.erase(it);
        } else {
          ++it;
        }
      }
    }
  }

  bool Finished() const {
    bool all_done = true;
    for (const auto &run : instances_) {
      if (run->commands_outstanding.load() > 0) return false;
      if (send_only_) {
        if (!run->sends_later.empty()) return false;
      } else {
        all_done = all_done && run->polls_done.load();
      }
    }
    return send_only_ || (config_.polls && all_done);
  }

  void Draw() {
    int rows = 0;
    int cols = 0;
    TerminalSize(&rows, &cols);
    const Snapshot snapshot = hub_.Take();
    hub_.ClearChanged();
    const std::string frame = RenderScreen(header_, snapshot, rows, cols);
    std::fwrite(frame.data(), 1, frame.size(), stdout);
    std::fflush(stdout);
  }

  Exit Loop() {
    double last_draw = -1;
    if (Screen()) {
      console_.StartKeys();
      std::fputs(ScreenBegin().c_str(), stdout);
      drawing_ = true;
    }
    for (;;) {
      int key = 0;
      const Console::Event event = console_.Wait(Millis(50), &key);
      if (event == Console::Event::kStop) {
        hub_.Notice("stop requested");
        break;
      }
      if (event == Console::Event::kKey) {
        if (key == 'q' || key == 'Q') break;
        if (key == 'a' || key == 'A') SendToAll('A');
        if (key == 's' || key == 'S') SendToAll('S');
        if (key == 'r' || key == 'R') SendToAll('R');
      }
      DispatchDueSends();
      DispatchRemoteCommands();
      if (config_.run_for && hub_.Now() * 1000.0 >= static_cast<double>(config_.run_for->count())) {
        break;
      }
      if (Finished()) break;
      if (Screen() && hub_.Now() - last_draw >= kRedrawSeconds && hub_.Changed()) {
        Draw();
        last_draw = hub_.Now();
      }
    }
    console_.StopKeys();
    if (send_only_ && hub_.CommandsAcknowledged() < hub_.CommandsSent()) return kExitFailure;
    return kExitOk;
  }

  void StopPolling() {
    for (auto &run : instances_) {
      {
        std::lock_guard<std::mutex> lock(run->mutex);
        run->stop = true;
      }
      run->wake.notify_all();
      if (run->thread.joinable()) run->thread.join();
    }
  }

  // Stop polling, let the driver's waiting threads end, close every port, end
  // the driver; after this the module may be unloaded.
  int Shutdown() {
    StopPolling();
    int started = 0;
    for (const auto &run : instances_) started += run->started ? 1 : 0;
    int status = kExitOk;
    if (started > 0) {
      QarHostPostAll();
      if (!hub_.WaitForShutdowns(started, kShutdownWait)) {
        hub_.Notice("the driver's waiting threads did not end");
        safe_to_unload_ = false;
        status = kExitFailure;
      }
    }
    InstanceRun *first = nullptr;
    for (auto &run : instances_) {
      if (!run->host) continue;
      // EndZem closes only its own instance's port: close every one first.
      run->host->CloseCom(zem_main_);
      if (first == nullptr) first = run.get();
    }
    if (first != nullptr) first->host->EndZem(zem_main_);
    if (safe_to_unload_ && !WaitForDriverThreadsToExit()) {
      hub_.Notice("a driver thread is still running; the module stays loaded");
      safe_to_unload_ = false;
      status = kExitFailure;
    }
    if (Screen() && drawing_) {
      Draw();  // the last frame shows the shutdown's log lines
      std::fputs(ScreenEnd().c_str(), stdout);
      std::fflush(stdout);
    }
    Summarise();
    return status;
  }

  // The "ShutDown !" line is the threads' last word, but they still have to
  // leave the module's code before it can be unloaded.
  bool WaitForDriverThreadsToExit() {
    const auto deadline = SteadyClock::now() + kThreadExitWait;
    while (CountThreads() > thread_baseline_) {
      if (SteadyClock::now() >= deadline) return false;
      std::this_thread::sleep_for(Millis(5));
    }
    return true;
  }

  void Summarise() {
    const Snapshot snapshot = hub_.Take();
    std::uint64_t exchanges = 0;
    std::uint64_t failures = 0;
    for (const InstanceStatus &status : snapshot.instances) {
      exchanges += status.exchanges;
      failures += status.failures;
    }
    const std::uint64_t sent = hub_.CommandsSent();
    const std::uint64_t acknowledged = hub_.CommandsAcknowledged();
    if (hub_.format() == Format::kJson) {
      hub_.RawJson("{\"event\":\"end\",\"t\":" + FormatValue(hub_.Now()) +
                   ",\"exchanges\":" + std::to_string(exchanges) +
                   ",\"failures\":" + std::to_string(failures) +
                   ",\"commands\":" + std::to_string(sent) +
                   ",\"acknowledged\":" + std::to_string(acknowledged) + "}");
      return;
    }
    const std::string text = std::to_string(exchanges) + " exchanges, " +
                             std::to_string(failures) + " failed; " + std::to_string(sent) +
                             " commands, " + std::to_string(acknowledged) + " acknowledged";
    if (Screen()) {
      std::printf("zemhost: %s\n", text.c_str());
      std::fflush(stdout);
    } else {
      hub_.Notice(text);
    }
  }

  const RunConfig &config_;
  Console &console_;
  Hub &hub_;
  const ZemMainFn zem_main_;

  std::string driver_name_;
  std::string banner_;
  std::uint32_t state_size_ = 0;
  vuzov::LineSettings defaults_{};
  ScreenHeader header_;
  std::string gates_text_;
  std::vector<std::unique_ptr<InstanceRun>> instances_;
  std::size_t thread_baseline_ = 0;
  bool send_only_ = false;
  bool drawing_ = false;  // the live screen has begun
  bool safe_to_unload_ = true;
  CommandSource *remote_ = nullptr;
};

std::string DefaultModulePath(const char *argv0) {
  const std::string self = argv0 ? argv0 : "";
  const auto slash = self.find_last_of("/\\");
  const std::string dir = slash == std::string::npos ? std::string(".") : self.substr(0, slash);
  return dir + "/" + vuzov_loader::ModuleFileName();
}

int RunHost(const RunConfig &config, const std::string &default_module) {
  std::string error;
  const std::unique_ptr<Console> console = Console::Open(&error);
  if (!console) {
    std::fprintf(stderr, "zemhost: %s\n", error.c_str());
    return kExitFailure;
  }
  Format format = Format::kLines;
  if (config.output == OutputMode::kJson) {
    format = Format::kJson;
  } else if (config.output == OutputMode::kAuto && StdoutIsTerminal()) {
    format = Format::kScreen;
    PrepareTerminalOutput();
  }
  Hub hub(format, stdout, SteadyClock::now());
  const std::string path = config.module_path.empty() ? default_module : config.module_path;
  auto module = std::make_unique<vuzov_loader::LoadedModule>(
      vuzov_loader::LoadedModule::Load(path, &error));
  if (!*module) {
    std::fprintf(stderr, "zemhost: cannot load the driver module %s: %s\n", path.c_str(),
                 error.c_str());
    return kExitModule;
  }
  std::unique_ptr<MqttGateway> gateway;
  if (config.mqtt.enabled()) {
    std::vector<int> numbers;
    for (std::size_t i = 0; i < config.instances.size(); ++i) numbers.push_back(static_cast<int>(i) + 1);
    gateway = MqttGateway::Start(
        config.mqtt, numbers, [&hub](const std::string &text) { hub.Notice(text); }, &error);
    if (!gateway) {
      std::fprintf(stderr, "zemhost: %s\n", error.c_str());
      return kExitBroker;
    }
  }
  SinkBinding sinks(&hub);
  Session session(config, *console, hub, module->Entry());
  hub.SetListener(gateway.get());
  session.SetCommandSource(gateway.get());
  const int status = session.Run();
  hub.SetListener(nullptr);
  if (gateway) gateway->Stop();
  if (!session.SafeToUnload()) {
    // Unloading code a thread still runs would crash the process: leave it.
    static_cast<void>(module.release());
    std::fprintf(stderr, "zemhost: the driver did not shut down cleanly\n");
    return kExitFailure;
  }
  module->Unload();
  return status;
}

int Main(int argc, char **argv) {
  RunConfig config;
  std::string error;
  if (!ParseCommandLine(argc, argv, &config, &error)) {
    std::fprintf(stderr, "zemhost: %s\n", error.c_str());
    return kExitUsage;
  }
  if (config.help) {
    PrintHelp(stdout, vuzov_loader::ModuleFileName());
    return kExitOk;
  }
  if (config.selfcheck) {
    // A sanitizer runtime starts a helper thread of its own with the first
    // thread a program creates; let it start before the count is taken.
    std::thread([] {}).join();
  }
  const std::size_t handles_at_start = CountOpenHandles();
  const std::size_t threads_at_start = CountThreads();
  int status = RunHost(config, DefaultModulePath(argc > 0 ? argv[0] : nullptr));
  if (config.selfcheck) {
    const std::size_t handles = CountOpenHandles();
    const std::size_t threads = CountThreads();
    if (handles > handles_at_start || threads > threads_at_start) {
      std::fprintf(stderr, "zemhost: selfcheck: %zu descriptors and %zu threads left behind\n",
                   handles - std::min(handles, handles_at_start),
                   threads - std::min(threads, threads_at_start));
      status = kExitFailure;
    } else {
      std::fprintf(stderr, "zemhost: selfcheck: no descriptor or thread left behind\n");
    }
  }
  return status;
}

}  // namespace
}  // namespace zemhost

int main(int argc, char **argv) {
  try {
    return zemhost::Main(argc, argv);
  } catch (const std::exception &failure) {
    std::fprintf(stderr, "zemhost: %s\n", failure.what());
  } catch (...) {
    std::fprintf(stderr, "zemhost: unexpected failure\n");
  }
  return 1;
}
