#include "outputs/mqtt/start_check.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <set>

#include "duration.h"
#include "outputs/mqtt/mqtt_messages.h"

namespace zemhost {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kAnswerWait = 10s;
// The broker sends an instance's retained messages when it takes the
// subscription, before what is published after it: the check's own mark
// coming back says that all of them have come.
constexpr auto kRetainedWait = 5s;
constexpr auto kClearWait = 5s;
constexpr int kLoopStepMs = 50;

// Everything the check subscribes to and hears, on the calling thread.
class StartCheck {
 public:
  StartCheck(const MqttOptions &options, const BrokerAddress &broker, const std::string &password,
             const std::vector<int> &instances, const GatewayNotice &notice)
      : options_(options), broker_(broker), password_(password), notice_(notice) {
    for (int number : instances) topics_.emplace_back(options.prefix, number);
    mark_ = options.prefix + "/start-check/" + std::to_string(getpid()) + "-" +
            std::to_string(Clock::now().time_since_epoch().count());
  }

  bool Run(StartFindings *findings, std::string *error) {
    bool reached = false;
    if (!Connect(Protocol::kMqtt5, &reached, error)) return false;
    if (protocol_refused_) {
      notice_(BrokerName(broker_) + ": " + kRetainedCommandsLimit);
      if (!Connect(Protocol::kMqtt311, &reached, error)) return false;
    }
    findings->protocol = protocol_;
    if (!reached) return Unreached(error);
    if (!ReadRetained(error) || !WaitForWills(error)) return false;
    if (options_.clear) return Clear(error);
    for (const InstanceTopics &topics : topics_) {
      const std::string prefix = topics.Gates().substr(0, topics.Gates().size() - 1);
      for (const auto &[topic, payload] : retained_) {
        if (topic.rfind(prefix, 0) != 0) continue;
        const std::string gate = topic.substr(prefix.size());
        if (IsZoneGate(gate)) findings->retained_zones[topics.instance()][gate] = payload;
      }
    }
    return true;
  }

  ~StartCheck() {
    if (!client_ || gone_) return;
    mosquitto_disconnect(client_.get());
    LoopUntil([this] { return gone_; }, 1s);
  }
  StartCheck(const StartCheck &) = delete;
  StartCheck &operator=(const StartCheck &) = delete;

 private:
  // False with *error for a refusal; *reached false when the broker did not answer.
  bool Connect(Protocol protocol, bool *reached, std::string *error) {
    protocol_ = protocol;
    protocol_refused_ = false;
    answered_ = gone_ = false;
    client_ = MakeClient(options_, broker_, password_, protocol, this, error);
    if (!client_) return false;
    mosquitto_connect_callback_set(client_.get(), &OnConnect);
    mosquitto_disconnect_callback_set(client_.get(), &OnDisconnect);
    mosquitto_message_callback_set(client_.get(), &OnMessage);
    mosquitto_subscribe_callback_set(client_.get(), &OnSubscribe);
    mosquitto_publish_callback_set(client_.get(), &OnPublish);
    bool passes = false;
    const std::string not_connecting = ConnectAsync(client_.get(), broker_, options_, &passes);
    if (!not_connecting.empty() && !passes) {
      *error = BrokerName(broker_) + ": cannot connect: " + not_connecting;
      return false;
    }
    if (!not_connecting.empty()) {
      why_unreached_ = not_connecting;
    } else if (!LoopUntil([this] { return answered_ || gone_; }, kAnswerWait)) {
      why_unreached_ = "no answer yet";
    }
    if (answered_ && RefusedForProtocol(connack_, protocol)) {
      protocol_refused_ = true;
      return true;
    }
    if (answered_ && connack_ != 0) {
      *error = BrokerName(broker_) +
               ": the broker refused the connection: " + RefusalText(connack_, protocol);
      return false;
    }
    *reached = answered_ && connack_ == 0;
    if (!*reached && why_unreached_.empty()) why_unreached_ = "the connection was closed";
    return true;
  }

  bool Unreached(std::string *error) {
    if (options_.clear) {
      *error = BrokerName(broker_) + ": not reachable (" + why_unreached_ +
               "), so the retained states cannot be cleared (--mqtt-clear)";
      return false;
    }
    notice_(BrokerName(broker_) + ": not reachable at the start (" + why_unreached_ +
            "), so no check for another gateway on the same topics was made");
    client_.reset();
    return true;
  }

  bool ReadRetained(std::string *error) {
    int wanted = 0;
    for (const InstanceTopics &topics : topics_) {
      for (const std::string &filter : {topics.Status(), topics.Gates(), topics.Zones()}) {
        mosquitto_subscribe(client_.get(), nullptr, filter.c_str(), 1);
        ++wanted;
      }
    }
    mosquitto_subscribe(client_.get(), nullptr, mark_.c_str(), 1);
    ++wanted;
    const bool subscribed = LoopUntil([&] { return subscribed_ >= wanted; }, kRetainedWait) &&
                            mosquitto_publish(client_.get(), nullptr, mark_.c_str(), 1, "x", 1,
                                              false) == MOSQ_ERR_SUCCESS &&
                            LoopUntil([this] { return mark_seen_; }, kRetainedWait);
    if (subscribed) return true;
    *error = BrokerName(broker_) + ": the start check did not get the retained states" +
             (gone_ ? ": the connection was closed" : " in time");
    return false;
  }

  // After a crash the broker sees the socket close and publishes the will at
  // once; after a lost network, only when the keepalive runs out.
  bool WaitForWills(std::string *error) {
    std::vector<std::string> held = Held();
    if (held.empty()) return true;
    const auto limit = options_.keepalive * 3 / 2;
    notice_(held.front() + " is online: waiting up to " + toolbox::FormatDuration(limit) +
            " for the will of a gateway that is gone");
    LoopUntil([this] { return Held().empty(); }, limit);
    held = Held();
    if (held.empty()) return true;
    const std::string base = held.front().substr(0, held.front().size() - 7);  // "/status"
    if (options_.takeover) {
      notice_("taking over " + base + " (--mqtt-takeover): " + held.front() +
              " is still online, and the gateway that holds it may publish there too");
      return true;
    }
    *error = "another gateway holds " + base + ": " + held.front() + " is still online after " +
             toolbox::FormatDuration(limit) +
             "; stop that gateway, give this one another --mqtt-prefix, or take its topics "
             "with --mqtt-takeover";
    return false;
  }

  std::vector<std::string> Held() const {
    std::vector<std::string> held;
    for (const InstanceTopics &topics : topics_) {
      const auto found = status_.find(topics.Status());
      if (found != status_.end() && found->second == "online") held.push_back(found->first);
    }
    return held;
  }

  bool Clear(std::string *error) {
    int sent = 0;
    for (const auto &entry : retained_) {
      const int rc = mosquitto_publish(client_.get(), nullptr, entry.first.c_str(), 0, nullptr, 1,
                                       true);
      sent += rc == MOSQ_ERR_SUCCESS ? 1 : 0;
    }
    const bool all = sent == static_cast<int>(retained_.size()) &&
                     LoopUntil([&] { return published_ >= sent; }, kClearWait);
    if (!all) {
      *error = BrokerName(broker_) + ": the retained states were not all cleared (--mqtt-clear)";
      return false;
    }
    notice_(BrokerName(broker_) + ": cleared " + std::to_string(sent) +
            " retained gate and zone states (--mqtt-clear)");
    return true;
  }

  // Runs the client's network loop here until `done`; false at the limit.
  bool LoopUntil(const std::function<bool()> &done, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      const int rc = mosquitto_loop(client_.get(), kLoopStepMs, 1);
      if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_CONN_REFUSED ||
          rc == MOSQ_ERR_PROTOCOL) {
        gone_ = true;
        return done();
      }
    }
    return true;
  }

  static StartCheck *Of(void *self) { return static_cast<StartCheck *>(self); }
  static void OnConnect(mosquitto *, void *self, int rc) {
    Of(self)->answered_ = true;
    Of(self)->connack_ = rc;
  }
  static void OnDisconnect(mosquitto *, void *self, int) { Of(self)->gone_ = true; }
  static void OnSubscribe(mosquitto *, void *self, int, int, const int *) {
    ++Of(self)->subscribed_;
  }
  static void OnPublish(mosquitto *, void *self, int) { ++Of(self)->published_; }
  static void OnMessage(mosquitto *, void *self, const mosquitto_message *message) {
    StartCheck &check = *Of(self);
    if (message == nullptr || message->topic == nullptr) return;
    const std::string topic = message->topic;
    const std::string payload(static_cast<const char *>(message->payload),
                              static_cast<std::size_t>(std::max(message->payloadlen, 0)));
    if (topic == check.mark_) {
      check.mark_seen_ = true;
    } else if (topic.size() > 7 && topic.compare(topic.size() - 7, 7, "/status") == 0) {
      check.status_[topic] = payload;  // retained, or a will that comes while waiting
    } else if (message->retain && !payload.empty()) {
      check.retained_[topic] = payload;
    }
  }

  const MqttOptions &options_;
  const BrokerAddress &broker_;
  const std::string &password_;
  const GatewayNotice &notice_;
  std::vector<InstanceTopics> topics_;
  std::string mark_;
  Client client_;
  Protocol protocol_ = Protocol::kMqtt5;
  bool protocol_refused_ = false;
  std::string why_unreached_;
  bool answered_ = false;
  int connack_ = 0;
  bool gone_ = false;
  int subscribed_ = 0;
  int published_ = 0;
  bool mark_seen_ = false;
  std::map<std::string, std::string> status_;
  std::map<std::string, std::string> retained_;  // the gate and zone topics
};

}  // namespace

bool CheckBrokerAtStart(const MqttOptions &options, const BrokerAddress &broker,
                        const std::string &password, const std::vector<int> &instances,
                        const GatewayNotice &notice, StartFindings *findings, std::string *error) {
  if (instances.empty()) return true;
  StartCheck check(options, broker, password, instances, notice);
  return check.Run(findings, error);
}

}  // namespace zemhost
