// The Modbus TCP server's settings: where it listens, how many zones its map
// shows, whom it lets in, how long it waits for a client, and whether it takes
// panel commands. Read from the --modbus* flags and the same keys in a config
// file (settings.cpp), kept apart from the other options as the MQTT ones are.
#ifndef VUZOV_ZEMHOST_MODBUS_OPTIONS_H
#define VUZOV_ZEMHOST_MODBUS_OPTIONS_H

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zemhost {

struct ModbusOptions {
  std::string listen;  // "[ADDRESS]:PORT" as given; empty: no server
  int zones = 1024;    // zones 1 to this many in the map
  int max_clients = 8;
  std::vector<std::string> allow;  // ADDR[/BITS] as given; empty: anyone
  bool commands = false;
  // A request begun must be whole within this; a client silent this long is dropped.
  std::chrono::milliseconds request_timeout{500};
  std::chrono::milliseconds idle_timeout{60000};

  bool enabled() const { return !listen.empty(); }
};

// Where the server listens. An empty host is every address of the machine.
struct ListenAddress {
  std::string host;  // an IP address as text, without brackets; empty: every one
  int port = 0;      // 0: a free port the system picks
};

// ":1502", "127.0.0.1:1502", "[::1]:1502"; an IP address, never a name.
bool ParseListenAddress(const std::string &text, ListenAddress *out, std::string *error);

// A network a client may connect from: the first `bits` bits of `address`.
struct AddressRule {
  bool ipv6 = false;
  std::array<std::uint8_t, 16> address{};  // 4 bytes used for IPv4
  int bits = 0;
};

// "192.168.1.20", "10.0.0.0/8", "::1", "fd00::/8".
bool ParseAddressRule(const std::string &text, AddressRule *out, std::string *error);

// Whether an address (4 or 16 bytes in network order) is in the rule's network.
// An IPv4 client seen on an IPv6 socket (::ffff:a.b.c.d) matches IPv4 rules.
bool RuleMatches(const AddressRule &rule, bool ipv6, const std::uint8_t *address);

// The settings as a whole: the modbus-* settings only with --modbus (the
// zones also with --modbus-map, which prints the map for them).
bool CheckModbusOptions(const ModbusOptions &options, bool printing_map, std::string *error);

// The server's part of --help.
extern const char kModbusHelp[];

// Zone z's word is input register kModbusZoneWordBase + z, so the most zones a
// map can show are those whose words fit below register 65536.
inline constexpr int kModbusZoneWordBase = 1000;
inline constexpr int kMostModbusZones = 65535 - kModbusZoneWordBase;
inline constexpr int kMostModbusClients = 1000;

}  // namespace zemhost

#endif
