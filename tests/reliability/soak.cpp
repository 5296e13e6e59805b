// vuzov_soak: many exchanges against panel simulators that inject random faults
// from the fault matrix, several driver instances at once, each on a thread of
// its own as a host drives them.
//
//   vuzov_soak [--exchanges N] [--instances K] [--fault-percent P] [--seed S]
//              [--settle-seconds T]
//
// Every instance is started with ColdStart on a simulator's line, then runs its
// share of the N exchanges: polls, and now and then a panel command. Its panel
// queues a zone alarm every few polls, and before an exchange a random fault is
// armed with probability P percent: silence, garbage, a short, overlong or
// dribbled frame, a hang-up with the line coming back, a command answered by
// garbage or not at all. A host reopens its port (CloseCom, ReOpenCom) after a
// failed exchange. Then, with no more faults, each instance polls until its
// panel has nothing left, for T seconds at most (default 20).
//
// Printed: open descriptors, threads and resident memory at the start and at
// the end, every exchange's result, the faults applied, the alarms queued,
// delivered and lost, the messages each panel still held when settling ended,
// and zones stored that no panel reported (each named). The host creates a
// gate for every name the driver asks for, so no zone a garbled reply might
// invent goes unseen.
// It fails (exit 1) unless every exchange ended with 0, 1 or 2, every result is
// counted, every queued alarm reached its gate, no zone was stored that no
// panel reported, every instance's thread shut down, and descriptors and
// threads are back where they started.
// VUZOV_SOAK_TRACE=PREFIX writes each panel's trace to PREFIX.<instance>.
#include <unistd.h>

#include <atomic>
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

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kTimeoutUnits = 2;  // 20 ms a byte
constexpr unsigned kBaud = 38400;
constexpr int kPollsPerAlarm = 8;
constexpr int kExchangesPerCommand = 16;
const std::string kShutDown = "ZODODA> ShutDown !";

struct Settings {
  long exchanges = 5000;
  int instances = 4;
  int fault_percent = 10;
  unsigned seed = 1;
  int settle_seconds = 20;
};

bool ParseArguments(int argc, char **argv, Settings *settings) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const long value = std::strtol(argv[i + 1], nullptr, 10);
    if (name == "--exchanges" && value > 0) {
      settings->exchanges = value;
    } else if (name == "--instances" && value > 0 && value <= 16) {
      settings->instances = static_cast<int>(value);
    } else if (name == "--fault-percent" && value >= 0 && value <= 100) {
      settings->fault_percent = static_cast<int>(value);
    } else if (name == "--seed" && value >= 0) {
      settings->seed = static_cast<unsigned>(value);
    } else if (name == "--settle-seconds" && value >= 0) {
      settings->settle_seconds = static_cast<int>(value);
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
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

// What the host saw: zone stores per panel, log lines, shut-down threads.
class HostRecord {
 public:
  static void OnStore(void *user, std::uint8_t, std::uint32_t, const char *name, double value) {
    auto *self = static_cast<HostRecord *>(user);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->stores_ += 1;
    if (value == 1.0) self->zones_.insert(name);
  }
  static void OnLog(void *user, std::int32_t, const char *line) {
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
  std::vector<std::string> alarm_gates;
};

// One instance of the driver with its own panel, on the calling thread.
class Instance {
 public:
  Instance(int number, unsigned seed) : number_(number), random_(seed + 7919u * number) {
    // Twelve characters, all a host's port name holds: /tmp/vsPPPNN.
    char link[32];
    std::snprintf(link, sizeof link, "/tmp/vs%03d%02d", static_cast<int>(getpid() % 1000),
                  number % 100);
    link_ = link;
  }

  bool Start(std::string *error) {
    unlink(link_.c_str());
    panelsim::Options options;
    options.baud = kBaud;
    options.link = link_;
    simulator_ = std::make_unique<panelsim::Simulator>(panelsim::Scenario{}, options);
    if (const char *trace = std::getenv("VUZOV_SOAK_TRACE")) {
      trace_ = std::make_shared<std::ofstream>(std::string(trace) + "." + std::to_string(number_));
      auto out = trace_;
      simulator_->SetTrace([out](const panelsim::TraceEvent &event) {
        *out << panelsim::FormatTrace(event) << "\n";
      });
    }
    if (!simulator_->Start(error)) return false;
    std::memset(&state_, 0x5A, sizeof state_);
    state_.port = vuzov::PortWord{};
    state_.port_block.flags = 0;
    vuzov::StartParams start{};
    std::memcpy(start.port_name, link_.data(), sizeof start.port_name);
    start.enable = 1;
    start.timeout = kTimeoutUnits;
    start.line = vuzov::LineSettings{static_cast<std::uint16_t>(kBaud), 8, 0, 0};
    if (Call(vuzov::kColdStart, &start) != vuzov::kOk) {
      *error = "ColdStart failed on " + link_;
      return false;
    }
    return true;
  }

  void Run(long exchanges, int fault_percent) {
    for (long n = 0; n < exchanges; ++n) {
      if (n % kPollsPerAlarm == 0) QueueAlarm();
      const bool command = n % kExchangesPerCommand == kExchangesPerCommand - 1;
      if (Chance(fault_percent) && PanelIdle()) ArmFault(command);
      const std::uint32_t result = command ? Write() : Read();
      Count(result);
      if (result != vuzov::kOk) Reopen();
    }
  }

  // No more faults: poll until the panel has nothing left to send.
  void Settle(int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (simulator_->GetStats().pending != 0 && Clock::now() < deadline) {
      const std::uint32_t result = Read();
      ++tally_.settling_reads;
      Count(result);
      if (result != vuzov::kOk) Reopen();
    }
  }

  void Close() {
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
    simulator_.reset();
    unlink(link_.c_str());
  }

  const Tally &GetTally() const { return tally_; }

 private:
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
    return Call(vuzov::kSingleRead, &point);
  }

  std::uint32_t Write() {
    vuzov::WriteStatus status{};
    vuzov::PointBlock point{};
    static const char *const kCommands[] = {"CP1A!", "CP1R!", "CP1S!"};
    point.address = kCommands[random_() % 3];
    point.result = &status;
    ++tally_.writes;
    const std::uint32_t result = Call(vuzov::kSingleWrite, &point);
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

  // A host whose exchange failed reopens its port once the device is back.
  // While a line is down its link names a pty that another panel's new line
  // may take over, so the port is not reopened before then.
  void Reopen() {
    ++tally_.reopens;
    Call(vuzov::kCloseCom, nullptr);
    const auto deadline = Clock::now() + 2s;
    while (simulator_->SlavePath().empty() && Clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (Call(vuzov::kReOpenCom, nullptr) == vuzov::kOk) return;
      std::this_thread::sleep_for(10ms);
    }
    ++tally_.reopen_failures;
  }

  bool Chance(int percent) { return static_cast<int>(random_() % 100) < percent; }

  void QueueAlarm() {
    const int zone = static_cast<int>(++tally_.alarms_queued);
    panelsim::Message message;
    if (!panelsim::ZoneAlarmMessage(zone, panelsim::kAlarmSingle, &message, nullptr)) return;
    simulator_->Push(message, "zone-alarm " + std::to_string(zone));
    tally_.alarm_gates.push_back("CP" + std::to_string(number_) + "Z" + std::to_string(zone));
  }

  // Faults come one at a time: the next is armed only once the panel has
  // applied the last and its reply is out. Faults laid over each other (a
  // frame cut short right behind a dribbled one, with the answers to commands
  // sent meanwhile after it) put answers back to back on the line, and a
  // protocol with no length, end byte or checksum has no way to tell those
  // from one frame.
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
        break;
      case 2:
        fault.kind = panelsim::FaultKind::kShortFrame;
        fault.count = 1 + random_() % 8;
        break;
      case 3:
        fault.kind = panelsim::FaultKind::kLongFrame;
        fault.count = 21 + random_() % 20;
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
  std::string link_;
  std::unique_ptr<panelsim::Simulator> simulator_;
  std::shared_ptr<std::ofstream> trace_;
  vuzov::InstanceState state_;
  Tally tally_;
};

void PrintSnapshot(const char *when, const Snapshot &s) {
  std::printf("%-6s descriptors %zu, threads %ld, resident %ld KiB\n", when, s.descriptors,
              s.threads, s.resident_kib);
}

}  // namespace

int main(int argc, char **argv) {
  Settings settings;
  if (!ParseArguments(argc, argv, &settings)) {
    std::fprintf(stderr,
                 "usage: vuzov_soak [--exchanges N] [--instances K] [--fault-percent P] [--seed S]"
                 " [--settle-seconds T]\n");
    return 2;
  }
  HostRecord record;
  QarHostSetLogSink(&HostRecord::OnLog, &record);
  QarHostSetGateSink(&HostRecord::OnStore, &record);
  // Every gate the driver asks for exists, so a zone that no panel reported
  // cannot hide behind a gate the host lacks.
  QarHostSetDiscovery(1);

  const Snapshot start = Take();
  const auto began = Clock::now();
  std::vector<std::unique_ptr<Instance>> instances;
  for (int i = 1; i <= settings.instances; ++i) {
    instances.push_back(std::make_unique<Instance>(i, settings.seed));
    std::string error;
    if (!instances.back()->Start(&error)) {
      std::fprintf(stderr, "soak: %s\n", error.c_str());
      return 1;
    }
  }
  const Snapshot running = Take();

  std::vector<std::thread> threads;
  for (int i = 0; i < settings.instances; ++i) {
    const long share = settings.exchanges / settings.instances +
                       (i < settings.exchanges % settings.instances ? 1 : 0);
    threads.emplace_back([&, i, share] {
      instances[i]->Run(share, settings.fault_percent);
      instances[i]->Settle(settings.settle_seconds);
    });
  }
  for (auto &thread : threads) thread.join();
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
  long lost = 0;
  std::set<std::string> expected;
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
    for (const auto &gate : t.alarm_gates) {
      expected.insert(gate);
      if (!record.Stored(gate)) {
        std::printf("alarm never stored: %s\n", gate.c_str());
        ++lost;
      }
    }
  }
  long false_alarms = 0;
  for (const auto &zone : record.Zones()) {
    if (zone.find('Z') != std::string::npos && zone.find('E') == std::string::npos &&
        expected.count(zone) == 0) {
      std::printf("zone stored that no panel reported: %s\n", zone.c_str());
      ++false_alarms;
    }
  }
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
              total.alarms_queued, total.alarms_queued - lost, lost, total.still_queued,
              false_alarms);
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
  if (lost != 0) fail("alarms lost");
  if (false_alarms != 0) fail("zones stored that no panel reported");
  if (record.ShutDowns() != settings.instances) fail("not every instance's thread shut down");
  if (end.descriptors != start.descriptors) fail("descriptors left open");
  if (end.threads != start.threads) fail("threads left running");
  std::printf("%s\n", ok ? "soak: ok" : "soak: FAILED");
  return ok ? 0 : 1;
}
