// The Windows build under Wine: vuzov_bench_wine.exe (the Windows build's own
// small host) times SingleRead and SingleWrite through vuzov.dll, with a COM
// port of the build's Wine prefix pointing at panelsim's pty.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "bench.h"
#include "errno_text.h"
#include "stats.h"
#include "unique_fd.h"

extern char **environ;

namespace vuzov_bench {
namespace {

// The port the Windows tests never use: they take COM1 upwards in pairs.
constexpr char kPort[] = "COM24";  // above the COM ports the tests take
constexpr unsigned kTimeoutUnits = 5;
constexpr int kRunTimeoutMs = 180000;

bool Exists(const std::string &path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

struct WineRun {
  Samples ms;
  int failed = -1;  // as the program reported it; -1 when it reported nothing
  std::string error;
};

// Runs the Windows program under the build's Wine runner and collects its
// output; the child is killed if it outlives the run's time limit.
WineRun RunUnderWine(const std::string &build, const std::string &log,
                     const std::vector<std::string> &arguments) {
  WineRun run;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    run.error = toolbox::ErrnoText("cannot make a pipe", errno);
    return run;
  }
  toolbox::UniqueFd output_read(ends[0]);
  toolbox::UniqueFd output_write(ends[1]);
  std::vector<std::string> words = {build + "/wine-run.sh", build + "/bin/vuzov_bench_wine.exe"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output_write.get(), STDOUT_FILENO);
  // The wineserver that this run may start keeps the standard error it is given,
  // and it dumps its objects there when the pty it opened for the COM port hangs
  // up (the pty became its controlling terminal): a log, not the tables.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  output_write.reset();  // the program has its own copy: its end is the only one
  if (spawned != 0) {
    run.error = toolbox::ErrnoText("cannot start Wine", spawned);
    return run;
  }
  std::string output;
  const Clock::time_point give_up = Clock::now() + std::chrono::milliseconds(kRunTimeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - Clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      run.error = "the Windows program did not finish in time";
      break;
    }
    pollfd pfd{output_read.get(), POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    char buffer[4096];
    const ssize_t got = ::read(output_read.get(), buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    output.append(buffer, static_cast<std::size_t>(got));
  }
  output_read.reset();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::istringstream lines(output);
  std::string word;
  double value = 0;
  while (lines >> word >> value) {
    if (word == "ms") run.ms.Add(value);
    if (word == "failed") run.failed = static_cast<int>(value);
  }
  if (run.failed < 0 && run.error.empty()) {
    run.error = "the Windows program reported nothing (its log: " + log + ")";
  }
  return run;
}

}  // namespace

int RunWineBench(const Context &context) {
  std::printf("\n### The Windows build under Wine: vuzov.dll, exchange time over the line's "
              "floor (timeout 50 ms)\n\n");
  const std::string build = context.wine_build;
  const std::string ports = build + "/ports";
  if (!Exists(build + "/bin/vuzov_bench_wine.exe") || !Exists(build + "/wine-run.sh") ||
      !Exists(build + "/wineprefix/vuzov-prefix-ready")) {
    std::printf("Skipped: no Windows build with a Wine prefix in %s (build the windows preset "
                "and run\n`ctest --preset windows -R wine_prefix_setup` first).\n",
                build.c_str());
    return 0;
  }
  const int count = context.smoke ? 3 : 100;
  const std::string wine_log = context.work->NewFile("wine-log");
  Table table({"exchange (Windows build, Wine 8)", "n", "floor", "median", "p99", "failed"});
  int failures = 0;
  for (Reply reply : {Reply::kEot, Reply::kFrame9, Reply::kFrame20, Reply::kCommandAck}) {
    PanelConfig config;
    config.program = context.panelsim;
    config.frame_length = FrameLength(reply);
    const bool framed = reply == Reply::kFrame9 || reply == Reply::kFrame20;
    config.messages = framed ? static_cast<unsigned>(count + 20) : 0;
    config.link = ports + "/com24";
    std::string error;
    auto panel = PanelProcess::Spawn(config, context.work, &error);
    if (!panel) {
      std::fprintf(stderr, "bench: %s\n", error.c_str());
      ++failures;
      continue;
    }
    const WineRun run = RunUnderWine(
        build, wine_log, {kPort, std::to_string(kTimeoutUnits), std::to_string(count),
                reply == Reply::kCommandAck ? "write" : "read"});
    if (!run.error.empty()) std::fprintf(stderr, "bench: under Wine: %s\n", run.error.c_str());
    const int failed = run.failed < 0 ? count : run.failed;
    failures += failed;
    const double floor = FloorMs(reply, kTimeoutUnits);
    const auto with_ratio = [floor](double ms) { return Format("%.3f (%.3f)", ms, ms / floor); };
    table.Row({reply == Reply::kCommandAck ? "SingleWrite S, ACK" : std::string("SingleRead, ") + ReplyName(reply),
               Format("%zu", run.ms.Count()), Format("%.3f", floor), with_ratio(run.ms.Median()),
               with_ratio(run.ms.P99()), Format("%d", failed)});
  }
  table.Print();
  return failures;
}

}  // namespace vuzov_bench
