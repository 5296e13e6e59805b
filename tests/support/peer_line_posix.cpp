#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "peer_line.h"

namespace vuzov_test {
namespace {

class PtyPeer : public PeerLine {
 public:
  PtyPeer(int master, std::string slave) : master_(master), slave_(std::move(slave)) {}
  ~PtyPeer() override { HangUp(); }

  std::string DriverPortName() const override {
    // "pts/N": short enough for the host's 11-character port names.
    return slave_.substr(std::strlen("/dev/"));
  }

  bool Write(const std::vector<std::uint8_t> &bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  std::vector<std::uint8_t> Read(std::size_t count, int timeout_ms) override {
    std::vector<std::uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (bytes.size() < count && master_ >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd pfd{master_, POLLIN, 0};
      const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || !(pfd.revents & POLLIN)) break;
      std::uint8_t chunk[256];
      const std::size_t want = std::min(sizeof chunk, count - bytes.size());
      const ssize_t n = ::read(master_, chunk, want);
      if (n <= 0) break;
      bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
  }

  bool HangUpEndsReadsAtOnce() const override { return true; }

  void HangUp() override {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_;
  std::string slave_;
};

}  // namespace

std::unique_ptr<PeerLine> PeerLine::Create(std::string *error) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    if (error != nullptr) *error = std::string("pty: ") + std::strerror(errno);
    if (master >= 0) ::close(master);
    return nullptr;
  }
  char name[128];
  if (::ptsname_r(master, name, sizeof name) != 0) {
    if (error != nullptr) *error = std::string("ptsname: ") + std::strerror(errno);
    ::close(master);
    return nullptr;
  }
  // The panel side is raw as well: no echo, no translation of what it sends.
  termios tio{};
  if (::tcgetattr(master, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(master, TCSANOW, &tio);
  }
  return std::make_unique<PtyPeer>(master, name);
}

std::size_t InputWaiting(const void *port_word) {
  std::uint32_t fd = 0;
  std::memcpy(&fd, port_word, sizeof fd);
  int waiting = 0;
  if (::ioctl(static_cast<int>(fd), FIONREAD, &waiting) != 0) return 0;
  return static_cast<std::size_t>(waiting);
}

bool SendOnDriverPort(const void *port_word, const std::vector<std::uint8_t> &bytes) {
  std::uint32_t fd = 0;
  std::memcpy(&fd, port_word, sizeof fd);
  return ::write(static_cast<int>(fd), bytes.data(), bytes.size()) ==
         static_cast<ssize_t>(bytes.size());
}

std::size_t OpenHandleCount() {
  std::size_t count = 0;
  DIR *dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (const dirent *entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the directory stream's own descriptor
}

}  // namespace vuzov_test
