// The MQTT gateway's latency: from the panel's last byte of an alarm frame to
// a subscriber's receipt of the gate's message through a real broker, beside
// the exchange itself. zemhost runs as a user runs it (--mqtt, --discover)
// against this program as the panel on a pty; mosquitto runs on a free
// loopback port; the subscriber is a libmosquitto client in this process.
#include <mosquitto.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "child_process.h"
#include "encoding.h"
#include "stats.h"
#include "unique_fd.h"

namespace vuzov_bench {
namespace {

using namespace std::chrono_literals;

constexpr int kAlarms = 1000;
constexpr int kSmokeAlarms = 20;
constexpr auto kStepWait = 3s;
constexpr std::uint8_t kEnq = 0x05;
constexpr std::uint8_t kAck = 0x06;
// The driver takes a reply as ended after one read timeout of silence, the
// shortest it has (10 ms) here; the gateway's share starts after that.
constexpr std::size_t kFrameLength = 20;

// A program of the run, its output in a log file. Asked to stop (SIGTERM)
// and given a few seconds when it goes; its owner kills and reaps it after.
class LoggedProgram {
 public:
  LoggedProgram(const std::vector<std::string> &argv, const std::string &log) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    process_ = std::make_unique<vuzov_test::ChildProcess>(argv,
                                                          vuzov_test::ChildStreams{-1, fd, fd});
    close(fd);  // the child has its own copy
  }
  ~LoggedProgram() {
    if (!ok()) return;
    process_->Signal(SIGTERM);
    int status = 0;
    process_->Wait(5s, &status);
  }
  LoggedProgram(const LoggedProgram &) = delete;
  LoggedProgram &operator=(const LoggedProgram &) = delete;
  bool ok() const { return process_ && process_->started(); }

 private:
  std::unique_ptr<vuzov_test::ChildProcess> process_;
};

toolbox::UniqueFd NewSocket() { return toolbox::UniqueFd(socket(AF_INET, SOCK_STREAM, 0)); }

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

int FreePort() {
  const toolbox::UniqueFd probe = NewSocket();
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  if (bind(probe.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      getsockname(probe.get(), reinterpret_cast<sockaddr *>(&address), &size) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

bool WaitUntilAccepting(int port) {
  const auto deadline = Clock::now() + 10s;
  while (Clock::now() < deadline) {
    const toolbox::UniqueFd probe = NewSocket();
    const sockaddr_in address = Loopback(port);
    if (connect(probe.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

std::string MosquittoProgram() {
  for (const char *path : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

// The subscriber: the time each gate topic was first received.
class Receipts {
 public:
  explicit Receipts(int port) : client_(mosquitto_new(nullptr, true, this)) {
    if (client_ == nullptr) return;
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(client_, &OnMessage);
    mosquitto_subscribe_callback_set(client_, &OnSubscribe);
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return;
    mosquitto_subscribe(client_, nullptr, "vuzov/1/gate/#", 1);
    looping_ = mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, 5s, [this] { return subscribed_; });
  }
  ~Receipts() {
    if (client_ == nullptr) return;
    mosquitto_disconnect(client_);
    if (looping_) mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  Receipts(const Receipts &) = delete;
  Receipts &operator=(const Receipts &) = delete;

  bool ready() {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscribed_;
  }

  bool WaitFor(const std::string &topic, Clock::time_point deadline, Clock::time_point *at) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_until(lock, deadline, [&] { return first_.count(topic) > 0; })) return false;
    *at = first_[topic];
    return true;
  }

 private:
  static void OnMessage(mosquitto *, void *self, const mosquitto_message *message) {
    const Clock::time_point now = Clock::now();
    auto *me = static_cast<Receipts *>(self);
    std::lock_guard<std::mutex> lock(me->mutex_);
    me->first_.emplace(message->topic, now);
    me->arrived_.notify_all();
  }
  static void OnSubscribe(mosquitto *, void *self, int, int, const int *) {
    auto *me = static_cast<Receipts *>(self);
    std::lock_guard<std::mutex> lock(me->mutex_);
    me->subscribed_ = true;
    me->arrived_.notify_all();
  }

  mosquitto *client_;
  bool looping_ = false;
  std::mutex mutex_;
  std::condition_variable arrived_;
  bool subscribed_ = false;
  std::map<std::string, Clock::time_point> first_;
};

// The panel's end of a pty; zemhost's driver opens the other.
class PanelEnd {
 public:
  PanelEnd() : fd_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    char name[128];
    if (!fd_ || grantpt(fd_.get()) != 0 || unlockpt(fd_.get()) != 0 ||
        ptsname_r(fd_.get(), name, sizeof name) != 0) {
      return;
    }
    const std::string path = name;
    port_name_ = path.substr(std::string("/dev/").size());
    // Held open so the line stays up between the driver's opens.
    slave_.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  }

  const std::string &port_name() const { return port_name_; }

  // Reads until `wanted` comes; *at is when it was read.
  bool ReadUntil(std::uint8_t wanted, Clock::time_point deadline, Clock::time_point *at) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd entry{fd_.get(), POLLIN, 0};
      if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t byte = 0;
      if (read(fd_.get(), &byte, 1) == 1 && byte == wanted) {
        *at = Clock::now();
        return true;
      }
    }
  }

  bool Write(const std::vector<std::uint8_t> &bytes) {
    return write(fd_.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

 private:
  toolbox::UniqueFd fd_;
  toolbox::UniqueFd slave_;
  std::string port_name_;
};

struct Figures {
  Samples exchange;      // poll read to ACK read, at the panel
  Samples last_to_ack;   // the frame's last byte to the ACK
  Samples last_to_topic; // the frame's last byte to the subscriber's receipt
  Samples ack_to_topic;  // the driver's ACK to the subscriber's receipt
  int failures = 0;
};

// One alarm: the next poll gets zone `zone`'s alarm frame.
bool OneAlarm(PanelEnd &panel, Receipts &receipts, int zone, Figures *figures) {
  panelsim::Message message;
  if (!panelsim::ZoneAlarmMessage(zone, 1, &message, nullptr)) return false;
  const std::vector<std::uint8_t> frame =
      panelsim::BuildFrame(message, panelsim::FrameLayout{kFrameLength, 1});
  Clock::time_point polled;
  Clock::time_point acknowledged;
  Clock::time_point received;
  if (!panel.ReadUntil(kEnq, Clock::now() + kStepWait, &polled)) return false;
  if (!panel.Write(frame)) return false;
  const Clock::time_point last_byte = Clock::now();
  if (!panel.ReadUntil(kAck, Clock::now() + kStepWait, &acknowledged)) return false;
  const std::string topic = "vuzov/1/gate/CP1Z" + std::to_string(zone);
  if (!receipts.WaitFor(topic, Clock::now() + kStepWait, &received)) return false;
  figures->exchange.Add(MillisBetween(polled, acknowledged));
  figures->last_to_ack.Add(MillisBetween(last_byte, acknowledged));
  figures->last_to_topic.Add(MillisBetween(last_byte, received));
  figures->ack_to_topic.Add(MillisBetween(acknowledged, received));
  return true;
}

void PrintFigures(const Figures &figures) {
  Table table({"span", "median ms", "p99 ms", "alarms"});
  const auto row = [&](const char *name, const Samples &samples) {
    table.Row({name, Format("%.3f", samples.Median()), Format("%.3f", samples.P99()),
               Format("%zu", samples.Count())});
  };
  row("exchange: the poll to the driver's ACK, at the panel", figures.exchange);
  row("the frame's last byte to the driver's ACK", figures.last_to_ack);
  row("the frame's last byte to the subscriber's receipt", figures.last_to_topic);
  row("the gateway's share: the driver's ACK to the receipt", figures.ack_to_topic);
  table.Print();
}

}  // namespace

int RunMqttBench(const Context &context) {
  std::printf("\n### The MQTT gateway: a panel's alarm to a subscriber, through mosquitto\n\n");
  const std::string mosquitto = MosquittoProgram();
  const int port = FreePort();
  if (mosquitto.empty() || port == 0) {
    std::printf("No mosquitto program or no free loopback port: skipped.\n");
    return 1;
  }
  const std::string config = context.work->NewFile("mosquitto-conf");
  std::ofstream(config) << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
  LoggedProgram broker({mosquitto, "-c", config}, context.work->NewFile("mosquitto-log"));
  if (!broker.ok() || !WaitUntilAccepting(port)) {
    std::printf("mosquitto did not start: skipped.\n");
    return 1;
  }
  Receipts receipts(port);
  PanelEnd panel;
  if (!receipts.ready() || panel.port_name().empty()) {
    std::printf("No subscriber or no pty: skipped.\n");
    return 1;
  }
  const std::string url = "mqtt://127.0.0.1:" + std::to_string(port);
  LoggedProgram zemhost({context.zemhost, "--lines", "--port", panel.port_name(), "--discover",
                   "--interval", "10ms", "--timeout", "1", "--reopen-after", "0", "--mqtt", url},
                  context.work->NewFile("zemhost-log"));
  const int alarms = context.smoke ? kSmokeAlarms : kAlarms;
  Figures figures;
  for (int i = 0; i < alarms; ++i) {
    if (!OneAlarm(panel, receipts, i + 1, &figures)) ++figures.failures;
  }
  std::printf("zemhost polls CP1Z1 every 10 ms on a pty with a 10 ms read timeout; each poll\n"
              "answers one zone's alarm in a %zu-byte frame (zones 1 to %d, each a new gate),\n"
              "and the subscriber waits for that zone's gate topic. The driver takes a reply\n"
              "as ended after one read timeout of silence, then acknowledges and decodes it:\n"
              "what comes after its ACK is the gateway's (the decode, the store, the queue,\n"
              "the broker and the subscriber). Times are read at the panel's end of the pty.\n\n",
              kFrameLength, alarms);
  PrintFigures(figures);
  if (figures.failures > 0) std::printf("\n%d alarms got no ACK or no message\n", figures.failures);
  return figures.failures;
}

}  // namespace vuzov_bench
