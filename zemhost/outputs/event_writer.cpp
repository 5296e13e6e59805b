#include "outputs/event_writer.h"

namespace zemhost {

// A reader that fell too far behind loses lines, never a driver's time; the
// loss is said in the output itself once the reader has caught up.
void EventWriter::Take(const Event &event) {
  const std::string text = format_(event);
  if (text.empty()) return;
  if (dropped_ > 0) {
    const Notice loss{std::to_string(dropped_) +
                      (dropped_ == 1 ? " line of output was" : " lines of output were") +
                      " dropped: " + out_name_ + " was not read",
                      Severity::kWarning};
    if (!out_.Write(format_(Event{event.time, 0, loss}) + "\n")) {
      ++dropped_;
      return;
    }
    dropped_ = 0;
  }
  if (!out_.Write(text + "\n")) ++dropped_;
}

}  // namespace zemhost
