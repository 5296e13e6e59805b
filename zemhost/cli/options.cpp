// What the flags and the config file leave to be checked as a whole, and the
// files the run reads.
#include "cli/options.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "duration.h"

namespace zemhost {
namespace {

// The host's records hold a port name and a write address in 12 characters.
constexpr std::size_t kMaxPortName = 11;
constexpr std::size_t kMaxWriteAddress = 11;
constexpr std::size_t kMaxReadAddress = 255;

// A send due after --for has ended would be dropped without a word. With
// --polls alone the run's length is not known in advance, so that is left be.
bool CheckSendTimes(const InstanceConfig &instance, std::optional<Millis> run_for,
                    std::string *error) {
  if (!run_for) return true;
  for (const ScheduledSend &send : instance.sends) {
    if (!send.at || *send.at < *run_for) continue;
    *error = instance.origin + ": send " + send.text + " is due at " +
             toolbox::FormatDuration(*send.at) + ", but the run lasts " +
             toolbox::FormatDuration(*run_for) + " (for): it would never be sent";
    return false;
  }
  return true;
}

// A silence limit the interval between polls reaches would take every pause
// between two polls for a lost panel.
bool CheckLinkRule(const RunConfig &config, const InstanceConfig &instance, std::string *error) {
  const LinkRule rule = LinkRuleOf(config, instance);
  if (rule.silence > config.interval) return true;
  *error = instance.origin + ": link-silence " + toolbox::FormatDuration(rule.silence) +
           " is not longer than the interval between polls (" +
           toolbox::FormatDuration(config.interval) +
           "): every pause between two polls would read as a lost panel";
  return false;
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

bool CheckConfig(RunConfig *config, std::string *error) {
  for (const InstanceConfig &instance : config->instances) {
    if (!CheckInstance(instance, error)) return false;
    if (!CheckSendTimes(instance, config->run_for, error)) return false;
    if (!CheckLinkRule(*config, instance, error)) return false;
  }
  // A gateway shows every zone the panel reports: the driver stores only into
  // gates the host has, and the default ones end at zone 255.
  if (config->modbus.enabled() && config->gates_path.empty()) config->discover = true;
  return CheckMqttOptions(config->mqtt, error) &&
         CheckModbusOptions(config->modbus, config->modbus_map, error);
}

LinkRule LinkRuleOf(const RunConfig &config, const InstanceConfig &instance) {
  const LinkRule built_in;
  LinkRule rule;
  rule.failures = instance.rules.link_failures.value_or(
      config.rules.link_failures.value_or(built_in.failures));
  rule.silence = instance.rules.link_silence.value_or(
      config.rules.link_silence.value_or(built_in.silence));
  return rule;
}

MessageReading ReadingOf(const RunConfig &config, const InstanceConfig &instance) {
  MessageReading reading;
  reading.types = instance.message_types.Over(config.message_types);
  reading.reset_message = instance.rules.reset_message ? instance.rules.reset_message
                                                       : config.rules.reset_message;
  return reading;
}

std::vector<std::string> PointsOf(const InstanceConfig &instance) {
  if (!instance.points.empty()) return instance.points;
  return {"CP" + std::to_string(instance.panel) + "Z1"};
}

}  // namespace zemhost
