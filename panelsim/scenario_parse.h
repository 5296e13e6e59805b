// What the scenario parser's files share: the words of a scenario line
// (numbers, bytes, durations), read in scenario.cpp, and the verbs after the
// time, read in scenario_verbs.cpp.
#ifndef PANELSIM_SCENARIO_PARSE_H
#define PANELSIM_SCENARIO_PARSE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scenario.h"

namespace panelsim {

using Args = std::vector<std::string>;

// A whole number from min to max, with an optional sign.
bool ParseInteger(const std::string &token, long min, long max, long *out);
// One or two hex digits, with or without a 0x in front.
bool ParseHexByte(const std::string &token, std::uint8_t *out);
// A byte: decimal 0..255, hex 0xHH, or one letter standing for its character code.
bool ParseByteValue(const std::string &token, std::uint8_t *out);
// A duration as every tool reads one, with its unit: 1.5s, 250ms, 2m.
std::optional<Duration> ParseDurationWord(const std::string &token);

// The verb and its arguments, [begin, end), as the action they name.
bool ParseAction(Args::const_iterator begin, Args::const_iterator end, Action *action,
                 std::string *error);

}  // namespace panelsim

#endif
