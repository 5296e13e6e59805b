#include "events/events.h"

#include <cerrno>
#include <cstring>

#include "events/cp437.h"

namespace zemhost {
namespace {

constexpr std::size_t kRecentLogLines = 64;
constexpr const char kShutdownLine[] = "ZODODA> ShutDown !";

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

// Control bytes are dropped on the way to a terminal, so a log line cannot
// move the cursor or change colours.
std::string Shown(const char *cp437_text) { return Cp437ToUtf8(cp437_text ? cp437_text : ""); }

}  // namespace

std::string JsonString(const std::string &cp437_text) {
  std::string out = "\"";
  for (unsigned char byte : cp437_text) {
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else if (byte >= 0x80) {
      out += Cp437ToUtf8(std::string(1, static_cast<char>(byte)));
    } else {
      out += static_cast<char>(byte);
    }
  }
  out += '"';
  return out;
}

std::string FormatValue(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

std::string HexBytes(const std::uint8_t *bytes, std::size_t count) {
  std::string out;
  char hex[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
    if (i > 0) out += ' ';
    out += hex;
  }
  return out;
}

Hub::Hub(Format format, std::FILE *out, SteadyClock::time_point start)
    : format_(format), out_(out), start_(start) {}

double Hub::Now() const {
  return std::chrono::duration<double>(SteadyClock::now() - start_).count();
}

void Hub::WriteLine(const std::string &line) {
  if (format_ == Format::kScreen || output_error_.load() != 0) return;
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  FlushOut();
}

// A failed write leaves its mark on the stream; the flush is where buffered
// text meets the file, so both are checked there.
void Hub::FlushOut() {
  errno = 0;
  if (std::fflush(out_) == 0 && !std::ferror(out_)) return;
  const int error = errno;
  OutputLost(error != 0 ? error : EIO);
}

void Hub::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  FlushOut();
}

void Hub::OutputLost(int error) {
  int none = 0;
  output_error_.compare_exchange_strong(none, error);
}

InstanceStatus *Hub::StatusOf(int instance) {
  for (InstanceStatus &status : instances_) {
    if (status.number == instance) return &status;
  }
  return nullptr;
}

void Hub::AddInstance(int number, const std::string &port) {
  std::lock_guard<std::mutex> lock(mutex_);
  InstanceStatus status;
  status.number = number;
  status.port = port;
  instances_.push_back(status);
  changed_ = true;
}

void Hub::GateStored(const char *name, double value) {
  const std::string gate = name ? name : "";
  const double now = Now();
  if (HubListener *listener = listener_.load()) listener->GateStored(gate, value);
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = gate_index_.find(gate);
  bool changed = false;
  if (found == gate_index_.end()) {
    gate_index_.emplace(gate, gates_.size());
    GateRow row;
    row.name = gate;
    row.changed_at = now;
    changed = value != 0;  // every gate starts at 0
    row.value = value;
    row.changes = changed ? 1 : 0;
    gates_.push_back(row);
    changed_ = true;
  } else {
    GateRow &row = gates_[found->second];
    changed = row.value != value;
    if (changed) {
      row.value = value;
      row.changes += 1;
      row.changed_at = now;
    }
  }
  if (!changed) return;
  changed_ = true;
  if (format_ == Format::kJson) {
    WriteLine("{\"event\":\"gate\",\"t\":" + Seconds(now) + ",\"name\":" + JsonString(gate) +
              ",\"value\":" + FormatValue(value) + "}");
  } else {
    WriteLine(Seconds(now) + " " + Shown(gate.c_str()) + " = " + FormatValue(value));
  }
}

void Hub::LogLine(std::int32_t level, const char *line) {
  const std::string text = line ? line : "";
  const double now = Now();
  if (HubListener *listener = listener_.load()) listener->LogLine(level, text);
  std::lock_guard<std::mutex> lock(mutex_);
  all_log_.push_back(text);
  recent_log_.push_back(LogEntry{now, "log " + std::to_string(level) + " " + Shown(line)});
  if (recent_log_.size() > kRecentLogLines) recent_log_.pop_front();
  changed_ = true;
  if (format_ == Format::kJson) {
    WriteLine("{\"event\":\"log\",\"t\":" + Seconds(now) + ",\"level\":" + std::to_string(level) +
              ",\"text\":" + JsonString(text) + "}");
  } else {
    WriteLine(Seconds(now) + " log " + std::to_string(level) + " " + Shown(line));
  }
  if (text == kShutdownLine) {
    ++shutdowns_;
    shutdown_seen_.notify_all();
  }
}

void Hub::Exchange(int instance, const std::string &point, std::uint32_t result,
                   std::int32_t value) {
  const double now = Now();
  if (HubListener *listener = listener_.load()) listener->Exchange(instance, result);
  std::lock_guard<std::mutex> lock(mutex_);
  if (InstanceStatus *status = StatusOf(instance)) {
    status->exchanges += 1;
    if (result != 0) status->failures += 1;
    status->last_result = result;
  }
  changed_ = true;
  if (format_ == Format::kJson) {
    WriteLine("{\"event\":\"exchange\",\"t\":" + Seconds(now) +
              ",\"instance\":" + std::to_string(instance) + ",\"command\":\"read\",\"point\":" +
              JsonString(point) + ",\"result\":" + std::to_string(result) +
              (result == 0 ? ",\"value\":" + std::to_string(value) : std::string()) + "}");
  } else if (result != 0) {
    WriteLine(Seconds(now) + " instance " + std::to_string(instance) + " read " + Shown(point.c_str()) +
              " failed: result " + std::to_string(result));
  }
}

void Hub::Command(int instance, const std::string &point, std::uint32_t result,
                  bool acknowledged) {
  const double now = Now();
  if (HubListener *listener = listener_.load()) {
    listener->Command(instance, point, result, acknowledged);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++commands_sent_;
  if (result == 0 && acknowledged) ++commands_acknowledged_;
  std::string outcome = acknowledged ? "acknowledged" : "not acknowledged";
  if (result != 0) outcome += " (result " + std::to_string(result) + ")";
  const std::string shown = Shown(point.c_str());
  if (InstanceStatus *status = StatusOf(instance)) {
    status->exchanges += 1;
    if (result != 0) status->failures += 1;
    status->last_result = result;
    status->last_command = shown + " " + outcome + " at " + Seconds(now) + " s";
  }
  recent_log_.push_back(LogEntry{now, "command " + shown + " " + outcome});
  if (recent_log_.size() > kRecentLogLines) recent_log_.pop_front();
  changed_ = true;
  if (format_ == Format::kJson) {
    WriteLine("{\"event\":\"command\",\"t\":" + Seconds(now) +
              ",\"instance\":" + std::to_string(instance) + ",\"point\":" + JsonString(point) +
              ",\"result\":" + std::to_string(result) +
              ",\"acknowledged\":" + (acknowledged ? "true" : "false") + "}");
  } else {
    WriteLine(Seconds(now) + " instance " + std::to_string(instance) + " command " + shown + " " +
              outcome);
  }
}

void Hub::Trace(int instance, bool from_driver, const std::vector<std::uint8_t> &bytes) {
  if (bytes.empty()) return;
  const double now = Now();
  const std::string hex = HexBytes(bytes.data(), bytes.size());
  std::lock_guard<std::mutex> lock(mutex_);
  if (format_ == Format::kJson) {
    WriteLine("{\"event\":\"trace\",\"t\":" + Seconds(now) +
              ",\"instance\":" + std::to_string(instance) + ",\"from\":\"" +
              (from_driver ? "driver" : "panel") + "\",\"hex\":\"" + hex + "\"}");
  } else {
    WriteLine(Seconds(now) + " trace " + std::to_string(instance) + " " +
              (from_driver ? "[" + hex + "]" : "<" + hex + ">"));
  }
}

void Hub::TraceNote(int instance, const std::string &note) {
  const double now = Now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (format_ == Format::kJson) {
    WriteLine("{\"event\":\"trace\",\"t\":" + Seconds(now) +
              ",\"instance\":" + std::to_string(instance) + ",\"note\":" + JsonString(note) + "}");
  } else {
    WriteLine(Seconds(now) + " trace " + std::to_string(instance) + " ! " + Shown(note.c_str()));
  }
}

void Hub::Notice(const std::string &text) {
  const double now = Now();
  std::lock_guard<std::mutex> lock(mutex_);
  recent_log_.push_back(LogEntry{now, Shown(text.c_str())});
  if (recent_log_.size() > kRecentLogLines) recent_log_.pop_front();
  changed_ = true;
  if (format_ == Format::kJson) {
    WriteLine("{\"event\":\"notice\",\"t\":" + Seconds(now) + ",\"text\":" + JsonString(text) + "}");
  } else {
    WriteLine(Seconds(now) + " zemhost: " + Shown(text.c_str()));
  }
}

void Hub::JsonEvent(const std::string &name, const std::string &members) {
  const double now = Now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (format_ == Format::kJson) {
    WriteLine("{\"event\":\"" + name + "\",\"t\":" + Seconds(now) + "," + members + "}");
  }
}

Snapshot Hub::Take() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Snapshot snapshot;
  snapshot.now = Now();
  snapshot.gates = gates_;
  snapshot.instances = instances_;
  snapshot.log.assign(recent_log_.begin(), recent_log_.end());
  return snapshot;
}

bool Hub::WaitForShutdowns(int count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return shutdown_seen_.wait_for(lock, timeout, [&] { return shutdowns_ >= count; });
}

std::vector<std::string> Hub::LogLinesSince(std::size_t first) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (first >= all_log_.size()) return {};
  return std::vector<std::string>(all_log_.begin() + static_cast<std::ptrdiff_t>(first),
                                  all_log_.end());
}

std::size_t Hub::LogLineCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return all_log_.size();
}

std::uint64_t Hub::CommandsSent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_sent_;
}

std::uint64_t Hub::CommandsAcknowledged() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_acknowledged_;
}

bool Hub::Changed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return changed_;
}

void Hub::ClearChanged() {
  std::lock_guard<std::mutex> lock(mutex_);
  changed_ = false;
}

}  // namespace zemhost
