#include "message_queue.h"

namespace panelsim {

void MessageQueue::Push(const Message &message, const std::string &label) {
  pending_.push_back({message, label, 0});
}

std::vector<std::uint8_t> MessageQueue::FrameToSend(const FrameLayout &layout) const {
  if (!pending_.empty()) return BuildFrame(pending_.front().message, layout);
  Message status;
  StatusMessage('2', 0, &status, nullptr);
  return BuildFrame(status, layout);
}

bool MessageQueue::Sending() {
  const bool resend = pending_.front().times_sent++ > 0;
  awaiting_ack_ = true;
  on_line_since_.reset();
  return resend;
}

bool MessageQueue::Acknowledge(TimePoint arrived, std::string *label) {
  if (!awaiting_ack_ || !on_line_since_ || arrived < *on_line_since_) return false;
  *label = pending_.front().label;
  pending_.pop_front();
  awaiting_ack_ = false;
  return true;
}

}  // namespace panelsim
