#include "outputs/standard_error.h"
#include "run/run_setup.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <vector>

#include "gate_names.h"
#include "qarpro.h"

namespace zemhost {
namespace {

constexpr int kDefaultZones = 255;

// The longest gate name the driver asks for. A longer name is one no store
// could reach.
constexpr std::size_t kMaxGateName = vuzov::kGateNameSize - 1;

// What is wrong with a gate name; empty when a host could hold it: printable
// ASCII with no spaces, as the driver's own names are, and no longer than
// the longest of them.
std::string GateNameProblem(const std::string &name) {
  if (name.size() > kMaxGateName) {
    return "gate name of " + std::to_string(name.size()) + " characters; the longest is " +
           std::to_string(kMaxGateName);
  }
  for (unsigned char c : name) {
    if (c <= 0x20 || c >= 0x7F) {
      return "gate name '" + name + "' holds a space or a character other than printable ASCII";
    }
  }
  return std::string();
}

// One name a line; blank lines and '#' comments are skipped. Every line is
// checked before any gate is created, so a bad list creates none.
bool ReadGateList(const std::string &path, std::vector<std::string> *names, std::string *error) {
  std::ifstream file;
  if (!OpenInputFile(path, "the gate list", &file, error)) return false;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const std::string name = Trim(line.substr(0, line.find('#')));
    if (name.empty()) continue;
    const std::string problem = GateNameProblem(name);
    if (!problem.empty()) {
      *error = path + ":" + std::to_string(number) + ": " + problem;
      return false;
    }
    names->push_back(name);
  }
  if (names->empty()) {
    *error = path + ": the gate list names no gate";
    return false;
  }
  return true;
}

// The default gates of one panel: its message type and state gates and every
// zone.
std::string AddDefaultGates(int panel) {
  const vuzov::GateName type = vuzov::MessageTypeGate(panel);
  const vuzov::GateName state = vuzov::StateGate(panel);
  QarHostAddGate(type.text);
  QarHostAddGate(state.text);
  for (int zone = 1; zone <= kDefaultZones; ++zone) {
    QarHostAddGate(vuzov::ZoneGate(panel, zone).text);
  }
  return std::string(type.View()) + ", " + std::string(state.View()) + ", " +
         std::string(vuzov::ZoneGate(panel, 1).View()) + ".." +
         std::string(vuzov::ZoneGate(panel, kDefaultZones).View());
}

// Settings no line here can be set to are refused before anything starts, as
// a bad flag is, whether they came from the flags, a config file or the
// driver's defaults: never silently replaced by others.
Exit RefuseUnsettableLine(const Instance &instance) {
  const std::string problem = LineSettingsProblem(instance.line);
  if (problem.empty()) return std::nullopt;
  std::fprintf(stderr, "zemhost: instance %d (%s): %s\n", instance.number,
               instance.config.origin.c_str(), problem.c_str());
  return kExitUsage;
}

}  // namespace

Exit RunSetup::Prepare(Instances *instances, std::uint32_t *state_size) {
  DriverRecord driver;
  output_.MarkSimulated(config_.instances);
  if (Exit exit = ReadDriverInfo(&driver)) return exit;
  *state_size = driver.state_size;
  for (std::size_t i = 0; i < config_.instances.size(); ++i) {
    auto instance = std::make_unique<Instance>();
    instance->config = config_.instances[i];
    instance->number = static_cast<int>(i) + 1;
    instance->line = ResolveLine(instance->config, driver.defaults);
    if (Exit exit = RefuseUnsettableLine(*instance)) return exit;
    instances->push_back(std::move(instance));
  }
  for (auto &instance : *instances) {
    if (Exit exit = CheckAddresses(*instance)) return exit;
  }
  std::string gates_text;
  if (Exit exit = SetUpGates(*instances, &gates_text)) return exit;
  for (auto &instance : *instances) {
    if (Exit exit = OpenLine(*instance)) return exit;
  }
  output_.ShowInstances(*instances, gates_text);
  return std::nullopt;
}

Exit RunSetup::ReadDriverInfo(DriverRecord *driver) {
  vuzov::DriverInfo info{};
  const std::uint32_t result = GetZemInfo(zem_main_, &info);
  if (result != vuzov::kOk) {
    SayOnStandardError("the driver's GetZemInfo returned " + std::to_string(result));
    return kExitModule;
  }
  driver->name = info.name != nullptr ? info.name : "";
  driver->banner = info.banner != nullptr ? info.banner : "";
  driver->state_size = info.state_size;
  driver->defaults = info.line;
  output_.ShowDriver(*driver, config_.module_path);
  return std::nullopt;
}

vuzov::LineSettings RunSetup::ResolveLine(const InstanceConfig &instance,
                                          const vuzov::LineSettings &defaults) {
  vuzov::LineSettings line = defaults;
  if (instance.baud) line.baud = *instance.baud;
  if (instance.data_bits) line.data_bits = *instance.data_bits;
  if (instance.stop_bits) line.stop_bits = *instance.stop_bits;
  if (instance.parity) line.parity = *instance.parity;
  return line;
}

// Every address goes through the driver's own check (command 3) before
// anything starts; the panel number it reads names the point's gates.
Exit RunSetup::CheckAddresses(Instance &instance) {
  std::vector<std::string> addresses = PointsOf(instance.config);
  const std::size_t point_count = addresses.size();
  for (const ScheduledSend &send : instance.config.sends) addresses.push_back(send.address);
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const std::size_t mark = hub_.LogLineCount();
    int panel = 0;
    if (CheckAddress(zem_main_, addresses[i], &panel) != vuzov::kOk) {
      output_.Fail(mark, "instance " + std::to_string(instance.number) + " (" +
                             instance.config.origin + "): the driver rejects the point address '" +
                             addresses[i] + "'");
      return kExitUsage;
    }
    const Point point{addresses[i], panel};
    if (i < point_count) {
      instance.points.push_back(point);
    } else {
      instance.commands.push_back(TimedCommand{point, instance.config.sends[i - point_count].at});
    }
  }
  return std::nullopt;
}

// A gate list and discovery together: the list's gates exist from the start
// and discovery adds the rest.
Exit RunSetup::SetUpGates(const Instances &instances, std::string *text) {
  if (!config_.gates_path.empty()) {
    std::vector<std::string> names;
    std::string error;
    if (!ReadGateList(config_.gates_path, &names, &error)) {
      SayOnStandardError(error);
      return kExitUsage;
    }
    for (const std::string &name : names) QarHostAddGate(name.c_str());
    const std::set<std::string> distinct(names.begin(), names.end());
    *text = std::to_string(distinct.size()) + " from " + config_.gates_path;
  }
  if (config_.discover) {
    QarHostSetDiscovery(1);
    *text += (text->empty() ? "" : "; ") + std::string("discovery: every gate the driver asks for");
  }
  if (!text->empty()) return std::nullopt;
  std::set<int> panels;
  for (const auto &instance : instances) {
    for (const Point &point : instance->points) panels.insert(point.panel);
  }
  for (int panel : panels) *text += (text->empty() ? "" : ", ") + AddDefaultGates(panel);
  return std::nullopt;
}

Exit RunSetup::OpenLine(Instance &instance) {
  if (!instance.config.simulate.empty()) return OpenSimulatedPanel(instance);
  if (config_.trace) return OpenRelay(instance);
  instance.port_name = instance.config.port;
  instance.description = instance.port_name;
  return std::nullopt;
}

Exit RunSetup::OpenSimulatedPanel(Instance &instance) {
  const int number = instance.number;
  Hub *hub = &hub_;
  PanelTrace trace;
  if (config_.trace) {
    trace.frame = [hub, number](bool from_driver, const std::vector<std::uint8_t> &bytes) {
      hub->Report(number, TraceFrame{from_driver, bytes});
    };
    trace.note = [hub, number](const std::string &note) { hub->Report(number, TraceNote{note}); };
  }
  std::string error;
  SimulatedPanel::Failure failure = SimulatedPanel::Failure::kNone;
  instance.panel =
      SimulatedPanel::Start(instance.config.simulate, instance.line.baud, trace, &error, &failure);
  if (!instance.panel) {
    SayOnStandardError(error);
    return failure == SimulatedPanel::Failure::kBadScenario ? kExitUsage : kExitPort;
  }
  instance.port_name = instance.panel->PortName();
  instance.description =
      instance.port_name + " (simulated panel: " + instance.config.simulate + ")";
  return std::nullopt;
}

// For the trace on a real port zemhost opens the device itself and the driver
// talks through a pty.
Exit RunSetup::OpenRelay(Instance &instance) {
  const int number = instance.number;
  if (instance.config.port == "NUL") {
    SayOnStandardError("instance " + std::to_string(number) +
                       ": --trace relays a serial line, and NUL is the null device, with no "
                       "line to relay: run it without --trace");
    return kExitUsage;
  }
  Hub *hub = &hub_;
  std::string error;
  instance.relay = LineRelay::Open(
      instance.config.port, instance.line,
      [hub, number](bool from_driver, const std::vector<std::uint8_t> &bytes) {
        hub->Report(number, TraceFrame{from_driver, bytes});
      },
      &error);
  if (!instance.relay) {
    SayOnStandardError("instance " + std::to_string(number) + ": " + error);
    return kExitPort;
  }
  instance.port_name = instance.relay->PortName();
  instance.description = instance.config.port + " (relayed through " + instance.port_name + ")";
  return std::nullopt;
}

}  // namespace zemhost
