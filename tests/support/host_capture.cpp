#include "host_capture.h"

#include <chrono>

#include "qarpro.h"

namespace vuzov_test {

HostCapture::HostCapture() {
  QarHostReset();
  QarHostSetLogSink(&HostCapture::OnLog, this);
  QarHostSetGateSink(&HostCapture::OnStore, this);
}

HostCapture::~HostCapture() {
  QarHostSetLogSink(nullptr, nullptr);
  QarHostSetGateSink(nullptr, nullptr);
  QarHostReset();
}

std::vector<LogLine> HostCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> HostCapture::Texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> texts;
  for (const auto &line : lines_) texts.push_back(line.text);
  return texts;
}

std::vector<GateStore> HostCapture::Stores() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stores_;
}

void HostCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
  stores_.clear();
}

void HostCapture::OnLog(void *user, std::int32_t level, const char *line) {
  auto *self = static_cast<HostCapture *>(user);
  // Notified under the lock, so a waiter that returns (and may destroy this
  // capture) cannot overtake the notification.
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->lines_.push_back(LogLine{level, line});
  self->logged_.notify_all();
}

int HostCapture::CountOf(const std::string &text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (const auto &line : lines_) count += line.text == text ? 1 : 0;
  return count;
}

bool HostCapture::WaitForText(const std::string &text, int count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return logged_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    int seen = 0;
    for (const auto &line : lines_) seen += line.text == text ? 1 : 0;
    return seen >= count;
  });
}

void HostCapture::OnStore(void *user, std::uint8_t client, std::uint32_t, const char *name,
                          double value) {
  auto *self = static_cast<HostCapture *>(user);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->stores_.push_back(GateStore{client, name, value});
}

}  // namespace vuzov_test
