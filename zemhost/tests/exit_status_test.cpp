// How a run ends when it cannot go on as asked: standard output that cannot
// be written, a reader of it that goes away, and a second stop request while a
// driver call has not returned.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "exit_status.h"
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

// --help is what a user reads the statuses from: every status the program can
// end with is there, on a terminal's width.
TEST(ZemhostExitStatus, TheHelpNamesEveryStatusAndFitsATerminal) {
  Program help({"--help"});
  ASSERT_TRUE(help.started());
  ASSERT_EQ(help.Wait(), 0) << help.err();
  for (const std::string &line : Lines(help.out())) {
    EXPECT_LE(line.size(), 80u) << line;
  }
  const std::size_t section = help.out().find("Exit status:");
  ASSERT_NE(section, std::string::npos);
  const std::string statuses = help.out().substr(section);
  for (const int status : {zemhost::kExitOk, zemhost::kExitFailure, zemhost::kExitUsage,
                           zemhost::kExitModule, zemhost::kExitPort, zemhost::kExitBroker,
                           zemhost::kExitNoAnswer, zemhost::kExitOutput}) {
    EXPECT_NE(statuses.find("\n  " + std::to_string(status) + "  "), std::string::npos) << status;
  }
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

// A line with no panel on it: a pty whose master nobody answers from.
struct SilentLine {
  SilentLine() : master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    char name[128];
    if (master && grantpt(master.get()) == 0 && unlockpt(master.get()) == 0 &&
        ptsname_r(master.get(), name, sizeof name) == 0) {
      port = std::string(name).substr(5);  // the driver's name for it: pts/N
    }
  }
  panelsim::UniqueFd master;
  std::string port;
};

// Polls that all went unanswered are no clean run: exit 6 names the instance.
// The same line under a reader that goes away ends by SIGPIPE: the output's
// loss, not the line, is what cut that run short.
TEST(ZemhostExitStatus, ALineThatNeverAnswersIsNoCleanRun) {
  const SilentLine line;
  ASSERT_FALSE(line.port.empty());
  Program run(Fast({"--port", line.port, "--polls", "2", "--lines"}));
  ASSERT_TRUE(run.started());
  EXPECT_EQ(run.Wait(), 6) << run.err();
  EXPECT_NE(run.err().find("zemhost: instance 1: no poll was answered (2 tried)"),
            std::string::npos)
      << run.err();
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  panelsim::UniqueFd reader(ends[0]);
  std::unique_ptr<Program> piped;
  {
    const panelsim::UniqueFd writer(ends[1]);
    piped = std::make_unique<Program>(Fast({"--port", line.port, "--lines"}), writer.get());
  }
  ASSERT_TRUE(piped->started());
  // The reader goes once a poll has failed, so the run has something to count.
  std::string seen;
  for (int tries = 0; tries < 100 && seen.find(" failed: result") == std::string::npos; ++tries) {
    pollfd readable{reader.get(), POLLIN, 0};
    if (poll(&readable, 1, 100) != 1) continue;
    char chunk[512];
    const ssize_t got = read(reader.get(), chunk, sizeof chunk);
    if (got > 0) seen.append(chunk, static_cast<std::size_t>(got));
  }
  ASSERT_NE(seen.find(" failed: result"), std::string::npos) << seen;
  reader.reset();
  EXPECT_EQ(piped->Wait(15s), -1) << piped->err();
  EXPECT_EQ(piped->TermSignal(), SIGPIPE) << piped->err();
}

// A poll that waits for a reply with a ten-minute timeout on a line nobody
// answers: the first stop starts the shutdown, which waits for the poll. A
// stop delivered twice at once (here as two signals, which never merge into
// one) is one stop; a SIGTERM a second or more after it is a second stop,
// which ends the process at once and names the instance that was busy.
TEST(ZemhostExitStatus, ASecondStopEndsAtOnceNamingTheBusyInstance) {
  const SilentLine line;
  ASSERT_TRUE(line.master);
  const panelsim::UniqueFd &master = line.master;
  const std::string &port = line.port;
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
  run.Signal(SIGINT);
  run.Signal(SIGTERM);
  ASSERT_TRUE(run.WaitForOutput("zemhost: stop requested", 10s)) << run.out() << run.err();
  // Still shutting down, waiting for the poll, well past the one second.
  ASSERT_EQ(run.Wait(1500ms), -1) << "the repeated stop ended the run: " << run.err();
  ASSERT_EQ(run.TermSignal(), 0);
  run.Signal(SIGTERM);
  EXPECT_EQ(run.Wait(10s), 128 + SIGTERM) << run.out() << run.err();
  EXPECT_NE(run.err().find("still inside a driver call: instance 1 (read on " + port + ")"),
            std::string::npos)
      << run.err();
  EXPECT_EQ(run.out().find("EndZem"), std::string::npos) << "the driver was ended under a call";
}

}  // namespace
