#include "panel_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <utility>

#include "errno_text.h"

extern char **environ;

namespace vuzov_bench {
namespace {

constexpr int kStartTimeoutMs = 5000;

// Reads the program's first output line: the pty it plays the panel on.
bool ReadFirstLine(int fd, std::string *line) {
  line->clear();
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, kStartTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char c;
    const ssize_t got = ::read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    if (c == '\n') return !line->empty();
    line->push_back(c);
  }
}

bool WriteScenario(const std::string &path, unsigned messages) {
  FILE *out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return false;
  // Zone 3 alarms: the host has the gates CP1MS, CP1ST and CP1Z3 for them.
  for (unsigned i = 0; i < messages; ++i) std::fputs("at 0s zone-alarm 3\n", out);
  return std::fclose(out) == 0;
}

// File actions for one spawn, destroyed with it.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions &) = delete;
  SpawnActions &operator=(const SpawnActions &) = delete;
  posix_spawn_file_actions_t *Get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

WorkDir::WorkDir() {
  char pattern[] = "/tmp/vuzov-bench-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) path_ = pattern;
}

WorkDir::~WorkDir() {
  for (const std::string &file : files_) ::unlink(file.c_str());
  if (!path_.empty()) ::rmdir(path_.c_str());
}

std::string WorkDir::NewFile(const std::string &stem) {
  files_.push_back(path_ + "/" + stem + "-" + std::to_string(files_.size()));
  return files_.back();
}

std::unique_ptr<PanelProcess> PanelProcess::Spawn(const PanelConfig &config, WorkDir *dir,
                                                  std::string *error) {
  const std::string scenario = dir->NewFile("scenario");
  const std::string log = dir->NewFile("panelsim-log");
  if (!WriteScenario(scenario, config.messages)) {
    *error = "cannot write the scenario " + scenario;
    return nullptr;
  }
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    *error = toolbox::ErrnoText("cannot make a pipe", errno);
    return nullptr;
  }
  toolbox::UniqueFd output_read(ends[0]);
  toolbox::UniqueFd output_write(ends[1]);

  std::vector<std::string> arguments = {config.program, "--frame-length",
                                        std::to_string(config.frame_length)};
  if (!config.link.empty()) {
    arguments.push_back("--link");
    arguments.push_back(config.link);
  }
  arguments.push_back(scenario);
  std::vector<char *> argv;
  for (std::string &argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  SpawnActions actions;
  posix_spawn_file_actions_adddup2(actions.Get(), output_write.get(), STDOUT_FILENO);
  // Its notes (one per queued message) go to a log, not between the tables.
  posix_spawn_file_actions_addopen(actions.Get(), STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::unique_ptr<PanelProcess> process(new PanelProcess());
  const int spawned = posix_spawn(&process->pid_, config.program.c_str(), actions.Get(), nullptr,
                                  argv.data(), environ);
  if (spawned != 0) {
    process->pid_ = -1;
    *error = toolbox::ErrnoText("cannot start " + config.program, spawned);
    return nullptr;
  }
  output_write.reset();  // the program has its own copy: its end is the only one
  process->output_ = std::move(output_read);
  if (!ReadFirstLine(process->output_.get(), &process->slave_path_)) {
    std::ifstream in(log);
    std::string said;
    std::getline(in, said);
    *error = "panelsim did not report its line: " + said;
    return nullptr;
  }
  return process;
}

PanelProcess::~PanelProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

double PanelProcess::CpuMicros() const {
  const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
  DIR *dir = ::opendir(tasks.c_str());
  if (dir == nullptr) return 0.0;
  double nanos = 0.0;
  while (const dirent *entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    // The first field of schedstat: nanoseconds the thread has run.
    std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
    double run = 0.0;
    if (in >> run) nanos += run;
  }
  ::closedir(dir);
  return nanos / 1000.0;
}

std::string PanelProcess::HostPortName() const {
  const std::string prefix = "/dev/";
  if (slave_path_.compare(0, prefix.size(), prefix) == 0) return slave_path_.substr(prefix.size());
  return slave_path_;
}

}  // namespace vuzov_bench
