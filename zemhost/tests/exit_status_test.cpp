// How a run ends when it cannot go on as asked: standard output that cannot
// be written, a reader of it that goes away, and a second stop request while a
// driver call has not returned.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "line.h"
#include "zemhost_run.h"

namespace {

using namespace zemhost_test;

const std::vector<std::string> kOutputs = {"--lines", "--json"};

std::vector<std::string> QuickRun(const std::string &output, std::vector<std::string> more) {
  std::vector<std::string> arguments = {"--simulate", kScenarios + "/quick.scn", output,
                                        "--selfcheck"};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return Fast(arguments);
}

// A full disk: the run still shuts the driver down (the selfcheck finds
// nothing left) and says why it failed.
TEST(ZemhostExitStatus, UnwritableOutputIsAFailureAfterACleanShutdown) {
  const panelsim::UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full);
  for (const std::string &output : kOutputs) {
    SCOPED_TRACE(output);
    Program run(QuickRun(output, {"--polls", "2"}), full.get());
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.Wait(), 1) << run.err();
    EXPECT_NE(run.err().find("zemhost: cannot write to standard output: No space left on device"),
              std::string::npos)
        << run.err();
    EXPECT_NE(run.err().find("selfcheck: no descriptor or thread left behind"), std::string::npos)
        << run.err();
  }
}

// `zemhost | head -1`: once the reader has gone, a run with no end of its own
// ends by its shutdown, says nothing, and is seen as ended by SIGPIPE.
TEST(ZemhostExitStatus, AReaderThatGoesAwayEndsTheRunQuietly) {
  for (const std::string &output : kOutputs) {
    SCOPED_TRACE(output);
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    panelsim::UniqueFd reader(ends[0]);
    std::unique_ptr<Program> run;
    {
      const panelsim::UniqueFd writer(ends[1]);
      run = std::make_unique<Program>(QuickRun(output, {}), writer.get());
    }
    ASSERT_TRUE(run->started());
    pollfd readable{reader.get(), POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 10000), 1) << "no output";
    char first[64];
    ASSERT_GT(read(reader.get(), first, sizeof first), 0);
    reader.reset();
    EXPECT_EQ(run->Wait(15s), -1) << run->err();
    EXPECT_EQ(run->TermSignal(), SIGPIPE) << run->err();
    EXPECT_EQ(run->err(), "zemhost: selfcheck: no descriptor or thread left behind\n");
  }
}

// A poll that waits for a reply with a ten-minute timeout on a line nobody
// answers: the first SIGTERM starts the shutdown, which waits for the poll; a
// second ends the process at once and names the instance that was busy.
TEST(ZemhostExitStatus, ASecondStopEndsAtOnceNamingTheBusyInstance) {
  const panelsim::UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  char name[128];
  ASSERT_TRUE(master);
  ASSERT_EQ(grantpt(master.get()), 0);
  ASSERT_EQ(unlockpt(master.get()), 0);
  ASSERT_EQ(ptsname_r(master.get(), name, sizeof name), 0);
  const std::string port = std::string(name).substr(5);
  Program run({"--port", port, "--timeout", "60000", "--lines"});
  ASSERT_TRUE(run.started());
  // The poll byte on the line: the driver is inside its read from here on.
  bool polled = false;
  for (int tries = 0; tries < 100 && !polled; ++tries) {
    pollfd readable{master.get(), POLLIN, 0};
    if (poll(&readable, 1, 100) != 1) continue;
    unsigned char byte = 0;
    polled = read(master.get(), &byte, 1) == 1 && byte == 0x05;
  }
  ASSERT_TRUE(polled) << run.err();
  run.Signal(SIGTERM);
  ASSERT_TRUE(run.WaitForOutput("zemhost: stop requested", 10s)) << run.out() << run.err();
  run.Signal(SIGTERM);
  EXPECT_EQ(run.Wait(10s), 128 + SIGTERM) << run.out() << run.err();
  EXPECT_NE(run.err().find("still inside a driver call: instance 1 (read on " + port + ")"),
            std::string::npos)
      << run.err();
  EXPECT_EQ(run.out().find("EndZem"), std::string::npos) << "the driver was ended under a call";
}

}  // namespace
