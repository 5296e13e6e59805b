// One instance's connection to the broker, on libmosquitto: the library's own
// thread runs the network loop and reconnects with the library's delay; the
// outbox holds what waits. A message goes to the client (whose own queue the
// library's thread writes out) from whichever thread made it or freed room
// for it, while the connection is up and fewer than a window's worth wait
// for the broker; nothing here waits for the network.
#ifndef VUZOV_ZEMHOST_MQTT_BROKER_LINK_H
#define VUZOV_ZEMHOST_MQTT_BROKER_LINK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/mqtt_options.h"
#include "events/event.h"
#include "outputs/mqtt/client_setup.h"
#include "outputs/mqtt/mqtt_gateway.h"
#include "outputs/mqtt/mqtt_messages.h"
#include "outputs/mqtt/outbox.h"

struct mosquitto;
struct mosquitto_message;

namespace zemhost {

class BrokerLink {
 public:
  BrokerLink(const MqttOptions &options, const BrokerAddress &broker, const std::string &password,
             const GatewayInstance &instance, Protocol protocol, GatewayNotice notice);
  ~BrokerLink();
  BrokerLink(const BrokerLink &) = delete;
  BrokerLink &operator=(const BrokerLink &) = delete;

  int instance() const { return topics_.instance(); }

  // Starts the client and waits for the broker's first answer. False with
  // *error when the broker refuses the login or the settings cannot work; a
  // broker that cannot be reached yet is retried in the background.
  bool Open(std::string *error);
  // Sends what waits (for a bounded time), says "offline" and closes; the
  // library's thread has ended when it returns.
  void Stop();

  // Before Open: the zones a gateway before this run left in alarm.
  void Inherit(const std::map<std::string, std::string> &zones);
  void Gate(const GateStored &gate);
  void Log(std::int32_t level, const std::string &line);
  void Exchange(std::uint32_t result);
  void Link(const LinkChanged &change);
  void ZonesCleared(const std::string &why);
  void CommandDone(const std::string &point, std::uint32_t result, bool acknowledged);
  // From the run's main loop: what is due by time.
  void Tick();
  void TakeCommands(std::vector<RemoteCommand> *out);

 private:
  enum class State {
    kStarting,  // the first attempt is not answered yet
    kUp,        // connected: messages flow
    kDown,      // not connected, and said so; the library reconnects
    kFailed,    // the first answer was a refusal, or the settings cannot work
    kStalled,   // the library's loop ended on an error it does not retry
    kClosing,   // Stop
  };
  using Clock = std::chrono::steady_clock;

  std::string Where() const;
  bool Prepare(std::string *error);
  bool WaitForFirstAnswer(std::string *error);
  // Puts a message in the outbox, then hands what waits to the client.
  template <typename Put>
  void Queue(Put put) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      put(outbox_);
    }
    Pump();
  }
  // Hands what waits to the client while the connection and the window let it.
  void Pump();
  // zemhost's word about the broker; never said under the lock.
  void Say(const std::string &text) const;
  // Ends the library's thread, however far its loop has got.
  void EndLoop();
  // Starts the library's loop again after it gave up.
  void Restart();
  // An attempt failed where the library's loop will not retry it; the
  // caller holds mutex_.
  void StallAfter();

  static void OnConnect(mosquitto *client, void *self, int rc);
  static void OnDisconnect(mosquitto *client, void *self, int rc);
  static void OnPublish(mosquitto *client, void *self, int mid);
  static void OnMessage(mosquitto *client, void *self, const mosquitto_message *message);
  void Subscribe();
  void Connected(int rc);
  void Disconnected(int rc, int saved_errno);
  void Published();
  void Asked(const std::string &topic, const std::string &payload, bool retained);

  const MqttOptions &options_;
  const BrokerAddress broker_;
  const std::string password_;
  const InstanceTopics topics_;
  const GatewayNotice notice_;
  Client client_;
  bool looping_ = false;  // the library's thread was started and not yet joined
  // Changed only on the library's thread, when a 3.1.1 broker refuses MQTT 5.
  Protocol protocol_;

  std::mutex mutex_;
  std::condition_variable changed_;  // the state, the window or the outbox moved
  State state_ = State::kStarting;
  bool ever_up_ = false;      // a connection has been made
  bool refused_protocol_ = false;  // the broker refused MQTT 5; 3.1.1 is tried next
  std::string first_answer_;  // why the first attempt failed
  Clock::time_point restart_at_{};
  unsigned next_restart_seconds_ = 1;
  int in_flight_ = 0;     // handed to the client, not yet sent (QoS 0) or acknowledged
  bool pumping_ = false;  // one thread hands messages over at a time, in order
  Outbox outbox_;
  std::vector<RemoteCommand> commands_;
};

}  // namespace zemhost

#endif
