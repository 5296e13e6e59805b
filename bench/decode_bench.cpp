// Decoding: a zone-range reply that covers 1001 zones, against a host gate
// table of 10,000 gates. DecodeReply is called directly (vuzov_core), with the
// host library stand-in holding the gates, so only the decoding is timed.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench.h"
#include "encoding.h"
#include "panel_protocol.h"
#include "qarpro.h"
#include "stats.h"

namespace vuzov_bench {
namespace {

constexpr int kFirstZone = 1;
constexpr int kLastZone = 1001;
constexpr int kGates = 10000;

// CP1MS, CP1ST and zone gates CP1Z1 upwards, 10,000 in all.
void LoadGateTable() {
  QarHostAddGate("CP1MS");
  QarHostAddGate("CP1ST");
  for (int zone = 1; zone <= kGates - 2; ++zone) {
    QarHostAddGate(("CP1Z" + std::to_string(zone)).c_str());
  }
}

std::uint64_t StoresSoFar() {
  std::uint64_t total = 0;
  const std::uint32_t count = QarHostGateCount();
  for (std::uint32_t id = 1; id <= count; ++id) {
    std::uint32_t stores = 0;
    QarHostGetGate(id, nullptr, 0, nullptr, &stores);
    total += stores;
  }
  return total;
}

}  // namespace

int RunDecodeBench(const Context &context) {
  const int decodes = context.smoke ? 5 : 2000;
  std::printf("\n### Decoding a zone-range reply (zones %d to %d) against %d gates\n\n",
              kFirstZone, kLastZone, kGates);
  QarHostReset();
  QarHostSetGateSink(nullptr, nullptr);
  LoadGateTable();

  panelsim::Message message;
  std::string error;
  if (!panelsim::AlarmRangeMessage(kFirstZone, kLastZone, panelsim::kAlarmRange, &message, &error)) {
    std::fprintf(stderr, "bench: %s\n", error.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> frame = panelsim::BuildFrame(message, panelsim::FrameLayout{});

  vuzov::InstanceState state{};
  state.client_id = 1;
  std::int32_t result_word = 0;
  vuzov::PointBlock point{};
  point.address = "CP1Z1";
  point.panel = 1;
  point.result = &result_word;
  vuzov::Request request{};
  request.state = &state;
  request.command = vuzov::kSingleRead;
  request.params = &point;

  Samples micros;
  const std::uint64_t stores_before = StoresSoFar();
  for (int i = 0; i < decodes + 10; ++i) {
    // The decoder clears the start of the receive area: put the reply back.
    std::memcpy(state.receive, frame.data(), frame.size());
    const Clock::time_point start = Clock::now();
    vuzov::DecodeReply(&request, frame.size());
    const Clock::time_point end = Clock::now();
    if (i >= 10) micros.Add(1000.0 * MillisBetween(start, end));
  }
  const std::uint64_t stores = StoresSoFar() - stores_before;
  const std::uint64_t expected = static_cast<std::uint64_t>(decodes + 10) * (kLastZone - kFirstZone + 3);

  Table table({"decodes", "gate stores each", "median", "p99", "per zone (median)"});
  table.Row({Format("%d", decodes), Format("%llu", static_cast<unsigned long long>(stores / static_cast<std::uint64_t>(decodes + 10))),
             Format("%.1f us", micros.Median()), Format("%.1f us", micros.P99()),
             Format("%.0f ns", 1000.0 * micros.Median() / (kLastZone - kFirstZone + 1))});
  table.Print();
  QarHostReset();
  return stores == expected ? 0 : 1;
}

}  // namespace vuzov_bench
