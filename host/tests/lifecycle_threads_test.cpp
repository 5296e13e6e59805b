// Several instances driven from their own host threads at once, and the module
// ended while they run: the instances share nothing but the module's ended state
// and its record of held ports. Run under ThreadSanitizer in the TSan build.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host_capture.h"
#include "dispatch.h"
#include "peer_line.h"
#include "qarpro.h"

using namespace vuzov;

namespace {

constexpr int kInstances = 4;
constexpr int kRounds = 40;

std::uint32_t Call(InstanceState *state, std::uint32_t command, void *params, std::int32_t n) {
  Request request{};
  request.state = state;
  request.command = command;
  request.instance = n;
  request.params = params;
  return DispatchRequest(&request);
}

struct Instance {
  InstanceState state;
  std::string port;
  std::int32_t result_word = 0;
  PointBlock point{};
  std::vector<std::uint32_t> results;
};

// One host thread's work on its instance: start, then poll and manage the port.
void Drive(Instance *instance, std::int32_t number) {
  StartParams start{};
  std::strncpy(start.port_name, instance->port.c_str(), sizeof start.port_name - 1);
  start.enable = 1;
  start.timeout = 2;
  start.line = LineSettings{9600, 8, 0, 0};
  instance->results.push_back(Call(&instance->state, kColdStart, &start, number));
  instance->point.address = "CP1Z1";
  instance->point.panel = number;
  instance->point.result = &instance->result_word;
  for (int round = 0; round < kRounds; ++round) {
    instance->results.push_back(Call(&instance->state, kSingleRead, &instance->point, number));
    instance->results.push_back(Call(&instance->state, kWarmStart, nullptr, number));
    if (round % 8 == 7) {
      instance->results.push_back(Call(&instance->state, kCloseCom, nullptr, number));
      instance->results.push_back(Call(&instance->state, kReOpenCom, nullptr, number));
    }
  }
}

}  // namespace

TEST(LifecycleThreadsTest, InstancesOnTheirOwnThreadsAndEndZemRacingThem) {
  vuzov_test::HostCapture host;
  EndedFlag.store(0);
  std::vector<std::unique_ptr<vuzov_test::PeerLine>> panels;
  std::vector<Instance> instances(kInstances);
  for (int i = 0; i < kInstances; ++i) {
    std::memset(&instances[i].state, 0, sizeof instances[i].state);
    // Half on lines whose panel stays silent, half on the null device.
    if (i % 2 == 0) {
      std::string error;
      panels.push_back(vuzov_test::PeerLine::Create(&error));
      if (panels.back() == nullptr) {
        instances[i].port = "NUL";
        continue;
      }
      instances[i].port = panels.back()->DriverPortName();
    } else {
      instances[i].port = "NUL";
    }
  }
  // Under Wine only one line is linked per test program.
  for (int i = 1; i < kInstances; ++i) {
    if (instances[i].port == instances[0].port) instances[i].port = "NUL";
  }

  // The instance that ends the module has a host thread of its own: two commands
  // on one instance never overlap, commands on different instances do.
  Instance ending;
  std::memset(&ending.state, 0, sizeof ending.state);
  std::vector<std::thread> hosts;
  for (int i = 0; i < kInstances; ++i) hosts.emplace_back(Drive, &instances[i], i + 1);
  std::atomic<std::uint32_t> end_result{99};
  std::thread ender([&] {
    StartParams start{};
    std::strncpy(start.port_name, "NUL", sizeof start.port_name - 1);
    start.enable = 1;
    start.timeout = 2;
    start.line = LineSettings{9600, 8, 0, 0};
    Call(&ending.state, kColdStart, &start, 9);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    end_result = Call(&ending.state, kEndZem, nullptr, 9);
  });
  for (auto &thread : hosts) thread.join();
  ender.join();

  EXPECT_EQ(EndedFlag.load(), 1u);
  EXPECT_EQ(end_result.load(), kOk);
  for (const Instance &instance : instances) {
    for (std::uint32_t result : instance.results) EXPECT_LE(result, kFailed);
  }
  // After the end, every command answers 0.
  EXPECT_EQ(Call(&instances[1].state, kSingleRead, &instances[1].point, 2), kOk);

  // The host ends the waiting threads, then closes what the end left open.
  const int waiting = static_cast<int>(QarHostClientCount());
  QarHostPostAll();
  EXPECT_TRUE(host.WaitForText("ZODODA> ShutDown !", waiting, 10000));
  EndedFlag.store(0);
  for (Instance &instance : instances) {
    if (instance.state.port != PortWord{}) Call(&instance.state, kCloseCom, nullptr, 1);
  }
}
