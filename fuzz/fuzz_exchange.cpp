// Whole SingleRead and SingleWrite exchanges on a real pty, with the fuzzer's
// bytes playing the panel's side of the line.
//
// Input: byte 0 chooses the command, the address and the panel number. Then up
// to three answers, one per frame the driver sends (the poll or the command):
// a length byte (its low five bits, 0 to 31; 0 is silence; bit 7 splits the
// answer in two with a pause longer than the read timeout between the halves)
// followed by that many bytes. Answers the input does not give are silence.
//
// Every exchange must end with 0, 1 or 2, change nothing outside the records it
// owns (guard bytes around each), keep the result word and the gates untouched
// when it fails, name only whole gates of its panel, and leave no descriptor
// open.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dispatch.h"
#include "long_range.h"
#include "panel_protocol.h"
#include "serial_port.h"

using namespace vuzov;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::size_t kGuard = 32;
constexpr std::uint8_t kGuardByte = 0xA7;
constexpr std::uint8_t kClient = 9;
constexpr int kMaxAnswers = 3;
// One read-timeout unit, 10 ms: the shortest the driver knows.
constexpr std::uint32_t kTimeoutUnits = 1;
constexpr int kSplitPauseMs = 15;

// A record with guard bytes on both sides, so a write past either end shows.
template <typename T>
struct Guarded {
  std::uint8_t before[kGuard];
  T value;
  std::uint8_t after[kGuard];
  Guarded() {
    std::memset(before, kGuardByte, sizeof before);
    std::memset(after, kGuardByte, sizeof after);
  }
  bool Intact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      if (before[i] != kGuardByte || after[i] != kGuardByte) return false;
    }
    return true;
  }
};

void Check(bool condition) {
  if (!condition) std::abort();
}

std::size_t OpenDescriptors() {
  std::size_t count = 0;
  DIR *dir = ::opendir("/proc/self/fd");
  Check(dir != nullptr);
  while (const dirent *entry = ::readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
  ::closedir(dir);
  return count - 1;
}

struct Answer {
  Bytes bytes;
  bool split = false;
};

struct Plan {
  bool write = false;
  std::string address;
  std::int32_t panel = 1;
  std::vector<Answer> answers;
};

Plan PlanFrom(const std::uint8_t *data, std::size_t size) {
  Plan plan;
  const std::uint8_t choice = data[0];
  plan.write = (choice & 1) != 0;
  static const char kLetters[] = {'A', 'R', 'S', 'Z'};
  plan.address = std::string("CP1") + kLetters[(choice >> 1) & 3] + ((choice & 8) ? '!' : '3');
  static const std::int32_t kPanels[] = {1, 0, 8, -1, INT_MAX, INT_MIN, 12345, -99999};
  plan.panel = kPanels[(choice >> 4) & 7];
  std::size_t at = 1;
  while (at < size && plan.answers.size() < kMaxAnswers) {
    Answer answer;
    const std::uint8_t length_byte = data[at++];
    answer.split = (length_byte & 0x80) != 0;
    std::size_t length = length_byte & 0x1F;
    if (length > size - at) length = size - at;
    answer.bytes.assign(data + at, data + at + length);
    at += length;
    plan.answers.push_back(answer);
  }
  return plan;
}

// Every reply the driver can take from the plan starts an answer: its whole
// first 20 bytes, or the first half of a split one.
bool PlansLongRange(const Plan &plan) {
  for (const Answer &answer : plan.answers) {
    const std::size_t whole = std::min(answer.bytes.size(), kMaxReplyLength);
    const std::size_t half = std::min(answer.bytes.size() / 2, kMaxReplyLength);
    if (vuzov_fuzz::HasLongRange(answer.bytes.data(), whole) ||
        (answer.split && vuzov_fuzz::HasLongRange(answer.bytes.data(), half))) {
      return true;
    }
  }
  return false;
}

// Owns a descriptor for one exchange.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool WriteAllTo(int fd, const std::uint8_t *bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, bytes, count);
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

// The panel: for every frame the driver starts (ENQ, or the STX of a command
// frame and its four bytes), it sends the next scripted answer. A stop pipe
// ends it without waiting out a poll interval.
class Panel {
 public:
  Panel(int master, std::vector<Answer> answers) : master_(master), answers_(std::move(answers)) {
    int ends[2];
    Check(::pipe2(ends, O_CLOEXEC) == 0);
    stop_read_ = ends[0];
    stop_write_ = ends[1];
    thread_ = std::thread([this] { Run(); });
  }
  ~Panel() {
    const std::uint8_t byte = 1;
    Check(::write(stop_write_, &byte, 1) == 1);
    thread_.join();
    ::close(stop_read_);
    ::close(stop_write_);
  }
  Panel(const Panel &) = delete;
  Panel &operator=(const Panel &) = delete;

 private:
  // Reads one byte from the driver; false when told to stop.
  bool ReadByte(std::uint8_t *byte, int timeout_ms) {
    pollfd fds[2] = {{master_, POLLIN, 0}, {stop_read_, POLLIN, 0}};
    if (::poll(fds, 2, timeout_ms) <= 0) return false;
    if (fds[1].revents != 0) return false;
    return (fds[0].revents & POLLIN) != 0 && ::read(master_, byte, 1) == 1;
  }
  void Run() {
    std::size_t next = 0;
    std::uint8_t byte = 0;
    while (ReadByte(&byte, -1)) {
      if (byte == kStx) {
        for (int i = 0; i < 4 && ReadByte(&byte, 100); ++i) {
        }
      } else if (byte != kEnq) {
        continue;  // the driver's ACK after a frame
      }
      if (next < answers_.size()) Send(answers_[next]);
      ++next;
    }
  }
  void Send(const Answer &answer) {
    const std::size_t first = answer.split ? answer.bytes.size() / 2 : answer.bytes.size();
    WriteAllTo(master_, answer.bytes.data(), first);
    if (!answer.split) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSplitPauseMs));
    WriteAllTo(master_, answer.bytes.data() + first, answer.bytes.size() - first);
  }

  int master_;
  std::vector<Answer> answers_;
  int stop_read_ = -1;
  int stop_write_ = -1;
  std::thread thread_;
};

struct Effects {
  int stores = 0;
  bool names_whole = true;
  std::string panel_prefix;
};
Effects *g_effects = nullptr;

bool IsDigits(const char *text, const char **end) {
  const char *at = text;
  if (*at == '-') ++at;
  const char *digits = at;
  while (*at >= '0' && *at <= '9') ++at;
  *end = at;
  return at > digits;
}

// "CP<panel>MS", "CP<panel>ST", "CP<panel>Z<zone>" or "CP<panel>Z<zone>E<element>".
bool WholeName(const char *name, const std::string &prefix) {
  if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) return false;
  const char *rest = name + prefix.size();
  if (std::strcmp(rest, "MS") == 0 || std::strcmp(rest, "ST") == 0) return true;
  const char *end = nullptr;
  if (*rest != 'Z' || !IsDigits(rest + 1, &end)) return false;
  if (*end == '\0') return true;
  return *end == 'E' && IsDigits(end + 1, &end) && *end == '\0';
}

void OnStore(void *, std::uint8_t client, std::uint32_t, const char *name, double) {
  Check(client == kClient);
  g_effects->stores += 1;
  if (!WholeName(name, g_effects->panel_prefix)) g_effects->names_whole = false;
}

void OnLog(void *, std::int32_t level, const char *line) {
  Check(level == kLogInfo && std::strncmp(line, "ZODODA> ", 8) == 0 && std::strlen(line) < 160);
}

void PrepareGates(std::int32_t panel) {
  QarHostReset();
  const std::string p = "CP" + std::to_string(panel);
  for (const char *suffix : {"MS", "ST", "Z0", "Z1", "Z12", "Z260", "Z12E12", "Z0E0"}) {
    QarHostAddGate((p + suffix).c_str());
  }
}

// One exchange on a fresh pty, checked; everything it opened is closed when it
// returns.
void RunExchange(const Plan &plan) {
  PrepareGates(plan.panel);

  Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  Check(master.get() >= 0 && ::grantpt(master.get()) == 0 && ::unlockpt(master.get()) == 0);
  char slave[64];
  Check(::ptsname_r(master.get(), slave, sizeof slave) == 0);
  termios tio{};
  Check(::tcgetattr(master.get(), &tio) == 0);
  ::cfmakeraw(&tio);
  Check(::tcsetattr(master.get(), TCSANOW, &tio) == 0);

  Guarded<InstanceState> state;
  std::memset(&state.value, 0x5A, sizeof state.value);
  std::memcpy(reinterpret_cast<unsigned char *>(&state.value) + offsetof(InstanceState, client_id),
              &kClient, 1);
  PortWord port{};
  Check(OpenPort(slave, LineSettings{9600, 8, 0, 0}, 0, &port) == kPortOpened);
  state.value.port = port;
  state.value.timeout = kTimeoutUnits;
  SetReadTimeout(port, kTimeoutUnits);
  const InstanceState before = state.value;

  Guarded<std::int32_t> result_word;
  result_word.value = 0x11111111;
  Guarded<WriteStatus> status;
  status.value = WriteStatus{0x7777, 0x5555};
  Guarded<PointBlock> point;
  std::memset(&point.value, 0x3C, sizeof point.value);
  point.value.address = plan.address.c_str();
  point.value.panel = plan.panel;
  point.value.result = plan.write ? static_cast<void *>(&status.value) : &result_word.value;
  const PointBlock point_before = point.value;
  Guarded<Request> request;
  std::memset(&request.value, 0, sizeof request.value);
  request.value.state = &state.value;
  request.value.command = plan.write ? kSingleWrite : kSingleRead;
  request.value.params = &point.value;
  const Request request_before = request.value;

  Effects effects;
  effects.panel_prefix = "CP" + std::to_string(plan.panel);
  std::uint32_t result = 0;
  {
    Panel panel(master.get(), plan.answers);
    g_effects = &effects;
    result = DispatchRequest(&request.value);
    g_effects = nullptr;
  }
  Check(ClosePort(port) == kOk);

  Check(result == kOk || result == kNotPossible || result == kFailed);
  Check(result != kNotPossible);  // the port is open and the address is there
  Check(state.Intact() && point.Intact() && result_word.Intact() && status.Intact() &&
        request.Intact());
  Check(std::memcmp(&point.value, &point_before, sizeof point_before) == 0);
  Check(std::memcmp(&request.value, &request_before, sizeof request_before) == 0);
  // The exchange writes only its frames into the transmit area and its reply into
  // the receive area.
  const InstanceState &after = state.value;
  Check(after.timeout == before.timeout && after.port == before.port &&
        after.client_id == before.client_id);
  Check(std::memcmp(&after.port_block, &before.port_block, sizeof before.port_block) == 0);
  Check(std::memcmp(after.transmit + 5, before.transmit + 5, sizeof before.transmit - 5) == 0);
  Check(std::memcmp(after.receive + kMaxReplyLength, before.receive + kMaxReplyLength,
                    sizeof before.receive - kMaxReplyLength) == 0);
  Check(effects.names_whole);
  if (plan.write) {
    Check(status.value.host_reserved == 0x7777 && effects.stores == 0);
    const bool command = plan.address[4] == '!' && plan.address[3] != 'Z';
    if (command) {
      Check(status.value.acknowledged <= 1);
      if (result == kFailed) Check(status.value.acknowledged == 0);
    } else {
      Check(result == kOk && status.value.acknowledged == 0x5555);  // nothing was sent
    }
  } else if (result == kFailed) {
    Check(result_word.value == 0x11111111 && effects.stores == 0);
  }
}

// libFuzzer counts every input as an execution, skipped or played; the closing
// figures say how many of them were whole exchanges on the line.
struct Tally {
  std::uint64_t played = 0;
  std::uint64_t skipped = 0;
  ~Tally() {
    std::fprintf(stderr, "exchanges played: %llu, skipped for a long range: %llu\n",
                 static_cast<unsigned long long>(played), static_cast<unsigned long long>(skipped));
  }
};
Tally g_tally;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const bool ready = (QarHostSetLogSink(&OnLog, nullptr),
                             QarHostSetGateSink(&OnStore, nullptr), true);
  (void)ready;
  if (size < 1) return 0;
  const Plan plan = PlanFrom(data, size);
  if (PlansLongRange(plan)) {
    ++g_tally.skipped;
    return 0;
  }
  ++g_tally.played;
  const std::size_t descriptors_before = OpenDescriptors();
  RunExchange(plan);
  Check(OpenDescriptors() == descriptors_before);
  return 0;
}
