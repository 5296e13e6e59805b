#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "instance_thread.h"
#include "lifecycle.h"

namespace vuzov {
namespace {

void *RunInstance(void *state) {
  UnsolicitedThread(static_cast<InstanceState *>(state));
  return nullptr;
}

// Owns a thread attribute object for the length of one start.
class ThreadAttributes {
 public:
  ThreadAttributes() : ok_(pthread_attr_init(&attr_) == 0) {}
  ~ThreadAttributes() {
    if (ok_) pthread_attr_destroy(&attr_);
  }
  ThreadAttributes(const ThreadAttributes &) = delete;
  ThreadAttributes &operator=(const ThreadAttributes &) = delete;
  bool Configure(std::size_t stack) {
    return ok_ && pthread_attr_setdetachstate(&attr_, PTHREAD_CREATE_DETACHED) == 0 &&
           pthread_attr_setstacksize(&attr_, stack) == 0;
  }
  const pthread_attr_t *Get() const { return &attr_; }

 private:
  pthread_attr_t attr_;
  bool ok_;
};

// Sanitizer runtimes need far more stack than the thread's own work does.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kStackFloor = 1u << 20;
#else
constexpr std::size_t kStackFloor = 0;
#endif

}  // namespace

bool StartInstanceThread(InstanceState *state) {
  const std::size_t stack = std::max({static_cast<std::size_t>(kInstanceThreadStack),
                                      static_cast<std::size_t>(PTHREAD_STACK_MIN), kStackFloor});
  ThreadAttributes attributes;
  if (!attributes.Configure(stack)) return false;
  pthread_t thread;
  return pthread_create(&thread, attributes.Get(), &RunInstance, state) == 0;
}

void PauseMilliseconds(std::uint32_t milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace vuzov
