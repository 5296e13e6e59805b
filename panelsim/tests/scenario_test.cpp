// The scenario text format: every verb, both kinds of trigger, and the errors a
// scenario writer sees, each with its line number.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "scenario.h"

using namespace panelsim;
using namespace std::chrono_literals;

namespace {

struct Parsed {
  bool ok = false;
  Scenario scenario;
  std::vector<std::string> errors;
};

Parsed Parse(const std::string &text) {
  Parsed parsed;
  std::istringstream in(text);
  parsed.ok = ParseScenario(in, &parsed.scenario, &parsed.errors);
  return parsed;
}

Message Built(bool (*build)(int, Message *, std::string *), int zone) {
  Message message;
  EXPECT_TRUE(build(zone, &message, nullptr));
  return message;
}

}  // namespace

TEST(Scenario, ReadsEveryMessageVerbIntoTheBytesItDocuments) {
  const Parsed parsed = Parse(
      "at 0s element-state 260 5 2\n"
      "at 1.5s element-event 200 -55\n"
      "at 250ms zone-alarm 12\n"
      "at 0.001s zone-alarm 12 7\n"
      "at 2s alarm-range 10 12\n"
      "at 2s alarm-range 10 12 9\n"
      "at 3s zone-fault 7\n"
      "at 3s fault-range 100 300\n"
      "at 4s command-rejected S 0x90\n"
      "at 4s zone-report 128\n"
      "at 5s status : 17\n"
      "at 5s raw 3c 00 0x41 ff\n");
  ASSERT_TRUE(parsed.ok) << parsed.errors[0];
  const std::vector<Event> &events = parsed.scenario.events;
  ASSERT_EQ(events.size(), 12u);
  Message expected;
  ASSERT_TRUE(ElementStateMessage(260, 5, 2, &expected, nullptr));
  EXPECT_EQ(events[0].action.message, expected);
  ASSERT_TRUE(ElementEventMessage(200, -55, 0, &expected, nullptr));
  EXPECT_EQ(events[1].action.message, expected);
  EXPECT_EQ(events[1].time, 1500ms);
  EXPECT_EQ(events[2].time, 250ms);
  EXPECT_EQ(events[3].time, 1ms);
  ASSERT_TRUE(ZoneAlarmMessage(12, 7, &expected, nullptr));
  EXPECT_EQ(events[3].action.message, expected);
  ASSERT_TRUE(AlarmRangeMessage(10, 12, 4, &expected, nullptr));
  EXPECT_EQ(events[4].action.message, expected);
  ASSERT_TRUE(AlarmRangeMessage(10, 12, 9, &expected, nullptr));
  EXPECT_EQ(events[5].action.message, expected);
  EXPECT_EQ(events[6].action.message, Built(ZoneFaultMessage, 7));
  ASSERT_TRUE(FaultRangeMessage(100, 300, &expected, nullptr));
  EXPECT_EQ(events[7].action.message, expected);
  EXPECT_EQ(events[8].action.message, CommandRejectedMessage('S', 0x90));
  EXPECT_EQ(events[9].action.message, Built(ZoneReportMessage, 128));
  ASSERT_TRUE(StatusMessage(':', 17, &expected, nullptr));
  EXPECT_EQ(events[10].action.message, expected);
  EXPECT_EQ(events[11].action.message.bytes,
            (std::array<std::uint8_t, 6>{0x3c, 0x00, 0x41, 0xff, 0x00, 0x00}));
  EXPECT_EQ(events[2].action.label, "zone-alarm 12");
  EXPECT_EQ(events[11].line, 12);
}

TEST(Scenario, ReadsFaultsPollTriggersCommentsAndTheClock) {
  const Parsed parsed = Parse(
      "# the panel's bad day\n"
      "\n"
      "clock first-poll   # counted from the host's first poll\n"
      "at poll 3 silent 2\n"
      "at poll 1 garbage 4 0x06\n"
      "at 1s short-frame\n"
      "at 1s long-frame 30\n"
      "at 2s dribble 300ms\n"
      "at 2s command-reply 0x15\n"
      "at 2s command-silent\n"
      "at 3s hangup 1.5s\n"
      "at 4s hangup\n"
      "at 9s end\n");
  ASSERT_TRUE(parsed.ok) << parsed.errors[0];
  EXPECT_TRUE(parsed.scenario.clock_from_first_poll);
  const std::vector<Event> &events = parsed.scenario.events;
  ASSERT_EQ(events.size(), 10u);
  EXPECT_TRUE(events[0].at_poll);
  EXPECT_EQ(events[0].poll, 3u);
  EXPECT_EQ(events[0].line, 4);
  EXPECT_EQ(events[0].action.fault.kind, FaultKind::kSilent);
  EXPECT_EQ(events[0].action.fault.count, 2u);
  EXPECT_EQ(events[1].action.fault.kind, FaultKind::kGarbage);
  EXPECT_EQ(events[1].action.fault.count, 4u);
  EXPECT_EQ(events[1].action.fault.byte, std::optional<std::uint8_t>(0x06));
  EXPECT_EQ(events[2].action.fault.kind, FaultKind::kShortFrame);
  EXPECT_EQ(events[2].action.fault.count, 5u);
  EXPECT_EQ(events[3].action.fault.count, 30u);
  EXPECT_EQ(events[4].action.fault.kind, FaultKind::kDribble);
  EXPECT_EQ(events[4].action.fault.gap, 300ms);
  EXPECT_EQ(events[5].action.fault.byte, std::optional<std::uint8_t>(0x15));
  EXPECT_TRUE(IsCommandFault(events[5].action.fault.kind));
  EXPECT_EQ(events[6].action.fault.kind, FaultKind::kCommandSilent);
  EXPECT_EQ(events[7].action.kind, ActionKind::kHangup);
  EXPECT_EQ(events[7].action.return_after, std::optional<Duration>(1500ms));
  EXPECT_FALSE(events[8].action.return_after.has_value());
  EXPECT_EQ(events[9].action.kind, ActionKind::kEnd);
}

TEST(Scenario, ReportsEveryBadLineWithItsNumber) {
  const Parsed parsed = Parse(
      "at 1s zone-alarm 12\n"
      "at 1s zone-alarn 12\n"
      "zone-alarm 12\n"
      "at 1.5 zone-alarm 12\n"
      "at poll 0 zone-alarm 12\n"
      "at 2s zone-alarm\n"
      "at 2s zone-alarm 12 3 4\n"
      "at 2s raw 33 01 00 0c 00 00 ff\n"
      "at 2s raw 3g\n"
      "at 2s clock first-poll\n"
      "clock sometimes\n"
      "at 2s\n");
  EXPECT_FALSE(parsed.ok);
  ASSERT_EQ(parsed.errors.size(), 11u);
  const char *expected[] = {"2: unknown verb 'zone-alarn'",
                            "3: a line starts with 'at' or 'clock'",
                            "4: '1.5' is not a time",
                            "5: 'at poll' needs a poll number",
                            "6: usage: zone-alarm ZONE [KIND]",
                            "7: usage: zone-alarm ZONE [KIND]",
                            "8: usage: raw HEX",
                            "9: '3g' is not a hex byte",
                            "10: unknown verb 'clock'",
                            "11: usage: clock start | clock first-poll",
                            "12: nothing to do after the time"};
  for (std::size_t i = 0; i < parsed.errors.size(); ++i) {
    EXPECT_EQ(parsed.errors[i].rfind(expected[i], 0), 0u) << parsed.errors[i];
  }
}

// A status type as the panel sends it: the character, or its code in decimal
// or hex, and only the types that carry no zone.
TEST(Scenario, TakesExactlyThePanelsStatusTypesInEveryByteForm) {
  const Parsed taken = Parse(
      "at 1s status 2\n"
      "at 1s status 53\n"
      "at 1s status 0x3b 4\n"
      "at 1s status 0X38\n");
  ASSERT_TRUE(taken.ok) << taken.errors[0];
  const char types[] = {'2', '5', ';', '8'};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(taken.scenario.events[i].action.message.bytes[0], types[i]) << i;
  }
  EXPECT_EQ(taken.scenario.events[2].action.message.bytes[1], 4);
  const Parsed refused = Parse(
      "at 1s status 7\n"
      "at 1s status 0x37\n"
      "at 1s status 55\n"
      "at 1s status 3\n"
      "at 1s status 0x00\n"
      "at 1s status 2x\n");
  EXPECT_FALSE(refused.ok);
  ASSERT_EQ(refused.errors.size(), 6u);
  for (const std::string &error : refused.errors) {
    EXPECT_NE(error.find("is not one of the panel's status types 2 4 5 6 8 9 : ;"),
              std::string::npos)
        << error;
  }
}

TEST(Scenario, RefusesNumbersThePanelCannotEncode) {
  const Parsed parsed = Parse(
      "at 1s zone-alarm 40000\n"
      "at 1s zone-fault -32769\n"
      "at 1s alarm-range 12 10\n"
      "at 1s element-state 12 3 0\n"
      "at 1s element-state 12 12 256\n"
      "at 1s zone-alarm 12 2\n"
      "at 1s zone-alarm twelve\n"
      "at 1s zone-alarm 32512\n"
      "at 1s zone-alarm -32768\n");
  EXPECT_FALSE(parsed.ok);
  ASSERT_EQ(parsed.errors.size(), 7u);
  EXPECT_EQ(parsed.errors[0], "1: zone 40000 cannot be encoded (-32768 to 32512)");
  EXPECT_EQ(parsed.errors[1].rfind("2: zone -32769 cannot be encoded", 0), 0u);
  EXPECT_EQ(parsed.errors[2], "3: the range 12..10 runs backwards");
  EXPECT_EQ(parsed.errors[3].rfind("4: element 3 cannot go with zone 12", 0), 0u);
  EXPECT_EQ(parsed.errors[4].rfind("5: state '256' is not a byte", 0), 0u);
  EXPECT_EQ(parsed.errors[5].rfind("6: a single-zone alarm is of kind 1 or 7", 0), 0u);
  EXPECT_EQ(parsed.errors[6], "7: 'twelve' is not a number");
}

TEST(Scenario, KeepsFaultArgumentsInTheirRanges) {
  const Parsed parsed = Parse(
      "at 1s garbage 0\n"
      "at 1s garbage 65\n"
      "at 1s short-frame 9\n"
      "at 1s long-frame 20\n"
      "at 1s dribble 0ms\n"
      "at 1s dribble 2\n"
      "at 1s silent 0\n"
      "at 1s hangup 61s\n"
      "at 1s command-reply 300\n"
      "at 1s end now\n"
      "at 1s garbage 64 0xff\n"
      "at 1s short-frame 1\n"
      "at 1s long-frame 255\n");
  EXPECT_FALSE(parsed.ok);
  ASSERT_EQ(parsed.errors.size(), 10u);
  for (std::size_t i = 0; i < parsed.errors.size(); ++i) {
    EXPECT_EQ(parsed.errors[i].rfind(std::to_string(i + 1) + ": ", 0), 0u) << parsed.errors[i];
  }
  EXPECT_EQ(parsed.errors[9], "10: usage: end");
}

// Times are written as zemhost's are; the limits stay the panel's: a scenario
// time of at most 10000000 whole seconds, a gap or delay above 0 and up to 60s.
TEST(Scenario, TimesTakeTheToolsGrammarWithinThePanelsLimits) {
  const std::pair<std::string, Duration> times[] = {
      {".5s", 500ms}, {"2m", 120s},  {"1min", 60s}, {"2.s", 2s},
      {"000000000001s", 1s}, {"10000000.9s", 10'000'000'900ms}};
  for (const auto &[time, length] : times) {
    const Parsed parsed = Parse("at " + time + " dribble 1min\n");
    ASSERT_TRUE(parsed.ok) << time;
    EXPECT_EQ(parsed.scenario.events[0].time, length) << time;
    EXPECT_EQ(parsed.scenario.events[0].action.fault.gap, 60s);
  }
  for (const std::string time : {"10000001s", "166667m", "1h", "1.5"}) {
    const Parsed parsed = Parse("at " + time + " end\n");
    ASSERT_EQ(parsed.errors.size(), 1u) << time;
    EXPECT_EQ(parsed.errors[0], "1: '" + time + "' is not a time such as 1.5s or 250ms");
  }
  for (const std::string gap : {"1.1min", ".0s", "60.000000001s"}) {
    EXPECT_FALSE(Parse("at 1s hangup " + gap + "\n").ok) << gap;
  }
}

TEST(Scenario, AFailedParseLeavesTheOutputAlone) {
  Scenario scenario;
  scenario.clock_from_first_poll = true;
  scenario.events.resize(3);
  std::istringstream in("clock start\nat 1s zone-alarm 1\nat 1s bogus\n");
  std::vector<std::string> errors;
  EXPECT_FALSE(ParseScenario(in, &scenario, &errors));
  EXPECT_TRUE(scenario.clock_from_first_poll);
  EXPECT_EQ(scenario.events.size(), 3u);
}
