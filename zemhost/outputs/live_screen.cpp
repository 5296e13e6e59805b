#include "outputs/live_screen.h"

#include <algorithm>
#include <cstdio>

#include "events/event_text.h"
#include "platform/platform.h"
#include "split.h"

namespace zemhost {
namespace {

// A gate that changed this recently is highlighted.
constexpr double kHighlightSeconds = 3.0;
constexpr double kRedrawSeconds = 0.1;  // at most ten frames a second
constexpr int kCellWidth = 40;

constexpr const char kBold[] = "\x1b[1m";
constexpr const char kHighlight[] = "\x1b[1;30;43m";
constexpr const char kDim[] = "\x1b[2m";
constexpr const char kReset[] = "\x1b[0m";
constexpr const char kClearLine[] = "\x1b[K";

// Cuts UTF-8 text to `width` code points; every character the screen shows
// is one column wide.
std::string Fit(const std::string &text, int width) {
  std::string out;
  int shown = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    const bool starts_character = (byte & 0xC0) != 0x80;
    if (starts_character) {
      if (shown == width) break;
      ++shown;
    }
    out += text[i];
  }
  return out;
}

std::string Pad(const std::string &text, int width) {
  std::string out = Fit(text, width);
  int shown = 0;
  for (unsigned char byte : out) shown += (byte & 0xC0) != 0x80 ? 1 : 0;
  out.append(static_cast<std::size_t>(std::max(0, width - shown)), ' ');
  return out;
}

// With several instances a gate's name is its instance's: "2:CP1Z3".
std::string GateCell(const GateRow &gate, double now, bool several) {
  const std::string name = several ? std::to_string(gate.instance) + ":" + gate.name : gate.name;
  char text[96];
  std::snprintf(text, sizeof text, "%-14s %10s %8.1fs %3llu", name.c_str(),
                FormatValue(gate.value).c_str(), gate.changed_at,
                static_cast<unsigned long long>(gate.changes));
  const std::string cell = Pad(text, kCellWidth - 1);
  const bool fresh = gate.changes > 0 && now - gate.changed_at < kHighlightSeconds;
  return fresh ? std::string(kHighlight) + cell + kReset + " " : cell + " ";
}

// "link up since 2.1 s (poll answered)"
std::string LinkText(const InstanceStatus &status) {
  if (status.link == LinkState::kUnknown) return "link unknown (no answer yet)";
  char since[48];
  std::snprintf(since, sizeof since, " since %.1f s (", status.link_since);
  return std::string("link ") + LinkStateName(status.link) + since + status.link_why + ")";
}

std::string StatusLine(const InstanceStatus &status) {
  char text[160];
  std::snprintf(text, sizeof text, "  exchanges %llu  failures %llu  last result %u",
                static_cast<unsigned long long>(status.exchanges),
                static_cast<unsigned long long>(status.failures), status.last_result);
  // The link and the counts first: a long port description is what a narrow
  // terminal cuts.
  return "#" + std::to_string(status.number) + " " + LinkText(status) + text + "  | " + status.port;
}

class Frame {
 public:
  Frame(int rows, int cols) : rows_(rows), cols_(cols) {}
  bool Full() const { return used_ >= rows_; }
  int Left() const { return rows_ - used_; }
  // A line of plain text, cut to the width.
  void Line(const std::string &text, const char *style = nullptr) {
    if (Full()) return;
    if (style != nullptr) out_ += style;
    out_ += Fit(text, cols_);
    if (style != nullptr) out_ += kReset;
    End();
  }
  // A line already made of cells that fit.
  void Cells(const std::string &cells) {
    if (Full()) return;
    out_ += cells;
    End();
  }
  std::string Finish() { return out_ + "\x1b[J"; }

 private:
  void End() {
    out_ += kClearLine;
    ++used_;
    if (used_ < rows_) out_ += "\r\n";
  }

  int rows_;
  int cols_;
  int used_ = 0;
  std::string out_ = "\x1b[H";
};

}  // namespace

std::string ScreenBegin() { return "\x1b[?25l\x1b[H\x1b[2J"; }

std::string ScreenEnd() { return "\x1b[0m\x1b[?25h\r\n"; }

std::string RenderScreen(const ScreenHeader &header, const Snapshot &snapshot, int rows, int cols) {
  rows = std::max(rows, 8);
  cols = std::max(cols, 20);
  Frame frame(rows, cols);
  // Above all else, on a line that no terminal size leaves out.
  if (!header.simulated.empty()) frame.Line(header.simulated, kHighlight);
  if (rows >= 24) {
    for (const std::string &line : header.banner) frame.Line(line);
  }
  char clock[96];
  std::snprintf(clock, sizeof clock, "  %.1f s   keys: a acknowledge  s silence  r reset  q quit",
                snapshot.now);
  frame.Line("driver \"" + header.driver_name + "\"" + clock, kBold);
  // A lost panel stands out: nothing the table shows of it is current.
  for (const InstanceStatus &status : snapshot.instances) {
    frame.Line(StatusLine(status), status.link == LinkState::kDown ? kHighlight : nullptr);
    // On a line of its own: at the end of the status line a terminal of 80
    // columns cut it, and the log's line of it may scroll away unseen
    // between two frames, so an operator never saw what became of a key.
    if (!status.last_command.empty()) frame.Line("   last command " + status.last_command);
  }

  const int columns = std::max(1, cols / kCellWidth);
  char titles[64];
  std::snprintf(titles, sizeof titles, "%-14s %10s %9s %3s", "gate", "value", "changed", "n");
  std::string heading;
  for (int c = 0; c < columns; ++c) heading += Pad(titles, kCellWidth);
  frame.Line(heading, kDim);
  // The gates take the rows they need, the log keeps at least a few.
  constexpr int kMinLogRows = 3;
  const std::size_t wanted_rows =
      (snapshot.gates.size() + static_cast<std::size_t>(columns) - 1) / static_cast<std::size_t>(columns);
  const int room = std::max(1, frame.Left() - kMinLogRows - 2);
  const int gate_rows = std::max(1, std::min(room, static_cast<int>(wanted_rows)));
  if (snapshot.gates.empty()) {
    frame.Line("(no gate stored yet)");
  }
  const std::size_t capacity = static_cast<std::size_t>(gate_rows) * static_cast<std::size_t>(columns);
  const std::size_t shown = std::min(snapshot.gates.size(), capacity);
  const std::size_t per_column = (shown + static_cast<std::size_t>(columns) - 1) / static_cast<std::size_t>(columns);
  for (std::size_t row = 0; row < per_column; ++row) {
    std::string cells;
    for (std::size_t c = 0; c < static_cast<std::size_t>(columns); ++c) {
      const std::size_t index = c * per_column + row;
      if (index < shown) {
        cells += GateCell(snapshot.gates[index], snapshot.now, snapshot.instances.size() > 1);
      }
    }
    frame.Cells(cells);
  }
  if (shown < snapshot.gates.size()) {
    frame.Line("(" + std::to_string(snapshot.gates.size() - shown) + " more gates: enlarge the terminal)", kDim);
  }
  frame.Line("");
  frame.Line("log", kDim);
  const std::size_t first =
      snapshot.log.size() > static_cast<std::size_t>(frame.Left()) ? snapshot.log.size() - static_cast<std::size_t>(frame.Left()) : 0;
  for (std::size_t i = first; i < snapshot.log.size(); ++i) {
    char time[24];
    std::snprintf(time, sizeof time, "%8.3f ", snapshot.log[i].time);
    frame.Line(time + snapshot.log[i].text);
  }
  while (!frame.Full()) frame.Line("");
  return frame.Finish();
}

void LiveScreen::Take(const Event &event) {
  std::visit(Overloaded{
                 [&](const SimulatedLabel &label) {
                   const std::lock_guard<std::mutex> lock(mutex_);
                   header_.simulated = label.text;
                 },
                 [&](const DriverShown &driver) {
                   const std::lock_guard<std::mutex> lock(mutex_);
                   header_.banner = toolbox::SplitNonEmpty(Shown(driver.banner), '\n');
                   header_.driver_name = Shown(driver.name);
                 },
                 [&](const RunEnded &end) {
                   const std::lock_guard<std::mutex> lock(mutex_);
                   if (began_) {
                     Draw();  // the last frame shows the shutdown's log lines
                     out_.Write(ScreenEnd());
                   }
                   out_.Write("zemhost: " + RunSummary(end) + "\n");
                 },
                 [](const TraceFrame &) {},
                 [](const TraceNote &) {},
                 [&](const auto &) { changed_ = true; },
             },
             event.body);
}

void LiveScreen::Tick() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!began_) {
    out_.Write(ScreenBegin());
    began_ = true;
  }
  if (hub_.Now() - last_draw_ >= kRedrawSeconds && changed_ && out_.Idle()) Draw();
}

void LiveScreen::Draw() {
  int rows = 0;
  int cols = 0;
  TerminalSize(&rows, &cols);
  changed_ = false;
  out_.Write(RenderScreen(header_, hub_.Take(), rows, cols));
  last_draw_ = hub_.Now();
}

}  // namespace zemhost
