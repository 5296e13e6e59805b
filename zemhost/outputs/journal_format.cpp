// The journal's form of the line output, for a run under a service manager
// whose standard error is the journal: the line output's text, one line per
// event, led by the event's level as sd-daemon(3) describes ("<5>CP1Z3 = 1"),
// so that `journalctl -p warning` shows what went wrong. The journal stamps
// each line's time itself.
#include "events/event_text.h"
#include "host_interface.h"
#include "outputs/event_writer.h"

namespace zemhost {
namespace {

Severity SeverityOf(const Event &event) {
  return std::visit(
      Overloaded{
          [](const LogLine &line) {
            return line.level == vuzov::kLogNotice ? Severity::kNotice : Severity::kInfo;
          },
          [](const GateStored &) { return Severity::kNotice; },
          [](const PollDone &poll) { return poll.result == 0 ? Severity::kDebug : Severity::kWarning; },
          [](const CommandDone &command) {
            return command.result == 0 && command.acknowledged ? Severity::kNotice
                                                               : Severity::kWarning;
          },
          [](const LinkChanged &change) {
            if (change.state == LinkState::kDown) return Severity::kWarning;
            return change.state == LinkState::kUp ? Severity::kNotice : Severity::kInfo;
          },
          [](const TraceFrame &) { return Severity::kDebug; },
          [](const TraceNote &) { return Severity::kDebug; },
          [](const Notice &notice) { return notice.severity; },
          // Even a journal read for warnings alone says that the panel is not real.
          [](const SimulatedLabel &) { return Severity::kWarning; },
          [](const auto &) { return Severity::kInfo; },
      },
      event.body);
}

// The banner's words without its box: the journal keeps lines, not drawings.
std::string BannerWords(const std::string &cp437_banner) {
  const std::string shown = Shown(cp437_banner);
  std::string words;
  bool gap = false;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    // Box drawing is U+2500 to U+257F: E2 94 xx and E2 95 xx in UTF-8.
    if (shown.compare(i, 2, "\xE2\x94") == 0 || shown.compare(i, 2, "\xE2\x95") == 0) {
      i += 2;
      gap = true;
      continue;
    }
    const char c = shown[i];
    if (c == ' ' || c == '\n' || c == '\t') {
      gap = true;
      continue;
    }
    if (gap && !words.empty()) words += ' ';
    gap = false;
    words += c;
  }
  return words;
}

std::string DriverLine(const DriverShown &driver) {
  return "driver \"" + Shown(driver.name) + "\" (" + BannerWords(driver.banner) + "), module " +
         driver.module_file + ", state size " + std::to_string(driver.state_size) +
         " bytes, defaults " + std::to_string(driver.baud) + " baud " + driver.framing;
}

// The line output's text of the event, less its time, on one line.
std::string EventText(const Event &event) {
  if (const auto *driver = std::get_if<DriverShown>(&event.body)) return DriverLine(*driver);
  std::string text = LineFormat(event);
  const std::string time = Seconds(event.time) + " ";
  if (text.compare(0, time.size(), time) == 0) text.erase(0, time.size());
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char &c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

}  // namespace

std::string JournalLine(Severity severity, const std::string &text) {
  return "<" + std::to_string(static_cast<int>(severity)) + ">" + text;
}

std::string JournalFormat(const Event &event) {
  const std::string text = EventText(event);
  if (text.empty()) return text;
  return JournalLine(SeverityOf(event), text);
}

}  // namespace zemhost
