// One report of a run, from whichever thread made it: the driver storing a
// gate or logging a line, a poll or a command coming back, bytes on a traced
// line, zemhost's own word, and the facts the run states once at its start
// and end. Every report becomes one Event; the hub records it and hands it to
// every output (an EventSink).
#ifndef VUZOV_ZEMHOST_EVENT_H
#define VUZOV_ZEMHOST_EVENT_H

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/message_types.h"

namespace zemhost {

// The panel message that set a zone or zone-element gate, as zemhost read it:
// the type and state the same poll stored in the panel's CP<n>MS and CP<n>ST
// gates before it (either may be missing from the host's gates), and what
// the site's [message-types] say that message means.
struct MessageSource {
  std::optional<std::uint8_t> type;
  std::optional<std::uint8_t> state;
  Meaning meaning = Meaning::kUnmapped;
};

// A value stored into a gate: by the driver, or by the hub when a reset
// cleared it. The hub fills in the rest: `changed` when the value differs
// from the one its table held (every gate starts at 0), and for a zone or
// element gate the driver stored, the message that set it.
struct GateStored {
  std::string name;
  double value = 0;
  bool changed = false;
  std::optional<MessageSource> set_by;
  // A 0 the hub stored: why ("reset acknowledged", "reset message 2/5").
  std::string cleared_by;
  // For a zone gate: what it shows, from every message that set it since it
  // was last 0, so that a report on a zone in alarm does not hide the alarm.
  // A message whose type the site did not map counts as an alarm: a zone is
  // never quietly taken for less than a fire.
  bool alarm = false;
  bool fault = false;
};

// The panel was reset (zemhost's reset command acknowledged, or the site's
// reset-message reported): the instance's zone gates, and the element gates
// an alarm set, go back to 0. The hub makes it, and the GateStored events
// of the gates it clears follow it; a sink that keeps zone states of its
// own (retained on a broker from before the run) clears them too.
struct ZonesCleared {
  std::string why;
};

// One line of the driver's log, code page 437 as the driver wrote it.
struct LogLine {
  std::int32_t level = 0;
  std::string text;
};

// A poll (command 5) came back: the driver's result and the point's result word.
struct PollDone {
  std::string point;
  std::uint32_t result = 0;
  std::int32_t value = 0;
};

// A panel command (command 7) came back. `ticket` is the one its source gave
// it (RemoteCommand), so a source knows its own commands' results; 0 for the
// keys' and --send's.
struct CommandDone {
  std::string point;
  std::uint32_t result = 0;
  bool acknowledged = false;
  std::uint32_t ticket = 0;
};

// Bytes seen on a traced line: from_driver for what the driver sent.
struct TraceFrame {
  bool from_driver = false;
  std::vector<std::uint8_t> bytes;
};

// A word of the traced line's simulator or relay ("hangup").
struct TraceNote {
  std::string text;
};

// What zemhost knows of an instance's panel link. Unknown until the first
// exchange is answered or a rule takes it down; down after the instance's
// link-failures exchanges in a row failed or link-silence passed without an
// answered one, whichever comes first; up again with the next answered one.
enum class LinkState { kUnknown, kUp, kDown };

// The instance's panel link took a new state; `why` says what made it
// ("3 failed exchanges in a row", "no answered poll for 5s", "poll
// answered"). The hub makes these from the exchanges and the time.
struct LinkChanged {
  LinkState state = LinkState::kUnknown;
  std::string why;
};

// How much a report matters to whoever filters a log: syslog's levels, which
// the journal takes as a line's "<N>" prefix.
enum class Severity { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

// zemhost's own word about the run ("instance 1: 3 failed polls in a row ...").
struct Notice {
  std::string text;
  Severity severity = Severity::kNotice;
};

// ---- What the run states once ------------------------------------------------

// That a panel is simulated, before anything else, so that no output of the
// run can pass for a real panel's.
struct SimulatedLabel {
  std::string text;
};

// What GetZemInfo told about the driver; name and banner are code page 437.
struct DriverShown {
  std::string module_file;
  std::string name;
  std::string banner;
  std::uint32_t state_size = 0;
  unsigned baud = 0;
  std::string framing;  // "8N1"
};

struct InstanceShown {
  std::string port;         // what the driver opens: "pts/3"
  std::string where;        // for people: "pts/3 (simulated panel: demo)"
  std::string scenario;     // empty for a real line
  std::string description;  // the line, its settings and its points
  int panel = 0;            // the panel number of its first point, as the driver read it
};

// Which gates the run's host table starts with.
struct GatesShown {
  std::string text;
};

struct RunEnded {
  std::uint64_t exchanges = 0;
  std::uint64_t failures = 0;
  std::uint64_t commands = 0;
  std::uint64_t acknowledged = 0;
};

using EventBody = std::variant<GateStored, LogLine, PollDone, CommandDone, LinkChanged,
                               ZonesCleared, TraceFrame, TraceNote, Notice, SimulatedLabel,
                               DriverShown, InstanceShown, GatesShown, RunEnded>;

// Visits an EventBody with one lambda per kind: std::visit(Overloaded{...}, body).
template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

struct Event {
  double time = 0;   // seconds since the run's start
  int instance = 0;  // 1, 2, ...; 0 for the run's own and the driver's own threads
  EventBody body;
};

// An output of the run. It hears every event in the order the hub recorded
// them, one call at a time, on the thread that reported it: a driver's thread
// among them, so Take never waits for anything slow (it queues what takes
// time) and never reports to the hub itself.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Take(const Event &event) = 0;
  // From the run's main loop, about twenty times a second and outside any
  // call of Take: for what is due by time rather than by an event.
  virtual void Tick() {}
};

// A panel command asked for from outside the run (the broker, a Modbus
// client): 'A' acknowledge, 'S' silence or 'R' reset, for one instance. The
// run's loop picks them up, and they take the same path as the keys and
// --send; the command's CommandDone carries the ticket back (0: none wanted).
struct RemoteCommand {
  int instance = 0;
  char kind = 0;
  std::uint32_t ticket = 0;
};

class CommandSource {
 public:
  virtual std::vector<RemoteCommand> TakeCommands() = 0;

 protected:
  ~CommandSource() = default;
};

}  // namespace zemhost

#endif
