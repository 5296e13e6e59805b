#include "bare_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "errno_text.h"
#include "serial_line.h"
#include "serial_port_posix.h"

namespace vuzov_bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kEnq = 0x05;
constexpr std::uint8_t kAck = 0x06;

timespec Remaining(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return timespec{0, 0};
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

std::unique_ptr<BareLine> BareLine::Open(const std::string &path, std::string *error) {
  toolbox::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    *error = toolbox::ErrnoText("cannot open " + path, errno);
    return nullptr;
  }
  // Held exactly as the driver holds its port, so that no other process on
  // the machine (a driver reopening a pty name it used before) takes bytes off
  // this line between the driver's turns.
  if (!vuzov::ClaimLine(fd.get())) {
    *error = toolbox::ErrnoText("cannot hold " + path + " exclusively", errno);
    return nullptr;
  }
  std::unique_ptr<BareLine> line(new BareLine(std::move(fd)));
  if (!toolbox::SetUpLine(line->fd_.get(), toolbox::LineSetup{}, error)) {  // 9600 8N1
    *error = path + ": " + *error;
    return nullptr;
  }
  return line;
}

BareLine::~BareLine() { vuzov::ReleaseLine(fd_.get()); }

bool BareLine::Send(const std::uint8_t *bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t sent = ::write(fd_.get(), bytes + done, length - done);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
    } else if (sent < 0 && errno != EINTR && errno != EAGAIN) {
      return false;
    }
  }
  return true;
}

bool BareLine::ReadByte(std::chrono::milliseconds timeout, std::uint8_t *byte) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    pollfd pfd{fd_.get(), POLLIN, 0};
    const timespec left = Remaining(deadline);
    const int ready = ::ppoll(&pfd, 1, &left, nullptr);
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0) {
      if ((pfd.revents & POLLIN) == 0) return false;  // hung up
      const ssize_t got = ::read(fd_.get(), byte, 1);
      if (got == 1) return true;
      if (got == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    }
    if (Clock::now() >= deadline) return false;
  }
}

std::size_t BareLine::Poll(std::chrono::milliseconds timeout,
                           std::uint8_t (&reply)[kLongestReply]) {
  const std::uint8_t enq = kEnq;
  ::tcflush(fd_.get(), TCIFLUSH);  // every attempt starts on a drained line, as the driver's
  if (!Send(&enq, 1) || !ReadByte(timeout, &reply[0])) return 0;
  std::size_t length = 1;
  if (reply[0] == kStx) {
    while (length < kLongestReply && ReadByte(timeout, &reply[length])) ++length;
    // A reply ends in silence, a full one too: read away whatever follows.
    std::uint8_t scratch = 0;
    if (length == kLongestReply) {
      while (ReadByte(timeout, &scratch)) {
      }
    }
  }
  if (reply[0] != kEot && reply[0] != kAck) {
    const std::uint8_t ack = kAck;
    Send(&ack, 1);
  }
  return length;
}

bool BareLine::Command(const std::uint8_t *frame, std::size_t length,
                       std::chrono::milliseconds timeout, std::uint8_t *answer) {
  ::tcflush(fd_.get(), TCIFLUSH);
  return Send(frame, length) && ReadByte(timeout, answer);
}

}  // namespace vuzov_bench
