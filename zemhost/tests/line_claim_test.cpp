// One line, one host: two zemhost runs on one simulated panel's pty, in both
// orders (the trace relay first, or the driver first). The second is turned
// away with the device named, and the first carries on as if it were alone.
#include <gtest/gtest.h>

#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include "scenario.h"
#include "simulator.h"
#include "zemhost_run.h"

namespace {

using namespace zemhost_test;

// Zones far apart in polls, so the first host is still waiting for most of
// them while the second tries the line.
constexpr const char kZones[] =
    "clock first-poll\n"
    "at poll 2 zone-alarm 3\n"
    "at poll 20 zone-alarm 4\n"
    "at poll 30 zone-alarm 5\n"
    "at poll 40 zone-alarm 6\n";

const char *const kAlarms[] = {" CP1Z3 = 1\n", " CP1Z4 = 1\n", " CP1Z5 = 1\n", " CP1Z6 = 1\n"};

struct Order {
  const char *name;
  bool first_traces;  // the first host relays the line; else the second does
};

// The first host must see the line as if it were alone: not one failed poll.
// A read timeout of a second is one the simulated panel cannot miss however
// busy the machine is (its answers come within milliseconds), so a failure
// can only be a byte the second host took or threw away. Each framed reply
// ends after one timeout of silence, so the first host waits a second per
// alarm.
constexpr const char kPatientTimeout[] = "100";

std::vector<std::string> Host(const std::string &port, bool trace, const char *timeout,
                              std::vector<std::string> more) {
  std::vector<std::string> arguments = {"--port", port, "--interval", "20ms", "--timeout", timeout};
  if (trace) arguments.push_back("--trace");
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

TEST(ZemhostLineClaim, TheSecondHostIsTurnedAwayAndTheFirstIsUndisturbed) {
  for (const Order order : {Order{"trace host first", true}, Order{"plain host first", false}}) {
    SCOPED_TRACE(order.name);
    panelsim::Scenario scenario;
    std::vector<std::string> errors;
    std::istringstream text(kZones);
    ASSERT_TRUE(panelsim::ParseScenario(text, &scenario, &errors));
    panelsim::Simulator panel(scenario, panelsim::Options{});
    std::string error;
    ASSERT_TRUE(panel.Start(&error)) << error;
    const std::string device = panel.SlavePath();
    const std::string port = device.substr(5);  // "pts/N"

    Program first(Host(port, order.first_traces, kPatientTimeout, {}));
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(first.WaitForOutput(" CP1Z3 = 1\n", 30s)) << first.out() << first.err();

    Program second(Host(port, !order.first_traces, "5", {"--for", "2s"}));
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.Wait(), 4) << second.out() << second.err();
    EXPECT_NE(second.err().find(device + " is held by another program"), std::string::npos)
        << second.err();
    for (const char *zone : kAlarms) EXPECT_EQ(second.out().find(zone), std::string::npos) << zone;

    EXPECT_TRUE(first.WaitForOutput(" CP1Z6 = 1\n", 60s)) << first.out();
    first.Signal(SIGINT);
    EXPECT_EQ(first.Wait(10s), 0) << first.err();
    const std::string &out = first.out();
    for (const char *zone : kAlarms) EXPECT_NE(out.find(zone), std::string::npos) << zone << out;
    EXPECT_EQ(out.find("failed: result"), std::string::npos) << out;
    EXPECT_EQ(out.find("error receiving data"), std::string::npos) << out;
    EXPECT_EQ(out.find("reopening"), std::string::npos) << out;
  }
}

// The null device has no line to relay; zemhost says so instead of looking
// for a device of that name.
TEST(ZemhostLineClaim, TraceOnTheNullDeviceIsRefusedWithTheReason) {
  Program run({"--port", "NUL", "--trace", "--polls", "1"});
  ASSERT_TRUE(run.started());
  EXPECT_EQ(run.Wait(), 2) << run.out();
  EXPECT_NE(run.err().find("NUL is the null device"), std::string::npos) << run.err();
}

}  // namespace
