// vuzov_bench_wine: the Windows half of the exchange benchmark. vuzov_bench runs
// it under Wine with a COM port of the prefix pointing at panelsim's pty; it
// loads vuzov.dll as the host does and times each exchange through ZemMain.
//
// usage: vuzov_bench_wine PORT TIMEOUT_UNITS COUNT read|write
// Prints "ms <duration>" for each timed exchange, then "failed <count>".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "driver_host.h"
#include "module_loader.h"
#include "qarpro.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWarmUps = 3;
constexpr auto kIdleGap = std::chrono::milliseconds(3);
constexpr std::int32_t kZoneAlarmResult = '3' + 1 * 65535;

bool Exchange(vuzov_bench::Instance &instance, bool write) {
  if (write) return instance.Write('S') == 0 && instance.Acknowledged();
  if (instance.Read() != 0) return false;
  const std::int32_t word = instance.ResultWord();
  return word == 0 || word == kZoneAlarmResult;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: vuzov_bench_wine PORT TIMEOUT_UNITS COUNT read|write\n");
    return 2;
  }
  const std::string port = argv[1];
  const auto timeout = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const int count = std::atoi(argv[3]);
  const bool write = std::strcmp(argv[4], "write") == 0;

  std::string error;
  vuzov_loader::LoadedModule module =
      vuzov_loader::LoadedModule::Load(vuzov_loader::ModuleFileName(), &error);
  if (!module) {
    std::fprintf(stderr, "vuzov_bench_wine: cannot load %s: %s\n", vuzov_loader::ModuleFileName(),
                 error.c_str());
    return 2;
  }
  vuzov_bench::HostLog::Install();
  vuzov_bench::LoadExchangeGates();
  int failed = 0;
  {
    vuzov_bench::Instance instance(module.Entry(), 1);
    if (instance.Start(port, timeout) != 0) {
      std::fprintf(stderr, "vuzov_bench_wine: ColdStart on %s failed: %s\n", port.c_str(),
                   vuzov_bench::HostLog::LastComplaint().c_str());
      return 2;
    }
    for (int i = 0; i < kWarmUps + count; ++i) {
      const Clock::time_point start = Clock::now();
      const bool ok = Exchange(instance, write);
      const Clock::time_point end = Clock::now();
      if (!ok) {
        ++failed;
      } else if (i >= kWarmUps) {
        std::printf("ms %.6f\n", std::chrono::duration<double, std::milli>(end - start).count());
      }
      std::this_thread::sleep_for(kIdleGap);
    }
  }
  std::printf("failed %d\n", failed);
  return 0;
}
