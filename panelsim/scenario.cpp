// The scenario text: its lines, the time or poll each event is due at, and the
// words a line is made of. The verbs are read in scenario_verbs.cpp, and the
// format is explained in scenario_help.cpp.
#include "scenario.h"

#include <cctype>
#include <istream>
#include <sstream>

#include "duration.h"
#include "scenario_parse.h"

namespace panelsim {
namespace {

constexpr long kLongestScenario = 10'000'000;  // seconds, far beyond any run

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Args Tokenize(const std::string &text) {
  const std::string code = text.substr(0, text.find('#'));
  std::istringstream words(code);
  Args tokens;
  std::string token;
  while (words >> token) tokens.push_back(token);
  return tokens;
}

// A time of the scenario clock, with at most kLongestScenario whole seconds.
bool ParseTime(const std::string &token, Duration *out) {
  const std::optional<Duration> time = ParseDurationWord(token);
  if (!time || std::chrono::floor<std::chrono::seconds>(*time).count() > kLongestScenario) {
    return false;
  }
  *out = *time;
  return true;
}

// "at TIME VERB ..." or "at poll N VERB ...".
bool ParseEvent(const Args &tokens, Event *event, std::string *error) {
  auto verb = tokens.begin() + 1;
  if (verb == tokens.end()) {
    *error = "'at' needs a time or 'poll N'";
    return false;
  }
  if (*verb == "poll") {
    long poll = 0;
    if (++verb == tokens.end() || !ParseInteger(*verb, 1, 1'000'000'000'000L, &poll)) {
      *error = "'at poll' needs a poll number of 1 or more";
      return false;
    }
    event->at_poll = true;
    event->poll = static_cast<std::uint64_t>(poll);
  } else if (!ParseTime(*verb, &event->time)) {
    *error = "'" + *verb + "' is not a time such as 1.5s or 250ms";
    return false;
  }
  return ParseAction(verb + 1, tokens.end(), &event->action, error);
}

bool ParseClock(const Args &tokens, Scenario *scenario, std::string *error) {
  if (tokens.size() == 2 && tokens[1] == "first-poll") {
    scenario->clock_from_first_poll = true;
    return true;
  }
  if (tokens.size() == 2 && tokens[1] == "start") {
    scenario->clock_from_first_poll = false;
    return true;
  }
  *error = "usage: clock start | clock first-poll";
  return false;
}

bool ParseLine(const Args &tokens, int number, Scenario *scenario, std::string *error) {
  if (tokens[0] == "clock") return ParseClock(tokens, scenario, error);
  if (tokens[0] != "at") {
    *error = "a line starts with 'at' or 'clock', not '" + tokens[0] + "'";
    return false;
  }
  Event event;
  event.line = number;
  if (!ParseEvent(tokens, &event, error)) return false;
  scenario->events.push_back(std::move(event));
  return true;
}

}  // namespace

bool ParseInteger(const std::string &token, long min, long max, long *out) {
  if (token.empty()) return false;
  std::size_t at = (token[0] == '-' || token[0] == '+') ? 1 : 0;
  if (at == token.size() || token.size() > 12) return false;
  long value = 0;
  for (std::size_t i = at; i < token.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(token[i]))) return false;
    value = value * 10 + (token[i] - '0');
  }
  if (token[0] == '-') value = -value;
  if (value < min || value > max) return false;
  *out = value;
  return true;
}

// One or two hex digits, with or without a 0x in front.
bool ParseHexByte(const std::string &token, std::uint8_t *out) {
  std::string digits = token;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 2) return false;
  int value = 0;
  for (char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0) return false;
    value = value * 16 + digit;
  }
  *out = static_cast<std::uint8_t>(value);
  return true;
}

// A byte: decimal 0..255, hex 0xHH, or one letter standing for its character code.
bool ParseByteValue(const std::string &token, std::uint8_t *out) {
  if (token.size() == 1 && std::isalpha(static_cast<unsigned char>(token[0]))) {
    *out = static_cast<std::uint8_t>(token[0]);
    return true;
  }
  if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    return ParseHexByte(token, out);
  }
  long value = 0;
  if (!ParseInteger(token, 0, 255, &value)) return false;
  *out = static_cast<std::uint8_t>(value);
  return true;
}

std::optional<Duration> ParseDurationWord(const std::string &token) {
  return toolbox::ParseDuration(token, toolbox::BareNumber::kRefused);
}

bool IsCommandFault(FaultKind kind) {
  return kind == FaultKind::kCommandReply || kind == FaultKind::kCommandSilent;
}

bool ParseScenario(std::istream &in, Scenario *out, std::vector<std::string> *errors) {
  Scenario scenario;
  bool good = true;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    const Args tokens = Tokenize(text);
    if (tokens.empty()) continue;
    std::string error;
    if (!ParseLine(tokens, number, &scenario, &error)) {
      good = false;
      if (errors != nullptr) errors->push_back(std::to_string(number) + ": " + error);
    }
  }
  if (good) *out = std::move(scenario);
  return good;
}

}  // namespace panelsim
