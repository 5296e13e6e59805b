#include "run/simulated_panel.h"

namespace zemhost {

// The simulator needs a pty: on Windows there is none to play the panel on.
struct SimulatedPanel::Impl {};

SimulatedPanel::SimulatedPanel(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SimulatedPanel::~SimulatedPanel() = default;

std::unique_ptr<SimulatedPanel> SimulatedPanel::Start(const std::string &, unsigned, PanelTrace,
                                                      std::string *error, Failure *failure) {
  *error =
      "the simulated panel needs the Linux build; on Windows give --port COMn (a real panel, or "
      "the Linux panelsim on a linked port)";
  *failure = Failure::kBadScenario;
  return nullptr;
}

std::string SimulatedPanel::PortName() const { return std::string(); }

}  // namespace zemhost
