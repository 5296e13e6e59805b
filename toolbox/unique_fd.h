// Ownership of a POSIX file descriptor for the tools: one owner closes it.
#ifndef VUZOV_TOOLBOX_UNIQUE_FD_H
#define VUZOV_TOOLBOX_UNIQUE_FD_H

namespace toolbox {

// Owns one file descriptor and closes it when destroyed. Move-only. The close
// keeps errno as it was, so a failure's errno survives the cleanup after it.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept;
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Hands the descriptor over to the caller, who closes it from then on.
  int release();
  // Closes the descriptor held, if any, and holds `fd` instead.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace toolbox

#endif
