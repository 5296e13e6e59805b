// The duration grammar both tools read times in, the trim of a file's lines and
// the split of a list: what is taken, what it means, and what is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "duration.h"
#include "split.h"
#include "trim.h"

namespace {

using toolbox::BareNumber;
using toolbox::Nanoseconds;
using toolbox::ParseDuration;
using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;

TEST(Duration, EveryWrittenFormMeansItsExactLength) {
  const std::vector<std::pair<std::string, Nanoseconds>> taken = {
      {"250ms", milliseconds(250)},  {"1.5s", milliseconds(1500)}, {"2m", minutes(2)},
      {"1min", minutes(1)},          {".5s", milliseconds(500)},   {"2.s", seconds(2)},
      {"0s", Nanoseconds::zero()},   {"007s", seconds(7)},         {"0.000000001s", Nanoseconds(1)},
      // Digits below a nanosecond are dropped, not rounded up.
      {"1.0000000019s", Nanoseconds(1'000'000'001)}, {"0.1234567ms", Nanoseconds(123'456)},
      {"1000000000s", seconds(1'000'000'000)},
  };
  for (const auto &[text, length] : taken) {
    const auto parsed = ParseDuration(text, BareNumber::kRefused);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(*parsed, length) << text;
  }
}

TEST(Duration, ABareNumberIsSecondsOnlyWhereTheCallerSaysSo) {
  EXPECT_EQ(ParseDuration("30", BareNumber::kSeconds), seconds(30));
  EXPECT_EQ(ParseDuration("0.25", BareNumber::kSeconds), milliseconds(250));
  EXPECT_FALSE(ParseDuration("30", BareNumber::kRefused));
}

TEST(Duration, AnythingElseIsRefused) {
  for (const std::string text :
       {"", "s", ".", ".s", "1..5s", "1.2.3s", "-1s", "+1s", " 1s", "1s ", "1 s", "1S", "1h",
        "1sec", "1e3s", "0x10s", "1,5s", "inf", "nan", "1ms2",
        // Beyond 64-bit nanoseconds, however it is reached.
        "9223372037s", "153722868m", "99999999999999999999999ms", "9223372036.854775808s"}) {
    EXPECT_FALSE(ParseDuration(text, BareNumber::kSeconds)) << "'" << text << "'";
  }
  EXPECT_TRUE(ParseDuration("9223372036.854775807s", BareNumber::kSeconds));
}

TEST(Duration, UnitsAndLengthsAreWrittenBackAsTheyAreRead) {
  EXPECT_EQ(toolbox::DurationUnits(), "ms, s, m or min");
  const std::vector<std::pair<Nanoseconds, std::string>> written = {
      {milliseconds(250), "250ms"}, {Nanoseconds::zero(), "0ms"}, {Nanoseconds(500'000), "0.5ms"},
      {seconds(2), "2s"},           {milliseconds(1500), "1.5s"}, {minutes(2), "120s"},
      {milliseconds(-20), "-20ms"},
  };
  for (const auto &[length, text] : written) {
    EXPECT_EQ(toolbox::FormatDuration(length), text);
    if (length >= Nanoseconds::zero()) {
      EXPECT_EQ(ParseDuration(text, BareNumber::kRefused), length) << text;
    }
  }
}

TEST(Trim, TakesTheBlanksAroundALineAndKeepsThoseInside) {
  EXPECT_EQ(toolbox::Trim("  port = ttyS0\t\r"), "port = ttyS0");
  EXPECT_EQ(toolbox::Trim("CP1Z1"), "CP1Z1");
  EXPECT_EQ(toolbox::Trim(" \t\r "), "");
  EXPECT_EQ(toolbox::Trim(""), "");
  EXPECT_EQ(toolbox::Trim("\vx\n"), "\vx\n");  // only spaces, tabs and a CR are blanks
}

TEST(Split, KeepsThePiecesInOrderAndLeavesOutTheEmptyOnes) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(toolbox::SplitNonEmpty("decode,exchange", ','), (Pieces{"decode", "exchange"}));
  EXPECT_EQ(toolbox::SplitNonEmpty(",a,,b,", ','), (Pieces{"a", "b"}));
  EXPECT_EQ(toolbox::SplitNonEmpty("one line", '\n'), Pieces{"one line"});
  EXPECT_EQ(toolbox::SplitNonEmpty("", ','), Pieces{});
}

}  // namespace
