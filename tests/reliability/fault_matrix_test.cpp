// Faults on the line, end to end: the driver, through the entry's dispatcher,
// against the panel simulator on a pty, with the simulator's faults armed one
// at a time. For each fault: the results and log lines of the exchange it hits,
// what the exchanges after it read, and the driver getting back in step, after
// which every exchange reads the answer to its own poll: the panel's messages
// whole and in order, then EOT. No descriptor may stay open after any case.
//
// Bytes a fault leaves on the line are read by the next exchange as its reply,
// and the panel answers every poll, so the driver stays that many replies
// behind until an attempt finds the line silent and the drain before the next
// attempt throws the stale bytes away: here a run of unanswered polls.
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
#include "host_interface.h"
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
constexpr std::uint32_t kTimeoutUnits = 5;  // 50 ms a byte
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

    for (const char *gate : {"CP1MS", "CP1ST", "CP1Z12", "CP1Z13", "CP1Z14"}) QarHostAddGate(gate);
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
    const std::uint64_t queued = simulator->GetStats().messages_queued;
    simulator->Push(message, "zone-alarm " + std::to_string(zone));
    ASSERT_TRUE(simulator->WaitUntil(
        [queued](const panelsim::Stats &stats) { return stats.messages_queued > queued; }, 5s));
  }

  void Arm(panelsim::FaultKind kind, unsigned count = 1) {
    panelsim::Fault fault;
    fault.kind = kind;
    fault.count = count;
    Arm(fault);
  }
  void Arm(const panelsim::Fault &fault) {
    simulator->Queue(fault);
    // Queued faults are taken up on the simulator's thread: give it the moment.
    std::this_thread::sleep_for(20ms);
  }

  // What a host does when its line has gone: close the port, then reopen it
  // until the device is back.
  // While the line is down, the link names a pty that a new pty elsewhere may
  // take over, so the host waits for the device to be back.
  void ReopenWhenTheLineIsBack() {
    EXPECT_EQ(Call(vuzov::kCloseCom, nullptr), vuzov::kOk);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (simulator->SlavePath().empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
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

  // Polls through `silent` unanswered polls. Once the stale replies are read,
  // the line falls silent, an attempt fails, and the drain before the next one
  // throws away whatever was left: the retry's drain puts the driver in step.
  void PollThroughSilence(unsigned silent) {
    const std::uint64_t unanswered = simulator->GetStats().polls_unanswered;
    Arm(panelsim::FaultKind::kSilent, silent);
    const std::string retry = "ZODODA> DoRead() error receiving data, retry 1 '" + kAddress + "'";
    const int retries = host.CountOf(retry);
    for (int polls = 0; polls < 60; ++polls) {
      if (simulator->GetStats().polls_unanswered >= unanswered + silent) break;
      Read();
    }
    EXPECT_GE(simulator->GetStats().polls_unanswered, unanswered + silent);
    EXPECT_GT(host.CountOf(retry), retries) << "no attempt found the line silent";
  }

  // In step: with a message queued, every exchange reads the answer to its own
  // poll, the panel's messages whole (type '3', state 1, one zone) and then
  // EOT, each at the first attempt.
  void ExpectInStep(int zone) {
    Push(zone);
    const std::string gate = "CP1Z" + std::to_string(zone) + "=1";
    bool seen = false;
    bool settled = false;
    for (int exchange = 0; exchange < 6 && !settled; ++exchange) {
      host.Clear();
      ASSERT_EQ(Read(), vuzov::kOk);
      EXPECT_TRUE(host.Texts().empty());
      const Texts stores = Stores();
      if (stores.empty()) {
        EXPECT_EQ(result_word, 0) << "an EOT";
        settled = true;
        continue;
      }
      ASSERT_EQ(stores.size(), 3u) << "a whole message, not stale bytes";
      EXPECT_EQ(stores[0], "CP1MS=51");
      EXPECT_EQ(stores[1], "CP1ST=1");
      seen = seen || stores[2] == gate;
    }
    EXPECT_TRUE(seen) << gate << " never arrived";
    EXPECT_TRUE(settled) << "no EOT: the driver is still behind";
    EXPECT_EQ(simulator->GetStats().pending, 0u);
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
  EXPECT_TRUE(host.Texts().empty());
  ExpectInStep(13);
}

TEST_F(FaultMatrixTest, GarbageAnswersAPoll) {
  Push(12);
  panelsim::Fault garbage;
  garbage.kind = panelsim::FaultKind::kGarbage;
  garbage.count = 4;
  garbage.byte = 0x41;
  Arm(garbage);
  // A single byte that is not STX is a whole reply: acknowledged, and decoded
  // with nothing after it, so only the type and state gates read 0.
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(result_word, 0);
  EXPECT_EQ(Stores(), (Texts{"CP1MS=0", "CP1ST=0"}));
  EXPECT_TRUE(host.Texts().empty());
  // The other three bytes are the next three replies.
  for (int stale = 0; stale < 3; ++stale) {
    host.Clear();
    EXPECT_EQ(Read(), vuzov::kOk);
    EXPECT_EQ(Stores(), (Texts{"CP1MS=0", "CP1ST=0"})) << "stale byte " << stale;
  }
  PollThroughSilence(8);
  ExpectInStep(13);
}

TEST_F(FaultMatrixTest, ShortFrame) {
  Push(12);
  Arm(panelsim::FaultKind::kShortFrame, 5);
  // STX, address, length, m0 '3', m1 1: the zone bytes never came, so the zone
  // reads 0, which this host has no gate for. The frame is acknowledged, and
  // the panel takes that ACK as the message delivered.
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(result_word, '3' + 65535);
  EXPECT_EQ(Stores(), (Texts{"CP1MS=51", "CP1ST=1"}));
  EXPECT_TRUE(host.Texts().empty());
  ASSERT_TRUE(simulator->WaitUntil([](const panelsim::Stats &s) { return s.pending == 0; }, 5s))
      << "the panel retires the message it cut";
  // The reply ended in silence: nothing is left, the driver is in step.
  ExpectInStep(13);
}

TEST_F(FaultMatrixTest, OverlongFrame) {
  Push(12);
  Arm(panelsim::FaultKind::kLongFrame, 26);
  // The first 20 bytes hold the whole message; six stay on the line, and the
  // next exchange takes the first of them (padding, 0x00) as its reply.
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(Stores(), (Texts{"CP1MS=51", "CP1ST=1", "CP1Z12=1"}));
  EXPECT_TRUE(host.Texts().empty());
  host.Clear();
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(result_word, 0);
  EXPECT_EQ(Stores(), (Texts{"CP1MS=0", "CP1ST=0"}));
  PollThroughSilence(8);
  ExpectInStep(13);
}

TEST_F(FaultMatrixTest, BytesDribbledSlowerThanTheTimeout) {
  Push(12);
  panelsim::Fault dribble;
  dribble.kind = panelsim::FaultKind::kDribble;
  dribble.gap = std::chrono::milliseconds(kTimeoutUnits * 10 * 2);
  Arm(dribble);
  // The reply is cut after STX, decoded as a message of zeros and
  // acknowledged; the rest of the frame is read by the exchanges after it.
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(Stores(), (Texts{"CP1MS=0", "CP1ST=0"}));
  EXPECT_TRUE(host.Texts().empty());
  // Give the panel time to finish dribbling (12 bytes, 100 ms apart).
  std::this_thread::sleep_for(1500ms);
  PollThroughSilence(12);
  ExpectInStep(13);
}

TEST_F(FaultMatrixTest, HangUpMidFrame) {
  Push(12);
  panelsim::Fault dribble;
  dribble.kind = panelsim::FaultKind::kDribble;
  dribble.gap = 20ms;  // slow enough to hang up inside the frame, not to cut it
  Arm(dribble);
  const std::uint64_t sent_before = simulator->GetStats().bytes_sent;
  std::thread hang_up([&] {
    simulator->WaitUntil(
        [sent_before](const panelsim::Stats &s) { return s.bytes_sent >= sent_before + 4; }, 5s);
    simulator->HangUp(std::chrono::milliseconds(300));
  });
  const std::uint32_t result = Read();
  hang_up.join();
  // What arrived before the hang-up is the reply; the ACK cannot go out.
  EXPECT_EQ(result, vuzov::kOk);
  EXPECT_EQ(host.Texts(), Texts{"ZODODA> Send() error: unable to send to COM port"});
  EXPECT_EQ(ZonesStored(), std::set<std::string>{}) << "no zone from a frame cut off";

  // The dead line fails every exchange until the host reopens the port.
  host.Clear();
  EXPECT_EQ(Read(), vuzov::kFailed);
  EXPECT_EQ(host.Texts().back(), "ZODODA> SingleRead() , ret val is 2");
  ReopenWhenTheLineIsBack();
  // The panel never got its ACK, so it sends the message again.
  host.Clear();
  EXPECT_EQ(Read(), vuzov::kOk);
  EXPECT_EQ(Stores(), (Texts{"CP1MS=51", "CP1ST=1", "CP1Z12=1"}));
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
