#include "outputs/standard_error.h"
#include "run/run_output.h"

#include <cstdio>
#include <vector>

#include "events/cp437.h"

namespace zemhost {
namespace {

std::string JoinAddresses(const std::vector<Point> &points) {
  std::string out;
  for (const Point &point : points) out += (out.empty() ? "" : " ") + point.address;
  return out;
}

std::string InstanceText(const Instance &instance) {
  char flags[8];
  std::snprintf(flags, sizeof flags, "%04X", static_cast<unsigned>(instance.config.flags));
  const unsigned baud = instance.line.baud;
  return instance.description + ", " + std::to_string(baud) + " baud " +
         FramingName(instance.line) + ", timeout " +
         std::to_string(instance.config.timeout * 10) + " ms, flags 0x" + flags + ", points " +
         JoinAddresses(instance.points);
}

// Each instance that plays a scenario, so that no output of the run can pass
// for a real panel's.
std::string SimulatedText(const std::vector<InstanceConfig> &instances) {
  std::string which;
  int simulated = 0;
  for (std::size_t i = 0; i < instances.size(); ++i) {
    if (instances[i].simulate.empty()) continue;
    ++simulated;
    which += (which.empty() ? "" : ", ") + std::string("instance ") + std::to_string(i + 1) +
             " plays " + instances[i].simulate;
  }
  if (simulated == 0) return std::string();
  return std::string(simulated == 1 ? "SIMULATED PANEL" : "SIMULATED PANELS") + ": " + which +
         "; nothing shown for " + (simulated == 1 ? "it" : "them") + " comes from a real panel";
}

}  // namespace

std::string FramingName(const vuzov::LineSettings &line) {
  static const char parity_letters[] = "NOEMS";
  static const char *const stop_names[] = {"1", "1.5", "2"};
  const unsigned bits = line.data_bits & 0xFF;
  const unsigned parity = line.parity & 0xFF;
  const unsigned stop = line.stop_bits & 0xFF;
  std::string text = std::to_string(bits);
  text += parity < 5 ? parity_letters[parity] : '?';
  text += stop < 3 ? stop_names[stop] : "?";
  return text;
}

void RunOutput::MarkSimulated(const std::vector<InstanceConfig> &instances) {
  const std::string text = SimulatedText(instances);
  if (!text.empty()) hub_.Report(0, SimulatedLabel{text});
}

void RunOutput::ShowDriver(const DriverRecord &driver, const std::string &module_file) {
  hub_.Report(0, DriverShown{module_file, driver.name, driver.banner, driver.state_size,
                             driver.defaults.baud, FramingName(driver.defaults)});
}

void RunOutput::ShowInstances(const Instances &instances, const std::string &gates_text) {
  for (const auto &instance : instances) {
    const int panel = instance->points.empty() ? instance->config.panel
                                               : instance->points.front().panel;
    hub_.Report(instance->number,
                InstanceShown{instance->port_name, instance->description,
                              instance->config.simulate, InstanceText(*instance), panel});
  }
  hub_.Report(0, GatesShown{gates_text});
}

void RunOutput::Fail(std::size_t mark, const std::string &message) const {
  if (live_screen_) {
    for (const std::string &line : hub_.LogLinesSince(mark)) {
      std::fprintf(stderr, "  %s\n", Cp437ToUtf8(line).c_str());
    }
  }
  SayOnStandardError(message);
}

void RunOutput::Summarise() {
  RunEnded end;
  for (const InstanceStatus &status : hub_.Take().instances) {
    end.exchanges += status.exchanges;
    end.failures += status.failures;
  }
  end.commands = hub_.CommandsSent();
  end.acknowledged = hub_.CommandsAcknowledged();
  hub_.Report(0, end);
}

}  // namespace zemhost
