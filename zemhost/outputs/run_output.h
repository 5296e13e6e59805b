// What the run itself says, beside the events the hub reports from every
// thread: the driver's record and the instances at the start, the live
// screen's frames, why a step failed, and the closing summary. Each goes to
// the run's output as lines, JSON or the live screen.
#ifndef VUZOV_ZEMHOST_RUN_OUTPUT_H
#define VUZOV_ZEMHOST_RUN_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "events/events.h"
#include "host_interface.h"
#include "run/instance.h"
#include "outputs/live_screen.h"
#include "cli/options.h"

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
  explicit RunOutput(Hub &hub) : hub_(hub) {}

  bool Screen() const { return hub_.format() == Format::kScreen; }

  // Before anything is shown: which instances play a simulated panel, for the
  // label that every output of such a run carries.
  void MarkSimulated(const std::vector<InstanceConfig> &instances);
  void ShowDriver(const DriverRecord &driver, const std::string &module_file);
  void ShowInstances(const Instances &instances, const std::string &gates_text);
  // Shows the driver's log lines since `mark` where the run's output does
  // not already show them, then the message, on standard error.
  void Fail(std::size_t mark, const std::string &message) const;

  // The live screen: the first frame's set-up, a frame when something changed
  // (at most ten a second), and the last frame with the screen given back.
  void BeginScreen();
  void DrawIfDue();
  void EndScreen();

  void Summarise();

 private:
  void Draw();

  Hub &hub_;
  ScreenHeader header_;
  bool drawing_ = false;  // the live screen has begun
  double last_draw_ = -1;
};

}  // namespace zemhost

#endif
