// Exchange time over the line's floor: SingleRead and SingleWrite through
// ZemMain against panelsim in its own process, and the same exchanges done by
// the bare loop on the same line, in alternating rounds so that both see the
// same machine.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bare_line.h"
#include "bench.h"
#include "driver_host.h"
#include "stats.h"

namespace vuzov_bench {
namespace {

constexpr int kRounds = 10;
constexpr int kWarmUpsPerRound = 3;
// The line is left idle between exchanges, long enough for the ACK of a frame
// to have crossed it: each exchange starts as a poll on a quiet line does.
constexpr auto kIdleGap = std::chrono::milliseconds(3);
constexpr double kBudgetMsPerSide = 5000.0;

constexpr std::uint8_t kSilence[] = {0x02, 0x02, 0x00, 0x02, 0x02};
constexpr std::int32_t kZoneAlarmResult = '3' + 1 * 65535;

struct Case {
  Reply reply;
  unsigned timeout_units;
};

struct Side {
  Samples ms;
  Samples cpu_micros;
  double cpu_total = 0.0;
  int failures = 0;
  double CpuMean() const {
    return cpu_micros.Count() == 0 ? 0.0 : cpu_total / static_cast<double>(cpu_micros.Count());
  }
};

int ExchangesPerSide(const Context &context, const Case &c) {
  if (context.smoke) return kRounds;
  const double each = FloorMs(c.reply, c.timeout_units) + 3.0;
  return std::clamp(static_cast<int>(kBudgetMsPerSide / each), 100, 600) / kRounds * kRounds;
}

// One driver exchange; false when it failed or brought the wrong reply.
bool DriverExchange(Instance &instance, Reply reply) {
  if (reply == Reply::kCommandAck) return instance.Write('S') == 0 && instance.Acknowledged();
  if (instance.Read() != 0) return false;
  return instance.ResultWord() == (reply == Reply::kEot ? 0 : kZoneAlarmResult);
}

bool BareExchange(BareLine &line, const Case &c) {
  const std::chrono::milliseconds timeout(10 * c.timeout_units);
  if (c.reply == Reply::kCommandAck) {
    std::uint8_t answer = 0;
    return line.Command(kSilence, sizeof kSilence, timeout, &answer) && answer == 0x06;
  }
  std::uint8_t reply[kLongestReply];
  const std::size_t length = line.Poll(timeout, reply);
  if (c.reply == Reply::kEot) return length == 1 && reply[0] == 0x04;
  return length == FrameLength(c.reply) && reply[0] == 0x02;
}

// Times one exchange and its CPU, keeping them unless it is a warm-up.
template <typename Exchange>
void Measure(Side *side, bool keep, Exchange exchange) {
  const double cpu_before = ProcessCpuMicros();
  const Clock::time_point start = Clock::now();
  const bool ok = exchange();
  const Clock::time_point end = Clock::now();
  const double cpu_after = ProcessCpuMicros();
  if (!ok) ++side->failures;
  if (keep && ok) {
    side->ms.Add(MillisBetween(start, end));
    side->cpu_micros.Add(cpu_after - cpu_before);
    side->cpu_total += cpu_after - cpu_before;
  }
  SleepFor(kIdleGap);
}

bool RunCase(const Context &context, Instance &instance, const Case &c, Side *driver,
             Side *bare) {
  const int per_side = ExchangesPerSide(context, c);
  const int per_round = per_side / kRounds + kWarmUpsPerRound;
  PanelConfig config;
  config.program = context.panelsim;
  config.frame_length = FrameLength(c.reply);
  const bool framed = c.reply == Reply::kFrame9 || c.reply == Reply::kFrame20;
  config.messages = framed ? static_cast<unsigned>(2 * kRounds * per_round + 10) : 0;
  std::string error;
  auto panel = PanelProcess::Spawn(config, context.work, &error);
  if (!panel) {
    std::fprintf(stderr, "bench: %s\n", error.c_str());
    return false;
  }
  if (instance.Start(panel->HostPortName(), c.timeout_units) != 0) {
    std::fprintf(stderr, "bench: ColdStart on %s failed: %s\n", panel->SlavePath().c_str(),
                 HostLog::LastComplaint().c_str());
    return false;
  }
  for (int round = 0; round < kRounds; ++round) {
    if (round > 0 && instance.ReopenPort() != 0) return false;
    for (int i = 0; context.driver_side && i < per_round; ++i) {
      Measure(driver, i >= kWarmUpsPerRound, [&] { return DriverExchange(instance, c.reply); });
    }
    // The driver holds the port exclusively; the bare loop opens it after.
    instance.ClosePort();
    auto line = BareLine::Open(panel->SlavePath(), &error);
    if (!line) {
      std::fprintf(stderr, "bench: %s\n", error.c_str());
      return false;
    }
    for (int i = 0; context.bare_side && i < per_round; ++i) {
      Measure(bare, i >= kWarmUpsPerRound, [&] { return BareExchange(*line, c); });
    }
  }
  return true;
}

std::string CaseName(const Case &c) {
  static const char *const kNames[] = {"eot", "frame9", "frame20", "command"};
  return std::string(kNames[static_cast<int>(c.reply)]) + "/" + std::to_string(c.timeout_units);
}

std::string Ratio(double value, double base) { return Format("%.3f", base > 0 ? value / base : 0.0); }

}  // namespace

int RunExchangeBench(const Context &context) {
  std::printf("\n### Exchange time over the line's floor (9600 baud 8N1, panelsim in its own "
              "process)\n\n");
  std::printf("Times in ms, with their ratio to the floor in brackets. The bare loop does the "
              "same exchange\nwith plain writes, ppoll and one-byte reads, and no driver; the "
              "two take turns on the same\nline in %d rounds.\n\n",
              kRounds);
  HostLog::Install();
  QarHostReset();
  LoadExchangeGates();
  Instance instance(context.zem_main, 1);
  std::vector<Case> cases;
  for (unsigned timeout : {2u, 5u, 10u}) {
    for (Reply reply : {Reply::kEot, Reply::kFrame9, Reply::kFrame20, Reply::kCommandAck}) {
      cases.push_back({reply, timeout});
    }
  }
  Table times({"exchange", "timeout", "n", "floor", "driver median", "driver p99", "bare median",
               "bare p99", "driver / bare", "failed"});
  Table cpu({"exchange", "timeout", "driver mean", "bare mean", "mean ratio", "driver median",
             "bare median", "median ratio"});
  int failures = 0;
  for (const Case &c : cases) {
    if (!context.exchange_case.empty() && context.exchange_case != CaseName(c)) continue;
    Side driver;
    Side bare;
    if (!RunCase(context, instance, c, &driver, &bare)) {
      ++failures;
      continue;
    }
    failures += driver.failures + bare.failures;
    const double floor = FloorMs(c.reply, c.timeout_units);
    const auto with_ratio = [floor](double ms) { return Format("%.3f (%.3f)", ms, ms / floor); };
    const std::string name = c.reply == Reply::kCommandAck
                                 ? std::string("SingleWrite S, ACK")
                                 : std::string("SingleRead, ") + ReplyName(c.reply);
    const std::string timeout = Format("%u0 ms", c.timeout_units);
    times.Row({name, timeout, Format("%zu", driver.ms.Count()), Format("%.3f", floor),
               with_ratio(driver.ms.Median()), with_ratio(driver.ms.P99()),
               with_ratio(bare.ms.Median()), with_ratio(bare.ms.P99()),
               Ratio(driver.ms.Median(), bare.ms.Median()),
               Format("%d", driver.failures + bare.failures)});
    cpu.Row({name, timeout, Format("%.1f", driver.CpuMean()), Format("%.1f", bare.CpuMean()),
             Ratio(driver.CpuMean(), bare.CpuMean()), Format("%.1f", driver.cpu_micros.Median()),
             Format("%.1f", bare.cpu_micros.Median()),
             Ratio(driver.cpu_micros.Median(), bare.cpu_micros.Median())});
  }
  times.Print();
  std::printf("\nCPU time (user + system) of this process per exchange, in microseconds, "
              "from getrusage\naround each exchange.\n\n");
  cpu.Print();
  return failures;
}

}  // namespace vuzov_bench
