#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char **environ;

namespace vuzov_test {
namespace {

void Route(posix_spawn_file_actions_t *actions, int from, int to) {
  if (from < 0) {
    posix_spawn_file_actions_addopen(actions, to, "/dev/null", to == 0 ? O_RDONLY : O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(actions, from, to);
  }
}

std::string NameOf(const std::string &entry) { return entry.substr(0, entry.find('=')); }

// The parent's environment less the names `environment` sets, then those.
std::vector<std::string> ChildEnvironment(const std::vector<std::string> &environment) {
  std::vector<std::string> entries;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    const std::string name = NameOf(*entry);
    bool replaced = false;
    for (const std::string &setting : environment) replaced = replaced || NameOf(setting) == name;
    if (!replaced) entries.emplace_back(*entry);
  }
  entries.insert(entries.end(), environment.begin(), environment.end());
  return entries;
}

std::vector<char *> Pointers(std::vector<std::string> &strings) {
  std::vector<char *> pointers;
  for (std::string &text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const ChildStreams &streams,
                           const std::vector<std::string> &environment) {
  if (argv.empty()) return;
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  Route(&actions, streams.input, 0);
  Route(&actions, streams.output, 1);
  Route(&actions, streams.error, 2);
  std::vector<std::string> copies = argv;
  std::vector<char *> pointers = Pointers(copies);
  std::vector<std::string> entries = ChildEnvironment(environment);
  std::vector<char *> envp = Pointers(entries);
  if (posix_spawn(&pid_, copies[0].c_str(), &actions, nullptr, pointers.data(), envp.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

void ChildProcess::Signal(int number) const {
  if (pid_ > 0) kill(pid_, number);
}

bool ChildProcess::Wait(std::chrono::milliseconds timeout, int *status,
                        const std::function<void()> &between) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pid_ > 0) {
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
      pid_ = -1;
      *status = raw;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (between) {
      between();
    } else {
      poll(nullptr, 0, 20);
    }
  }
  return false;
}

}  // namespace vuzov_test
