#include "duration.h"

#include <cstdint>
#include <cstdio>
#include <limits>

namespace toolbox {
namespace {

struct Unit {
  std::string_view name;
  std::uint64_t nanoseconds;
};

constexpr Unit kUnits[] = {
    {"ms", 1'000'000},
    {"s", 1'000'000'000},
    {"m", 60'000'000'000},
    {"min", 60'000'000'000},
};
constexpr std::uint64_t kSecond = 1'000'000'000;
constexpr std::uint64_t kMillisecond = 1'000'000;
constexpr std::uint64_t kLongest = std::numeric_limits<Nanoseconds::rep>::max();

std::optional<std::uint64_t> UnitLength(std::string_view unit, BareNumber bare) {
  if (unit.empty()) {
    if (bare == BareNumber::kSeconds) return kSecond;
    return std::nullopt;
  }
  for (const Unit &known : kUnits) {
    if (unit == known.name) return known.nanoseconds;
  }
  return std::nullopt;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// *total + addend, unless that would pass kLongest.
bool AddWithin(std::uint64_t addend, std::uint64_t *total) {
  if (addend > kLongest - *total) return false;
  *total += addend;
  return true;
}

// The whole part as a count of units, then in nanoseconds.
bool AddWhole(std::string_view digits, std::uint64_t unit, std::uint64_t *total) {
  std::uint64_t count = 0;
  for (const char c : digits) {
    if (!IsDigit(c)) return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (count > (kLongest - digit) / 10) return false;
    count = count * 10 + digit;
  }
  if (count > kLongest / unit) return false;
  return AddWithin(count * unit, total);
}

// Each digit after the point is worth a tenth of the one before; those worth
// less than a nanosecond add nothing.
bool AddFraction(std::string_view digits, std::uint64_t unit, std::uint64_t *total) {
  std::uint64_t place = unit;
  for (const char c : digits) {
    if (!IsDigit(c)) return false;
    place /= 10;
    if (!AddWithin(static_cast<std::uint64_t>(c - '0') * place, total)) return false;
  }
  return true;
}

}  // namespace

std::optional<Nanoseconds> ParseDuration(std::string_view text, BareNumber bare) {
  const std::size_t number_end = text.find_first_not_of("0123456789.");
  const std::string_view number = text.substr(0, number_end);
  const std::optional<std::uint64_t> unit =
      UnitLength(number_end == std::string_view::npos ? "" : text.substr(number_end), bare);
  if (!unit) return std::nullopt;
  const std::size_t point = number.find('.');
  const std::string_view whole = number.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : number.substr(point + 1);
  if (whole.empty() && fraction.empty()) return std::nullopt;  // no digit at all
  std::uint64_t total = 0;
  if (!AddWhole(whole, *unit, &total) || !AddFraction(fraction, *unit, &total)) {
    return std::nullopt;  // a second point, or too long
  }
  return Nanoseconds(static_cast<Nanoseconds::rep>(total));
}

std::string DurationUnits() {
  std::string text;
  const std::size_t count = sizeof kUnits / sizeof kUnits[0];
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += i + 1 == count ? " or " : ", ";
    text += kUnits[i].name;
  }
  return text;
}

std::string FormatDuration(Nanoseconds duration) {
  const bool negative = duration < Nanoseconds::zero();
  // The magnitude as unsigned, which holds that of the most negative count too.
  const auto count = static_cast<std::uint64_t>(duration.count());
  const std::uint64_t nanoseconds = negative ? 0 - count : count;
  char text[48];
  if (nanoseconds < kSecond) {
    (void)std::snprintf(text, sizeof text, "%gms",
                        static_cast<double>(nanoseconds) / static_cast<double>(kMillisecond));
  } else if (nanoseconds % kSecond == 0) {
    (void)std::snprintf(text, sizeof text, "%llus",
                        static_cast<unsigned long long>(nanoseconds / kSecond));
  } else {
    (void)std::snprintf(text, sizeof text, "%gs",
                        static_cast<double>(nanoseconds) / static_cast<double>(kSecond));
  }
  return negative ? "-" + std::string(text) : std::string(text);
}

}  // namespace toolbox
