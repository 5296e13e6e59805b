// The simulator through its real pty: each test plays the host with plain
// writes and reads on the line and watches what the panel puts on it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver_side.h"
#include "encoding.h"
#include "scenario.h"
#include "simulator.h"

using namespace panelsim;
using namespace panelsim_test;
using namespace std::chrono_literals;

namespace {

constexpr auto kWait = 5s;

Scenario ScenarioFrom(const std::string &text) {
  Scenario scenario;
  std::istringstream in(text);
  std::vector<std::string> errors;
  EXPECT_TRUE(ParseScenario(in, &scenario, &errors)) << (errors.empty() ? "" : errors[0]);
  return scenario;
}

Bytes FrameOf(const Message &message, std::size_t length = 12, std::uint8_t address = 1) {
  return BuildFrame(message, {length, address});
}

Message ZoneAlarm(int zone) {
  Message message;
  EXPECT_TRUE(ZoneAlarmMessage(zone, kAlarmSingle, &message, nullptr));
  return message;
}

Message ZoneFault(int zone) {
  Message message;
  EXPECT_TRUE(ZoneFaultMessage(zone, &message, nullptr));
  return message;
}

// A temporary directory for links, removed with what is left in it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/panelsim-test-XXXXXX";
    const char *made = mkdtemp(pattern);
    path_ = made ? made : "";
  }
  ~TempDir() {
    for (const char *name : {"/panel", "/file"}) unlink((path_ + name).c_str());
    rmdir(path_.c_str());
  }
  std::string Path(const char *name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadLink(const std::string &path) {
  char target[256];
  const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  return length < 0 ? std::string() : std::string(target, static_cast<std::size_t>(length));
}

class SimulatorTest : public ::testing::Test {
 protected:
  // Starts a simulator with the scenario and connects the host's end to it.
  void Begin(const std::string &scenario, Options options = Options()) {
    simulator = std::make_unique<Simulator>(ScenarioFrom(scenario), options);
    std::string error;
    ASSERT_TRUE(simulator->Start(&error)) << error;
    host = std::make_unique<DriverSide>(simulator->SlavePath());
    ASSERT_TRUE(host->is_open());
  }
  // Waits until the scenario's messages due at the start are queued.
  void WaitForQueued(std::uint64_t count) {
    ASSERT_TRUE(simulator->WaitUntil(
        [count](const Stats &stats) { return stats.messages_queued >= count; }, kWait));
  }
  Stats StatsWhen(const std::function<bool(const Stats &)> &done) {
    EXPECT_TRUE(simulator->WaitUntil(done, kWait));
    return simulator->GetStats();
  }

  std::unique_ptr<Simulator> simulator;
  std::unique_ptr<DriverSide> host;
};

}  // namespace

// ---- Polls, messages and acknowledgements -----------------------------------

TEST_F(SimulatorTest, AnswersEotWhenNothingIsPending) {
  Begin("");
  for (int poll = 0; poll < 2; ++poll) {
    host->Send({kEnq});
    EXPECT_EQ(host->Drain(150ms), Bytes{kEot});
  }
  const Stats stats = simulator->GetStats();
  EXPECT_EQ(stats.polls, 2u);
  EXPECT_EQ(stats.eots_sent, 2u);
  EXPECT_EQ(stats.messages_sent, 0u);
}

TEST_F(SimulatorTest, AnswersWithTheOldestMessageInItsExactFrameAndRetiresItOnAck) {
  Begin("at 0s zone-alarm 260\nat 0s alarm-range 200 260\n");
  WaitForQueued(2);
  Message range;
  ASSERT_TRUE(AlarmRangeMessage(200, 260, kAlarmRange, &range, nullptr));
  EXPECT_EQ(host->Poll(), FrameOf(ZoneAlarm(260)));
  EXPECT_EQ(host->Poll(), FrameOf(range));
  EXPECT_EQ(host->Poll(), Bytes{kEot});
  const Stats stats = StatsWhen([](const Stats &s) { return s.polls >= 3; });
  EXPECT_EQ(stats.messages_sent, 2u);
  EXPECT_EQ(stats.messages_retired, 2u);
  EXPECT_EQ(stats.acks, 2u);
  EXPECT_EQ(stats.pending, 0u);
}

TEST_F(SimulatorTest, SendsAMessageAgainUntilTheHostAcknowledgesIt) {
  Begin("at 0s zone-alarm 12\nat 0s zone-fault 7\n");
  WaitForQueued(2);
  host->Send({kEnq});
  EXPECT_EQ(host->Receive(), FrameOf(ZoneAlarm(12)));
  host->Send({kEnq});  // no ACK for the first answer
  EXPECT_EQ(host->Receive(), FrameOf(ZoneAlarm(12)));
  host->Send({kAck});
  EXPECT_EQ(host->Poll(), FrameOf(ZoneFault(7)));
  EXPECT_EQ(host->Poll(), Bytes{kEot});
  // An ACK with no message frame before it retires nothing and gets no answer.
  host->Send({kAck});
  EXPECT_TRUE(host->Drain(150ms).empty());
  const Stats stats = StatsWhen([](const Stats &s) { return s.acks_without_message >= 1; });
  EXPECT_EQ(stats.messages_sent, 3u);
  EXPECT_EQ(stats.resends, 1u);
  EXPECT_EQ(stats.messages_retired, 2u);
}

TEST_F(SimulatorTest, AnAckSentBeforeTheFrameWentOutRetiresNothing) {
  // A host that ACKs a stray byte it took for a reply: that ACK reaches the
  // panel before the frame for its next poll has begun.
  Begin("at 0s zone-alarm 8\n");
  WaitForQueued(1);
  host->Send({kEnq, kAck});
  EXPECT_EQ(host->Receive(), FrameOf(ZoneAlarm(8)));
  EXPECT_EQ(host->Poll(), FrameOf(ZoneAlarm(8)));
  EXPECT_EQ(host->Poll(), Bytes{kEot});
  const Stats stats = simulator->GetStats();
  EXPECT_EQ(stats.acks_without_message, 1u);
  EXPECT_EQ(stats.messages_retired, 1u);
  EXPECT_EQ(stats.resends, 1u);
}

TEST_F(SimulatorTest, FramesFollowTheLengthAndAddressOptions) {
  for (unsigned length : {9u, 10u, 20u}) {
    Options options;
    options.frame_length = length;
    options.address = 0x2A;
    Begin("at 0s zone-fault 300\n", options);
    WaitForQueued(1);
    EXPECT_EQ(host->Poll(), FrameOf(ZoneFault(300), length, 0x2A)) << length;
    host.reset();
    simulator.reset();
  }
}

TEST_F(SimulatorTest, PollEventsComeWithTheirPollAndTimedOnesNeverEarly) {
  const auto started = std::chrono::steady_clock::now();
  Begin("at poll 3 zone-fault 9\nat 600ms zone-alarm 5\n");
  EXPECT_EQ(host->Poll(), Bytes{kEot});
  EXPECT_EQ(host->Poll(), Bytes{kEot});
  EXPECT_EQ(host->Poll(), FrameOf(ZoneFault(9)));
  WaitForQueued(2);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 600ms);
  EXPECT_EQ(host->Poll(), FrameOf(ZoneAlarm(5)));
}

TEST_F(SimulatorTest, AFirstPollClockStartsWithTheFirstPoll) {
  Begin("clock first-poll\nat 0s zone-alarm 1\nat 300ms zone-alarm 2\n");
  // Nothing is queued before the host polls, however long it waits.
  EXPECT_FALSE(simulator->WaitUntil([](const Stats &s) { return s.messages_queued > 0; }, 400ms));
  const auto first_poll = std::chrono::steady_clock::now();
  EXPECT_EQ(host->Poll(), FrameOf(ZoneAlarm(1)));
  WaitForQueued(2);
  EXPECT_GE(std::chrono::steady_clock::now() - first_poll, 300ms);
  EXPECT_EQ(host->Poll(), FrameOf(ZoneAlarm(2)));
}

TEST_F(SimulatorTest, MessagesAndFaultsCanBeAddedWhileRunning) {
  Begin("");
  EXPECT_EQ(host->Poll(), Bytes{kEot});
  simulator->Push(ZoneAlarm(77), "zone-alarm 77");
  WaitForQueued(1);
  Fault silent;
  silent.kind = FaultKind::kSilent;
  simulator->Queue(silent);
  host->Send({kEnq});
  ASSERT_TRUE(simulator->WaitForPolls(2, kWait));
  EXPECT_TRUE(host->Drain(150ms).empty());
  EXPECT_EQ(host->Poll(), FrameOf(ZoneAlarm(77)));
}

// ---- Commands ---------------------------------------------------------------

TEST_F(SimulatorTest, AnswersEveryCommandWithAck) {
  Begin("");
  for (char letter : {'A', 'R', 'S', 'S'}) {
    host->Send(CommandFrame(letter));
    EXPECT_EQ(host->Drain(150ms), Bytes{kAck}) << letter;
  }
  const Stats stats = StatsWhen([](const Stats &s) { return s.commands_s >= 2; });
  EXPECT_EQ(stats.commands_a, 1u);
  EXPECT_EQ(stats.commands_r, 1u);
  EXPECT_EQ(stats.polls, 0u);
}

TEST_F(SimulatorTest, IgnoresUnknownAndIncompleteFramesAndStraysButKeepsListening) {
  Options options;
  options.command_timeout = 60ms;
  Begin("", options);
  host->Send({0x02, 0x02, 0x00, 0x03, 0x03});
  EXPECT_TRUE(host->Drain(150ms).empty());
  host->Send({0x02, 0x02, 0x00});
  EXPECT_TRUE(host->Drain(150ms).empty());
  host->Send({0x41});
  const Stats stats = StatsWhen([](const Stats &s) { return s.unexpected_bytes >= 1; });
  EXPECT_EQ(stats.unknown_frames, 2u);
  EXPECT_EQ(host->Poll(), Bytes{kEot});
  host->Send(CommandFrame('R'));
  EXPECT_EQ(host->Drain(150ms), Bytes{kAck});
}

TEST_F(SimulatorTest, RecordsWhatTheHostSentInOrder) {
  Begin("at 0s zone-alarm 3\n");
  WaitForQueued(1);
  host->Poll();
  host->Send(CommandFrame('S'));
  EXPECT_EQ(host->Drain(150ms), Bytes{kAck});
  ASSERT_TRUE(simulator->WaitUntil([](const Stats &s) { return s.commands_s == 1; }, kWait));
  const std::vector<TraceEvent> received = simulator->Received();
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0].bytes, Bytes{kEnq});
  EXPECT_EQ(received[0].note, "poll 1");
  EXPECT_EQ(received[1].bytes, Bytes{kAck});
  EXPECT_EQ(received[2].bytes, CommandFrame('S'));
  EXPECT_EQ(received[2].note, "command S");
  for (const TraceEvent &event : received) EXPECT_EQ(event.kind, TraceEvent::Kind::kReceived);
  EXPECT_LE(received[0].time, received[1].time);
  EXPECT_LE(received[1].time, received[2].time);
}

TEST_F(SimulatorTest, TracesFramesBothWaysWithTimestamps) {
  std::mutex mutex;
  std::vector<TraceEvent> events;
  simulator = std::make_unique<Simulator>(ScenarioFrom("at 0s zone-fault 4\n"), Options());
  simulator->SetTrace([&](const TraceEvent &event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
  });
  std::string error;
  ASSERT_TRUE(simulator->Start(&error)) << error;
  host = std::make_unique<DriverSide>(simulator->SlavePath());
  WaitForQueued(1);
  EXPECT_EQ(host->Poll(), FrameOf(ZoneFault(4)));
  ASSERT_TRUE(simulator->WaitUntil([](const Stats &s) { return s.acks == 1; }, kWait));
  simulator->Stop();
  std::vector<std::string> lines;
  for (const TraceEvent &event : events) lines.push_back(FormatTrace(event));
  // Seconds since the start with six decimals, the direction, then the bytes.
  const auto has = [&lines](const std::string &rest) {
    const std::regex line_form("[0-9]+\\.[0-9]{6} " + rest);
    return std::any_of(lines.begin(), lines.end(), [&line_form](const std::string &line) {
      return std::regex_match(line, line_form);
    });
  };
  ASSERT_FALSE(events.empty());
  EXPECT_TRUE(has("! line " + events.front().note));
  EXPECT_TRUE(has("< 05  poll 1"));
  EXPECT_TRUE(has("> " + HexBytes(FrameOf(ZoneFault(4))) + "  zone-fault 4"));
  EXPECT_TRUE(has("< 06  ACK retires zone-fault 4"));
}

// ---- Faults -----------------------------------------------------------------

TEST_F(SimulatorTest, SilentPollsGetNoAnswerAndTheMessageWaits) {
  Begin("at 0s zone-alarm 8\nat 0s silent 2\n");
  WaitForQueued(1);
  for (std::uint64_t poll = 1; poll <= 2; ++poll) {
    host->Send({kEnq});
    ASSERT_TRUE(simulator->WaitForPolls(poll, kWait));
    EXPECT_TRUE(host->Drain(150ms).empty()) << poll;
  }
  EXPECT_EQ(host->Poll(), FrameOf(ZoneAlarm(8)));
  EXPECT_EQ(simulator->GetStats().polls_unanswered, 2u);
}

TEST_F(SimulatorTest, GarbageReplacesOneAnswerAndTheMessageStillComes) {
  Begin("at 0s zone-alarm 8\nat 0s garbage 6\nat 0s garbage 3 0x06\n");
  WaitForQueued(1);
  host->Send({kEnq});
  const Bytes noise = host->Drain(150ms);
  ASSERT_EQ(noise.size(), 6u);
  EXPECT_NE(noise[0], kStx);
  EXPECT_NE(noise[0], kEot);
  EXPECT_NE(noise[0], kAck);
  host->Send({kEnq});
  const Bytes chosen = host->Drain(150ms);
  ASSERT_EQ(chosen.size(), 3u);
  EXPECT_EQ(chosen[0], kAck);
  EXPECT_EQ(host->Poll(), FrameOf(ZoneAlarm(8)));
}

TEST_F(SimulatorTest, AShortFrameIsCutAndItsAckRetiresTheMessage) {
  Begin("at 0s zone-alarm 8\nat 0s short-frame 5\n");
  WaitForQueued(1);
  const Bytes full = FrameOf(ZoneAlarm(8));
  EXPECT_EQ(host->Poll(), Bytes(full.begin(), full.begin() + 5));
  EXPECT_EQ(host->Poll(), Bytes{kEot});
  EXPECT_EQ(simulator->GetStats().messages_retired, 1u);
}

TEST_F(SimulatorTest, AnOverlongFrameLeavesItsTailOnTheLine) {
  Begin("at 0s zone-alarm 8\nat 0s long-frame 24\n");
  WaitForQueued(1);
  const Bytes frame = FrameOf(ZoneAlarm(8), 24);
  host->Send({kEnq});
  EXPECT_EQ(host->Receive(150ms, 20), Bytes(frame.begin(), frame.begin() + 20));
  EXPECT_EQ(host->Drain(150ms), Bytes(frame.begin() + 20, frame.end()));
}

// A spoilt reply given a quiet keeps the line quiet after it, even for polls
// that piled up behind it: their answer never runs on from the spoilt one,
// which a host would read as one frame with it (a frame cut short and the whole
// one behind it decode as some other message).
TEST_F(SimulatorTest, ASpoiltReplyWithAQuietKeepsTheAnswersBehindItApart) {
  Begin("at 0s zone-alarm 8\n");
  WaitForQueued(1);
  const Bytes frame = FrameOf(ZoneAlarm(8));
  const FaultKind kinds[] = {FaultKind::kShortFrame, FaultKind::kLongFrame, FaultKind::kGarbage};
  for (const FaultKind kind : kinds) {
    Fault fault;
    fault.kind = kind;
    fault.count = kind == FaultKind::kShortFrame ? 5 : kind == FaultKind::kLongFrame ? 16 : 4;
    fault.byte = 0x7E;
    fault.gap = 150ms;
    const std::uint64_t armed = simulator->GetStats().faults_armed;
    simulator->Queue(fault);
    ASSERT_TRUE(simulator->WaitUntil([armed](const Stats &s) { return s.faults_armed > armed; },
                                     kWait));
    const auto polled = std::chrono::steady_clock::now();
    host->Send({kEnq, kEnq});  // the second piles up behind the spoilt answer
    const Bytes spoilt = host->Drain(40ms);
    EXPECT_EQ(spoilt.size(), fault.count) << "the spoilt answer alone";
    if (kind == FaultKind::kShortFrame) {
      EXPECT_EQ(spoilt, Bytes(frame.begin(), frame.begin() + 5));
    }
    // The answer to the second poll: sent again, never acknowledged, and no
    // sooner than the quiet after the spoilt reply (measured from the poll, so
    // a late reader cannot shorten it).
    EXPECT_EQ(host->Receive(40ms, 12, 3000ms), frame);
    EXPECT_GE(std::chrono::steady_clock::now() - polled, 150ms);
  }
}

TEST_F(SimulatorTest, ADribbledReplyIsCutByTheHostsTimeout) {
  Begin("at 0s zone-alarm 8\nat 0s dribble 120ms\n");
  WaitForQueued(1);
  const Bytes frame = FrameOf(ZoneAlarm(8));
  const auto polled = std::chrono::steady_clock::now();
  host->Send({kEnq});
  // A host that waits 40 ms for each next byte gets STX alone.
  EXPECT_EQ(host->Receive(40ms), Bytes{kStx});
  // Byte i goes out 120 ms after byte i - 1 did, so no sooner than i x 120 ms
  // after the poll. Measured from the poll, not from the byte before: a reader
  // that was late for one byte would see the next gap short.
  for (std::size_t i = 1; i < frame.size(); ++i) {
    const std::optional<std::uint8_t> byte = host->ReadByte(3000ms);
    ASSERT_TRUE(byte.has_value()) << i;
    EXPECT_EQ(*byte, frame[i]) << i;
    EXPECT_GE(std::chrono::steady_clock::now() - polled, i * 120ms) << i;
  }
}

// A host that gives up on a slow answer polls again, and sends a command,
// while the panel is still sending. The panel answers once its answer is out:
// the polls that piled up meanwhile count as one, the one behind the command
// too, so it never falls behind the line nor puts two answers back to back.
TEST_F(SimulatorTest, PollsThatPileUpWhileAnAnswerGoesOutAreAnsweredOnce) {
  Begin("at 0s zone-alarm 8\nat 0s dribble 150ms\n");
  WaitForQueued(1);
  const Bytes frame = FrameOf(ZoneAlarm(8));
  host->Send({kEnq});
  EXPECT_EQ(host->ReadByte(3000ms), std::optional<std::uint8_t>(kStx));
  for (const Bytes &request : {Bytes{kEnq}, CommandFrame('R'), Bytes{kEnq}}) {
    std::this_thread::sleep_for(30ms);  // well inside the 1.6 s the frame takes
    host->Send(request);
  }
  const Bytes rest = host->Drain(300ms);
  Bytes expected(frame.begin() + 1, frame.end());
  expected.insert(expected.end(), frame.begin(), frame.end());  // not acknowledged: sent again
  expected.push_back(kAck);                                     // the command's answer
  EXPECT_EQ(rest, expected);
  EXPECT_EQ(host->Drain(300ms), Bytes{}) << "one answer for the polls that piled up";
  const Stats stats = simulator->GetStats();
  EXPECT_EQ(stats.polls, 2u);
  EXPECT_EQ(stats.polls_merged, 1u);
}

TEST_F(SimulatorTest, CommandFaultsChangeOrWithholdTheAnswer) {
  Begin("at 0s command-reply 0x15\nat 0s command-silent\n");
  host->Send(CommandFrame('S'));
  EXPECT_EQ(host->Drain(150ms), Bytes{0x15});
  host->Send(CommandFrame('A'));
  EXPECT_TRUE(host->Drain(150ms).empty());
  host->Send(CommandFrame('R'));
  EXPECT_EQ(host->Drain(150ms), Bytes{kAck});
  const Stats stats = simulator->GetStats();
  EXPECT_EQ(stats.commands_unanswered, 1u);
  EXPECT_EQ(stats.faults_applied, 2u);
}

TEST_F(SimulatorTest, AHangupWithoutReturnEndsTheRun) {
  Begin("at poll 2 hangup\n");
  EXPECT_EQ(host->Poll(), Bytes{kEot});
  host->Send({kEnq});
  EXPECT_TRUE(host->WaitForHangup(3000ms));
  ASSERT_TRUE(simulator->WaitForEnd(kWait));
  const Stats stats = simulator->GetStats();
  EXPECT_EQ(stats.hangups, 1u);
  EXPECT_TRUE(stats.error.empty()) << stats.error;
  EXPECT_TRUE(simulator->SlavePath().empty());
}

// The link goes as a device's name does when the device goes: before its line,
// whose pty number the next line made anywhere may take, and it comes back only
// with the new line. Checked on the panel's own thread as it hangs up and as
// the line comes back.
TEST_F(SimulatorTest, AfterAHangupThePanelComesBackOnANewLineBehindTheLink) {
  TempDir dir;
  Options options;
  options.link = dir.Path("panel");
  Begin("at 0s zone-alarm 3\nat poll 1 hangup 200ms\n", options);
  EXPECT_EQ(ReadLink(options.link), simulator->SlavePath());
  std::mutex seen_mutex;
  std::vector<std::string> seen;  // what the link named at each moment
  simulator->SetTrace([&](const TraceEvent &event) {
    const bool hangup = event.kind == TraceEvent::Kind::kNote && event.note == "hangup";
    if (!hangup && event.kind != TraceEvent::Kind::kLineOpened) return;
    struct stat info {};
    const bool present = lstat(options.link.c_str(), &info) == 0;
    std::lock_guard<std::mutex> lock(seen_mutex);
    seen.push_back((hangup ? "hangup, line " : "line " + event.note + ", line ") +
                   (simulator->SlavePath().empty() ? "down" : "up") + ", link " +
                   (present ? ReadLink(options.link) : "gone"));
  });
  WaitForQueued(1);
  const std::string first_line = simulator->SlavePath();
  host->Send({kEnq});
  EXPECT_TRUE(host->WaitForHangup(3000ms));
  host->Close();
  ASSERT_TRUE(simulator->WaitUntil([](const Stats &s) { return s.lines_opened == 2; }, kWait));
  const std::string second_line = simulator->SlavePath();
  EXPECT_EQ(ReadLink(options.link), second_line);
  // The new line is counted before it is traced.
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (std::chrono::steady_clock::now() < deadline) {
    std::lock_guard<std::mutex> lock(seen_mutex);
    if (seen.size() >= 2) break;
    std::this_thread::sleep_for(1ms);
  }
  {
    std::lock_guard<std::mutex> lock(seen_mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"hangup, line up, link gone",
                                              "line " + second_line + ", line up, link " +
                                                  second_line}))
        << "first line " << first_line;
  }
  simulator->SetTrace(nullptr);
  host = std::make_unique<DriverSide>(options.link);
  ASSERT_TRUE(host->is_open());
  // The message the hangup cut off is still waiting.
  EXPECT_EQ(host->Poll(), FrameOf(ZoneAlarm(3)));
  EXPECT_EQ(simulator->GetStats().hangups, 1u);
}

TEST_F(SimulatorTest, EndStopsTheRunAndHangsUp) {
  Begin("at poll 2 end\n");
  EXPECT_EQ(host->Poll(), Bytes{kEot});
  host->Send({kEnq});
  EXPECT_TRUE(host->WaitForHangup(3000ms));
  ASSERT_TRUE(simulator->WaitForEnd(kWait));
  const Stats stats = simulator->GetStats();
  EXPECT_EQ(stats.polls, 2u);
  EXPECT_EQ(stats.eots_sent, 1u);
  EXPECT_FALSE(stats.running);
}

// ---- Pacing -----------------------------------------------------------------

struct PacingCase {
  unsigned baud;
  Framing framing;
};

void PrintTo(const PacingCase &pacing, std::ostream *out) {
  *out << pacing.baud << " baud " << FramingName(pacing.framing);
}

class PacingTest : public SimulatorTest, public ::testing::WithParamInterface<PacingCase> {};

TEST_P(PacingTest, ARepliesBytesNeverArriveFasterThanTheLineCarriesThem) {
  Options options;
  options.baud = GetParam().baud;
  options.framing = GetParam().framing;
  options.frame_length = 20;
  Begin("at 0s zone-alarm 8\nat 0s zone-alarm 9\n", options);
  WaitForQueued(2);
  const double byte_seconds = static_cast<double>(BitsPerByte(options.framing)) / options.baud;
  for (int poll = 0; poll < 2; ++poll) {
    const auto sent = std::chrono::steady_clock::now();
    host->Send({kEnq});
    const Bytes reply = host->Receive(500ms);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - sent;
    ASSERT_EQ(reply.size(), 20u);
    // The poll crosses the line before the panel can answer it: 21 byte times.
    EXPECT_GE(took.count(), 21 * byte_seconds);
    EXPECT_LT(took.count(), 21 * byte_seconds + 3.0);
    host->Send({kAck});
  }
}

// A pty hands the panel the host's bytes at once; the answers still come no
// sooner than a wire allows: each byte the host sent takes its byte time to
// cross before the panel's answer can start.
TEST_P(PacingTest, AnswersWaitForTheHostsBytesToCrossTheLine) {
  Options options;
  options.baud = GetParam().baud;
  options.framing = GetParam().framing;
  Begin("", options);
  const double byte_seconds = static_cast<double>(BitsPerByte(options.framing)) / options.baud;
  const auto time_answer = [this](const Bytes &request) {
    const auto sent = std::chrono::steady_clock::now();
    host->Send(request);
    const std::optional<std::uint8_t> answer = host->ReadByte(3000ms);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - sent;
    EXPECT_TRUE(answer.has_value());
    return took.count();
  };
  const double poll = time_answer({kEnq});
  EXPECT_GE(poll, 2 * byte_seconds);  // ENQ there, EOT back
  EXPECT_LT(poll, 2 * byte_seconds + 1.0);
  const double command = time_answer(CommandFrame('S'));
  EXPECT_GE(command, 6 * byte_seconds);  // five command bytes there, ACK back
  EXPECT_LT(command, 6 * byte_seconds + 1.0);
  // Bytes sent back to back queue on the wire: the second poll reaches the
  // panel a byte time after the first, as the first answer goes out.
  // Timed from before the write: a test thread held up after it would
  // otherwise take time off the panel's answers.
  const auto sent = std::chrono::steady_clock::now();
  host->Send({kEnq, kEnq});
  EXPECT_EQ(host->Receive(100ms, 1), Bytes{kEot});
  EXPECT_EQ(host->Receive(100ms, 1), Bytes{kEot});
  const std::chrono::duration<double> both = std::chrono::steady_clock::now() - sent;
  EXPECT_GE(both.count(), 3 * byte_seconds);
}

INSTANTIATE_TEST_SUITE_P(Rates, PacingTest,
                         ::testing::Values(PacingCase{1200, Framing::k8N1},
                                           PacingCase{1200, Framing::k8E1},
                                           PacingCase{2400, Framing::k8N2}));

// ---- Lines, links and resources ---------------------------------------------

TEST(SimulatorLine, StopClosesEveryDescriptorAndRemovesTheLink) {
  TempDir dir;
  const int before = CountOpenFds();
  {
    Options options;
    options.link = dir.Path("panel");
    Simulator simulator(ScenarioFrom("at 0s zone-alarm 1\n"), options);
    std::string error;
    ASSERT_TRUE(simulator.Start(&error)) << error;
    EXPECT_GT(CountOpenFds(), before);
    {
      DriverSide host(options.link);
      EXPECT_EQ(host.Poll(), FrameOf(ZoneAlarm(1)));
    }
    simulator.Stop();
    EXPECT_EQ(CountOpenFds(), before);
    struct stat info {};
    EXPECT_NE(lstat(options.link.c_str(), &info), 0) << "the link outlived the run";
    EXPECT_TRUE(simulator.GetStats().ended);
    simulator.Stop();
  }
  EXPECT_EQ(CountOpenFds(), before);
}

TEST(SimulatorLine, NeverReplacesAFileWithItsLink) {
  TempDir dir;
  const std::string file = dir.Path("file");
  FILE *out = std::fopen(file.c_str(), "w");
  ASSERT_NE(out, nullptr);
  std::fputs("keep me\n", out);
  std::fclose(out);
  const int before = CountOpenFds();
  Options options;
  options.link = file;
  Simulator simulator(Scenario(), options);
  std::string error;
  EXPECT_FALSE(simulator.Start(&error));
  EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
  EXPECT_EQ(CountOpenFds(), before);
  struct stat info {};
  ASSERT_EQ(lstat(file.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_size, 8);
}

TEST(SimulatorLine, RefusesBadOptionsAndDevicesThatAreNoSerialLines) {
  const int before = CountOpenFds();
  const auto start_error = [](const Options &options) {
    Simulator simulator(Scenario(), options);
    std::string error;
    EXPECT_FALSE(simulator.Start(&error));
    return error;
  };
  Options options;
  options.frame_length = 8;
  EXPECT_NE(start_error(options).find("frame length"), std::string::npos);
  options.frame_length = 21;
  EXPECT_NE(start_error(options).find("frame length"), std::string::npos);
  options = Options();
  options.baud = 0;
  EXPECT_NE(start_error(options).find("baud"), std::string::npos);
  options = Options();
  options.realtime_priority = sched_get_priority_max(SCHED_FIFO) + 1;
  EXPECT_NE(start_error(options).find("real-time priority"), std::string::npos);
  options.realtime_priority = -1;
  EXPECT_NE(start_error(options).find("real-time priority"), std::string::npos);
  options = Options();
  options.device = "/dev/null";
  EXPECT_EQ(start_error(options), "/dev/null is not a serial device");
  options.device = "/nonexistent/ttyS9";
  EXPECT_EQ(start_error(options).rfind("cannot open /nonexistent/ttyS9: ", 0), 0u);
  options.device = "/dev/ptmx";
  options.baud = 12345;
  EXPECT_EQ(start_error(options), "a serial device cannot run at 12345 baud");
  EXPECT_EQ(CountOpenFds(), before);
}

// The line thread's scheduling, read on that thread as it answers a poll: the
// real-time priority asked for, or the normal one and the system's reason.
TEST(SimulatorLine, RunsTheLineAtTheRealTimePriorityAskedForOrSaysWhyNot) {
  for (const int asked : {0, 7}) {
    SCOPED_TRACE("priority asked for: " + std::to_string(asked));
    Options options;
    options.realtime_priority = asked;
    Simulator simulator(Scenario(), options);
    std::mutex mutex;
    int policy = -1;
    sched_param priority{};
    simulator.SetTrace([&](const TraceEvent &event) {
      if (event.kind != TraceEvent::Kind::kReceived) return;
      std::lock_guard<std::mutex> lock(mutex);
      pthread_getschedparam(pthread_self(), &policy, &priority);
    });
    std::string error;
    ASSERT_TRUE(simulator.Start(&error)) << error;
    {
      DriverSide host(simulator.SlavePath());
      EXPECT_EQ(host.Poll(), Bytes{kEot});
    }
    const Stats stats = simulator.GetStats();
    simulator.Stop();
    std::lock_guard<std::mutex> lock(mutex);
    if (asked == 0 || !stats.realtime_refused.empty()) {
      EXPECT_EQ(policy, SCHED_OTHER);
      EXPECT_EQ(stats.realtime_priority, 0);
      EXPECT_EQ(stats.realtime_refused.empty(), asked == 0) << stats.realtime_refused;
    } else {
      EXPECT_EQ(policy, SCHED_FIFO);
      EXPECT_EQ(priority.sched_priority, asked);
      EXPECT_EQ(stats.realtime_priority, asked);
    }
  }
}

TEST(SimulatorLine, PlaysThePanelOnASerialDeviceAndReleasesIt) {
  // A pty pair stands in for a null-modem cable: the panel opens the slave as
  // its device, and the test is the host on the master.
  UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master);
  ASSERT_EQ(grantpt(master.get()), 0);
  ASSERT_EQ(unlockpt(master.get()), 0);
  char name[128];
  ASSERT_EQ(ptsname_r(master.get(), name, sizeof name), 0);
  const int before = CountOpenFds();
  Options options;
  options.device = name;
  options.baud = 19200;
  Simulator simulator(ScenarioFrom("at 0s zone-fault 260\n"), options);
  std::string error;
  ASSERT_TRUE(simulator.Start(&error)) << error;
  EXPECT_EQ(simulator.SlavePath(), name);
  DriverSide host(std::move(master));
  ASSERT_TRUE(simulator.WaitUntil([](const Stats &s) { return s.messages_queued == 1; }, kWait));
  EXPECT_EQ(host.Poll(), FrameOf(ZoneFault(260)));
  host.Send(CommandFrame('A'));
  EXPECT_EQ(host.Drain(150ms), Bytes{kAck});
  simulator.Stop();
  EXPECT_EQ(CountOpenFds(), before);
}
