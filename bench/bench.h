// What every section of the benchmark shares: the loaded driver, the programs it
// starts, a scratch folder, and the line the panels run at.
#ifndef VUZOV_BENCH_BENCH_H
#define VUZOV_BENCH_BENCH_H

#include <chrono>
#include <cstdint>
#include <string>

#include "module_loader.h"
#include "panel_process.h"

namespace vuzov_bench {

using Clock = std::chrono::steady_clock;

struct Context {
  vuzov_loader::ZemMainFn zem_main = nullptr;
  std::string panelsim;    // the panelsim program
  std::string zemhost;     // the zemhost program, for the gateways' figures
  std::string wine_build;  // the Windows build folder, for the figure under Wine
  WorkDir *work = nullptr;
  // A run that only proves every case works: a handful of exchanges each, and
  // no figure worth reading.
  bool smoke = false;
  // For profiling one case with strace or callgrind: only the exchange cases
  // whose "reply/timeout" name is listed (eot/2, frame9/5, frame20/10,
  // command/5, ...), and only the driver or only the bare loop.
  std::string exchange_case;
  bool driver_side = true;
  bool bare_side = true;
};

// The line: 9600 baud, 10 bits a byte (8N1).
inline constexpr double kBaud = 9600.0;
inline constexpr double kBitsPerByte = 10.0;
inline constexpr double kByteMs = 1000.0 * kBitsPerByte / kBaud;

// What a poll or command gets back from the simulated panel.
enum class Reply { kEot, kFrame9, kFrame20, kCommandAck };
const char *ReplyName(Reply reply);
unsigned FrameLength(Reply reply);  // the panel's --frame-length for the reply
// The line's physical floor of one exchange: the bytes each way at the line's
// rate, plus the read timeout of silence that ends a framed reply (a full one
// of 20 bytes too: whatever follows it is read away until the line is silent).
double FloorMs(Reply reply, unsigned timeout_units);

// CPU time (user + system) of this process so far, in microseconds.
double ProcessCpuMicros();
void SleepFor(std::chrono::nanoseconds duration);
double MillisBetween(Clock::time_point from, Clock::time_point to);

// Each section prints its tables and returns how many exchanges or steps failed.
int RunExchangeBench(const Context &context);
int RunIdleBench(const Context &context);
int RunManyPanelsBench(const Context &context);
int RunDecodeBench(const Context &context);
int RunWineBench(const Context &context);
int RunMqttBench(const Context &context);
int RunModbusBench(const Context &context);

}  // namespace vuzov_bench

#endif
