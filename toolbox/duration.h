// Durations as a user writes them to the tools: a decimal number and a unit,
// "250ms", "1.5s", "2m", "1min". One grammar for zemhost's options and config
// files and for panelsim's scenarios; each caller sets its own bounds.
#ifndef VUZOV_TOOLBOX_DURATION_H
#define VUZOV_TOOLBOX_DURATION_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace toolbox {

using Nanoseconds = std::chrono::nanoseconds;

// Whether a number without a unit is a duration: seconds where a caller says
// so (zemhost's "--for 30"), refused where a unit must be written.
enum class BareNumber { kRefused, kSeconds };

// Digits with an optional decimal point ("250", "1.5", ".5", "2."), then ms,
// s, m or min. Exact to the nanosecond: digits below it are dropped, never
// rounded through a floating-point number. Empty for anything else (a sign, an
// exponent, a blank, an unknown unit) and for a duration beyond 64-bit
// nanoseconds (about 292 years).
std::optional<Nanoseconds> ParseDuration(std::string_view text, BareNumber bare);

// The units, as messages that explain the grammar name them: "ms, s, m or min".
std::string DurationUnits();

// As a user would write it back: "250ms", "2s", "1.5s".
std::string FormatDuration(Nanoseconds duration);

}  // namespace toolbox

#endif
