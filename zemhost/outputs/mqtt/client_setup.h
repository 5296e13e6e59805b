// What every libmosquitto client of the gateway shares: how it logs in and
// which protocol it speaks, and how the library's codes read in a message.
#ifndef VUZOV_ZEMHOST_MQTT_CLIENT_SETUP_H
#define VUZOV_ZEMHOST_MQTT_CLIENT_SETUP_H

#include <memory>
#include <string>

#include "cli/mqtt_options.h"

struct mosquitto;

namespace zemhost {

struct ClientDeleter {
  void operator()(mosquitto *client) const;
};
using Client = std::unique_ptr<mosquitto, ClientDeleter>;

// MQTT 5 where the broker speaks it (its retain-as-published lets a retained
// command be told from a live one); 3.1.1 for one that does not.
enum class Protocol { kMqtt5, kMqtt311 };

// The broker's address, the login and the protocol; `self` is handed to the
// callbacks. Null with *error.
Client MakeClient(const MqttOptions &options, const BrokerAddress &broker,
                  const std::string &password, Protocol protocol, void *self, std::string *error);
bool UseProtocol(mosquitto *client, Protocol protocol);
int KeepaliveSeconds(const MqttOptions &options);

// "MQTT broker host:port"
std::string BrokerName(const BrokerAddress &broker);
// A library return code, with errno for MOSQ_ERR_ERRNO.
std::string ErrorText(int rc, int saved_errno);
// The broker's reason for refusing a connection, in the protocol's words.
std::string RefusalText(int rc, Protocol protocol);
// A refusal that says the broker does not speak MQTT 5.
bool RefusedForProtocol(int rc, Protocol protocol);
// What the library's loop gives up on instead of reconnecting.
bool LoopEndsOn(int rc, int saved_errno);
// A first attempt that failed this way may work later: the broker is not
// up yet, or not reachable yet.
bool Unreachable(int rc);

// Starts connecting without waiting: empty when under way, else why not.
// *passes: the reason may pass by itself (the broker is not up or not
// reachable yet), so the library's reconnects are worth waiting for.
std::string ConnectAsync(mosquitto *client, const BrokerAddress &broker,
                         const MqttOptions &options, bool *passes);

// Said once when the broker speaks only MQTT 3.1.1.
extern const char kRetainedCommandsLimit[];

}  // namespace zemhost

#endif
