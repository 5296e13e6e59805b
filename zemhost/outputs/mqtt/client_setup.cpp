#include "outputs/mqtt/client_setup.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cstring>

namespace zemhost {

const char kRetainedCommandsLimit[] =
    "the broker speaks MQTT 3.1.1, not 5: a command published with the retain flag while "
    "zemhost is connected reaches it without the flag and cannot be told from a live one; "
    "only the retained commands stored before it subscribed are refused";

void ClientDeleter::operator()(mosquitto *client) const { mosquitto_destroy(client); }

bool UseProtocol(mosquitto *client, Protocol protocol) {
  const int version = protocol == Protocol::kMqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311;
  return mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, version) == MOSQ_ERR_SUCCESS;
}

int KeepaliveSeconds(const MqttOptions &options) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(options.keepalive).count());
}

Client MakeClient(const MqttOptions &options, const BrokerAddress &broker,
                  const std::string &password, Protocol protocol, void *self, std::string *error) {
  Client client(mosquitto_new(nullptr, true, self));
  if (!client) {
    *error = std::string("cannot make an MQTT client: ") + std::strerror(errno);
    return nullptr;
  }
  UseProtocol(client.get(), protocol);
  mosquitto_int_option(client.get(), MOSQ_OPT_TCP_NODELAY, 1);
  int rc = MOSQ_ERR_SUCCESS;
  if (!options.user.empty()) {
    rc = mosquitto_username_pw_set(client.get(), options.user.c_str(),
                                   password.empty() ? nullptr : password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && broker.tls) {
    rc = options.cafile.empty()
             ? mosquitto_int_option(client.get(), MOSQ_OPT_TLS_USE_OS_CERTS, 1)
             : mosquitto_tls_set(client.get(), options.cafile.c_str(), nullptr, nullptr, nullptr,
                                 nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = "MQTT client settings: " + ErrorText(rc, errno);
    return nullptr;
  }
  return client;
}

std::string BrokerName(const BrokerAddress &broker) {
  return "MQTT broker " + broker.host + ":" + std::to_string(broker.port);
}

std::string ErrorText(int rc, int saved_errno) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(saved_errno);
  return mosquitto_strerror(rc);
}

std::string RefusalText(int rc, Protocol protocol) {
  // A 3.1.1 broker answers an MQTT 5 CONNECT in its own words.
  if (protocol == Protocol::kMqtt5 && rc >= 128) return mosquitto_reason_string(rc);
  return mosquitto_connack_string(rc);
}

bool RefusedForProtocol(int rc, Protocol protocol) {
  return protocol == Protocol::kMqtt5 &&
         (rc == CONNACK_REFUSED_PROTOCOL_VERSION || rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION);
}

// What the library's loop gives up on instead of reconnecting; the same
// list its loop_forever returns on.
bool LoopEndsOn(int rc, int saved_errno) {
  switch (rc) {
    case MOSQ_ERR_NOMEM: case MOSQ_ERR_PROTOCOL: case MOSQ_ERR_INVAL: case MOSQ_ERR_NOT_FOUND:
    case MOSQ_ERR_TLS: case MOSQ_ERR_PAYLOAD_SIZE: case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH: case MOSQ_ERR_ACL_DENIED: case MOSQ_ERR_UNKNOWN: case MOSQ_ERR_EAI:
    case MOSQ_ERR_PROXY:
      return true;
    default:
      return saved_errno == EPROTO;
  }
}

bool Unreachable(int rc) {
  return rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST;
}

std::string ConnectAsync(mosquitto *client, const BrokerAddress &broker,
                         const MqttOptions &options, bool *passes) {
  const int rc =
      mosquitto_connect_async(client, broker.host.c_str(), broker.port, KeepaliveSeconds(options));
  const int saved_errno = errno;
  *passes = Unreachable(rc);
  return rc == MOSQ_ERR_SUCCESS ? std::string() : ErrorText(rc, saved_errno);
}

}  // namespace zemhost
