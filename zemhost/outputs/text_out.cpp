#include "outputs/text_out.h"

#include <cerrno>
#include <utility>

namespace zemhost {
namespace {

// About a minute of the busiest trace; a reader this far behind has stopped.
// Once text was refused, more is taken only when the reader has caught up
// half of it, so that a loss is said once and not after every line.
constexpr std::size_t kMostWaiting = 8u << 20;
constexpr std::size_t kWaitingAgain = kMostWaiting / 2;

}  // namespace

TextOut::TextOut(std::FILE *file) : file_(file), thread_([this] { Run(); }) {}

TextOut::~TextOut() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  queued_.notify_all();
  thread_.join();
}

bool TextOut::Write(std::string text) {
  if (error_.load() != 0) return true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refusing_ && waiting_.size() > kWaitingAgain) return false;
    refusing_ = waiting_.size() + text.size() > kMostWaiting;
    if (refusing_) return false;
    waiting_ += text;
  }
  queued_.notify_one();
  return true;
}

bool TextOut::Idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Done();
}

void TextOut::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  written_.wait(lock, [this] { return Done(); });
}

bool TextOut::Finish(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return written_.wait_for(lock, limit, [this] { return Done(); });
}

bool TextOut::Done() const {
  return (waiting_.empty() && !writing_) || error_.load() != 0;
}

void TextOut::Lost(int error) {
  int none = 0;
  error_.compare_exchange_strong(none, error);
  { const std::lock_guard<std::mutex> lock(mutex_); }  // no Finish between its check and its wait
  written_.notify_all();
}

// Takes everything that waits at once, so a reader that falls behind gets
// fewer, larger writes.
void TextOut::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
    if (waiting_.empty()) return;
    std::string text = std::move(waiting_);
    waiting_.clear();
    writing_ = true;
    lock.unlock();
    WriteOut(text);
    lock.lock();
    writing_ = false;
    written_.notify_all();
  }
}

// A failed write leaves its mark on the stream; the flush is where buffered
// text meets the file, so both are checked there.
void TextOut::WriteOut(const std::string &text) {
  if (error_.load() != 0) return;
  errno = 0;
  std::fwrite(text.data(), 1, text.size(), file_);
  if (std::fflush(file_) == 0 && !std::ferror(file_)) return;
  const int error = errno;
  Lost(error != 0 ? error : EIO);
}

}  // namespace zemhost
