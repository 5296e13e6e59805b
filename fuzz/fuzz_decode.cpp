// Panel replies as any bytes, against the host library's gate table.
//
// Input: byte 0 chooses the host's gates and whether the point has a result word,
// bytes 1 to 4 are the point's panel number, byte 5 how many bytes the reply
// delivered (unless byte 0 says all of them), the rest the receive area. Each input is decoded twice, once with
// the undelivered positions zero and once with them full of old bytes: both
// decodings must make the same stores, lines and result word.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "long_range.h"
#include "panel_protocol.h"

using namespace vuzov;

namespace {

struct Effects {
  std::vector<std::string> events;  // stores and log lines, in order
  std::int32_t result_word = 0;
  bool operator==(const Effects &other) const {
    return events == other.events && result_word == other.result_word;
  }
};

Effects *g_effects = nullptr;

void OnLog(void *, std::int32_t level, const char *line) {
  g_effects->events.push_back("log " + std::to_string(level) + " " + line);
}

void OnStore(void *, std::uint8_t, std::uint32_t, const char *name, double value) {
  g_effects->events.push_back(std::string(name) + "=" + std::to_string(value));
}

// Which gates the host has: all of them (created on demand), the panel's type and
// state gates with a few zones, only the type gate, or none.
void PrepareHost(std::uint8_t mode, std::int32_t panel) {
  QarHostReset();
  const std::string p = "CP" + std::to_string(panel);
  switch (mode & 3) {
    case 0:
      QarHostSetDiscovery(1);
      break;
    case 1:
      for (const char *suffix : {"MS", "ST", "Z0", "Z1", "Z260", "Z0E0", "Z-1E-1"}) {
        QarHostAddGate((p + suffix).c_str());
      }
      break;
    case 2:
      QarHostAddGate((p + "MS").c_str());
      break;
    default:
      break;
  }
}

// Reads a zone or element number at `at`; false unless one is there.
bool ReadNumber(const std::string &text, std::size_t &at) {
  const std::size_t start = at;
  if (at < text.size() && text[at] == '-') ++at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  return at > start && text[at - 1] != '-';
}

// Every stored name is whole: this panel, then "MS", "ST", "Z<zone>" or
// "Z<zone>E<element>", then the value.
void CheckNames(const Effects &effects, std::int32_t panel) {
  const std::string p = "CP" + std::to_string(panel);
  for (const auto &event : effects.events) {
    if (event.compare(0, 4, "log ") == 0) continue;
    const std::string name = event.substr(0, event.find('='));
    if (name.compare(0, p.size(), p) != 0) std::abort();
    const std::string rest = name.substr(p.size());
    if (rest == "MS" || rest == "ST") continue;
    std::size_t at = 1;
    if (rest.empty() || rest[0] != 'Z' || !ReadNumber(rest, at)) std::abort();
    if (at == rest.size()) continue;
    if (rest[at] != 'E' || !ReadNumber(rest, ++at) || at != rest.size()) std::abort();
  }
}

Effects DecodeOnce(const std::uint8_t *reply, std::size_t length, std::size_t delivered,
                   std::uint8_t old_byte, std::uint8_t mode, std::int32_t panel) {
  PrepareHost(mode, panel);
  InstanceState state;
  std::memset(&state, old_byte, sizeof state);
  std::memcpy(state.receive, reply, length < delivered ? length : delivered);
  const std::uint8_t first = state.receive[0];
  std::uint8_t before[kReceiveAreaSize];
  std::memcpy(before, state.receive, sizeof before);

  Effects effects;
  PointBlock point{};
  point.panel = panel;
  point.result = (mode & 4) != 0 ? nullptr : &effects.result_word;
  Request request{};
  request.state = &state;
  request.command = kSingleRead;
  request.params = &point;

  // A count beyond the area stands for the whole area.
  g_effects = &effects;
  DecodeReply(&request, (mode & 8) != 0 && delivered == kReceiveAreaSize ? SIZE_MAX : delivered);
  g_effects = nullptr;

  // Only a decoded message clears the first four bytes; nothing else changes.
  const bool decoded = delivered > 0 && first != kEot;
  const std::size_t cleared = decoded ? 4 : 0;
  for (std::size_t i = 0; i < cleared; ++i) {
    if (state.receive[i] != 0) std::abort();
  }
  if (std::memcmp(state.receive + cleared, before + cleared, sizeof before - cleared) != 0) {
    std::abort();
  }
  return effects;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const bool ready = (QarHostSetLogSink(&OnLog, nullptr),
                             QarHostSetGateSink(&OnStore, nullptr), true);
  (void)ready;
  if (size < 6) return 0;
  const std::uint8_t mode = data[0];
  std::int32_t panel;
  std::memcpy(&panel, data + 1, sizeof panel);
  const std::uint8_t *reply = data + 6;
  std::size_t length = size - 6;
  if (length > kReceiveAreaSize) length = kReceiveAreaSize;
  const std::size_t delivered = (mode & 8) != 0 ? length : data[5] % (length + 1);
  if (vuzov_fuzz::HasLongRange(reply, delivered)) return 0;

  const Effects clean = DecodeOnce(reply, length, delivered, 0x00, mode, panel);
  const Effects stale = DecodeOnce(reply, length, delivered, 0xA5, mode, panel);
  if (!(clean == stale)) std::abort();
  CheckNames(clean, panel);
  return 0;
}
