// The panel's messages waiting for the host. The front one goes out in answer
// to each poll, again and again, until the host's ACK for it retires it.
#ifndef PANELSIM_MESSAGE_QUEUE_H
#define PANELSIM_MESSAGE_QUEUE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "encoding.h"

namespace panelsim {

class MessageQueue {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  void Push(const Message &message, const std::string &label);
  std::size_t size() const { return pending_.size(); }
  bool empty() const { return pending_.empty(); }
  const std::string &FrontLabel() const { return pending_.front().label; }

  // The front message's frame, or a status frame when none waits.
  std::vector<std::uint8_t> FrameToSend(const FrameLayout &layout) const;
  // The front message goes into a reply; true when it went out before.
  bool Sending();
  // That reply's first byte went out at `time`.
  void OnLine(TimePoint time) { on_line_since_ = time; }
  // The host moved on (a new poll, a hangup): no ACK is awaited any more.
  void StopAwaiting() { awaiting_ack_ = false; }
  // An ACK read at `arrived` retires the front message when it answers the
  // reply that carried it: only an ACK that arrived after that reply's first
  // byte can, not one for a stray byte read before it.
  bool Acknowledge(TimePoint arrived, std::string *label);

 private:
  struct Pending {
    Message message;
    std::string label;
    unsigned times_sent = 0;
  };

  std::deque<Pending> pending_;
  bool awaiting_ack_ = false;  // the last reply carried the front message
  std::optional<TimePoint> on_line_since_;
};

}  // namespace panelsim

#endif
