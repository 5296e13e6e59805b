// What a benchmark of one of zemhost's gateways stands on: zemhost run as a
// user runs it, with its output in a log file, and the panel's end of a pty
// that the benchmark plays itself, so that it knows to the microsecond when
// the panel's last byte went out.
#ifndef VUZOV_BENCH_GATEWAY_RIG_H
#define VUZOV_BENCH_GATEWAY_RIG_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench.h"
#include "child_process.h"

namespace vuzov_bench {

// A program of the run, its output in a log file. Asked to stop (SIGTERM)
// and given a few seconds when it goes; its owner kills and reaps it after.
class LoggedRun {
 public:
  LoggedRun(const std::vector<std::string> &argv, std::string log);
  ~LoggedRun();
  LoggedRun(const LoggedRun &) = delete;
  LoggedRun &operator=(const LoggedRun &) = delete;

  bool ok() const { return process_ && process_->started(); }
  pid_t pid() const { return process_->pid(); }
  // The first text in the log that `pattern`'s group 1 matches, once the
  // log holds it; empty after the deadline.
  std::string WaitForLog(const std::string &pattern, Clock::time_point deadline) const;

 private:
  std::string log_;
  std::unique_ptr<vuzov_test::ChildProcess> process_;
};

// The panel's end of a pty; zemhost's driver opens the other.
class PtyPanel {
 public:
  PtyPanel();
  ~PtyPanel();
  PtyPanel(const PtyPanel &) = delete;
  PtyPanel &operator=(const PtyPanel &) = delete;

  // As the driver names it: "pts/3"; empty when the pty could not be made.
  const std::string &port_name() const { return port_name_; }
  // The next byte the driver sends, and when it was read; false at the deadline.
  bool Next(Clock::time_point deadline, std::uint8_t *byte, Clock::time_point *at);
  // Reads until `wanted` comes; *at is when it was read.
  bool ReadUntil(std::uint8_t wanted, Clock::time_point deadline, Clock::time_point *at);
  bool Write(const std::vector<std::uint8_t> &bytes);

 private:
  int fd_;
  int slave_ = -1;
  std::string port_name_;
};

}  // namespace vuzov_bench

#endif
