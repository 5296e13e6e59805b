// Faults on the line, end to end: the driver, through the entry's dispatcher,
// against the panel simulator on a pty, with the simulator's faults armed one
// at a time. For each fault: the results and log lines of the exchange it hits,
// that the panel's message is decoded and acknowledged once, whole, and that
// every exchange after it reads the answer to its own poll. No descriptor may
// stay open after any case.
//
// The driver drains the line before every attempt, reads a reply until the
// line falls silent, and takes a framed reply only when it holds every byte
// its type is decoded from, so no fault leaves bytes behind for the next
// exchange and nothing from a damaged frame reaches the gates. The read
// timeout is 200 ms a byte, a hundred times what the simulator needs to
// answer; where a late answer would still change an exchange's lines, the
// checks accept a late answer's retry and hold on to what the link
// guarantees: whole messages only, each acknowledged once.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "encoding.h"
#include "host_capture.h"
#include "dispatch.h"
#include "panel_protocol.h"
#include "peer_line.h"
#include "qarpro.h"
#include "scenario.h"
#include "simulator.h"

using namespace std::chrono_literals;
using vuzov::InstanceState;
using vuzov::PointBlock;
using vuzov::PortWord;
using vuzov::Request;
using vuzov::WriteStatus;
using Texts = std::vector<std::string>;

namespace {

constexpr std::uint8_t kClient = 6;
constexpr std::uint32_t kTimeoutUnits = 20;  // 200 ms a byte
constexpr std::int32_t kUntouched = 0x11111111;
const std::string kAddress = "CP1Z1";

void RetryLines(const char *what, const std::string &address, Texts *lines) {
  for (int attempt = 1; attempt <= 3; ++attempt) {
    lines->push_back(std::string("ZODODA> ") + what + ", retry " + std::to_string(attempt) + " '" +
                     address + "'");
  }
}

class FaultMatrixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vuzov::EndedFlag.store(0);
    // The host's port names hold 12 characters: the link the simulator keeps
    // pointing at its current pty is named in exactly that many.
    char name[16];
    std::snprintf(name, sizeof name, "/tmp/vz%05d", static_cast<int>(getpid() % 100000));
    link = name;
    ASSERT_EQ(link.size(), 12u);
    unlink(link.c_str());

    for (const char *gate : {"CP1MS", "CP1ST", "CP1Z12", "CP1Z13", "CP1Z14", "CP1Z20", "CP1Z21"}) {
      QarHostAddGate(gate);
    }
    descriptors_before = vuzov_test::OpenHandleCount();

    panelsim::Options options;
    options.link = link;
    simulator = std::make_unique<panelsim::Simulator>(panelsim::Scenario{}, options);
    std::string error;
    ASSERT_TRUE(simulator->Start(&error)) << error;

    std::memset(&state, 0x5A, sizeof state);
    state.port = PortWord{};
    state.timeout = kTimeoutUnits;
    std::memcpy(state.port_block.name, link.data(), 12);
    state.port_block.line = vuzov::LineSettings{9600, 8, 0, 0};
    state.port_block.flags = 0;
    std::memcpy(reinterpret_cast<unsigned char *>(&state) + offsetof(InstanceState, client_id),
                &kClient, 1);
    ASSERT_EQ(Call(vuzov::kReOpenCom, nullptr), vuzov::kOk) << "the host opens the line";
    host.Clear();
  }

  void TearDown() override {
    if (state.port != PortWord{}) {
      EXPECT_EQ(Call(vuzov::kCloseCom, nullptr), vuzov::kOk);
    }
    simulator.reset();
    unlink(link.c_str());
    EXPECT_EQ(vuzov_test::OpenHandleCount(), descriptors_before) << "a descriptor was left open";
  }

  std::uint32_t Call(std::uint32_t command, void *params) {
    Request request{};
    request.state = &state;
    request.command = command;
    request.instance = 1;
    request.params = params;
    const std::uint32_t result = vuzov::DispatchRequest(&request);
    EXPECT_LE(result, vuzov::kFailed);
    return result;
  }

  std::uint32_t Read() {
    result_word = kUntouched;
    PointBlock point{};
    point.address = kAddress.c_str();
    point.panel = 1;
    point.result = &result_word;
    const std::uint32_t result = Call(vuzov::kSingleRead, &point);
    if (result != vuzov::kOk) {
      EXPECT_EQ(result_word, kUntouched) << "a failed read stores nothing";
    }
    return result;
  }

  std::uint32_t Write(const std::string &address, WriteStatus *status) {
    *status = WriteStatus{0x7777, 0x5555};
    PointBlock point{};
    point.address = address.c_str();
    point.result = status;
    return Call(vuzov::kSingleWrite, &point);
  }

  void Push(int zone) {
    panelsim::Message message;
    ASSERT_TRUE(panelsim::ZoneAlarmMessage(zone, panelsim::kAlarmSingle, &message, nullptr));
    Push(message, "zone-alarm " + std::to_string(zone));
  }
  void Push(const panelsim::Message &message, const std::string &label) {
    const std::uint64_t queued = simulator->GetStats().messages_queued;
    simulator->Push(message, label);
    ASSERT_TRUE(simulator->WaitUntil(
        [queued](const panelsim::Stats &stats) { return stats.messages_queued > queued; }, 5s));
  }

  void Arm(panelsim::FaultKind kind, unsigned count = 1) {
    panelsim::Fault fault;
    fault.kind = kind;
    fault.count = count;
    Arm(fault);
  }
  // Returns once the simulator's thread has taken the fault up.
  void Arm(const panelsim::Fault &fault) {
    const std::uint64_t armed = simulator->GetStats().faults_armed;
    simulator->Queue(fault);
    ASSERT_TRUE(simulator->WaitUntil(
        [armed](const panelsim::Stats &stats) { return stats.faults_armed > armed; }, 5s));
  }

  // What a host does when its line has gone: close the port, then reopen it
  // until the device is back. While the line is down its link is gone, as a
  // device's name goes with the device, so a reopen fails until then.
  void ReopenWhenTheLineIsBack() {
    EXPECT_EQ(Call(vuzov::kCloseCom, nullptr), vuzov::kOk);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::uint32_t result = Call(vuzov::kReOpenCom, nullptr);
    while (result != vuzov::kOk && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(50ms);
      result = Call(vuzov::kReOpenCom, nullptr);
    }
    ASSERT_EQ(result, vuzov::kOk) << "the line never came back";
    ASSERT_NE(state.port, PortWord{});
  }

  // Stores of this case as "name=value".
  Texts Stores() const {
    Texts stores;
    for (const auto &store : host.Stores()) {
      stores.push_back(store.name + "=" + std::to_string(static_cast<long long>(store.value)));
    }
    return stores;
  }
  std::set<std::string> ZonesStored() const {
    std::set<std::string> zones;
    for (const auto &store : host.Stores()) {
      if (store.name.rfind("CP1Z", 0) == 0) zones.insert(store.name);
    }
    return zones;
  }

  // Lines a late answer may add to an exchange: its attempt found the line
  // silent, and the drain before the next threw the late bytes away.
  static bool LateAnswerLine(const std::string &line) {
    return line.rfind("ZODODA> DoRead() error receiving data, retry ", 0) == 0;
  }
  void ExpectOnlyLateAnswerLines(const std::string &step) const {
    for (const auto &line : host.Texts()) {
      EXPECT_TRUE(LateAnswerLine(line)) << step << ": " << line;
    }
  }

  // The simulator's stats once it has taken the driver's last ACK: the host
  // returns as soon as the ACK is written, before the panel has read it.
  panelsim::Stats SettledStats() const {
    simulator->WaitUntil([](const panelsim::Stats &stats) { return stats.pending == 0; }, 5s);
    return simulator->GetStats();
  }

  // In step: with a message queued, every exchange reads the answer to its own
  // poll, the panel's message whole (type '3', state 1, one zone) once and
  // then EOT, and the panel took exactly one ACK for it.
  void ExpectInStep(int zone) {
    const std::uint64_t acks = SettledStats().acks;
    Push(zone);
    const std::string gate = "CP1Z" + std::to_string(zone) + "=1";
    int seen = 0;
    bool settled = false;
    for (int exchange = 0; exchange < 6 && !settled; ++exchange) {
      host.Clear();
      ASSERT_EQ(Read(), vuzov::kOk);
      ExpectOnlyLateAnswerLines("in step");
      const Texts stores = Stores();
      if (stores.empty()) {
        EXPECT_EQ(result_word, 0) << "an EOT";
        settled = seen > 0;
        continue;
      }
      ASSERT_EQ(stores, (Texts{"CP1MS=51", "CP1ST=1", gate})) << "a whole message, not stale bytes";
      ++seen;
    }
    EXPECT_EQ(seen, 1) << gate << " arrived " << seen << " times";
    EXPECT_TRUE(settled) << "no EOT after the message: the driver is behind";
    const panelsim::Stats stats = SettledStats();
    EXPECT_EQ(stats.pending, 0u);
    EXPECT_EQ(stats.acks, acks + 1) << "one ACK for one message";
    EXPECT_EQ(stats.acks_without_message, 0u);
  }

  vuzov_test::HostCapture host;
  std::unique_ptr<panelsim::Simulator> simulator;
  std::string link;
  InstanceState state;
  std::int32_t result_word = kUntouched;
  std::size_t descriptors_before = 0;
};

Texts Lines(const char *what, const char *command, int result) {
  Texts lines;
  RetryLines(what, kAddress, &lines);
  lines.push_back(std::string("ZODODA> ") + command + "() , ret val is " + std::to_string(result));
  return lines;
}

}  // namespace

const std::string kIncompleteRetry1 = "ZODODA> DoRead() incomplete reply, retry 1 '" + kAddress + "'";

TEST_F(FaultMatrixTest, Silence) {
  Push(12);
  Arm(panelsim::FaultKind::kSilent, 3);
  EXPECT_EQ(Read(), vuzov::kFailed);
  EXPECT_EQ(host.Texts(), Lines("DoRead() error receiving data", "SingleRead", 2));
  EXPECT_TRUE(host.Stores().empty());
  // Nothing was left on the line: the very next exchange reads the message.
  host.Clear();
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(Stores(), (Texts{"CP1MS=51", "CP1ST=1", "CP1Z12=1"}));
  ExpectOnlyLateAnswerLines("after the silence");
  ExpectInStep(13);
}

// A noise byte is no reply: the attempt fails without an ACK, the rest of the
// noise is read away, and the next attempt reads the panel's message.
TEST_F(FaultMatrixTest, NoiseFailsItsAttemptAndIsReadAway) {
  Push(12);
  panelsim::Fault garbage;
  garbage.kind = panelsim::FaultKind::kGarbage;
  garbage.count = 4;
  garbage.byte = 0x41;
  Arm(garbage);
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(host.Texts(), Texts{kIncompleteRetry1});
  EXPECT_EQ(Stores(), (Texts{"CP1MS=51", "CP1ST=1", "CP1Z12=1"}));
  EXPECT_EQ(SettledStats().acks, 1u) << "the noise was never acknowledged";
  ExpectInStep(13);
}

// A frame one byte short of what its type is decoded from, in every length
// class, and STX alone: the attempt fails, nothing is stored or acknowledged,
// and the panel, still waiting for its ACK, sends the message again whole.
TEST_F(FaultMatrixTest, FramesCutShortFailTheirAttemptInEveryLengthClass) {
  struct Case {
    const char *label;
    panelsim::Message message;
    unsigned cut_to;
    Texts stores;
    Texts lines;  // after the failed attempt's
  };
  std::vector<Case> cases;
  panelsim::Message message;
  ASSERT_TRUE(panelsim::ZoneAlarmMessage(12, panelsim::kAlarmSingle, &message, nullptr));
  cases.push_back({"STX alone", message, 1, {"CP1MS=51", "CP1ST=1", "CP1Z12=1"}, {}});
  cases.push_back({"zone alarm", message, 7, {"CP1MS=51", "CP1ST=1", "CP1Z12=1"}, {}});
  ASSERT_TRUE(panelsim::StatusMessage('2', 5, &message, nullptr));
  cases.push_back({"status", message, 4, {"CP1MS=50", "CP1ST=5"}, {}});
  cases.push_back({"command rejected", panelsim::CommandRejectedMessage('S', '3'), 6,
                   {"CP1MS=60", "CP1ST=0"}, {"ZODODA> Command 53 rejected - type 33"}});
  ASSERT_TRUE(panelsim::AlarmRangeMessage(20, 21, panelsim::kAlarmRange, &message, nullptr));
  cases.push_back({"zone range", message, 8, {"CP1MS=51", "CP1ST=4", "CP1Z20=1", "CP1Z21=1"}, {}});

  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const panelsim::Stats before = SettledStats();
    Push(c.message, c.label);
    Arm(panelsim::FaultKind::kShortFrame, c.cut_to);
    host.Clear();
    EXPECT_EQ(Read(), vuzov::kOk);
    Texts lines{kIncompleteRetry1};
    lines.insert(lines.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(host.Texts(), lines);
    EXPECT_EQ(Stores(), c.stores) << "decoded once, whole";
    const panelsim::Stats after = SettledStats();
    EXPECT_EQ(after.acks, before.acks + 1) << "acknowledged once, whole";
    EXPECT_EQ(after.resends, before.resends + 1);
    EXPECT_EQ(after.pending, 0u);
  }
  ExpectInStep(13);
}

// A frame longer than the receive area: what does not fit is read away with
// it, so the next exchange reads the panel's own answer to its poll.
TEST_F(FaultMatrixTest, OverlongFrameIsReadAwayWithItsTail) {
  Push(12);
  Arm(panelsim::FaultKind::kLongFrame, 26);
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(Stores(), (Texts{"CP1MS=51", "CP1ST=1", "CP1Z12=1"}));
  ExpectOnlyLateAnswerLines("the overlong frame");
  host.Clear();
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(result_word, 0) << "the panel's EOT, not the frame's tail";
  EXPECT_TRUE(host.Stores().empty());
  ExpectOnlyLateAnswerLines("after it");
  EXPECT_EQ(SettledStats().acks, 1u);
  ExpectInStep(13);
}

// Bytes 300 ms apart, slower than the 200 ms read timeout: no attempt ever
// holds the frame whole, so nothing of it is stored or acknowledged while it
// dribbles; once the panel is done it sends the message again, whole, once.
TEST_F(FaultMatrixTest, FrameDribbledSlowerThanTheTimeoutIsNeverTakenHalf) {
  Push(12);
  panelsim::Fault dribble;
  dribble.kind = panelsim::FaultKind::kDribble;
  dribble.gap = 300ms;
  Arm(dribble);
  int stored = 0;
  int incomplete = 0;
  for (int exchange = 0; exchange < 30 && stored == 0; ++exchange) {
    host.Clear();
    Read();
    incomplete += host.CountOf(kIncompleteRetry1);
    const Texts stores = Stores();
    if (stores.empty()) continue;
    ASSERT_EQ(stores, (Texts{"CP1MS=51", "CP1ST=1", "CP1Z12=1"})) << "whole messages only";
    ++stored;
  }
  EXPECT_EQ(stored, 1);
  EXPECT_GT(incomplete, 0) << "no attempt read the dribbled frame's first byte";
  const panelsim::Stats stats = SettledStats();
  EXPECT_EQ(stats.acks, 1u);
  EXPECT_EQ(stats.acks_without_message, 0u);
  EXPECT_GE(stats.resends, 1u);
  ExpectInStep(13);
}

// Input that arrived unasked is never a reply: the panel's answer to a poll
// the driver did not make waits on the line, the drain before the first
// attempt throws it away, and that attempt finds the line silent.
TEST_F(FaultMatrixTest, StaleFrameBeforeTheFirstAttemptIsDrained) {
  Push(12);
  ASSERT_TRUE(vuzov_test::SendOnDriverPort(&state.port, {panelsim::kEnq}));
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (vuzov_test::InputWaiting(&state.port) < 12 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(vuzov_test::InputWaiting(&state.port), 12u) << "the stale frame is waiting";
  Arm(panelsim::FaultKind::kSilent, 1);
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(host.Texts(),
            Texts{"ZODODA> DoRead() error receiving data, retry 1 '" + kAddress + "'"});
  EXPECT_EQ(Stores(), (Texts{"CP1MS=51", "CP1ST=1", "CP1Z12=1"}));
  const panelsim::Stats stats = SettledStats();
  EXPECT_EQ(stats.acks, 1u);
  EXPECT_EQ(stats.resends, 1u) << "the panel sent the message again for the driver's own poll";
  ExpectInStep(13);
}

// The line goes while a frame is on it. However much of the frame arrived
// first, nothing but the whole message reaches the gates, and after the host
// reopens the line the panel, which got no ACK, sends it again.
TEST_F(FaultMatrixTest, HangUpMidFrame) {
  Push(12);
  panelsim::Fault dribble;
  dribble.kind = panelsim::FaultKind::kDribble;
  dribble.gap = 20ms;
  Arm(dribble);
  const std::uint64_t sent_before = simulator->GetStats().bytes_sent;
  std::thread hang_up([&] {
    simulator->WaitUntil(
        [sent_before](const panelsim::Stats &s) { return s.bytes_sent >= sent_before + 4; }, 5s);
    simulator->HangUp(std::chrono::milliseconds(300));
  });
  Read();
  hang_up.join();
  const Texts whole{"CP1MS=51", "CP1ST=1", "CP1Z12=1"};
  if (!host.Stores().empty()) {
    EXPECT_EQ(Stores(), whole) << "whole messages only";
  }
  EXPECT_EQ(host.CountOf("ZODODA> DoRead() incomplete reply, retry 1 'CP1Z1'") +
                static_cast<int>(!host.Stores().empty()),
            1)
      << "the cut frame fails its attempt unless all of it came";

  ReopenWhenTheLineIsBack();
  bool seen_again = false;
  for (int exchange = 0; exchange < 6 && !seen_again; ++exchange) {
    host.Clear();
    if (Read() != vuzov::kOk) continue;
    if (host.Stores().empty()) continue;
    EXPECT_EQ(Stores(), whole) << "whole messages only";
    seen_again = true;
  }
  EXPECT_TRUE(seen_again) << "the panel sends the unacknowledged message again";
  EXPECT_EQ(SettledStats().acks_without_message, 0u);
  ExpectInStep(13);
}

TEST_F(FaultMatrixTest, DeviceDisappearsAndComesBack) {
  simulator->HangUp(std::chrono::milliseconds(300));
  ASSERT_TRUE(simulator->WaitUntil([](const panelsim::Stats &s) { return s.hangups == 1; }, 5s));
  EXPECT_EQ(Read(), vuzov::kFailed);
  Texts expected;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    expected.push_back("ZODODA> Send() error: unable to send to COM port");
    expected.push_back("ZODODA> DoRead() error sending data, retry " + std::to_string(attempt) +
                       " 'CP1Z1'");
  }
  expected.push_back("ZODODA> SingleRead() , ret val is 2");
  EXPECT_EQ(host.Texts(), expected);
  ReopenWhenTheLineIsBack();
  Push(12);
  host.Clear();
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(Stores(), (Texts{"CP1MS=51", "CP1ST=1", "CP1Z12=1"}));
  ExpectInStep(13);
}

TEST_F(FaultMatrixTest, CommandAnsweredByGarbage) {
  panelsim::Fault reply;
  reply.kind = panelsim::FaultKind::kCommandReply;
  reply.byte = 0x5A;
  Arm(reply);
  WriteStatus status{};
  EXPECT_EQ(Write("CP1S!", &status), vuzov::kOk);
  EXPECT_EQ(status.acknowledged, 0) << "answered, but not with ACK";
  EXPECT_EQ(status.host_reserved, 0x7777);
  EXPECT_TRUE(host.Texts().empty());
  // The next command is answered as it should be.
  EXPECT_EQ(Write("CP1S!", &status), vuzov::kOk);
  EXPECT_EQ(status.acknowledged, 1);
  EXPECT_EQ(simulator->GetStats().commands_s, 2u);
}

TEST_F(FaultMatrixTest, CommandNeverAnswered) {
  Arm(panelsim::FaultKind::kCommandSilent, 3);
  WriteStatus status{};
  EXPECT_EQ(Write("CP1A!", &status), vuzov::kFailed);
  Texts expected;
  RetryLines("DoWrite() error receiving code", "CP1A!", &expected);
  expected.push_back("ZODODA> SingleWrite() , ret val is 2");
  EXPECT_EQ(host.Texts(), expected);
  EXPECT_EQ(status.acknowledged, 0);
  EXPECT_EQ(Write("CP1A!", &status), vuzov::kOk);
  EXPECT_EQ(status.acknowledged, 1);
  EXPECT_EQ(simulator->GetStats().commands_a, 4u);
}
