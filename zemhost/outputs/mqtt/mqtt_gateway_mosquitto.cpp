// The gateway on libmosquitto. Each instance has one client and two threads:
// the network thread runs the client's loop (connect, read, write, reconnect
// with back-off), and the publisher thread hands queued messages to the client
// while it is connected, a bounded number at a time. The driver's threads only
// put messages on the queue.
#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "run/driver_calls.h"
#include "outputs/mqtt/mqtt_gateway.h"
#include "outputs/mqtt/mqtt_messages.h"

namespace zemhost {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Messages kept while the broker is away; past it the oldest go, and every
// gate's current value is sent again once the queue has drained.
constexpr std::size_t kQueueLimit = 10000;
// Messages handed to the client and not yet sent (QoS 0) or acknowledged.
constexpr std::int64_t kWindow = 64;
constexpr int kKeepAliveSeconds = 30;
constexpr auto kFirstAnswerWait = 10s;
constexpr auto kDrainWait = 3s;
constexpr auto kOfflineWait = 2s;
constexpr auto kLinkPeriod = 1s;
constexpr auto kFirstBackOff = 1s;
constexpr auto kLongestBackOff = 30s;
constexpr int kLoopMillis = 100;
constexpr std::size_t kLongestEchoedPayload = 64;

struct Outgoing {
  std::string topic;
  std::string payload;
  int qos = 1;
  bool retain = false;
};

// libmosquitto's process-wide set-up, for as long as a gateway lives.
class Library {
 public:
  Library() { mosquitto_lib_init(); }
  ~Library() { mosquitto_lib_cleanup(); }
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;
};

struct ClientDeleter {
  void operator()(mosquitto *client) const { mosquitto_destroy(client); }
};
using ClientHandle = std::unique_ptr<mosquitto, ClientDeleter>;

std::string ErrorText(int rc, int saved_errno) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(saved_errno);
  return mosquitto_strerror(rc);
}

// What the first attempt to reach the broker came to.
enum class FirstAnswer { kNone, kAccepted, kRefused, kUnreachable, kFatal };

class Connection {
 public:
  Connection(const MqttOptions &options, const BrokerAddress &broker, const std::string &password,
             int instance, GatewayNotice notice)
      : options_(options),
        broker_(broker),
        password_(password),
        topics_(options.prefix, instance),
        notice_(std::move(notice)) {}
  ~Connection() { Stop(); }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  int instance() const { return topics_.instance(); }

  bool Open(std::string *error) {
    if (!MakeClient(error)) return false;
    network_ = std::thread([this] { NetworkLoop(); });
    publisher_ = std::thread([this] { PublishLoop(); });
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, kFirstAnswerWait, [this] { return first_ != FirstAnswer::kNone; });
    const std::string where = Where();
    switch (first_) {
      case FirstAnswer::kAccepted:
        return true;
      case FirstAnswer::kRefused:
      case FirstAnswer::kFatal:
        *error = where + ": " + first_text_;
        lock.unlock();
        Stop();
        return false;
      case FirstAnswer::kUnreachable:
      case FirstAnswer::kNone:
        lost_noted_ = true;
        break;
    }
    const std::string text = first_ == FirstAnswer::kNone ? "no answer yet" : first_text_;
    lock.unlock();
    notice_(where + ": " + text + "; retrying in the background");
    return true;
  }

  void Stop() {
    if (!client_) return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!publisher_stop_) {
      link_urgent_ = link_dirty_;
      wake_.notify_all();
      wake_.wait_for(lock, kDrainWait, [this] { return !connected_ || Drained(); });
      publisher_stop_ = true;
      wake_.notify_all();
    }
    lock.unlock();
    if (publisher_.joinable()) publisher_.join();
    lock.lock();
    if (connected_ && !network_stop_) {
      // The will is for a gateway that vanishes; one that ends says so itself.
      lock.unlock();
      const std::string offline = "offline";
      const int rc = mosquitto_publish(client_.get(), nullptr, topics_.Status().c_str(),
                                       static_cast<int>(offline.size()), offline.data(), 1, true);
      lock.lock();
      if (rc == MOSQ_ERR_SUCCESS) {
        ++in_flight_;
        wake_.wait_for(lock, kOfflineWait, [this] { return !connected_ || in_flight_ <= 0; });
      }
    }
    network_stop_ = true;
    wake_.notify_all();
    lock.unlock();
    mosquitto_disconnect(client_.get());
    if (network_.joinable()) network_.join();
    client_.reset();
  }

  void Gate(const std::string &name, double value) {
    const std::string text = FormatValue(value);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto [entry, added] = gates_.try_emplace(name, text);
    if (!added) {
      if (entry->second == text) return;
      entry->second = text;
    }
    if (added && options_.discovery && IsZoneGate(name)) {
      Queue(Outgoing{topics_.ZoneDiscovery(name), topics_.ZoneConfig(name), 1, true});
    }
    Queue(Outgoing{topics_.Gate(name), text, 1, true});
  }

  void Log(std::int32_t level, const std::string &line) {
    std::lock_guard<std::mutex> lock(mutex_);
    Queue(Outgoing{topics_.Log(), LogJson(level, line), 0, false});
  }

  void Exchange(std::uint32_t result) {
    std::lock_guard<std::mutex> lock(mutex_);
    link_.exchanges += 1;
    if (result != 0) {
      link_.failures += 1;
    } else {
      link_.last_good = std::chrono::system_clock::now();
    }
    link_.last_result = result;
    const bool failing = result != 0;
    const bool turned = failing != link_.failing;
    link_.failing = failing;
    if (turned) {
      // Queued as it is now, so that no turn is lost in a later summary.
      Queue(Outgoing{topics_.Link(), LinkJson(link_), 1, true});
      link_dirty_ = false;
      last_link_sent_ = Clock::now();
      return;
    }
    link_dirty_ = true;
    wake_.notify_all();
  }

  void CommandDone(const std::string &point, std::uint32_t result, bool acknowledged) {
    std::lock_guard<std::mutex> lock(mutex_);
    Queue(Outgoing{topics_.CommandResult(),
                   CommandResultJson(CommandNameOf(point), point, acknowledged, result), 1, false});
  }

  void TakeCommands(std::vector<RemoteCommand> *out) {
    std::lock_guard<std::mutex> lock(mutex_);
    out->insert(out->end(), commands_.begin(), commands_.end());
    commands_.clear();
  }

 private:
  std::string Where() const {
    return "MQTT broker " + broker_.host + ":" + std::to_string(broker_.port) + " (instance " +
           std::to_string(instance()) + ")";
  }

  bool MakeClient(std::string *error) {
    client_.reset(mosquitto_new(nullptr, true, this));
    if (!client_) {
      *error = std::string("cannot make an MQTT client: ") + std::strerror(errno);
      return false;
    }
    mosquitto *client = client_.get();
    // Two threads of ours use the client; the library must not write from
    // the publishing one.
    mosquitto_threaded_set(client, true);
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    int rc = MOSQ_ERR_SUCCESS;
    if (!options_.user.empty()) {
      rc = mosquitto_username_pw_set(client, options_.user.c_str(),
                                     password_.empty() ? nullptr : password_.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && broker_.tls) {
      if (options_.cafile.empty()) {
        rc = mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
      } else {
        rc = mosquitto_tls_set(client, options_.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
      }
    }
    const std::string offline = "offline";
    if (rc == MOSQ_ERR_SUCCESS) {
      rc = mosquitto_will_set(client, topics_.Status().c_str(), static_cast<int>(offline.size()),
                              offline.data(), 1, true);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
      *error = "MQTT client settings: " + ErrorText(rc, errno);
      client_.reset();
      return false;
    }
    mosquitto_connect_callback_set(client, &OnConnect);
    mosquitto_disconnect_callback_set(client, &OnDisconnect);
    mosquitto_publish_callback_set(client, &OnPublish);
    mosquitto_message_callback_set(client, &OnMessage);
    return true;
  }

  static Connection *Of(void *self) { return static_cast<Connection *>(self); }

  static void OnConnect(mosquitto *client, void *self, int rc) {
    Connection &connection = *Of(self);
    if (rc == 0) {
      mosquitto_subscribe(client, nullptr, connection.topics_.Command().c_str(), 1);
    }
    connection.Connected(rc);
  }

  static void OnDisconnect(mosquitto *, void *self, int) {
    std::lock_guard<std::mutex> lock(Of(self)->mutex_);
    Of(self)->connected_ = false;
    Of(self)->wake_.notify_all();
  }

  static void OnPublish(mosquitto *, void *self, int) {
    std::lock_guard<std::mutex> lock(Of(self)->mutex_);
    Of(self)->in_flight_ -= 1;
    Of(self)->wake_.notify_all();
  }

  static void OnMessage(mosquitto *, void *self, const mosquitto_message *message) {
    if (message == nullptr || message->topic == nullptr) return;
    const std::string payload(static_cast<const char *>(message->payload),
                              static_cast<std::size_t>(std::max(message->payloadlen, 0)));
    Of(self)->Asked(message->topic, payload, message->retain);
  }

  void Connected(int rc) {
    std::string said;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (first_ == FirstAnswer::kNone) {
        // Open reports the first answer itself.
        first_ = rc == 0 ? FirstAnswer::kAccepted : FirstAnswer::kRefused;
        first_text_ = "the broker refused the connection: " +
                      std::string(mosquitto_connack_string(rc));
        lost_noted_ = rc != 0;
      }
      if (rc != 0) {
        if (!lost_noted_) said = Where() + ": refused: " + mosquitto_connack_string(rc);
        lost_noted_ = true;
      } else {
        connected_ = true;
        in_flight_ = 0;
        online_due_ = true;
        resync_ = true;
        back_off_ = kFirstBackOff;
        if (lost_noted_) {
          said = Where() + ": connected again";
          if (dropped_ > 0) {
            said += "; " + std::to_string(dropped_) +
                    " queued messages were dropped, every gate's value is sent again";
          }
        }
        lost_noted_ = false;
        dropped_ = 0;
      }
      wake_.notify_all();
    }
    if (!said.empty()) notice_(said);
  }

  void Asked(const std::string &topic, const std::string &payload, bool retained) {
    // An empty message is how a retained one is cleared, not a command.
    if (topic != topics_.Command() || payload.empty()) return;
    const std::string echoed = payload.substr(0, kLongestEchoedPayload);
    std::lock_guard<std::mutex> lock(mutex_);
    std::string refusal;
    const char kind = CommandKind(payload);
    if (retained) {
      // A retained command would run again on every reconnect.
      refusal = "a retained command is not carried out; publish it without the retain flag";
    } else if (!options_.commands) {
      refusal = "commands from the broker are off (zemhost runs without --mqtt-commands)";
    } else if (kind == 0) {
      refusal = "unknown command '" + echoed + "': the commands are acknowledge, silence and reset";
    }
    if (!refusal.empty()) {
      Queue(Outgoing{topics_.CommandResult(), CommandRefusedJson(echoed, refusal), 1, false});
      return;
    }
    commands_.push_back(RemoteCommand{instance(), kind});
  }

  // Caller holds mutex_.
  void Queue(Outgoing message) {
    if (publisher_stop_) return;
    if (queue_.size() >= kQueueLimit) {
      queue_.pop_front();
      ++dropped_;
      resync_ = true;  // the dropped one may have been a gate's latest value
    }
    queue_.push_back(std::move(message));
    wake_.notify_all();
  }

  // Caller holds mutex_: everything there is to say about the instance now.
  void QueueCurrentState() {
    if (options_.discovery) {
      if (options_.commands) {
        for (const char *command : kCommandNames) {
          Queue(Outgoing{topics_.ButtonDiscovery(command), topics_.ButtonConfig(command), 1, true});
        }
      }
      for (const auto &[gate, value] : gates_) {
        if (IsZoneGate(gate)) {
          Queue(Outgoing{topics_.ZoneDiscovery(gate), topics_.ZoneConfig(gate), 1, true});
        }
      }
    }
    for (const auto &[gate, value] : gates_) Queue(Outgoing{topics_.Gate(gate), value, 1, true});
    if (link_.exchanges > 0) {
      link_dirty_ = true;
      link_urgent_ = true;
    }
  }

  bool LinkDue(Clock::time_point now) const {
    return link_dirty_ && (link_urgent_ || now >= last_link_sent_ + kLinkPeriod);
  }

  bool Drained() const {
    return queue_.empty() && !resync_ && !online_due_ && !link_dirty_ && in_flight_ <= 0;
  }

  // Picks the next message to send; false when there is none to send now.
  bool Next(Clock::time_point now, Outgoing *message) {
    if (online_due_) {
      *message = Outgoing{topics_.Status(), "online", 1, true};
      online_due_ = false;
      return true;
    }
    if (queue_.empty() && resync_) {
      resync_ = false;
      QueueCurrentState();
    }
    if (!queue_.empty()) {
      *message = std::move(queue_.front());
      queue_.pop_front();
      return true;
    }
    if (LinkDue(now)) {
      *message = Outgoing{topics_.Link(), LinkJson(link_), 1, true};
      link_dirty_ = false;
      link_urgent_ = false;
      last_link_sent_ = now;
      return true;
    }
    return false;
  }

  void PublishLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!publisher_stop_) {
      Outgoing message;
      const bool can_send = connected_ && in_flight_ < kWindow;
      if (!can_send || !Next(Clock::now(), &message)) {
        if (can_send && link_dirty_) {
          wake_.wait_until(lock, last_link_sent_ + kLinkPeriod);
        } else {
          wake_.wait(lock);
        }
        continue;
      }
      ++in_flight_;
      lock.unlock();
      const int rc = mosquitto_publish(client_.get(), nullptr, message.topic.c_str(),
                                       static_cast<int>(message.payload.size()),
                                       message.payload.data(), message.qos, message.retain);
      lock.lock();
      if (rc != MOSQ_ERR_SUCCESS) {
        --in_flight_;
        // Gone between the check and the call: keep it for the next connection.
        if (rc == MOSQ_ERR_NO_CONN) queue_.push_front(std::move(message));
      }
      wake_.notify_all();
    }
  }

  // Connects, runs the client until the connection ends, waits and tries
  // again, until Stop.
  void NetworkLoop() {
    mosquitto *client = client_.get();
    bool first_try = true;
    for (;;) {
      int rc = first_try ? mosquitto_connect(client, broker_.host.c_str(), broker_.port,
                                             kKeepAliveSeconds)
                         : mosquitto_reconnect(client);
      int saved_errno = errno;
      first_try = false;
      while (rc == MOSQ_ERR_SUCCESS && !NetworkStopping()) {
        rc = mosquitto_loop(client, kLoopMillis, 1);
        saved_errno = errno;
      }
      if (NetworkStopping()) {
        // Let the DISCONNECT that Stop queued go out.
        mosquitto_loop(client, kLoopMillis, 1);
        return;
      }
      if (!WaitToRetry(rc, saved_errno)) return;
    }
  }

  bool NetworkStopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return network_stop_;
  }

  // After a failed attempt or a lost connection: says so once, then waits
  // out the back-off. False when Stop came meanwhile.
  bool WaitToRetry(int rc, int saved_errno) {
    std::string said;
    std::unique_lock<std::mutex> lock(mutex_);
    connected_ = false;
    const std::string why = ErrorText(rc, saved_errno);
    if (first_ == FirstAnswer::kNone) {
      const bool unreachable = rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_NO_CONN ||
                               rc == MOSQ_ERR_CONN_LOST;
      first_ = unreachable ? FirstAnswer::kUnreachable : FirstAnswer::kFatal;
      first_text_ = (unreachable ? "not reachable: " : "cannot connect: ") + why;
      lost_noted_ = true;
    } else if (!lost_noted_) {
      lost_noted_ = true;
      said = Where() + ": connection lost (" + why + "); reconnecting";
    }
    wake_.notify_all();
    const auto delay = back_off_;
    back_off_ = std::min(back_off_ * 2, std::chrono::duration_cast<Clock::duration>(kLongestBackOff));
    if (!said.empty()) {
      lock.unlock();
      notice_(said);
      lock.lock();
    }
    wake_.wait_for(lock, delay, [this] { return network_stop_; });
    return !network_stop_;
  }

  const MqttOptions &options_;
  const BrokerAddress broker_;
  const std::string password_;
  const InstanceTopics topics_;
  const GatewayNotice notice_;
  ClientHandle client_;

  std::mutex mutex_;
  std::condition_variable wake_;
  FirstAnswer first_ = FirstAnswer::kNone;
  std::string first_text_;
  bool connected_ = false;
  bool lost_noted_ = false;  // a loss was said and its return is not yet
  bool online_due_ = false;
  bool resync_ = false;
  bool publisher_stop_ = false;
  bool network_stop_ = false;
  std::int64_t in_flight_ = 0;
  std::uint64_t dropped_ = 0;
  Clock::duration back_off_ = kFirstBackOff;
  std::deque<Outgoing> queue_;
  std::map<std::string, std::string> gates_;  // every gate stored into, as sent
  LinkCounts link_;
  bool link_dirty_ = false;
  bool link_urgent_ = false;  // to be sent now: after a reconnect, or at the end
  Clock::time_point last_link_sent_{};
  std::vector<RemoteCommand> commands_;
  std::thread network_;
  std::thread publisher_;
};

class MosquittoGateway final : public MqttGateway {
 public:
  explicit MosquittoGateway(const MqttOptions &options) : options_(options) {}
  ~MosquittoGateway() override { Stop(); }

  bool Open(const std::vector<int> &instances, const GatewayNotice &notice, std::string *error) {
    BrokerAddress broker;
    if (!ParseBrokerUrl(options_.url, &broker, error)) return false;
    std::string password;
    if (!options_.password_file.empty() &&
        !ReadPasswordFile(options_.password_file, &password, error)) {
      return false;
    }
    for (int instance : instances) {
      connections_.push_back(
          std::make_unique<Connection>(options_, broker, password, instance, notice));
      if (!connections_.back()->Open(error)) return false;
    }
    return true;
  }

  void Stop() override {
    for (auto &connection : connections_) connection->Stop();
  }

  void GateStored(const std::string &name, double value) override {
    if (Connection *connection = For(CallingInstance())) connection->Gate(name, value);
  }

  void LogLine(std::int32_t level, const std::string &line) override {
    if (Connection *connection = For(CallingInstance())) {
      connection->Log(level, line);
      return;
    }
    // A line of the driver's own threads belongs to no one instance.
    for (auto &connection : connections_) connection->Log(level, line);
  }

  void Exchange(int instance, std::uint32_t result) override {
    if (Connection *connection = For(instance)) connection->Exchange(result);
  }

  void Command(int instance, const std::string &point, std::uint32_t result,
               bool acknowledged) override {
    if (Connection *connection = For(instance)) connection->CommandDone(point, result, acknowledged);
  }

  std::vector<RemoteCommand> TakeCommands() override {
    std::vector<RemoteCommand> commands;
    for (auto &connection : connections_) connection->TakeCommands(&commands);
    return commands;
  }

 private:
  // The instance's connection; with a single instance, also what comes from
  // outside any instance's call.
  Connection *For(int instance) {
    for (auto &connection : connections_) {
      if (connection->instance() == instance) return connection.get();
    }
    return connections_.size() == 1 && instance == 0 ? connections_.front().get() : nullptr;
  }

  const MqttOptions options_;
  Library library_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace

std::unique_ptr<MqttGateway> MqttGateway::Start(const MqttOptions &options,
                                                const std::vector<int> &instances,
                                                const GatewayNotice &notice, std::string *error) {
  auto gateway = std::make_unique<MosquittoGateway>(options);
  if (!gateway->Open(instances, notice, error)) return nullptr;
  return gateway;
}

}  // namespace zemhost
