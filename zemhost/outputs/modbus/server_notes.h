// What the Modbus server has to say about its clients, kept until the run's
// main loop says it (Tick): the server's thread and the reporting threads
// never report to the hub themselves. A kind of note said in the last second
// is held and counted, so a thousand refused connections are one line, not a
// thousand.
#ifndef VUZOV_ZEMHOST_MODBUS_SERVER_NOTES_H
#define VUZOV_ZEMHOST_MODBUS_SERVER_NOTES_H

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace zemhost::modbus {

enum class NoteKind {
  kOnce,       // said as it is: the server's start, a zone outside the map
  kRefused,    // a connection closed at once: the cap, or an address not allowed
  kDropped,    // a client dropped: junk, a request cut short, idle, not reading
  kTrouble,    // the server's own trouble (out of descriptors)
};

class ServerNotes {
 public:
  using Clock = std::chrono::steady_clock;
  using Say = std::function<void(const std::string &text)>;

  // From any thread.
  void Note(NoteKind kind, const std::string &text);
  // From the run's main loop: says what is due, outside the lock.
  void SayDue(const Say &say, Clock::time_point now);

 private:
  struct Held {
    std::string last;  // the latest of its kind
    int count = 0;     // held since it was last said
    Clock::time_point said_at{};
    bool ever_said = false;
  };

  std::mutex mutex_;
  std::vector<std::string> once_;
  std::map<NoteKind, Held> held_;
};

}  // namespace zemhost::modbus

#endif
