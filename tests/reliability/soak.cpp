// vuzov_soak: many exchanges against panel simulators that inject random faults
// from the fault matrix, several driver instances at once, each on a thread of
// its own as a host drives them.
//
//   vuzov_soak [--exchanges N] [--instances K] [--fault-percent P] [--seed S]
//              [--settle-seconds T] [--busy-loops B] [--realtime-priority R]
//              [--max-seconds M] [--miswire]
//
// Every instance is started with ColdStart on a simulator's line, then runs its
// share of the N exchanges: polls, and now and then a panel command. Its panel
// queues a zone alarm every few polls, and before an exchange a random fault is
// armed with probability P percent: silence, garbage, a short, overlong or
// dribbled frame (each spoilt reply followed by a quiet longer than the read
// timeout), a hang-up with the line coming back, a command answered by
// garbage or not at all. A host reopens its port (CloseCom, ReOpenCom) after a
// failed exchange, as often as it takes for five seconds. Then, with no more
// faults, each instance polls until its panel has nothing left, for T seconds
// at most (default 20).
//
// Each panel's zones are its own (panel p's from p x 1,000, or a wider stride
// for longer runs), so an alarm one host acknowledged on another's panel is
// both lost and a zone no panel reported, and is counted as misattributed.
// The hosts open their panels through links in a directory the run owns and
// holds locked (/tmp/vsXY/1 ...); links of runs that died are swept first.
// The panels' line threads run at the real-time priority R (default 10; 0 for
// none), as a panel's own hardware keeps its pacing on a busy host PC; where
// the system refuses it the soak says so and runs without. --busy-loops B
// keeps B threads spinning beside the hosts for the whole run, so the hosts
// share the cores with a busy machine. --miswire has hosts 1 and 2 open each
// other's panels, as a site whose port names swapped (its run must fail).
//
// Printed, line by line as it goes: the links, the panels' priority, each
// instance's end; then open descriptors, threads and resident memory at the
// start and at the end, every exchange's result, the faults applied, the alarms
// queued, delivered and lost, the messages each panel still held when settling
// ended, zones stored that no panel reported (each named), and alarms stored
// under another panel. The host creates a gate for every name the driver asks
// for, so no zone a garbled reply might invent goes unseen. Each lost alarm
// comes with its panel's trace around the ACK that retired it.
// It fails (exit 1) unless every exchange ended with 0, 1 or 2, every result is
// counted, every queued alarm reached its gate, no zone was stored that no
// panel reported, every instance's thread shut down, and descriptors and
// threads are back where they started; and when the run takes longer than M
// seconds (default 600), for want of exchanges.
// VUZOV_SOAK_TRACE=PREFIX writes each panel's trace to PREFIX.<instance>.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "encoding.h"
#include "dispatch.h"
#include "peer_line.h"
#include "qarpro.h"
#include "scenario.h"
#include "simulator.h"
#include "soak_frames.h"
#include "soak_links.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kTimeoutUnits = 2;  // 20 ms a byte
constexpr unsigned kBaud = 38400;
constexpr int kPollsPerAlarm = 8;
constexpr int kExchangesPerCommand = 16;
constexpr auto kReopenFor = 5s;  // a host retries its port this long after a failure
// The quiet a panel keeps after a reply spoilt by a fault, longer than the
// host's read timeout, as after a dribbled one.
constexpr std::chrono::milliseconds kQuietAfterSpoilt{kTimeoutUnits * 10 + 10};
constexpr int kZoneStride = 1000;
const std::string kShutDown = "ZODODA> ShutDown !";
const std::string kLinkParent = "/tmp";

struct Settings {
  long exchanges = 5000;
  int instances = 4;
  int fault_percent = 10;
  unsigned seed = 1;
  int settle_seconds = 20;
  int busy_loops = 0;
  int realtime_priority = 10;
  int max_seconds = 600;
  bool miswire = false;
};

bool ParseNumber(const char *text, long low, long high, long *out) {
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < low || value > high) return false;
  *out = value;
  return true;
}

bool ParseArguments(int argc, char **argv, Settings *settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--miswire") {
      settings->miswire = true;
      continue;
    }
    long value = 0;
    if (i + 1 >= argc) return false;
    const char *text = argv[++i];
    if (name == "--exchanges" && ParseNumber(text, 1, 100'000'000, &value)) {
      settings->exchanges = value;
    } else if (name == "--instances" && ParseNumber(text, 1, vuzov_soak::kMostLinks, &value)) {
      settings->instances = static_cast<int>(value);
    } else if (name == "--fault-percent" && ParseNumber(text, 0, 100, &value)) {
      settings->fault_percent = static_cast<int>(value);
    } else if (name == "--seed" && ParseNumber(text, 0, 4'000'000'000L, &value)) {
      settings->seed = static_cast<unsigned>(value);
    } else if (name == "--settle-seconds" && ParseNumber(text, 0, 3600, &value)) {
      settings->settle_seconds = static_cast<int>(value);
    } else if (name == "--busy-loops" && ParseNumber(text, 0, 64, &value)) {
      settings->busy_loops = static_cast<int>(value);
    } else if (name == "--realtime-priority" && ParseNumber(text, 0, 99, &value)) {
      settings->realtime_priority = static_cast<int>(value);
    } else if (name == "--max-seconds" && ParseNumber(text, 1, 86'400, &value)) {
      settings->max_seconds = static_cast<int>(value);
    } else {
      return false;
    }
  }
  return !settings->miswire || settings->instances >= 2;
}

long StatusField(const char *field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

struct Snapshot {
  std::size_t descriptors;
  long threads;
  long resident_kib;
};

Snapshot Take() {
  return Snapshot{vuzov_test::OpenHandleCount(), StatusField("Threads"), StatusField("VmRSS")};
}

// Each panel reports zones of its own: panel p from p x stride + 1. The stride
// is a round thousand that holds one panel's alarms, and the highest zone must
// stay a number the link can carry.
struct ZonePlan {
  int stride = kZoneStride;
  long alarms_per_panel = 0;

  static bool For(const Settings &settings, ZonePlan *out) {
    const long share = (settings.exchanges + settings.instances - 1) / settings.instances;
    out->alarms_per_panel = (share + kPollsPerAlarm - 1) / kPollsPerAlarm;
    const long stride = (out->alarms_per_panel / kZoneStride + 1) * kZoneStride;
    if (settings.instances * stride + out->alarms_per_panel > panelsim::kMaxNumber) return false;
    out->stride = static_cast<int>(stride);
    return true;
  }
  int FirstZone(int panel) const { return panel * stride + 1; }
  // The panel whose alarm `zone` would be, or 0.
  int PanelOf(int zone, int panels) const {
    const int panel = zone / stride;
    const int index = zone - panel * stride;
    return panel >= 1 && panel <= panels && index >= 1 && index <= alarms_per_panel ? panel : 0;
  }
};

std::string ZoneGate(int panel, int zone) {
  return "CP" + std::to_string(panel) + "Z" + std::to_string(zone);
}

// "CP<panel>Z<zone>" and nothing more: a zone gate (not an element's).
bool ParseZoneGate(const std::string &name, int *panel, int *zone) {
  char tail = 0;
  return std::sscanf(name.c_str(), "CP%dZ%d%c", panel, zone, &tail) == 2;
}

// The frame log of the instance whose host runs on this thread, if any: the
// driver's stores and log lines go there beside its panel's frames.
thread_local vuzov_soak::FrameLog *t_host_log = nullptr;

// What the host saw: zone stores per panel, log lines, shut-down threads.
class HostRecord {
 public:
  static void OnStore(void *user, std::uint8_t, std::uint32_t, const char *name, double value) {
    if (t_host_log != nullptr) {
      char text[96];
      std::snprintf(text, sizeof text, "stores %s = %g", name, value);
      t_host_log->AddHost(text);
    }
    auto *self = static_cast<HostRecord *>(user);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->stores_ += 1;
    if (value == 1.0) self->zones_.insert(name);
  }
  static void OnLog(void *user, std::int32_t, const char *line) {
    if (t_host_log != nullptr) t_host_log->AddHost(std::string("log: ") + line);
    auto *self = static_cast<HostRecord *>(user);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_ += 1;
    if (kShutDown == line) self->shut_down_ += 1;
  }
  bool Stored(const std::string &zone) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return zones_.count(zone) != 0;
  }
  std::set<std::string> Zones() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return zones_;
  }
  long ShutDowns() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shut_down_;
  }
  long Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  long Stores() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stores_;
  }

 private:
  mutable std::mutex mutex_;
  std::set<std::string> zones_;
  long stores_ = 0;
  long lines_ = 0;
  long shut_down_ = 0;
};

struct Tally {
  long results[3] = {0, 0, 0};
  long other_results = 0;
  long reads = 0;
  long writes = 0;
  long settling_reads = 0;  // after the faults, until the panel had nothing left
  long reopens = 0;
  long reopen_failures = 0;
  long alarms_queued = 0;
  std::size_t still_queued = 0;  // by the panel, when settling ended
  std::uint64_t faults_applied = 0;
  std::uint64_t hangups = 0;
  std::vector<int> alarm_zones;
};

// Threads that keep the cores busy while the hosts run, as a loaded host PC
// does; they stop when told or at the run's deadline, whichever comes first.
class BusyLoops {
 public:
  BusyLoops(int count, Clock::time_point deadline) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this, deadline] {
        while (!stop_.load(std::memory_order_relaxed) && Clock::now() < deadline) {
        }
      });
    }
  }
  ~BusyLoops() { Stop(); }
  BusyLoops(const BusyLoops &) = delete;
  BusyLoops &operator=(const BusyLoops &) = delete;
  void Stop() {
    stop_.store(true);
    for (auto &thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// One instance of the driver with its own panel, on the calling thread.
class Instance {
 public:
  Instance(int number, unsigned seed, const ZonePlan &zones, HostRecord *record)
      : number_(number), random_(seed + 7919u * number), first_zone_(zones.FirstZone(number)),
        record_(record) {}

  // The panel, which keeps its line behind `link`.
  bool StartPanel(const std::string &link, int realtime_priority, Clock::time_point began,
                  std::string *error) {
    panelsim::Options options;
    options.baud = kBaud;
    options.link = link;
    options.realtime_priority = realtime_priority;
    simulator_ = std::make_unique<panelsim::Simulator>(panelsim::Scenario{}, options);
    frames_ = std::make_shared<vuzov_soak::FrameLog>(number_, began, Clock::now());
    std::shared_ptr<std::ofstream> file;
    if (const char *trace = std::getenv("VUZOV_SOAK_TRACE")) {
      file = std::make_shared<std::ofstream>(std::string(trace) + "." + std::to_string(number_));
    }
    simulator_->SetTrace([frames = frames_, file](const panelsim::TraceEvent &event) {
      frames->Add(event);
      if (file) *file << panelsim::FormatTrace(event) << std::endl;
    });
    return simulator_->Start(error);
  }

  // The driver's instance, on the port a host names `port`.
  bool StartHost(const std::string &port, std::string *error) {
    const HostThread here(frames_.get());
    std::memset(&state_, 0x5A, sizeof state_);
    state_.port = vuzov::PortWord{};
    state_.port_block.flags = 0;
    vuzov::StartParams start{};
    if (port.size() >= sizeof start.port_name) {
      *error = "the port name " + port + " is longer than a host's";
      return false;
    }
    std::memcpy(start.port_name, port.data(), port.size());
    start.enable = 1;
    start.timeout = kTimeoutUnits;
    start.line = vuzov::LineSettings{static_cast<std::uint16_t>(kBaud), 8, 0, 0};
    if (Call(vuzov::kColdStart, &start) != vuzov::kOk) {
      *error = "ColdStart failed on " + port;
      return false;
    }
    return true;
  }

  panelsim::Stats PanelStats() const { return simulator_->GetStats(); }

  void Run(long exchanges, int fault_percent, Clock::time_point deadline) {
    const HostThread here(frames_.get());
    const auto began = Clock::now();
    long n = 0;
    for (; n < exchanges && Clock::now() < deadline; ++n) {
      if (n % kPollsPerAlarm == 0) QueueAlarm();
      const bool command = n % kExchangesPerCommand == kExchangesPerCommand - 1;
      if (Chance(fault_percent) && PanelIdle()) ArmFault(command);
      const std::uint32_t result = command ? Write() : Read();
      Count(result);
      if (result != vuzov::kOk) Reopen();
      ForgetStoredAlarms();
    }
    std::printf("instance %d: %ld of %ld exchanges in %.1f s%s\n", number_, n, exchanges,
                Seconds(Clock::now() - began), n < exchanges ? ", out of time" : "");
  }

  // No more faults: poll until the panel has nothing left to send.
  void Settle(int seconds, Clock::time_point deadline) {
    const HostThread here(frames_.get());
    const auto began = Clock::now();
    const auto until = std::min(deadline, began + std::chrono::seconds(seconds));
    while (simulator_->GetStats().pending != 0 && Clock::now() < until) {
      const std::uint32_t result = Read();
      ++tally_.settling_reads;
      Count(result);
      if (result != vuzov::kOk) Reopen();
      ForgetStoredAlarms();
    }
    std::printf("instance %d: settled in %.1f s, %zu messages still queued\n", number_,
                Seconds(Clock::now() - began), simulator_->GetStats().pending);
  }

  void Close() {
    const HostThread here(frames_.get());
    Call(vuzov::kCloseCom, nullptr);
    const panelsim::Stats stats = simulator_->GetStats();
    tally_.faults_applied = stats.faults_applied;
    tally_.hangups = stats.hangups;
    tally_.still_queued = stats.pending;
    std::printf("panel %d: %llu messages queued, %zu still queued when settling ended\n", number_,
                static_cast<unsigned long long>(stats.messages_queued), stats.pending);
    if (stats.ended) std::printf("panel %d ended: %s\n", number_, stats.error.c_str());
    if (stats.messages_retired != stats.messages_queued) {
      std::printf("panel %d retired %llu of %llu messages\n", number_,
                  static_cast<unsigned long long>(stats.messages_retired),
                  static_cast<unsigned long long>(stats.messages_queued));
    }
    simulator_.reset();  // the panel's thread is done with the frame log
    ForgetStoredAlarms();
  }

  int number() const { return number_; }
  const Tally &GetTally() const { return tally_; }
  const vuzov_soak::FrameLog &Frames() const { return *frames_; }

 private:
  // The driver's calls on this thread, for the time being, are this host's.
  class HostThread {
   public:
    explicit HostThread(vuzov_soak::FrameLog *log) { t_host_log = log; }
    ~HostThread() { t_host_log = nullptr; }
    HostThread(const HostThread &) = delete;
    HostThread &operator=(const HostThread &) = delete;
  };

  static double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
  }

  std::uint32_t Call(std::uint32_t command, void *params) {
    vuzov::Request request{};
    request.state = &state_;
    request.command = command;
    request.instance = number_;
    request.params = params;
    return vuzov::DispatchRequest(&request);
  }

  std::uint32_t Read() {
    std::int32_t word = 0;
    vuzov::PointBlock point{};
    const std::string address = "CP1Z1";
    point.address = address.c_str();
    point.panel = number_;
    point.result = &word;
    ++tally_.reads;
    frames_->AddHost("SingleRead");
    const std::uint32_t result = Call(vuzov::kSingleRead, &point);
    frames_->AddHost("SingleRead returned " + std::to_string(result));
    return result;
  }

  std::uint32_t Write() {
    vuzov::WriteStatus status{};
    vuzov::PointBlock point{};
    static const char *const kCommands[] = {"CP1A!", "CP1R!", "CP1S!"};
    point.address = kCommands[random_() % 3];
    point.result = &status;
    ++tally_.writes;
    frames_->AddHost(std::string("SingleWrite ") + point.address);
    const std::uint32_t result = Call(vuzov::kSingleWrite, &point);
    frames_->AddHost("SingleWrite returned " + std::to_string(result) + ", acknowledged " +
                     std::to_string(status.acknowledged));
    if (status.acknowledged > 1) ++tally_.other_results;  // neither yes nor no
    return result;
  }

  void Count(std::uint32_t result) {
    if (result <= vuzov::kFailed) {
      ++tally_.results[result];
    } else {
      ++tally_.other_results;
    }
  }

  // A host whose exchange failed reopens its port, again and again while the
  // device is away, as a host does with a USB adapter that was pulled out.
  void Reopen() {
    ++tally_.reopens;
    Call(vuzov::kCloseCom, nullptr);
    const auto deadline = Clock::now() + kReopenFor;
    for (int tries = 1; Call(vuzov::kReOpenCom, nullptr) != vuzov::kOk; ++tries) {
      if (Clock::now() >= deadline) {
        frames_->AddHost("CloseCom; ReOpenCom failed " + std::to_string(tries) + " times");
        ++tally_.reopen_failures;
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
    frames_->AddHost("CloseCom; ReOpenCom returned 0");
  }

  // The host has decoded every reply it acknowledged by now: the windows of
  // the alarms it stored are no longer needed.
  void ForgetStoredAlarms() {
    frames_->ForgetStored([this](int zone) { return record_->Stored(ZoneGate(number_, zone)); });
  }

  bool Chance(int percent) { return static_cast<int>(random_() % 100) < percent; }

  void QueueAlarm() {
    const int zone = first_zone_ + static_cast<int>(tally_.alarms_queued++);
    panelsim::Message message;
    if (!panelsim::ZoneAlarmMessage(zone, panelsim::kAlarmSingle, &message, nullptr)) return;
    simulator_->Push(message, "zone-alarm " + std::to_string(zone));
    tally_.alarm_zones.push_back(zone);
  }

  // Faults come one at a time: the next is armed only once the panel has
  // applied the last and its reply is out. Faults laid over each other (a
  // frame cut short right behind a dribbled one, with the answers to commands
  // sent meanwhile after it) put answers back to back on the line, and a
  // protocol with no length, end byte or checksum has no way to tell those
  // from one frame. For the same reason a spoilt reply keeps the line quiet
  // after it: requests a busy host held up reach the panel together, and
  // their answer must not run on from it.
  bool PanelIdle() const {
    const panelsim::Stats stats = simulator_->GetStats();
    return stats.faults_waiting == 0 && !stats.replying;
  }

  void ArmFault(bool command) {
    panelsim::Fault fault;
    if (command) {
      fault.kind = Chance(50) ? panelsim::FaultKind::kCommandSilent : panelsim::FaultKind::kCommandReply;
      fault.byte = static_cast<std::uint8_t>(random_() % 256);
      simulator_->Queue(fault);
      return;
    }
    switch (random_() % 6) {
      case 0:
        fault.kind = panelsim::FaultKind::kSilent;
        fault.count = 1 + random_() % 3;
        break;
      case 1:
        fault.kind = panelsim::FaultKind::kGarbage;
        fault.count = 1 + random_() % 16;
        fault.gap = kQuietAfterSpoilt;
        break;
      case 2:
        fault.kind = panelsim::FaultKind::kShortFrame;
        fault.count = 1 + random_() % 8;
        fault.gap = kQuietAfterSpoilt;
        break;
      case 3:
        fault.kind = panelsim::FaultKind::kLongFrame;
        fault.count = 21 + random_() % 20;
        fault.gap = kQuietAfterSpoilt;
        break;
      case 4:
        fault.kind = panelsim::FaultKind::kDribble;
        fault.gap = std::chrono::milliseconds(kTimeoutUnits * 10 + 5 + random_() % 20);
        break;
      default:
        simulator_->HangUp(std::chrono::milliseconds(20 + random_() % 50));
        return;
    }
    simulator_->Queue(fault);
  }

  int number_;
  std::minstd_rand random_;
  int first_zone_;
  HostRecord *record_;
  std::unique_ptr<panelsim::Simulator> simulator_;
  std::shared_ptr<vuzov_soak::FrameLog> frames_;
  vuzov::InstanceState state_;
  Tally tally_;
};

void PrintSnapshot(const char *when, const Snapshot &s) {
  std::printf("%-6s descriptors %zu, threads %ld, resident %ld KiB\n", when, s.descriptors,
              s.threads, s.resident_kib);
}

// Says at which priority the panels' line threads run, once for all of them
// when they agree.
void PrintPanelPriority(const std::vector<std::unique_ptr<Instance>> &instances, int asked) {
  std::set<std::string> texts;
  std::vector<std::string> each;
  for (const auto &instance : instances) {
    const panelsim::Stats stats = instance->PanelStats();
    std::string text;
    if (asked == 0) {
      text = "the normal priority (no real-time priority asked for)";
    } else if (stats.realtime_priority > 0) {
      text = "real-time priority " + std::to_string(stats.realtime_priority) + " (SCHED_FIFO)";
    } else {
      text = "the normal priority: the system refused real-time priority " +
             std::to_string(asked) + " (" + stats.realtime_refused + ")";
    }
    texts.insert(text);
    each.push_back("panel " + std::to_string(instance->number()) + "'s line thread runs at " +
                   text);
  }
  if (texts.size() == 1) {
    std::printf("panels' line threads run at %s\n", texts.begin()->c_str());
    return;
  }
  for (const auto &line : each) std::printf("%s\n", line.c_str());
}

void PrintLines(const std::vector<std::string> &lines) {
  for (const auto &line : lines) std::printf("%s\n", line.c_str());
}

// What became of the alarms: those no gate of their panel holds (each with its
// panel's trace around the ACK that retired it), and those another panel's
// gate holds. Returns the lost and the misattributed.
struct Verdict {
  long lost = 0;
  long misattributed = 0;
  long false_alarms = 0;
};

Verdict Judge(const std::vector<std::unique_ptr<Instance>> &instances, const ZonePlan &zones,
              const HostRecord &record) {
  Verdict verdict;
  std::set<std::string> expected;
  std::map<int, std::string> stored_elsewhere;  // zone -> the gate that holds it
  const std::set<std::string> stored = record.Zones();
  for (const auto &name : stored) {
    int panel = 0;
    int zone = 0;
    if (!ParseZoneGate(name, &panel, &zone)) continue;
    const int owner = zones.PanelOf(zone, static_cast<int>(instances.size()));
    if (owner != 0 && owner != panel) stored_elsewhere[zone] = name;
  }
  for (const auto &instance : instances) {
    const int number = instance->number();
    bool told_last_lines = false;
    for (int zone : instance->GetTally().alarm_zones) {
      const std::string gate = ZoneGate(number, zone);
      expected.insert(gate);
      if (stored.count(gate) != 0) continue;
      ++verdict.lost;
      std::printf("alarm never stored: %s\n", gate.c_str());
      const auto elsewhere = stored_elsewhere.find(zone);
      if (elsewhere != stored_elsewhere.end()) {
        std::printf("  stored instead under another panel's gate: %s\n", elsewhere->second.c_str());
      }
      const std::vector<std::string> window = instance->Frames().Window(zone);
      if (!window.empty()) {
        std::printf("  panel %d's line around the ACK that retired it (seconds since the soak "
                    "began):\n", number);
        PrintLines(window);
      } else if (!told_last_lines) {
        std::printf("  never retired; panel %d's line last carried:\n", number);
        PrintLines(instance->Frames().Last(vuzov_soak::FrameLog::kBefore));
        told_last_lines = true;
      } else {
        std::printf("  never retired\n");
      }
    }
  }
  for (const auto &name : stored) {
    if (name.find('Z') == std::string::npos || name.find('E') != std::string::npos ||
        expected.count(name) != 0) {
      continue;
    }
    std::printf("zone stored that no panel reported: %s\n", name.c_str());
    ++verdict.false_alarms;
  }
  for (const auto &entry : stored_elsewhere) {
    const int owner = zones.PanelOf(entry.first, static_cast<int>(instances.size()));
    std::printf("alarm stored under another panel: %s (panel %d's zone-alarm %d)\n",
                entry.second.c_str(), owner, entry.first);
    ++verdict.misattributed;
  }
  return verdict;
}

}  // namespace

int main(int argc, char **argv) {
  // Line by line, so that a run cut short by a timeout still shows how far it got.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Settings settings;
  ZonePlan zones;
  if (!ParseArguments(argc, argv, &settings)) {
    std::fprintf(stderr,
                 "usage: vuzov_soak [--exchanges N] [--instances K] [--fault-percent P] [--seed S]"
                 " [--settle-seconds T] [--busy-loops B] [--realtime-priority R]"
                 " [--max-seconds M] [--miswire]\n"
                 "(--miswire needs two instances)\n");
    return 2;
  }
  if (!ZonePlan::For(settings, &zones)) {
    std::fprintf(stderr,
                 "soak: %ld exchanges make too many alarms for %d panels' zones to stay apart; "
                 "run fewer exchanges or instances\n",
                 settings.exchanges, settings.instances);
    return 2;
  }
  const auto began = Clock::now();
  const auto deadline = began + std::chrono::seconds(settings.max_seconds);
  for (const auto &swept : vuzov_soak::SweepDeadRuns(kLinkParent)) {
    std::printf("swept the links of a run that died: %s\n", swept.c_str());
  }
  vuzov_soak::LinkDirectory links;
  std::string error;
  if (!vuzov_soak::LinkDirectory::Make(kLinkParent, &links, &error)) {
    std::fprintf(stderr, "soak: %s\n", error.c_str());
    return 1;
  }
  std::printf("links: %s to %s%s\n", links.LinkFor(1).c_str(),
              links.LinkFor(settings.instances).c_str(),
              settings.miswire ? " (hosts 1 and 2 open each other's)" : "");
  std::printf("zones: panel p reports zones from p x %d + 1\n", zones.stride);

  // A sanitizer runtime starts a helper thread of its own with the first
  // thread a program creates; let it start before the threads are counted.
  std::thread([] {}).join();
  HostRecord record;
  QarHostSetLogSink(&HostRecord::OnLog, &record);
  QarHostSetGateSink(&HostRecord::OnStore, &record);
  // Every gate the driver asks for exists, so a zone that no panel reported
  // cannot hide behind a gate the host lacks.
  QarHostSetDiscovery(1);

  const Snapshot start = Take();
  std::vector<std::unique_ptr<Instance>> instances;
  for (int i = 1; i <= settings.instances; ++i) {
    instances.push_back(std::make_unique<Instance>(i, settings.seed, zones, &record));
    if (!instances.back()->StartPanel(links.LinkFor(i), settings.realtime_priority, began,
                                      &error)) {
      std::fprintf(stderr, "soak: %s\n", error.c_str());
      return 1;
    }
  }
  for (auto &instance : instances) {
    int port = instance->number();
    if (settings.miswire && port <= 2) port = 3 - port;
    if (!instance->StartHost(links.LinkFor(port), &error)) {
      std::fprintf(stderr, "soak: %s\n", error.c_str());
      return 1;
    }
  }
  const Snapshot running = Take();
  PrintPanelPriority(instances, settings.realtime_priority);
  if (settings.busy_loops > 0) {
    std::printf("busy loops: %d spinning beside the hosts\n", settings.busy_loops);
  }

  {
    BusyLoops busy(settings.busy_loops, deadline);
    std::vector<std::thread> threads;
    for (int i = 0; i < settings.instances; ++i) {
      const long share = settings.exchanges / settings.instances +
                         (i < settings.exchanges % settings.instances ? 1 : 0);
      threads.emplace_back([&, i, share] {
        instances[i]->Run(share, settings.fault_percent, deadline);
        instances[i]->Settle(settings.settle_seconds, deadline);
      });
    }
    for (auto &thread : threads) thread.join();
  }
  const Snapshot busy = Take();
  for (auto &instance : instances) instance->Close();

  // The host ends every instance's waiting thread by posting to its client.
  QarHostPostAll();
  const auto waited = Clock::now() + 10s;
  while (record.ShutDowns() < settings.instances && Clock::now() < waited) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(50ms);  // the last thread returns after its line
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();

  Tally total;
  for (auto &instance : instances) {
    const Tally &t = instance->GetTally();
    for (int r = 0; r < 3; ++r) total.results[r] += t.results[r];
    total.other_results += t.other_results;
    total.reads += t.reads;
    total.writes += t.writes;
    total.settling_reads += t.settling_reads;
    total.reopens += t.reopens;
    total.reopen_failures += t.reopen_failures;
    total.alarms_queued += t.alarms_queued;
    total.still_queued += t.still_queued;
    total.faults_applied += t.faults_applied;
    total.hangups += t.hangups;
  }
  const Verdict verdict = Judge(instances, zones, record);
  instances.clear();
  QarHostSetLogSink(nullptr, nullptr);
  QarHostSetGateSink(nullptr, nullptr);
  const Snapshot end = Take();

  const long counted = total.results[0] + total.results[1] + total.results[2] + total.other_results;
  const long exchanges = total.reads + total.writes;
  std::printf("soak: %ld exchanges requested, %d instances, faults %d%%, seed %u, %.1f s\n",
              settings.exchanges, settings.instances, settings.fault_percent, settings.seed,
              seconds);
  PrintSnapshot("start", start);
  PrintSnapshot("up", running);
  PrintSnapshot("busy", busy);
  PrintSnapshot("end", end);
  std::printf("exchanges %ld (reads %ld, writes %ld; %ld reads while settling), results: 0 = %ld, "
              "1 = %ld, 2 = %ld, other %ld\n",
              exchanges, total.reads, total.writes, total.settling_reads, total.results[0],
              total.results[1], total.results[2], total.other_results);
  std::printf("faults applied %llu (hang-ups %llu), port reopens %ld (never reopened %ld)\n",
              static_cast<unsigned long long>(total.faults_applied),
              static_cast<unsigned long long>(total.hangups), total.reopens, total.reopen_failures);
  std::printf("alarms queued %ld, delivered %ld, lost %ld (%zu still queued), zones never "
              "reported %ld\n",
              total.alarms_queued, total.alarms_queued - verdict.lost, verdict.lost,
              total.still_queued, verdict.false_alarms);
  std::printf("misattributed %ld (stored under another panel's gate)\n", verdict.misattributed);
  std::printf("host: %ld gate stores, %ld log lines, %ld threads shut down\n", record.Stores(),
              record.Lines(), record.ShutDowns());

  bool ok = true;
  const auto fail = [&ok](const char *why) {
    std::printf("FAILED: %s\n", why);
    ok = false;
  };
  if (exchanges < settings.exchanges) fail("fewer exchanges ran than asked");
  if (counted != exchanges) fail("not every exchange's result was counted");
  if (total.other_results != 0) fail("results other than 0, 1 and 2");
  if (verdict.lost != 0) fail("alarms lost");
  if (verdict.false_alarms != 0) fail("zones stored that no panel reported");
  if (verdict.misattributed != 0) fail("alarms stored under another panel");
  if (record.ShutDowns() != settings.instances) fail("not every instance's thread shut down");
  if (end.descriptors != start.descriptors) fail("descriptors left open");
  if (end.threads != start.threads) fail("threads left running");
  std::printf("%s\n", ok ? "soak: ok" : "soak: FAILED");
  return ok ? 0 : 1;
}
