// The driver end to end: the module loaded by name as a host loads it, the host
// library stand-in as the host, and the panel simulator in a process of its own
// on the far end of the line (a pty on Linux, a COM port linked to a pty under
// Wine). The simulator plays e2e.scn, where each poll brings one thing, so the
// cases below run in order and each knows which poll it makes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host_capture.h"
#include "host_interface.h"
#include "module_loader.h"
#include "qarpro.h"

using namespace vuzov;
using vuzov_test::GateStore;
using vuzov_test::LogLine;

namespace {

constexpr std::int32_t kInstance = 5;

class EndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host = new vuzov_test::HostCapture;
    std::string error;
    module = new vuzov_loader::LoadedModule(
        vuzov_loader::LoadedModule::Load(VUZOV_MODULE_PATH, &error));
    ASSERT_TRUE(*module) << error;
    for (const char *gate : {"CP1MS", "CP1ST", "CP1Z12", "CP1Z20", "CP1Z22", "CP1Z260E5",
                             "CP1Z30", "CP1Z31", "CP1Z40E40", "CP1Z50"}) {
      QarHostAddGate(gate);
    }
    std::memset(&state, 0, sizeof state);
    const char *port = std::getenv("VUZOV_TEST_PORT");
    ASSERT_NE(port, nullptr) << "run through run_with_panelsim.sh";
    StartParams start{};
    std::strncpy(start.port_name, port, sizeof start.port_name - 1);
    start.enable = 1;
    start.timeout = 10;  // 100 ms: a reply's end is 100 ms of silence
    start.line = LineSettings{9600, 8, 0, 0};
    ASSERT_EQ(Call(kColdStart, &start), kOk) << port;
  }

  static void TearDownTestSuite() {
    if (module != nullptr && *module) {
      const int waiting = static_cast<int>(QarHostClientCount());
      QarHostPostAll();
      EXPECT_TRUE(host->WaitForText("ZODODA> ShutDown !", waiting, 10000));
      Call(kEndZem, nullptr);
    }
    delete module;
    delete host;
    module = nullptr;
    host = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(module, nullptr);
    ASSERT_TRUE(*module);
    host->Clear();
  }

  static std::uint32_t Call(std::uint32_t command, void *params) {
    Request request{};
    request.state = &state;
    request.command = command;
    request.instance = kInstance;
    request.params = params;
    return module->Entry()(&request);
  }

  // One SingleRead of a point of panel 1.
  static std::uint32_t Poll(std::int32_t *result) {
    PointBlock point{};
    point.address = "CP1Z1";
    point.panel = 1;
    point.result = result;
    return Call(kSingleRead, &point);
  }

  static std::uint32_t Command(const char *address, std::uint16_t *acknowledged) {
    WriteStatus status{0xBEEF, 0x7777};
    PointBlock point{};
    point.address = address;
    point.panel = 1;
    point.result = &status;
    const std::uint32_t result = Call(kSingleWrite, &point);
    *acknowledged = status.acknowledged;
    EXPECT_EQ(status.host_reserved, 0xBEEF);
    return result;
  }

  // The gate stores of the last exchange, without the client id.
  static std::vector<std::pair<std::string, double>> Stores() {
    std::vector<std::pair<std::string, double>> stores;
    for (const GateStore &store : host->Stores()) stores.emplace_back(store.name, store.value);
    return stores;
  }

  static vuzov_test::HostCapture *host;
  static vuzov_loader::LoadedModule *module;
  static InstanceState state;
};

vuzov_test::HostCapture *EndToEndTest::host = nullptr;
vuzov_loader::LoadedModule *EndToEndTest::module = nullptr;
InstanceState EndToEndTest::state;

using Stored = std::vector<std::pair<std::string, double>>;

}  // namespace

TEST_F(EndToEndTest, ZoneAlarm) {  // poll 1
  std::int32_t result = -1;
  ASSERT_EQ(Poll(&result), kOk);
  EXPECT_EQ(result, '3' + 1 * 65535);
  EXPECT_EQ(Stores(), (Stored{{"CP1MS", '3'}, {"CP1ST", 1}, {"CP1Z12", 1}}));
  // The stores carry the client the instance made.
  std::uint8_t client = 0;
  ASSERT_EQ(QarHostFindClient("VUZOV No_05", &client), 0);
  for (const GateStore &store : host->Stores()) EXPECT_EQ(store.client, client);
}

TEST_F(EndToEndTest, AlarmRangeSkipsTheGatesTheHostLacks) {  // poll 2
  std::int32_t result = -1;
  ASSERT_EQ(Poll(&result), kOk);
  EXPECT_EQ(Stores(), (Stored{{"CP1MS", '3'}, {"CP1ST", 4}, {"CP1Z20", 1}, {"CP1Z22", 1}}));
}

TEST_F(EndToEndTest, ElementState) {  // poll 3
  std::int32_t result = -1;
  ASSERT_EQ(Poll(&result), kOk);
  EXPECT_EQ(Stores(), (Stored{{"CP1MS", '0'}, {"CP1ST", 3}, {"CP1Z260E5", 3}}));
}

TEST_F(EndToEndTest, RejectedCommandIsLogged) {  // poll 4
  std::int32_t result = -1;
  ASSERT_EQ(Poll(&result), kOk);
  EXPECT_EQ(host->Lines(), (std::vector<LogLine>{
                               {0, "ZODODA> Command 41 rejected - type FFFFFF85"}}));
}

TEST_F(EndToEndTest, ZoneFaultAndZoneReport) {  // polls 5 and 6
  std::int32_t result = -1;
  ASSERT_EQ(Poll(&result), kOk);
  EXPECT_EQ(Stores(), (Stored{{"CP1MS", '7'}, {"CP1ST", 1}, {"CP1Z30", 1}}));
  host->Clear();
  ASSERT_EQ(Poll(&result), kOk);
  EXPECT_EQ(Stores(), (Stored{{"CP1MS", '='}, {"CP1ST", 0}, {"CP1Z31", 1}}));
}

TEST_F(EndToEndTest, NothingToReport) {  // poll 7
  std::int32_t result = -1;
  ASSERT_EQ(Poll(&result), kOk);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(host->Stores().empty());
  EXPECT_TRUE(host->Lines().empty());
}

TEST_F(EndToEndTest, SilentPanelFailsAfterThreeAttempts) {  // polls 8 to 10
  std::int32_t result = 0x5A5A5A5A;
  EXPECT_EQ(Poll(&result), kFailed);
  EXPECT_EQ(result, 0x5A5A5A5A);
  EXPECT_TRUE(host->Stores().empty());
  EXPECT_EQ(host->Texts(), (std::vector<std::string>{
                               "ZODODA> DoRead() error receiving data, retry 1 'CP1Z1'",
                               "ZODODA> DoRead() error receiving data, retry 2 'CP1Z1'",
                               "ZODODA> DoRead() error receiving data, retry 3 'CP1Z1'",
                               "ZODODA> SingleRead() , ret val is 2"}));
}

TEST_F(EndToEndTest, PanelAnswersAgainAfterSilence) {  // poll 11
  std::int32_t result = -1;
  ASSERT_EQ(Poll(&result), kOk);
  EXPECT_EQ(Stores(), (Stored{{"CP1MS", '1'}, {"CP1ST", 0}, {"CP1Z40E40", 1}}));
}

TEST_F(EndToEndTest, CommandsAndTheirAcknowledgement) {  // poll 12 arms a refusal
  std::int32_t result = -1;
  ASSERT_EQ(Poll(&result), kOk);
  std::uint16_t acknowledged = 9;
  EXPECT_EQ(Command("CP1S!", &acknowledged), kOk);
  EXPECT_EQ(acknowledged, 0) << "the panel answered 0x15, not ACK";
  EXPECT_EQ(Command("CP1A!", &acknowledged), kOk);
  EXPECT_EQ(acknowledged, 1);
  EXPECT_EQ(Command("CP1R!", &acknowledged), kOk);
  EXPECT_EQ(acknowledged, 1);
  // Points that name no command send nothing and leave the word alone.
  EXPECT_EQ(Command("CP1Z1", &acknowledged), kOk);
  EXPECT_EQ(acknowledged, 0x7777);
  EXPECT_EQ(Command("CP1Z!", &acknowledged), kOk);
  EXPECT_EQ(acknowledged, 0x7777);
  EXPECT_TRUE(host->Lines().empty());
}

TEST_F(EndToEndTest, OverlongFrameIsReadAwayWithItsTail) {  // polls 13 and 14
  std::int32_t result = -1;
  ASSERT_EQ(Poll(&result), kOk);
  EXPECT_EQ(Stores(), (Stored{{"CP1MS", '3'}, {"CP1ST", 1}, {"CP1Z50", 1}}));
  // The frame's bytes 21 to 26 were read away with it: the next exchange reads
  // the panel's own answer to its poll.
  host->Clear();
  ASSERT_EQ(Poll(&result), kOk);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(host->Stores().empty());
  EXPECT_TRUE(host->Lines().empty());
}

TEST_F(EndToEndTest, HangUpFailsTheExchangeAndNoPortMeansOne) {  // poll 16 and on
  std::int32_t result = 0x5A5A5A5A;
  // Poll 15 reads EOT; the hang-up comes with poll 16.
  EXPECT_EQ(Poll(&result), kOk);
  EXPECT_EQ(result, 0);
  result = 0x5A5A5A5A;
  EXPECT_EQ(Poll(&result), kFailed);
  EXPECT_EQ(result, 0x5A5A5A5A);
  EXPECT_EQ(host->Texts().back(), "ZODODA> SingleRead() , ret val is 2");
  EXPECT_EQ(Call(kCloseCom, nullptr), kOk);
  host->Clear();
  EXPECT_EQ(Poll(&result), kNotPossible);
  std::uint16_t acknowledged = 0;
  EXPECT_EQ(Command("CP1A!", &acknowledged), kNotPossible);
  EXPECT_EQ(host->Texts(), (std::vector<std::string>{"ZODODA> SingleRead() , ret val is 1",
                                                     "ZODODA> SingleWrite() , ret val is 1"}));
}
