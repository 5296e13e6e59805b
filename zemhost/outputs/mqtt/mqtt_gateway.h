// zemhost as a gateway: every instance's gates, link state and log lines go to
// an MQTT broker, and panel commands may come back from it. One broker
// connection per instance, so each has its own "offline" will. The gateway is
// one more sink of the run's events: it only queues on the thread that
// reports, and a broker that is slow or away never holds up a panel line.
#ifndef VUZOV_ZEMHOST_MQTT_GATEWAY_H
#define VUZOV_ZEMHOST_MQTT_GATEWAY_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/mqtt_options.h"
#include "events/event.h"
#include "outputs/mqtt/mqtt_messages.h"

namespace zemhost {

// zemhost's own word about the broker ("connection lost", "connected again").
using GatewayNotice = std::function<void(const std::string &text)>;

// An instance the gateway publishes, and how its zones are announced.
struct GatewayInstance {
  int number = 0;
  ZoneAnnouncement zones;
};

class MqttGateway : public EventSink, public CommandSource {
 public:
  // Connects one client per instance number and waits for the broker's
  // answer. Null with *error when the settings cannot be used or the broker
  // refuses the login; a broker that cannot be reached yet is retried in the
  // background (and said so through `notice`).
  // Before any of them says "online", it checks that no other gateway holds
  // the instances' topics (waiting for the will of one that died), and
  // clears their retained states when the options ask for it.
  static std::unique_ptr<MqttGateway> Start(const MqttOptions &options,
                                            const std::vector<GatewayInstance> &instances,
                                            const GatewayNotice &notice, std::string *error);
  // Sends what is still queued (for a bounded time), marks every instance
  // offline and closes the connections; joins every thread the gateway
  // started. Remove the gateway from the hub first.
  virtual void Stop() = 0;

 protected:
  MqttGateway() = default;
};

}  // namespace zemhost

#endif
