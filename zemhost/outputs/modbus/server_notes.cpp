#include "outputs/modbus/server_notes.h"

#include <utility>

namespace zemhost::modbus {
namespace {

constexpr std::chrono::seconds kQuietTime{1};

}  // namespace

void ServerNotes::Note(NoteKind kind, const std::string &text) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (kind == NoteKind::kOnce) {
    once_.push_back(text);
    return;
  }
  Held &held = held_[kind];
  held.last = text;
  held.count += 1;
}

void ServerNotes::SayDue(const Say &say, Clock::time_point now) {
  std::vector<std::string> lines;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string &text : once_) lines.push_back("modbus: " + text);
    once_.clear();
    for (auto &[kind, held] : held_) {
      if (held.count == 0 || (held.ever_said && now - held.said_at < kQuietTime)) continue;
      std::string line = "modbus: " + held.last;
      if (held.count > 1) {
        line += " (and " + std::to_string(held.count - 1) + " more like it since the last word)";
      }
      lines.push_back(line);
      held.count = 0;
      held.said_at = now;
      held.ever_said = true;
    }
  }
  for (const std::string &line : lines) say(line);
}

}  // namespace zemhost::modbus
