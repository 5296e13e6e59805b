// zemhost as an MQTT gateway, against a real mosquitto broker that each test
// starts on a free loopback port, with a real subscriber. zemhost runs as a
// user runs it, against its simulated panel.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
    // Short read timeouts; a config file sets its instances' own.
    if (std::find(arguments.begin(), arguments.end(), "--config") == arguments.end()) {
      argv.insert(argv.end(), {"--timeout", "5"});
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

std::vector<std::string> ZoneAlarms(const std::vector<Received> &messages) {
  std::vector<std::string> zones;
  for (const Received &message : messages) {
    if (message.topic.rfind("vuzov/1/gate/CP1Z", 0) == 0 && message.payload == "1") {
      zones.push_back(message.topic.substr(13));
    }
  }
  return zones;
}

// Zones, link, status, discovery and a refused command, then a subscriber that
// comes after the run and is given every value the run left.
TEST(MqttGateway, PublishesTheScenarioInOrderAndLeavesItRetained) {
  TempDir dir;
  // The short panel life, then two polls whose three attempts get no answer.
  WriteFile(dir.File("quiet.scn"), ReadFile(kScenarios + "/quick.scn") + "at poll 14 silent 6\n");
  Broker broker(dir);
  ASSERT_TRUE(broker.started());
  Subscriber early(broker.port());
  ASSERT_TRUE(early.ready());
  Zemhost zemhost(dir, {"--simulate", dir.File("quiet.scn"), "--interval", "20ms", "--mqtt",
                        broker.Url(), "--mqtt-discovery", "--selfcheck"});
  ASSERT_TRUE(early.WaitFor("vuzov/1/status", "online"));
  ASSERT_TRUE(early.WaitFor("vuzov/1/gate/CP1Z5", "1")) << zemhost.out();
  ASSERT_TRUE(early.WaitFor("vuzov/1/link", "\"state\":\"failing\""));
  ASSERT_TRUE(early.WaitFor("vuzov/1/link", "\"failures\":2,\"last_result\":0"))
      << "back to good; the link said:\n" << Joined(early.On("vuzov/1/link")) << zemhost.out();
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
  const auto results = early.On("vuzov/1/command/result");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_NE(results[0].find("without --mqtt-commands"), std::string::npos) << results[0];
  EXPECT_NE(results[0].find("\"acknowledged\":false"), std::string::npos) << results[0];
  EXPECT_EQ(Count(zemhost.out(), " command "), 0) << "a refused command reached the panel";
  EXPECT_FALSE(early.On("vuzov/1/log").empty());
  const auto zone_config = early.On("homeassistant/binary_sensor/vuzov_1/CP1Z3/config");
  ASSERT_EQ(zone_config.size(), 1u);
  EXPECT_NE(zone_config[0].find("\"device_class\":\"smoke\""), std::string::npos);
  EXPECT_NE(zone_config[0].find("\"availability_topic\":\"vuzov/1/status\""), std::string::npos);
  EXPECT_TRUE(early.On("homeassistant/button/vuzov_1/silence/config").empty())
      << "a command button with commands off";

  Subscriber late(broker.port());
  ASSERT_TRUE(late.WaitFor("vuzov/1/status", "offline"));
  ASSERT_TRUE(late.WaitFor("vuzov/1/link", "exchanges"));
  const auto printed = FinalValues(zemhost.out());
  ASSERT_GE(printed.size(), 8u);
  std::map<std::string, std::string> retained;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  do {
    retained = RetainedGates(late, "vuzov/1/");
    if (retained.size() < printed.size()) std::this_thread::sleep_for(20ms);
  } while (retained.size() < printed.size() && std::chrono::steady_clock::now() < deadline);
  for (const auto &[gate, value] : printed) EXPECT_EQ(retained[gate], value) << gate;
  const auto link = late.On("vuzov/1/link");
  EXPECT_NE(link.back().find("\"state\":\"good\",\"exchanges\":"), std::string::npos) << link.back();
  EXPECT_NE(link.back().find("\"failures\":2,"), std::string::npos) << link.back();
  EXPECT_NE(link.back().find("\"last_good\":\"20"), std::string::npos) << link.back();
  // Each turn of the link was said as it happened: good, failing, good.
  std::vector<std::string> turns;
  for (const std::string &payload : early.On("vuzov/1/link")) {
    const std::string state = payload.find("\"failing\"") != std::string::npos ? "failing" : "good";
    if (turns.empty() || turns.back() != state) turns.push_back(state);
  }
  EXPECT_EQ(turns, (std::vector<std::string>{"good", "failing", "good"}));
}

// Two instances, two panels: each instance's gates and driver log lines go to
// its own topics, and a line of the driver's own threads to both.
TEST(MqttGateway, EachInstanceHasItsOwnGatesAndLog) {
  TempDir dir;
  WriteFile(dir.File("quiet.scn"), "clock first-poll\nat poll 2 zone-alarm 7\n");
  WriteFile(dir.File("two.conf"), "interval = 20ms\npolls = 16\ndiscover = yes\n"
                                  "[instance]\ntimeout = 5\nsimulate = " + kScenarios +
                                  "/quick.scn\n[instance]\ntimeout = 5\npoint = CP2Z1\n"
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

// The broker dies (SIGKILL, no persistence) while zones keep going into alarm,
// and comes back on the same port: every gate ends at the value zemhost has,
// and the loss and the return are each said once.
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
  Zemhost zemhost(dir, {"--simulate", dir.File("slow.scn"), "--interval", "20ms", "--mqtt",
                        broker.Url()});
  {
    Subscriber before(broker.port());
    ASSERT_TRUE(before.WaitFor("vuzov/1/gate/CP1Z3", "1"));
  }
  broker.Kill();
  ASSERT_TRUE(zemhost.WaitForOutput("connection lost")) << zemhost.out();
  ASSERT_TRUE(zemhost.WaitForOutput("CP1Z12 = 1")) << "the zone came while the broker was away";
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(zemhost.WaitForOutput("connected again", 40s)) << zemhost.out();
  ASSERT_TRUE(zemhost.WaitForOutput("CP1Z5 = 1"));
  Subscriber after(broker.port());
  ASSERT_TRUE(after.WaitFor("vuzov/1/gate/CP1Z5", "1"));
  ASSERT_TRUE(after.WaitFor("vuzov/1/gate/CP1Z3", "1")) << "sent again after the reconnect";
  zemhost.Signal(SIGTERM);
  EXPECT_EQ(zemhost.Wait(), 0) << zemhost.err();
  EXPECT_EQ(Count(zemhost.out(), "connection lost"), 1) << zemhost.out();
  EXPECT_EQ(Count(zemhost.out(), "connected again"), 1) << zemhost.out();

  Subscriber late(broker.port());
  ASSERT_TRUE(late.WaitFor("vuzov/1/status", "offline"));
  const auto printed = FinalValues(zemhost.out());
  ASSERT_GE(printed.size(), 6u);
  std::map<std::string, std::string> retained;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  do {
    retained = RetainedGates(late, "vuzov/1/");
    if (retained.size() < printed.size()) std::this_thread::sleep_for(20ms);
  } while (retained.size() < printed.size() && std::chrono::steady_clock::now() < deadline);
  for (const auto &[gate, value] : printed) EXPECT_EQ(retained[gate], value) << gate;
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
  client.Publish("site/north/1/command", "acknowledge");
  ASSERT_TRUE(client.WaitFor("site/north/1/command/result", "\"command\":\"acknowledge\""));
  EXPECT_TRUE(zemhost.WaitForOutput("command CP1A!")) << zemhost.out();
  const auto results = client.On("site/north/1/command/result");
  // The retained one, silence, four bad payloads, acknowledge.
  ASSERT_EQ(results.size(), 7u);
  EXPECT_NE(results[1].find("\"command\":\"silence\",\"point\":\"CP1S!\""), std::string::npos)
      << results[1];
  for (std::size_t i : {0, 2, 3, 4, 5}) {
    EXPECT_NE(results[i].find("\"error\":"), std::string::npos) << results[i];
  }
  EXPECT_EQ(Count(zemhost.out(), " command "), 2) << zemhost.out();

  zemhost.Signal(SIGKILL);
  ASSERT_TRUE(zemhost.KilledBy(SIGKILL));
  ASSERT_TRUE(client.WaitFor("site/north/1/status", "offline"));
  Subscriber late(broker.port());
  ASSERT_TRUE(late.WaitFor("site/north/1/status", "offline"));
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
                                            "\ninterval = 20ms\n[instance]\ntimeout = 5\nsimulate = " +
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
    EXPECT_NE(zemhost.err().find("refused the connection: Connection Refused: not authorised"),
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
