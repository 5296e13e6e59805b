// zemhost as an MQTT gateway, against a real mosquitto broker that each test
// starts on a free loopback port, with a real subscriber. zemhost runs as a
// user runs it, against its simulated panel.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

const std::string kScenarios = ZEMHOST_TEST_SCENARIOS;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "mqtt_gateway_test.XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    // A broker started as root reads its files as the user it drops to.
    chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string File(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

std::string ReadFile(const std::string &path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A loopback port nothing listens on: the kernel picks it for a socket bound
// to port 0, which is then closed.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// A file a child writes into, kept open on the test's side.
class OutputFile {
 public:
  explicit OutputFile(std::string path)
      : path_(std::move(path)), fd_(open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {}
  ~OutputFile() {
    if (fd_ >= 0) close(fd_);
  }
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  int fd() const { return fd_; }
  std::string Text() const { return ReadFile(path_); }

 private:
  std::string path_;
  int fd_;
};

// mosquitto on 127.0.0.1:port with a config of its own; killed when it goes.
class Broker {
 public:
  Broker(const TempDir &dir, const std::string &extra_config = "")
      : config_(dir.File("mosquitto.conf")), log_(dir.File("mosquitto.log")) {
    // A port picked free may be taken by another program (other tests run on
    // the machine) before the broker binds it; this broker then never runs,
    // and another port is picked.
    for (int pick = 0; pick < 5 && !started_; ++pick) {
      port_ = FreePort();
      WriteFile(config_, "listener " + std::to_string(port_) +
                             " 127.0.0.1\npersistence false\n" +
                             (extra_config.empty() ? "allow_anonymous true\n" : extra_config));
      started_ = Start();
    }
  }

  bool started() const { return started_; }
  int port() const { return port_; }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

  // True once this broker accepts connections; false when it could not bind
  // its port. A listener of another program on the port must not pass for it.
  bool Start() {
    const std::size_t logged = log_.Text().size();
    process_ = std::make_unique<vuzov_test::ChildProcess>(
        std::vector<std::string>{MOSQUITTO_PROGRAM, "-c", config_},
        vuzov_test::ChildStreams{-1, log_.fd(), log_.fd()});
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      int status = 0;
      if (process_->Wait(0ms, &status)) return false;
      if (log_.Text().find(" running", logged) != std::string::npos && Accepts(port_)) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
  }

  void Kill() { process_.reset(); }  // SIGKILL and reap: no goodbye to anyone

 private:
  int port_ = 0;
  bool started_ = false;
  std::string config_;
  OutputFile log_;
  std::unique_ptr<vuzov_test::ChildProcess> process_;
};

struct Received {
  std::string topic;
  std::string payload;
  bool retained = false;
};

// A real MQTT client that subscribes to everything and keeps what it gets.
class Subscriber {
 public:
  explicit Subscriber(int port) : client_(mosquitto_new(nullptr, true, this)) {
    mosquitto_message_callback_set(client_, &OnMessage);
    mosquitto_subscribe_callback_set(client_, &OnSubscribe);
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return;
    mosquitto_subscribe(client_, nullptr, "#", 1);
    looping_ = mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
    std::unique_lock<std::mutex> lock(mutex_);
    seen_.wait_for(lock, 5s, [this] { return subscribed_; });
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    if (looping_) mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  Subscriber(const Subscriber &) = delete;
  Subscriber &operator=(const Subscriber &) = delete;

  bool ready() const { return subscribed_; }

  void Publish(const std::string &topic, const std::string &payload, bool retain = false) {
    mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, retain);
  }

  std::vector<Received> All() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  // The payloads on one topic, in order of arrival.
  std::vector<std::string> On(const std::string &topic) {
    std::vector<std::string> payloads;
    for (const Received &message : All()) {
      if (message.topic == topic) payloads.push_back(message.payload);
    }
    return payloads;
  }
  // Waits until the latest message on `topic` is `payload`; false on timeout.
  bool WaitForLast(const std::string &topic, const std::string &payload,
                   std::chrono::milliseconds timeout = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return seen_.wait_for(lock, timeout, [&] {
      for (auto message = received_.rbegin(); message != received_.rend(); ++message) {
        if (message->topic == topic) return message->payload == payload;
      }
      return false;
    });
  }
  // Waits until a message on `topic` has `text` in it; false on timeout.
  bool WaitFor(const std::string &topic, const std::string &text,
               std::chrono::milliseconds timeout = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return seen_.wait_for(lock, timeout, [&] {
      for (const Received &message : received_) {
        if (message.topic == topic && message.payload.find(text) != std::string::npos) return true;
      }
      return false;
    });
  }

 private:
  static void OnMessage(mosquitto *, void *self, const mosquitto_message *message) {
    auto *me = static_cast<Subscriber *>(self);
    std::lock_guard<std::mutex> lock(me->mutex_);
    me->received_.push_back(Received{
        message->topic,
        std::string(static_cast<const char *>(message->payload),
                    static_cast<std::size_t>(message->payloadlen)),
        message->retain});
    me->seen_.notify_all();
  }
  static void OnSubscribe(mosquitto *, void *self, int, int, const int *) {
    auto *me = static_cast<Subscriber *>(self);
    std::lock_guard<std::mutex> lock(me->mutex_);
    me->subscribed_ = true;
    me->seen_.notify_all();
  }

  mosquitto *client_;
  bool looping_ = false;
  std::mutex mutex_;
  std::condition_variable seen_;
  bool subscribed_ = false;
  std::vector<Received> received_;
};

// One zemhost run, its output in files.
class Zemhost {
 public:
  // kJournal: run as under a service manager whose journal takes standard
  // error (JOURNAL_STREAM names the file), where the run's lines go.
  enum Output { kLines, kJournal };

  Zemhost(const TempDir &dir, std::vector<std::string> arguments, Output output = kLines)
      : out_(dir.File("zemhost.out")), err_(dir.File("zemhost.err")) {
    std::vector<std::string> argv = {ZEMHOST_PROGRAM};
    std::vector<std::string> environment;
    struct stat error_file {};
    if (output == kJournal && fstat(err_.fd(), &error_file) == 0) {
      environment.push_back("JOURNAL_STREAM=" + std::to_string(error_file.st_dev) + ":" +
                            std::to_string(error_file.st_ino));
    } else {
      argv.push_back("--lines");
    }
    // Read timeouts a loaded machine cannot miss, so that no poll fails
    // unless the panel means it to; a config file sets its instances' own.
    if (std::find(arguments.begin(), arguments.end(), "--config") == arguments.end()) {
      argv.insert(argv.end(), {"--timeout", "20"});
    }
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    child_ = std::make_unique<vuzov_test::ChildProcess>(
        argv, vuzov_test::ChildStreams{-1, out_.fd(), err_.fd()}, environment);
  }

  std::string out() const { return out_.Text(); }
  std::string err() const { return err_.Text(); }
  void Signal(int number) const { child_->Signal(number); }

  // Waits until standard output (or error) holds `text`; false on timeout.
  bool WaitForOutput(const std::string &text, std::chrono::milliseconds timeout = 10s,
                     bool on_error = false) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while ((on_error ? err() : out()).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  // The exit status; -1 on timeout or when a signal ended it.
  int Wait(std::chrono::milliseconds timeout = 20s) {
    int status = 0;
    if (!child_->Wait(timeout, &status)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool KilledBy(int number, std::chrono::milliseconds timeout = 10s) {
    int status = 0;
    return child_->Wait(timeout, &status) && WIFSIGNALED(status) && WTERMSIG(status) == number;
  }

 private:
  OutputFile out_;
  OutputFile err_;
  std::unique_ptr<vuzov_test::ChildProcess> child_;
};

std::string Joined(const std::vector<std::string> &payloads) {
  std::string text;
  for (const std::string &payload : payloads) text += payload + "\n";
  return text;
}

int Count(const std::string &text, const std::string &part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Each gate's last value as zemhost itself printed it ("0.351 CP1Z3 = 1").
std::map<std::string, std::string> FinalValues(const std::string &out) {
  std::map<std::string, std::string> values;
  std::istringstream lines(out);
  std::string time;
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string name;
    std::string equals;
    std::string value;
    if (words >> time >> name >> equals >> value && equals == "=" && name.rfind("CP", 0) == 0) {
      values[name] = value;
    }
  }
  return values;
}

// The retained values a subscriber that comes late is given, by gate.
std::map<std::string, std::string> RetainedGates(Subscriber &late, const std::string &base) {
  std::map<std::string, std::string> values;
  for (const Received &message : late.All()) {
    if (message.retained && message.topic.rfind(base + "gate/", 0) == 0) {
      values[message.topic.substr(base.size() + 5)] = message.payload;
    }
  }
  return values;
}

// A subscriber that comes late finds every gate retained with the last value
// zemhost printed for it (at least `least` gates), once the broker has handed
// them all over.
void ExpectRetainedAsPrinted(Subscriber &late, const std::string &out, std::size_t least) {
  const auto printed = FinalValues(out);
  ASSERT_GE(printed.size(), least);
  std::map<std::string, std::string> retained;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  do {
    retained = RetainedGates(late, "vuzov/1/");
    if (retained.size() < printed.size()) std::this_thread::sleep_for(20ms);
  } while (retained.size() < printed.size() && std::chrono::steady_clock::now() < deadline);
  for (const auto &[gate, value] : printed) EXPECT_EQ(retained[gate], value) << gate;
}

std::vector<std::string> ZoneAlarms(const std::vector<Received> &messages) {
  std::vector<std::string> zones;
  for (const Received &message : messages) {
    if (message.topic.rfind("vuzov/1/gate/CP1Z", 0) == 0 && message.payload == "1") {
      zones.push_back(message.topic.substr(13));
    }
  }
  return zones;
}

// The link's turns as the link topic said them: up, down, up.
std::vector<std::string> LinkTurns(const std::vector<std::string> &payloads) {
  std::vector<std::string> turns;
  for (const std::string &payload : payloads) {
    const auto at = payload.find("\"state\":\"");
    if (at == std::string::npos) continue;
    const std::string state = payload.substr(at + 9, payload.find('"', at + 9) - at - 9);
    if (turns.empty() || turns.back() != state) turns.push_back(state);
  }
  return turns;
}

// Zones, link, status, availability, discovery and a refused command, then a
// subscriber that comes after the run and is given every value the run left.
TEST(MqttGateway, PublishesTheScenarioInOrderAndLeavesItRetained) {
  TempDir dir;
  // The short panel life, then three polls whose three attempts get no answer.
  WriteFile(dir.File("quiet.scn"), ReadFile(kScenarios + "/quick.scn") + "at poll 14 silent 9\n");
  Broker broker(dir);
  ASSERT_TRUE(broker.started());
  Subscriber early(broker.port());
  ASSERT_TRUE(early.ready());
  Zemhost zemhost(dir, {"--simulate", dir.File("quiet.scn"), "--interval", "20ms", "--mqtt",
                        broker.Url(), "--mqtt-discovery", "--selfcheck"});
  ASSERT_TRUE(early.WaitFor("vuzov/1/status", "online"));
  ASSERT_TRUE(early.WaitFor("vuzov/1/gate/CP1Z5", "1")) << zemhost.out();
  ASSERT_TRUE(early.WaitFor("vuzov/1/link", "\"state\":\"down\""));
  ASSERT_TRUE(early.WaitFor("vuzov/1/link", "\"why\":\"poll answered\",\"exchanges\":"))
      << "back up; the link said:\n" << Joined(early.On("vuzov/1/link")) << zemhost.out();
  early.Publish("vuzov/1/command", "silence");
  ASSERT_TRUE(early.WaitFor("vuzov/1/command/result", "error"));
  zemhost.Signal(SIGTERM);
  EXPECT_EQ(zemhost.Wait(), 0) << zemhost.err();
  EXPECT_NE(zemhost.err().find("selfcheck: no descriptor or thread left behind"), std::string::npos)
      << zemhost.err();

  const std::vector<std::string> expected = {"CP1Z3", "CP1Z12", "CP1Z20", "CP1Z21", "CP1Z22",
                                             "CP1Z5"};
  EXPECT_EQ(ZoneAlarms(early.All()), expected);
  ASSERT_TRUE(early.WaitFor("vuzov/1/status", "offline"));
  const auto status = early.On("vuzov/1/status");
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.front(), "online");
  EXPECT_EQ(status.back(), "offline");
  // The panel is available while its link is up, and not before or after.
  const auto availability = early.On("vuzov/1/availability");
  ASSERT_FALSE(availability.empty());
  EXPECT_EQ(availability.front(), "offline") << "available before the first answer";
  EXPECT_EQ(availability.back(), "offline") << "available after the gateway ended";
  std::vector<std::string> turns;
  for (const std::string &payload : availability) {
    if (turns.empty() || turns.back() != payload) turns.push_back(payload);
  }
  EXPECT_EQ(turns, (std::vector<std::string>{"offline", "online", "offline", "online", "offline"}));
  const auto results = early.On("vuzov/1/command/result");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_NE(results[0].find("without --mqtt-commands"), std::string::npos) << results[0];
  EXPECT_NE(results[0].find("\"acknowledged\":false"), std::string::npos) << results[0];
  EXPECT_EQ(Count(zemhost.out(), " command "), 0) << "a refused command reached the panel";
  EXPECT_FALSE(early.On("vuzov/1/log").empty());
  const auto zone_config = early.On("homeassistant/binary_sensor/vuzov_1/CP1Z3/config");
  ASSERT_EQ(zone_config.size(), 1u);
  EXPECT_NE(zone_config[0].find("\"device_class\":\"smoke\""), std::string::npos);
  // A zone is unavailable while the gateway or the panel's link is.
  EXPECT_NE(zone_config[0].find("\"availability\":[{\"topic\":\"vuzov/1/status\""),
            std::string::npos)
      << zone_config[0];
  EXPECT_NE(zone_config[0].find("{\"topic\":\"vuzov/1/availability\""), std::string::npos);
  EXPECT_NE(zone_config[0].find("\"availability_mode\":\"all\""), std::string::npos);
  EXPECT_NE(zone_config[0].find("\"json_attributes_topic\":\"vuzov/1/zone/CP1Z3\""),
            std::string::npos);
  const auto link_config = early.On("homeassistant/binary_sensor/vuzov_1/link/config");
  ASSERT_FALSE(link_config.empty());
  EXPECT_NE(link_config[0].find("\"device_class\":\"connectivity\""), std::string::npos);
  EXPECT_NE(link_config[0].find("\"availability_topic\":\"vuzov/1/status\""), std::string::npos)
      << "the link's own sensor needs only the gateway";
  EXPECT_TRUE(early.On("homeassistant/button/vuzov_1/silence/config").empty())
      << "a command button with commands off";
  // What set each zone, beside it.
  const auto zone3 = early.On("vuzov/1/zone/CP1Z3");
  ASSERT_FALSE(zone3.empty());
  EXPECT_NE(zone3.back().find("\"value\":1,\"alarm\":true,\"fault\":false,\"message_type\":"
                              "\"3\",\"message_code\":51,\"message_state\":1,"
                              "\"meaning\":\"unmapped\""),
            std::string::npos)
      << zone3.back();

  Subscriber late(broker.port());
  ASSERT_TRUE(late.WaitFor("vuzov/1/status", "offline"));
  ASSERT_TRUE(late.WaitFor("vuzov/1/availability", "offline"));
  ASSERT_TRUE(late.WaitFor("vuzov/1/link", "exchanges"));
  ASSERT_NO_FATAL_FAILURE(ExpectRetainedAsPrinted(late, zemhost.out(), 8));
  const auto link = late.On("vuzov/1/link");
  EXPECT_NE(link.back().find("\"state\":\"up\","), std::string::npos) << link.back();
  EXPECT_EQ(link.back().find("\"failures\":0,"), std::string::npos) << link.back();
  EXPECT_NE(link.back().find("\"last_good\":\"20"), std::string::npos) << link.back();
  // Each turn of the link was said as it happened, with its reason.
  EXPECT_EQ(LinkTurns(early.On("vuzov/1/link")),
            (std::vector<std::string>{"unknown", "up", "down", "up"}));
  EXPECT_TRUE(early.WaitFor("vuzov/1/link", "\"why\":\"3 failed exchanges in a row\""));
}

// A panel in a process of its own on a pty, as a site's panel is a device
// of its own; its line is found through panelsim's --link.
class PanelProcess {
 public:
  PanelProcess(const TempDir &dir, const std::string &scenario)
      : link_(dir.File("panel")), log_(dir.File("panelsim.log")) {
    process_ = std::make_unique<vuzov_test::ChildProcess>(
        std::vector<std::string>{PANELSIM_PROGRAM, "--link", link_, scenario},
        vuzov_test::ChildStreams{-1, log_.fd(), log_.fd()});
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (Port().empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
  }

  // "pts/7", the name the driver opens; empty until the line is there.
  std::string Port() const {
    std::error_code failed;
    const std::string target = fs::read_symlink(link_, failed).string();
    return failed || target.rfind("/dev/", 0) != 0 ? std::string() : target.substr(5);
  }
  void Signal(int number) const { process_->Signal(number); }
  void Kill() { process_.reset(); }  // SIGKILL and reap: the line is gone

 private:
  std::string link_;
  OutputFile log_;
  std::unique_ptr<vuzov_test::ChildProcess> process_;
};

// What zemhost's JSON said of its exchanges and link, in order:
// "exchange 0", "exchange 2", "link down", "link up".
std::vector<std::string> ExchangesAndLink(const std::string &json) {
  std::vector<std::string> steps;
  std::istringstream lines(json);
  std::string line;
  while (std::getline(lines, line)) {
    const auto result = line.find("\"result\":");
    if (line.find("\"event\":\"exchange\"") != std::string::npos && result != std::string::npos) {
      steps.push_back("exchange " + line.substr(result + 9, line.find_first_of(",}", result) - result - 9));
    } else if (line.find("\"event\":\"link\"") != std::string::npos) {
      steps.push_back(line.find("\"state\":\"up\"") != std::string::npos ? "link up" : "link down");
    }
  }
  return steps;
}

// The panel stops answering (its process stopped), answers again, then its
// process is killed and its line is gone: the panel's availability, which
// every zone entity's discovery config lists, goes offline within the rule's
// time each time the panel is lost, and online with the first answered poll.
TEST(MqttGateway, ALostPanelMakesItsZonesUnavailable) {
  TempDir dir;
  WriteFile(dir.File("alarm.scn"), "clock first-poll\nat poll 2 zone-alarm 3\n");
  Broker broker(dir);
  ASSERT_TRUE(broker.started());
  Subscriber client(broker.port());
  PanelProcess panel(dir, dir.File("alarm.scn"));
  ASSERT_FALSE(panel.Port().empty());
  Zemhost zemhost(dir, {"--port", panel.Port(), "--json", "--interval", "50ms", "--mqtt",
                        broker.Url(), "--mqtt-discovery"});
  ASSERT_TRUE(client.WaitFor("vuzov/1/gate/CP1Z3", "1")) << zemhost.out() << zemhost.err();
  ASSERT_TRUE(client.WaitForLast("vuzov/1/availability", "online"));
  const auto zone = client.On("homeassistant/binary_sensor/vuzov_1/CP1Z3/config");
  ASSERT_EQ(zone.size(), 1u);
  EXPECT_NE(zone[0].find("{\"topic\":\"vuzov/1/availability\""), std::string::npos) << zone[0];

  panel.Signal(SIGSTOP);
  auto lost = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.WaitForLast("vuzov/1/availability", "offline", 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - lost, 6s);
  EXPECT_EQ(client.On("vuzov/1/status").back(), "online") << "the gateway itself is there";
  panel.Signal(SIGCONT);
  ASSERT_TRUE(client.WaitForLast("vuzov/1/availability", "online", 10s)) << zemhost.out();
  // The first poll answered after the loss brought the link back.
  const std::vector<std::string> steps = ExchangesAndLink(zemhost.out());
  const auto down = std::find(steps.begin(), steps.end(), "link down");
  ASSERT_NE(down, steps.end());
  const auto answered = std::find(down, steps.end(), "exchange 0");
  ASSERT_NE(answered, steps.end());
  ASSERT_NE(answered + 1, steps.end());
  EXPECT_EQ(*(answered + 1), "link up");

  panel.Kill();
  lost = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.WaitForLast("vuzov/1/availability", "offline", 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - lost, 6s);
  ASSERT_TRUE(client.WaitFor("vuzov/1/link", "\"state\":\"down\""));
  zemhost.Signal(SIGTERM);
  EXPECT_EQ(zemhost.Wait(), 0) << zemhost.err();
  // The zone's last value stays, and the entity says it is not current.
  Subscriber late(broker.port());
  ASSERT_TRUE(late.WaitFor("vuzov/1/availability", "offline"));
  ASSERT_TRUE(late.WaitFor("vuzov/1/gate/CP1Z3", "1"));
}

// Two instances, two panels: each instance's gates and driver log lines go to
// its own topics, and a line of the driver's own threads to both.
TEST(MqttGateway, EachInstanceHasItsOwnGatesAndLog) {
  TempDir dir;
  WriteFile(dir.File("quiet.scn"), "clock first-poll\nat poll 2 zone-alarm 7\n");
  WriteFile(dir.File("two.conf"), "interval = 20ms\npolls = 16\ndiscover = yes\n"
                                  "[instance]\ntimeout = 20\nsimulate = " + kScenarios +
                                  "/quick.scn\n[instance]\ntimeout = 20\npoint = CP2Z1\n"
                                  "simulate = " + dir.File("quiet.scn") + "\n");
  Broker broker(dir);
  ASSERT_TRUE(broker.started());
  Subscriber client(broker.port());
  ASSERT_TRUE(client.ready());
  Zemhost zemhost(dir, {"--config", dir.File("two.conf"), "--mqtt", broker.Url()});
  EXPECT_EQ(zemhost.Wait(), 0) << zemhost.err();
  ASSERT_TRUE(client.WaitFor("vuzov/2/status", "offline"));
  const auto in_log = [&](int instance, const std::string &text) {
    int count = 0;
    for (const std::string &line : client.On("vuzov/" + std::to_string(instance) + "/log")) {
      count += line.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
  };
  EXPECT_EQ(in_log(1, "Command 53 rejected"), 1);
  EXPECT_EQ(in_log(2, "Command 53 rejected"), 0) << "instance 1's line in instance 2's log";
  EXPECT_EQ(in_log(1, "ColdStart() port"), 1);
  EXPECT_EQ(in_log(2, "ColdStart() port"), 1);
  EXPECT_EQ(in_log(1, "ShutDown !"), 2) << "each waiting thread's line goes to every instance";
  EXPECT_EQ(in_log(2, "ShutDown !"), 2);
  EXPECT_EQ(client.On("vuzov/2/gate/CP2Z7"), std::vector<std::string>{"1"});
  for (const Received &message : client.All()) {
    EXPECT_NE(message.topic.rfind("vuzov/1/gate/CP2", 0), 0u) << message.topic;
    EXPECT_NE(message.topic.rfind("vuzov/2/gate/CP1", 0), 0u) << message.topic;
  }
}

// The broker is not up yet when zemhost starts, then dies (SIGKILL, no
// persistence) while zones keep going into alarm, and comes back on the same
// port: zemhost is back within the longest reconnect delay, every gate ends
// at the value zemhost has, and the first connection, the loss and the
// return are each said once, as what they are.
TEST(MqttGateway, ABrokerRestartLosesNoGatesFinalValue) {
  TempDir dir;
  WriteFile(dir.File("slow.scn"),
            "clock first-poll\n"
            "at poll 2 zone-alarm 3\n"
            "at poll 30 zone-alarm 12\n"
            "at poll 60 alarm-range 20 22\n"
            "at poll 90 zone-report 5\n");
  Broker broker(dir);
  ASSERT_TRUE(broker.started());
  broker.Kill();
  Zemhost zemhost(dir, {"--simulate", dir.File("slow.scn"), "--interval", "20ms", "--mqtt",
                        broker.Url()});
  ASSERT_TRUE(zemhost.WaitForOutput("retrying in the background")) << zemhost.out();
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(zemhost.WaitForOutput("(instance 1): connected\n", 10s)) << zemhost.out();
  {
    Subscriber before(broker.port());
    ASSERT_TRUE(before.WaitFor("vuzov/1/gate/CP1Z3", "1"));
  }
  broker.Kill();
  ASSERT_TRUE(zemhost.WaitForOutput("connection lost")) << zemhost.out();
  ASSERT_TRUE(zemhost.WaitForOutput("CP1Z12 = 1")) << "the zone came while the broker was away";
  // Long enough for the library's delay to have grown to its longest.
  std::this_thread::sleep_for(6s);
  ASSERT_TRUE(broker.Start());
  const auto back = std::chrono::steady_clock::now();
  // The delay is at most 5 s; the rest is for a loaded machine.
  ASSERT_TRUE(zemhost.WaitForOutput("connected again", 7s)) << zemhost.out();
  EXPECT_LT(std::chrono::steady_clock::now() - back, 7s);
  ASSERT_TRUE(zemhost.WaitForOutput("CP1Z5 = 1"));
  Subscriber after(broker.port());
  ASSERT_TRUE(after.WaitFor("vuzov/1/gate/CP1Z5", "1"));
  ASSERT_TRUE(after.WaitFor("vuzov/1/gate/CP1Z3", "1")) << "sent again after the reconnect";
  zemhost.Signal(SIGTERM);
  EXPECT_EQ(zemhost.Wait(), 0) << zemhost.err();
  EXPECT_EQ(Count(zemhost.out(), ": connected\n"), 1) << zemhost.out();
  EXPECT_EQ(Count(zemhost.out(), "connection lost"), 1) << zemhost.out();
  EXPECT_EQ(Count(zemhost.out(), "connected again"), 1) << zemhost.out();

  Subscriber late(broker.port());
  ASSERT_TRUE(late.WaitFor("vuzov/1/status", "offline"));
  ASSERT_NO_FATAL_FAILURE(ExpectRetainedAsPrinted(late, zemhost.out(), 6));
}

// The gate values a late subscriber is given, once `gate` has come.
std::map<std::string, std::string> RetainedOnceThere(int port, const std::string &base,
                                                     const std::string &gate) {
  Subscriber late(port);
  late.WaitFor(base + "gate/" + gate, "");
  std::this_thread::sleep_for(200ms);  // the rest of the retained set, sent together
  return RetainedGates(late, base);
}

// A site that maps its message types: a fault shows on the zone's problem
// sensor and not as smoke; zemhost's reset, acknowledged by the panel,
// clears instance 1's zones and the element an alarm set, and leaves the
// element whose state the panel keeps; instance 2's panel reports the
// site's reset message, which clears the same way. Neither touches the other
// instance's zones.
TEST(MqttGateway, AResetClearsWhatAnAlarmSetAndAFaultIsNoFire) {
  TempDir dir;
  const std::string messages = "at poll 3 element-event 12 12\nat poll 4 element-state 260 5 3\n";
  WriteFile(dir.File("one.scn"), "clock first-poll\nat poll 2 zone-alarm 3\n" + messages +
                                     "at poll 5 zone-fault 7\n");
  WriteFile(dir.File("two.scn"), "clock first-poll\nat poll 2 zone-alarm 5\n" + messages +
                                     "at poll 30 status 2 5\n");
  Broker broker(dir);
  ASSERT_TRUE(broker.started());
  WriteFile(dir.File("site.conf"), "interval = 50ms\ndiscover = yes\nmqtt = " + broker.Url() +
                                       "\nmqtt-commands = yes\nmqtt-discovery = yes\n"
                                       "[message-types]\n1 = alarm\n0 = other\n"
                                       "[instance]\ntimeout = 20\nsimulate = one.scn\n"
                                       "[message-types]\n0x37 = fault  # '7'\n"
                                       "[instance]\ntimeout = 20\nsimulate = two.scn\n"
                                       "reset-message = 2/5\n");
  Subscriber client(broker.port());
  Zemhost zemhost(dir, {"--config", dir.File("site.conf")});
  ASSERT_TRUE(client.WaitFor("vuzov/1/gate/CP1Z7", "1")) << zemhost.out() << zemhost.err();
  // Zone 7 is in fault: its problem sensor reads fault, its smoke sensor alarm.
  ASSERT_TRUE(client.WaitFor("vuzov/1/zone/CP1Z7", "\"fault\":true"));
  EXPECT_NE(client.On("vuzov/1/zone/CP1Z7").back().find(
                "\"value\":1,\"alarm\":false,\"fault\":true,\"message_type\":\"7\","
                "\"message_code\":55,\"message_state\":1,\"meaning\":\"fault\""),
            std::string::npos)
      << client.On("vuzov/1/zone/CP1Z7").back();
  const auto smoke = client.On("homeassistant/binary_sensor/vuzov_1/CP1Z7/config");
  ASSERT_EQ(smoke.size(), 1u);
  EXPECT_NE(smoke[0].find("\"device_class\":\"smoke\",\"state_topic\":\"vuzov/1/zone/CP1Z7\","
                          "\"value_template\":\"{{ 'ON' if value_json.alarm else 'OFF' }}\""),
            std::string::npos)
      << smoke[0];
  const auto problem = client.On("homeassistant/binary_sensor/vuzov_1/CP1Z7_problem/config");
  ASSERT_EQ(problem.size(), 1u);
  EXPECT_NE(problem[0].find("\"device_class\":\"problem\",\"state_topic\":\"vuzov/1/zone/"
                            "CP1Z7\",\"value_template\":\"{{ 'ON' if value_json.fault else "
                            "'OFF' }}\""),
            std::string::npos)
      << problem[0];
  EXPECT_NE(client.On("vuzov/1/zone/CP1Z3").back().find("\"alarm\":true,\"fault\":false"),
            std::string::npos);
  EXPECT_TRUE(client.On("homeassistant/binary_sensor/vuzov_2/CP1Z5_problem/config").empty())
      << "a problem sensor where no type is a fault";

  ASSERT_TRUE(client.WaitFor("vuzov/1/gate/CP1Z260E5", "3"));
  client.Publish("vuzov/1/command", "reset");
  ASSERT_TRUE(client.WaitFor("vuzov/1/command/result", "\"acknowledged\":true"));
  ASSERT_TRUE(client.WaitForLast("vuzov/1/gate/CP1Z7", "0")) << zemhost.out();
  ASSERT_TRUE(client.WaitFor("vuzov/2/gate/CP1Z12E12", "0")) << "the reset message's clearing";
  zemhost.Signal(SIGTERM);
  EXPECT_EQ(zemhost.Wait(), 0) << zemhost.err();
  EXPECT_NE(zemhost.out().find(" instance 1 zones cleared: reset acknowledged\n"),
            std::string::npos);
  EXPECT_NE(zemhost.out().find(" instance 2 zones cleared: reset message 2/5\n"),
            std::string::npos);

  // What stays on the broker: the zones and the alarm's element at 0, the
  // element's state kept, in both instances.
  for (const std::string base : {"vuzov/1/", "vuzov/2/"}) {
    SCOPED_TRACE(base);
    auto retained = RetainedOnceThere(broker.port(), base, "CP1Z260E5");
    EXPECT_EQ(retained["CP1Z12E12"], "0");
    EXPECT_EQ(retained["CP1Z260E5"], "3");
    EXPECT_EQ(retained[base == "vuzov/1/" ? "CP1Z3" : "CP1Z5"], "0");
    if (base == "vuzov/1/") {
      EXPECT_EQ(retained["CP1Z7"], "0");
    }
  }
  // Each instance's zone went back to 0 by its own reset alone.
  EXPECT_EQ(client.On("vuzov/2/gate/CP1Z5"), (std::vector<std::string>{"1", "0"}));
  EXPECT_NE(client.On("vuzov/2/zone/CP1Z5").back().find("\"cleared_by\":\"reset message 2/5\""),
            std::string::npos);
  EXPECT_EQ(client.On("vuzov/1/gate/CP1Z3"), (std::vector<std::string>{"1", "0"}));
  EXPECT_NE(client.On("vuzov/1/zone/CP1Z3").back().find("\"cleared_by\":\"reset acknowledged\""),
            std::string::npos);
}

// Zone states outlive the gateway on purpose: a fire must not vanish because
// zemhost restarted. The next gateway's reset clears them with its own, and
// --mqtt-clear deletes them deliberately.
TEST(MqttGateway, ZonesOutliveARestartUntilAResetOrAClear) {
  TempDir dir;
  WriteFile(dir.File("fire.scn"), "clock first-poll\nat poll 2 zone-alarm 3\n");
  WriteFile(dir.File("quiet.scn"), "clock first-poll\n");
  Broker broker(dir);
  ASSERT_TRUE(broker.started());
  const auto run = [&](const std::string &scenario, std::vector<std::string> more) {
    std::vector<std::string> arguments = {"--simulate", dir.File(scenario), "--interval", "20ms",
                                          "--mqtt", broker.Url()};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return std::make_unique<Zemhost>(dir, arguments);
  };
  {
    auto fire = run("fire.scn", {});
    ASSERT_TRUE(fire->WaitForOutput("CP1Z3 = 1")) << fire->out();
    fire->Signal(SIGTERM);
    ASSERT_EQ(fire->Wait(), 0) << fire->err();
  }
  {
    auto quiet = run("quiet.scn", {"--mqtt-commands"});
    Subscriber client(broker.port());
    ASSERT_TRUE(client.WaitFor("vuzov/1/availability", "online"));
    EXPECT_EQ(RetainedGates(client, "vuzov/1/")["CP1Z3"], "1") << "the fire vanished";
    client.Publish("vuzov/1/command", "reset");
    ASSERT_TRUE(client.WaitForLast("vuzov/1/gate/CP1Z3", "0")) << quiet->out();
    ASSERT_TRUE(client.WaitFor("vuzov/1/zone/CP1Z3", "\"cleared_by\":\"reset acknowledged\""));
    quiet->Signal(SIGTERM);
    ASSERT_EQ(quiet->Wait(), 0) << quiet->err();
  }
  {
    auto fire = run("fire.scn", {});
    ASSERT_TRUE(fire->WaitForOutput("CP1Z3 = 1")) << fire->out();
    fire->Signal(SIGTERM);
    ASSERT_EQ(fire->Wait(), 0) << fire->err();
  }
  auto cleared = run("quiet.scn", {"--mqtt-clear"});
  ASSERT_TRUE(cleared->WaitForOutput("retained gate and zone states (--mqtt-clear)")) << cleared->out();
  Subscriber client(broker.port());
  ASSERT_TRUE(client.WaitFor("vuzov/1/availability", "online"));
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(RetainedGates(client, "vuzov/1/").empty()) << "a state left after --mqtt-clear";
  for (const Received &message : client.All()) {
    EXPECT_NE(message.topic.rfind("vuzov/1/zone/", 0), 0u) << message.topic;
  }
  cleared->Signal(SIGTERM);
  EXPECT_EQ(cleared->Wait(), 0) << cleared->err();
}

// Commands from the broker reach the panel and their outcome comes back; any
// other payload is answered with an error and sends nothing; a zemhost killed
// with SIGKILL is left offline by its will.
TEST(MqttGateway, CarriesOutCommandsAndDiesOffline) {
  TempDir dir;
  Broker broker(dir);
  ASSERT_TRUE(broker.started());
  Subscriber client(broker.port());
  // Left on the broker from before: it must not run when zemhost subscribes.
  client.Publish("site/north/1/command", "reset", true);
  ASSERT_TRUE(client.WaitFor("site/north/1/command", "reset"));
  Zemhost zemhost(dir, {"--simulate", kScenarios + "/quick.scn", "--interval", "20ms", "--mqtt",
                        broker.Url(), "--mqtt-prefix", "site/north", "--mqtt-commands",
                        "--mqtt-discovery"});
  ASSERT_TRUE(client.WaitFor("site/north/1/status", "online"));
  ASSERT_TRUE(client.WaitFor("homeassistant/button/site_north_1/reset/config", "\"payload_press\":\"reset\""));
  ASSERT_TRUE(client.WaitFor("site/north/1/command/result", "retained"));
  client.Publish("site/north/1/command", "", true);  // clears it
  client.Publish("site/north/1/command", "silence");
  ASSERT_TRUE(client.WaitFor("site/north/1/command/result", "\"acknowledged\":true"));
  EXPECT_TRUE(zemhost.WaitForOutput("instance 1 command CP1S! acknowledged")) << zemhost.out();
  for (const char *bad : {"explode", " ", "silence please", "SILENCE"}) {
    client.Publish("site/north/1/command", bad);
  }
  // Published retained while zemhost listens: the broker hands it on at
  // once, and only MQTT 5's retain-as-published still shows the flag.
  client.Publish("site/north/1/command", "silence", true);
  client.Publish("site/north/1/command", "", true);
  client.Publish("site/north/1/command", "acknowledge");
  ASSERT_TRUE(client.WaitFor("site/north/1/command/result", "\"command\":\"acknowledge\""));
  EXPECT_TRUE(zemhost.WaitForOutput("command CP1A!")) << zemhost.out();
  const auto results = client.On("site/north/1/command/result");
  // The retained one, silence, four bad payloads, the live retained one, acknowledge.
  ASSERT_EQ(results.size(), 8u) << Joined(results);
  EXPECT_NE(results[1].find("\"command\":\"silence\",\"point\":\"CP1S!\""), std::string::npos)
      << results[1];
  for (std::size_t i : {0, 2, 3, 4, 5, 6}) {
    EXPECT_NE(results[i].find("\"error\":"), std::string::npos) << results[i];
  }
  EXPECT_NE(results[6].find("a retained command is not carried out"), std::string::npos)
      << results[6];
  EXPECT_EQ(Count(zemhost.out(), " command "), 2) << zemhost.out();

  zemhost.Signal(SIGKILL);
  ASSERT_TRUE(zemhost.KilledBy(SIGKILL));
  ASSERT_TRUE(client.WaitForLast("site/north/1/status", "offline"));
  Subscriber late(broker.port());
  ASSERT_TRUE(late.WaitFor("site/north/1/status", "offline"));
  // The will said the crashed gateway is gone: a new one takes its place
  // without waiting (a service manager restarting it).
  Zemhost again(dir, {"--simulate", kScenarios + "/quick.scn", "--interval", "20ms", "--mqtt",
                      broker.Url(), "--mqtt-prefix", "site/north"});
  ASSERT_TRUE(client.WaitForLast("site/north/1/status", "online", 5s)) << again.out();
  EXPECT_EQ(again.out().find("waiting up to"), std::string::npos) << again.out();
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(), 0) << again.err();
}

// A second gateway given the same prefix finds the first one's instance
// online, waits one and a half keepalives for a will that does not come, and
// stops naming the topic; with --mqtt-takeover it starts, and says so.
TEST(MqttGateway, OneGatewayHoldsAnInstanceTopics) {
  TempDir dir;
  Broker broker(dir);
  ASSERT_TRUE(broker.started());
  Subscriber client(broker.port());
  const std::vector<std::string> gateway = {"--simulate", kScenarios + "/quick.scn",
                                            "--interval", "20ms", "--mqtt", broker.Url(),
                                            "--mqtt-prefix", "site", "--mqtt-keepalive", "5s"};
  Zemhost first(dir, gateway);
  ASSERT_TRUE(client.WaitFor("site/1/status", "online"));
  TempDir second_dir;
  TempDir taker_dir;
  Zemhost second(second_dir, gateway);
  std::vector<std::string> takeover = gateway;
  takeover.push_back("--mqtt-takeover");
  Zemhost taker(taker_dir, takeover);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(second.Wait(), 5) << second.out();
  EXPECT_GE(std::chrono::steady_clock::now() - started, 7s) << "it did not wait for a will";
  EXPECT_NE(second.err().find("another gateway holds site/1: site/1/status is still online after "
                              "7.5s"),
            std::string::npos)
      << second.err();
  EXPECT_EQ(second.out().find("CP1Z3"), std::string::npos) << "the run went on";
  ASSERT_TRUE(taker.WaitForOutput("taking over site/1 (--mqtt-takeover)", 15s)) << taker.out();
  ASSERT_TRUE(taker.WaitForOutput("CP1Z3 = 1")) << taker.out();
  for (Zemhost *run : {&first, &taker}) {
    run->Signal(SIGTERM);
    EXPECT_EQ(run->Wait(), 0) << run->err();
  }
}

// A broker of the MQTT 3.1.1 kind that no Debian package is (mosquitto 2.0
// speaks 5 too): it refuses an MQTT 5 CONNECT as a 3.1.1 broker does, takes a
// 3.1.1 one, acknowledges every subscription and QoS 1 publish, hands a
// publish on to a client subscribed to its exact topic, answers pings, keeps
// what it is given, and offers `stored` as a retained message on the command
// topic at its subscription. Just enough MQTT for zemhost's client.
class Mqtt311Broker {
 public:
  explicit Mqtt311Broker(std::string stored_command) : stored_(std::move(stored_command)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Mqtt311Broker() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (const Client &client : clients_) close(client.fd);
    close(listener_);
  }
  Mqtt311Broker(const Mqtt311Broker &) = delete;
  Mqtt311Broker &operator=(const Mqtt311Broker &) = delete;

  int port() const { return port_; }
  // "v5 refused", "v4 accepted", and each publish as "TOPIC PAYLOAD".
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  bool WaitFor(const std::string &what, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (const std::string &line : Seen()) {
        if (line.find(what) != std::string::npos) return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
  }

 private:
  struct Client {
    int fd;
    std::string in;
    std::vector<std::string> topics;
    bool gone = false;
  };

  void Serve() {
    while (!stop_) {
      std::vector<pollfd> fds{{listener_, POLLIN, 0}};
      for (const Client &client : clients_) fds.push_back({client.fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) clients_.push_back(Client{fd, {}, {}, false});
      }
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        Client &client = clients_[i - 1];
        if (got <= 0) {
          client.gone = true;
          continue;
        }
        client.in.append(buffer, static_cast<std::size_t>(got));
        while (Handle(client)) {
        }
      }
      for (auto client = clients_.begin(); client != clients_.end();) {
        if (!client->gone) {
          ++client;
          continue;
        }
        close(client->fd);
        client = clients_.erase(client);
      }
    }
  }

  // A client that has gone is no signal to end the test.
  static void Send(int fd, const std::string &bytes) {
    if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
      return;
    }
  }
  static std::string Length(std::size_t length) {
    std::string out;
    do {
      char byte = static_cast<char>(length % 128);
      length /= 128;
      if (length > 0) byte = static_cast<char>(byte | 0x80);
      out += byte;
    } while (length > 0);
    return out;
  }
  static std::string Text(const std::string &text) {
    return std::string{static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xFF)} +
           text;
  }
  static std::string PublishPacket(const std::string &topic, const std::string &payload,
                                   bool retain) {
    const std::string body = Text(topic) + payload;
    return std::string(1, static_cast<char>(retain ? 0x31 : 0x30)) + Length(body.size()) + body;
  }

  // One whole packet from the client's bytes; false when none is whole yet.
  bool Handle(Client &client) {
    std::size_t length = 0;
    std::size_t at = 1;
    for (int shift = 0; at < client.in.size(); shift += 7) {
      const auto byte = static_cast<unsigned char>(client.in[at++]);
      length |= static_cast<std::size_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) break;
    }
    if (client.in.size() < 2 || client.in.size() < at + length) return false;
    const auto type = static_cast<unsigned char>(client.in[0]);
    const std::string body = client.in.substr(at, length);
    client.in.erase(0, at + length);
    const auto word = [&](std::size_t from) {
      return static_cast<std::size_t>(static_cast<unsigned char>(body[from]) << 8 |
                                      static_cast<unsigned char>(body[from + 1]));
    };
    std::lock_guard<std::mutex> lock(mutex_);
    switch (type >> 4) {
      case 1: {  // CONNECT: "MQTT", then the protocol level
        const bool v5 = body.size() > 6 && body[6] == 5;
        seen_.push_back(v5 ? "v5 refused" : "v4 accepted");
        Send(client.fd, std::string("\x20\x02\x00", 3) + (v5 ? '\x01' : '\x00'));
        if (v5) shutdown(client.fd, SHUT_RDWR);
        break;
      }
      case 3: {  // PUBLISH
        const std::size_t topic_length = word(0);
        const std::string topic = body.substr(2, topic_length);
        const int qos = (type >> 1) & 3;
        const std::size_t payload_at = 2 + topic_length + (qos > 0 ? 2 : 0);
        const std::string payload = body.substr(payload_at);
        seen_.push_back(topic + " " + payload);
        if (qos > 0) Send(client.fd, std::string("\x40\x02", 2) + body.substr(2 + topic_length, 2));
        for (const Client &other : clients_) {
          if (std::find(other.topics.begin(), other.topics.end(), topic) != other.topics.end()) {
            Send(other.fd, PublishPacket(topic, payload, false));
          }
        }
        break;
      }
      case 8: {  // SUBSCRIBE: the packet id, then filters with their QoS
        std::string granted;
        for (std::size_t from = 2; from + 2 <= body.size();) {
          const std::string topic = body.substr(from + 2, word(from));
          from += 2 + topic.size() + 1;
          client.topics.push_back(topic);
          granted += '\x01';
        }
        Send(client.fd, std::string(1, '\x90') + Length(2 + granted.size()) + body.substr(0, 2) +
                            granted);
        for (const std::string &topic : client.topics) {
          if (topic.size() > 8 && topic.compare(topic.size() - 8, 8, "/command") == 0) {
            Send(client.fd, PublishPacket(topic, stored_, true));
          }
        }
        break;
      }
      case 12:  // PINGREQ
        Send(client.fd, std::string("\xD0\x00", 2));
        break;
      default:  // PUBACK, DISCONNECT: nothing to answer
        break;
    }
    return true;
  }

  const std::string stored_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<Client> clients_;  // the serving thread's own
  std::mutex mutex_;
  std::vector<std::string> seen_;
  std::thread thread_;
};

// A broker that speaks only MQTT 3.1.1 refuses zemhost's MQTT 5: zemhost
// says at the start what that costs (a command published retained while it
// listens cannot be told from a live one), goes on in 3.1.1, and still
// refuses a retained command stored before it subscribed.
TEST(MqttGateway, FallsBackToMqtt311AndSaysWhatItCannotRefuse) {
  TempDir dir;
  Mqtt311Broker broker("reset");
  ASSERT_NE(broker.port(), 0);
  Zemhost zemhost(dir, {"--simulate", kScenarios + "/quick.scn", "--interval", "20ms", "--mqtt",
                        "mqtt://127.0.0.1:" + std::to_string(broker.port()), "--mqtt-commands"});
  ASSERT_TRUE(broker.WaitFor("vuzov/1/status online", 10s)) << zemhost.out() << zemhost.err();
  ASSERT_TRUE(broker.WaitFor("vuzov/1/command/result", 10s)) << zemhost.out();
  ASSERT_TRUE(broker.WaitFor("vuzov/1/gate/CP1Z3 1", 10s)) << zemhost.out();
  zemhost.Signal(SIGTERM);
  EXPECT_EQ(zemhost.Wait(), 0) << zemhost.err();
  EXPECT_EQ(Count(zemhost.out(), "the broker speaks MQTT 3.1.1, not 5: a command published with "
                                 "the retain flag while zemhost is connected"),
            1)
      << zemhost.out();
  EXPECT_EQ(Count(zemhost.out(), "instance 1 command CP"), 0) << "the stored reset reached the panel";
  const std::vector<std::string> seen = broker.Seen();
  EXPECT_EQ(seen.front(), "v5 refused");
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "v5 refused"), 1) << "MQTT 5 tried again";
  for (const std::string &line : seen) {
    if (line.rfind("vuzov/1/command/result ", 0) == 0) {
      EXPECT_NE(line.find("a retained command is not carried out"), std::string::npos) << line;
    }
  }
}

// A broker that wants a login: the password comes from a file and is taken;
// a wrong one stops zemhost at the start with the broker's reason. No output
// ever shows a password, the journal's lines of a service included.
TEST(MqttGateway, LogsInWithThePasswordFileAndRefusesAWrongOne) {
  TempDir dir;
  const std::string passwords = dir.File("passwords");
  const std::string command = std::string(MOSQUITTO_PASSWD_PROGRAM) + " -c -b " + passwords +
                              " panel 's3cret word' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  Broker broker(dir, "allow_anonymous false\npassword_file " + passwords + "\n");
  ASSERT_TRUE(broker.started());
  WriteFile(dir.File("good"), "s3cret word\n");
  WriteFile(dir.File("bad"), "guess\n");
  {
    // The same keys in a config file as the flags, run as a service runs it.
    WriteFile(dir.File("gateway.conf"), "mqtt = " + broker.Url() + "\nmqtt-user = panel\n" +
                                            "mqtt-password-file = " + dir.File("good") +
                                            "\ninterval = 20ms\n[instance]\ntimeout = 20\nsimulate = " +
                                            kScenarios + "/quick.scn\n");
    Subscriber watcher(broker.port());  // refused: it has no login
    Zemhost zemhost(dir, {"--config", dir.File("gateway.conf")}, Zemhost::kJournal);
    ASSERT_TRUE(zemhost.WaitForOutput("\n<5>CP1Z3 = 1\n", 10s, /*on_error=*/true)) << zemhost.err();
    zemhost.Signal(SIGTERM);
    EXPECT_EQ(zemhost.Wait(), 0) << zemhost.err();
    EXPECT_EQ(zemhost.out(), "");
    EXPECT_EQ(zemhost.err().find("refused"), std::string::npos) << zemhost.err();
    EXPECT_EQ(zemhost.err().find("s3cret"), std::string::npos) << zemhost.err();
    EXPECT_FALSE(watcher.ready()) << "the broker let an anonymous client in";
  }
  {
    Zemhost zemhost(dir, {"--simulate", kScenarios + "/quick.scn", "--mqtt", broker.Url(),
                          "--mqtt-user", "panel", "--mqtt-password-file", dir.File("bad")});
    EXPECT_EQ(zemhost.Wait(), 5) << zemhost.out();
    // The broker's reason in MQTT 5's words.
    EXPECT_NE(zemhost.err().find("the broker refused the connection: Not authorized"),
              std::string::npos)
        << zemhost.err();
    EXPECT_EQ(zemhost.out().find("CP1Z3"), std::string::npos) << "the run went on";
    EXPECT_EQ((zemhost.out() + zemhost.err()).find("guess"), std::string::npos) << zemhost.err();
  }
  const std::vector<std::pair<std::vector<std::string>, std::string>> misuses = {
      {{"--mqtt", broker.Url(), "--mqtt-password", "s3cret"}, "never given as an option"},
      {{"--mqtt", "127.0.0.1:1883"}, "is not a broker URL"},
      {{"--mqtt", broker.Url(), "--mqtt-cafile", passwords}, "is for an mqtts:// broker"},
      {{"--mqtt-commands"}, "need --mqtt URL"},
  };
  for (const auto &[arguments, message] : misuses) {
    Zemhost zemhost(dir, arguments);
    EXPECT_EQ(zemhost.Wait(), 2) << message;
    EXPECT_NE(zemhost.err().find(message), std::string::npos) << zemhost.err();
  }
}

}  // namespace
