// What a test sees of the host side: the driver's log lines and its gate stores,
// captured from the host library stand-in for the lifetime of the capture.
#ifndef VUZOV_TESTS_HOST_CAPTURE_H
#define VUZOV_TESTS_HOST_CAPTURE_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vuzov_test {

struct LogLine {
  std::int32_t level;
  std::string text;
  bool operator==(const LogLine &other) const {
    return level == other.level && text == other.text;
  }
};

struct GateStore {
  std::uint8_t client;
  std::string name;
  double value;
  bool operator==(const GateStore &other) const {
    return client == other.client && name == other.name && value == other.value;
  }
};

// Installs itself as the stand-in library's log and gate sink; resets the library
// on construction and on destruction, so every test starts from an empty host.
class HostCapture {
 public:
  HostCapture();
  ~HostCapture();
  HostCapture(const HostCapture &) = delete;
  HostCapture &operator=(const HostCapture &) = delete;

  std::vector<LogLine> Lines() const;
  std::vector<std::string> Texts() const;
  std::vector<GateStore> Stores() const;
  void Clear();
  // Waits until `text` has been logged `count` times, at most timeout_ms.
  bool WaitForText(const std::string &text, int count, int timeout_ms);
  int CountOf(const std::string &text) const;

 private:
  static void OnLog(void *user, std::int32_t level, const char *line);
  static void OnStore(void *user, std::uint8_t client, std::uint32_t gate_id, const char *name,
                      double value);

  mutable std::mutex mutex_;
  std::condition_variable logged_;
  std::vector<LogLine> lines_;
  std::vector<GateStore> stores_;
};

}  // namespace vuzov_test

#endif
