// The host runtime's reports, the driver's gate stores and log lines, as the
// run's events, each with the instance it belongs to.
//
// A gate store names the client that made it, and each instance's client is
// made by its ColdStart, so the client says whose store it is. A log line
// names nothing (the host's err() takes only a level and a text): it belongs
// to the instance whose driver call runs on the thread that logs it, and a
// line from the driver's own waiting threads belongs to no instance.
#ifndef VUZOV_ZEMHOST_DRIVER_REPORTS_H
#define VUZOV_ZEMHOST_DRIVER_REPORTS_H

#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "events/hub.h"

namespace zemhost {

class DriverReports {
 public:
  // Binds the host runtime's log and gate sinks to the hub while it lives.
  explicit DriverReports(Hub &hub);
  ~DriverReports();
  DriverReports(const DriverReports &) = delete;
  DriverReports &operator=(const DriverReports &) = delete;

  // After an instance's ColdStart: the client it made.
  void NoteClient(std::uint8_t client, int instance);

  // For its lifetime, a driver call of `instance` runs on this thread.
  class Call {
   public:
    Call(DriverReports &reports, int instance);
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

   private:
    DriverReports &reports_;
  };

 private:
  static void OnLogLine(void *user, std::int32_t level, const char *line);
  static void OnGateStore(void *user, std::uint8_t client, std::uint32_t gate, const char *name,
                          double value);
  int InstanceOfClient(std::uint8_t client) const;
  int InstanceCallingHere() const;

  Hub &hub_;
  mutable std::mutex mutex_;
  std::map<std::uint8_t, int> clients_;
  // The driver calls under way, innermost last on each thread.
  std::vector<std::pair<std::thread::id, int>> calls_;
};

}  // namespace zemhost

#endif
