// What the run itself states, beside the events the driver's calls make: that
// a panel is simulated, the driver's record, the instances and gates at the
// start, and the closing summary. Each goes through the hub as an event, so
// every output shows it in its own way. Why a step failed goes to standard
// error.
#ifndef VUZOV_ZEMHOST_RUN_OUTPUT_H
#define VUZOV_ZEMHOST_RUN_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "events/hub.h"
#include "host_interface.h"
#include "run/instance.h"

namespace zemhost {

// "8N1", "7E2"
std::string FramingName(const vuzov::LineSettings &line);

// What GetZemInfo told about the driver; its text is code page 437.
struct DriverRecord {
  std::string name;
  std::string banner;
  std::uint32_t state_size = 0;
  vuzov::LineSettings defaults{};
};

class RunOutput {
 public:
  // live_screen: the run's output is the live screen, which shows only the
  // latest log lines and is gone when the run ends.
  RunOutput(Hub &hub, bool live_screen) : hub_(hub), live_screen_(live_screen) {}

  bool LiveScreen() const { return live_screen_; }

  // Before anything is shown: which instances play a simulated panel.
  void MarkSimulated(const std::vector<InstanceConfig> &instances);
  void ShowDriver(const DriverRecord &driver, const std::string &module_file);
  void ShowInstances(const Instances &instances, const std::string &gates_text);
  // Shows the driver's log lines since `mark` where the run's output does
  // not keep them, then the message, on standard error.
  void Fail(std::size_t mark, const std::string &message) const;
  void Summarise();

 private:
  Hub &hub_;
  const bool live_screen_;
};

}  // namespace zemhost

#endif
