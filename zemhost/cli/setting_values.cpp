#include "cli/setting_values.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "duration.h"

namespace zemhost {
namespace {

// The longest duration taken: about 31 years.
constexpr std::chrono::seconds kLongestDuration{1'000'000'000};

}  // namespace

// Decimal, or hexadecimal after 0x; no sign, no blank.
std::optional<unsigned long long> ParseWhole(const std::string &text, unsigned long long max) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  errno = 0;
  char *end = nullptr;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || value > max) return std::nullopt;
  return value;
}

std::optional<bool> ParseYesNo(const std::string &text) {
  if (text == "yes" || text == "true" || text == "on" || text == "1") return true;
  if (text == "no" || text == "false" || text == "off" || text == "0") return false;
  return std::nullopt;
}

std::string DurationRule() {
  return "a duration of up to " + toolbox::FormatDuration(kLongestDuration) + ": a number with " +
         toolbox::DurationUnits() + ", or a bare number of seconds";
}

std::optional<Millis> ParseMillis(const std::string &text) {
  const auto length = toolbox::ParseDuration(text, toolbox::BareNumber::kSeconds);
  if (!length || *length > kLongestDuration) return std::nullopt;
  // To the nearest millisecond, a half up.
  return Millis((length->count() + 500'000) / 1'000'000);
}

// "CP1S!" or "CP1S!@15s".
bool ParseSend(const std::string &text, ScheduledSend *out, std::string *problem) {
  const auto at = text.find('@');
  out->text = text;
  out->address = text.substr(0, at);
  out->at.reset();
  if (at != std::string::npos) {
    out->at = ParseMillis(text.substr(at + 1));
    if (!out->at) {
      *problem = "send time '" + text.substr(at + 1) + "' is not " + DurationRule();
      return false;
    }
  }
  if (out->address.empty()) {
    *problem = "send needs a command point such as CP1S!";
    return false;
  }
  return true;
}

}  // namespace zemhost
