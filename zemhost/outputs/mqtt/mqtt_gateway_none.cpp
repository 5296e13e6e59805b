// Builds without an MQTT library (Windows): the gateway says it is not here.
#include "outputs/mqtt/mqtt_gateway.h"

namespace zemhost {

std::unique_ptr<MqttGateway> MqttGateway::Start(const MqttOptions &,
                                                const std::vector<GatewayInstance> &,
                                                const GatewayNotice &, std::string *error) {
  *error = "this build of zemhost has no MQTT gateway (it is in the Linux build)";
  return nullptr;
}

}  // namespace zemhost
