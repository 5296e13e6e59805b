#include <sys/resource.h>
#include <time.h>

#include <cerrno>

#include "bench.h"

namespace vuzov_bench {

const char *ReplyName(Reply reply) {
  switch (reply) {
    case Reply::kEot: return "EOT";
    case Reply::kFrame9: return "9-byte frame";
    case Reply::kFrame20: return "20-byte frame";
    case Reply::kCommandAck: break;
  }
  return "command, ACK";
}

unsigned FrameLength(Reply reply) { return reply == Reply::kFrame20 ? 20 : 9; }

double FloorMs(Reply reply, unsigned timeout_units) {
  switch (reply) {
    case Reply::kEot: return 2 * kByteMs;                             // ENQ, EOT
    case Reply::kFrame9: return 10 * kByteMs + 10.0 * timeout_units;  // ENQ, 9 bytes, silence
    case Reply::kFrame20: return 21 * kByteMs + 10.0 * timeout_units;  // ENQ, 20 bytes, silence
    case Reply::kCommandAck: break;
  }
  return 6 * kByteMs;  // the 5-byte command, ACK
}

double ProcessCpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto micros = [](const timeval &t) { return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec); };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

void SleepFor(std::chrono::nanoseconds duration) {
  if (duration <= std::chrono::nanoseconds::zero()) return;
  timespec left{static_cast<time_t>(duration.count() / 1'000'000'000),
                static_cast<long>(duration.count() % 1'000'000'000)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

double MillisBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace vuzov_bench
