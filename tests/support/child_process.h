// A program the tests start as a user would, with its standard streams on
// descriptors the test owns. The owner kills and reaps a child still running
// when it goes, so no test leaves a process behind.
#ifndef VUZOV_TESTS_SUPPORT_CHILD_PROCESS_H
#define VUZOV_TESTS_SUPPORT_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vuzov_test {

// Where the child's standard input, output and error go: a descriptor of the
// parent's, or -1 for /dev/null.
struct ChildStreams {
  int input = -1;
  int output = -1;
  int error = -1;
};

class ChildProcess {
 public:
  // argv[0] is the program's path. The child gets the parent's environment,
  // with the "NAME=value" entries of `environment` in place of the parent's
  // values of those names.
  ChildProcess(const std::vector<std::string> &argv, const ChildStreams &streams,
               const std::vector<std::string> &environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void Signal(int number) const;

  // Waits up to `timeout` for the exit, calling `between` (if given) while it
  // waits. True with the raw wait status once the child has been reaped.
  bool Wait(std::chrono::milliseconds timeout, int *status,
            const std::function<void()> &between = nullptr);

 private:
  pid_t pid_ = -1;
};

}  // namespace vuzov_test

#endif
