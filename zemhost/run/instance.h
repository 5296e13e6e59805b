// One configured driver instance while the run lasts: what it was asked for,
// its line as resolved against the driver's defaults, its checked points and
// commands, the line it talks on, its state block and its poller. The main
// thread owns it; the poller's thread touches only the poller and the host
// instance's driver calls.
#ifndef VUZOV_ZEMHOST_INSTANCE_H
#define VUZOV_ZEMHOST_INSTANCE_H

#include <memory>
#include <string>
#include <vector>

#include "run/command_schedule.h"
#include "run/driver_calls.h"
#include "host_interface.h"
#include "run/instance_poller.h"
#include "cli/options.h"
#include "platform/platform.h"
#include "run/simulated_panel.h"

namespace zemhost {

struct Instance {
  InstanceConfig config;
  int number = 0;
  vuzov::LineSettings line{};
  std::vector<Point> points;
  std::vector<TimedCommand> commands;
  std::unique_ptr<SimulatedPanel> panel;
  std::unique_ptr<LineRelay> relay;
  std::string port_name;  // what the driver opens
  std::string description;
  std::unique_ptr<HostInstance> host;
  bool started = false;
  std::unique_ptr<InstancePoller> poller;
};

using Instances = std::vector<std::unique_ptr<Instance>>;

}  // namespace zemhost

#endif
