// The MQTT gateway's settings: where the broker is, how zemhost logs in, and
// what it publishes and accepts. Read from --mqtt* flags and the same keys in
// a config file (settings.cpp); kept apart from the other options so that they
// can move as a block.
#ifndef VUZOV_ZEMHOST_MQTT_OPTIONS_H
#define VUZOV_ZEMHOST_MQTT_OPTIONS_H

#include <chrono>
#include <string>

namespace zemhost {

struct MqttOptions {
  std::string url;  // empty: no gateway
  std::string prefix = "vuzov";
  std::string user;
  std::string password_file;
  std::string cafile;
  bool commands = false;
  bool discovery = false;
  // The broker publishes a connection's will after one and a half of these
  // without a word from it; a gateway that finds its topics held waits as long.
  std::chrono::milliseconds keepalive{30000};  // whole seconds on the wire
  bool takeover = false;  // start even while another gateway holds the topics
  bool clear = false;     // delete the instances' retained states first

  bool enabled() const { return !url.empty(); }
};

// The broker's address as the URL gives it.
struct BrokerAddress {
  std::string host;
  int port = 0;
  bool tls = false;
};

// mqtt://host[:port] (1883) or mqtts://host[:port] (8883); [::1] for IPv6.
bool ParseBrokerUrl(const std::string &url, BrokerAddress *out, std::string *error);

// The settings as a whole: a URL that parses, a password file only with a
// user, a CA file only with mqtts, a prefix usable in topics, a keepalive
// the client library takes.
bool CheckMqttOptions(const MqttOptions &options, std::string *error);

// The first line of the password file, without its line end.
bool ReadPasswordFile(const std::string &path, std::string *password, std::string *error);

// The gateway's part of --help.
extern const char kMqttHelp[];

}  // namespace zemhost

#endif
