// What one panel's line carried lately, and what its host did meanwhile, so
// that a lost alarm explains itself: the last few hundred events in memory,
// and for every alarm the panel retired, the events around the ACK that
// retired it, kept until the host has shown that it stored the alarm.
#ifndef VUZOV_SOAK_FRAMES_H
#define VUZOV_SOAK_FRAMES_H

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "simulator.h"

namespace vuzov_soak {

class FrameLog {
 public:
  using Clock = std::chrono::steady_clock;
  // Times are counted from `began`, the soak's start, so that every panel's
  // lines and their hosts' can be read side by side; `panel_started` is when
  // the panel's own clock started.
  FrameLog(int panel, Clock::time_point began, Clock::time_point panel_started);

  // On the panel's thread, for every trace event.
  void Add(const panelsim::TraceEvent &event);
  // On the host's thread: what it did, stamped now ("SingleRead returned 2").
  void AddHost(const std::string &what);

  // On the host's thread: forgets the windows of retired alarms that
  // `stored(zone)` holds; the others are kept for Window().
  void ForgetStored(const std::function<bool(int zone)> &stored);

  // The lines around the ACK that retired `zone`'s alarm, or none when the
  // panel never retired it (or its host stored it).
  std::vector<std::string> Window(int zone) const;
  // The line's last `count` events.
  std::vector<std::string> Last(std::size_t count) const;

  static constexpr std::size_t kKept = 400;      // events in memory
  static constexpr std::size_t kBefore = 48;     // of a window, up to the ACK
  static constexpr std::size_t kAfter = 16;      // of a window, after the ACK

 private:
  struct Capture {
    int zone;
    std::vector<std::string> lines;
    std::size_t after = 0;  // lines taken after the ACK
  };

  std::string Line(const panelsim::TraceEvent &event) const;
  void Append(std::string line, int retired_zone);

  const int panel_;
  const Clock::time_point began_;
  const std::chrono::nanoseconds offset_;
  mutable std::mutex mutex_;
  std::deque<std::string> recent_;
  std::vector<Capture> open_;            // still taking lines after the ACK
  std::map<int, Capture> retired_;       // not yet shown stored
};

// The zone of an "ACK retires zone-alarm N" note, or -1.
int RetiredZone(const panelsim::TraceEvent &event);

}  // namespace vuzov_soak

#endif
