// Starting, purging, closing, reopening, reconfiguring and ending instances, on a
// real line (a pty on Linux, a COM port linked to a pty under Wine), with the host
// library stand-in as the host.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "host_capture.h"
#include "dispatch.h"
#include "peer_line.h"
#include "qarpro.h"
#include "serial_port.h"

using namespace vuzov;
using vuzov_test::LogLine;

namespace {

constexpr LineSettings kLine{9600, 8, 0, 0};
const std::string kThreadStart = "ZODODA> Start Unsoliceted Thread";
const std::string kShutDown = "ZODODA> ShutDown !";

// The port word as the number the log prints: a descriptor or a handle's value.
template <typename Word>
std::string HandleText(Word port) {
  if constexpr (std::is_pointer_v<Word>) {
    return std::to_string(static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(port)));
  } else {
    return std::to_string(static_cast<unsigned>(port));
  }
}

std::string Handle(PortWord port) { return HandleText<PortWord>(port); }

template <typename Word>
Word WordOf(std::uintptr_t value) {
  if constexpr (std::is_pointer_v<Word>) {
    return reinterpret_cast<Word>(value);
  } else {
    return static_cast<Word>(value);
  }
}

std::uint8_t ClientIdOf(const InstanceState &state) {
  std::uint8_t id;
  std::memcpy(&id, reinterpret_cast<const unsigned char *>(&state) + offsetof(InstanceState, client_id), 1);
  return id;
}

StartParams MakeStart(const std::string &port, std::uint32_t timeout, std::uint32_t enable = 1) {
  StartParams params{};
  std::strncpy(params.port_name, port.c_str(), sizeof params.port_name - 1);
  params.enable = enable;
  params.timeout = timeout;
  params.line = kLine;
  return params;
}

ChangeParams MakeChange(const std::string &port, std::uint32_t timeout, LineSettings line) {
  ChangeParams params{};
  std::strncpy(params.port_name, port.c_str(), sizeof params.port_name - 1);
  params.timeout = timeout;
  params.line = line;
  return params;
}

void SetStateName(InstanceState *state, const std::string &name) {
  std::memset(state->port_block.name, 0, sizeof state->port_block.name);
  std::strncpy(state->port_block.name, name.c_str(), sizeof state->port_block.name - 1);
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EndedFlag.store(0);
    std::string error;
    peer = vuzov_test::PeerLine::Create(&error);
    ASSERT_NE(peer, nullptr) << error;
    port_name = peer->DriverPortName();
    // The host does not clear its block: start from bytes no test relies on.
    std::memset(&state, 0x5A, sizeof state);
    state.port = PortWord{};
    std::memset(&other, 0x5A, sizeof other);
    other.port = PortWord{};
    handles_before = vuzov_test::OpenHandleCount();
  }

  void TearDown() override {
    EndedFlag.store(0);
    // The host ends every waiting thread before it frees the state blocks: each
    // live client has one waiting on it.
    const int waiting = static_cast<int>(QarHostClientCount());
    const int ended = host.CountOf(kShutDown);
    QarHostPostAll();
    EXPECT_TRUE(host.WaitForText(kShutDown, ended + waiting, 10000)) << waiting << " threads";
    for (InstanceState *s : {&state, &other}) {
      if (s->port != PortWord{}) Call(kCloseCom, s, nullptr);
    }
    EXPECT_EQ(vuzov_test::OpenHandleCount(), handles_before) << "a handle was left open";
  }

  std::uint32_t Call(std::uint32_t command, InstanceState *target, void *params,
                     std::int32_t instance = 1) {
    Request request{};
    request.state = target;
    request.command = command;
    request.instance = instance;
    request.params = params;
    return DispatchRequest(&request);
  }

  std::uint32_t Start(const std::string &name, std::uint32_t timeout, std::int32_t instance = 1,
                      InstanceState *target = nullptr) {
    StartParams params = MakeStart(name, timeout);
    return Call(kColdStart, target ? target : &state, &params, instance);
  }

  // The lines logged so far, leaving out the waiting thread's, which come when
  // its scheduling says.
  std::vector<LogLine> CommandLines() const {
    std::vector<LogLine> lines;
    for (const auto &line : host.Lines()) {
      if (line.text != kThreadStart && line.text != kShutDown) lines.push_back(line);
    }
    return lines;
  }

  vuzov_test::HostCapture host;
  std::unique_ptr<vuzov_test::PeerLine> peer;
  std::string port_name;
  InstanceState state;
  InstanceState other;
  std::size_t handles_before = 0;
};

}  // namespace

// ---- ColdStart ----------------------------------------------------------------

TEST_F(LifecycleTest, DisabledStartDoesNothing) {
  InstanceState before = state;
  StartParams params = MakeStart(port_name, 10, /*enable=*/0);
  EXPECT_EQ(Call(kColdStart, &state, &params), kOk);
  EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
  EXPECT_TRUE(host.Lines().empty());
  EXPECT_EQ(QarHostClientCount(), 0u);
}

TEST_F(LifecycleTest, StartOpensThePortCreatesTheClientAndStartsTheThread) {
  state.port_block.flags = 0x1234;
  ASSERT_EQ(Start(port_name, 25, 7), kOk);
  ASSERT_NE(state.port, PortWord{});
  EXPECT_EQ(CommandLines(),
            (std::vector<LogLine>{{0, "ZODODA> OpenCom() exited OK, file handle " + Handle(state.port)},
                                  {0, "ZODODA> ColdStart() port " + port_name +
                                          " opened, file handle " + Handle(state.port)}}));
  EXPECT_EQ(state.timeout, 25u);
  EXPECT_EQ(SetReadTimeout(state.port, 25), 25u) << "the port reads with the start timeout";
  EXPECT_STREQ(state.port_block.name, port_name.c_str());
  EXPECT_EQ(state.port_block.line.baud, 9600);
  EXPECT_EQ(state.port_block.flags, 0x1234) << "the host's flags word is left alone";
  std::uint8_t client = 0;
  ASSERT_EQ(QarHostFindClient("VUZOV No_07", &client), 0);
  EXPECT_EQ(ClientIdOf(state), client);
  ASSERT_TRUE(host.WaitForText(kThreadStart, 1, 5000));
  EXPECT_EQ(host.Lines().back().level, 32);
}

TEST_F(LifecycleTest, ThreadEndsWhenTheHostPostsToItsClient) {
  ASSERT_EQ(Start(port_name, 10, 12), kOk);
  std::uint8_t client = 0;
  ASSERT_EQ(QarHostFindClient("VUZOV No_12", &client), 0);
  ASSERT_TRUE(host.WaitForText(kThreadStart, 1, 5000));
  EXPECT_EQ(host.CountOf(kShutDown), 0);
  const unsigned char message[24] = {1, 2, 3};
  ASSERT_EQ(QarHostPostMsg(client, message), 0);
  ASSERT_TRUE(host.WaitForText(kShutDown, 1, 5000));
  EXPECT_EQ(host.Lines().back(), (LogLine{32, kShutDown}));
  EXPECT_NE(QarHostFindClient("VUZOV No_12", &client), 0) << "the thread removed its client";
  EXPECT_NE(state.port, PortWord{}) << "the port outlives the thread";
}

TEST_F(LifecycleTest, ClientNamesHaveTwoDigits) {
  ASSERT_EQ(Start("NUL", 10, 3), kOk);
  ASSERT_EQ(Start("NUL", 10, 123, &other), kOk);
  std::uint8_t client = 0;
  EXPECT_EQ(QarHostFindClient("VUZOV No_03", &client), 0);
  EXPECT_EQ(QarHostFindClient("VUZOV No_123", &client), 0);
}

TEST_F(LifecycleTest, StartOnNulldevFailsWithBothLines) {
  EXPECT_EQ(Start("NULLDEV", 25), kNotPossible);
  EXPECT_EQ(host.Lines(),
            (std::vector<LogLine>{{32, "ZODODA> OpenCom() exited with error"},
                                  {0, "ZODODA> ColdStart() unable to open NULLDEV(tmout 25} port"}}));
  EXPECT_EQ(state.port, PortWord{});
  EXPECT_EQ(QarHostClientCount(), 0u);
}

TEST_F(LifecycleTest, StartOnTheNullDeviceSucceeds) {
  EXPECT_EQ(Start("NUL", 10), kOk);
  EXPECT_NE(state.port, PortWord{});
  EXPECT_EQ(QarHostClientCount(), 1u);
}

TEST_F(LifecycleTest, FailedClientCreationReturnsOneWithoutALine) {
  QarHostFailClientCreation(1);
  EXPECT_EQ(Start(port_name, 10), kNotPossible);
  EXPECT_EQ(CommandLines().size(), 2u) << "only the two open lines";
  EXPECT_NE(state.port, PortWord{}) << "the port stays open and stored";
  EXPECT_EQ(host.CountOf(kThreadStart), 0);
}

TEST_F(LifecycleTest, ZeroStartTimeoutBecomesTheOpeningDefault) {
  EXPECT_EQ(Start("NULLDEV", 0), kNotPossible);
  EXPECT_EQ(host.Lines().back().text, "ZODODA> ColdStart() unable to open NULLDEV(tmout 0} port");
  ASSERT_EQ(Start(port_name, 0), kOk);
  EXPECT_EQ(state.timeout, 100u);
  EXPECT_EQ(SetReadTimeout(state.port, 100), 100u);
}

TEST_F(LifecycleTest, SecondStartClosesThePortItHeldAndKeepsItsThread) {
  ASSERT_EQ(Start(port_name, 10, 1), kOk);
  const std::size_t with_one = vuzov_test::OpenHandleCount();
  ASSERT_EQ(Start(port_name, 20, 2), kOk) << "the held port was closed, so it opens again";
  EXPECT_NE(state.port, PortWord{});
  EXPECT_EQ(state.timeout, 20u);
  EXPECT_EQ(vuzov_test::OpenHandleCount(), with_one);
  // One instance, one client, one waiting thread.
  std::uint8_t client = 0;
  EXPECT_EQ(QarHostClientCount(), 1u);
  EXPECT_EQ(QarHostFindClient("VUZOV No_01", &client), 0);
  EXPECT_EQ(ClientIdOf(state), client);
}

TEST_F(LifecycleTest, StartAfterTheThreadEndedMakesANewClientAndThread) {
  ASSERT_EQ(Start("NUL", 10, 4), kOk);
  std::uint8_t client = 0;
  ASSERT_EQ(QarHostFindClient("VUZOV No_04", &client), 0);
  ASSERT_EQ(QarHostPostMsg(client, nullptr), 0);
  ASSERT_TRUE(host.WaitForText(kShutDown, 1, 5000));
  ASSERT_EQ(Start("NUL", 10, 5), kOk);
  EXPECT_EQ(QarHostFindClient("VUZOV No_05", &client), 0);
  ASSERT_TRUE(host.WaitForText(kThreadStart, 2, 5000));
}

TEST_F(LifecycleTest, StartLeavesAPortWordItDidNotOpenAlone) {
  // A word that holds a handle this module never opened must not be closed.
  PortWord foreign{};
  ASSERT_EQ(OpenPort("NUL", kLine, 0, &foreign), kPortOpened);
  state.port = foreign;
  ASSERT_EQ(Start(port_name, 10), kOk);
  EXPECT_NE(state.port, foreign);
  std::uint8_t byte = 0x05;
  std::uint32_t written = 0;
  EXPECT_EQ(WriteAll(foreign, &byte, 1, &written), kOk) << "the foreign handle still works";
  EXPECT_EQ(ClosePort(foreign), kOk);
}

TEST_F(LifecycleTest, NullRecordsReturnTwoAndTouchNothing) {
  InstanceState before = state;
  EXPECT_EQ(Call(kColdStart, &state, nullptr), kFailed);
  EXPECT_EQ(Call(kChangeZemParams, &state, nullptr), kFailed);
  StartParams start = MakeStart(port_name, 10);
  EXPECT_EQ(Call(kColdStart, nullptr, &start), kFailed);
  for (std::uint32_t code : {kWarmStart, kCloseCom, kReOpenCom, kEndZem}) {
    EXPECT_EQ(Call(code, nullptr, nullptr), kFailed) << code;
  }
  EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
  EXPECT_TRUE(host.Lines().empty());
  EXPECT_EQ(EndedFlag.load(), 0u);
}

// ---- WarmStart ----------------------------------------------------------------

TEST_F(LifecycleTest, WarmStartDrainsStaleInput) {
  ASSERT_EQ(Start(port_name, 5), kOk);
  host.Clear();
  ASSERT_TRUE(peer->Write({0x02, 0x11, 0x22, 0x33}));
  std::uint8_t probe;
  std::uint32_t got = 0;
  // Wait until the bytes are on the driver's side, then put the first one back
  // into the picture by reading it: what is left must be drained.
  ASSERT_EQ(ReadExact(state.port, &probe, 1, &got), kOk);
  EXPECT_EQ(Call(kWarmStart, &state, nullptr), kOk);
  EXPECT_EQ(CommandLines(), (std::vector<LogLine>{{0, "ZODODA> WarmStart() exited, 0"}}));
  EXPECT_EQ(ReadExact(state.port, &probe, 1, &got), kIoFailed) << "nothing stale is left";
  EXPECT_EQ(SetReadTimeout(state.port, 5), 5u) << "the read timeout is restored";
}

TEST_F(LifecycleTest, WarmStartWithoutAPort) {
  EXPECT_EQ(Call(kWarmStart, &state, nullptr), kOk);
  EXPECT_EQ(host.Lines(), (std::vector<LogLine>{{0, "ZODODA> WarmStart() exited, 0"}}));
}

// ---- CloseCom and EndZem --------------------------------------------------------

TEST_F(LifecycleTest, CloseComClosesThePort) {
  ASSERT_EQ(Start(port_name, 10), kOk);
  host.Clear();
  EXPECT_EQ(Call(kCloseCom, &state, nullptr), kOk);
  EXPECT_EQ(state.port, PortWord{});
  EXPECT_EQ(CommandLines(), (std::vector<LogLine>{{0, "ZODODA> CloseCom() exited 0"}}));
  // Closed means free: the device opens again.
  EXPECT_EQ(Call(kReOpenCom, &state, nullptr), kOk);
  EXPECT_NE(state.port, PortWord{});
}

TEST_F(LifecycleTest, CloseComWithoutAPortLogsOnlyItsLine) {
  EXPECT_EQ(Call(kCloseCom, &state, nullptr), kOk);
  EXPECT_EQ(host.Lines(), (std::vector<LogLine>{{0, "ZODODA> CloseCom() exited 0"}}));
}

TEST_F(LifecycleTest, FailedCloseKeepsTheHandle) {
  const PortWord bogus = WordOf<PortWord>(0x7FFFFF00u);
  state.port = bogus;
  EXPECT_EQ(Call(kCloseCom, &state, nullptr), kFailed);
  EXPECT_EQ(state.port, bogus);
  EXPECT_EQ(host.Lines(), (std::vector<LogLine>{{0, "ZODODA> CloseCom() exited 2"}}));
  state.port = PortWord{};
}

TEST_F(LifecycleTest, EndZemWithoutAPort) {
  EXPECT_EQ(Call(kEndZem, &state, nullptr), kOk);
  EXPECT_EQ(host.Lines(), (std::vector<LogLine>{{0, "ZODODA> CloseCom() exited 0"},
                                                {0, "ZODODA> EndZem() exited, 0"}}));
  EXPECT_EQ(EndedFlag.load(), 1u);
}

TEST_F(LifecycleTest, EndZemEndsEveryInstanceAndLeavesTheirPortsOpen) {
  ASSERT_EQ(Start(port_name, 10, 1), kOk);
  ASSERT_EQ(Start("NUL", 10, 2, &other), kOk);
  const PortWord other_port = other.port;
  EXPECT_EQ(Call(kEndZem, &state, nullptr), kOk);
  EXPECT_EQ(state.port, PortWord{});
  host.Clear();
  // Every command of every instance now answers 0 and does nothing.
  InstanceState other_before = other;
  StartParams start = MakeStart(port_name, 10);
  ChangeParams change = MakeChange("NUL", 10, kLine);
  EXPECT_EQ(Call(kColdStart, &other, &start, 3), kOk);
  EXPECT_EQ(Call(kChangeZemParams, &other, &change), kOk);
  for (std::uint32_t code = 0; code <= 17; ++code) {
    if (code == kColdStart || code == kChangeZemParams) continue;
    EXPECT_EQ(Call(code, &other, nullptr), kOk) << code;
  }
  EXPECT_EQ(std::memcmp(&other, &other_before, sizeof other), 0);
  EXPECT_TRUE(CommandLines().empty());
  std::uint8_t byte = 0x05;
  std::uint32_t written = 0;
  EXPECT_EQ(WriteAll(other_port, &byte, 1, &written), kOk) << "the other port stays open";
  EndedFlag.store(0);
}

// ---- ReOpenCom ----------------------------------------------------------------

TEST_F(LifecycleTest, ReOpenComWithNoCommunicationsOpensNothing) {
  for (const char *name : {"NUL", "NULLDEV"}) {
    host.Clear();
    SetStateName(&state, name);
    EXPECT_EQ(Call(kReOpenCom, &state, nullptr), kOk) << name;
    EXPECT_EQ(state.port, PortWord{});
    EXPECT_EQ(host.Lines(),
              (std::vector<LogLine>{{0, "ZODODA> ReOpenCom() NULLDEV => no communications"},
                                    {0, "ReOpenCom() exited 0"}}));
  }
}

TEST_F(LifecycleTest, ReOpenComOpensTheStatesPortWithItsTimeout) {
  ASSERT_EQ(Start(port_name, 15), kOk);
  ASSERT_EQ(Call(kCloseCom, &state, nullptr), kOk);
  host.Clear();
  EXPECT_EQ(Call(kReOpenCom, &state, nullptr), kOk);
  ASSERT_NE(state.port, PortWord{});
  EXPECT_EQ(CommandLines(),
            (std::vector<LogLine>{{0, "ZODODA> OpenCom() exited OK, file handle " + Handle(state.port)},
                                  {0, "ReOpenCom() exited 0"}}));
  EXPECT_EQ(SetReadTimeout(state.port, 15), 15u);
}

TEST_F(LifecycleTest, FailedReOpenKeepsThePortWord) {
  ASSERT_EQ(Start(port_name, 10), kOk);
  const PortWord held = state.port;
  host.Clear();
  SetStateName(&state, "NOSUCHPORT");
  EXPECT_EQ(Call(kReOpenCom, &state, nullptr), kFailed);
  EXPECT_EQ(state.port, held);
  EXPECT_EQ(CommandLines(), (std::vector<LogLine>{{32, "ZODODA> OpenCom() exited with error"},
                                                  {32, "ZODODA> ReOpenCom() exited 2"}}));
}

TEST_F(LifecycleTest, ReOpenOfAHeldPortNeverLeaksIt) {
  ASSERT_EQ(Start(port_name, 10), kOk);
  const PortWord first = state.port;
  const std::size_t held = vuzov_test::OpenHandleCount();
  const std::uint32_t result = Call(kReOpenCom, &state, nullptr);
  if (result == kOk) {
    // The platform allowed a second open: the replaced handle was closed.
    EXPECT_NE(state.port, first);
  } else {
    // An exclusive device refuses the second open: the first handle stays.
    EXPECT_EQ(result, kFailed);
    EXPECT_EQ(state.port, first);
  }
  EXPECT_EQ(vuzov_test::OpenHandleCount(), held);
}

// ---- ChangeZemParams -------------------------------------------------------------

TEST_F(LifecycleTest, ChangeKeepsTimeoutAndLineWhenAskedTo) {
  ASSERT_EQ(Start("NUL", 30), kOk);
  for (std::uint32_t keep : {0u, 0xFFFFFFFFu}) {
    ChangeParams change = MakeChange(port_name, keep, LineSettings{0, 7, 2, 2});
    ASSERT_EQ(Call(kChangeZemParams, &state, &change), kOk);
    EXPECT_EQ(state.timeout, 30u);
    EXPECT_EQ(state.port_block.line.baud, 9600);
    EXPECT_EQ(state.port_block.line.data_bits, 8);
    EXPECT_STREQ(state.port_block.name, port_name.c_str());
    EXPECT_EQ(SetReadTimeout(state.port, 30), 30u);
    ASSERT_EQ(Call(kCloseCom, &state, nullptr), kOk);
  }
}

TEST_F(LifecycleTest, ChangeAppliesANewTimeoutAndLine) {
  ASSERT_EQ(Start("NUL", 30), kOk);
  ChangeParams change = MakeChange(port_name, 12, LineSettings{19200, 7, 0, 2});
  ASSERT_EQ(Call(kChangeZemParams, &state, &change), kOk);
  EXPECT_EQ(state.timeout, 12u);
  EXPECT_EQ(state.port_block.line.baud, 19200);
  EXPECT_EQ(state.port_block.line.parity, 2);
  EXPECT_EQ(SetReadTimeout(state.port, 12), 12u);
}

TEST_F(LifecycleTest, ChangeToANewNameClosesTheOldPortFirst) {
  ASSERT_EQ(Start(port_name, 10), kOk);
  host.Clear();
  ChangeParams change = MakeChange("NUL", 0xFFFFFFFFu, LineSettings{0, 0, 0, 0});
  ASSERT_EQ(Call(kChangeZemParams, &state, &change), kOk);
  EXPECT_EQ(state.port, PortWord{});
  EXPECT_EQ(CommandLines(),
            (std::vector<LogLine>{{0, "ZODODA> CloseCom() exited 0"},
                                  {0, "ZODODA> ChangeZemParams() NULLDEV => no communications"}}));
  // Back to the line: it opens again, since the old port was really closed.
  host.Clear();
  change = MakeChange(port_name, 0xFFFFFFFFu, LineSettings{0, 0, 0, 0});
  ASSERT_EQ(Call(kChangeZemParams, &state, &change), kOk);
  ASSERT_NE(state.port, PortWord{});
  EXPECT_EQ(CommandLines(), (std::vector<LogLine>{
                                {0, "ZODODA> OpenCom() exited OK, file handle " + Handle(state.port)}}));
}

TEST_F(LifecycleTest, ChangeToTheSameNameOnAHeldDevice) {
  ASSERT_EQ(Start(port_name, 10), kOk);
  const PortWord first = state.port;
  const std::size_t held = vuzov_test::OpenHandleCount();
  host.Clear();
  ChangeParams change = MakeChange(port_name, 0xFFFFFFFFu, LineSettings{0, 0, 0, 0});
  const std::uint32_t result = Call(kChangeZemParams, &state, &change);
  if (result == kFailed) {
    EXPECT_EQ(state.port, first) << "the first handle stays";
    EXPECT_EQ(CommandLines(), (std::vector<LogLine>{{32, "ZODODA> OpenCom() exited with error"},
                                                    {0, "ZODODA> ChangeZemParams() exited 2"}}));
  } else {
    EXPECT_EQ(result, kOk);
    EXPECT_NE(state.port, first);
  }
  EXPECT_EQ(vuzov_test::OpenHandleCount(), held) << "no handle dropped without a close";
}

TEST_F(LifecycleTest, ChangeReadsUnterminatedNamesSafely) {
  // Twelve characters and no terminator: nothing may be read past the field.
  ChangeParams change{};
  std::memset(change.port_name, 'X', sizeof change.port_name);
  change.timeout = 0xFFFFFFFFu;
  EXPECT_EQ(Call(kChangeZemParams, &state, &change), kFailed);
  EXPECT_EQ(std::memcmp(state.port_block.name, change.port_name, 12), 0);
}
