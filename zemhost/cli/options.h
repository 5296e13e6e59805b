// What a zemhost run is asked to do: the instances, their lines and points, the
// gates, the output and when the run ends. Read from the command line and from
// an optional config file.
#ifndef VUZOV_ZEMHOST_OPTIONS_H
#define VUZOV_ZEMHOST_OPTIONS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/message_types.h"
#include "cli/modbus_options.h"
#include "cli/mqtt_options.h"
#include "trim.h"

namespace zemhost {

using Millis = std::chrono::milliseconds;

// The scenario name that stands for the built-in demo.
inline constexpr const char kDemoScenario[] = "demo";

// Both given for one instance: which one was meant cannot be told.
inline constexpr const char kPortAndSimulated[] =
    "an instance has a port or a simulated panel, not both";

// Config values and gate-list lines are trimmed alike.
using toolbox::Trim;

// When an instance's panel link counts as down: after `failures` exchanges in
// a row failed, or after `silence` without an answered one, whichever comes
// first. It is up again with the next answered exchange.
struct LinkRule {
  int failures = 3;
  Millis silence{5000};
};

// What the run sets for every instance and an instance may set for itself,
// its own value winning: unset here, the run's value (or the built-in one)
// holds.
struct InstanceRules {
  std::optional<int> link_failures;
  std::optional<Millis> link_silence;
  // The message the panel reports a reset made at its front panel with.
  std::optional<MessageKey> reset_message;
};

// How zemhost reads an instance's messages: what each type means, and which
// one says that the panel was reset.
struct MessageReading {
  MessageTypeMap types;
  std::optional<MessageKey> reset_message;
};

// A panel command to send: now (at start), or at a time after the start.
struct ScheduledSend {
  std::string text;  // as given, for messages
  std::string address;
  std::optional<Millis> at;
};

struct InstanceConfig {
  std::string port;      // the host's port name; empty when simulated
  std::string simulate;  // a scenario file or kDemoScenario; empty: a real port
  // Unset words take the driver's defaults from GetZemInfo.
  std::optional<std::uint16_t> baud;
  std::optional<std::uint16_t> data_bits;
  std::optional<std::uint16_t> stop_bits;  // 0 one, 1 one and a half, 2 two
  std::optional<std::uint16_t> parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint32_t timeout = 10;              // read timeout in 10 ms units
  std::uint16_t flags = 0;                 // the state block's DTR/RTS bits (host_interface.h)
  int panel = 1;                           // for the default point and gates
  std::vector<std::string> points;         // empty: "CP<panel>Z1"
  std::vector<ScheduledSend> sends;
  InstanceRules rules;  // its own values of the keys the run may also set
  MessageTypeMap message_types;  // its own [message-types], over the run's
  std::string origin;  // where it was configured, for messages: "FILE:LINE" or "flags"
};

enum class OutputMode { kAuto, kLines, kJson };

struct RunConfig {
  std::string config_file;  // --config; empty: none
  std::string module_path;  // empty: beside the program
  std::vector<InstanceConfig> instances;
  std::string gates_path;
  bool discover = false;
  Millis interval{200};
  std::optional<std::uint64_t> polls;
  std::optional<Millis> run_for;
  int reopen_after = 3;  // consecutive failed polls before the port is reopened; 0 never
  InstanceRules rules;   // the run's values of the keys an instance may also set
  MessageTypeMap message_types;  // the [message-types] before the first [instance]
  OutputMode output = OutputMode::kAuto;
  bool trace = false;
  bool selfcheck = false;
  bool help = false;
  bool version = false;
  bool modbus_map = false;  // print the Modbus register map and exit
  MqttOptions mqtt;
  ModbusOptions modbus;
};

// Reads the flags (and the config file --config names). False with *error set
// to a message, "FILE:LINE: message" for a bad config line.
bool ParseCommandLine(int argc, char **argv, RunConfig *config, std::string *error);

// Opens a file the run reads (`what` names it in messages: "gate list"); false
// with *error, which gives the path and the reason, for a directory too.
bool OpenInputFile(const std::string &path, const std::string &what, std::ifstream *file,
                   std::string *error);
bool CheckInputFile(const std::string &path, const std::string &what, std::string *error);

// Checks what the flags and the file left: every instance has a port or a
// scenario, the points and sends have room in the host's records, and no
// timed send falls after the end of a run of fixed length.
bool CheckConfig(RunConfig *config, std::string *error);

// The link rule an instance follows: its own values, else the run's, else
// the built-in ones.
LinkRule LinkRuleOf(const RunConfig &config, const InstanceConfig &instance);
MessageReading ReadingOf(const RunConfig &config, const InstanceConfig &instance);

// The instance's points, or the default one.
std::vector<std::string> PointsOf(const InstanceConfig &instance);

void PrintHelp(std::FILE *out, const char *module_file_name);

}  // namespace zemhost

#endif
