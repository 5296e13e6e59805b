// The command line. CLI11 reads it into flags and their values, in the order
// they were given; the values then go through the same key rules as the config
// file's, so that a flag and a config line take the same values and a bad one
// is worded alike. The help is our own text (help.cpp).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cli/option_keys.h"
#include "cli/options.h"

namespace zemhost {
namespace {

// Flags that take no value. --help is one too, though it is seen first.
const char *const kSwitches[] = {"help",      "discover",      "json",          "lines",
                                 "trace",     "selfcheck",     "mqtt-commands", "mqtt-discovery"};

// Flags that take one value each time they are given.
std::vector<std::string> ValueFlags() {
  std::vector<std::string> keys = {"config", "send"};
  for (const std::string &key : GlobalKeys()) {
    if (key != "discover" && key != "mqtt-commands" && key != "mqtt-discovery") keys.push_back(key);
  }
  const std::vector<std::string> &instance = InstanceKeys();
  keys.insert(keys.end(), instance.begin(), instance.end());
  return keys;
}

// One flag as given: its name without the dashes, its value ("" for a switch),
// and how many arguments no flag took stood before it.
struct Flag {
  std::string key;
  std::string value;
  std::size_t extras_before = 0;
};

struct CommandLine {
  std::vector<Flag> flags;          // in the order given
  std::vector<std::string> extras;  // what no flag took, in order
  std::string failure;              // where the reading stopped, worded; empty: it did not
};

bool IsSwitch(const std::string &key) {
  return std::any_of(std::begin(kSwitches), std::end(kSwitches),
                     [&key](const char *name) { return key == name; });
}

// "--json=1": a switch given a value, which CLI11 stops at.
bool IsSwitchWithValue(const std::string &argument) {
  const auto equals = argument.find('=');
  return argument.compare(0, 2, "--") == 0 && equals != std::string::npos &&
         IsSwitch(argument.substr(2, equals - 2));
}

// Words what CLI11 could not place, as zemhost always has: an unknown flag
// takes the next argument as its value, so a last one lacks it.
std::string ExtraArgument(const std::string &extra, int argc, char **argv) {
  if (extra.size() > 2 && extra.compare(0, 2, "--") == 0) {
    const auto first = std::find_if(argv + 1, argv + argc,
                                    [&extra](const char *argument) { return extra == argument; });
    if (first == argv + argc - 1) return extra + " needs a value (see --help)";
    return "unknown option " + extra + " (see --help)";
  }
  return "unexpected argument '" + extra + "' (see --help)";
}

// CLI11 stops only at a switch given a value or a flag whose value is missing,
// which can only be the last argument.
std::string ParseFailure(int argc, char **argv) {
  if (argc < 2) return "cannot read the command line (see --help)";
  for (int i = 1; i < argc; ++i) {
    if (IsSwitchWithValue(argv[i])) {
      return "unknown option " + std::string(argv[i]) + " (see --help)";
    }
  }
  return std::string(argv[argc - 1]) + " needs a value (see --help)";
}

// Each flag is recorded as CLI11 reads it, so that the flags, the arguments
// no flag took and a missing value keep the order they were given in.
class FlagReader {
 public:
  FlagReader() {
    app_.set_help_flag();  // seen before CLI11 runs, and printed as our own text
    app_.allow_extras();   // reported in zemhost's words, in their place
    for (const char *name : kSwitches) {
      const std::string key = name;
      app_.add_flag_callback("--" + key, [this, key] { Record(key, std::string()); })
          ->disable_flag_override()
          ->trigger_on_parse();
    }
    for (const std::string &key : ValueFlags()) {
      const auto record = [this, key](const CLI::results_t &values) {
        for (const std::string &value : values) Record(key, value);
        return true;
      };
      app_.add_option("--" + key, record)
          ->expected(1)
          ->allow_extra_args(false)
          ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
          ->trigger_on_parse();
    }
  }
  FlagReader(const FlagReader &) = delete;
  FlagReader &operator=(const FlagReader &) = delete;

  CommandLine Read(int argc, char **argv) {
    try {
      app_.parse(argc, argv);
    } catch (const CLI::ParseError &) {
      line_.failure = ParseFailure(argc, argv);
    }
    line_.extras = app_.remaining();
    return line_;
  }

 private:
  void Record(const std::string &key, const std::string &value) {
    line_.flags.push_back(Flag{key, value, app_.remaining_size()});
  }

  CLI::App app_{"zemhost"};
  CommandLine line_;
};

// What the flags say beside the config file: the single instance of a run
// without one, and the commands for the first instance.
struct FlagSettings {
  InstanceConfig instance;
  bool instance_used = false;
  std::vector<ScheduledSend> sends;
};

bool ApplySwitch(const std::string &key, RunConfig *config) {
  if (key == "discover") {
    config->discover = true;
  } else if (key == "json") {
    config->output = OutputMode::kJson;
  } else if (key == "lines") {
    config->output = OutputMode::kLines;
  } else if (key == "trace") {
    config->trace = true;
  } else if (key == "selfcheck") {
    config->selfcheck = true;
  } else {
    return ApplyMqttSwitch("--" + key, &config->mqtt);
  }
  return true;
}

// "--port --polls 1": the flag's value went missing and the next flag was
// taken in its place.
bool CheckFlagValue(const Flag &flag, std::string *error) {
  if (IsSwitch(flag.key) || flag.value.compare(0, 2, "--") != 0) return true;
  *error = "--" + flag.key + " needs a value, but the next argument is the flag " + flag.value +
           " (see --help)";
  return false;
}

// Flags override the config file's global keys, so they apply after it.
bool ApplyFlag(const Flag &flag, RunConfig *config, FlagSettings *settings, std::string *error) {
  if (!CheckFlagValue(flag, error)) return false;
  if (flag.key == "config") return true;  // read before the flags
  if (ApplySwitch(flag.key, config)) return true;
  std::string problem;
  bool known = false;
  if (flag.key == "send") {
    ScheduledSend send;
    if (!ParseSend(flag.value, &send, &problem)) {
      *error = "--send: " + problem;
      return false;
    }
    settings->sends.push_back(send);
    return true;
  }
  bool applied = ApplyGlobalKey(flag.key, flag.value, config, &known, &problem);
  if (applied && !known) {
    settings->instance_used = true;
    applied = ApplyInstanceKey(flag.key, flag.value, &settings->instance, &known, &problem);
  }
  if (applied) return true;
  *error = "--" + flag.key + ": " + problem;
  return false;
}

// The instances the run gets: the config file's, or the flags' single one.
bool SettleInstances(bool from_file, FlagSettings *settings, RunConfig *config,
                     std::string *error) {
  if (!from_file) {
    InstanceConfig &instance = settings->instance;
    if (instance.port.empty() && instance.simulate.empty()) {
      instance.simulate = kDemoScenario;  // no hardware: the built-in demo panel
    }
    config->instances.push_back(instance);
  } else if (settings->instance_used) {
    *error =
        "--port, --simulate, the line and point flags describe the single instance of a "
        "run without --config; put them in the file's [instance] sections";
    return false;
  }
  InstanceConfig &first = config->instances.front();
  first.sends.insert(first.sends.end(), settings->sends.begin(), settings->sends.end());
  return true;
}

// The last --config; false when one of them names no file, which must not
// pass for a run without a config file.
bool ConfigPath(const std::vector<Flag> &flags, std::string *path, std::string *error) {
  for (const Flag &flag : flags) {
    if (flag.key != "config") continue;
    if (!CheckFlagValue(flag, error)) return false;
    if (flag.value.empty()) {
      *error = "--config needs a config file, not an empty value";
      return false;
    }
    *path = flag.value;
  }
  return true;
}

// The flags in their order; the first problem in that order is the one
// reported, a stray argument in its place among them.
bool ApplyFlags(const CommandLine &line, int argc, char **argv, RunConfig *config,
                FlagSettings *settings, std::string *error) {
  for (const Flag &flag : line.flags) {
    if (flag.extras_before > 0) break;
    if (!ApplyFlag(flag, config, settings, error)) return false;
  }
  if (!line.extras.empty()) {
    *error = ExtraArgument(line.extras.front(), argc, argv);
    return false;
  }
  *error = line.failure;
  return line.failure.empty();
}

}  // namespace

bool ParseCommandLine(int argc, char **argv, RunConfig *config, std::string *error) {
  // --help and --version win wherever they stand, even as another flag's
  // value; the first of them counts.
  const auto asks = std::find_if(argv + 1, argv + argc, [](const char *arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "--version") == 0;
  });
  if (asks != argv + argc) {
    (std::strcmp(*asks, "--help") == 0 ? config->help : config->version) = true;
    return true;
  }
  const CommandLine line = FlagReader().Read(argc, argv);
  std::string config_path;
  if (!ConfigPath(line.flags, &config_path, error)) return false;
  if (!config_path.empty() && !ReadConfigFile(config_path, config, error)) return false;
  FlagSettings settings;
  settings.instance.origin = "flags";
  if (!ApplyFlags(line, argc, argv, config, &settings, error)) return false;
  if (!SettleInstances(!config_path.empty(), &settings, config, error)) return false;
  return CheckConfig(config, error);
}

}  // namespace zemhost
