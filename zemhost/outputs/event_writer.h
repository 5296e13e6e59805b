// The run's events as text, one line (or block) each: the line output people
// read, the JSON output programs read and the journal's lines are the same
// sink with another format.
#ifndef VUZOV_ZEMHOST_EVENT_WRITER_H
#define VUZOV_ZEMHOST_EVENT_WRITER_H

#include <cstdint>
#include <string>
#include <utility>

#include "events/event.h"
#include "outputs/text_out.h"

namespace zemhost {

// An event's text without its line end; empty for an event the format leaves
// out (a gate stored again with the same value, a poll that went well).
using EventFormat = std::string (*)(const Event &event);
std::string LineFormat(const Event &event);
std::string JsonFormat(const Event &event);
// For standard error when it is the journal: "<5>CP1Z3 = 1".
std::string JournalFormat(const Event &event);

// A line the journal logs at the severity's level: "<3>text".
std::string JournalLine(Severity severity, const std::string &text);

class EventWriter final : public EventSink {
 public:
  // out_name says where the text goes, for the line that counts lost lines.
  EventWriter(TextOut &out, EventFormat format, std::string out_name = "standard output")
      : out_(out), format_(format), out_name_(std::move(out_name)) {}
  void Take(const Event &event) override;

 private:
  TextOut &out_;
  const EventFormat format_;
  const std::string out_name_;
  std::uint64_t dropped_ = 0;  // lines the output had no room for, not yet said
};

}  // namespace zemhost

#endif
