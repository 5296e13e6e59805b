// What the gateway finds on the broker before it says "online" for any
// instance, on a short-lived client of its own: which protocol the broker
// speaks, whether another gateway holds an instance's topics, and the zone
// states a gateway before this run left retained (cleared at once with
// --mqtt-clear).
#ifndef VUZOV_ZEMHOST_MQTT_START_CHECK_H
#define VUZOV_ZEMHOST_MQTT_START_CHECK_H

#include <map>
#include <string>
#include <vector>

#include "cli/mqtt_options.h"
#include "outputs/mqtt/client_setup.h"
#include "outputs/mqtt/mqtt_gateway.h"

namespace zemhost {

struct StartFindings {
  Protocol protocol = Protocol::kMqtt5;
  // Per instance number, its retained zone gates' values (gate to value).
  std::map<int, std::map<std::string, std::string>> retained_zones;
};

// False with *error when the gateway must not start: another gateway holds
// an instance (its status stays "online" for one and a half keepalives, and
// --mqtt-takeover is not given), the broker refuses the login, or the
// states to clear cannot be cleared. A broker that cannot be reached now is
// said through `notice` and left to the connections' retries.
bool CheckBrokerAtStart(const MqttOptions &options, const BrokerAddress &broker,
                        const std::string &password, const std::vector<int> &instances,
                        const GatewayNotice &notice, StartFindings *findings, std::string *error);

}  // namespace zemhost

#endif
