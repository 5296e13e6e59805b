// Idle cost: started instances whose threads wait in QarWaitMsg, and nothing
// else going on. CPU time and voluntary context switches of the whole process
// over a quiet window.
#include <sys/resource.h>

#include <cstdio>

#include "bench.h"
#include "driver_host.h"
#include "stats.h"

namespace vuzov_bench {
namespace {

// A started thread pauses a second before it waits; the window opens after.
constexpr auto kSettle = std::chrono::milliseconds(1500);

struct Usage {
  double cpu_micros;
  long voluntary_switches;
  long involuntary_switches;
};

Usage ProcessUsage() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {ProcessCpuMicros(), usage.ru_nvcsw, usage.ru_nivcsw};
}

}  // namespace

int RunIdleBench(const Context &context) {
  const auto window = context.smoke ? std::chrono::milliseconds(200) : std::chrono::milliseconds(10000);
  std::printf("\n### Idle cost: started instances (ColdStart on NUL) over %.1f s\n\n",
              std::chrono::duration<double>(window).count());
  HostLog::Install();
  QarHostReset();
  Table table({"instances", "threads waiting", "CPU in the window", "CPU share of one core",
               "context switches"});
  int failures = 0;
  for (int count : {0, 1, 64}) {
    Instances instances = MakeInstances(context.zem_main, count);
    int started = 0;
    for (auto &instance : instances) {
      if (instance->Start("NUL", 5) == 0) ++started;
    }
    failures += count - started;
    SleepFor(kSettle);
    const Usage before = ProcessUsage();
    SleepFor(window);
    const Usage after = ProcessUsage();
    const double cpu = after.cpu_micros - before.cpu_micros;
    const double seconds = std::chrono::duration<double>(window).count();
    table.Row({Format("%d", count), Format("%u", QarHostClientCount()),
               Format("%.0f us", cpu), Format("%.4f %%", cpu / (seconds * 1e6) * 100.0),
               Format("%ld voluntary, %ld involuntary",
                      after.voluntary_switches - before.voluntary_switches,
                      after.involuntary_switches - before.involuntary_switches)});
  }
  table.Print();
  std::printf("\nThe row with 0 instances is the benchmark's own main thread asleep: the "
              "floor of what\ngetrusage can see here.\n");
  return failures;
}

}  // namespace vuzov_bench
