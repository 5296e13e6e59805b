// The poll and command exchanges over a real line, with the test playing a
// scripted panel on the far end (a pty on Linux, a linked COM port under Wine).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dispatch.h"
#include "host_capture.h"
#include "panel_protocol.h"
#include "peer_line.h"
#include "qarpro.h"
#include "serial_port.h"

using namespace vuzov;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint8_t kClient = 3;

// One answer of the scripted panel: the bytes it sends after a delay. No bytes
// means silence. `late` follows `late_ms` after them, as the rest of an
// answer that went out slowly.
struct Answer {
  Answer(Bytes first = {}, int delay = 0, Bytes rest = {}, int rest_after = 0)
      : bytes(std::move(first)), delay_ms(delay), late(std::move(rest)), late_ms(rest_after) {}
  Bytes bytes;
  int delay_ms;
  Bytes late;
  int late_ms;
};

// Plays the panel: after each poll (ENQ) or command frame it sends the next
// scripted answer, and it records every byte the driver sent.
class ScriptedPanel {
 public:
  explicit ScriptedPanel(vuzov_test::PeerLine *line) : line_(line), thread_([this] { Run(); }) {}
  ~ScriptedPanel() {
    stop_ = true;
    thread_.join();
  }
  void Script(std::vector<Answer> answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.assign(answers.begin(), answers.end());
  }
  Bytes Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  void Run() {
    while (!stop_) {
      const Bytes got = line_->Read(1, 20);
      if (got.empty()) continue;
      const std::uint8_t byte = got[0];
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(byte);
      }
      if (byte == kEnq) {
        AnswerNext();
      } else if (byte == kStx) {
        const Bytes rest = line_->Read(4, 500);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          received_.insert(received_.end(), rest.begin(), rest.end());
        }
        AnswerNext();
      }
    }
  }
  void AnswerNext() {
    Answer answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (answers_.empty()) return;
      answer = answers_.front();
      answers_.pop_front();
    }
    if (answer.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answer.delay_ms));
    if (!answer.bytes.empty()) line_->Write(answer.bytes);
    if (answer.late.empty()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(answer.late_ms));
    line_->Write(answer.late);
  }

  vuzov_test::PeerLine *line_;
  std::mutex mutex_;
  std::deque<Answer> answers_;
  Bytes received_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The first `length` bytes of a frame.
Bytes CutTo(Bytes frame, std::size_t length) {
  frame.resize(length);
  return frame;
}

Bytes Frame(std::uint8_t m0, std::uint8_t m1, std::uint8_t m2, std::uint8_t m3, std::uint8_t m4,
            std::uint8_t m5) {
  return {kStx, 0x01, 0x0C, m0, m1, m2, m3, m4, m5, 0x03, 0x00, 0x00};
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    peer = vuzov_test::PeerLine::Create(&error);
    ASSERT_NE(peer, nullptr) << error;
    std::memset(&state, 0x5A, sizeof state);
    std::memcpy(reinterpret_cast<unsigned char *>(&state) + offsetof(InstanceState, client_id),
                &kClient, 1);
    PortWord port{};
    ASSERT_EQ(OpenPort(peer->DriverPortName().c_str(), LineSettings{9600, 8, 0, 0}, 0, &port),
              kPortOpened);
    state.port = port;
    // Generous, so a busy machine does not turn a prompt answer into silence.
    state.timeout = 40;
    SetReadTimeout(port, state.timeout);
    point.address = address.c_str();
    point.panel = 1;
    for (const char *name : {"CP1MS", "CP1ST", "CP1Z12", "CP1Z13"}) QarHostAddGate(name);
    panel = std::make_unique<ScriptedPanel>(peer.get());
  }
  void TearDown() override {
    panel.reset();
    if (state.port != PortWord{}) {
      EXPECT_EQ(ClosePort(state.port), kOk);
    }
  }

  std::uint32_t Read() {
    point.result = &result_word;
    return Call(kSingleRead);
  }
  std::uint32_t Write(const std::string &text) {
    address = text;
    point.address = address.c_str();
    point.result = &status;
    return Call(kSingleWrite);
  }
  std::uint32_t Call(std::uint32_t command) {
    Request request{};
    request.state = &state;
    request.command = command;
    request.params = &point;
    return DispatchRequest(&request);
  }
  // Waits for the panel's side to have seen n bytes from the driver.
  Bytes DriverSent(std::size_t n) {
    for (int i = 0; i < 100 && panel->Received().size() < n; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return panel->Received();
  }
  std::vector<std::string> Texts() const { return host.Texts(); }

  vuzov_test::HostCapture host;
  std::unique_ptr<vuzov_test::PeerLine> peer;
  std::unique_ptr<ScriptedPanel> panel;
  InstanceState state;
  std::string address = "CP1Z1";
  PointBlock point{};
  std::int32_t result_word = 0x11111111;
  WriteStatus status{0x7777, 0x5555};
};

}  // namespace

// ---- SingleRead ----------------------------------------------------------------

TEST_F(LinkTest, EotMeansNothingToReportAndIsNotAcknowledged) {
  panel->Script({{{kEot}}});
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(result_word, 0);
  EXPECT_TRUE(host.Stores().empty());
  EXPECT_EQ(DriverSent(1), Bytes{kEnq});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(panel->Received(), Bytes{kEnq}) << "no ACK after EOT";
  EXPECT_TRUE(Texts().empty());
}

TEST_F(LinkTest, FramedMessageIsAcknowledgedAndDecoded) {
  panel->Script({{Frame('3', 1, 0, 12, 0, 0)}});
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(DriverSent(2), (Bytes{kEnq, kAck}));
  EXPECT_EQ(result_word, '3' + 1 * 65535);
  const auto stores = host.Stores();
  ASSERT_EQ(stores.size(), 3u);
  EXPECT_EQ(stores[0].name, "CP1MS");
  EXPECT_EQ(stores[0].value, double('3'));
  EXPECT_EQ(stores[1].name, "CP1ST");
  EXPECT_EQ(stores[2].name, "CP1Z12");
  EXPECT_EQ(stores[2].value, 1.0);
  EXPECT_EQ(stores[2].client, kClient);
}

TEST_F(LinkTest, AckReplyIsNotAcknowledgedBack) {
  panel->Script({{{kAck}}});
  EXPECT_EQ(Read(), kOk);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(panel->Received(), Bytes{kEnq});
}

TEST_F(LinkTest, SilentPanelFailsAfterThreeAttempts) {
  const InstanceState before = state;
  EXPECT_EQ(Read(), kFailed);
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         "ZODODA> DoRead() error receiving data, retry 1 'CP1Z1'",
                         "ZODODA> DoRead() error receiving data, retry 2 'CP1Z1'",
                         "ZODODA> DoRead() error receiving data, retry 3 'CP1Z1'",
                         "ZODODA> SingleRead() , ret val is 2"}));
  EXPECT_EQ(DriverSent(3), (Bytes{kEnq, kEnq, kEnq}));
  EXPECT_EQ(result_word, 0x11111111) << "the result word is untouched";
  EXPECT_TRUE(host.Stores().empty());
  EXPECT_EQ(std::memcmp(state.receive, before.receive, sizeof state.receive), 0);
}

TEST_F(LinkTest, SecondAttemptSucceedsAfterASilentOne) {
  panel->Script({{}, {Frame('3', 1, 0, 12, 0, 0)}});
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         "ZODODA> DoRead() error receiving data, retry 1 'CP1Z1'"}));
  EXPECT_EQ(DriverSent(3), (Bytes{kEnq, kEnq, kAck}));
  const auto stores = host.Stores();
  ASSERT_EQ(stores.size(), 3u);
  EXPECT_EQ(stores[2].name, "CP1Z12");
}

TEST_F(LinkTest, OverlongFrameIsReadAwayWithItsTail) {
  Bytes overlong = Frame('3', 1, 0, 12, 0, 0);
  overlong.resize(20, 0x20);
  // Bytes 21 on look like a frame for zone 13: read as the next poll's reply,
  // they would report a zone the panel has not reported.
  const Bytes tail = Frame('3', 1, 0, 13, 0, 0);
  overlong.insert(overlong.end(), tail.begin(), tail.end());
  panel->Script({{overlong}, {{kEot}}});
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(DriverSent(2), (Bytes{kEnq, kAck}));
  host.Clear();
  result_word = 0x11111111;
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(result_word, 0) << "the panel's own answer to this poll";
  EXPECT_TRUE(host.Stores().empty());
  EXPECT_TRUE(Texts().empty());
}

TEST_F(LinkTest, StaleInputIsNeverTakenForTheAnswer) {
  // A whole frame for zone 13 waits on the line before the poll goes out.
  ASSERT_TRUE(peer->Write(Frame('3', 1, 0, 13, 0, 0)));
  for (int i = 0; i < 200 && vuzov_test::InputWaiting(&state.port) < 12; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(vuzov_test::InputWaiting(&state.port), 12u);
  panel->Script({{{kEot}}});
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(result_word, 0);
  EXPECT_TRUE(host.Stores().empty()) << "the stale frame is drained, never decoded";
  EXPECT_EQ(DriverSent(1), Bytes{kEnq});
  EXPECT_TRUE(Texts().empty());
}

// A reply is whole when it holds every byte its message type is decoded from.
// Anything less, and any single byte other than EOT and ACK, fails the attempt:
// not acknowledged, so the panel sends its message again, and not decoded.
TEST_F(LinkTest, IncompleteRepliesFailTheirAttemptAndAreNeverAcknowledged) {
  const Bytes whole = Frame('3', 1, 0, 12, 0, 0);
  struct Case {
    const char *what;
    Bytes reply;
  };
  const Case cases[] = {
      {"a noise byte, its rest read away", {0x41, 0x8B, kStx, 0x01, 0x0C, '3', 0x01, 0x00, 13, 0x00}},
      {"STX alone", {kStx}},
      {"type and state need 5 bytes", CutTo(Frame('2', 0, 0, 0, 0, 0), 4)},
      {"a rejection needs 7", CutTo(Frame('<', 0, 0x53, 0x33, 0, 0), 6)},
      {"a zone needs 8", CutTo(Frame('3', 1, 0, 13, 0, 0), 7)},
      {"a zone range needs 9", CutTo(Frame('3', 4, 13, 0, 14, 0), 8)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    host.Clear();
    const std::size_t sent_before = panel->Received().size();
    panel->Script({{c.reply}, {whole}});
    EXPECT_EQ(Read(), kOk);
    EXPECT_EQ(Texts(), std::vector<std::string>{"ZODODA> DoRead() incomplete reply, retry 1 'CP1Z1'"});
    const Bytes sent = DriverSent(sent_before + 3);
    EXPECT_EQ(Bytes(sent.begin() + static_cast<long>(sent_before), sent.end()),
              (Bytes{kEnq, kEnq, kAck}))
        << "one ACK, for the whole frame";
    const auto stores = host.Stores();
    ASSERT_EQ(stores.size(), 3u) << "the whole frame, decoded once";
    EXPECT_EQ(stores[2].name, "CP1Z12");
    EXPECT_EQ(result_word, '3' + 65535);
  }
  // Three incomplete replies fail the read and change nothing.
  host.Clear();
  result_word = 0x11111111;
  panel->Script({{{0x41}}, {{kStx}}, {CutTo(whole, 7)}});
  EXPECT_EQ(Read(), kFailed);
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         "ZODODA> DoRead() incomplete reply, retry 1 'CP1Z1'",
                         "ZODODA> DoRead() incomplete reply, retry 2 'CP1Z1'",
                         "ZODODA> DoRead() incomplete reply, retry 3 'CP1Z1'",
                         "ZODODA> SingleRead() , ret val is 2"}));
  EXPECT_EQ(result_word, 0x11111111);
  EXPECT_TRUE(host.Stores().empty());
}

TEST_F(LinkTest, ExactlyTheBytesATypeNeedsAreWhole) {
  QarHostAddGate("CP1Z14");
  panel->Script({{{kStx, 0x01, 0x0C, '2', 0x05}},
                 {{kStx, 0x01, 0x0C, '<', 0x00, 0x53, 0x33}},
                 {CutTo(Frame('3', 4, 13, 0, 14, 0), 9)}});
  for (int read = 0; read < 3; ++read) EXPECT_EQ(Read(), kOk) << read;
  EXPECT_EQ(Texts(), std::vector<std::string>{"ZODODA> Command 53 rejected - type 33"});
  EXPECT_EQ(DriverSent(6), (Bytes{kEnq, kAck, kEnq, kAck, kEnq, kAck}));
  std::vector<std::string> zones;
  for (const auto &store : host.Stores()) {
    if (store.name.rfind("CP1Z", 0) == 0) zones.push_back(store.name);
  }
  EXPECT_EQ(zones, (std::vector<std::string>{"CP1Z13", "CP1Z14"}));
}

TEST_F(LinkTest, NoPortMeansOne) {
  ASSERT_EQ(ClosePort(state.port), kOk);
  state.port = PortWord{};
  EXPECT_EQ(Read(), kNotPossible);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"ZODODA> SingleRead() , ret val is 1"}));
  EXPECT_EQ(result_word, 0x11111111);
}

TEST_F(LinkTest, HangUpDuringAnExchangeFails) {
  state.timeout = 100;
  SetReadTimeout(state.port, 100);
  panel.reset();
  peer->HangUp();
  EXPECT_EQ(Read(), kFailed);
  EXPECT_EQ(Texts().back(), "ZODODA> SingleRead() , ret val is 2");
  EXPECT_EQ(result_word, 0x11111111);
}

TEST_F(LinkTest, NullRecordsAreRefused) {
  point.result = nullptr;
  EXPECT_EQ(Call(kSingleRead), kFailed);
  EXPECT_EQ(Call(kSingleWrite), kFailed);
  point.result = &result_word;
  point.address = nullptr;
  EXPECT_EQ(Call(kSingleRead), kNotPossible);
  point.result = &status;
  EXPECT_EQ(Call(kSingleWrite), kNotPossible);
  Request request{};
  request.state = &state;
  request.command = kSingleRead;
  EXPECT_EQ(DispatchRequest(&request), kFailed);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(panel->Received().empty()) << "nothing is sent";
  EXPECT_EQ(status.acknowledged, 0x5555);
}

// ---- SingleWrite ---------------------------------------------------------------

TEST_F(LinkTest, CommandsSendTheirFramesAndReportTheAcknowledgement) {
  struct Case {
    const char *address;
    Bytes frame;
  };
  const Case cases[] = {{"CP1A!", {0x02, 0x02, 0x00, 0x01, 0x01}},
                        {"CP1R!", {0x02, 0x02, 0x00, 0x00, 0x00}},
                        {"CP1S!", {0x02, 0x02, 0x00, 0x02, 0x02}}};
  std::size_t sent = 0;
  for (const Case &c : cases) {
    panel->Script({{{kAck}}});
    status.acknowledged = 0x5555;
    EXPECT_EQ(Write(c.address), kOk) << c.address;
    EXPECT_EQ(status.acknowledged, 1) << c.address;
    EXPECT_EQ(status.host_reserved, 0x7777);
    const Bytes all = DriverSent(sent + 5);
    ASSERT_EQ(all.size(), sent + 5);
    EXPECT_EQ(Bytes(all.begin() + static_cast<long>(sent), all.end()), c.frame) << c.address;
    sent += 5;
  }
  // Any other answer is no acknowledgement, but the exchange succeeded. What
  // follows such a byte within a read timeout is read away with it: here a
  // frame for zone 13, which the next poll must not take for its answer.
  panel->Script({{{0x15}, 0, Frame('3', 1, 0, 13, 0, 0), 50}, {{kEot}}});
  EXPECT_EQ(Write("CP1S!"), kOk);
  EXPECT_EQ(status.acknowledged, 0);
  EXPECT_TRUE(Texts().empty());
  EXPECT_EQ(vuzov_test::InputWaiting(&state.port), 0u) << "the late frame waits on the line";
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(result_word, 0) << "the panel's own answer to the poll";
  EXPECT_TRUE(host.Stores().empty());
}

TEST_F(LinkTest, UnansweredCommandIsNotAcknowledged) {
  state.receive[0] = kAck;  // what an older reply left there
  // The log lines quote the host's address text, at most its first 255 characters.
  const std::string long_tail(300, 'x');
  const std::string quoted = "CP1A!" + long_tail.substr(0, 250);
  EXPECT_EQ(Write("CP1A!" + long_tail), kFailed);
  EXPECT_EQ(status.acknowledged, 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         "ZODODA> DoWrite() error receiving code, retry 1 '" + quoted + "'",
                         "ZODODA> DoWrite() error receiving code, retry 2 '" + quoted + "'",
                         "ZODODA> DoWrite() error receiving code, retry 3 '" + quoted + "'",
                         "ZODODA> SingleWrite() , ret val is 2"}));
  EXPECT_EQ(DriverSent(15).size(), 15u) << "three frames";
}

TEST_F(LinkTest, AddressesThatNameNoCommandSendNothing) {
  for (const char *text : {"CP1Z1", "CP1Z!", "CP1A", "CP", "", "CP1A1!", "CP1P!"}) {
    EXPECT_EQ(Write(text), kOk) << text;
  }
  // Long addresses are judged by positions 3 and 4 like short ones.
  EXPECT_EQ(Write("CP1Z!" + std::string(300, 'x')), kOk);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(panel->Received().empty());
  EXPECT_EQ(status.acknowledged, 0x5555) << "no exchange, no acknowledgement word";
  panel->Script({{{kAck}}});
  EXPECT_EQ(Write("CP1S!" + std::string(300, 'x')), kOk);
  EXPECT_EQ(status.acknowledged, 1);
}

TEST_F(LinkTest, CommandPointWithoutAPortMeansOne) {
  ASSERT_EQ(ClosePort(state.port), kOk);
  state.port = PortWord{};
  EXPECT_EQ(Write("CP1Z1"), kOk);
  EXPECT_EQ(Write("CP1Z!"), kNotPossible);
  EXPECT_EQ(Write("CP1A!"), kNotPossible);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"ZODODA> SingleWrite() , ret val is 1",
                                               "ZODODA> SingleWrite() , ret val is 1"}));
}
