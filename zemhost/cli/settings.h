// The settings a flag (--baud 1200) and a config line (baud = 1200) share, in
// one table: each key's name, where it may stand, and the typed reader that
// turns its value into the run's configuration or words why it cannot. The
// command line gives the table to CLI11 as options with validators; the config
// file reader looks its keys up in the same table.
#ifndef VUZOV_ZEMHOST_SETTINGS_H
#define VUZOV_ZEMHOST_SETTINGS_H

#include <functional>
#include <iosfwd>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"

namespace zemhost {

enum class Scope {
  kRun,          // the whole run: a flag, or a config line before the first [instance]
  kInstance,     // one instance: a flag for the single instance, or a line in [instance]
  // Both: before the first [instance] (or as a flag) for every instance, in
  // an [instance] for that one, whose own value wins.
  kRunOrInstance,
  kCommandLine,  // a flag only (--config, --json, ...)
};

enum class Form {
  kValue,   // --key VALUE, --key=VALUE, key = VALUE
  kSwitch,  // --key alone; in a config file key = yes or no
};

// Where a setting's value goes. For a kRunOrInstance key, a null instance
// means the run's value.
struct Targets {
  RunConfig *run;
  InstanceConfig *instance;
};

// Reads one value into the targets; false with *problem, the message without
// its place ("baud is a rate from 1 to 65535"). A switch given as a flag
// reads "yes".
using SettingReader = std::function<bool(std::string_view key, const std::string &value,
                                         const Targets &targets, std::string *problem)>;

struct Setting {
  std::string key;
  Scope scope = Scope::kRun;
  Form form = Form::kValue;
  // A file: a relative one in a config file is taken from the file's folder.
  bool names_file = false;
  // An instance key that, given as a flag beside --config, goes to the file's
  // first instance instead of describing the single instance (--send).
  bool to_first_instance = false;
  SettingReader read;

  bool Read(const std::string &value, const Targets &targets, std::string *problem) const;
  // Only whether the value would be taken: read into a configuration of its own.
  bool Check(const std::string &value, std::string *problem) const;
};

// Every setting, grouped as --help groups them.
const std::vector<Setting> &Settings();
// The setting named `key`; nullptr for none.
const Setting *FindSetting(std::string_view key);

// Reads a config file's text into *config. file_name is only for messages. The
// run keys in `kept` were given as flags, which win: the file's values for them
// are checked but not taken.
bool ParseConfigText(std::istream &in, const std::string &file_name,
                     const std::set<std::string> &kept, RunConfig *config, std::string *error);
bool ReadConfigFile(const std::string &path, const std::set<std::string> &kept, RunConfig *config,
                    std::string *error);

}  // namespace zemhost

#endif
