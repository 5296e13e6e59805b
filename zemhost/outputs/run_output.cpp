#include "outputs/run_output.h"

#include <cstdio>
#include <vector>

#include "events/cp437.h"
#include "platform/platform.h"

namespace zemhost {
namespace {

constexpr double kRedrawSeconds = 0.1;  // at most ten frames a second

std::string JoinAddresses(const std::vector<Point> &points) {
  std::string out;
  for (const Point &point : points) out += (out.empty() ? "" : " ") + point.address;
  return out;
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    if (!line.empty()) lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
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

std::string Counted(std::uint64_t count, const char *noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Each instance that plays a scenario, so that no output of the run can pass
// for a real panel's.
std::string SimulatedLabel(const std::vector<InstanceConfig> &instances) {
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
  header_.simulated = SimulatedLabel(instances);
  // First of all, before the driver's first log line.
  if (hub_.format() == Format::kLines && !header_.simulated.empty()) {
    std::printf("%s\n", header_.simulated.c_str());
    hub_.Flush();
  }
}

void RunOutput::ShowDriver(const DriverRecord &driver, const std::string &module_file) {
  const std::string banner = Cp437ToUtf8(driver.banner);
  header_.banner = SplitLines(banner);
  header_.driver_name = Cp437ToUtf8(driver.name);
  const std::string framing = FramingName(driver.defaults);
  const unsigned baud = driver.defaults.baud;
  if (hub_.format() == Format::kLines) {
    std::printf("%s\n\n", banner.c_str());
    std::printf("module      %s\n", module_file.c_str());
    std::printf("driver      \"%s\"\n", header_.driver_name.c_str());
    std::printf("state size  %u bytes\n", driver.state_size);
    std::printf("defaults    %u baud, %s\n", baud, framing.c_str());
    hub_.Flush();
  }
  hub_.JsonEvent("driver", "\"module\":" + JsonString(module_file) +
                               ",\"name\":" + JsonString(driver.name) +
                               ",\"banner\":" + JsonString(driver.banner) +
                               ",\"state_size\":" + std::to_string(driver.state_size) +
                               ",\"baud\":" + std::to_string(baud) + ",\"framing\":\"" +
                               framing + "\"");
}

void RunOutput::ShowInstances(const Instances &instances, const std::string &gates_text) {
  for (const auto &instance : instances) {
    const std::string text = InstanceText(*instance);
    hub_.AddInstance(instance->number, instance->description);
    if (hub_.format() == Format::kLines) {
      std::printf("instance %d  %s\n", instance->number, text.c_str());
    }
    const std::string &scenario = instance->config.simulate;
    hub_.JsonEvent("instance", "\"instance\":" + std::to_string(instance->number) +
                                   ",\"port\":" + JsonString(instance->port_name) +
                                   ",\"simulated\":" + (scenario.empty() ? "false" : "true") +
                                   (scenario.empty() ? "" : ",\"scenario\":" + JsonString(scenario)) +
                                   ",\"description\":" + JsonString(text));
  }
  if (hub_.format() == Format::kLines) {
    std::printf("gates       %s\n\n", gates_text.c_str());
    hub_.Flush();
  }
}

void RunOutput::Fail(std::size_t mark, const std::string &message) const {
  if (Screen()) {
    for (const std::string &line : hub_.LogLinesSince(mark)) {
      std::fprintf(stderr, "  %s\n", Cp437ToUtf8(line).c_str());
    }
  }
  std::fprintf(stderr, "zemhost: %s\n", message.c_str());
}

void RunOutput::BeginScreen() {
  if (!Screen()) return;
  std::fputs(ScreenBegin().c_str(), stdout);
  drawing_ = true;
}

void RunOutput::DrawIfDue() {
  if (Screen() && hub_.Now() - last_draw_ >= kRedrawSeconds && hub_.Changed()) {
    Draw();
    last_draw_ = hub_.Now();
  }
}

void RunOutput::EndScreen() {
  if (!Screen() || !drawing_) return;
  Draw();  // the last frame shows the shutdown's log lines
  std::fputs(ScreenEnd().c_str(), stdout);
  hub_.Flush();
}

void RunOutput::Draw() {
  int rows = 0;
  int cols = 0;
  TerminalSize(&rows, &cols);
  const Snapshot snapshot = hub_.Take();
  hub_.ClearChanged();
  const std::string frame = RenderScreen(header_, snapshot, rows, cols);
  std::fwrite(frame.data(), 1, frame.size(), stdout);
  hub_.Flush();
}

void RunOutput::Summarise() {
  const Snapshot snapshot = hub_.Take();
  std::uint64_t exchanges = 0;
  std::uint64_t failures = 0;
  for (const InstanceStatus &status : snapshot.instances) {
    exchanges += status.exchanges;
    failures += status.failures;
  }
  const std::uint64_t sent = hub_.CommandsSent();
  const std::uint64_t acknowledged = hub_.CommandsAcknowledged();
  if (hub_.format() == Format::kJson) {
    hub_.JsonEvent("end", "\"exchanges\":" + std::to_string(exchanges) +
                              ",\"failures\":" + std::to_string(failures) +
                              ",\"commands\":" + std::to_string(sent) +
                              ",\"acknowledged\":" + std::to_string(acknowledged));
    return;
  }
  const std::string text = Counted(exchanges, "exchange") + ", " + std::to_string(failures) +
                           " failed; " + Counted(sent, "command") + ", " +
                           std::to_string(acknowledged) + " acknowledged";
  if (Screen()) {
    std::printf("zemhost: %s\n", text.c_str());
    hub_.Flush();
  } else {
    hub_.Notice(text);
  }
}

}  // namespace zemhost
