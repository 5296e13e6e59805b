#include "gateway_rig.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace vuzov_bench {

using namespace std::chrono_literals;

LoggedRun::LoggedRun(const std::vector<std::string> &argv, std::string log) : log_(std::move(log)) {
  const int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  process_ = std::make_unique<vuzov_test::ChildProcess>(argv, vuzov_test::ChildStreams{-1, fd, fd});
  close(fd);  // the child has its own copy
}

LoggedRun::~LoggedRun() {
  if (!ok()) return;
  process_->Signal(SIGTERM);
  int status = 0;
  process_->Wait(10s, &status);
}

std::string LoggedRun::WaitForLog(const std::string &pattern, Clock::time_point deadline) const {
  const std::regex wanted(pattern);
  do {
    std::ifstream file(log_);
    std::stringstream text;
    text << file.rdbuf();
    const std::string log = text.str();
    std::smatch match;
    if (std::regex_search(log, match, wanted)) return match[1];
    std::this_thread::sleep_for(20ms);
  } while (Clock::now() < deadline);
  return std::string();
}

PtyPanel::PtyPanel() : fd_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
  char name[128];
  if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0 || ptsname_r(fd_, name, sizeof name) != 0) {
    return;
  }
  // Held open so the line stays up between the driver's opens.
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ >= 0) port_name_ = std::string(name).substr(std::string("/dev/").size());
}

PtyPanel::~PtyPanel() {
  if (slave_ >= 0) close(slave_);
  if (fd_ >= 0) close(fd_);
}

bool PtyPanel::Next(Clock::time_point deadline, std::uint8_t *byte, Clock::time_point *at) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    if (read(fd_, byte, 1) == 1) {
      *at = Clock::now();
      return true;
    }
  }
}

bool PtyPanel::ReadUntil(std::uint8_t wanted, Clock::time_point deadline, Clock::time_point *at) {
  std::uint8_t byte = 0;
  while (Next(deadline, &byte, at)) {
    if (byte == wanted) return true;
  }
  return false;
}

bool PtyPanel::Write(const std::vector<std::uint8_t> &bytes) {
  return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

}  // namespace vuzov_bench
