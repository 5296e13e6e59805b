#include "run/command_schedule.h"

#include <algorithm>
#include <string>

namespace zemhost {

void CommandSchedule::AddInstance(InstancePoller *poller, int number, int panel,
                                  const std::vector<TimedCommand> &commands) {
  Target target{poller, number, panel, {}};
  for (const TimedCommand &command : commands) {
    if (command.at) {
      target.later.push_back(command);
    } else {
      poller->Queue(command.point);
    }
  }
  targets_.push_back(std::move(target));
}

void CommandSchedule::SendDue(Millis since_start) {
  for (Target &target : targets_) {
    auto &later = target.later;
    for (auto it = later.begin(); it != later.end();) {
      if (*it->at <= since_start) {
        target.poller->Queue(it->point);
        it = later.erase(it);
      } else {
        ++it;
      }
    }
  }
}

void CommandSchedule::SendToAll(char kind) {
  for (const Target &target : targets_) {
    target.poller->Queue(Point{"CP" + std::to_string(target.panel) + kind + "!", target.panel});
  }
}

void CommandSchedule::SendTo(int number, char kind, std::uint32_t ticket) {
  for (const Target &target : targets_) {
    if (target.number != number) continue;
    target.poller->Queue(Point{"CP" + std::to_string(target.panel) + kind + "!", target.panel},
                         ticket);
  }
}

bool CommandSchedule::AllDue() const {
  return std::all_of(targets_.begin(), targets_.end(),
                     [](const Target &target) { return target.later.empty(); });
}

}  // namespace zemhost
