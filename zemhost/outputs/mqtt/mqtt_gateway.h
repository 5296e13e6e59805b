// zemhost as a gateway: every instance's gates, link state and log lines go to
// an MQTT broker, and panel commands may come back from it. One broker
// connection per instance, so each has its own "offline" will. Publishing runs
// on the gateway's own threads: the driver's threads only queue, and a broker
// that is slow or away never holds up a panel line.
#ifndef VUZOV_ZEMHOST_MQTT_GATEWAY_H
#define VUZOV_ZEMHOST_MQTT_GATEWAY_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "events/events.h"
#include "cli/mqtt_options.h"

namespace zemhost {

// zemhost's own word about the broker ("broker lost", "broker back").
using GatewayNotice = std::function<void(const std::string &text)>;

class MqttGateway : public HubListener, public CommandSource {
 public:
  // Connects one client per instance number and waits for the broker's
  // answer. Null with *error when the settings cannot be used or the broker
  // refuses the login; a broker that cannot be reached yet is retried in the
  // background (and said so through `notice`).
  static std::unique_ptr<MqttGateway> Start(const MqttOptions &options,
                                            const std::vector<int> &instances,
                                            const GatewayNotice &notice, std::string *error);
  virtual ~MqttGateway() = default;

  // Sends what is still queued (for a bounded time), marks every instance
  // offline and closes the connections; joins every thread the gateway
  // started. Reports after it are dropped.
  virtual void Stop() = 0;

 protected:
  MqttGateway() = default;
};

}  // namespace zemhost

#endif
