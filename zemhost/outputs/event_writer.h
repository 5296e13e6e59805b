// The run's events as text on standard output, one line (or block) each: the
// line output people read and the JSON output programs read are the same sink
// with another format.
#ifndef VUZOV_ZEMHOST_EVENT_WRITER_H
#define VUZOV_ZEMHOST_EVENT_WRITER_H

#include <cstdint>
#include <string>

#include "events/event.h"
#include "outputs/text_out.h"

namespace zemhost {

// An event's text without its line end; empty for an event the format leaves
// out (a gate stored again with the same value, a poll that went well).
using EventFormat = std::string (*)(const Event &event);
std::string LineFormat(const Event &event);
std::string JsonFormat(const Event &event);

class EventWriter final : public EventSink {
 public:
  EventWriter(TextOut &out, EventFormat format) : out_(out), format_(format) {}
  void Take(const Event &event) override;

 private:
  TextOut &out_;
  const EventFormat format_;
  std::uint64_t dropped_ = 0;  // lines the output had no room for, not yet said
};

}  // namespace zemhost

#endif
