// Keeps a service manager (systemd, with Type=notify) told how the run goes:
// READY=1 once every instance has started, STATUS= with each instance's link,
// WATCHDOG=1 at half the watchdog's timeout while every instance's poller
// keeps its pace, and STOPPING=1 when the run's shutdown begins. The outputs
// were started (connected, or retrying in the background) before the
// instances, so ready means ready for all of them. With no manager listening
// it does nothing.
#ifndef VUZOV_ZEMHOST_SERVICE_WATCH_H
#define VUZOV_ZEMHOST_SERVICE_WATCH_H

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/options.h"
#include "events/hub.h"
#include "run/instance.h"

namespace zemhost {

// How long an instance's poller may take to come round its loop: the
// driver's attempts at one read timeout each, then the interval to the next
// poll, and an allowance for the bytes on the line, a reopened port and a
// busy machine.
Millis PaceBound(const InstanceConfig &instance, Millis interval);

// The instances' links as the run's table shows them, for STATUS=:
// "instance 1 link up, 812 exchanges, 3 failed".
std::string LinkStatus(const std::vector<InstanceStatus> &instances);

class ServiceWatch {
 public:
  // Reads what the service manager set in the environment.
  ServiceWatch(const RunConfig &config, Hub &hub);

  // Once every instance has started and its poller runs.
  void Ready(const Instances &instances);
  // From the run's main loop, about twenty times a second.
  void Tick(const Instances &instances);
  // When the run's shutdown begins, whatever ended the run.
  void Stopping();

 private:
  using TimePoint = SteadyClock::time_point;

  void Send(const std::string &assignments);
  // The instances whose poller is behind its pace, each said once as it falls
  // behind and again when it is back.
  bool EveryPollerKeepsPace(const Instances &instances, TimePoint now);
  std::string StatusLine() const;

  const RunConfig &config_;
  Hub &hub_;
  const bool listening_;
  const std::optional<std::chrono::microseconds> watchdog_;
  bool ready_ = false;
  bool stopping_ = false;
  bool failure_said_ = false;
  TimePoint last_ping_{};
  TimePoint last_status_{};
  std::string status_;
  std::set<int> behind_;
};

}  // namespace zemhost

#endif
