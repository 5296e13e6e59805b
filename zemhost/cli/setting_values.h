// The text of one kind of value, as a flag or a config line gives it: a whole
// number, yes or no, a duration, a scheduled command.
#ifndef VUZOV_ZEMHOST_SETTING_VALUES_H
#define VUZOV_ZEMHOST_SETTING_VALUES_H

#include <optional>
#include <string>

#include "cli/options.h"

namespace zemhost {

// Decimal, or hexadecimal after 0x; no sign, no blank; at most `max`.
std::optional<unsigned long long> ParseWhole(const std::string &text, unsigned long long max);

// yes, true, on, 1 or no, false, off, 0.
std::optional<bool> ParseYesNo(const std::string &text);

// What a duration may be, for a message: "a duration of up to ...".
std::string DurationRule();
// A duration in the tools' grammar, to the nearest millisecond.
std::optional<Millis> ParseMillis(const std::string &text);

// "CP1S!" or "CP1S!@15s"; false with *problem for a bad time or no point.
bool ParseSend(const std::string &text, ScheduledSend *out, std::string *problem);

}  // namespace zemhost

#endif
