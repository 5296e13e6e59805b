#include "unique_fd.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace toolbox {

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() { return std::exchange(fd_, -1); }

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    const int saved = errno;
    ::close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

}  // namespace toolbox
