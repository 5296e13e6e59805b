#include "fault_plan.h"

#include "encoding.h"

namespace panelsim {
namespace {

bool IsControlByte(std::uint8_t byte) { return byte == kStx || byte == kEot || byte == kAck; }

}  // namespace

void FaultPlan::Arm(const Fault &fault) {
  (IsCommandFault(fault.kind) ? command_faults_ : poll_faults_).push_back(fault);
}

Fault FaultPlan::TakePollFault() {
  const Fault fault = poll_faults_.front();
  if (fault.kind == FaultKind::kSilent && fault.count > 1) {
    --poll_faults_.front().count;
  } else {
    poll_faults_.pop_front();
  }
  return fault;
}

bool FaultPlan::TakeCommandAnswer(std::optional<std::uint8_t> *answer) {
  if (command_faults_.empty()) return false;
  Fault &armed = command_faults_.front();
  if (armed.kind == FaultKind::kCommandReply) {
    *answer = armed.byte.value_or(kAck);
    command_faults_.pop_front();
  } else {
    answer->reset();
    if (--armed.count == 0) command_faults_.pop_front();
  }
  return true;
}

std::uint8_t FaultPlan::NextNoise() {
  noise_state_ ^= noise_state_ << 13;
  noise_state_ ^= noise_state_ >> 17;
  noise_state_ ^= noise_state_ << 5;
  return static_cast<std::uint8_t>(noise_state_ >> 24);
}

std::vector<std::uint8_t> FaultPlan::Noise(unsigned count,
                                           const std::optional<std::uint8_t> &first) {
  std::vector<std::uint8_t> bytes;
  for (unsigned i = 0; i < count; ++i) bytes.push_back(NextNoise());
  if (first) {
    bytes[0] = *first;
  } else {
    while (IsControlByte(bytes[0])) bytes[0] = NextNoise();
  }
  return bytes;
}

}  // namespace panelsim
