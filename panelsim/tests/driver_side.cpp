#include "driver_side.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "encoding.h"

namespace panelsim_test {
namespace {

bool WaitReadable(int fd, milliseconds timeout) {
  pollfd entry{fd, POLLIN, 0};
  const int ready = poll(&entry, 1, static_cast<int>(timeout.count()));
  return ready > 0;
}

}  // namespace

DriverSide::DriverSide(const std::string &path)
    : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
  termios attributes{};
  if (fd_ && tcgetattr(fd_.get(), &attributes) == 0) {
    cfmakeraw(&attributes);
    tcsetattr(fd_.get(), TCSANOW, &attributes);
  }
}

DriverSide::DriverSide(panelsim::UniqueFd fd) : fd_(std::move(fd)) {}

void DriverSide::Send(const Bytes &bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd_.get(), bytes.data() + done, bytes.size() - done);
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

std::optional<std::uint8_t> DriverSide::ReadByte(milliseconds timeout) {
  if (!WaitReadable(fd_.get(), timeout)) return std::nullopt;
  std::uint8_t byte = 0;
  if (read(fd_.get(), &byte, 1) != 1) return std::nullopt;
  return byte;
}

Bytes DriverSide::Receive(milliseconds gap, std::size_t limit, milliseconds first) {
  Bytes reply;
  const std::optional<std::uint8_t> head = ReadByte(first);
  if (!head) return reply;
  reply.push_back(*head);
  if (*head != panelsim::kStx) return reply;
  while (reply.size() < limit) {
    const std::optional<std::uint8_t> next = ReadByte(gap);
    if (!next) break;
    reply.push_back(*next);
  }
  return reply;
}

Bytes DriverSide::Drain(milliseconds quiet) {
  Bytes bytes;
  while (const std::optional<std::uint8_t> next = ReadByte(quiet)) bytes.push_back(*next);
  return bytes;
}

Bytes DriverSide::Poll() {
  Send({panelsim::kEnq});
  Bytes reply = Receive();
  if (!reply.empty() && reply[0] != panelsim::kEot && reply[0] != panelsim::kAck) {
    Send({panelsim::kAck});
  }
  return reply;
}

bool DriverSide::WaitForHangup(milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd entry{fd_.get(), POLLIN, 0};
    if (poll(&entry, 1, 100) <= 0) continue;
    if (entry.revents & (POLLHUP | POLLERR)) return true;
    std::uint8_t byte = 0;
    const ssize_t got = read(fd_.get(), &byte, 1);
    if (got == 0 || (got < 0 && errno == EIO)) return true;
  }
  return false;
}

int CountOpenFds() {
  DIR *directory = opendir("/proc/self/fd");
  if (directory == nullptr) return -1;
  int count = 0;
  while (const dirent *entry = readdir(directory)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(directory);
  return count - 1;  // the directory's own descriptor
}

}  // namespace panelsim_test
