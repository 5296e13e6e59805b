// The `key = value` settings that a flag (--baud 1200) and a config line
// (baud = 1200) share, so that both take the same names and values and word a
// bad value alike. Used by the command line and the config file readers.
#ifndef VUZOV_ZEMHOST_OPTION_KEYS_H
#define VUZOV_ZEMHOST_OPTION_KEYS_H

#include <string>
#include <vector>

#include "cli/options.h"

namespace zemhost {

// The keys of one instance, without "send", which both also take.
const std::vector<std::string> &InstanceKeys();
// The keys of the whole run; in a config file they come before the first
// [instance]. On the command line "discover" is a switch.
const std::vector<std::string> &GlobalKeys();
bool IsInstanceKey(const std::string &key);

// "CP1S!" or "CP1S!@15s".
bool ParseSend(const std::string &text, ScheduledSend *out, std::string *error);

// Each applies one setting; false with *error (the message without its
// place) for a bad value. An unknown key is not theirs to report: *known says
// whether it was one of theirs.
bool ApplyInstanceKey(const std::string &key, const std::string &value, InstanceConfig *instance,
                      bool *known, std::string *error);
bool ApplyGlobalKey(const std::string &key, const std::string &value, RunConfig *config,
                    bool *known, std::string *error);

// Reads the config file at `path` into *config.
bool ReadConfigFile(const std::string &path, RunConfig *config, std::string *error);

}  // namespace zemhost

#endif
