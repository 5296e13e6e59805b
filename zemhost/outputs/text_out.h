// The run's standard output, written on a thread of its own: a reader that
// is slow or has stopped reading (a paused pager, a stuck log collector) holds
// up that thread alone, never a driver's thread that reports an event. What
// waits is bounded; text past the bound is refused, and the writer of the
// events says how much was lost once there is room again.
#ifndef VUZOV_ZEMHOST_TEXT_OUT_H
#define VUZOV_ZEMHOST_TEXT_OUT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace zemhost {

class TextOut {
 public:
  explicit TextOut(std::FILE *file);
  ~TextOut();  // writes what waits, then ends its thread
  TextOut(const TextOut &) = delete;
  TextOut &operator=(const TextOut &) = delete;

  // Queues the text as it is (a line brings its own line end). False when
  // more than the bound waits already and the text was refused. Once the
  // output has failed, text is dropped without a word: the run is ending.
  bool Write(std::string text);
  // Nothing waits and nothing is being written (or the output failed).
  bool Idle() const;
  // Waits until everything queued has been written and flushed, or the
  // output failed: as long as it takes, or for at most `limit` (true when
  // it was written).
  void Finish();
  bool Finish(std::chrono::milliseconds limit);

  // Notes that the output cannot be written any more (errno's value); the
  // first reason is kept and nothing more is written.
  void Lost(int error);
  // 0 while the output is good, else why it failed (EPIPE: its reader went).
  int Error() const { return error_.load(); }

 private:
  void Run();
  void WriteOut(const std::string &text);
  bool Done() const;  // caller holds mutex_

  std::FILE *const file_;
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable written_;
  std::string waiting_;
  bool writing_ = false;
  bool refusing_ = false;  // text was refused, and the reader has not caught up
  bool stop_ = false;
  std::atomic<int> error_{0};
  std::thread thread_;
};

}  // namespace zemhost

#endif
