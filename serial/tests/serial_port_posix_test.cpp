// What the POSIX layer asks of the terminal driver: the line discipline in
// termios, the exclusive claim, and descriptors the host's word can hold.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "peer_line.h"
#include "serial_port.h"
#include "serial_port_posix.h"

using namespace vuzov;

namespace {

class PosixLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    peer = vuzov_test::PeerLine::Create(&error);
    ASSERT_NE(peer, nullptr) << error;
  }
  // The termios state of a port opened with the given settings.
  termios OpenAndRead(const LineSettings &line) {
    PortWord port{};
    EXPECT_EQ(OpenPort(peer->DriverPortName().c_str(), line, 0, &port), kPortOpened);
    termios tio{};
    EXPECT_EQ(tcgetattr(static_cast<int>(port), &tio), 0);
    EXPECT_EQ(ClosePort(port), kOk);
    return tio;
  }
  std::unique_ptr<vuzov_test::PeerLine> peer;
};

}  // namespace

TEST_F(PosixLineTest, RawEightBitLineWithoutFlowControl) {
  const termios tio = OpenAndRead(LineSettings{9600, 8, 0, 0});
  EXPECT_EQ(cfgetispeed(&tio), B9600);
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_NE(tio.c_cflag & CREAD, 0u);
  // Parity checking without marking or stripping: every byte arrives as sent.
  EXPECT_NE(tio.c_iflag & INPCK, 0u);
  EXPECT_EQ(tio.c_iflag & (PARMRK | ISTRIP | ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
}

// A pty keeps only some of the state (it forces eight bits, no parity), so the
// framing is checked on the state the layer asks the terminal driver for.
TEST(PosixLineStateTest, FramingFollowsTheSettings) {
  struct Case {
    LineSettings line;  // baud, data bits, stop-bits code, parity code
    tcflag_t size;
    tcflag_t parity;
    bool cstopb;
    speed_t speed;
  };
  const Case cases[] = {
      {{19200, 7, 2, 2}, CS7, PARENB, true, B19200},                   // even, two stop bits
      {{4800, 7, 0, 1}, CS7, PARENB | PARODD, false, B4800},           // odd
      {{1200, 5, 1, 0}, CS5, 0, true, B1200},                          // one and a half
      {{38400, 6, 0, 3}, CS6, PARENB | PARODD | CMSPAR, false, B38400},  // mark
      {{57600, 8, 0, 4}, CS8, PARENB | CMSPAR, false, B57600},         // space
      {{300, 8, 0, 0}, CS8, 0, false, B300},
  };
  for (const Case &c : cases) {
    termios tio{};
    tio.c_iflag = IXON | IXOFF | ICRNL | ISTRIP | PARMRK;
    tio.c_cflag = CRTSCTS | HUPCL;
    ASSERT_TRUE(BuildLineState(c.line, &tio)) << c.line.baud;
    EXPECT_EQ(tio.c_cflag & CSIZE, c.size) << c.line.baud;
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parity) << c.line.baud;
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.cstopb) << c.line.baud;
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(tio.c_cflag & HUPCL, 0u) << "fields the layer does not own are kept";
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | PARMRK), 0u);
    EXPECT_NE(tio.c_iflag & INPCK, 0u);
  }
}

TEST(PosixLineStateTest, PortNamesMapToDevicePaths) {
  EXPECT_EQ(DevicePathFor("NUL"), "/dev/null");
  EXPECT_EQ(DevicePathFor("COM1"), "/dev/ttyS0");
  EXPECT_EQ(DevicePathFor("COM12"), "/dev/ttyS11");
  EXPECT_EQ(DevicePathFor("COM0"), "/dev/COM0");
  EXPECT_EQ(DevicePathFor("COM1x"), "/dev/COM1x");
  EXPECT_EQ(DevicePathFor("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(DevicePathFor("pts/3"), "/dev/pts/3");
  EXPECT_EQ(DevicePathFor("/dev/pts/12"), "/dev/pts/12");
  EXPECT_EQ(DevicePathFor("NULLDEV"), "/dev/NULLDEV");
}

TEST(PosixLineStateTest, HighBytesOfTheSettingWordsAreIgnored) {
  termios tio{};
  ASSERT_TRUE(BuildLineState(LineSettings{9600, 0x0107, 0x0200, 0x0301}, &tio));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
}

TEST_F(PosixLineTest, SettingsTheLineCannotTakeFailWithFiveAndHoldNothing) {
  const std::size_t before = vuzov_test::OpenHandleCount();
  const LineSettings refused[] = {{12345, 8, 0, 0}, {9600, 9, 0, 0}, {9600, 4, 0, 0},
                                  {9600, 8, 3, 0},  {9600, 8, 0, 5}, {0, 8, 0, 0}};
  for (const LineSettings &line : refused) {
    PortWord port{};
    EXPECT_EQ(OpenPort(peer->DriverPortName().c_str(), line, 0, &port), kPortStateRejected)
        << line.baud << " " << line.data_bits << " " << line.parity << " " << line.stop_bits;
  }
  EXPECT_EQ(vuzov_test::OpenHandleCount(), before);
  PortWord port{};
  EXPECT_EQ(OpenPort(peer->DriverPortName().c_str(), LineSettings{9600, 8, 0, 0}, 0, &port),
            kPortOpened)
      << "a refused open must not leave the device claimed";
  EXPECT_EQ(ClosePort(port), kOk);
}

TEST_F(PosixLineTest, SecondOpenOfAHeldLineFailsEvenForRoot) {
  const std::string name = peer->DriverPortName();
  PortWord first{};
  ASSERT_EQ(OpenPort(name.c_str(), LineSettings{9600, 8, 0, 0}, 0, &first), kPortOpened);
  const std::size_t held = vuzov_test::OpenHandleCount();
  PortWord second{};
  EXPECT_EQ(OpenPort(name.c_str(), LineSettings{9600, 8, 0, 0}, 0, &second), kPortOpenFailed);
  EXPECT_EQ(vuzov_test::OpenHandleCount(), held);
  EXPECT_EQ(ClosePort(first), kOk);
  // Closing gives up the claim.
  ASSERT_EQ(OpenPort(name.c_str(), LineSettings{9600, 8, 0, 0}, 0, &second), kPortOpened);
  EXPECT_EQ(ClosePort(second), kOk);
}

// What the kernel holds back from reads is stale input all the same. On a busy
// machine an answer can wait in the kernel past a read timeout, unseen by the
// purge's status and reads, and the next attempt would take it for the answer
// to its own poll. Here canonical mode holds back bytes without a line end:
// neither the pending count nor a read sees them, and the purge must still
// throw them away.
TEST_F(PosixLineTest, PurgeThrowsAwayInputTheKernelHoldsBackFromReads) {
  PortWord port{};
  ASSERT_EQ(OpenPort(peer->DriverPortName().c_str(), LineSettings{9600, 8, 0, 0}, 0, &port),
            kPortOpened);
  const int fd = static_cast<int>(port);
  termios raw{};
  ASSERT_EQ(tcgetattr(fd, &raw), 0);
  termios holding = raw;
  holding.c_lflag |= ICANON;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &holding), 0);
  ASSERT_TRUE(peer->Write({'s', 't', 'a', 'l', 'e'}));
  EXPECT_EQ(vuzov_test::InputWaiting(&port), 0u) << "held back from reads";
  EXPECT_EQ(PurgePort(port), 0u);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &raw), 0);
  SetReadTimeout(port, 20);
  std::uint8_t byte = 0;
  std::uint32_t got = 0;
  EXPECT_EQ(ReadExact(port, &byte, 1, &got), kIoFailed) << "the purge left '" << byte << "'";
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(ClosePort(port), kOk);
}

TEST_F(PosixLineTest, NullDeviceIsNeverClaimedAndRefusesTimeouts) {
  PortWord a{};
  PortWord b{};
  ASSERT_EQ(OpenPort("NUL", LineSettings{9600, 8, 0, 0}, 0, &a), kPortOpened);
  ASSERT_EQ(OpenPort("NUL", LineSettings{9600, 8, 0, 0}, 0, &b), kPortOpened);
  EXPECT_EQ(SetReadTimeout(a, 50), 0u);
  std::uint8_t byte;
  std::uint32_t got = 7;
  EXPECT_EQ(ReadExact(a, &byte, 1, &got), kIoFailed);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(ClosePort(a), kOk);
  EXPECT_EQ(ClosePort(b), kOk);
}

TEST_F(PosixLineTest, DescriptorsAreNeverZeroAndCloseOnExec) {
  const int saved_stdin = dup(0);
  ASSERT_GE(saved_stdin, 0);
  close(0);
  PortWord null_port{};
  PortWord line_port{};
  const std::uint32_t null_result = OpenPort("NUL", LineSettings{9600, 8, 0, 0}, 0, &null_port);
  const std::uint32_t line_result =
      OpenPort(peer->DriverPortName().c_str(), LineSettings{9600, 8, 0, 0}, 0, &line_port);
  dup2(saved_stdin, 0);
  close(saved_stdin);
  ASSERT_EQ(null_result, kPortOpened);
  ASSERT_EQ(line_result, kPortOpened);
  EXPECT_NE(null_port, 0u);
  EXPECT_NE(line_port, 0u);
  EXPECT_NE(fcntl(static_cast<int>(null_port), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(fcntl(static_cast<int>(line_port), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(ClosePort(null_port), kOk);
  EXPECT_EQ(ClosePort(line_port), kOk);
}

TEST(PosixPortNameTest, HostNamesMapToDevices) {
  // A path is used as it stands, a bare name lives in /dev: both reach a pty.
  std::string error;
  auto peer = vuzov_test::PeerLine::Create(&error);
  ASSERT_NE(peer, nullptr) << error;
  const std::string bare = peer->DriverPortName();  // "pts/N"
  const std::string path = "/dev/" + bare;
  for (const std::string &name : {bare, path}) {
    PortWord port{};
    ASSERT_EQ(OpenPort(name.c_str(), LineSettings{9600, 8, 0, 0}, 0, &port), kPortOpened) << name;
    EXPECT_EQ(ClosePort(port), kOk);
  }
  // Closing something that is not an open port is refused, not ignored.
  EXPECT_EQ(ClosePort(0x7FFFFF00u), kIoFailed);
}
