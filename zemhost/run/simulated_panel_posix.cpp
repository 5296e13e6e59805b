#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli/options.h"
#include "scenario.h"
#include "run/simulated_panel.h"
#include "simulator.h"
#include "unique_fd.h"

namespace zemhost {

struct SimulatedPanel::Impl {
  std::unique_ptr<panelsim::Simulator> simulator;
  // The line's own end, held for the run. When the panel hangs up, its pty
  // is closed; held here, the pty's number stays taken, so the driver's
  // reopen of the name fails as it would on a device that went away,
  // instead of opening the next pty anyone on this machine makes.
  toolbox::UniqueFd held_line;
};

SimulatedPanel::SimulatedPanel(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

SimulatedPanel::~SimulatedPanel() {
  if (impl_->simulator) impl_->simulator->Stop();
}

namespace {

bool ReadScenario(const std::string &name, panelsim::Scenario *scenario, std::string *error) {
  std::vector<std::string> errors;
  std::string label = name;
  bool parsed = false;
  if (name == kDemoScenario) {
    std::istringstream text(kEmbeddedDemoScenario);
    label = "demo scenario";
    parsed = panelsim::ParseScenario(text, scenario, &errors);
  } else {
    std::ifstream file(name);
    if (!file) {
      *error = "cannot read scenario " + name + ": " + std::strerror(errno);
      return false;
    }
    parsed = panelsim::ParseScenario(file, scenario, &errors);
  }
  if (parsed) return true;
  error->clear();
  for (const std::string &line : errors) {
    if (!error->empty()) *error += '\n';
    *error += label + ":" + line;
  }
  return false;
}

}  // namespace

std::unique_ptr<SimulatedPanel> SimulatedPanel::Start(const std::string &scenario_name,
                                                      unsigned baud, PanelTrace trace,
                                                      std::string *error, Failure *failure) {
  panelsim::Scenario scenario;
  if (!ReadScenario(scenario_name, &scenario, error)) {
    *failure = Failure::kBadScenario;
    return nullptr;
  }
  panelsim::Options options;
  options.baud = baud;
  auto impl = std::make_unique<Impl>();
  impl->simulator = std::make_unique<panelsim::Simulator>(std::move(scenario), options);
  if (trace.frame || trace.note) {
    impl->simulator->SetTrace([trace](const panelsim::TraceEvent &event) {
      using Kind = panelsim::TraceEvent::Kind;
      // The panel received what the driver sent, and sent what the driver got.
      if (event.kind == Kind::kReceived && trace.frame) trace.frame(true, event.bytes);
      if (event.kind == Kind::kSent && trace.frame) trace.frame(false, event.bytes);
      if (event.kind == Kind::kNote && trace.note) trace.note(event.note);
    });
  }
  std::string problem;
  if (!impl->simulator->Start(&problem)) {
    *error = "the simulated panel did not start: " + problem;
    *failure = Failure::kLine;
    return nullptr;
  }
  impl->held_line.reset(
      ::open(impl->simulator->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!impl->held_line) {
    *error = "the simulated panel's line cannot be held: " + std::string(std::strerror(errno));
    *failure = Failure::kLine;
    return nullptr;
  }
  return std::unique_ptr<SimulatedPanel>(new SimulatedPanel(std::move(impl)));
}

std::string SimulatedPanel::PortName() const {
  const std::string path = impl_->simulator->SlavePath();
  return path.compare(0, 5, "/dev/") == 0 ? path.substr(5) : path;
}

}  // namespace zemhost
