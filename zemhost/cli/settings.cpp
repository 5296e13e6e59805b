// The table of settings, and the typed readers it is built from: each reader
// takes one kind of value (a whole number in a range, a name from a list, a
// duration, a file) and stores it in one field of the run's configuration.
#include "cli/settings.h"

#include <limits>
#include <map>
#include <optional>

#include "cli/setting_values.h"
#include "host_interface.h"

namespace zemhost {
namespace {

// Where a reader stores its value: one field of the targets.
template <typename T>
using Field = std::function<T &(const Targets &)>;

template <typename T>
Field<T> In(T InstanceConfig::*field) {
  return [field](const Targets &to) -> T & { return to.instance->*field; };
}
template <typename T>
Field<T> Of(T RunConfig::*field) {
  return [field](const Targets &to) -> T & { return to.run->*field; };
}
template <typename T>
Field<T> Mqtt(T MqttOptions::*field) {
  return [field](const Targets &to) -> T & { return to.run->mqtt.*field; };
}

template <typename T>
Field<T> Modbus(T ModbusOptions::*field) {
  return [field](const Targets &to) -> T & { return to.run->modbus.*field; };
}

// A key the run and an instance may both set: the instance's own value when
// one is being read, else the run's.
template <typename T>
Field<std::optional<T>> Either(std::optional<T> InstanceRules::*field) {
  return [field](const Targets &to) -> std::optional<T> & {
    InstanceRules &rules = to.instance != nullptr ? to.instance->rules : to.run->rules;
    return rules.*field;
  };
}

template <typename T, typename V>
void Store(T &field, V value) {
  field = static_cast<T>(value);
}
template <typename T, typename V>
void Store(std::optional<T> &field, V value) {
  field = static_cast<T>(value);
}

// "KEY RULE": the message for a value the key does not take.
bool Refuse(std::string_view key, const std::string &rule, std::string *problem) {
  *problem = std::string(key) + " " + rule;
  return false;
}

// ---- Readers ----------------------------------------------------------------

template <typename T>
SettingReader Whole(unsigned long long least, unsigned long long most, const std::string &rule,
                    Field<T> field) {
  return [=](std::string_view key, const std::string &value, const Targets &to,
             std::string *problem) {
    const auto number = ParseWhole(value, most);
    if (!number || *number < least) return Refuse(key, rule, problem);
    Store(field(to), *number);
    return true;
  };
}

using Names = std::map<std::string, std::uint16_t>;

SettingReader Named(const Names &names, const std::string &rule,
                    Field<std::optional<std::uint16_t>> field) {
  return [=](std::string_view key, const std::string &value, const Targets &to,
             std::string *problem) {
    const auto found = names.find(value);
    if (found == names.end()) return Refuse(key, rule, problem);
    field(to) = found->second;
    return true;
  };
}

// A mode of one control line: its bits of the flags word, the others kept.
SettingReader LineMode(const Names &names, std::uint16_t line_bits, const std::string &rule) {
  return [=](std::string_view key, const std::string &value, const Targets &to,
             std::string *problem) {
    const auto found = names.find(value);
    if (found == names.end()) return Refuse(key, rule, problem);
    std::uint16_t &flags = to.instance->flags;
    flags = static_cast<std::uint16_t>((flags & ~line_bits) | found->second);
    return true;
  };
}

SettingReader YesNo(Field<bool> field) {
  return [=](std::string_view key, const std::string &value, const Targets &to,
             std::string *problem) {
    const auto on = ParseYesNo(value);
    if (!on) return Refuse(key, "is yes or no", problem);
    field(to) = *on;
    return true;
  };
}

// `example` ends the message: ", such as 30s".
template <typename T>
SettingReader Duration(Millis least, const std::string &example, Field<T> field) {
  return [=](std::string_view key, const std::string &value, const Targets &to,
             std::string *problem) {
    const auto length = ParseMillis(value);
    if (!length || *length < least) return Refuse(key, "is " + DurationRule() + example, problem);
    Store(field(to), *length);
    return true;
  };
}

// A flag such as --port "$PORT" with the variable unset arrives empty; taking
// it as "not given" would put the demo panel where a real one was meant.
bool RequireValue(std::string_view key, const std::string &value, const std::string &needs,
                  std::string *problem) {
  if (!value.empty()) return true;
  return Refuse(key, "needs " + needs + ", not an empty value", problem);
}

SettingReader Text(const std::string &needs, Field<std::string> field) {
  return [=](std::string_view key, const std::string &value, const Targets &to,
             std::string *problem) {
    if (!RequireValue(key, value, needs, problem)) return false;
    field(to) = value;
    return true;
  };
}

SettingReader AnyText(Field<std::string> field) {
  return [=](std::string_view, const std::string &value, const Targets &to, std::string *) {
    field(to) = value;
    return true;
  };
}

// A file the run reads, checked now so that a bad one ends the run at once;
// `special` is a value that names no file.
SettingReader InputFile(const std::string &needs, const std::string &what,
                        Field<std::string> field, const std::string &special = std::string()) {
  return [=](std::string_view key, const std::string &value, const Targets &to,
             std::string *problem) {
    if (!RequireValue(key, value, needs, problem)) return false;
    if (value != special && !CheckInputFile(value, what, problem)) return false;
    field(to) = value;
    return true;
  };
}

SettingReader Message(Field<std::optional<MessageKey>> field) {
  return [=](std::string_view key, const std::string &value, const Targets &to,
             std::string *problem) {
    MessageKey message;
    std::string why;
    if (!ParseMessageKey(value, &message, &why)) return Refuse(key, "is TYPE[/STATE]: " + why, problem);
    field(to) = message;
    return true;
  };
}

SettingReader Point() {
  return [](std::string_view key, const std::string &value, const Targets &to,
            std::string *problem) {
    if (value.empty()) return Refuse(key, "needs an address such as CP1Z1", problem);
    to.instance->points.push_back(value);
    return true;
  };
}

SettingReader Send() {
  return [](std::string_view, const std::string &value, const Targets &to, std::string *problem) {
    ScheduledSend send;
    if (!ParseSend(value, &send, problem)) return false;
    to.instance->sends.push_back(send);
    return true;
  };
}

SettingReader ListenAt() {
  return [](std::string_view key, const std::string &value, const Targets &to,
            std::string *problem) {
    ListenAddress address;
    std::string why;
    if (!ParseListenAddress(value, &address, &why)) return Refuse(key, why, problem);
    to.run->modbus.listen = value;
    return true;
  };
}

// Repeatable: each one more network the server lets in.
SettingReader AllowFrom() {
  return [](std::string_view key, const std::string &value, const Targets &to,
            std::string *problem) {
    AddressRule rule;
    std::string why;
    if (!ParseAddressRule(value, &rule, &why)) return Refuse(key, why, problem);
    to.run->modbus.allow.push_back(value);
    return true;
  };
}

SettingReader Refused(const std::string &reason) {
  return [=](std::string_view, const std::string &, const Targets &, std::string *problem) {
    *problem = reason;
    return false;
  };
}

template <typename T>
SettingReader Set(Field<T> field, T value) {
  return [=](std::string_view, const std::string &, const Targets &to, std::string *) {
    field(to) = value;
    return true;
  };
}

// ---- The table ----------------------------------------------------------------

Setting Make(std::string key, Scope scope, SettingReader read) {
  Setting setting;
  setting.key = std::move(key);
  setting.scope = scope;
  setting.read = std::move(read);
  return setting;
}
Setting Instance(std::string key, SettingReader read) {
  return Make(std::move(key), Scope::kInstance, std::move(read));
}
Setting Run(std::string key, SettingReader read) {
  return Make(std::move(key), Scope::kRun, std::move(read));
}
Setting RunOrInstance(std::string key, SettingReader read) {
  return Make(std::move(key), Scope::kRunOrInstance, std::move(read));
}
Setting CommandLine(std::string key, SettingReader read) {
  return Make(std::move(key), Scope::kCommandLine, std::move(read));
}
Setting AsSwitch(Setting setting) {
  setting.form = Form::kSwitch;
  return setting;
}
Setting NamingFile(Setting setting) {
  setting.names_file = true;
  return setting;
}
Setting ToFirstInstance(Setting setting) {
  setting.to_first_instance = true;
  return setting;
}

const Names kParityNames = {{"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
const Names kStopBitNames = {{"1", 0}, {"1.5", 1}, {"2", 2}};
const Names kDtrNames = {{"off", 0}, {"on", vuzov::kDtrOn}, {"handshake", vuzov::kDtrHandshake}};
const Names kRtsNames = {{"off", 0},
                         {"on", vuzov::kRtsOn},
                         {"handshake", vuzov::kRtsHandshake},
                         {"toggle", vuzov::kRtsToggle}};

std::vector<Setting> BuildSettings() {
  constexpr unsigned long long kMostPolls = std::numeric_limits<unsigned long long>::max();
  const Millis kNoLeast{0};
  return {
      // One instance: its line or simulated panel, the line's settings, its
      // points and its commands.
      Instance("port", Text("a port name such as ttyUSB0", In(&InstanceConfig::port))),
      NamingFile(Instance("simulate", InputFile("a scenario file or demo", "scenario",
                                                In(&InstanceConfig::simulate), kDemoScenario))),
      Instance("baud", Whole(1, 65535, "is a rate from 1 to 65535", In(&InstanceConfig::baud))),
      Instance("data-bits", Whole(5, 8, "is 5, 6, 7 or 8", In(&InstanceConfig::data_bits))),
      Instance("parity", Named(kParityNames, "is none, odd, even, mark or space",
                               In(&InstanceConfig::parity))),
      Instance("stop-bits", Named(kStopBitNames, "is 1, 1.5 or 2", In(&InstanceConfig::stop_bits))),
      Instance("timeout", Whole(1, 60000, "is 1 to 60000, in units of 10 ms",
                                In(&InstanceConfig::timeout))),
      Instance("dtr", LineMode(kDtrNames, vuzov::kDtrModeBits, "is on, off or handshake")),
      Instance("rts", LineMode(kRtsNames, vuzov::kRtsModeBits, "is on, off, handshake or toggle")),
      Instance("flags",
               Whole(0, 0xFFFF, "is a 16-bit word such as 0x0101", In(&InstanceConfig::flags))),
      Instance("panel", Whole(0, 8, "is a panel number from 0 to 8", In(&InstanceConfig::panel))),
      Instance("point", Point()),
      ToFirstInstance(Instance("send", Send())),
      // The run.
      NamingFile(
          Run("module", Text("the path of the driver module", Of(&RunConfig::module_path)))),
      NamingFile(Run("gates", InputFile("a gate list file", "the gate list",
                                        Of(&RunConfig::gates_path)))),
      AsSwitch(Run("discover", YesNo(Of(&RunConfig::discover)))),
      Run("interval",
          Duration(Millis(1), ", at least 1ms, such as 200ms", Of(&RunConfig::interval))),
      Run("polls", Whole(1, kMostPolls, "is a whole count from 1 to " + std::to_string(kMostPolls),
                         Of(&RunConfig::polls))),
      Run("for", Duration(kNoLeast, ", such as 30s", Of(&RunConfig::run_for))),
      Run("reopen-after", Whole(0, 1000, "is a count of failed polls from 0 (never) to 1000",
                                Of(&RunConfig::reopen_after))),
      // When a panel's link counts as lost: for every instance, or one.
      RunOrInstance("link-failures",
                    Whole(1, 1000, "is a count of failed exchanges in a row from 1 to 1000",
                          Either(&InstanceRules::link_failures))),
      RunOrInstance("link-silence", Duration(Millis(1), ", at least 1ms, such as 5s",
                                             Either(&InstanceRules::link_silence))),
      // The panel's own word that it was reset at its front panel.
      RunOrInstance("reset-message", Message(Either(&InstanceRules::reset_message))),
      // The MQTT gateway.
      Run("mqtt", AnyText(Mqtt(&MqttOptions::url))),
      Run("mqtt-prefix", AnyText(Mqtt(&MqttOptions::prefix))),
      Run("mqtt-user", AnyText(Mqtt(&MqttOptions::user))),
      NamingFile(Run("mqtt-password-file", AnyText(Mqtt(&MqttOptions::password_file)))),
      // A password on a command line is in every process listing.
      Run("mqtt-password", Refused("a password is never given as an option: put it in a file for "
                                   "mqtt-password-file")),
      NamingFile(Run("mqtt-cafile", AnyText(Mqtt(&MqttOptions::cafile)))),
      AsSwitch(Run("mqtt-commands", YesNo(Mqtt(&MqttOptions::commands)))),
      AsSwitch(Run("mqtt-discovery", YesNo(Mqtt(&MqttOptions::discovery)))),
      Run("mqtt-keepalive", Duration(Millis(1), ", 5s to 65535s, such as 30s",
                                     Mqtt(&MqttOptions::keepalive))),
      // Deliberate acts, for one start: never left in a config file.
      AsSwitch(CommandLine("mqtt-takeover", YesNo(Mqtt(&MqttOptions::takeover)))),
      AsSwitch(CommandLine("mqtt-clear", YesNo(Mqtt(&MqttOptions::clear)))),
      // The Modbus TCP server.
      Run("modbus", ListenAt()),
      Run("modbus-zones", Whole(1, kMostModbusZones,
                                "is a count of zones from 1 to " + std::to_string(kMostModbusZones),
                                Modbus(&ModbusOptions::zones))),
      Run("modbus-max-clients",
          Whole(1, kMostModbusClients,
                "is a count of clients from 1 to " + std::to_string(kMostModbusClients),
                Modbus(&ModbusOptions::max_clients))),
      Run("modbus-allow", AllowFrom()),
      AsSwitch(Run("modbus-commands", YesNo(Modbus(&ModbusOptions::commands)))),
      Run("modbus-timeout", Duration(Millis(1), ", at least 1ms, such as 500ms",
                                     Modbus(&ModbusOptions::request_timeout))),
      Run("modbus-idle",
          Duration(Millis(1), ", at least 1ms, such as 60s", Modbus(&ModbusOptions::idle_timeout))),
      // The command line's own.
      CommandLine("config", Text("a config file", Of(&RunConfig::config_file))),
      AsSwitch(CommandLine("json", Set(Of(&RunConfig::output), OutputMode::kJson))),
      AsSwitch(CommandLine("lines", Set(Of(&RunConfig::output), OutputMode::kLines))),
      AsSwitch(CommandLine("trace", Set(Of(&RunConfig::trace), true))),
      AsSwitch(CommandLine("selfcheck", Set(Of(&RunConfig::selfcheck), true))),
      AsSwitch(CommandLine("modbus-map", Set(Of(&RunConfig::modbus_map), true))),
  };
}

}  // namespace

bool Setting::Read(const std::string &value, const Targets &targets, std::string *problem) const {
  // A setting that only the command line takes is named as its flag: no
  // config line ever gives it.
  const std::string name = scope == Scope::kCommandLine ? "--" + key : key;
  return read(name, value, targets, problem);
}

bool Setting::Check(const std::string &value, std::string *problem) const {
  RunConfig run;
  InstanceConfig instance;
  return Read(value, Targets{&run, &instance}, problem);
}

const std::vector<Setting> &Settings() {
  static const std::vector<Setting> settings = BuildSettings();
  return settings;
}

const Setting *FindSetting(std::string_view key) {
  for (const Setting &setting : Settings()) {
    if (setting.key == key) return &setting;
  }
  return nullptr;
}

}  // namespace zemhost
