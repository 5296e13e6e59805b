// The serial port layer against a real line: a pty pair on Linux, a COM port
// linked to a pty under Wine. The test plays the panel on the far end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "peer_line.h"
#include "serial_port.h"

using namespace vuzov;
using Clock = std::chrono::steady_clock;

namespace {

constexpr LineSettings k9600_8N1{9600, 8, 0, 0};

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class SerialLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    peer = vuzov_test::PeerLine::Create(&error);
    ASSERT_NE(peer, nullptr) << error;
    ASSERT_EQ(OpenPort(peer->DriverPortName().c_str(), k9600_8N1, 0, &port), kPortOpened)
        << peer->DriverPortName();
    ASSERT_NE(port, PortWord{});
  }
  void TearDown() override {
    if (port != PortWord{}) {
      EXPECT_EQ(ClosePort(port), kOk);
    }
  }
  // Waits until the driver side has `count` bytes waiting, as seen by a read.
  std::vector<std::uint8_t> ReadOnDriverSide(std::uint32_t count, std::uint32_t *got) {
    std::vector<std::uint8_t> buffer(count);
    ReadExact(port, buffer.data(), count, got);
    buffer.resize(*got);
    return buffer;
  }

  std::unique_ptr<vuzov_test::PeerLine> peer;
  PortWord port{};
};

}  // namespace

TEST(SerialOpenTest, OpenAndCloseLeaveNothingBehind) {
  std::string error;
  auto peer = vuzov_test::PeerLine::Create(&error);
  ASSERT_NE(peer, nullptr) << error;
  const std::size_t before = vuzov_test::OpenHandleCount();
  for (int round = 0; round < 3; ++round) {
    PortWord port{};
    ASSERT_EQ(OpenPort(peer->DriverPortName().c_str(), k9600_8N1, 0x0303, &port), kPortOpened);
    EXPECT_NE(port, PortWord{});
    EXPECT_EQ(ClosePort(port), kOk);
  }
  EXPECT_EQ(vuzov_test::OpenHandleCount(), before);
}

TEST(SerialOpenTest, MissingDeviceFailsWithOneAndHoldsNothing) {
  const std::size_t before = vuzov_test::OpenHandleCount();
  for (const char *name : {"NOSUCHPORT", "NULLDEV"}) {
    PortWord port{};
    EXPECT_EQ(OpenPort(name, k9600_8N1, 0, &port), kPortOpenFailed) << name;
  }
  EXPECT_EQ(vuzov_test::OpenHandleCount(), before);
}

TEST(SerialOpenTest, NullDeviceOpensWithoutLineSetUp) {
  const std::size_t before = vuzov_test::OpenHandleCount();
  PortWord port{};
  // Line settings no serial port accepts: the null device must not look at them.
  const LineSettings nonsense{1, 42, 9, 9};
  ASSERT_EQ(OpenPort("NUL", nonsense, 0xFFFF, &port), kPortOpened);
  EXPECT_NE(port, PortWord{});
  std::uint8_t byte = 0x05;
  std::uint32_t written = 0;
  EXPECT_EQ(WriteAll(port, &byte, 1, &written), kOk);
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(ClosePort(port), kOk);
  EXPECT_EQ(vuzov_test::OpenHandleCount(), before);
}

TEST(SerialOpenTest, SecondOpenOfAHeldPortNeverBreaksTheFirst) {
  std::string error;
  auto peer = vuzov_test::PeerLine::Create(&error);
  ASSERT_NE(peer, nullptr) << error;
  PortWord first{};
  ASSERT_EQ(OpenPort(peer->DriverPortName().c_str(), k9600_8N1, 0, &first), kPortOpened);
  PortWord second{};
  const std::uint32_t again = OpenPort(peer->DriverPortName().c_str(), k9600_8N1, 0, &second);
  if (again == kPortOpened) {
    EXPECT_EQ(ClosePort(second), kOk);
  }
  // Whatever the platform said to the second open, the first still carries bytes.
  ASSERT_TRUE(peer->Write({0x02, 0x30}));
  std::uint8_t buffer[2] = {};
  std::uint32_t got = 0;
  EXPECT_EQ(ReadExact(first, buffer, 2, &got), kOk);
  EXPECT_EQ(buffer[1], 0x30);
  EXPECT_EQ(ClosePort(first), kOk);
}

TEST_F(SerialLineTest, WriteAllDeliversEveryByte) {
  const std::vector<std::uint8_t> frame{0x02, 0x02, 0x00, 0x01, 0x01, 0xFF, 0x00, 0x11, 0x13, 0x0D};
  std::uint32_t written = 0;
  ASSERT_EQ(WriteAll(port, frame.data(), static_cast<std::uint32_t>(frame.size()), &written), kOk);
  EXPECT_EQ(written, frame.size());
  EXPECT_EQ(peer->Read(frame.size(), 2000), frame);
}

TEST_F(SerialLineTest, ReadExactReturnsTheBytesUntranslated) {
  const std::vector<std::uint8_t> bytes{0xFF, 0x00, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0x80};
  ASSERT_TRUE(peer->Write(bytes));
  std::uint32_t got = 0;
  EXPECT_EQ(ReadOnDriverSide(8, &got), bytes);
  EXPECT_EQ(got, 8u);
}

TEST_F(SerialLineTest, SilentLineFailsAfterTheTimeoutWithNothingRead) {
  ASSERT_EQ(SetReadTimeout(port, 10), kOpeningReadTimeout);
  std::uint8_t byte = 0;
  std::uint32_t got = 99;
  const auto start = Clock::now();
  EXPECT_EQ(ReadExact(port, &byte, 1, &got), kIoFailed);
  EXPECT_GE(MillisecondsSince(start), 95);
  EXPECT_LT(MillisecondsSince(start), 5000);
  EXPECT_EQ(got, 0u);
}

TEST_F(SerialLineTest, ShortArrivalFailsWithThePartialCount) {
  SetReadTimeout(port, 10);
  ASSERT_TRUE(peer->Write({0x02, 0x41}));
  std::uint8_t buffer[5] = {};
  std::uint32_t got = 0;
  EXPECT_EQ(ReadExact(port, buffer, 5, &got), kIoFailed);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(buffer[0], 0x02);
  EXPECT_EQ(buffer[1], 0x41);
}

TEST_F(SerialLineTest, BytesArrivingDuringAReadCount) {
  SetReadTimeout(port, 200);
  std::thread late_panel([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    peer->Write({0x31, 0x32});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    peer->Write({0x33, 0x34});
  });
  std::uint8_t buffer[4] = {};
  std::uint32_t got = 0;
  const std::uint32_t result = ReadExact(port, buffer, 4, &got);
  late_panel.join();
  EXPECT_EQ(result, kOk);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::memcmp(buffer, "1234", 4), 0);
}

TEST_F(SerialLineTest, SetReadTimeoutReturnsThePreviousValue) {
  EXPECT_EQ(SetReadTimeout(port, 20), kOpeningReadTimeout);
  EXPECT_EQ(SetReadTimeout(port, 20), 20u);
  EXPECT_EQ(SetReadTimeout(port, 7), 20u);
  EXPECT_EQ(SetReadTimeout(port, 100), 7u);
}

TEST_F(SerialLineTest, PurgeOnAnIdleLineSucceedsAndKeepsTheTimeout) {
  SetReadTimeout(port, 33);
  EXPECT_EQ(PurgePort(port), 0u);
  EXPECT_EQ(SetReadTimeout(port, 33), 33u);
}

TEST_F(SerialLineTest, PurgeDrainsEverythingPending) {
  for (std::size_t pending : {std::size_t{512}, std::size_t{513}, std::size_t{1100}}) {
    SetReadTimeout(port, 25);
    std::vector<std::uint8_t> stale(pending);
    for (std::size_t i = 0; i < pending; ++i) stale[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(peer->Write(stale));
    // Let the bytes reach the driver's side of the line before draining.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(PurgePort(port), 0u) << pending;
    EXPECT_EQ(SetReadTimeout(port, 5), 25u) << "the timeout is restored";
    std::uint8_t byte = 0;
    std::uint32_t got = 0;
    EXPECT_EQ(ReadExact(port, &byte, 1, &got), kIoFailed) << pending << " left " << int(byte);
  }
}

TEST_F(SerialLineTest, HangUpEndsAPendingReadAtOnce) {
  SetReadTimeout(port, 500);  // 5 s
  std::thread panel_goes([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer->HangUp();
  });
  std::uint8_t byte = 0;
  std::uint32_t got = 0;
  const auto start = Clock::now();
  const std::uint32_t result = ReadExact(port, &byte, 1, &got);
  const long elapsed = MillisecondsSince(start);
  panel_goes.join();
  EXPECT_EQ(result, kIoFailed);
  EXPECT_EQ(got, 0u);
  if (peer->HangUpEndsReadsAtOnce()) {
    EXPECT_LT(elapsed, 4000) << "a hang-up must not wait out the read timeout";
  }
  // Later reads fail too (without waiting, where the platform reports hang-ups).
  SetReadTimeout(port, 20);
  const auto again = Clock::now();
  EXPECT_EQ(ReadExact(port, &byte, 1, &got), kIoFailed);
  if (peer->HangUpEndsReadsAtOnce()) {
    EXPECT_LT(MillisecondsSince(again), 150);
  }
}

TEST(SerialLineModesTest, FlagsSelectDtrAndRtsModesInOrder) {
  EXPECT_EQ(DtrModeFor(0x0000), DtrMode::kOff);
  EXPECT_EQ(DtrModeFor(0x0001), DtrMode::kOn);
  EXPECT_EQ(DtrModeFor(0x0100), DtrMode::kOn);
  EXPECT_EQ(DtrModeFor(0x8000), DtrMode::kHandshake);
  EXPECT_EQ(DtrModeFor(0x8001), DtrMode::kOn);
  EXPECT_EQ(DtrModeFor(0x7EFE), DtrMode::kOff);
  EXPECT_EQ(RtsModeFor(0x0000), RtsMode::kOff);
  EXPECT_EQ(RtsModeFor(0x0002), RtsMode::kOn);
  EXPECT_EQ(RtsModeFor(0x0200), RtsMode::kOn);
  EXPECT_EQ(RtsModeFor(0x1000), RtsMode::kHandshake);
  EXPECT_EQ(RtsModeFor(0x3000), RtsMode::kHandshake);
  EXPECT_EQ(RtsModeFor(0x2000), RtsMode::kToggle);
  EXPECT_EQ(RtsModeFor(0x2202), RtsMode::kOn);
  EXPECT_EQ(RtsModeFor(0xCDFD), RtsMode::kOff);
}
