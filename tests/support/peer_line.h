// The far end of the driver's serial line in a test: the test plays the panel.
// On Linux it is the master of a pty pair; under Wine it is the second COM port
// of a linked pty pair that the test's launcher set up.
#ifndef VUZOV_TESTS_PEER_LINE_H
#define VUZOV_TESTS_PEER_LINE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vuzov_test {

class PeerLine {
 public:
  virtual ~PeerLine() = default;
  // Makes a new line; null (and error set) when the platform cannot.
  static std::unique_ptr<PeerLine> Create(std::string *error);

  // The port name the driver opens to reach this line.
  virtual std::string DriverPortName() const = 0;
  virtual bool Write(const std::vector<std::uint8_t> &bytes) = 0;
  // Collects bytes until `count` arrived or `timeout_ms` passed since the call.
  virtual std::vector<std::uint8_t> Read(std::size_t count, int timeout_ms) = 0;
  // The panel side goes away: the driver's pending and later reads fail.
  virtual void HangUp() = 0;
  // Whether the platform ends a pending read as soon as the line goes. Wine's
  // serial reads do not notice a vanished tty and fail only at their timeout.
  virtual bool HangUpEndsReadsAtOnce() const = 0;
};

// How many bytes wait unread at the driver's end of the line; `port_word`
// points at the port word of the driver's state block.
std::size_t InputWaiting(const void *port_word);
// Writes `bytes` out of the driver's end of the line, as if the driver had sent
// them: a test's way to make the panel answer a poll the driver never made.
bool SendOnDriverPort(const void *port_word, const std::vector<std::uint8_t> &bytes);

// Descriptors (Linux) or handles (Windows) this process holds right now.
std::size_t OpenHandleCount();

}  // namespace vuzov_test

#endif
