#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <istream>
#include <map>

namespace zemhost {
namespace {

// The host's records hold a port name and a write address in 12 characters.
constexpr std::size_t kMaxPortName = 11;
constexpr std::size_t kMaxWriteAddress = 11;
constexpr std::size_t kMaxReadAddress = 255;

std::string Trim(const std::string &text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

bool ParseWhole(const std::string &text, unsigned long long max, unsigned long long *out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char *end = nullptr;
  const int base = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 16 : 10;
  const unsigned long long value = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

bool ParseBool(const std::string &text, bool *out) {
  if (text == "yes" || text == "true" || text == "on" || text == "1") {
    *out = true;
  } else if (text == "no" || text == "false" || text == "off" || text == "0") {
    *out = false;
  } else {
    return false;
  }
  return true;
}

bool ParseNamed(const std::string &text, const std::map<std::string, std::uint16_t> &names,
                std::uint16_t *out) {
  const auto found = names.find(text);
  if (found == names.end()) return false;
  *out = found->second;
  return true;
}

const std::map<std::string, std::uint16_t> kParityNames = {
    {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
const std::map<std::string, std::uint16_t> kStopBitNames = {{"1", 0}, {"1.5", 1}, {"2", 2}};
const std::map<std::string, std::uint16_t> kDtrNames = {
    {"off", 0}, {"on", kDtrOn}, {"handshake", kDtrHandshake}};
const std::map<std::string, std::uint16_t> kRtsNames = {
    {"off", 0}, {"on", kRtsOn}, {"handshake", kRtsHandshake}, {"toggle", kRtsToggle}};

bool ParseSend(const std::string &text, ScheduledSend *out, std::string *error) {
  const auto at = text.find('@');
  out->address = text.substr(0, at);
  out->at.reset();
  if (at != std::string::npos) {
    Millis when{};
    if (!ParseDuration(text.substr(at + 1), &when)) {
      *error = "send time '" + text.substr(at + 1) + "' is not a duration such as 15s";
      return false;
    }
    out->at = when;
  }
  if (out->address.empty()) {
    *error = "send needs a command point such as CP1S!";
    return false;
  }
  return true;
}

// Applies one instance setting; false with *error for a bad value. Unknown
// keys are not the caller's business here: *known says whether it was one.
bool ApplyInstanceKey(const std::string &key, const std::string &value, InstanceConfig *instance,
                      bool *known, std::string *error) {
  *known = true;
  unsigned long long number = 0;
  std::uint16_t word = 0;
  if (key == "port") {
    instance->port = value;
  } else if (key == "simulate") {
    instance->simulate = value;
  } else if (key == "baud") {
    if (!ParseWhole(value, 65535, &number) || number == 0) {
      *error = "baud is a rate from 1 to 65535";
      return false;
    }
    instance->baud = static_cast<std::uint16_t>(number);
  } else if (key == "data-bits") {
    if (!ParseWhole(value, 8, &number) || number < 5) {
      *error = "data-bits is 5, 6, 7 or 8";
      return false;
    }
    instance->data_bits = static_cast<std::uint16_t>(number);
  } else if (key == "parity") {
    if (!ParseNamed(value, kParityNames, &word)) {
      *error = "parity is none, odd, even, mark or space";
      return false;
    }
    instance->parity = word;
  } else if (key == "stop-bits") {
    if (!ParseNamed(value, kStopBitNames, &word)) {
      *error = "stop-bits is 1, 1.5 or 2";
      return false;
    }
    instance->stop_bits = word;
  } else if (key == "timeout") {
    if (!ParseWhole(value, 60000, &number) || number == 0) {
      *error = "timeout is 1 to 60000, in units of 10 ms";
      return false;
    }
    instance->timeout = static_cast<std::uint32_t>(number);
  } else if (key == "dtr") {
    if (!ParseNamed(value, kDtrNames, &word)) {
      *error = "dtr is on, off or handshake";
      return false;
    }
    instance->flags = static_cast<std::uint16_t>((instance->flags & ~kDtrMask) | word);
  } else if (key == "rts") {
    if (!ParseNamed(value, kRtsNames, &word)) {
      *error = "rts is on, off, handshake or toggle";
      return false;
    }
    instance->flags = static_cast<std::uint16_t>((instance->flags & ~kRtsMask) | word);
  } else if (key == "flags") {
    if (!ParseWhole(value, 0xFFFF, &number)) {
      *error = "flags is a 16-bit word such as 0x0101";
      return false;
    }
    instance->flags = static_cast<std::uint16_t>(number);
  } else if (key == "panel") {
    if (!ParseWhole(value, 8, &number)) {
      *error = "panel is a panel number from 0 to 8";
      return false;
    }
    instance->panel = static_cast<int>(number);
  } else if (key == "point") {
    if (value.empty()) {
      *error = "point needs an address such as CP1Z1";
      return false;
    }
    instance->points.push_back(value);
  } else if (key == "send") {
    ScheduledSend send;
    if (!ParseSend(value, &send, error)) return false;
    instance->sends.push_back(send);
  } else {
    *known = false;
  }
  return true;
}

bool ApplyGlobalKey(const std::string &key, const std::string &value, RunConfig *config,
                    bool *known, std::string *error) {
  *known = true;
  unsigned long long number = 0;
  Millis duration{};
  if (key == "module") {
    config->module_path = value;
  } else if (key == "gates") {
    config->gates_path = value;
  } else if (key == "discover") {
    if (!ParseBool(value, &config->discover)) {
      *error = "discover is yes or no";
      return false;
    }
  } else if (key == "interval") {
    if (!ParseDuration(value, &duration) || duration.count() < 1) {
      *error = "interval is a duration such as 200ms";
      return false;
    }
    config->interval = duration;
  } else if (key == "polls") {
    if (!ParseWhole(value, ~0ull, &number) || number == 0) {
      *error = "polls is a count of 1 or more";
      return false;
    }
    config->polls = number;
  } else if (key == "for") {
    if (!ParseDuration(value, &duration)) {
      *error = "for is a duration such as 30s";
      return false;
    }
    config->run_for = duration;
  } else if (key == "reopen-after") {
    if (!ParseWhole(value, 1000, &number)) {
      *error = "reopen-after is a count of failed polls, 0 for never";
      return false;
    }
    config->reopen_after = static_cast<int>(number);
  } else {
    return ApplyMqttKey(key, value, &config->mqtt, known, error);
  }
  return true;
}

bool IsInstanceFlag(const std::string &key) {
  static const char *const keys[] = {"port", "simulate", "baud", "data-bits", "parity",
                                     "stop-bits", "timeout", "dtr", "rts", "flags",
                                     "panel", "point"};
  for (const char *known : keys) {
    if (key == known) return true;
  }
  return false;
}

bool ReadConfigFile(const std::string &path, RunConfig *config, std::string *error) {
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read config file " + path + ": " + std::strerror(errno);
    return false;
  }
  return ParseConfigText(file, path, config, error);
}

bool CheckInstance(const InstanceConfig &instance, std::string *error) {
  const std::string where = instance.origin + ": ";
  if (!instance.port.empty() && !instance.simulate.empty()) {
    *error = where + "an instance has a port or a simulated panel, not both";
    return false;
  }
  if (instance.port.empty() && instance.simulate.empty()) {
    *error = where + "the instance needs a port (or simulate = SCENARIO)";
    return false;
  }
  if (instance.port.size() > kMaxPortName) {
    *error = where + "port name '" + instance.port +
             "' is longer than 11 characters; use the short form (ttyUSB0, pts/3, COM3)";
    return false;
  }
  for (const std::string &point : instance.points) {
    if (point.size() > kMaxReadAddress) {
      *error = where + "point address longer than 255 characters";
      return false;
    }
  }
  for (const ScheduledSend &send : instance.sends) {
    const std::string &address = send.address;
    if (address.size() > kMaxWriteAddress) {
      *error = where + "command point '" + address + "' is longer than 11 characters";
      return false;
    }
    if (address.size() < 5 || std::strchr("ARS", address[3]) == nullptr || address[4] != '!') {
      *error = where + "'" + address +
               "' is not a panel command: use CP<panel>A! (acknowledge), R! (reset) or S! "
               "(silence)";
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseDuration(const std::string &text, Millis *out) {
  if (text.empty() || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.')) return false;
  errno = 0;
  char *end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  if (errno != 0 || !std::isfinite(number) || number < 0) return false;
  const std::string unit = end;
  double scale = 0;
  if (unit.empty() || unit == "s") {
    scale = 1000.0;
  } else if (unit == "ms") {
    scale = 1.0;
  } else if (unit == "m" || unit == "min") {
    scale = 60000.0;
  } else {
    return false;
  }
  const double millis = number * scale;
  if (millis > 1e12) return false;
  *out = Millis(static_cast<long long>(std::llround(millis)));
  return true;
}

bool ParseConfigText(std::istream &in, const std::string &file_name, RunConfig *config,
                     std::string *error) {
  std::string raw;
  int line_number = 0;
  InstanceConfig *current = nullptr;
  while (std::getline(in, raw)) {
    ++line_number;
    const std::string where = file_name + ":" + std::to_string(line_number);
    const std::string line = Trim(raw.substr(0, raw.find('#')));
    if (line.empty()) continue;
    if (line == "[instance]") {
      config->instances.emplace_back();
      current = &config->instances.back();
      current->origin = where;
      continue;
    }
    if (line.front() == '[') {
      *error = where + ": unknown section " + line + " (only [instance])";
      return false;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
      *error = where + ": expected 'key = value'";
      return false;
    }
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = Trim(line.substr(equals + 1));
    std::string problem;
    bool known = false;
    if (current != nullptr) {
      if (!ApplyInstanceKey(key, value, current, &known, &problem)) {
        *error = where + ": " + problem;
        return false;
      }
      if (!known) {
        bool global = false;
        std::string ignored;
        RunConfig probe;
        ApplyGlobalKey(key, value, &probe, &global, &ignored);
        *error = where + ": " +
                 (global ? "'" + key + "' belongs before the first [instance]"
                         : "unknown key '" + key + "'");
        return false;
      }
    } else {
      if (!ApplyGlobalKey(key, value, config, &known, &problem)) {
        *error = where + ": " + problem;
        return false;
      }
      if (!known) {
        *error = where + ": " +
                 (IsInstanceFlag(key) || key == "send"
                      ? "'" + key + "' belongs in an [instance] section"
                      : "unknown key '" + key + "'");
        return false;
      }
    }
  }
  if (config->instances.empty()) {
    *error = file_name + ": no [instance] section";
    return false;
  }
  return true;
}

bool ParseCommandLine(int argc, char **argv, RunConfig *config, std::string *error) {
  std::string config_path;
  InstanceConfig flag_instance;
  flag_instance.origin = "flags";
  bool instance_flags_used = false;
  std::vector<ScheduledSend> flag_sends;
  // Flags override the config file's global keys, so the file is read first.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      config->help = true;
      return true;
    }
    if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) config_path = argv[i + 1];
  }
  if (!config_path.empty() && !ReadConfigFile(config_path, config, error)) return false;

  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--discover") {
      config->discover = true;
    } else if (argument == "--json") {
      config->output = OutputMode::kJson;
    } else if (argument == "--lines") {
      config->output = OutputMode::kLines;
    } else if (argument == "--trace") {
      config->trace = true;
    } else if (argument == "--selfcheck") {
      config->selfcheck = true;
    } else if (ApplyMqttSwitch(argument, &config->mqtt)) {
    } else if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
      const std::string key = argument.substr(2);
      if (i + 1 >= argc) {
        *error = argument + " needs a value (see --help)";
        return false;
      }
      const std::string value = argv[++i];
      if (key == "config") continue;
      std::string problem;
      bool known = false;
      if (key == "send") {
        ScheduledSend send;
        if (!ParseSend(value, &send, &problem)) {
          *error = "--send: " + problem;
          return false;
        }
        flag_sends.push_back(send);
        continue;
      }
      if (!ApplyGlobalKey(key, value, config, &known, &problem)) {
        *error = argument + ": " + problem;
        return false;
      }
      if (known) continue;
      if (!ApplyInstanceKey(key, value, &flag_instance, &known, &problem)) {
        *error = argument + ": " + problem;
        return false;
      }
      if (!known) {
        *error = "unknown option " + argument + " (see --help)";
        return false;
      }
      instance_flags_used = true;
    } else {
      *error = "unexpected argument '" + argument + "' (see --help)";
      return false;
    }
  }

  if (config_path.empty()) {
    if (flag_instance.port.empty() && flag_instance.simulate.empty()) {
      flag_instance.simulate = kDemoScenario;  // no hardware: the built-in demo panel
    }
    config->instances.push_back(flag_instance);
  } else if (instance_flags_used) {
    *error = "--port, --simulate, the line and point flags describe the single instance of a "
             "run without --config; put them in the file's [instance] sections";
    return false;
  }
  InstanceConfig &first = config->instances.front();
  first.sends.insert(first.sends.end(), flag_sends.begin(), flag_sends.end());
  return CheckConfig(config, error);
}

bool CheckConfig(RunConfig *config, std::string *error) {
  for (const InstanceConfig &instance : config->instances) {
    if (!CheckInstance(instance, error)) return false;
  }
  if (config->trace && config->output == OutputMode::kAuto) {
    // A trace is a stream of lines; it has no place on the live screen's table.
    config->output = OutputMode::kLines;
  }
  return CheckMqttOptions(config->mqtt, error);
}

std::vector<std::string> PointsOf(const InstanceConfig &instance) {
  if (!instance.points.empty()) return instance.points;
  return {"CP" + std::to_string(instance.panel) + "Z1"};
}

void PrintHelp(std::FILE *out, const char *module_file_name) {
  std::fprintf(out,
               R"(usage: zemhost [OPTIONS]
       zemhost --config FILE [OPTIONS]

A host for the VUZOV fire-panel driver on the bench. zemhost loads the driver
module (%s) as a SCADA host does, provides the host runtime library, starts
one driver instance per serial line, polls the panel and shows what it
reports: gate values, the driver's log lines and the result of every exchange.
With no port given it plays the built-in demo panel on a pty, so it runs with
no hardware at all.

Lines and panels (one instance; use --config for several):
  --port NAME          the port as the driver names it: COM1 (/dev/ttyS0 on
                       Linux), ttyUSB0 (/dev/ttyUSB0), pts/3, or an absolute
                       path; at most 11 characters
  --simulate SCENARIO  play a simulated panel on a pty instead (Linux only):
                       a scenario file (see panelsim --help for the format) or
                       "demo", the built-in demo; the default when no --port
                       is given
  --baud N             line rate (default: the driver's, 9600)
  --data-bits N        5 to 8 (default: the driver's, 8)
  --parity P           none, odd, even, mark or space (default: the driver's)
  --stop-bits S        1, 1.5 or 2 (default: the driver's)
  --timeout N          read timeout in units of 10 ms (default 10 = 100 ms); a
                       reply ends after one timeout of silence
  --dtr MODE           on, off or handshake   (the state block's flags word,
  --rts MODE           on, off, handshake or   which the driver applies when it
                       toggle                  reopens the port; default off)
  --flags WORD         the flags word itself, e.g. 0x0101
  --panel N            panel number 0 to 8 (default 1): the default point
                       CP<N>Z1 and the default gates
  --point ADDR         a point to poll, e.g. CP1Z1 (repeatable; each is
                       checked by the driver before the run, and the panel
                       number the driver reads from it names its gates)
  --send ADDR[@TIME]   send a panel command: CP1A! acknowledge, CP1R! reset,
                       CP1S! silence; at TIME after the start (15s), or at once.
                       Repeatable; with --config it goes to the first instance.
                       Without --polls or --for, zemhost sends, reports and
                       ends without polling (exit 1 when the panel did not
                       acknowledge)

Gates (the host's named values the driver stores into):
  --gates FILE         one gate name a line ('#' comments), e.g. CP1Z12
  --discover           create every gate the driver asks for, so the table
                       shows every zone and element the panel reports
  default              CP<p>MS, CP<p>ST and CP<p>Z1 to CP<p>Z255 for each
                       panel number p of the points

The run:
  --interval TIME      between two polls of an instance (default 200ms); each
                       instance polls its points in turn on its own thread
  --polls N            end after N polls of every instance
  --for TIME           end after TIME (e.g. 30s); otherwise run until Ctrl-C
  --reopen-after N     close and reopen the port after N failed polls in a row
                       (default 3, 0 never)
  --module PATH        the driver module (default: %s beside zemhost)
  --config FILE        read the instances from FILE (below)
  --selfcheck          at the end, check that no descriptor or thread is left
                       and exit 1 if one is

Output:
  on a terminal        a live table of the gates the panel has reported, with
                       their last change time (changes highlighted), a status
                       line per instance (exchanges, failures, last result),
                       commands and the latest log lines. Keys: a acknowledge,
                       s silence, r reset (sent to every instance), q quit
  otherwise, --lines   one line per event, seconds since the start first:
                         2.104 CP1Z3 = 1
                         2.104 log 0 ZODODA> ...
                         9.310 instance 1 read CP1Z1 failed: result 2
                        15.002 instance 1 command CP1S! acknowledged
  --json               one JSON object per line and event: "driver",
                       "instance", "gate", "log", "exchange" (every poll),
                       "command", "trace", "notice" and "end"
  --trace              every frame on the line, in hex with its time:
                       [05] sent by the driver, <02 01 ...> sent by the panel.
                       With --simulate from the simulated panel; on a real
                       port zemhost opens the device itself and relays the
                       driver's traffic through a pty (Linux only). A trace
                       is a stream of lines: it implies --lines on a terminal

Config file (--config): 'key = value' lines, '#' comments. Before the first
section: module, gates, discover, interval, polls, for, reopen-after. Each
[instance] section is one driver instance with the keys port, simulate, baud,
data-bits, parity, stop-bits, timeout, dtr, rts, flags, panel, point
(repeatable) and send (repeatable), named and valued as the flags. Example:

  interval = 250ms
  discover = yes
  [instance]
  port = ttyUSB0
  panel = 1
  point = CP1Z1
  [instance]
  port = ttyUSB1
  panel = 2
  point = CP2Z1
  send = CP2S!@10s

A bad line is reported as FILE:LINE: message.

Ending: --for, --polls, q or Ctrl-C (SIGINT, SIGTERM) stop the polling; then
zemhost posts to the driver's waiting threads, waits for their "ShutDown !"
lines, closes every port, ends the driver (EndZem), unloads it and exits.

Exit status:
  0  the run ended cleanly
  1  a sent command was not acknowledged (send-only runs), the driver failed
     to start its thread, or --selfcheck found something left behind
  2  a bad flag, config line, scenario, gate list or point address (the
     driver's own log line is shown)
  3  the driver module cannot be loaded
  4  a port did not open (the driver's log lines are shown)
)",
               module_file_name, module_file_name);
  std::fputs(kMqttHelp, out);
}

}  // namespace zemhost
