// A simulated FP11x panel on a pty, played in the same process, for a run with
// no hardware. Linux only: on Windows Start says so.
#ifndef VUZOV_ZEMHOST_SIMULATED_PANEL_H
#define VUZOV_ZEMHOST_SIMULATED_PANEL_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zemhost {

struct PanelTrace {
  // One frame seen on the line, or a note of the simulator's ("hangup").
  std::function<void(bool from_driver, const std::vector<std::uint8_t> &bytes)> frame;
  std::function<void(const std::string &note)> note;
};

// The demo scenario built into zemhost.
extern const char kEmbeddedDemoScenario[];

class SimulatedPanel {
 public:
  enum class Failure { kNone, kBadScenario, kLine };

  // Reads the scenario (a file, or "demo" for the built-in one) and starts the
  // panel at `baud`. On failure *error says why and *failure which kind it was;
  // a bad scenario's lines are reported as "FILE:LINE: message".
  static std::unique_ptr<SimulatedPanel> Start(const std::string &scenario, unsigned baud,
                                               PanelTrace trace, std::string *error,
                                               Failure *failure);
  ~SimulatedPanel();  // stops the panel and closes its pty
  SimulatedPanel(const SimulatedPanel &) = delete;
  SimulatedPanel &operator=(const SimulatedPanel &) = delete;

  // The name the driver opens, e.g. "pts/7".
  std::string PortName() const;

  struct Impl;

 private:
  explicit SimulatedPanel(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace zemhost

#endif
