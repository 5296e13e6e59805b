// Many panels: N instances, each on its own pty with its own panelsim process,
// polled at once from N host threads. Aggregate exchanges per second over a
// common window, against N times what one panel alone reaches.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <memory>
#include <thread>
#include <vector>

#include "bench.h"
#include "driver_host.h"
#include "stats.h"

namespace vuzov_bench {
namespace {

constexpr unsigned kTimeoutUnits = 5;
constexpr auto kWarmUp = std::chrono::milliseconds(300);
constexpr int kCounts[] = {1, 8, 32, 64};
constexpr int kMostPanels = 64;

struct Window {
  Clock::time_point start;
  Clock::time_point end;
};

struct PollerResult {
  std::uint64_t exchanges = 0;  // completed inside the window
  std::uint64_t failures = 0;
};

// One host thread: polls its instance until the window has closed.
void Poll(Instance *instance, Window window, PollerResult *result) {
  for (;;) {
    const std::uint32_t status = instance->Read();
    const Clock::time_point done = Clock::now();
    if (status != 0) ++result->failures;
    if (status == 0 && done >= window.start && done <= window.end) ++result->exchanges;
    if (done > window.end) return;
  }
}

// The whole machine's CPU counters, from the first line of /proc/stat.
struct MachineTicks {
  unsigned long long busy = 0;
  unsigned long long total = 0;
};

MachineTicks ReadMachineTicks() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0,
                     steal = 0;
  stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
  MachineTicks ticks;
  ticks.busy = user + nice + system + irq + softirq + steal;
  ticks.total = ticks.busy + idle + iowait;
  return ticks;
}

struct Figures {
  double per_second = 0;
  double cpu_share = 0;        // cores used by this process in the window
  double panel_cpu_share = 0;  // cores used by the panelsim processes
  double machine_busy = 0;     // share of all cores busy, whoever used them
  std::uint64_t failures = 0;
};

Figures RunPanels(const Context &context, Instances &instances, int count, Reply reply,
                  std::chrono::milliseconds length, int *setup_failures) {
  std::vector<std::unique_ptr<PanelProcess>> panels;
  PanelConfig config;
  config.program = context.panelsim;
  config.frame_length = FrameLength(reply);
  const double each_ms = FloorMs(reply, kTimeoutUnits);
  config.messages = reply == Reply::kEot
                        ? 0
                        : static_cast<unsigned>(2 * (length.count() + kWarmUp.count()) / each_ms + 20);
  for (int i = 0; i < count; ++i) {
    std::string error;
    auto panel = PanelProcess::Spawn(config, context.work, &error);
    if (!panel || instances[static_cast<std::size_t>(i)]->Start(panel->HostPortName(), kTimeoutUnits) != 0) {
      std::fprintf(stderr, "bench: panel %d did not start: %s %s\n", i + 1, error.c_str(),
                   HostLog::LastComplaint().c_str());
      ++*setup_failures;
      for (int j = 0; j <= i; ++j) instances[static_cast<std::size_t>(j)]->ClosePort();
      return {};
    }
    panels.push_back(std::move(panel));
  }
  const Clock::time_point begin = Clock::now();
  const Window window{begin + kWarmUp, begin + kWarmUp + length};
  std::vector<PollerResult> results(static_cast<std::size_t>(count));
  std::vector<std::thread> pollers;
  for (int i = 0; i < count; ++i) {
    const auto at = static_cast<std::size_t>(i);
    pollers.emplace_back(&Poll, instances[at].get(), window, &results[at]);
  }
  const auto panels_cpu = [&panels] {
    double total = 0;
    for (const auto &panel : panels) total += panel->CpuMicros();
    return total;
  };
  SleepFor(window.start - Clock::now());
  const double cpu_before = ProcessCpuMicros();
  const double panels_before = panels_cpu();
  const MachineTicks machine_before = ReadMachineTicks();
  SleepFor(window.end - Clock::now());
  const double cpu_after = ProcessCpuMicros();
  const double panels_after = panels_cpu();
  const MachineTicks machine_after = ReadMachineTicks();
  for (auto &poller : pollers) poller.join();
  for (int i = 0; i < count; ++i) instances[static_cast<std::size_t>(i)]->ClosePort();

  Figures figures;
  std::uint64_t exchanges = 0;
  for (const PollerResult &result : results) {
    exchanges += result.exchanges;
    figures.failures += result.failures;
  }
  const double seconds = std::chrono::duration<double>(length).count();
  figures.per_second = static_cast<double>(exchanges) / seconds;
  figures.cpu_share = (cpu_after - cpu_before) / (seconds * 1e6);
  figures.panel_cpu_share = (panels_after - panels_before) / (seconds * 1e6);
  const unsigned long long ticks = machine_after.total - machine_before.total;
  figures.machine_busy =
      ticks == 0 ? 0.0 : static_cast<double>(machine_after.busy - machine_before.busy) / static_cast<double>(ticks);
  return figures;
}

}  // namespace

int RunManyPanelsBench(const Context &context) {
  const auto length = context.smoke ? std::chrono::milliseconds(300) : std::chrono::milliseconds(3000);
  std::printf("\n### Many panels: N instances polled at once from N host threads (timeout 50 "
              "ms, %.0f s window)\n\n",
              std::chrono::duration<double>(length).count());
  HostLog::Install();
  QarHostReset();
  LoadExchangeGates();
  Instances instances = MakeInstances(context.zem_main, kMostPanels);
  Table table({"reply", "panels", "exchanges/s", "per panel", "N x single", "share of N x single",
               "host CPU (cores)", "panelsim CPU (cores)", "machine busy", "failed"});
  int failures = 0;
  for (Reply reply : {Reply::kEot, Reply::kFrame9}) {
    double single = 0;
    for (int count : kCounts) {
      const Figures figures = RunPanels(context, instances, count, reply, length, &failures);
      if (count == 1) single = figures.per_second;
      failures += static_cast<int>(figures.failures);
      const double expected = single * count;
      table.Row({ReplyName(reply), Format("%d", count), Format("%.0f", figures.per_second),
                 Format("%.1f", figures.per_second / count), Format("%.0f", expected),
                 Format("%.1f %%", expected > 0 ? 100.0 * figures.per_second / expected : 0.0),
                 Format("%.2f", figures.cpu_share), Format("%.2f", figures.panel_cpu_share),
                 Format("%.0f %%", 100.0 * figures.machine_busy), Format("%llu", static_cast<unsigned long long>(figures.failures))});
    }
  }
  table.Print();
  return failures;
}

}  // namespace vuzov_bench
