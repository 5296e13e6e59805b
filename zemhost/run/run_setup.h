// Before anything starts: the driver's record, each instance's line against
// the driver's defaults, every point and command address through the driver's
// own check, the gates, and each instance's port (a real one, a simulated
// panel on a pty, or a relay for the trace).
#ifndef VUZOV_ZEMHOST_RUN_SETUP_H
#define VUZOV_ZEMHOST_RUN_SETUP_H

#include <cstdint>
#include <string>

#include "run/driver_calls.h"
#include "events/hub.h"
#include "exit_status.h"
#include "run/instance.h"
#include "cli/options.h"
#include "run/run_output.h"

namespace zemhost {

class RunSetup {
 public:
  RunSetup(const RunConfig &config, Hub &hub, RunOutput &output, ZemMainFn zem_main)
      : config_(config), hub_(hub), output_(output), zem_main_(zem_main) {}

  // Fills *instances and *state_size and shows them; on a failure it has said
  // why and returns the exit status.
  Exit Prepare(Instances *instances, std::uint32_t *state_size);

 private:
  Exit ReadDriverInfo(DriverRecord *driver);
  static vuzov::LineSettings ResolveLine(const InstanceConfig &instance,
                                         const vuzov::LineSettings &defaults);
  Exit CheckAddresses(Instance &instance);
  Exit SetUpGates(const Instances &instances, std::string *text);
  Exit OpenLine(Instance &instance);
  Exit OpenSimulatedPanel(Instance &instance);
  Exit OpenRelay(Instance &instance);

  const RunConfig &config_;
  Hub &hub_;
  RunOutput &output_;
  const ZemMainFn zem_main_;
};

}  // namespace zemhost

#endif
