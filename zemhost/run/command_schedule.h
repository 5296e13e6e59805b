// The panel commands of a run: those sent at the start, those due at a time
// after it, and the live screen's keys, which go to every instance. Each goes
// to its instance's poller, which sends it before its next poll.
#ifndef VUZOV_ZEMHOST_COMMAND_SCHEDULE_H
#define VUZOV_ZEMHOST_COMMAND_SCHEDULE_H

#include <cstdint>
#include <optional>
#include <vector>

#include "run/instance_poller.h"
#include "cli/options.h"

namespace zemhost {

struct TimedCommand {
  Point point;
  std::optional<Millis> at;  // after the start; empty: at once
};

class CommandSchedule {
 public:
  // The poller outlives the schedule. The instance's commands due at once are
  // queued now; `panel` names the panel the keys' commands go to.
  void AddInstance(InstancePoller *poller, int number, int panel,
                   const std::vector<TimedCommand> &commands);
  // Queues the commands whose time has come.
  void SendDue(Millis since_start);
  // kind 'A', 'S' or 'R': acknowledge, silence or reset on every instance.
  void SendToAll(char kind);
  // The same for instance `number` alone (a command from outside), whose
  // result carries `ticket`.
  void SendTo(int number, char kind, std::uint32_t ticket = 0);
  // No command is left waiting for its time.
  bool AllDue() const;

 private:
  struct Target {
    InstancePoller *poller;
    int number;
    int panel;
    std::vector<TimedCommand> later;
  };
  std::vector<Target> targets_;
};

}  // namespace zemhost

#endif
