// The host's end of the line in the simulator's tests: it opens the line as the
// driver does and talks to the panel with plain writes, polls and reads.
#ifndef PANELSIM_TESTS_DRIVER_SIDE_H
#define PANELSIM_TESTS_DRIVER_SIDE_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "line.h"

namespace panelsim_test {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

class DriverSide {
 public:
  // Opens `path` raw, without echo, as the driver opens its port.
  explicit DriverSide(const std::string &path);
  // Takes over an open descriptor, such as a pty master.
  explicit DriverSide(panelsim::UniqueFd fd);

  bool is_open() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  void Close() { fd_.reset(); }

  void Send(const Bytes &bytes);
  std::optional<std::uint8_t> ReadByte(milliseconds timeout);
  // Reads a reply as the driver does: the first byte waits up to `first`; a
  // first byte other than STX is the whole reply; after STX each further byte
  // waits up to `gap`, up to `limit` bytes in all.
  Bytes Receive(milliseconds gap = milliseconds(150), std::size_t limit = 20,
                milliseconds first = milliseconds(3000));
  // Everything that arrives until `quiet` passes without a byte.
  Bytes Drain(milliseconds quiet);
  // ENQ, the reply, and ACK after a reply that is neither EOT nor ACK.
  Bytes Poll();
  // True once the far end has hung up (the pty master or the device closed).
  bool WaitForHangup(milliseconds timeout);

 private:
  panelsim::UniqueFd fd_;
};

// Open descriptors of this process, counted in /proc/self/fd.
int CountOpenFds();

}  // namespace panelsim_test

#endif
