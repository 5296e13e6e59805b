// The serial port layer on POSIX systems, in the place of the Win32 serial calls.
//
// What the driver relies on is kept: the line settings, the DTR and RTS modes of
// the flags word, no flow control, an exclusive open, reads that return what has
// arrived when a read timeout measured from the start of the read expires, and
// writes without a timeout. The descriptor is non-blocking; every wait is a poll()
// against a monotonic deadline.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "serial_port.h"
#include "serial_port_posix.h"

namespace vuzov {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kPurgeTimeoutUnits = 5;
constexpr std::uint32_t kPurgeChunk = 512;

// Read timeouts of the lines this layer configured, in milliseconds, by descriptor.
// Descriptors that are not configured lines (the null device) have none, and a
// timeout request on them is refused, as the platform refuses it for a non-serial
// handle.
class ReadTimeouts {
 public:
  void Set(int fd, std::uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    timeouts_[fd] = ms;
  }
  bool Get(int fd, std::uint32_t *ms) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = timeouts_.find(fd);
    if (found == timeouts_.end()) return false;
    *ms = found->second;
    return true;
  }
  void Forget(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    timeouts_.erase(fd);
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<int, std::uint32_t> timeouts_;
};

ReadTimeouts &Timeouts() {
  static ReadTimeouts timeouts;
  return timeouts;
}

int ToFd(PortWord port) { return static_cast<int>(port); }

// Owns a descriptor while a port is being opened; closes it unless released.
class FdOwner {
 public:
  explicit FdOwner(int fd) : fd_(fd) {}
  ~FdOwner() {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
  }
  FdOwner(const FdOwner &) = delete;
  FdOwner &operator=(const FdOwner &) = delete;
  int Get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool IsNullDevice(const char *name) { return std::strcmp(name, "NUL") == 0; }

}  // namespace

std::string DevicePathFor(const char *name) {
  if (IsNullDevice(name)) return "/dev/null";
  if (name[0] == '/') return name;
  const long number = ComPortNumber(name);
  if (number >= 1 && number <= 256) return "/dev/ttyS" + std::to_string(number - 1);
  return std::string("/dev/") + name;
}

namespace {

// The host's word holds 0 for "no port", so a port must never be descriptor 0.
int MoveOffZero(int fd) {
  if (fd != 0) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return moved;
}

bool SpeedFor(std::uint16_t baud, speed_t *speed) {
  static const struct {
    std::uint16_t baud;
    speed_t speed;
  } kSpeeds[] = {{50, B50},       {75, B75},       {110, B110},     {134, B134},
                 {150, B150},     {200, B200},     {300, B300},     {600, B600},
                 {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},
                 {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600}};
  for (const auto &entry : kSpeeds) {
    if (entry.baud == baud) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

bool CharacterSizeFor(std::uint8_t bits, tcflag_t *size) {
  switch (bits) {
    case 5: *size = CS5; return true;
    case 6: *size = CS6; return true;
    case 7: *size = CS7; return true;
    case 8: *size = CS8; return true;
    default: return false;
  }
}

bool ParityFlagsFor(std::uint8_t code, tcflag_t *flags) {
  switch (code) {
    case 0: *flags = 0; return true;                           // none
    case 1: *flags = PARENB | PARODD; return true;             // odd
    case 2: *flags = PARENB; return true;                      // even
    case 3: *flags = PARENB | PARODD | CMSPAR; return true;    // mark
    case 4: *flags = PARENB | CMSPAR; return true;             // space
    default: return false;
  }
}

}  // namespace

// A raw 8-bit line: no translation of any byte, no flow control, reads that
// never block (the layer waits with poll()).
bool BuildLineState(const LineSettings &line, termios *tio) {
  speed_t speed;
  tcflag_t size;
  tcflag_t parity;
  const auto data_bits = static_cast<std::uint8_t>(line.data_bits & 0xFF);
  const auto parity_code = static_cast<std::uint8_t>(line.parity & 0xFF);
  const auto stop_code = static_cast<std::uint8_t>(line.stop_bits & 0xFF);
  if (!SpeedFor(line.baud, &speed) || !CharacterSizeFor(data_bits, &size) ||
      !ParityFlagsFor(parity_code, &parity) || stop_code > 2) {
    return false;
  }
  tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                         ICRNL | IXON | IXOFF | IXANY | IGNPAR | IUCLC | IMAXBEL);
  tio->c_iflag |= INPCK;
  tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio->c_cflag |= CLOCAL | CREAD | size | parity;
  if (stop_code != 0) tio->c_cflag |= CSTOPB;  // 1.5 (with 5 data bits) or 2
  tio->c_cc[VMIN] = 0;
  tio->c_cc[VTIME] = 0;
  cfsetispeed(tio, speed);
  cfsetospeed(tio, speed);
  return true;
}

bool ClaimLine(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
  ::ioctl(fd, TIOCEXCL);  // refused by what is no terminal; the lock still holds
  return true;
}

void ReleaseLine(int fd) { ::ioctl(fd, TIOCNXCL); }

namespace {

// Modem-control lines. Devices without them (a pty, some adapters) refuse these
// requests; that is no failure of the line.
void SetModemLine(int fd, int line, bool on) {
  ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

void ApplyLineModes(int fd, std::uint16_t flags) {
  // There is no DTR/DSR input handshake on Linux: a handshake port keeps DTR up.
  SetModemLine(fd, TIOCM_DTR, DtrModeFor(flags) != DtrMode::kOff);
  const RtsMode rts = RtsModeFor(flags);
  if (rts == RtsMode::kToggle) {
    // RTS raised while sending: the RS-485 mode of drivers that have it.
    serial_rs485 rs485{};
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (::ioctl(fd, TIOCSRS485, &rs485) == 0) return;
  }
  // An RTS handshake would need CRTSCTS, which also stops output on CTS; the line
  // must not have output flow control, so a handshake port keeps RTS up.
  SetModemLine(fd, TIOCM_RTS, rts != RtsMode::kOff);
}

// Waits until the descriptor is readable or the deadline passes. 1 readable, 0
// timed out, -1 hang-up or error. A timeout of 0 waits without a limit.
int WaitReadable(int fd, bool unlimited, Clock::time_point deadline) {
  for (;;) {
    int wait_ms = -1;
    if (!unlimited) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    pollfd pfd{fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (ready == 0) {
      if (unlimited || Clock::now() < deadline) continue;
      return 0;
    }
    if ((pfd.revents & POLLIN) != 0) return 1;
    return -1;  // POLLHUP, POLLERR or POLLNVAL without data
  }
}

// One platform read: collects up to count bytes until they are all there or the
// read timeout, measured from now, expires. Returns the bytes read, or -1 on a
// failure (hang-up, I/O error) with nothing read.
long TimedRead(int fd, std::uint8_t *buffer, std::uint32_t count, std::uint32_t timeout_ms) {
  const bool unlimited = timeout_ms == 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::uint32_t total = 0;
  while (total < count) {
    const int ready = WaitReadable(fd, unlimited, deadline);
    if (ready == 0) break;
    if (ready < 0) return total > 0 ? static_cast<long>(total) : -1;
    const ssize_t got = ::read(fd, buffer + total, count - total);
    if (got > 0) {
      total += static_cast<std::uint32_t>(got);
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      // Readable but nothing to read: the far end has gone.
      return total > 0 ? static_cast<long>(total) : -1;
    }
  }
  return static_cast<long>(total);
}

bool WaitWritable(int fd) {
  for (;;) {
    pollfd pfd{fd, POLLOUT, 0};
    const int ready = ::poll(&pfd, 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && (pfd.revents & POLLOUT) != 0;
  }
}

}  // namespace

std::uint32_t OpenPort(const char *name, const LineSettings &line, std::uint16_t flags,
                       PortWord *port) {
  if (name == nullptr || port == nullptr) return kPortOpenFailed;
  *port = 0;
  const std::string path = DevicePathFor(name);
  FdOwner fd(MoveOffZero(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)));
  if (fd.Get() < 0) return kPortOpenFailed;
  if (IsNullDevice(name)) {
    *port = static_cast<PortWord>(fd.Release());
    return kPortOpened;
  }
  // No sharing with another driver, host or relay.
  if (!ClaimLine(fd.Get())) return kPortOpenFailed;
  termios tio{};
  if (::tcgetattr(fd.Get(), &tio) != 0) return kPortStateUnreadable;
  if (!BuildLineState(line, &tio)) return kPortStateRejected;
  if (::tcsetattr(fd.Get(), TCSANOW, &tio) != 0) return kPortStateRejected;
  ApplyLineModes(fd.Get(), flags);
  Timeouts().Set(fd.Get(), kOpeningReadTimeout * 10);
  *port = static_cast<PortWord>(fd.Release());
  return kPortOpened;
}

std::uint32_t ClosePort(PortWord port) {
  const int fd = ToFd(port);
  if (fd <= 0) return kIoFailed;
  std::uint32_t timeout_ms;
  const bool is_line = Timeouts().Get(fd, &timeout_ms);
  if (is_line) ReleaseLine(fd);
  if (::close(fd) != 0 && errno != EINTR) return kIoFailed;
  Timeouts().Forget(fd);
  return kOk;
}

std::uint32_t SetReadTimeout(PortWord port, std::uint32_t timeout_units) {
  const int fd = ToFd(port);
  std::uint32_t previous_ms;
  if (!Timeouts().Get(fd, &previous_ms)) return 0;
  const std::uint32_t wanted_ms = timeout_units * 10u;  // wraps, as the platform's does
  if (previous_ms != wanted_ms) Timeouts().Set(fd, wanted_ms);
  return previous_ms / 10u;
}

std::uint32_t PurgePort(PortWord port) {
  const int fd = ToFd(port);
  int queued = 0;
  const bool status_ok = ::ioctl(fd, FIONREAD, &queued) == 0;
  bool last_ok = status_ok;
  if (!status_ok || queued > 0) {
    const std::uint32_t previous = SetReadTimeout(port, kPurgeTimeoutUnits);
    std::uint8_t scratch[kPurgeChunk];
    for (;;) {
      const long got = TimedRead(fd, scratch, kPurgeChunk, kPurgeTimeoutUnits * 10);
      last_ok = got >= 0;
      if (got != static_cast<long>(kPurgeChunk)) break;
    }
    if (previous != 0) SetReadTimeout(port, previous);
  }
  // Bytes the kernel has taken off the line but not yet handed over to reads
  // are stale too, and no read above sees them: on a busy machine an answer
  // can wait there past the read timeout, and the next attempt would take it
  // for the answer to its own request, one answer behind the panel from then
  // on.
  ::tcflush(fd, TCIFLUSH);
  return last_ok ? 0 : 1;
}

std::uint32_t WriteAll(PortWord port, const void *bytes, std::uint32_t count,
                       std::uint32_t *written) {
  const int fd = ToFd(port);
  const auto *data = static_cast<const std::uint8_t *>(bytes);
  std::uint32_t total = 0;
  while (total < count) {
    const ssize_t sent = ::write(fd, data + total, count - total);
    if (sent > 0) {
      total += static_cast<std::uint32_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    // Writes have no timeout: wait for room, however long the line takes.
    if (sent < 0 && errno == EAGAIN && WaitWritable(fd)) continue;
    return kIoFailed;
  }
  if (written != nullptr) *written = total;
  return total == count ? kOk : kShortWrite;
}

std::uint32_t ReadExact(PortWord port, void *buffer, std::uint32_t count, std::uint32_t *got) {
  const int fd = ToFd(port);
  auto *data = static_cast<std::uint8_t *>(buffer);
  if (got != nullptr) *got = 0;
  std::uint32_t timeout_ms = 0;
  if (!Timeouts().Get(fd, &timeout_ms)) timeout_ms = kOpeningReadTimeout * 10;
  std::uint32_t total = 0;
  while (total < count) {
    const long read_now = TimedRead(fd, data + total, count - total, timeout_ms);
    if (read_now <= 0) return kIoFailed;
    total += static_cast<std::uint32_t>(read_now);
    if (got != nullptr) *got = total;
  }
  return kOk;
}

}  // namespace vuzov
