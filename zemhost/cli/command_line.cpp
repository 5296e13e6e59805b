// The command line. CLI11 reads it with one option per setting of the table:
// the setting's own reader is the option's validator, so a bad value stops
// the reading where it stands with the message the config file gives for it,
// and a good one is stored as CLI11 reads it, in the order given. The help is
// our own text (help.cpp).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "cli/options.h"
#include "cli/settings.h"

namespace zemhost {
namespace {

// A problem worded whole, raised by a validator so that CLI11 stops where it
// arose. CLI11's own ValidationError words a bad value "--key: problem".
class UsageError : public CLI::ParseError {
 public:
  explicit UsageError(const std::string &message)
      : CLI::ParseError("UsageError", message, CLI::ExitCodes::ValidationError) {}
};

// What the flags say beside the config file.
struct FlagSettings {
  // The single instance of a run without a config file; with one, only its
  // commands, which go to the file's first instance.
  InstanceConfig instance;
  bool instance_used = false;
  // The run keys given as flags: the file's values for them do not override.
  std::set<std::string> run_keys;
};

// An argument no flag took. An unknown flag takes the next argument as its
// value, so one with nothing after it lacks that.
std::string StrayArgument(const std::string &argument, bool last) {
  if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
    if (last) return argument + " needs a value (see --help)";
    return "unknown option " + argument + " (see --help)";
  }
  return "unexpected argument '" + argument + "' (see --help)";
}

// "--port --polls 1": CLI11 takes the argument after a flag as its value,
// whatever it is, so a value gone missing shows as the next flag in its place.
CLI::Validator NotAFlag(const std::string &key) {
  return CLI::Validator(
      [key](std::string &value) {
        if (value.compare(0, 2, "--") == 0) {
          throw UsageError("--" + key + " needs a value, but the next argument is the flag " +
                           value + " (see --help)");
        }
        return std::string();
      },
      "");
}

CLI::Validator TakenBy(const Setting &setting) {
  return CLI::Validator(
      [&setting](std::string &value) {
        std::string problem;
        if (setting.Check(value, &problem)) return std::string();
        // A flag of the command line's own names itself in its message.
        if (setting.scope == Scope::kCommandLine) throw UsageError(problem);
        return problem;
      },
      "");
}

// CLI11 hands a switch "true", or VALUE for --key=VALUE, which it takes no more
// than any other flag of zemhost's would.
CLI::Validator NoValue(const std::string &key) {
  return CLI::Validator(
      [key](std::string &value) {
        if (value != "true") {
          throw UsageError("unknown option --" + key + "=" + value + " (see --help)");
        }
        return std::string();
      },
      "");
}

class FlagReader {
 public:
  FlagReader(RunConfig *config, FlagSettings *flags) : config_(config), flags_(flags) {
    app_.set_help_flag();  // answered before CLI11 runs, as our own text
    app_.allow_extras();   // worded as zemhost words them, in their place
    for (const Setting &setting : Settings()) {
      CLI::Option *option = setting.form == Form::kSwitch ? AddSwitch(setting) : AddValue(setting);
      option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->trigger_on_parse();
    }
  }
  FlagReader(const FlagReader &) = delete;
  FlagReader &operator=(const FlagReader &) = delete;

  // False with *error: the first problem on the line, in the order given.
  bool Read(int argc, char **argv, std::string *error) {
    try {
      app_.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch &) {
      // CLI11 runs out of arguments for a flag's value only at the end.
      *error = FirstStray().value_or(std::string(argv[argc - 1]) + " needs a value (see --help)");
      return false;
    } catch (const CLI::ParseError &failure) {
      *error = FirstStray().value_or(failure.what());
      return false;
    }
    if (app_.remaining_size() == 0) return true;
    const bool last = app_.remaining_size() == 1 && !flag_after_stray_;
    *error = StrayArgument(app_.remaining().front(), last);
    return false;
  }

 private:
  CLI::Option *AddSwitch(const Setting &setting) {
    const auto apply = [this, &setting](const CLI::results_t &) {
      Apply(setting, "yes");
      return true;
    };
    return app_.add_option("--" + setting.key, apply)->expected(0)->check(NoValue(setting.key));
  }

  CLI::Option *AddValue(const Setting &setting) {
    const auto apply = [this, &setting](const CLI::results_t &values) {
      for (const std::string &value : values) Apply(setting, value);
      return true;
    };
    return app_.add_option("--" + setting.key, apply)
        ->expected(1)
        ->allow_extra_args(false)
        ->check(NotAFlag(setting.key))
        ->check(TakenBy(setting));
  }

  // A flag's value, checked by its validator: for the whole run, the single
  // instance, or (a command) the first instance.
  void Apply(const Setting &setting, const std::string &value) {
    flag_after_stray_ = flag_after_stray_ || app_.remaining_size() > 0;
    // A key the run and an instance may both set is the run's as a flag: an
    // [instance] of a config file may still set its own.
    const bool run_wide = setting.scope == Scope::kRun || setting.scope == Scope::kRunOrInstance;
    InstanceConfig *instance = setting.scope == Scope::kRunOrInstance ? nullptr : &flags_->instance;
    std::string problem;
    if (!setting.Read(value, Targets{config_, instance}, &problem)) {
      throw CLI::ValidationError("--" + setting.key, problem);  // a file gone since its check
    }
    if (run_wide) flags_->run_keys.insert(setting.key);
    if (setting.scope == Scope::kInstance && !setting.to_first_instance) {
      flags_->instance_used = true;
    }
  }

  // An argument no flag took that stood before the problem: the first one.
  std::optional<std::string> FirstStray() const {
    if (app_.remaining_size() == 0) return std::nullopt;
    return StrayArgument(app_.remaining().front(), false);
  }

  RunConfig *const config_;
  FlagSettings *const flags_;
  bool flag_after_stray_ = false;
  CLI::App app_{"zemhost"};
};

// The instances the run gets: the config file's, or the flags' single one.
bool SettleInstances(FlagSettings *flags, RunConfig *config, std::string *error) {
  InstanceConfig &instance = flags->instance;
  if (config->config_file.empty()) {
    if (instance.port.empty() && instance.simulate.empty()) {
      instance.simulate = kDemoScenario;  // no hardware: the built-in demo panel
    }
    config->instances.push_back(instance);
    return true;
  }
  if (flags->instance_used) {
    *error =
        "--port, --simulate, the line and point flags describe the single instance of a "
        "run without --config; put them in the file's [instance] sections";
    return false;
  }
  std::vector<ScheduledSend> &sends = config->instances.front().sends;
  sends.insert(sends.end(), instance.sends.begin(), instance.sends.end());
  return true;
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
  FlagSettings flags;
  flags.instance.origin = "flags";
  if (!FlagReader(config, &flags).Read(argc, argv, error)) return false;
  if (!config->config_file.empty() &&
      !ReadConfigFile(config->config_file, flags.run_keys, config, error)) {
    return false;
  }
  if (!SettleInstances(&flags, config, error)) return false;
  return CheckConfig(config, error);
}

}  // namespace zemhost
