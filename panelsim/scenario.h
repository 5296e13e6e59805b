// Scenarios: what the simulated panel reports and how it misbehaves, as a list of
// events, each due at a time offset or at a poll count. ScenarioFormatHelp()
// describes the text format that ParseScenario reads.
#ifndef PANELSIM_SCENARIO_H
#define PANELSIM_SCENARIO_H

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "encoding.h"

namespace panelsim {

using Duration = std::chrono::nanoseconds;

// Misbehaviour for the next poll(s) or command(s). Faults wait in order: a fault
// applies once the faults armed before it are used up.
enum class FaultKind {
  kSilent,         // the next `count` polls get no answer
  kGarbage,        // the next poll is answered with `count` bytes of noise
  kShortFrame,     // the next reply frame is cut to `count` bytes
  kLongFrame,      // the next reply frame is `count` bytes long
  kDribble,        // the next reply goes out with `gap` of silence between bytes
  kCommandReply,   // the next command is answered with `byte` instead of ACK
  kCommandSilent,  // the next `count` commands get no answer
};

struct Fault {
  FaultKind kind = FaultKind::kSilent;
  unsigned count = 1;
  // garbage: its first byte (chosen when empty); command-reply: the answer.
  std::optional<std::uint8_t> byte;
  // dribble: the quiet between its bytes and after the last; garbage,
  // short-frame, long-frame: the quiet after the spoilt reply (none by default),
  // before the panel answers anything that piled up meanwhile.
  Duration gap{};
};

// True for the faults that wait for a command rather than a poll.
bool IsCommandFault(FaultKind kind);

enum class ActionKind { kMessage, kFault, kHangup, kEnd };

struct Action {
  ActionKind kind = ActionKind::kMessage;
  Message message;
  std::string label;  // how traces name the message, e.g. "zone-alarm 12"
  Fault fault;
  // hangup: when set, a new line comes up after this delay.
  std::optional<Duration> return_after;
};

struct Event {
  int line = 0;  // in the scenario text
  bool at_poll = false;
  Duration time{};         // when !at_poll: offset from the scenario clock's start
  std::uint64_t poll = 0;  // when at_poll: the poll (1 = the first) it comes with
  Action action;
};

struct Scenario {
  // The scenario clock starts with the first poll instead of with the run.
  bool clock_from_first_poll = false;
  std::vector<Event> events;  // in text order
};

// Reads a scenario. Every bad line adds "LINE: message" to *errors; the result
// is true only when there was none.
bool ParseScenario(std::istream &in, Scenario *out, std::vector<std::string> *errors);

// The whole text format, with every verb's bytes, for --help.
const char *ScenarioFormatHelp();

}  // namespace panelsim

#endif
