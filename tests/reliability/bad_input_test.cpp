// Bad input from the host: every record the host hands over may hold nonsense.
// Each case must get a clear result (0, 1 or 2), the log lines it names and
// nothing else: every record sits between guard bytes that must survive, no
// handle may stay open, and no gate may change unless the case says so.
//
// The commands run through the entry's dispatcher on a real line (a pty on
// Linux, a linked COM port under Wine) whose far end answers like a quiet panel.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_capture.h"
#include "dispatch.h"
#include "panel_protocol.h"
#include "peer_line.h"
#include "qarpro.h"
#include "serial_port.h"

using namespace vuzov;
using Bytes = std::vector<std::uint8_t>;
using Texts = std::vector<std::string>;

namespace {

constexpr std::uint8_t kGuardByte = 0xC3;
constexpr std::size_t kGuardSize = 64;
constexpr std::uint8_t kClient = 4;
const Bytes kSilenceFrame = {0x02, 0x02, 0x00, 0x02, 0x02};
const std::string kThreadStart = "ZODODA> Start Unsoliceted Thread";
const std::string kShutDown = "ZODODA> ShutDown !";

// A record between guard bytes: a write past either end of it shows.
template <typename T>
struct Guarded {
  std::uint8_t before[kGuardSize];
  T value;
  std::uint8_t after[kGuardSize];

  explicit Guarded(std::uint8_t fill = 0x5A) {
    std::memset(before, kGuardByte, sizeof before);
    std::memset(&value, fill, sizeof value);
    std::memset(after, kGuardByte, sizeof after);
  }
  bool Intact() const {
    for (std::size_t i = 0; i < kGuardSize; ++i) {
      if (before[i] != kGuardByte || after[i] != kGuardByte) return false;
    }
    return true;
  }
  bool Same(const T &other) const { return std::memcmp(&value, &other, sizeof other) == 0; }
};

// A host text with guard bytes after its terminator, which must read the same
// after the driver has had it.
class GuardedText {
 public:
  explicit GuardedText(const std::string &text) : bytes_(text.begin(), text.end()) {
    bytes_.push_back('\0');
    bytes_.insert(bytes_.end(), kGuardSize, static_cast<char>(kGuardByte));
    original_ = bytes_;
  }
  const char *c_str() const { return bytes_.data(); }
  bool Untouched() const { return bytes_ == original_; }

 private:
  std::vector<char> bytes_;
  std::vector<char> original_;
};

// The far end of the line as a quiet panel: it answers each poll with the reply
// it was given (EOT unless told otherwise; nothing for silence) and each command
// frame with ACK, and keeps what the driver sent.
class QuietPanel {
 public:
  explicit QuietPanel(vuzov_test::PeerLine *line) : line_(line), thread_([this] { Run(); }) {}
  ~QuietPanel() {
    stop_ = true;
    thread_.join();
  }
  QuietPanel(const QuietPanel &) = delete;
  QuietPanel &operator=(const QuietPanel &) = delete;

  void AnswerPollsWith(Bytes reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    poll_reply_ = std::move(reply);
  }
  Bytes Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  void Forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
  }

 private:
  void Run() {
    while (!stop_) {
      const Bytes got = line_->Read(1, 20);
      if (got.empty()) continue;
      Keep(got);
      if (got[0] == kEnq) {
        Bytes reply;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          reply = poll_reply_;
        }
        if (!reply.empty()) line_->Write(reply);
      } else if (got[0] == kStx) {
        Keep(line_->Read(4, 500));
        line_->Write({kAck});
      }
    }
  }
  void Keep(const Bytes &bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.insert(received_.end(), bytes.begin(), bytes.end());
  }

  vuzov_test::PeerLine *line_;
  std::mutex mutex_;
  Bytes poll_reply_{kEot};
  Bytes received_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string AddressOfLength(std::size_t length, const std::string &head) {
  std::string text = head.substr(0, length);
  text.resize(length, 'x');
  return text;
}

// The host's name of this line padded to `length` characters with slashes the
// device path does not mind ("pts////7"); empty where the platform has no such
// spelling.
std::string PaddedLineName(const std::string &name, std::size_t length) {
#if defined(_WIN32)
  (void)name;
  (void)length;
  return std::string();
#else
  const std::size_t slash = name.find('/');
  if (slash == std::string::npos || name.size() > length) return std::string();
  return name.substr(0, slash) + std::string(length - name.size(), '/') + name.substr(slash);
#endif
}

std::vector<std::string> GateNames() {
  std::vector<std::string> names;
  for (std::uint32_t id = 1; id <= QarHostGateCount(); ++id) {
    char name[64];
    double value = 0;
    std::uint32_t stores = 0;
    if (QarHostGetGate(id, name, sizeof name, &value, &stores) == 0) names.emplace_back(name);
  }
  return names;
}

class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EndedFlag.store(0);
    state.value.port = PortWord{};
    std::string error;
    peer = vuzov_test::PeerLine::Create(&error);
    ASSERT_NE(peer, nullptr) << error;
    port_name = peer->DriverPortName();
    handles_before = vuzov_test::OpenHandleCount();
    state.value.port = PortWord{};
    std::memcpy(reinterpret_cast<unsigned char *>(&state.value) + offsetof(InstanceState, client_id),
                &kClient, 1);
    SetStateName("NULLDEV");
    state.value.port_block.line = LineSettings{9600, 8, 0, 0};
  }

  void TearDown() override {
    panel.reset();
    const int waiting = static_cast<int>(QarHostClientCount());
    const int ended = host.CountOf(kShutDown);
    QarHostPostAll();
    EXPECT_TRUE(host.WaitForText(kShutDown, ended + waiting, 10000));
    EndedFlag.store(0);
    if (state.value.port != PortWord{}) {
      EXPECT_EQ(ClosePort(state.value.port), kOk);
    }
    EXPECT_TRUE(state.Intact());
    EXPECT_EQ(vuzov_test::OpenHandleCount(), handles_before) << "a handle was left open";
  }

  void SetStateName(const std::string &name) {
    std::memset(state.value.port_block.name, 0, sizeof state.value.port_block.name);
    std::memcpy(state.value.port_block.name, name.data(),
                std::min(name.size(), sizeof state.value.port_block.name));
  }

  // Opens the line for the state directly, as a started instance has it.
  void OpenLine(std::uint32_t timeout) {
    PortWord port{};
    ASSERT_EQ(OpenPort(port_name.c_str(), LineSettings{9600, 8, 0, 0}, 0, &port), kPortOpened);
    state.value.port = port;
    state.value.timeout = timeout;
    SetReadTimeout(port, timeout);
    panel = std::make_unique<QuietPanel>(peer.get());
  }
  void CloseLine() {
    panel.reset();
    ASSERT_EQ(ClosePort(state.value.port), kOk);
    state.value.port = PortWord{};
  }

  std::uint32_t Call(std::uint32_t command, void *params, InstanceState *target) {
    Guarded<Request> request;
    request.value.state = target;
    request.value.command = command;
    request.value.instance = 7;
    request.value.host_reserved = 0x12345678;
    request.value.params = params;
    const Request before = request.value;
    const std::uint32_t result = DispatchRequest(&request.value);
    EXPECT_TRUE(request.Intact() && request.Same(before)) << "the request changed";
    EXPECT_LE(result, kFailed);
    return result;
  }
  std::uint32_t Call(std::uint32_t command, void *params) {
    return Call(command, params, &state.value);
  }

  // The lines logged, without the waiting thread's (they come when it runs).
  Texts CommandTexts() const {
    Texts texts;
    for (const auto &text : host.Texts()) {
      if (text != kThreadStart && text != kShutDown) texts.push_back(text);
    }
    return texts;
  }

  vuzov_test::HostCapture host;
  std::unique_ptr<vuzov_test::PeerLine> peer;
  std::unique_ptr<QuietPanel> panel;
  std::string port_name;
  Guarded<InstanceState> state;
  std::size_t handles_before = 0;
};

const std::size_t kAddressLengths[] = {0, 4, 5, 11, 12, 255, 256, 10000};

}  // namespace

// ---- Addresses ------------------------------------------------------------------

TEST_F(BadInputTest, AddressParserTakesAddressesOfAnyLength) {
  for (std::size_t length : kAddressLengths) {
    SCOPED_TRACE(length);
    host.Clear();
    const GuardedText text(AddressOfLength(length, "CP3P7"));
    Guarded<AddressBlock> block;
    block.value.address = text.c_str();
    const AddressBlock before = block.value;
    const std::uint32_t result = Call(kSingleAddressParser, &block.value);
    EXPECT_TRUE(block.Intact());
    EXPECT_TRUE(text.Untouched());
    // Only the panel number may change, and only for a valid address.
    AddressBlock expected = before;
    if (length < 5) {
      EXPECT_EQ(result, kNotPossible);
      EXPECT_EQ(host.Texts(), Texts{"ZODODA> Parse() wrong length address string '" +
                                    AddressOfLength(length, "CP3P7") + "'"});
    } else {
      EXPECT_EQ(result, kOk);
      EXPECT_TRUE(host.Texts().empty());
      expected.panel = 3;
    }
    EXPECT_TRUE(block.Same(expected));
  }
}

TEST_F(BadInputTest, RejectedLongAddressIsQuotedByItsFirst255Characters) {
  for (std::size_t length : {255u, 256u, 10000u}) {
    SCOPED_TRACE(length);
    host.Clear();
    const GuardedText text(AddressOfLength(length, "CP9Z1"));
    Guarded<AddressBlock> block;
    block.value.address = text.c_str();
    const AddressBlock before = block.value;
    EXPECT_EQ(Call(kSingleAddressParser, &block.value), kNotPossible);
    EXPECT_TRUE(block.Intact() && block.Same(before));
    EXPECT_EQ(host.Texts(), Texts{"ZODODA> Parse() Illegal character 2 in '" +
                                  AddressOfLength(255, "CP9Z1") + "'"});
  }
}

TEST_F(BadInputTest, ReadsTakeAddressesOfAnyLength) {
  OpenLine(5);
  for (std::size_t length : kAddressLengths) {
    SCOPED_TRACE(length);
    host.Clear();
    panel->Forget();
    const GuardedText text(AddressOfLength(length, "CP1Z1"));
    Guarded<std::int32_t> word;
    word.value = 0x11111111;
    Guarded<PointBlock> point;
    point.value.address = text.c_str();
    point.value.panel = 1;
    point.value.result = &word.value;
    const PointBlock before = point.value;
    // The address is only quoted in log lines: every read polls the same way.
    EXPECT_EQ(Call(kSingleRead, &point.value), kOk);
    EXPECT_EQ(word.value, 0) << "the panel had nothing to report";
    EXPECT_TRUE(word.Intact() && point.Intact() && point.Same(before) && text.Untouched());
    EXPECT_TRUE(host.Texts().empty());
    EXPECT_TRUE(host.Stores().empty());
  }
}

TEST_F(BadInputTest, FailedReadQuotesTheFirst255CharactersOfTheAddress) {
  OpenLine(2);
  panel->AnswerPollsWith({});
  const std::string address = AddressOfLength(256, "CP1Z1");
  const GuardedText text(address);
  Guarded<std::int32_t> word;
  word.value = 0x11111111;
  Guarded<PointBlock> point;
  point.value.address = text.c_str();
  point.value.result = &word.value;
  EXPECT_EQ(Call(kSingleRead, &point.value), kFailed);
  const std::string quoted = address.substr(0, 255);
  EXPECT_EQ(host.Texts(),
            (Texts{"ZODODA> DoRead() error receiving data, retry 1 '" + quoted + "'",
                   "ZODODA> DoRead() error receiving data, retry 2 '" + quoted + "'",
                   "ZODODA> DoRead() error receiving data, retry 3 '" + quoted + "'",
                   "ZODODA> SingleRead() , ret val is 2"}));
  EXPECT_EQ(word.value, 0x11111111);
  EXPECT_TRUE(word.Intact() && point.Intact() && text.Untouched());
}

TEST_F(BadInputTest, WritesJudgeAddressesOfAnyLengthByPositionsThreeAndFour) {
  OpenLine(5);
  for (std::size_t length : kAddressLengths) {
    SCOPED_TRACE(length);
    host.Clear();
    panel->Forget();
    const GuardedText text(AddressOfLength(length, "CP1S!"));
    Guarded<WriteStatus> status;
    status.value = WriteStatus{0x7777, 0x5555};
    Guarded<PointBlock> point;
    point.value.address = text.c_str();
    point.value.result = &status.value;
    const PointBlock before = point.value;
    EXPECT_EQ(Call(kSingleWrite, &point.value), kOk);
    EXPECT_TRUE(status.Intact() && point.Intact() && point.Same(before) && text.Untouched());
    EXPECT_EQ(status.value.host_reserved, 0x7777);
    EXPECT_TRUE(host.Texts().empty());
    if (length >= 5) {
      EXPECT_EQ(status.value.acknowledged, 1) << "a command point, acknowledged";
      EXPECT_EQ(panel->Received(), kSilenceFrame);
    } else {
      EXPECT_EQ(status.value.acknowledged, 0x5555) << "no command point: nothing sent";
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      EXPECT_TRUE(panel->Received().empty());
    }
  }
}

TEST_F(BadInputTest, BytesAbove7FAreJudgedNotTrusted) {
  struct Case {
    std::string address;
    std::uint32_t parse_result;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"\xC3P1Z1", kNotPossible, "ZODODA> Parse() Illegal character 0 in '\xC3P1Z1'"},
      {"CP\xB1Z1", kNotPossible, "ZODODA> Parse() Illegal character 2 in 'CP\xB1Z1'"},
      {"CP1\xDA!", kNotPossible, "ZODODA> Parse() Illegal character 3 in 'CP1\xDA!'"},
      {"CP1S\xA1", kNotPossible, "ZODODA> Parse() Illegal character 4 in 'CP1S\xA1'"},
      {"CP1S!\x80\xFF\xFE", kOk, ""},
  };
  OpenLine(5);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.address);
    host.Clear();
    panel->Forget();
    const GuardedText text(c.address);
    Guarded<AddressBlock> block;
    block.value.address = text.c_str();
    EXPECT_EQ(Call(kSingleAddressParser, &block.value), c.parse_result);
    EXPECT_EQ(host.Texts(), c.line.empty() ? Texts{} : Texts{c.line});
    EXPECT_TRUE(block.Intact() && text.Untouched());

    // A write acts only on a command letter it knows at position 3.
    host.Clear();
    Guarded<WriteStatus> status;
    status.value = WriteStatus{0x7777, 0x5555};
    Guarded<PointBlock> point;
    point.value.address = text.c_str();
    point.value.result = &status.value;
    EXPECT_EQ(Call(kSingleWrite, &point.value), kOk);
    const bool command = c.address[3] == 'S' && c.address[4] == '!';
    EXPECT_EQ(status.value.acknowledged, command ? 1 : 0x5555);
    if (!command) {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      EXPECT_TRUE(panel->Received().empty()) << "nothing is sent for an unknown letter";
    }
    EXPECT_TRUE(status.Intact() && point.Intact() && text.Untouched());
  }
}

// ---- Null pointers ----------------------------------------------------------------

TEST_F(BadInputTest, NullRequestIsRefused) {
  EXPECT_EQ(DispatchRequest(nullptr), kFailed);
  EXPECT_TRUE(host.Texts().empty());
}

TEST_F(BadInputTest, NullParameterRecordForEveryCommand) {
  // The commands that need no record run as usual; the others refuse with 2.
  for (std::uint32_t code = 0; code <= kCommandCount + 1; ++code) {
    SCOPED_TRACE(code);
    host.Clear();
    const InstanceState before = state.value;
    const std::uint32_t result = Call(code, nullptr);
    Texts expected;
    switch (code) {
      case kWarmStart:
        EXPECT_EQ(result, kOk);
        expected = {"ZODODA> WarmStart() exited, 0"};
        break;
      case kEndZem:
        EXPECT_EQ(result, kOk);
        expected = {"ZODODA> CloseCom() exited 0", "ZODODA> EndZem() exited, 0"};
        EndedFlag.store(0);
        break;
      case kCloseCom:
        EXPECT_EQ(result, kOk);
        expected = {"ZODODA> CloseCom() exited 0"};
        break;
      case kReOpenCom:
        EXPECT_EQ(result, kOk);
        expected = {"ZODODA> ReOpenCom() NULLDEV => no communications", "ReOpenCom() exited 0"};
        break;
      case kSingleRead:
        EXPECT_EQ(result, kFailed);
        expected = {"ZODODA> SingleRead() , ret val is 2"};
        break;
      case kSingleWrite:
        EXPECT_EQ(result, kFailed);
        expected = {"ZODODA> SingleWrite() , ret val is 2"};
        break;
      default:
        EXPECT_EQ(result, kFailed);
        break;
    }
    EXPECT_EQ(host.Texts(), expected);
    EXPECT_TRUE(state.Intact() && state.Same(before));
  }
}

TEST_F(BadInputTest, NullStateForEveryCommand) {
  // Each command gets a record of its own type; only those that need no state
  // (the address parser, the driver information) go on.
  Guarded<StartParams> start;
  std::strcpy(start.value.port_name, "NUL");
  start.value.enable = 1;
  start.value.timeout = 5;
  start.value.line = LineSettings{9600, 8, 0, 0};
  const GuardedText address("CP2Z1");
  Guarded<AddressBlock> parse;
  parse.value.address = address.c_str();
  Guarded<std::int32_t> word;
  Guarded<PointBlock> point;
  point.value.address = address.c_str();
  point.value.result = &word.value;
  Guarded<DriverInfo> info;
  Guarded<ChangeParams> change;
  std::strcpy(change.value.port_name, "NUL");
  for (std::uint32_t code = 1; code <= kCommandCount; ++code) {
    SCOPED_TRACE(code);
    host.Clear();
    void *params = &point.value;
    if (code == kColdStart) params = &start.value;
    if (code == kSingleAddressParser) params = &parse.value;
    if (code == kGetZemInfo) params = &info.value;
    if (code == kChangeZemParams) params = &change.value;
    const std::uint32_t result = Call(code, params, nullptr);
    if (code == kSingleAddressParser) {
      EXPECT_EQ(result, kOk);
      EXPECT_EQ(parse.value.panel, 2);
    } else if (code == kGetZemInfo) {
      EXPECT_EQ(result, kOk);
      EXPECT_EQ(host.Texts(), Texts{"ZODODA> GetZemInfo() exited"});
    } else if (code == kSingleRead || code == kSingleWrite) {
      EXPECT_EQ(result, kFailed);
      EXPECT_EQ(host.Texts(), Texts{std::string("ZODODA> ") +
                                    (code == kSingleRead ? "SingleRead" : "SingleWrite") +
                                    "() , ret val is 2"});
    } else {
      EXPECT_EQ(result, kFailed);
      EXPECT_TRUE(host.Texts().empty());
    }
    EXPECT_EQ(EndedFlag.load(), 0u) << "nothing ended the module";
  }
  EXPECT_EQ(QarHostClientCount(), 0u) << "no client was made";
  EXPECT_TRUE(start.Intact() && parse.Intact() && word.Intact() && point.Intact() &&
              info.Intact() && change.Intact() && address.Untouched());
}

TEST_F(BadInputTest, NullFieldsOfThePointAndAddressRecords) {
  OpenLine(5);
  Guarded<std::int32_t> word;
  word.value = 0x11111111;
  Guarded<WriteStatus> status;
  status.value = WriteStatus{0x7777, 0x5555};
  const GuardedText address("CP1S!");
  struct Case {
    std::uint32_t command;
    bool null_address;
    bool null_result;
    std::uint32_t expected;
    Texts lines;
  };
  const std::vector<Case> cases = {
      {kSingleRead, true, false, kNotPossible, {"ZODODA> SingleRead() , ret val is 1"}},
      {kSingleRead, false, true, kFailed, {"ZODODA> SingleRead() , ret val is 2"}},
      {kSingleRead, true, true, kFailed, {"ZODODA> SingleRead() , ret val is 2"}},
      {kSingleWrite, true, false, kNotPossible, {"ZODODA> SingleWrite() , ret val is 1"}},
      {kSingleWrite, false, true, kFailed, {"ZODODA> SingleWrite() , ret val is 2"}},
      {kSingleWrite, true, true, kFailed, {"ZODODA> SingleWrite() , ret val is 2"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.command) + (c.null_address ? " no address" : "") +
                 (c.null_result ? " no result" : ""));
    host.Clear();
    panel->Forget();
    Guarded<PointBlock> point;
    point.value.address = c.null_address ? nullptr : address.c_str();
    point.value.result = c.null_result ? nullptr
                         : c.command == kSingleRead ? static_cast<void *>(&word.value)
                                                    : static_cast<void *>(&status.value);
    const PointBlock before = point.value;
    EXPECT_EQ(Call(c.command, &point.value), c.expected);
    EXPECT_EQ(host.Texts(), c.lines);
    EXPECT_TRUE(point.Intact() && point.Same(before));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_TRUE(panel->Received().empty()) << "nothing goes on the line";
  }
  EXPECT_EQ(word.value, 0x11111111);
  EXPECT_EQ(status.value.acknowledged, 0x5555);
  EXPECT_TRUE(word.Intact() && status.Intact() && address.Untouched());

  host.Clear();
  Guarded<AddressBlock> block;
  block.value.address = nullptr;
  const AddressBlock before = block.value;
  EXPECT_EQ(Call(kSingleAddressParser, &block.value), kNotPossible);
  EXPECT_EQ(host.Texts(), Texts{"ZODODA> Parse() wrong length address string ''"});
  EXPECT_TRUE(block.Intact() && block.Same(before));
}

// ---- Command codes ------------------------------------------------------------------

TEST_F(BadInputTest, EveryUnservedCommandCodeIsRefusedWithoutEffect) {
  OpenLine(5);
  Guarded<std::array<std::uint8_t, 64>> params;
  const auto params_before = params.value;
  const InstanceState state_before = state.value;
  std::vector<std::uint32_t> codes;
  for (std::uint32_t code = 0; code <= 255; ++code) codes.push_back(code);
  // Only the whole word names a command: 0x105 is not 5.
  for (std::uint32_t code : {0x100u, 0x105u, 0x10007u, 0x8000000Bu, 0xFFFFFFFFu}) {
    codes.push_back(code);
  }
  const std::vector<std::uint32_t> served = {kColdStart, kWarmStart, kSingleAddressParser,
                                             kSingleRead, kSingleWrite, kEndZem, kCloseCom,
                                             kReOpenCom, kGetZemInfo, kChangeZemParams};
  int refused = 0;
  for (std::uint32_t code : codes) {
    if (std::find(served.begin(), served.end(), code) != served.end()) continue;
    SCOPED_TRACE(code);
    EXPECT_EQ(Call(code, &params.value), kFailed);
    ++refused;
  }
  EXPECT_EQ(refused, 256 - 10 + 5);
  EXPECT_TRUE(host.Texts().empty());
  EXPECT_TRUE(params.Intact() && params.Same(params_before));
  EXPECT_TRUE(state.Same(state_before));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_TRUE(panel->Received().empty());
}

// ---- Panel numbers in gate names ------------------------------------------------------

TEST_F(BadInputTest, ExtremePanelNumbersBuildWholeGateNames) {
  OpenLine(5);
  QarHostSetDiscovery(1);  // every name the driver asks for becomes a gate
  struct Case {
    std::int32_t panel;
    Bytes reply;
    std::vector<std::string> names;
  };
  // An element of zone -32768 (low and high byte 0x80), element -128; and a
  // zone range from 10 to 12.
  const Bytes element = {kStx, 0x01, 0x0C, '0', 0x02, 0x00, 0x80, 0x80, 0x00, 0x03, 0, 0};
  const Bytes range = {kStx, 0x01, 0x0C, '3', 0x04, 0x0A, 0x00, 0x0C, 0x00, 0x03, 0, 0};
  const std::vector<Case> cases = {
      {INT_MIN, element, {"CP-2147483648MS", "CP-2147483648ST", "CP-2147483648Z-32768E-128"}},
      {INT_MAX, element, {"CP2147483647MS", "CP2147483647ST", "CP2147483647Z-32768E-128"}},
      {INT_MIN, range,
       {"CP-2147483648MS", "CP-2147483648ST", "CP-2147483648Z10", "CP-2147483648Z11",
        "CP-2147483648Z12"}},
      {INT_MAX, range,
       {"CP2147483647MS", "CP2147483647ST", "CP2147483647Z10", "CP2147483647Z11",
        "CP2147483647Z12"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.panel);
    QarHostReset();
    QarHostSetDiscovery(1);
    host.Clear();
    panel->AnswerPollsWith(c.reply);
    const GuardedText address("CP1Z1");
    Guarded<std::int32_t> word;
    Guarded<PointBlock> point;
    point.value.address = address.c_str();
    point.value.panel = c.panel;
    point.value.result = &word.value;
    EXPECT_EQ(Call(kSingleRead, &point.value), kOk);
    EXPECT_EQ(GateNames(), c.names) << "the names the host library was asked for";
    std::vector<std::string> stored;
    for (const auto &store : host.Stores()) stored.push_back(store.name);
    EXPECT_EQ(stored, c.names);
    EXPECT_TRUE(word.Intact() && point.Intact() && address.Untouched());
  }
}

// ---- Port names ------------------------------------------------------------------

TEST_F(BadInputTest, StartReadsAPortNameOfTwelveCharactersWithoutATerminatorWhole) {
  // The enable word right after the name reads "MMMM": a name read past its 12
  // characters would show it.
  Guarded<StartParams> start;
  std::memcpy(start.value.port_name, "ABCDEFGHIJKL", 12);
  start.value.enable = 0x4D4D4D4D;
  start.value.timeout = 5;
  start.value.line = LineSettings{9600, 8, 0, 0};
  const StartParams before = start.value;
  const InstanceState state_before = state.value;
  EXPECT_EQ(Call(kColdStart, &start.value), kNotPossible);
  EXPECT_EQ(CommandTexts(), (Texts{"ZODODA> OpenCom() exited with error",
                                   "ZODODA> ColdStart() unable to open ABCDEFGHIJKL(tmout 5} port"}));
  EXPECT_TRUE(start.Intact() && start.Same(before));
  EXPECT_EQ(std::memcmp(state.value.port_block.name, state_before.port_block.name, 12), 0)
      << "a failed start does not take the name";
}

TEST_F(BadInputTest, PortNamesOfElevenAndTwelveCharactersOpenTheirDevice) {
  for (std::size_t length : {11u, 12u}) {
    const std::string name = PaddedLineName(port_name, length);
    if (name.empty()) GTEST_SKIP() << "no padded spelling of " << port_name << " here";
    SCOPED_TRACE(name);
    ASSERT_EQ(name.size(), length);

    // ColdStart, with the enable word right behind an unterminated name.
    Guarded<StartParams> start;
    std::memcpy(start.value.port_name, name.data(), length);
    if (length < 12) start.value.port_name[length] = '\0';
    start.value.enable = 0x2F2F2F2F;  // "////": a name read past 12 would still open
    start.value.timeout = 5;
    start.value.line = LineSettings{9600, 8, 0, 0};
    host.Clear();
    ASSERT_EQ(Call(kColdStart, &start.value), kOk);
    EXPECT_EQ(std::memcmp(state.value.port_block.name, name.data(), length), 0);
    ASSERT_EQ(Call(kCloseCom, nullptr), kOk);

    // The state's own block, as ReOpenCom finds it.
    SetStateName(name);
    host.Clear();
    ASSERT_EQ(Call(kReOpenCom, nullptr), kOk);
    EXPECT_NE(state.value.port, PortWord{});
    ASSERT_EQ(Call(kCloseCom, nullptr), kOk);

    // ChangeZemParams, with the timeout word right behind the name.
    Guarded<ChangeParams> change;
    std::memcpy(change.value.port_name, name.data(), length);
    if (length < 12) change.value.port_name[length] = '\0';
    change.value.timeout = 0x2F2F2F2F;  // beyond what a port can wait: kept as it was
    change.value.line = LineSettings{0, 0, 0, 0};
    const ChangeParams change_before = change.value;
    const std::uint32_t timeout_before = state.value.timeout;
    ASSERT_EQ(Call(kChangeZemParams, &change.value), kOk);
    EXPECT_NE(state.value.port, PortWord{});
    EXPECT_EQ(state.value.timeout, timeout_before);
    EXPECT_TRUE(change.Intact() && change.Same(change_before) && start.Intact());
    ASSERT_EQ(Call(kCloseCom, nullptr), kOk);
    SetStateName("NULLDEV");
  }
}

TEST_F(BadInputTest, UnterminatedNamesInTheStateAndChangeRecordsFailCleanly) {
  SetStateName("QRSTUVWXYZ12");  // twelve characters, no terminator
  const InstanceState before = state.value;
  EXPECT_EQ(Call(kReOpenCom, nullptr), kFailed);
  EXPECT_EQ(host.Texts(), (Texts{"ZODODA> OpenCom() exited with error",
                                 "ZODODA> ReOpenCom() exited 2"}));
  EXPECT_TRUE(state.Same(before));

  host.Clear();
  Guarded<ChangeParams> change;
  std::memcpy(change.value.port_name, "ABCDEFGHIJKL", 12);
  change.value.timeout = 0x4D4D4D4D;
  change.value.line = LineSettings{0, 0, 0, 0};
  EXPECT_EQ(Call(kChangeZemParams, &change.value), kFailed);
  EXPECT_EQ(host.Texts(), (Texts{"ZODODA> OpenCom() exited with error",
                                 "ZODODA> ChangeZemParams() exited 2"}));
  EXPECT_EQ(std::memcmp(state.value.port_block.name, "ABCDEFGHIJKL", 12), 0);
  EXPECT_EQ(state.value.port, PortWord{});
  EXPECT_TRUE(change.Intact());
}

// ---- Timeouts ---------------------------------------------------------------------

TEST_F(BadInputTest, StartTimeoutsThatCannotBoundAReadGetTheOpeningDefault) {
  struct Case {
    std::uint32_t given;
    std::uint32_t used;
  };
  // 0 would wait for ever; -1 and INT_MAX, times 10 ms, wrap to 49.7 days.
  const Case cases[] = {{0u, 100u},
                        {0xFFFFFFFFu, 100u},
                        {static_cast<std::uint32_t>(INT_MAX), 100u},
                        {429496730u, 100u},
                        {429496729u, 429496729u},
                        {6000u, 6000u}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given);
    Guarded<StartParams> start;
    std::memset(start.value.port_name, 0, sizeof start.value.port_name);
    std::memcpy(start.value.port_name, port_name.data(), port_name.size());
    start.value.enable = 1;
    start.value.timeout = c.given;
    start.value.line = LineSettings{9600, 8, 0, 0};
    ASSERT_EQ(Call(kColdStart, &start.value), kOk);
    EXPECT_EQ(state.value.timeout, c.used);
    EXPECT_EQ(SetReadTimeout(state.value.port, c.used), c.used) << "the port waits that long";
    EXPECT_TRUE(start.Intact());
    ASSERT_EQ(Call(kCloseCom, nullptr), kOk);
  }
}

TEST_F(BadInputTest, ChangeKeepsTheTimeoutForValuesAPortCannotWait) {
  state.value.timeout = 7;
  for (std::uint32_t keep : {0u, 0xFFFFFFFFu, static_cast<std::uint32_t>(INT_MAX), 429496730u}) {
    SCOPED_TRACE(keep);
    Guarded<ChangeParams> change;
    std::strcpy(change.value.port_name, "NUL");
    change.value.timeout = keep;
    change.value.line = LineSettings{0, 0, 0, 0};
    EXPECT_EQ(Call(kChangeZemParams, &change.value), kOk);
    EXPECT_EQ(state.value.timeout, 7u);
    EXPECT_TRUE(change.Intact());
  }
  Guarded<ChangeParams> change;
  std::strcpy(change.value.port_name, "NUL");
  change.value.timeout = 429496729u;
  change.value.line = LineSettings{0, 0, 0, 0};
  EXPECT_EQ(Call(kChangeZemParams, &change.value), kOk);
  EXPECT_EQ(state.value.timeout, 429496729u);
}
