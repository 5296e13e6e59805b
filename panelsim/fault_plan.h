// The faults a scenario (or a test, through Queue) armed, in the order they
// were armed: those that spoil the panel's answer to a poll, and those that
// spoil its answer to a command. Each is used up by the answers it spoils.
#ifndef PANELSIM_FAULT_PLAN_H
#define PANELSIM_FAULT_PLAN_H

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "scenario.h"

namespace panelsim {

class FaultPlan {
 public:
  void Arm(const Fault &fault);

  bool HasPollFault() const { return !poll_faults_.empty(); }
  // Faults armed and not yet used up.
  std::size_t Waiting() const { return poll_faults_.size() + command_faults_.size(); }
  // The poll fault to apply now. A silence of several polls stays armed for
  // the rest of them.
  Fault TakePollFault();

  // The answer to a command under the next command fault: a byte, or none for
  // silence. False when no command fault is armed.
  bool TakeCommandAnswer(std::optional<std::uint8_t> *answer);

  // Reproducible noise: the same scenario puts the same bytes on the line. The
  // first byte is `first`, or no control byte.
  std::vector<std::uint8_t> Noise(unsigned count, const std::optional<std::uint8_t> &first);

 private:
  std::uint8_t NextNoise();

  std::deque<Fault> poll_faults_;
  std::deque<Fault> command_faults_;
  std::uint32_t noise_state_ = 0x2545F491u;
};

}  // namespace panelsim

#endif
