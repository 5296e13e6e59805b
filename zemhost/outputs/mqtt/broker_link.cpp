#include "outputs/mqtt/broker_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

namespace zemhost {
namespace {

using namespace std::chrono_literals;

// The library's delay between attempts grows from the first to the longest:
// a broker back after an outage is found within the longest.
constexpr unsigned kFirstRetrySeconds = 1;
constexpr unsigned kLongestRetrySeconds = 5;
// Messages handed to the client and not yet sent (QoS 0) or acknowledged.
constexpr int kWindow = 64;
constexpr auto kFirstAnswerWait = 10s;
constexpr auto kDrainWait = 3s;
constexpr auto kOfflineWait = 2s;
constexpr auto kStopCheck = 100ms;
constexpr std::size_t kLongestEchoedPayload = 64;

BrokerLink *Of(void *self) { return static_cast<BrokerLink *>(self); }

}  // namespace

BrokerLink::BrokerLink(const MqttOptions &options, const BrokerAddress &broker,
                       const std::string &password, const GatewayInstance &instance,
                       Protocol protocol, GatewayNotice notice)
    : options_(options),
      broker_(broker),
      password_(password),
      topics_(options.prefix, instance.number),
      notice_(std::move(notice)),
      protocol_(protocol),
      outbox_(topics_, options, instance.zones) {}

BrokerLink::~BrokerLink() { Stop(); }

std::string BrokerLink::Where() const {
  return BrokerName(broker_) + " (instance " + std::to_string(instance()) + ")";
}

void BrokerLink::Inherit(const std::map<std::string, std::string> &zones) {
  const std::lock_guard<std::mutex> lock(mutex_);
  outbox_.Inherit(zones);
}

void BrokerLink::Say(const std::string &text) const {
  if (!text.empty()) notice_(text);
}

bool BrokerLink::Open(std::string *error) {
  if (!Prepare(error)) return false;
  bool passes = false;
  const std::string not_connecting = ConnectAsync(client_.get(), broker_, options_, &passes);
  if (!not_connecting.empty() && !passes) {
    *error = Where() + ": cannot connect: " + not_connecting;
    return false;
  }
  if (!not_connecting.empty()) {
    const std::lock_guard<std::mutex> lock(mutex_);
    StallAfter();
    first_answer_ = "not reachable: " + not_connecting;
  }
  if (mosquitto_loop_start(client_.get()) != MOSQ_ERR_SUCCESS) {
    *error = Where() + ": cannot start the MQTT client's thread";
    return false;
  }
  looping_ = true;
  if (WaitForFirstAnswer(error)) return true;
  Stop();
  return false;
}

bool BrokerLink::Prepare(std::string *error) {
  client_ = MakeClient(options_, broker_, password_, protocol_, this, error);
  if (!client_) return false;
  mosquitto *client = client_.get();
  mosquitto_reconnect_delay_set(client, kFirstRetrySeconds, kLongestRetrySeconds, true);
  const std::string offline = "offline";
  const int rc = mosquitto_will_set(client, topics_.Status().c_str(),
                                    static_cast<int>(offline.size()), offline.data(), 1, true);
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

// The broker's first word decides: a refused login ends the start with the
// broker's reason; no answer yet is said, and retried in the background.
bool BrokerLink::WaitForFirstAnswer(std::string *error) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, kFirstAnswerWait, [this] { return state_ != State::kStarting; });
  if (state_ == State::kFailed) {
    *error = Where() + ": " + first_answer_;
    return false;
  }
  if (state_ == State::kUp) return true;
  if (state_ == State::kStarting) {
    state_ = State::kDown;
    first_answer_ = "no answer yet";
  }
  const std::string said = Where() + ": " + first_answer_ + "; retrying in the background";
  lock.unlock();
  Say(said);
  return true;
}

void BrokerLink::Stop() {
  if (!client_) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ != State::kClosing) {
    outbox_.Close();
    lock.unlock();
    Pump();
    lock.lock();
    changed_.wait_for(lock, kDrainWait, [this] {
      return state_ != State::kUp || (outbox_.Empty() && in_flight_ <= 0);
    });
    // The will is for a gateway that vanishes; one that ends says so itself.
    const bool up = state_ == State::kUp;
    state_ = State::kClosing;
    if (up) {
      const std::string offline = "offline";
      ++in_flight_;
      lock.unlock();
      const int rc = mosquitto_publish(client_.get(), nullptr, topics_.Status().c_str(),
                                       static_cast<int>(offline.size()), offline.data(), 1, true);
      lock.lock();
      if (rc == MOSQ_ERR_SUCCESS) {
        changed_.wait_for(lock, kOfflineWait, [this] { return in_flight_ <= 0; });
      }
    }
  }
  lock.unlock();
  EndLoop();
  client_.reset();
}

// mosquitto_disconnect marks the client as ending and the loop leaves when
// it sees the mark. But a reconnect already under way in the library's
// thread sets its own state when it returns and overwrites the mark, and the
// loop would go on for ever; so the mark is set again until the thread has
// ended.
void BrokerLink::EndLoop() {
  mosquitto *client = client_.get();
  mosquitto_disconnect(client);
  if (!looping_) return;
  std::atomic<bool> joined{false};
  std::thread joiner([client, &joined] {
    mosquitto_loop_stop(client, false);
    joined = true;
  });
  while (!joined) {
    std::this_thread::sleep_for(kStopCheck);
    if (!joined) mosquitto_disconnect(client);
  }
  joiner.join();
  looping_ = false;
}

void BrokerLink::Pump() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (pumping_) return;  // the thread that is handing over takes this one too
  pumping_ = true;
  Outgoing message;
  while (state_ == State::kUp && in_flight_ < kWindow && outbox_.Next(Clock::now(), &message)) {
    ++in_flight_;
    lock.unlock();
    const int rc = mosquitto_publish(client_.get(), nullptr, message.topic.c_str(),
                                     static_cast<int>(message.payload.size()),
                                     message.payload.data(), message.qos, message.retain);
    lock.lock();
    if (rc == MOSQ_ERR_SUCCESS) continue;
    // Not connected after all: the library keeps a QoS 1 message for the next
    // connection itself; a QoS 0 one is kept here.
    if (rc == MOSQ_ERR_NO_CONN) {
      if (message.qos == 0) {
        --in_flight_;
        outbox_.PutBack(std::move(message));
      }
      break;
    }
    --in_flight_;  // a message the broker can never take
  }
  pumping_ = false;
  changed_.notify_all();
}

void BrokerLink::Gate(const GateStored &gate) {
  Queue([&](Outbox &outbox) { outbox.Gate(gate); });
}

void BrokerLink::Link(const LinkChanged &change) {
  Queue([&](Outbox &outbox) { outbox.Link(change); });
}

void BrokerLink::ZonesCleared(const std::string &why) {
  Queue([&](Outbox &outbox) { outbox.ZonesCleared(why); });
}

void BrokerLink::Log(std::int32_t level, const std::string &line) {
  Queue([&](Outbox &outbox) { outbox.Log(level, line); });
}

void BrokerLink::Exchange(std::uint32_t result) {
  Queue([&](Outbox &outbox) { outbox.Exchange(result); });
}

void BrokerLink::CommandDone(const std::string &point, std::uint32_t result, bool acknowledged) {
  Queue([&](Outbox &outbox) { outbox.CommandResult(point, result, acknowledged); });
}

void BrokerLink::TakeCommands(std::vector<RemoteCommand> *out) {
  const std::lock_guard<std::mutex> lock(mutex_);
  out->insert(out->end(), commands_.begin(), commands_.end());
  commands_.clear();
}

// A link summary held back by the once-a-second rule goes out here; a loop
// the library ended is started again after a delay.
void BrokerLink::Tick() {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool restart = state_ == State::kStalled && Clock::now() >= restart_at_;
  lock.unlock();
  if (restart) Restart();
  Pump();
}

void BrokerLink::Restart() {
  EndLoop();
  const int rc = mosquitto_reconnect_async(client_.get());
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    state_ = State::kDown;
    if (rc != MOSQ_ERR_SUCCESS) StallAfter();
  }
  looping_ = mosquitto_loop_start(client_.get()) == MOSQ_ERR_SUCCESS;
}

// An attempt that failed before the library's loop took it over (a refused
// TCP connection fails at once): the loop sees no connection to keep and
// ends, so Tick starts the next attempt, after a delay that grows as the
// library's does, to the same longest.
void BrokerLink::StallAfter() {
  state_ = State::kStalled;
  restart_at_ = Clock::now() + std::chrono::seconds(next_restart_seconds_);
  next_restart_seconds_ = std::min(next_restart_seconds_ * 2, kLongestRetrySeconds);
}

// ---- The library's callbacks, on its thread ----------------------------------

void BrokerLink::OnConnect(mosquitto *, void *self, int rc) {
  if (rc == 0) Of(self)->Subscribe();
  Of(self)->Connected(rc);
  Of(self)->Pump();
}

// With MQTT 5 the broker keeps the retain flag a command was published with,
// so a retained one is refused whenever it comes, not only when it was
// stored before the subscription.
void BrokerLink::Subscribe() {
  const std::string topic = topics_.Command();
  if (protocol_ == Protocol::kMqtt5) {
    mosquitto_subscribe_v5(client_.get(), nullptr, topic.c_str(), 1,
                           MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
  } else {
    mosquitto_subscribe(client_.get(), nullptr, topic.c_str(), 1);
  }
}

void BrokerLink::OnDisconnect(mosquitto *, void *self, int rc) {
  const int saved_errno = errno;
  Of(self)->Disconnected(rc, saved_errno);
}

void BrokerLink::OnPublish(mosquitto *, void *self, int) {
  Of(self)->Published();
  Of(self)->Pump();
}

void BrokerLink::OnMessage(mosquitto *, void *self, const mosquitto_message *message) {
  if (message == nullptr || message->topic == nullptr) return;
  const std::string payload(static_cast<const char *>(message->payload),
                            static_cast<std::size_t>(std::max(message->payloadlen, 0)));
  Of(self)->Asked(message->topic, payload, message->retain);
  Of(self)->Pump();
}

void BrokerLink::Connected(int rc) {
  std::string said;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kClosing) return;
    if (RefusedForProtocol(rc, protocol_)) {
      // The library's next attempt speaks 3.1.1.
      protocol_ = Protocol::kMqtt311;
      UseProtocol(client_.get(), protocol_);
      refused_protocol_ = true;
      said = Where() + ": " + kRetainedCommandsLimit;
    } else if (rc != 0) {
      // Refused at the start: Open says why. Refused later: the loss was said.
      if (state_ == State::kStarting) {
        state_ = State::kFailed;
        first_answer_ = "the broker refused the connection: " + RefusalText(rc, protocol_);
      }
    } else {
      if (state_ == State::kDown || state_ == State::kStalled) {
        said = Where() + (ever_up_ ? ": connected again" : ": connected");
        if (const std::uint64_t dropped = outbox_.TakeDropped()) {
          said += "; " + std::to_string(dropped) +
                  " queued messages were dropped, every gate's value is sent again";
        }
      }
      state_ = State::kUp;
      ever_up_ = true;
      next_restart_seconds_ = kFirstRetrySeconds;
      in_flight_ = 0;  // what the old connection held was sent, or goes again
      outbox_.Reconnected();
    }
    changed_.notify_all();
  }
  Say(said);
}

void BrokerLink::Disconnected(int rc, int saved_errno) {
  std::string said;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::string why = ErrorText(rc, saved_errno);
    if (state_ == State::kStarting && refused_protocol_) {
      state_ = State::kDown;  // and tried again in 3.1.1
    } else if (state_ == State::kStarting) {
      const bool unreachable = Unreachable(rc);
      state_ = unreachable ? State::kDown : State::kFailed;
      first_answer_ = (unreachable ? "not reachable: " : "cannot connect: ") + why;
    } else if (state_ == State::kUp) {
      state_ = State::kDown;
      said = Where() + ": connection lost (" + why + "); reconnecting";
    } else if (state_ == State::kClosing) {
      in_flight_ = 0;  // nothing more will be acknowledged
    }
    if (state_ == State::kDown && LoopEndsOn(rc, saved_errno)) {
      state_ = State::kStalled;
      // A refusal of MQTT 5 ends the library's loop too; 3.1.1 is tried at once.
      restart_at_ = Clock::now() + (refused_protocol_ ? std::chrono::seconds(0)
                                                       : std::chrono::seconds(kLongestRetrySeconds));
      refused_protocol_ = false;
    }
    changed_.notify_all();
  }
  Say(said);
}

void BrokerLink::Published() {
  const std::lock_guard<std::mutex> lock(mutex_);
  in_flight_ = std::max(in_flight_ - 1, 0);
  changed_.notify_all();
}

void BrokerLink::Asked(const std::string &topic, const std::string &payload, bool retained) {
  // An empty message is how a retained one is cleared, not a command.
  if (topic != topics_.Command() || payload.empty()) return;
  const std::string echoed = payload.substr(0, kLongestEchoedPayload);
  const std::lock_guard<std::mutex> lock(mutex_);
  std::string refusal;
  const char kind = CommandKind(payload);
  if (retained) {
    // A retained command would run again on every reconnect, and on every
    // start of a gateway.
    refusal = "a retained command is not carried out; publish it without the retain flag";
  } else if (!options_.commands) {
    refusal = "commands from the broker are off (zemhost runs without --mqtt-commands)";
  } else if (kind == 0) {
    refusal = "unknown command '" + echoed + "': the commands are acknowledge, silence and reset";
  }
  if (!refusal.empty()) {
    outbox_.Refusal(echoed, refusal);
    return;
  }
  commands_.push_back(RemoteCommand{instance(), kind});
}

}  // namespace zemhost
