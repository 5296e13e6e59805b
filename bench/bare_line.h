// The panel exchanges done with no driver at all: plain writes, then a poll and
// a one-byte read per reply byte against the same per-byte deadlines. What this
// machine's ptys and scheduler allow, to set the driver's figures beside.
#ifndef VUZOV_BENCH_BARE_LINE_H
#define VUZOV_BENCH_BARE_LINE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "unique_fd.h"

namespace vuzov_bench {

inline constexpr std::size_t kLongestReply = 20;

class BareLine {
 public:
  // Opens the pty slave raw at 9600 8N1, non-blocking.
  static std::unique_ptr<BareLine> Open(const std::string &path, std::string *error);
  ~BareLine();
  BareLine(const BareLine &) = delete;
  BareLine &operator=(const BareLine &) = delete;

  // ENQ; the reply (one byte, or an STX frame that ends at the first read that
  // times out, or at 20 bytes); ACK after a reply that is neither EOT nor ACK.
  // The reply's length, 0 when nothing came.
  std::size_t Poll(std::chrono::milliseconds timeout, std::uint8_t (&reply)[kLongestReply]);
  // Sends a command frame and reads its one-byte answer; false when none came.
  bool Command(const std::uint8_t *frame, std::size_t length, std::chrono::milliseconds timeout,
               std::uint8_t *answer);

 private:
  explicit BareLine(toolbox::UniqueFd fd) : fd_(std::move(fd)) {}
  bool Send(const std::uint8_t *bytes, std::size_t length);
  // Waits for one byte until `timeout` after the call.
  bool ReadByte(std::chrono::milliseconds timeout, std::uint8_t *byte);

  toolbox::UniqueFd fd_;
};

}  // namespace vuzov_bench

#endif
