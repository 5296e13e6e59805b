// The Modbus TCP server: a zone alarm's time from the panel's last reply byte
// to its bit reading 1 over Modbus, and what clients polling as fast as they
// can cost the driver's exchanges, beside the read time they get. zemhost runs
// as a user runs it (--modbus on a loopback port the system picks) against
// this program as the panel on a pty; the clients are libmodbus clients in
// this process, each on a thread and a connection of its own.
#include <modbus.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "encoding.h"
#include "gateway_rig.h"
#include "stats.h"

namespace vuzov_bench {
namespace {

using namespace std::chrono_literals;

constexpr int kAlarms = 1000;
constexpr int kSmokeAlarms = 20;
// Exchanges measured side by side: rounds of each client count in turn, so
// that a drift of the machine's state over the run touches every count alike.
constexpr int kRounds = 10;
constexpr int kExchangesPerTurn = 100;
constexpr int kSmokeExchangesPerTurn = 5;
constexpr int kClientCounts[] = {0, 1, 8};
constexpr int kRegisters = 125;  // the most one read takes
constexpr int kZoneWords = 1001;
constexpr auto kStepWait = 3s;
constexpr std::uint8_t kEnq = 0x05;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kEot = 0x04;
constexpr std::size_t kFrameLength = 20;

// A libmodbus client on a connection of its own.
class Connection {
 public:
  explicit Connection(int port) : context_(modbus_new_tcp("127.0.0.1", port)) {
    if (context_ == nullptr) return;
    modbus_set_response_timeout(context_, 5, 0);
    connected_ = modbus_connect(context_) == 0;
  }
  ~Connection() {
    if (context_ == nullptr) return;
    modbus_close(context_);
    modbus_free(context_);
  }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  bool connected() const { return connected_; }
  // What the last failed call said.
  std::string Error() const { return modbus_strerror(errno); }
  bool Bit(int address, bool *set) {
    std::uint8_t bit = 0;
    if (modbus_read_input_bits(context_, address, 1, &bit) != 1) return false;
    *set = bit != 0;
    return true;
  }
  bool Registers(int first, int count, std::uint16_t *out) {
    return modbus_read_input_registers(context_, first, count, out) == count;
  }

 private:
  modbus_t *context_;
  bool connected_ = false;
};

// The panel is this program's main thread, and the busy clients' threads are
// in the same process: on a machine they keep busy, a panel at the normal
// priority would answer late, and the driver would give up on its reply for
// a reason no panel's own hardware has. So the panel's thread runs at a
// real-time priority while it plays (as panelsim's can), and the clients at
// the normal one. Restored when it goes.
class PanelPriority {
 public:
  PanelPriority() {
    pthread_getschedparam(pthread_self(), &policy_, &saved_);
    sched_param raised{};
    raised.sched_priority = 10;
    const int failure = pthread_setschedparam(pthread_self(), SCHED_FIFO, &raised);
    raised_ = failure == 0;
    if (!raised_) refused_ = std::strerror(failure);
  }
  ~PanelPriority() {
    if (raised_) pthread_setschedparam(pthread_self(), policy_, &saved_);
  }
  PanelPriority(const PanelPriority &) = delete;
  PanelPriority &operator=(const PanelPriority &) = delete;

  // Empty when raised; else why not.
  const std::string &refused() const { return refused_; }

 private:
  int policy_ = SCHED_OTHER;
  sched_param saved_{};
  bool raised_ = false;
  std::string refused_;
};

// A thread made by the panel's inherits its priority. A client's runs at the
// normal policy and the lowest share of it (nice 19): a BMS polls from a
// machine of its own, so its clients' own work is no load on the gateway's
// processors, while the server's thread, which does the gateway's share of
// each read, runs in zemhost as a user runs it.
void AsARemoteClient() {
  sched_param normal{};
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
}

// A client that reads 125 zone words over and over while it lives, timing
// each read.
class BusyClient {
 public:
  explicit BusyClient(int port)
      : thread_([this, port] {
          AsARemoteClient();
          Connection connection(port);
          std::uint16_t words[kRegisters];
          while (!stop_) {
            const Clock::time_point start = Clock::now();
            if (!connection.connected() || !connection.Registers(kZoneWords, kRegisters, words)) {
              ++failures_;
              if (!connection.connected()) return;
              continue;
            }
            reads_.push_back(MillisBetween(start, Clock::now()) * 1000.0);
            ++count_;
          }
        }) {}
  ~BusyClient() { Stop(); }
  BusyClient(const BusyClient &) = delete;
  BusyClient &operator=(const BusyClient &) = delete;

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int count() const { return count_; }
  int failures() const { return failures_; }
  // After Stop: the reads' times in microseconds.
  const std::vector<double> &reads() const { return reads_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> count_{0};
  std::atomic<int> failures_{0};
  std::vector<double> reads_;
  std::thread thread_;
};

std::vector<std::uint8_t> AlarmFrame(int zone) {
  panelsim::Message message;
  panelsim::ZoneAlarmMessage(zone, 1, &message, nullptr);
  return panelsim::BuildFrame(message, panelsim::FrameLayout{kFrameLength, 1});
}

struct AlarmFigures {
  Samples last_to_ack;  // the frame's last byte to the driver's ACK
  Samples last_to_bit;  // the frame's last byte to a read of the bit that says 1
  Samples ack_to_bit;   // the server's share
  int failures = 0;
  // Why each failed alarm failed, one line each: a loss is traced, not counted.
  std::vector<std::string> why;
};

// Answers every poll with EOT (nothing to report) until `until`, so that the
// driver's polls never go unanswered between the measured exchanges.
void AnswerQuietly(PtyPanel &panel, Clock::time_point until) {
  std::uint8_t byte = 0;
  Clock::time_point at;
  while (panel.Next(until, &byte, &at)) {
    if (byte == kEnq) panel.Write({kEot});
  }
}

struct Exchanged {
  Clock::time_point polled;
  Clock::time_point last_byte;
  Clock::time_point acknowledged;
};

// The next poll answered with `frame`, up to the driver's ACK. False when the
// driver polls again instead (it gave up on the frame) or nothing comes.
bool Exchange(PtyPanel &panel, const std::vector<std::uint8_t> &frame, Exchanged *times) {
  if (!panel.ReadUntil(kEnq, Clock::now() + kStepWait, &times->polled)) return false;
  if (!panel.Write(frame)) return false;
  times->last_byte = Clock::now();
  std::uint8_t byte = 0;
  while (panel.Next(Clock::now() + kStepWait, &byte, &times->acknowledged)) {
    if (byte == kAck) return true;
    if (byte == kEnq) return false;
  }
  return false;
}

// One alarm: the next poll gets zone `zone`'s alarm, and the client reads its
// bit until it is 1.
bool OneAlarm(PtyPanel &panel, Connection &client, int zone, AlarmFigures *figures) {
  const auto failed = [&](const std::string &why) {
    figures->why.push_back("zone " + std::to_string(zone) + ": " + why);
    return false;
  };
  Exchanged times;
  if (!Exchange(panel, AlarmFrame(zone), &times)) {
    return failed("the driver did not acknowledge the frame (it polled again, or nothing came "
                  "within 3 s); a panel sends an unacknowledged message again");
  }
  const Clock::time_point last_byte = times.last_byte;
  const Clock::time_point acknowledged = times.acknowledged;
  bool set = false;
  const Clock::time_point deadline = Clock::now() + kStepWait;
  while (!set && Clock::now() < deadline) {
    if (!client.Bit(zone, &set)) return failed("a read of its bit failed: " + client.Error());
  }
  if (!set) return failed("acknowledged, but its bit did not read 1 within 3 s");
  const Clock::time_point read = Clock::now();
  figures->last_to_ack.Add(MillisBetween(last_byte, acknowledged));
  figures->last_to_bit.Add(MillisBetween(last_byte, read));
  figures->ack_to_bit.Add(MillisBetween(acknowledged, read));
  return true;
}

// Exchanges measured at the panel: the poll read to the driver's ACK. The
// number that failed.
int Exchanges(PtyPanel &panel, int count, Samples *out) {
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    Exchanged times;
    if (Exchange(panel, AlarmFrame(1 + i % 1000), &times)) {
      out->Add(MillisBetween(times.polled, times.acknowledged));
    } else {
      ++failed;
    }
  }
  return failed;
}

struct LoadFigures {
  Samples exchange;
  int failed_exchanges = 0;
  Samples reads;  // microseconds, every client's
  int read_count = 0;
  int read_failures = 0;
  double seconds = 0;
};

void PrintAlarms(const AlarmFigures &figures) {
  Table table({"span", "median ms", "p99 ms", "alarms"});
  const auto row = [&](const char *name, const Samples &samples) {
    table.Row({name, Format("%.3f", samples.Median()), Format("%.3f", samples.P99()),
               Format("%zu", samples.Count())});
  };
  row("the frame's last byte to the driver's ACK", figures.last_to_ack);
  row("the frame's last byte to the bit read as 1", figures.last_to_bit);
  row("the server's share: the driver's ACK to the bit read as 1", figures.ack_to_bit);
  table.Print();
}

void PrintLoad(const LoadFigures (&load)[3]) {
  Table table({"clients", "exchanges", "failed", "exchange median ms", "p99 ms",
               "median vs no client", "reads/s", "read median us", "read p99 us"});
  const double base = load[0].exchange.Median();
  for (std::size_t i = 0; i < 3; ++i) {
    const LoadFigures &figures = load[i];
    const bool reading = kClientCounts[i] > 0;
    table.Row({Format("%d", kClientCounts[i]), Format("%zu", figures.exchange.Count()),
               Format("%d", figures.failed_exchanges), Format("%.3f", figures.exchange.Median()), Format("%.3f", figures.exchange.P99()),
               Format("%+.2f%%", 100.0 * (figures.exchange.Median() / base - 1.0)),
               reading ? Format("%.0f", figures.read_count / figures.seconds) : "-",
               reading ? Format("%.0f", figures.reads.Median()) : "-",
               reading ? Format("%.0f", figures.reads.P99()) : "-"});
  }
  table.Print();
}

// Every client count in turn, kRounds times; the exchanges of each turn go
// to its count's figures, and the clients' reads with them.
void MeasureLoad(PtyPanel &panel, int port, int per_turn, LoadFigures (&load)[3]) {
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t i = 0; i < 3; ++i) {
      std::vector<std::unique_ptr<BusyClient>> clients;
      for (int c = 0; c < kClientCounts[i]; ++c) clients.push_back(std::make_unique<BusyClient>(port));
      // The clients are at it before the first exchange counts.
      AnswerQuietly(panel, Clock::now() + 50ms);
      const Clock::time_point start = Clock::now();
      load[i].failed_exchanges += Exchanges(panel, per_turn, &load[i].exchange);
      load[i].seconds += std::chrono::duration<double>(Clock::now() - start).count();
      for (auto &client : clients) {
        client->Stop();
        load[i].read_count += client->count();
        load[i].read_failures += client->failures();
        for (double value : client->reads()) load[i].reads.Add(value);
      }
    }
  }
}

}  // namespace

int RunModbusBench(const Context &context) {
  std::printf("\n### The Modbus TCP server: a panel's alarm to a BMS's read, and busy clients\n\n");
  PtyPanel panel;
  if (panel.port_name().empty()) {
    std::printf("No pty: skipped.\n");
    return 1;
  }
  LoggedRun zemhost({context.zemhost, "--lines", "--port", panel.port_name(), "--discover",
                     "--interval", "10ms", "--timeout", "1", "--reopen-after", "0", "--modbus",
                     "127.0.0.1:0", "--modbus-max-clients", "16"},
                    context.work->NewFile("zemhost-modbus-log"));
  const std::string port_text = zemhost.WaitForLog(
      "serving Modbus TCP on 127\\.0\\.0\\.1:([0-9]+)", Clock::now() + 10s);
  if (!zemhost.ok() || port_text.empty()) {
    std::printf("zemhost's Modbus server did not start: skipped.\n");
    return 1;
  }
  const int port = std::stoi(port_text);
  // After zemhost has started, which would otherwise inherit it.
  const PanelPriority priority;
  if (!priority.refused().empty()) {
    std::printf("The panel's thread runs at the normal priority (a real-time one was refused: "
                "%s): on a busy machine it may answer late.\n\n",
                priority.refused().c_str());
  }
  AlarmFigures alarms;
  {
    Connection client(port);
    AnswerQuietly(panel, Clock::now() + 200ms);
    const int count = context.smoke ? kSmokeAlarms : kAlarms;
    for (int i = 0; i < count && client.connected(); ++i) {
      if (!OneAlarm(panel, client, 1 + i, &alarms)) ++alarms.failures;
    }
  }
  std::printf("zemhost polls CP1Z1 every 10 ms on a pty with a 10 ms read timeout; each poll\n"
              "answers one zone's alarm in a %zu-byte frame (zones 1 to %zu, each new), and a\n"
              "client on a connection of its own reads that zone's discrete input over and over\n"
              "until it is 1. The driver takes a reply as ended after one read timeout of\n"
              "silence, then acknowledges and decodes it: what comes after its ACK is the\n"
              "server's share (the decode, the store, the unit's registers and the read, within\n"
              "one read's round trip). Times are taken at the panel's end of the pty.\n\n",
              kFrameLength, alarms.last_to_bit.Count());
  PrintAlarms(alarms);

  LoadFigures load[3];
  MeasureLoad(panel, port, context.smoke ? kSmokeExchangesPerTurn : kExchangesPerTurn, load);
  std::printf("\nThe same run, then: each poll answered with an alarm frame, the exchange timed\n"
              "at the panel from the poll to the driver's ACK, while 0, 1 or 8 clients read the\n"
              "%d zone words from %d as fast as they can, each on its own connection and\n"
              "thread in this process; the counts take turns, %d rounds of %d exchanges each.\n"
              "The panel's thread plays at a real-time priority (its own hardware would not\n"
              "wait for the host's processors), the clients at nice 19 (a BMS's work is on its\n"
              "own machine); zemhost and its server's thread run as a user runs them. An\n"
              "exchange the driver gave up on (it polled again) is counted as failed.\n\n",
              kRegisters, kZoneWords, kRounds, context.smoke ? kSmokeExchangesPerTurn : kExchangesPerTurn);
  PrintLoad(load);
  int failures = alarms.failures;
  for (const LoadFigures &figures : load) failures += figures.read_failures;
  if (failures > 0) std::printf("\n%d alarms or reads failed\n", failures);
  for (const std::string &why : alarms.why) std::printf("  an alarm failed: %s\n", why.c_str());
  return failures;
}

}  // namespace vuzov_bench
