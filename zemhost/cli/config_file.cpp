// The config file: 'key = value' lines, '#' comments, the run's keys first and
// then one [instance] section per driver instance. Our own reader, since the
// sections repeat.
#include <filesystem>
#include <fstream>
#include <istream>

#include "cli/option_keys.h"
#include "cli/options.h"

namespace zemhost {
namespace {

// Saved by some Windows editors in front of the first key.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// The keys whose value is a file: a relative one is taken from the config
// file's folder, so a site's file works from any working directory.
bool IsPathKey(const std::string &key) {
  return key == "simulate" || key == "gates" || key == "module" || key == "mqtt-password-file" ||
         key == "mqtt-cafile";
}

// A key the section does not take: misplaced, or no key at all.
std::string UnknownKey(const std::string &key, bool in_instance) {
  bool known = false;
  if (in_instance) {
    std::string ignored;
    RunConfig probe;
    ApplyGlobalKey(key, "", &probe, &known, &ignored);
    return known ? "'" + key + "' belongs before the first [instance]"
                 : "unknown key '" + key + "'";
  }
  known = IsInstanceKey(key) || key == "send";
  return known ? "'" + key + "' belongs in an [instance] section" : "unknown key '" + key + "'";
}

class ConfigReader {
 public:
  ConfigReader(const std::string &file_name, RunConfig *config)
      : file_name_(file_name),
        folder_(std::filesystem::path(file_name).parent_path()),
        config_(config) {}

  // One line of the file; false with *error set.
  bool Line(const std::string &raw, std::string *error) {
    ++line_number_;
    const std::string where = file_name_ + ":" + std::to_string(line_number_);
    std::string text = raw;
    if (line_number_ == 1 && text.compare(0, 3, kByteOrderMark) == 0) text.erase(0, 3);
    const std::string line = Trim(text.substr(0, text.find('#')));
    if (line.empty()) return true;
    if (line == "[instance]") {
      config_->instances.emplace_back();
      current_ = &config_->instances.back();
      current_->origin = where;
      return true;
    }
    std::string problem;
    if (Setting(line, &problem)) return true;
    *error = where + ": " + problem;
    return false;
  }

 private:
  bool Setting(const std::string &line, std::string *problem) {
    if (line.front() == '[') {
      *problem = "unknown section " + line + " (only [instance])";
      return false;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
      *problem = "expected 'key = value'";
      return false;
    }
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = Resolved(key, Trim(line.substr(equals + 1)));
    bool known = false;
    const bool applied = current_ != nullptr
                             ? ApplyInstanceKey(key, value, current_, &known, problem)
                             : ApplyGlobalKey(key, value, config_, &known, problem);
    if (!applied) return false;
    if (!known) {
      *problem = UnknownKey(key, current_ != nullptr);
      return false;
    }
    return !Conflicts(problem);
  }

  std::string Resolved(const std::string &key, const std::string &value) const {
    if (!IsPathKey(key) || value.empty() || value == kDemoScenario) return value;
    const std::filesystem::path path(value);
    return path.is_absolute() ? value : (folder_ / path).string();
  }

  // Reported at the key that makes the conflict, the one to remove.
  bool Conflicts(std::string *problem) const {
    if (current_ == nullptr || current_->port.empty() || current_->simulate.empty()) return false;
    *problem = kPortAndSimulated;
    return true;
  }

  const std::string file_name_;
  const std::filesystem::path folder_;
  RunConfig *const config_;
  InstanceConfig *current_ = nullptr;
  int line_number_ = 0;
};

}  // namespace

bool ParseConfigText(std::istream &in, const std::string &file_name, RunConfig *config,
                     std::string *error) {
  ConfigReader reader(file_name, config);
  std::string raw;
  while (std::getline(in, raw)) {
    if (!reader.Line(raw, error)) return false;
  }
  if (config->instances.empty()) {
    *error = file_name + ": no [instance] section";
    return false;
  }
  return true;
}

bool ReadConfigFile(const std::string &path, RunConfig *config, std::string *error) {
  std::ifstream file;
  if (!OpenInputFile(path, "config file", &file, error)) return false;
  return ParseConfigText(file, path, config, error);
}

}  // namespace zemhost
