#include "cli/mqtt_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace zemhost {
namespace {

bool ParsePort(const std::string &text, int *port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < 1 || value > 65535) return false;
  *port = static_cast<int>(value);
  return true;
}

}  // namespace

bool ParseBrokerUrl(const std::string &url, BrokerAddress *out, std::string *error) {
  const auto scheme_end = url.find("://");
  const std::string scheme = scheme_end == std::string::npos ? "" : url.substr(0, scheme_end);
  if (scheme != "mqtt" && scheme != "mqtts") {
    *error = "'" + url + "' is not a broker URL such as mqtt://localhost:1883 or mqtts://host";
    return false;
  }
  BrokerAddress address;
  address.tls = scheme == "mqtts";
  address.port = address.tls ? 8883 : 1883;
  std::string rest = url.substr(scheme_end + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string port_text;
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string::npos) {
      *error = "'" + url + "': an IPv6 address needs its closing ]";
      return false;
    }
    address.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') {
        *error = "'" + url + "': expected :PORT after the address";
        return false;
      }
      port_text = rest.substr(close + 2);
      if (port_text.empty()) port_text = "-";
    }
  } else {
    const auto colon = rest.find(':');
    address.host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      port_text = rest.substr(colon + 1);
      if (port_text.empty()) port_text = "-";
    }
  }
  if (address.host.empty() || address.host.find_first_of("/@?#") != std::string::npos) {
    *error = "'" + url + "' names no broker host (mqtt://HOST[:PORT])";
    return false;
  }
  if (!port_text.empty() && !ParsePort(port_text, &address.port)) {
    *error = "'" + url + "': the port is a number from 1 to 65535";
    return false;
  }
  *out = address;
  return true;
}

bool CheckMqttOptions(const MqttOptions &options, std::string *error) {
  const bool any = !options.user.empty() || !options.password_file.empty() ||
                   !options.cafile.empty() || options.commands || options.discovery ||
                   options.takeover || options.clear;
  if (!options.enabled()) {
    if (any) *error = "the mqtt-* settings need --mqtt URL (the broker)";
    return !any;
  }
  BrokerAddress address;
  if (!ParseBrokerUrl(options.url, &address, error)) return false;
  if (!options.cafile.empty() && !address.tls) {
    *error = "--mqtt-cafile is for an mqtts:// broker";
    return false;
  }
  if (!options.password_file.empty() && options.user.empty()) {
    *error = "--mqtt-password-file needs --mqtt-user";
    return false;
  }
  // libmosquitto takes 5 s to 65535 s, in whole seconds.
  if (options.keepalive < std::chrono::seconds(5) || options.keepalive > std::chrono::seconds(65535) ||
      options.keepalive.count() % 1000 != 0) {
    *error = "--mqtt-keepalive is whole seconds from 5s to 65535s";
    return false;
  }
  if (options.prefix.empty() || options.prefix.find_first_of("+#") != std::string::npos ||
      options.prefix.front() == '/' || options.prefix.back() == '/') {
    *error = "--mqtt-prefix is a topic level such as vuzov or site/north (no +, # or outer /)";
    return false;
  }
  return true;
}

bool ReadPasswordFile(const std::string &path, std::string *password, std::string *error) {
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read the MQTT password file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  std::getline(file, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    *error = "the MQTT password file " + path + " is empty";
    return false;
  }
  *password = line;
  return true;
}

const char kMqttHelp[] = R"(
Gateway to an MQTT broker (Linux):
  --mqtt URL           publish to the broker at mqtt://HOST[:PORT] (1883) or
                       mqtts://HOST[:PORT] (8883, TLS)
  --mqtt-cafile FILE   the CA certificate an mqtts:// broker is checked against
  --mqtt-prefix P      the topics' first level (default vuzov)
  --mqtt-user NAME     log in as NAME, with the password from
  --mqtt-password-file FILE   its first line (never an option of its own)
  --mqtt-commands      carry out acknowledge, silence and reset from the broker;
                       a command published with the retain flag never is
  --mqtt-discovery     announce zones, the panel link and command buttons to
                       Home Assistant
  --mqtt-keepalive TIME  whole seconds, 5s to 65535s (default 30s): a gateway
                       whose network is lost is offline after 1.5 times this
  --mqtt-takeover      start even while the instances' status is still online
                       after 1.5 keepalives (another gateway may hold them)
  --mqtt-clear         delete the instances' retained gate and zone states on
                       the broker before the run (a deliberate reset of what
                       subscribers see; the panel reports what is still there)
  Topics, per instance N: P/N/status (online, or offline: the gateway),
  P/N/availability (online while the panel's link is up), P/N/gate/GATE
  (retained values), P/N/zone/GATE (a zone's reading: alarm, fault, what set
  it), P/N/link (JSON), P/N/log, P/N/command and P/N/command/result. A reset
  the panel acknowledges sets the instance's zones back to 0. In a config
  file: mqtt = URL, mqtt-prefix = P, ..., mqtt-commands = yes, before the
  first [instance]; [message-types] sections say which message types are
  alarms and faults (docs/zemhost.md). Exit status 5: the gateway cannot start
  (the broker refused the login, its name does not resolve, or another
  gateway holds an instance's topics); a broker that is not up yet is retried
  and does not stop the run.
)";

}  // namespace zemhost
