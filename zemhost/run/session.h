// One run from start to end: prepare the instances, cold-start each, poll and
// send until the run is over, then shut the driver down so that the module
// may be unloaded.
#ifndef VUZOV_ZEMHOST_SESSION_H
#define VUZOV_ZEMHOST_SESSION_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "cli/options.h"
#include "events/hub.h"
#include "exit_status.h"
#include "run/run_output.h"
#include "outputs/text_out.h"
#include "platform/platform.h"
#include "run/command_schedule.h"
#include "run/driver_calls.h"
#include "run/driver_reports.h"
#include "run/instance.h"
#include "run/service_watch.h"

namespace zemhost {

class Session {
 public:
  // out is the run's standard output; live_screen says that the live screen
  // shows the run on it.
  Session(const RunConfig &config, Console &console, Hub &hub, TextOut &out,
          DriverReports &reports, ZemMainFn zem_main, bool live_screen)
      : config_(config),
        console_(console),
        hub_(hub),
        out_(out),
        reports_(reports),
        zem_main_(zem_main),
        output_(hub, live_screen),
        service_(config, hub) {}
  ~Session() { StopPolling(); }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // The whole run; the exit status.
  int Run();

  // Commands asked for from outside (the broker), picked up by the loop; the
  // source outlives the run.
  void AddCommandSource(CommandSource *source) { remote_.push_back(source); }

  // False when a driver thread may still be running inside the module.
  bool SafeToUnload() const { return safe_to_unload_; }

 private:
  Exit StartInstances();
  Exit ColdStart(Instance &instance);
  void StartPolling();
  Exit Loop();
  // False when the run is asked to end.
  bool HandleConsole();
  bool Finished() const;
  void StopPolling();
  int Shutdown();
  bool EveryPolledInstanceAnswered() const;
  int WaitForShutdownLines(int started);
  void EndDriver();
  bool WaitForDriverThreadsToExit();
  // Waits until `done` holds, for at most `limit` (none: as long as it takes),
  // checking every `step`, while watching for a stop request: a second stop
  // ends the process at once.
  bool WaitWatching(const std::function<bool()> &done, std::optional<Millis> limit,
                    Millis step);
  void OnStopRequest();
  [[noreturn]] void EndAtOnce();

  const RunConfig &config_;
  Console &console_;
  Hub &hub_;
  TextOut &out_;
  DriverReports &reports_;
  const ZemMainFn zem_main_;
  RunOutput output_;
  ServiceWatch service_;

  std::uint32_t state_size_ = 0;
  Instances instances_;
  CommandSchedule schedule_;
  std::size_t thread_baseline_ = 0;
  bool send_only_ = false;
  bool safe_to_unload_ = true;
  std::optional<SteadyClock::time_point> first_stop_;
  std::vector<CommandSource *> remote_;
};

}  // namespace zemhost

#endif
