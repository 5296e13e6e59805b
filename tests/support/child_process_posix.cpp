#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

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

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const ChildStreams &streams) {
  if (argv.empty()) return;
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  Route(&actions, streams.input, 0);
  Route(&actions, streams.output, 1);
  Route(&actions, streams.error, 2);
  std::vector<std::string> copies = argv;
  std::vector<char *> pointers;
  for (std::string &argument : copies) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  if (posix_spawn(&pid_, copies[0].c_str(), &actions, nullptr, pointers.data(), environ) != 0) {
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
