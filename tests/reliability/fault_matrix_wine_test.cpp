// Faults on the line for the Windows build, under Wine: the driver on the COM
// port named in VUZOV_TEST_PORT, the native panel simulator on the other end
// playing fault_matrix_wine.scn, which arms one fault for each exchange below.
// The exchanges run in the scenario's order, so the whole matrix is one test.
// The device going and coming back is left to the Linux matrix (see the
// scenario). As there, the read timeout is 200 ms a byte, far more than the
// simulator needs to answer, and every check holds on to what the link
// guarantees: whole messages only, each taken once.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "host_capture.h"
#include "dispatch.h"
#include "peer_line.h"
#include "qarpro.h"

using namespace vuzov;
using Texts = std::vector<std::string>;

namespace {

constexpr std::uint8_t kClient = 6;
constexpr std::uint32_t kTimeoutUnits = 20;  // 200 ms a byte
constexpr std::int32_t kUntouched = 0x11111111;
const std::string kAddress = "CP1Z1";

class WineFaultMatrix : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *port = std::getenv("VUZOV_TEST_PORT");
    ASSERT_NE(port, nullptr) << "VUZOV_TEST_PORT names the simulator's COM port";
    for (const char *gate : {"CP1MS", "CP1ST", "CP1Z12", "CP1Z13", "CP1Z14", "CP1Z15", "CP1Z16",
                             "CP1Z17"}) {
      QarHostAddGate(gate);
    }
    handles_before = vuzov_test::OpenHandleCount();
    std::memset(&state, 0x5A, sizeof state);
    state.port = PortWord{};
    state.timeout = kTimeoutUnits;
    std::memset(state.port_block.name, 0, sizeof state.port_block.name);
    std::strncpy(state.port_block.name, port, sizeof state.port_block.name - 1);
    state.port_block.line = LineSettings{9600, 8, 0, 0};
    state.port_block.flags = 0;
    std::memcpy(reinterpret_cast<unsigned char *>(&state) + offsetof(InstanceState, client_id),
                &kClient, 1);
    Reopen();
  }
  void TearDown() override {
    if (state.port != PortWord{}) {
      EXPECT_EQ(Call(kCloseCom, nullptr), kOk);
    }
    EXPECT_EQ(vuzov_test::OpenHandleCount(), handles_before) << "a handle was left open";
  }

  std::uint32_t Call(std::uint32_t command, void *params) {
    Request request{};
    request.state = &state;
    request.command = command;
    request.params = params;
    const std::uint32_t result = DispatchRequest(&request);
    EXPECT_LE(result, kFailed);
    return result;
  }
  // CloseCom, then ReOpenCom until the line is there, as a host recovers.
  void Reopen() {
    if (state.port != PortWord{}) Call(kCloseCom, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Call(kReOpenCom, nullptr) != kOk && std::chrono::steady_clock::now() < deadline) {
      Sleep(50);
    }
    ASSERT_NE(state.port, PortWord{}) << "the line never came back";
    host.Clear();
  }
  std::uint32_t Read() {
    host.Clear();
    word = kUntouched;
    PointBlock point{};
    point.address = kAddress.c_str();
    point.panel = 1;
    point.result = &word;
    return Call(kSingleRead, &point);
  }
  std::uint32_t Write(WriteStatus *status) {
    host.Clear();
    *status = WriteStatus{0x7777, 0x5555};
    const std::string address = "CP1S!";
    PointBlock point{};
    point.address = address.c_str();
    point.result = status;
    return Call(kSingleWrite, &point);
  }
  Texts Stores() const {
    Texts stores;
    for (const auto &store : host.Stores()) {
      stores.push_back(store.name + "=" + std::to_string(static_cast<long long>(store.value)));
    }
    return stores;
  }
  Texts RetryLines(const std::string &what, const std::string &command,
                   const std::string &address) const {
    Texts lines;
    for (int attempt = 1; attempt <= 3; ++attempt) {
      lines.push_back("ZODODA> " + what + ", retry " + std::to_string(attempt) + " '" + address +
                      "'");
    }
    lines.push_back("ZODODA> " + command + "() , ret val is 2");
    return lines;
  }

  Texts Whole(int zone) const {
    return Texts{"CP1MS=51", "CP1ST=1", "CP1Z" + std::to_string(zone) + "=1"};
  }
  void ExpectEot(const char *step) {
    EXPECT_EQ(Read(), kOk) << step;
    EXPECT_EQ(word, 0) << step << ": the panel's EOT";
    EXPECT_TRUE(host.Stores().empty()) << step;
    EXPECT_TRUE(host.Texts().empty()) << step;
  }

  vuzov_test::HostCapture host;
  InstanceState state;
  std::int32_t word = kUntouched;
  std::size_t handles_before = 0;
};

}  // namespace

TEST_F(WineFaultMatrix, EveryFaultInTurn) {
  const std::string incomplete = "ZODODA> DoRead() incomplete reply, retry 1 '" + kAddress + "'";
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(Stores(), Whole(12));

  // Silence: three attempts, then 2; the next poll reads the panel's EOT.
  EXPECT_EQ(Read(), kFailed);
  EXPECT_EQ(host.Texts(), RetryLines("DoRead() error receiving data", "SingleRead", kAddress));
  EXPECT_TRUE(host.Stores().empty());
  ExpectEot("after the silence");

  // A frame one byte short fails its attempt; the panel, with no ACK, sends it
  // again and the second attempt decodes it.
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(host.Texts(), Texts{incomplete});
  EXPECT_EQ(Stores(), Whole(13));
  ExpectEot("after the short frame");

  // A command answered by garbage, then one never answered, then a good one.
  WriteStatus status{};
  EXPECT_EQ(Write(&status), kOk);
  EXPECT_EQ(status.acknowledged, 0);
  EXPECT_TRUE(host.Texts().empty());
  EXPECT_EQ(Write(&status), kFailed);
  EXPECT_EQ(host.Texts(), RetryLines("DoWrite() error receiving code", "SingleWrite", "CP1S!"));
  EXPECT_EQ(status.acknowledged, 0);
  EXPECT_EQ(Write(&status), kOk);
  EXPECT_EQ(status.acknowledged, 1);
  EXPECT_EQ(status.host_reserved, 0x7777);

  // Noise fails its attempt and is read away; the next attempt reads the message.
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(host.Texts(), Texts{incomplete});
  EXPECT_EQ(Stores(), Whole(14));
  ExpectEot("after the noise");

  // An overlong frame is read away with its tail.
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(Stores(), Whole(15));
  EXPECT_TRUE(host.Texts().empty());
  ExpectEot("after the overlong frame");

  // The panel's answer to a poll the driver never made waits on the line; the
  // drain before the first attempt throws it away, so that attempt finds the
  // panel silent and the second reads the message.
  ASSERT_TRUE(vuzov_test::SendOnDriverPort(&state.port, {0x05}));
  for (int wait = 0; wait < 500 && vuzov_test::InputWaiting(&state.port) < 12; ++wait) Sleep(10);
  ASSERT_EQ(vuzov_test::InputWaiting(&state.port), 12u) << "the stale frame is waiting";
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(host.Texts(),
            Texts{"ZODODA> DoRead() error receiving data, retry 1 '" + kAddress + "'"});
  EXPECT_EQ(Stores(), Whole(16));
  ExpectEot("after the stale frame");

  // Bytes slower than the timeout: nothing of the frame is taken until the
  // panel, done dribbling, sends it again whole.
  int stored = 0;
  int incomplete_seen = 0;
  for (int exchange = 0; exchange < 30 && stored == 0; ++exchange) {
    Read();
    incomplete_seen += host.CountOf(incomplete);
    if (host.Stores().empty()) continue;
    EXPECT_EQ(Stores(), Whole(17)) << "whole messages only";
    ++stored;
  }
  EXPECT_EQ(stored, 1);
  EXPECT_GT(incomplete_seen, 0) << "no attempt read the dribbled frame's first byte";
  bool settled = false;
  for (int exchange = 0; exchange < 4 && !settled; ++exchange) {
    EXPECT_EQ(Read(), kOk);
    EXPECT_TRUE(host.Stores().empty()) << "the message was taken once";
    settled = word == 0;
  }
  EXPECT_TRUE(settled) << "no EOT after the dribbled frame";
}
