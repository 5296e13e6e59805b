#include "cli/modbus_options.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <cstring>

namespace zemhost {
namespace {

bool ParsePort(const std::string &text, int *port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const long value = std::stol(text);
  if (value > 65535) return false;
  *port = static_cast<int>(value);
  return true;
}

// The bytes of an IP address written as text; false for anything else.
bool ParseIp(const std::string &text, bool *ipv6, std::uint8_t *bytes) {
  if (text.find(':') != std::string::npos) {
    *ipv6 = true;
    return inet_pton(AF_INET6, text.c_str(), bytes) == 1;
  }
  *ipv6 = false;
  return inet_pton(AF_INET, text.c_str(), bytes) == 1;
}

const char kListenForm[] = "is [ADDRESS]:PORT, such as :1502 (every address), 127.0.0.1:1502 or "
                           "[::1]:1502, with an IP address and a port from 0 (any free one) to "
                           "65535";

}  // namespace

bool ParseListenAddress(const std::string &text, ListenAddress *out, std::string *error) {
  const auto fail = [&] {
    *error = "'" + text + "' " + kListenForm;
    return false;
  };
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) return fail();
  std::string host = text.substr(0, colon);
  if (!host.empty() && host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return fail();
    host = host.substr(1, host.size() - 2);
    if (host.find(':') == std::string::npos) return fail();
  } else if (host.find(':') != std::string::npos) {
    return fail();  // an IPv6 address goes in brackets, so its port cannot be mistaken
  }
  ListenAddress address;
  if (!ParsePort(text.substr(colon + 1), &address.port)) return fail();
  if (!host.empty()) {
    bool ipv6 = false;
    std::uint8_t bytes[16];
    if (!ParseIp(host, &ipv6, bytes)) return fail();
    address.host = host;
  }
  *out = address;
  return true;
}

bool ParseAddressRule(const std::string &text, AddressRule *out, std::string *error) {
  const auto fail = [&] {
    *error = "'" + text + "' is not ADDR[/BITS]: an IPv4 or IPv6 address, such as 192.168.1.20 or "
             "::1, or a network, such as 10.0.0.0/8 or fd00::/8";
    return false;
  };
  const auto slash = text.find('/');
  AddressRule rule;
  if (!ParseIp(text.substr(0, slash), &rule.ipv6, rule.address.data())) return fail();
  const int most = rule.ipv6 ? 128 : 32;
  rule.bits = most;
  if (slash != std::string::npos) {
    const std::string bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos) {
      return fail();
    }
    rule.bits = std::stoi(bits);
    if (rule.bits > most) return fail();
  }
  *out = rule;
  return true;
}

bool RuleMatches(const AddressRule &rule, bool ipv6, const std::uint8_t *address) {
  static const std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (ipv6 && !rule.ipv6 && std::memcmp(address, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    ipv6 = false;
    address += sizeof kMappedPrefix;
  }
  if (ipv6 != rule.ipv6) return false;
  const int whole = rule.bits / 8;
  if (std::memcmp(address, rule.address.data(), static_cast<std::size_t>(whole)) != 0) return false;
  const int rest = rule.bits % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (address[whole] & mask) == (rule.address[static_cast<std::size_t>(whole)] & mask);
}

bool CheckModbusOptions(const ModbusOptions &options, bool printing_map, std::string *error) {
  const ModbusOptions defaults;
  const bool any = options.commands || !options.allow.empty() ||
                   options.max_clients != defaults.max_clients ||
                   options.request_timeout != defaults.request_timeout ||
                   options.idle_timeout != defaults.idle_timeout ||
                   (options.zones != defaults.zones && !printing_map);
  if (!options.enabled() && any) {
    *error = "the modbus-* settings need --modbus [ADDRESS]:PORT (the server's address)";
    return false;
  }
  return true;
}

const char kModbusHelp[] = R"(
Modbus TCP server, for a building-management system (Linux):
  --modbus [ADDRESS]:PORT   serve every instance's state on Modbus TCP: :1502
                       every address, 127.0.0.1:1502 or [::1]:1502 one; port 0
                       a free one, which zemhost names. Unit id N is instance
                       N (255 is instance 1 in a run of one instance); any
                       other unit is answered with exception 0B; unit 0 never
  --modbus-zones N     the map's zones 1 to N (default 1024, at most 64535)
  --modbus-commands    take acknowledge, silence and reset written to holding
                       register 0; without it every holding register is
                       refused (exception 01) and nothing reaches the panel
  --modbus-max-clients N  at most N clients at once (default 8); one more is
                       closed as it connects
  --modbus-allow ADDR[/BITS]  let in only clients from these addresses or
                       networks (repeatable; default anyone)
  --modbus-timeout TIME  the indication timeout: a request begun must be
                       whole within TIME (default 500ms), or its client is
                       dropped; no other client waits for it meanwhile
  --modbus-idle TIME   a client that sends nothing for TIME is dropped
                       (default 60s)
  --modbus-map         print the register map as CSV (address, table, name,
                       meaning, unit) and exit; docs/modbus.md explains it
  Addresses are the protocol's own, from 0 (mbpoll's references are one
  higher: use mbpoll -0). With --modbus and no --gates, every gate the
  driver asks for is created, as with --discover, so that no zone the panel
  reports is missed. In a config file: modbus = :1502, modbus-commands = yes,
  modbus-allow = 10.0.0.0/8, ..., before the first [instance]. Exit status
  5: the server cannot listen (the port is in use, or a port below 1024
  without the right to it).
)";

}  // namespace zemhost
