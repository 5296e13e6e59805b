// Runs zemhost as a user does, for the tests that check it from outside: the
// program starts with its flags, its standard output and error go to pipes (or
// its output and input to a pty), and the owner kills and reaps it if it is
// still running when the test ends.
#ifndef VUZOV_ZEMHOST_TESTS_ZEMHOST_RUN_H
#define VUZOV_ZEMHOST_TESTS_ZEMHOST_RUN_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "line.h"

namespace zemhost_test {

using namespace std::chrono_literals;

inline const std::string kScenarios = ZEMHOST_TEST_SCENARIOS;

// Quick runs: short timeouts and poll intervals.
inline std::vector<std::string> Fast(std::vector<std::string> arguments) {
  const std::vector<std::string> fast = {"--timeout", "5", "--interval", "20ms"};
  arguments.insert(arguments.end(), fast.begin(), fast.end());
  return arguments;
}

// How a run starts, beyond its flags.
struct Launch {
  // "NAME=value" over the test's own environment.
  std::vector<std::string> environment;
  // JOURNAL_STREAM names the pipe of standard error, as a service manager
  // names the journal's stream.
  bool error_is_journal = false;
  // A program that runs zemhost, its arguments first: {"/usr/bin/timeout", "2"}.
  std::vector<std::string> wrapper;
};

// One run of zemhost. Standard output and error go to pipes (or standard
// output and input to a pty); the destructor kills and reaps a child that is
// still running.
class Program {
 public:
  explicit Program(const std::vector<std::string> &arguments, bool on_terminal = false)
      : Program(arguments, on_terminal, -1, Launch{}) {}
  // Standard output on the caller's descriptor (/dev/full, a pipe the test
  // closes); out() stays empty.
  Program(const std::vector<std::string> &arguments, int output)
      : Program(arguments, false, output, Launch{}) {}
  Program(const std::vector<std::string> &arguments, const Launch &launch)
      : Program(arguments, false, -1, launch) {}
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  bool started() const { return child_ && child_->started(); }
  pid_t pid() const { return child_->pid(); }
  void Signal(int number) const { child_->Signal(number); }
  void Type(const std::string &keys) const {
    if (write(terminal_.get(), keys.data(), keys.size()) < 0) ADD_FAILURE() << "cannot type";
  }

  // Reads standard output until it contains `text`; false on timeout.
  bool WaitForOutput(const std::string &text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_text_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      Pump(50ms);
    }
    return true;
  }

  // Collects what the program has written so far, without waiting.
  void ReadWaiting() {
    while (Pump(0ms)) {
    }
  }

  // Waits for the exit and collects the rest of the output; -1 on timeout or
  // when a signal ended the program (TermSignal() tells which).
  int Wait(std::chrono::milliseconds timeout = 20s) {
    int status = 0;
    if (!child_ || !child_->Wait(timeout, &status, [this] { Pump(20ms); })) return -1;
    // Everything the program wrote is in the pipes by now.
    while (Pump(0ms)) {
    }
    term_signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int TermSignal() const { return term_signal_; }

  const std::string &out() const { return out_text_; }
  const std::string &err() const { return err_text_; }

 private:
  Program(const std::vector<std::string> &arguments, bool on_terminal, int output,
          const Launch &launch) {
    int out[2];
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return;
    err_.reset(err[0]);
    panelsim::UniqueFd err_write(err[1]);
    panelsim::UniqueFd out_write;
    if (on_terminal) {
      terminal_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
      char name[128];
      if (!terminal_ || grantpt(terminal_.get()) != 0 || unlockpt(terminal_.get()) != 0 ||
          ptsname_r(terminal_.get(), name, sizeof name) != 0) {
        return;
      }
      out_write.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
      out_.reset(dup(terminal_.get()));
    } else if (output >= 0) {
      out_write.reset(dup(output));
    } else {
      if (pipe2(out, O_CLOEXEC) != 0) return;
      out_.reset(out[0]);
      out_write.reset(out[1]);
    }
    std::vector<std::string> argv = launch.wrapper;
    argv.push_back(ZEMHOST_PROGRAM);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment = launch.environment;
    struct stat error_stream {};
    if (launch.error_is_journal && fstat(err_write.get(), &error_stream) == 0) {
      environment.push_back("JOURNAL_STREAM=" + std::to_string(error_stream.st_dev) + ":" +
                            std::to_string(error_stream.st_ino));
    }
    const vuzov_test::ChildStreams streams{on_terminal ? out_write.get() : -1, out_write.get(),
                                           err_write.get()};
    child_ = std::make_unique<vuzov_test::ChildProcess>(argv, streams, environment);
  }

  // Reads what is waiting; false when nothing was read.
  bool Pump(std::chrono::milliseconds timeout) {
    pollfd entries[2] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
    if (poll(entries, 2, static_cast<int>(timeout.count())) <= 0) return false;
    bool any = false;
    char buffer[4096];
    std::string *texts[2] = {&out_text_, &err_text_};
    for (int i = 0; i < 2; ++i) {
      if ((entries[i].revents & POLLIN) == 0) continue;
      const ssize_t got = read(entries[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(got));
        any = true;
      }
    }
    return any;
  }

  panelsim::UniqueFd terminal_;
  panelsim::UniqueFd out_;
  panelsim::UniqueFd err_;
  std::string out_text_;
  std::string err_text_;
  int term_signal_ = 0;
  // Last, so the child is gone before its streams close.
  std::unique_ptr<vuzov_test::ChildProcess> child_;
};

inline std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// A file in the test's temporary folder, named after the process so parallel
// runs do not meet.
inline std::string WriteFile(const std::string &name, const std::string &text) {
  const std::string path = ::testing::TempDir() + "zemhost_" + std::to_string(getpid()) + "_" + name;
  std::ofstream(path) << text;
  return path;
}

}  // namespace zemhost_test

#endif
