// The serial port layer: open a port with the driver's line discipline, set its
// read timeout, drain stale input, write whole frames and read counted bytes.
//
// Every routine takes the port word and returns a small code; none logs and none
// retries. One implementation per platform stands behind this header.
#ifndef VUZOV_SERIAL_SERIAL_PORT_H
#define VUZOV_SERIAL_SERIAL_PORT_H

#include <cstdint>

#include "host_interface.h"

namespace vuzov {

// OpenPort results.
inline constexpr std::uint32_t kPortOpened = 0;
inline constexpr std::uint32_t kPortOpenFailed = 1;       // no such device, busy, or timeouts refused
inline constexpr std::uint32_t kPortStateUnreadable = 4;  // line state could not be read
inline constexpr std::uint32_t kPortStateRejected = 5;    // line state not accepted
// Transfer results.
inline constexpr std::uint32_t kShortWrite = 2;
inline constexpr std::uint32_t kIoFailed = 7;

// The port's read timeout right after OpenPort configures it, in 10 ms units.
inline constexpr std::uint32_t kOpeningReadTimeout = 100;

// The modes the line-control flag bits (host_interface.h) select, first match
// wins.
enum class DtrMode { kOff, kOn, kHandshake };
enum class RtsMode { kOff, kOn, kHandshake, kToggle };
DtrMode DtrModeFor(std::uint16_t flags);
RtsMode RtsModeFor(std::uint16_t flags);

// The number n of a host port name "COMn" (n from 1, without a leading zero);
// 0 for any other name.
long ComPortNumber(const char *name);

// Opens the named port and configures it from the line settings and flags. The
// null device "NUL" opens without any line set-up. On failure nothing stays open
// and *port must not be used.
std::uint32_t OpenPort(const char *name, const LineSettings &line, std::uint16_t flags,
                       PortWord *port);

// 0 closed, 7 the platform refused.
std::uint32_t ClosePort(PortWord port);

// Sets the read timeout (10 ms units) and returns the previous one; 0 when the
// timeouts could not be read or written.
std::uint32_t SetReadTimeout(PortWord port, std::uint32_t timeout_units);

// Throws away input that is waiting on the line: 0 when the last status or read
// call succeeded, 1 otherwise.
std::uint32_t PurgePort(PortWord port);

// One write of all the bytes: 0 all written, 2 fewer written, 7 the write failed.
std::uint32_t WriteAll(PortWord port, const void *bytes, std::uint32_t count,
                       std::uint32_t *written);

// Reads exactly count bytes (1 to 65535), each read bounded by the read timeout:
// 0 the count arrived; 7 a read failed or timed out first. *got tells how many
// bytes arrived in either case.
std::uint32_t ReadExact(PortWord port, void *buffer, std::uint32_t count, std::uint32_t *got);

// Owns one open port inside the driver and closes it unless released. Move-only.
class PortOwner {
 public:
  PortOwner() = default;
  explicit PortOwner(PortWord port) : port_(port) {}
  ~PortOwner() { Reset(); }
  PortOwner(PortOwner &&other) noexcept : port_(other.Release()) {}
  PortOwner &operator=(PortOwner &&other) noexcept {
    if (this != &other) {
      Reset();
      port_ = other.Release();
    }
    return *this;
  }
  PortOwner(const PortOwner &) = delete;
  PortOwner &operator=(const PortOwner &) = delete;

  PortWord Get() const { return port_; }
  explicit operator bool() const { return port_ != PortWord{}; }
  PortWord Release() {
    const PortWord port = port_;
    port_ = PortWord{};
    return port;
  }
  void Reset() {
    if (port_ != PortWord{}) ClosePort(Release());
  }

 private:
  PortWord port_{};
};

}  // namespace vuzov

#endif
