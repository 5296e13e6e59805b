// The panelsim program as an integrator runs it: arguments, scenario errors,
// the line's path on standard output, the link, signals and exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "driver_side.h"
#include "encoding.h"

using namespace panelsim_test;
using namespace std::chrono_literals;

namespace {

// One run of the program with its standard output and error on pipes. The
// destructor kills and reaps a child that is still running.
class Program {
 public:
  explicit Program(const std::vector<std::string> &arguments) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    out_.reset(out[0]);
    panelsim::UniqueFd out_write(out[1]);
    if (pipe2(err, O_CLOEXEC) != 0) return;
    err_.reset(err[0]);
    panelsim::UniqueFd err_write(err[1]);
    std::vector<std::string> argv = {PANELSIM_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    child_ = std::make_unique<vuzov_test::ChildProcess>(
        argv, vuzov_test::ChildStreams{-1, out_write.get(), err_write.get()});
  }

  bool started() const { return child_ && child_->started(); }
  void Signal(int number) const { child_->Signal(number); }

  // One line of standard output, without its newline; empty on timeout.
  std::string ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd entry{out_.get(), POLLIN, 0};
      if (poll(&entry, 1, 50) <= 0) continue;
      char c = 0;
      if (read(out_.get(), &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return std::string();
  }

  // The exit status, or -1 when the program did not exit in time.
  int Wait(std::chrono::milliseconds timeout) {
    int status = 0;
    if (!child_ || !child_->Wait(timeout, &status)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  static std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
    return text;
  }
  // Everything the program wrote there; call after Wait.
  std::string Output() { return ReadAll(out_.get()); }
  std::string Errors() { return ReadAll(err_.get()); }

 private:
  panelsim::UniqueFd out_;
  panelsim::UniqueFd err_;
  // Last, so the child is gone before its pipes close.
  std::unique_ptr<vuzov_test::ChildProcess> child_;
};

class TempFiles {
 public:
  TempFiles() {
    char pattern[] = "/tmp/panelsim-cli-XXXXXX";
    const char *made = mkdtemp(pattern);
    dir_ = made ? made : "";
  }
  ~TempFiles() {
    for (const std::string &name : names_) unlink((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }
  std::string Path(const std::string &name) {
    names_.push_back(name);
    return dir_ + "/" + name;
  }
  std::string Write(const std::string &name, const std::string &text) {
    const std::string path = Path(name);
    FILE *file = std::fopen(path.c_str(), "w");
    if (file != nullptr) {
      std::fputs(text.c_str(), file);
      std::fclose(file);
    }
    return path;
  }

 private:
  std::string dir_;
  std::vector<std::string> names_;
};

bool Exists(const std::string &path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::string LinkTarget(const std::string &path) {
  char target[256];
  const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  return length < 0 ? std::string() : std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

TEST(PanelsimProgram, ReportsBadScenarioLinesAndDoesNotStart) {
  TempFiles files;
  const std::string scenario = files.Write(
      "bad.scn", "at 1s zone-alarm 1\nat 1s zone-alarn 2\n\nat 2s zone-alarm 40000\n");
  const std::string link = files.Path("panel");
  Program program({"--link", link, scenario});
  ASSERT_TRUE(program.started());
  EXPECT_EQ(program.Wait(5000ms), 2);
  EXPECT_EQ(program.Errors(),
            "2: unknown verb 'zone-alarn'\n4: zone 40000 cannot be encoded (-32768 to 32512)\n");
  EXPECT_EQ(program.Output(), "");
  EXPECT_FALSE(Exists(link));
}

TEST(PanelsimProgram, CheckCountsTheEventsAndRefusesADirectory) {
  TempFiles files;
  Program one({"--check", files.Write("one.scn", "at 1s zone-alarm 1\n")});
  ASSERT_TRUE(one.started());
  EXPECT_EQ(one.Wait(5000ms), 0);
  EXPECT_NE(one.Output().find(": 1 event\n"), std::string::npos) << one.Output();
  Program folder({"--check", "/tmp"});
  ASSERT_TRUE(folder.started());
  EXPECT_EQ(folder.Wait(5000ms), 2);
  EXPECT_EQ(folder.Errors(), "panelsim: cannot read /tmp: it is a directory, not a file\n");
}

TEST(PanelsimProgram, RefusesBadArguments) {
  for (const std::vector<std::string> &arguments :
       {std::vector<std::string>{"--frame-length", "8"}, {"--baud", "fast"}, {"--baud", "12345"},
        {"--framing", "7N1"}, {"--bogus"}, {"a.scn", "b.scn"}, {"--link"}}) {
    Program program(arguments);
    ASSERT_TRUE(program.started());
    EXPECT_EQ(program.Wait(5000ms), 2) << arguments[0];
    EXPECT_EQ(program.Errors().rfind("panelsim: ", 0), 0u) << arguments[0];
  }
}

TEST(PanelsimProgram, HelpDocumentsEveryVerbAndOption) {
  Program program({"--help"});
  ASSERT_TRUE(program.started());
  ASSERT_EQ(program.Wait(5000ms), 0);
  const std::string help = program.Output();
  for (const char *word :
       {"element-state", "element-event", "zone-alarm", "alarm-range", "zone-fault", "fault-range",
        "command-rejected", "zone-report", "status", "raw", "silent", "garbage", "short-frame",
        "long-frame", "dribble", "command-reply", "command-silent", "hangup", "end", "at poll",
        "clock first-poll", "--device", "--link", "--baud", "--framing", "--frame-length",
        "--address", "--command-timeout", "--trace", "--check"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

TEST(PanelsimProgram, PlaysAScenarioBehindItsLinkUntilTheScenarioEnds) {
  TempFiles files;
  const std::string scenario = files.Write("run.scn", "at 0s zone-alarm 12\nat poll 2 end\n");
  const std::string link = files.Path("panel");
  Program program({"--link", link, scenario});
  ASSERT_TRUE(program.started());
  const std::string path = program.ReadLine(5000ms);
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  EXPECT_EQ(LinkTarget(link), path);
  DriverSide host(link);
  ASSERT_TRUE(host.is_open());
  panelsim::Message alarm;
  ASSERT_TRUE(panelsim::ZoneAlarmMessage(12, panelsim::kAlarmSingle, &alarm, nullptr));
  EXPECT_EQ(host.Poll(), panelsim::BuildFrame(alarm, {12, 1}));
  host.Send({panelsim::kEnq});
  EXPECT_TRUE(host.WaitForHangup(5000ms));
  EXPECT_EQ(program.Wait(5000ms), 0);
  EXPECT_FALSE(Exists(link));
  EXPECT_NE(program.Errors().find("panelsim: 2 polls, 1 messages sent (0 resent), 1 retired, "
                                  "0 waiting; commands A 0, R 0, S 0\n"),
            std::string::npos);
}

TEST(PanelsimProgram, TracesTheLineAndStopsCleanlyOnSigterm) {
  TempFiles files;
  const std::string link = files.Path("panel");
  Program program({"--trace", "--link", link});
  ASSERT_TRUE(program.started());
  ASSERT_FALSE(program.ReadLine(5000ms).empty());
  DriverSide host(link);
  ASSERT_TRUE(host.is_open());
  EXPECT_EQ(host.Poll(), Bytes{panelsim::kEot});
  host.Send(panelsim::CommandFrame('S'));
  EXPECT_EQ(host.Drain(200ms), Bytes{panelsim::kAck});
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(5000ms), 0);
  EXPECT_FALSE(Exists(link));
  const std::string errors = program.Errors();
  EXPECT_NE(errors.find(" < 05  poll 1\n"), std::string::npos) << errors;
  EXPECT_NE(errors.find(" > 04  nothing to report\n"), std::string::npos) << errors;
  EXPECT_NE(errors.find(" < 02 02 00 02 02  command S\n"), std::string::npos) << errors;
  EXPECT_NE(errors.find("commands A 0, R 0, S 1\n"), std::string::npos) << errors;
}
