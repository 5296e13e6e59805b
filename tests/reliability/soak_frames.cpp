#include "soak_frames.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace vuzov_soak {

int RetiredZone(const panelsim::TraceEvent &event) {
  static const std::string kRetires = "ACK retires zone-alarm ";
  if (event.kind != panelsim::TraceEvent::Kind::kReceived ||
      event.note.compare(0, kRetires.size(), kRetires) != 0) {
    return -1;
  }
  return std::atoi(event.note.c_str() + kRetires.size());
}

FrameLog::FrameLog(int panel, Clock::time_point began, Clock::time_point panel_started)
    : panel_(panel), began_(began), offset_(panel_started - began) {}

std::string FrameLog::Line(const panelsim::TraceEvent &event) const {
  panelsim::TraceEvent shifted = event;
  shifted.time += offset_;
  char who[16];
  std::snprintf(who, sizeof who, "  panel %d ", panel_);
  return who + panelsim::FormatTrace(shifted);
}

void FrameLog::Add(const panelsim::TraceEvent &event) {
  Append(Line(event), RetiredZone(event));
}

void FrameLog::AddHost(const std::string &what) {
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "  host %d  %.6f   ", panel_,
                std::chrono::duration<double>(Clock::now() - began_).count());
  Append(stamp + what, -1);
}

void FrameLog::Append(std::string line, int zone) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto capture = open_.begin(); capture != open_.end();) {
    capture->lines.push_back(line);
    if (++capture->after < kAfter) {
      ++capture;
      continue;
    }
    retired_[capture->zone] = std::move(*capture);
    capture = open_.erase(capture);
  }
  recent_.push_back(std::move(line));
  if (recent_.size() > kKept) recent_.pop_front();
  if (zone < 0) return;
  Capture capture;
  capture.zone = zone;
  const std::size_t first = recent_.size() > kBefore ? recent_.size() - kBefore : 0;
  capture.lines.assign(recent_.begin() + static_cast<std::ptrdiff_t>(first), recent_.end());
  open_.push_back(std::move(capture));
}

void FrameLog::ForgetStored(const std::function<bool(int zone)> &stored) {
  std::vector<int> zones;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Capture &capture : open_) zones.push_back(capture.zone);
    for (const auto &entry : retired_) zones.push_back(entry.first);
  }
  // Asked without the lock, which the panel's thread takes for every event.
  std::vector<int> forget;
  for (int zone : zones) {
    if (stored(zone)) forget.push_back(zone);
  }
  if (forget.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  for (int zone : forget) {
    retired_.erase(zone);
    for (auto capture = open_.begin(); capture != open_.end(); ++capture) {
      if (capture->zone != zone) continue;
      open_.erase(capture);
      break;
    }
  }
}

std::vector<std::string> FrameLog::Window(int zone) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = retired_.find(zone);
  if (found != retired_.end()) return found->second.lines;
  for (const Capture &capture : open_) {
    if (capture.zone == zone) return capture.lines;
  }
  return {};
}

std::vector<std::string> FrameLog::Last(std::size_t count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t first = recent_.size() > count ? recent_.size() - count : 0;
  return std::vector<std::string>(recent_.begin() + static_cast<std::ptrdiff_t>(first),
                                  recent_.end());
}

}  // namespace vuzov_soak
