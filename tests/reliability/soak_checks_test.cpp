// What the soak itself must get right to be believed: no run, however it
// ends, leaves a link that leads a later one onto a stranger's line, and an
// alarm acknowledged through the wrong panel's line fails the run and
// explains itself.
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
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "child_process.h"
#include "line.h"
#include "soak_links.h"

using namespace std::chrono_literals;
using panelsim::UniqueFd;
using vuzov_soak::LinkDirectory;
using vuzov_soak::SweepDeadRuns;

namespace {

bool Exists(const std::string &path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::string ReadLink(const std::string &path) {
  char target[256];
  const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  return length < 0 ? std::string() : std::string(target, static_cast<std::size_t>(length));
}

// A parent directory of the test's own, so that no other run's sweep reaches
// into it; removed with what is left in it.
class Parent {
 public:
  Parent() {
    char pattern[] = "/tmp/soak-links-test-XXXXXX";
    const char *made = mkdtemp(pattern);
    path_ = made ? made : "";
  }
  ~Parent() {
    for (const std::string &name : extra_) rmdir((path_ + "/" + name).c_str());
    rmdir(path_.c_str());
  }
  const std::string &path() const { return path_; }
  void Forget(const std::string &name) { extra_.push_back(name); }

 private:
  std::string path_;
  std::vector<std::string> extra_;
};

// A run that holds a link directory under `parent` with one link to a pty of
// its own, in a child process the test can kill. The directory's path comes
// back through a pipe once the link is in place.
class RunInChild {
 public:
  explicit RunInChild(const std::string &parent) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return;
    UniqueFd read_end(ready[0]);
    UniqueFd write_end(ready[1]);
    pid_ = fork();
    if (pid_ == 0) {
      read_end.reset();
      LinkDirectory links;
      std::string error;
      const int pty = posix_openpt(O_RDWR | O_NOCTTY);
      if (!LinkDirectory::Make(parent, &links, &error) || pty < 0 || grantpt(pty) != 0 ||
          unlockpt(pty) != 0 || symlink(ptsname(pty), links.LinkFor(1).c_str()) != 0) {
        _exit(1);
      }
      const std::string said = links.path() + "\n";
      if (write(write_end.get(), said.data(), said.size()) != static_cast<ssize_t>(said.size())) {
        _exit(1);
      }
      // Bounded: the test kills it long before.
      for (int i = 0; i < 300; ++i) usleep(100'000);
      _exit(0);
    }
    write_end.reset();
    char buffer[256] = {};
    pollfd entry{read_end.get(), POLLIN, 0};
    if (pid_ > 0 && poll(&entry, 1, 10'000) == 1) {
      const ssize_t got = read(read_end.get(), buffer, sizeof buffer - 1);
      if (got > 1) path_.assign(buffer, static_cast<std::size_t>(got - 1));
    }
  }
  ~RunInChild() { Kill(); }

  const std::string &path() const { return path_; }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string path_;
};

// One run of the soak program with its standard output collected as it comes.
class SoakRun {
 public:
  explicit SoakRun(const std::vector<std::string> &arguments) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    out_.reset(out[0]);
    UniqueFd out_write(out[1]);
    std::vector<std::string> argv = {SOAK_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    child_ = std::make_unique<vuzov_test::ChildProcess>(
        argv, vuzov_test::ChildStreams{-1, out_write.get(), -1});
  }

  bool started() const { return child_ && child_->started(); }
  void Kill() const { child_->Signal(SIGKILL); }

  // Reads until a line matching `pattern` came; its match, or none on timeout.
  std::smatch WaitForLine(const std::regex &pattern, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::smatch match;
    while (std::chrono::steady_clock::now() < deadline) {
      for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        line_ = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (std::regex_search(line_, match, pattern)) return match;
      }
      if (!ReadSome(50)) break;
    }
    return match;
  }

  // The exit status, or -1 when the program did not exit in time.
  int Wait(std::chrono::milliseconds timeout) {
    int status = 0;
    if (!child_->Wait(timeout, &status, [this] { ReadSome(0); })) return -1;
    while (ReadSome(0)) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string &Output() const { return output_; }

 private:
  bool ReadSome(int wait_ms) {
    pollfd entry{out_.get(), POLLIN, 0};
    if (poll(&entry, 1, wait_ms) <= 0) return wait_ms > 0;
    char buffer[4096];
    const ssize_t got = read(out_.get(), buffer, sizeof buffer);
    if (got <= 0) return false;
    output_.append(buffer, static_cast<std::size_t>(got));
    pending_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }

  UniqueFd out_;
  std::string output_;
  std::string pending_;
  std::string line_;
  std::unique_ptr<vuzov_test::ChildProcess> child_;  // last: gone before its pipe closes
};

}  // namespace

// ---- Links ------------------------------------------------------------------

// A run's directory outlives a killed run, but only until the next run looks:
// a live run's directory is never touched, a dead run's goes with its links,
// and what no run made stays.
TEST(SoakLinks, ADeadRunsLinksAreSweptAndALiveRunsAreNot) {
  Parent parent;
  ASSERT_FALSE(parent.path().empty());
  LinkDirectory mine;
  std::string error;
  ASSERT_TRUE(LinkDirectory::Make(parent.path(), &mine, &error)) << error;
  ASSERT_EQ(symlink("/dev/null", mine.LinkFor(1).c_str()), 0);
  const std::string foreign = parent.path() + "/vszz";
  if (mine.path() != foreign) {
    ASSERT_EQ(mkdir(foreign.c_str(), 0755), 0);  // a directory no run made
    parent.Forget("vszz");
  }

  RunInChild dead(parent.path());
  ASSERT_FALSE(dead.path().empty());
  const std::string dead_link = dead.path() + "/1";
  EXPECT_EQ(ReadLink(dead_link).rfind("/dev/pts/", 0), 0u) << ReadLink(dead_link);
  EXPECT_TRUE(SweepDeadRuns(parent.path()).empty()) << "swept a live run's links";
  EXPECT_TRUE(Exists(dead_link));

  dead.Kill();
  EXPECT_TRUE(Exists(dead_link)) << "a killed run removes nothing itself";
  EXPECT_EQ(SweepDeadRuns(parent.path()),
            std::vector<std::string>{dead.path() + " (1 link)"});
  EXPECT_FALSE(Exists(dead.path()));
  EXPECT_TRUE(Exists(mine.LinkFor(1)));
  EXPECT_TRUE(mine.path() == foreign || Exists(foreign));
  EXPECT_TRUE(SweepDeadRuns(parent.path()).empty());

  const std::string mine_path = mine.path();
  mine = LinkDirectory();
  EXPECT_FALSE(Exists(mine_path)) << "a run's directory outlived it";
}

// Link names fit a host's port name, and runs side by side never share one.
TEST(SoakLinks, EachRunsLinksAreItsOwnAndFitAPortName) {
  std::vector<LinkDirectory> runs(24);
  std::set<std::string> paths;
  for (LinkDirectory &run : runs) {
    std::string error;
    ASSERT_TRUE(LinkDirectory::Make("/tmp", &run, &error)) << error;
    EXPECT_TRUE(paths.insert(run.path()).second) << run.path() << " made twice";
    for (int number = 1; number <= vuzov_soak::kMostLinks; ++number) {
      EXPECT_LE(run.LinkFor(number).size(), 11u) << run.LinkFor(number);
    }
    EXPECT_EQ(run.LinkFor(vuzov_soak::kMostLinks + 1), "");
  }
  runs.clear();
  for (const std::string &path : paths) EXPECT_FALSE(Exists(path)) << path;
}

// The real program, killed in the middle of its run, and the run after it.
TEST(SoakLinks, AKilledSoakLeavesNoLinkThatALaterRunCanOpen) {
  std::string dead_directory;
  {
    SoakRun killed({"--exchanges", "100000", "--instances", "2", "--max-seconds", "60"});
    ASSERT_TRUE(killed.started());
    const std::smatch links =
        killed.WaitForLine(std::regex("^links: (/tmp/vs..)/1 to "), 30s);
    ASSERT_FALSE(links.empty()) << "no links line";
    dead_directory = links[1];
    ASSERT_FALSE(killed.WaitForLine(std::regex("^panels' line threads"), 30s).empty());
    EXPECT_EQ(ReadLink(dead_directory + "/1").rfind("/dev/pts/", 0), 0u);
    killed.Kill();
    EXPECT_EQ(killed.Wait(10s), 128 + SIGKILL);
  }
  // Another run on this machine may sweep it first; then this one finds it gone.
  const bool left = Exists(dead_directory + "/1");
  SoakRun later({"--exchanges", "16", "--instances", "1", "--fault-percent", "0"});
  ASSERT_TRUE(later.started());
  EXPECT_EQ(later.Wait(60s), 0) << later.Output();
  if (left) {
    EXPECT_NE(later.Output().find("swept the links of a run that died: " + dead_directory +
                                  " (2 links)\n"),
              std::string::npos)
        << later.Output();
  }
  EXPECT_FALSE(Exists(dead_directory));
}

// ---- Alarms under the wrong panel -------------------------------------------

// Hosts 1 and 2 open each other's panels, as at a site whose port names
// swapped: every alarm either host acknowledged went under the other panel's
// gates. Each is lost, a zone no panel reported and misattributed, and comes
// with the trace of its own panel's line around the ACK that retired it.
TEST(SoakVerdict, AnAlarmAcknowledgedThroughAnotherPanelsLineFailsTheRunAndExplainsItself) {
  SoakRun run({"--exchanges", "64", "--instances", "2", "--fault-percent", "0",
               "--settle-seconds", "3", "--miswire"});
  ASSERT_TRUE(run.started());
  ASSERT_EQ(run.Wait(120s), 1) << run.Output();
  const std::string &output = run.Output();

  const std::regex elsewhere("alarm stored under another panel: (CP(\\d)Z(\\d+)) \\(panel (\\d)'s "
                             "zone-alarm (\\d+)\\)\n");
  int misattributed = 0;
  for (auto it = std::sregex_iterator(output.begin(), output.end(), elsewhere);
       it != std::sregex_iterator(); ++it, ++misattributed) {
    const std::smatch &m = *it;
    const std::string zone = m[3];
    EXPECT_NE(m.str(2), m.str(4)) << m.str(0);
    EXPECT_EQ(m.str(3), m.str(5)) << m.str(0);
    EXPECT_EQ(std::stoi(zone) / 1000, std::stoi(m[4])) << "panel p's zones are p x 1000 + n";
    const std::string own = "CP" + std::string(m[4]) + "Z" + zone;
    // Its own gate's loss, where it went instead, and its panel's line
    // around the ACK that retired it.
    const std::regex explained("alarm never stored: " + own + "\n  stored instead under another "
                               "panel's gate: " + std::string(m[1]) + "\n  panel " +
                               std::string(m[4]) + "'s line around the ACK[^\n]*\n"
                               "(  (panel|host) \\d [^\n]*\n)*  panel " + std::string(m[4]) +
                               " [0-9.]+ < 06  ACK retires zone-alarm " + zone + "\n");
    EXPECT_TRUE(std::regex_search(output, explained)) << own << " not explained:\n" << output;
    EXPECT_NE(output.find("zone stored that no panel reported: " + std::string(m[1]) + "\n"),
              std::string::npos);
  }
  EXPECT_GT(misattributed, 0) << output;
  EXPECT_NE(output.find("\nmisattributed " + std::to_string(misattributed) + " "),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("FAILED: alarms stored under another panel\n"), std::string::npos);
  EXPECT_NE(output.find("FAILED: alarms lost\n"), std::string::npos);
  EXPECT_NE(output.find("\nsoak: FAILED\n"), std::string::npos);
}
