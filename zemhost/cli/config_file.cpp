// The config file: 'key = value' lines, '#' comments, the run's keys first and
// then one [instance] section per driver instance. Our own reader, since the
// sections repeat; the keys and their values are the settings table's.
#include <filesystem>
#include <fstream>
#include <istream>

#include "cli/options.h"
#include "cli/settings.h"

namespace zemhost {
namespace {

// Saved by some Windows editors in front of the first key.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// A key the section does not take: misplaced, or no key of a file at all.
bool Misplaced(const std::string &key, const Setting *setting, bool in_instance,
               std::string *problem) {
  if (setting == nullptr || setting->scope == Scope::kCommandLine) {
    *problem = "unknown key '" + key + "'";
  } else if (in_instance && setting->scope == Scope::kRun) {
    *problem = "'" + key + "' belongs before the first [instance]";
  } else if (!in_instance && setting->scope == Scope::kInstance) {
    *problem = "'" + key + "' belongs in an [instance] section";
  } else {
    return false;
  }
  return true;
}

class ConfigReader {
 public:
  ConfigReader(const std::string &file_name, const std::set<std::string> &kept, RunConfig *config)
      : file_name_(file_name),
        folder_(std::filesystem::path(file_name).parent_path()),
        kept_(kept),
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
    if (KeyLine(line, &problem)) return true;
    *error = where + ": " + problem;
    return false;
  }

 private:
  bool KeyLine(const std::string &line, std::string *problem) {
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
    const Setting *setting = FindSetting(key);
    if (Misplaced(key, setting, current_ != nullptr, problem)) return false;
    const std::string value = Resolved(*setting, Trim(line.substr(equals + 1)));
    // A run key a flag gave is checked here, and the flag's value stays; an
    // instance's own value of a key the run also takes wins over the flag's.
    const bool kept = kept_.count(key) > 0 && current_ == nullptr;
    const bool read = kept ? setting->Check(value, problem)
                           : setting->Read(value, Targets{config_, current_}, problem);
    return read && !Conflicts(problem);
  }

  std::string Resolved(const Setting &setting, const std::string &value) const {
    if (!setting.names_file || value.empty() || value == kDemoScenario) return value;
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
  const std::set<std::string> &kept_;
  RunConfig *const config_;
  InstanceConfig *current_ = nullptr;
  int line_number_ = 0;
};

}  // namespace

bool ParseConfigText(std::istream &in, const std::string &file_name,
                     const std::set<std::string> &kept, RunConfig *config, std::string *error) {
  ConfigReader reader(file_name, kept, config);
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

bool ReadConfigFile(const std::string &path, const std::set<std::string> &kept, RunConfig *config,
                    std::string *error) {
  std::ifstream file;
  if (!OpenInputFile(path, "config file", &file, error)) return false;
  return ParseConfigText(file, path, kept, config, error);
}

}  // namespace zemhost
