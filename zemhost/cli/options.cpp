// The `key = value` settings that the flags and the config file share: their
// names, the values each takes and the message for a bad one.
#include "cli/options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>

#include "cli/option_keys.h"

namespace zemhost {
namespace {

// The host's records hold a port name and a write address in 12 characters.
constexpr std::size_t kMaxPortName = 11;
constexpr std::size_t kMaxWriteAddress = 11;
constexpr std::size_t kMaxReadAddress = 255;

// The longest duration taken, in milliseconds: about 31 years.
constexpr double kMaxDurationMillis = 1e12;

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

// A flag such as --port "$PORT" with the variable unset arrives empty; taking
// it as "not given" would put the demo panel where a real one was meant.
bool RequireValue(const std::string &key, const std::string &value, const char *what,
                  std::string *error) {
  if (!value.empty()) return true;
  *error = key + " needs " + what + ", not an empty value";
  return false;
}

std::string DurationRule() {
  return "a duration of up to " + std::to_string(static_cast<long long>(kMaxDurationMillis / 1000)) +
         "s: a number with ms, s, m or min, or a bare number of seconds";
}

// 250ms, 2s, 1.5s: as a user would write it back.
std::string FormatDuration(Millis duration) {
  const long long millis = duration.count();
  if (millis < 1000) return std::to_string(millis) + "ms";
  if (millis % 1000 == 0) return std::to_string(millis / 1000) + "s";
  char text[32];
  std::snprintf(text, sizeof text, "%gs", static_cast<double>(millis) / 1000.0);
  return text;
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

// The keys of the instance's serial line and its control bits.
bool ApplyLineKey(const std::string &key, const std::string &value, InstanceConfig *instance,
                  bool *known, std::string *error) {
  *known = true;
  unsigned long long number = 0;
  std::uint16_t word = 0;
  if (key == "baud") {
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
  } else {
    *known = false;
  }
  return true;
}

// A send due after --for has ended would be dropped without a word. With
// --polls alone the run's length is not known in advance, so that is left be.
bool CheckSendTimes(const InstanceConfig &instance, std::optional<Millis> run_for,
                    std::string *error) {
  if (!run_for) return true;
  for (const ScheduledSend &send : instance.sends) {
    if (!send.at || *send.at < *run_for) continue;
    *error = instance.origin + ": send " + send.text + " is due at " + FormatDuration(*send.at) +
             ", but the run lasts " + FormatDuration(*run_for) + " (for): it would never be sent";
    return false;
  }
  return true;
}

bool CheckInstance(const InstanceConfig &instance, std::string *error) {
  const std::string where = instance.origin + ": ";
  if (!instance.port.empty() && !instance.simulate.empty()) {
    *error = where + kPortAndSimulated;
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

std::string Trim(const std::string &text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

bool OpenInputFile(const std::string &path, const std::string &what, std::ifstream *file,
                   std::string *error) {
  std::error_code failure;
  // A directory opens as a stream that reads nothing, which would pass for an
  // empty file.
  if (std::filesystem::is_directory(path, failure)) {
    *error = "cannot read " + what + " " + path + ": it is a directory, not a file";
    return false;
  }
  file->open(path);
  if (!*file) {
    const int reason = errno;
    *error = "cannot read " + what + " " + path + ": " + std::strerror(reason);
    return false;
  }
  return true;
}

bool CheckInputFile(const std::string &path, const std::string &what, std::string *error) {
  std::ifstream file;
  return OpenInputFile(path, what, &file, error);
}

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
  if (millis > kMaxDurationMillis) return false;
  *out = Millis(static_cast<long long>(std::llround(millis)));
  return true;
}

bool ParseSend(const std::string &text, ScheduledSend *out, std::string *error) {
  const auto at = text.find('@');
  out->text = text;
  out->address = text.substr(0, at);
  out->at.reset();
  if (at != std::string::npos) {
    Millis when{};
    if (!ParseDuration(text.substr(at + 1), &when)) {
      *error = "send time '" + text.substr(at + 1) + "' is not " + DurationRule();
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

bool ApplyInstanceKey(const std::string &key, const std::string &value, InstanceConfig *instance,
                      bool *known, std::string *error) {
  *known = true;
  unsigned long long number = 0;
  if (key == "port") {
    if (!RequireValue(key, value, "a port name such as ttyUSB0", error)) return false;
    instance->port = value;
  } else if (key == "simulate") {
    if (!RequireValue(key, value, "a scenario file or demo", error)) return false;
    if (value != kDemoScenario && !CheckInputFile(value, "scenario", error)) return false;
    instance->simulate = value;
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
    return ApplyLineKey(key, value, instance, known, error);
  }
  return true;
}

bool ApplyGlobalKey(const std::string &key, const std::string &value, RunConfig *config,
                    bool *known, std::string *error) {
  *known = true;
  unsigned long long number = 0;
  Millis duration{};
  if (key == "module") {
    if (!RequireValue(key, value, "the path of the driver module", error)) return false;
    config->module_path = value;
  } else if (key == "gates") {
    if (!RequireValue(key, value, "a gate list file", error)) return false;
    if (!CheckInputFile(value, "the gate list", error)) return false;
    config->gates_path = value;
  } else if (key == "discover") {
    if (!ParseBool(value, &config->discover)) {
      *error = "discover is yes or no";
      return false;
    }
  } else if (key == "interval") {
    if (!ParseDuration(value, &duration) || duration.count() < 1) {
      *error = "interval is " + DurationRule() + ", at least 1ms, such as 200ms";
      return false;
    }
    config->interval = duration;
  } else if (key == "polls") {
    if (!ParseWhole(value, ~0ull, &number) || number == 0) {
      *error = "polls is a whole count from 1 to " +
               std::to_string(std::numeric_limits<unsigned long long>::max());
      return false;
    }
    config->polls = number;
  } else if (key == "for") {
    if (!ParseDuration(value, &duration)) {
      *error = "for is " + DurationRule() + ", such as 30s";
      return false;
    }
    config->run_for = duration;
  } else if (key == "reopen-after") {
    if (!ParseWhole(value, 1000, &number)) {
      *error = "reopen-after is a count of failed polls from 0 (never) to 1000";
      return false;
    }
    config->reopen_after = static_cast<int>(number);
  } else {
    return ApplyMqttKey(key, value, &config->mqtt, known, error);
  }
  return true;
}

const std::vector<std::string> &InstanceKeys() {
  static const std::vector<std::string> keys = {"port",  "simulate", "baud", "data-bits",
                                                "parity", "stop-bits", "timeout", "dtr",
                                                "rts",   "flags",     "panel", "point"};
  return keys;
}

const std::vector<std::string> &GlobalKeys() {
  static const std::vector<std::string> keys = {
      "module", "gates", "discover", "interval", "polls", "for", "reopen-after",
      // The gateway's; mqtt-password is here only to be refused with its reason.
      "mqtt", "mqtt-prefix", "mqtt-user", "mqtt-password-file", "mqtt-password", "mqtt-cafile",
      "mqtt-commands", "mqtt-discovery"};
  return keys;
}

bool IsInstanceKey(const std::string &key) {
  const std::vector<std::string> &keys = InstanceKeys();
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool CheckConfig(RunConfig *config, std::string *error) {
  for (const InstanceConfig &instance : config->instances) {
    if (!CheckInstance(instance, error)) return false;
    if (!CheckSendTimes(instance, config->run_for, error)) return false;
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

}  // namespace zemhost
