#include "scenario.h"

#include <cctype>
#include <cstring>
#include <istream>
#include <sstream>

namespace panelsim {
namespace {

using Args = std::vector<std::string>;

constexpr long kLongestScenario = 10'000'000;  // seconds, far beyond any run
constexpr unsigned kMostGarbage = 64;
constexpr unsigned kMostRepeats = 100000;
constexpr unsigned kDefaultShortFrame = 5;
constexpr unsigned kDefaultLongFrame = 24;
constexpr unsigned kLongestFrame = 255;  // b2 carries the length
constexpr long kLongestGapSeconds = 60;

bool ParseInteger(const std::string &token, long min, long max, long *out) {
  if (token.empty()) return false;
  std::size_t at = (token[0] == '-' || token[0] == '+') ? 1 : 0;
  if (at == token.size() || token.size() > 12) return false;
  long value = 0;
  for (std::size_t i = at; i < token.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(token[i]))) return false;
    value = value * 10 + (token[i] - '0');
  }
  if (token[0] == '-') value = -value;
  if (value < min || value > max) return false;
  *out = value;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One or two hex digits, with or without a 0x in front.
bool ParseHexByte(const std::string &token, std::uint8_t *out) {
  std::string digits = token;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 2) return false;
  int value = 0;
  for (char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0) return false;
    value = value * 16 + digit;
  }
  *out = static_cast<std::uint8_t>(value);
  return true;
}

// A byte: decimal 0..255, hex 0xHH, or one letter standing for its character code.
bool ParseByteValue(const std::string &token, std::uint8_t *out) {
  if (token.size() == 1 && std::isalpha(static_cast<unsigned char>(token[0]))) {
    *out = static_cast<std::uint8_t>(token[0]);
    return true;
  }
  if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    return ParseHexByte(token, out);
  }
  long value = 0;
  if (!ParseInteger(token, 0, 255, &value)) return false;
  *out = static_cast<std::uint8_t>(value);
  return true;
}

// A duration: digits with an optional fraction, then "s" or "ms": 1.5s, 250ms.
bool ParseDuration(const std::string &token, Duration *out) {
  std::size_t unit_at = token.size();
  while (unit_at > 0 && std::isalpha(static_cast<unsigned char>(token[unit_at - 1]))) --unit_at;
  const std::string unit = token.substr(unit_at);
  const std::string number = token.substr(0, unit_at);
  long long per_unit = 0;
  if (unit == "s") {
    per_unit = 1'000'000'000;
  } else if (unit == "ms") {
    per_unit = 1'000'000;
  } else {
    return false;
  }
  const std::size_t point = number.find('.');
  const std::string whole = number.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : number.substr(point + 1);
  if (whole.empty() || whole.size() > 8) return false;
  long long value = 0;
  for (char c : whole) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + (c - '0');
  }
  if (value * per_unit / 1'000'000'000 > kLongestScenario) return false;
  long long nanoseconds = value * per_unit;
  long long scale = per_unit;
  for (char c : fraction) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    scale /= 10;
    nanoseconds += (c - '0') * scale;
  }
  if (point != std::string::npos && fraction.empty()) return false;
  *out = Duration(nanoseconds);
  return true;
}

bool ParseZone(const std::string &token, int *out, std::string *error) {
  long value = 0;
  if (!ParseInteger(token, -1'000'000'000, 1'000'000'000, &value)) {
    *error = "'" + token + "' is not a number";
    return false;
  }
  *out = static_cast<int>(value);
  return true;
}

bool ParseByteArgument(const std::string &token, const char *what, std::uint8_t *out,
                       std::string *error) {
  if (ParseByteValue(token, out)) return true;
  *error = std::string(what) + " '" + token + "' is not a byte (0..255, 0xHH or a letter)";
  return false;
}

bool ParseCount(const std::string &token, const char *what, unsigned min, unsigned max,
                unsigned *out, std::string *error) {
  long value = 0;
  if (!ParseInteger(token, min, max, &value)) {
    *error = std::string(what) + " must be a number from " + std::to_string(min) + " to " +
             std::to_string(max) + ", not '" + token + "'";
    return false;
  }
  *out = static_cast<unsigned>(value);
  return true;
}

bool ParseGap(const std::string &token, const char *what, Duration *out, std::string *error) {
  Duration value{};
  if (!ParseDuration(token, &value) || value <= Duration::zero() ||
      value > std::chrono::seconds(kLongestGapSeconds)) {
    *error = std::string(what) + " must be a duration above 0 and up to " +
             std::to_string(kLongestGapSeconds) + "s such as 250ms or 1.5s, not '" + token + "'";
    return false;
  }
  *out = value;
  return true;
}

// ---- Message verbs ----------------------------------------------------------

bool ParseElementState(const Args &args, Action *action, std::string *error) {
  int zone = 0;
  int element = 0;
  std::uint8_t state = 0;
  if (!ParseZone(args[0], &zone, error) || !ParseZone(args[1], &element, error) ||
      !ParseByteArgument(args[2], "state", &state, error)) {
    return false;
  }
  return ElementStateMessage(zone, element, state, &action->message, error);
}

bool ParseElementEvent(const Args &args, Action *action, std::string *error) {
  int zone = 0;
  int element = 0;
  std::uint8_t state = 0;
  if (!ParseZone(args[0], &zone, error) || !ParseZone(args[1], &element, error)) return false;
  if (args.size() > 2 && !ParseByteArgument(args[2], "state", &state, error)) return false;
  return ElementEventMessage(zone, element, state, &action->message, error);
}

bool ParseZoneAlarm(const Args &args, Action *action, std::string *error) {
  int zone = 0;
  std::uint8_t kind = kAlarmSingle;
  if (!ParseZone(args[0], &zone, error)) return false;
  if (args.size() > 1 && !ParseByteArgument(args[1], "kind", &kind, error)) return false;
  return ZoneAlarmMessage(zone, kind, &action->message, error);
}

bool ParseAlarmRange(const Args &args, Action *action, std::string *error) {
  int first = 0;
  int last = 0;
  std::uint8_t kind = kAlarmRange;
  if (!ParseZone(args[0], &first, error) || !ParseZone(args[1], &last, error)) return false;
  if (args.size() > 2 && !ParseByteArgument(args[2], "kind", &kind, error)) return false;
  return AlarmRangeMessage(first, last, kind, &action->message, error);
}

bool ParseZoneFault(const Args &args, Action *action, std::string *error) {
  int zone = 0;
  return ParseZone(args[0], &zone, error) && ZoneFaultMessage(zone, &action->message, error);
}

bool ParseFaultRange(const Args &args, Action *action, std::string *error) {
  int first = 0;
  int last = 0;
  return ParseZone(args[0], &first, error) && ParseZone(args[1], &last, error) &&
         FaultRangeMessage(first, last, &action->message, error);
}

bool ParseCommandRejected(const Args &args, Action *action, std::string *error) {
  std::uint8_t code = 0;
  std::uint8_t type = 0;
  if (!ParseByteArgument(args[0], "command code", &code, error) ||
      !ParseByteArgument(args[1], "type", &type, error)) {
    return false;
  }
  action->message = CommandRejectedMessage(code, type);
  return true;
}

bool ParseZoneReport(const Args &args, Action *action, std::string *error) {
  int zone = 0;
  return ParseZone(args[0], &zone, error) && ZoneReportMessage(zone, &action->message, error);
}

// The type as its character (5), its code in decimal (53) or in hex (0x35).
bool ParseStatusType(const std::string &token, std::uint8_t *type, std::string *error) {
  bool parsed = true;
  if (token.size() == 1) {
    // Any one character is the type itself: 5 is '5' (0x35), as the panel sends it.
    *type = static_cast<std::uint8_t>(token[0]);
  } else {
    parsed = ParseByteValue(token, type);
  }
  if (parsed && *type != 0 && std::strchr(kStatusTypes, *type) != nullptr) return true;
  *error = "status type '" + token + "' is not one of the panel's status types " +
           kStatusTypeList + " (the character, or its code as 50 or 0x32)";
  return false;
}

bool ParseStatus(const Args &args, Action *action, std::string *error) {
  std::uint8_t type = 0;
  std::uint8_t state = 0;
  if (!ParseStatusType(args[0], &type, error)) return false;
  if (args.size() > 1 && !ParseByteArgument(args[1], "state", &state, error)) return false;
  return StatusMessage(type, state, &action->message, error);
}

bool ParseRaw(const Args &args, Action *action, std::string *error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!ParseHexByte(args[i], &action->message.bytes[i])) {
      *error = "'" + args[i] + "' is not a hex byte";
      return false;
    }
  }
  return true;
}

// ---- Fault and run verbs ----------------------------------------------------

bool ParseSilent(const Args &args, Action *action, std::string *error) {
  action->fault.kind = FaultKind::kSilent;
  return args.empty() ||
         ParseCount(args[0], "the poll count", 1, kMostRepeats, &action->fault.count, error);
}

bool ParseGarbage(const Args &args, Action *action, std::string *error) {
  action->fault.kind = FaultKind::kGarbage;
  if (!ParseCount(args[0], "the garbage length", 1, kMostGarbage, &action->fault.count, error)) {
    return false;
  }
  if (args.size() < 2) return true;
  std::uint8_t first = 0;
  if (!ParseByteArgument(args[1], "the first byte", &first, error)) return false;
  action->fault.byte = first;
  return true;
}

bool ParseShortFrame(const Args &args, Action *action, std::string *error) {
  action->fault.kind = FaultKind::kShortFrame;
  action->fault.count = kDefaultShortFrame;
  return args.empty() || ParseCount(args[0], "a short frame's length", 1,
                                    kMinFrameLength - 1, &action->fault.count, error);
}

bool ParseLongFrame(const Args &args, Action *action, std::string *error) {
  action->fault.kind = FaultKind::kLongFrame;
  action->fault.count = kDefaultLongFrame;
  return args.empty() || ParseCount(args[0], "a long frame's length", kMaxFrameLength + 1,
                                    kLongestFrame, &action->fault.count, error);
}

bool ParseDribble(const Args &args, Action *action, std::string *error) {
  action->fault.kind = FaultKind::kDribble;
  return ParseGap(args[0], "the gap", &action->fault.gap, error);
}

bool ParseHangup(const Args &args, Action *action, std::string *error) {
  if (args.empty()) return true;
  Duration delay{};
  if (!ParseGap(args[0], "the delay", &delay, error)) return false;
  action->return_after = delay;
  return true;
}

bool ParseCommandReply(const Args &args, Action *action, std::string *error) {
  action->fault.kind = FaultKind::kCommandReply;
  std::uint8_t answer = 0;
  if (!ParseByteArgument(args[0], "the answer", &answer, error)) return false;
  action->fault.byte = answer;
  return true;
}

bool ParseCommandSilent(const Args &args, Action *action, std::string *error) {
  action->fault.kind = FaultKind::kCommandSilent;
  return args.empty() ||
         ParseCount(args[0], "the command count", 1, kMostRepeats, &action->fault.count, error);
}

bool ParseNothing(const Args &, Action *, std::string *) { return true; }

struct Verb {
  const char *name;
  ActionKind kind;
  std::size_t min_args;
  std::size_t max_args;
  const char *usage;
  bool (*parse)(const Args &, Action *, std::string *);
};

constexpr Verb kVerbs[] = {
    {"element-state", ActionKind::kMessage, 3, 3, "ZONE ELEMENT STATE", ParseElementState},
    {"element-event", ActionKind::kMessage, 2, 3, "ZONE ELEMENT [STATE]", ParseElementEvent},
    {"zone-alarm", ActionKind::kMessage, 1, 2, "ZONE [KIND]", ParseZoneAlarm},
    {"alarm-range", ActionKind::kMessage, 2, 3, "FIRST LAST [KIND]", ParseAlarmRange},
    {"zone-fault", ActionKind::kMessage, 1, 1, "ZONE", ParseZoneFault},
    {"fault-range", ActionKind::kMessage, 2, 2, "FIRST LAST", ParseFaultRange},
    {"command-rejected", ActionKind::kMessage, 2, 2, "CODE TYPE", ParseCommandRejected},
    {"zone-report", ActionKind::kMessage, 1, 1, "ZONE", ParseZoneReport},
    {"status", ActionKind::kMessage, 1, 2, "TYPE [STATE]", ParseStatus},
    {"raw", ActionKind::kMessage, 1, kMessageLength, "HEX [HEX ...] (1 to 6 bytes)", ParseRaw},
    {"silent", ActionKind::kFault, 0, 1, "[POLLS]", ParseSilent},
    {"garbage", ActionKind::kFault, 1, 2, "LENGTH [FIRST]", ParseGarbage},
    {"short-frame", ActionKind::kFault, 0, 1, "[LENGTH]", ParseShortFrame},
    {"long-frame", ActionKind::kFault, 0, 1, "[LENGTH]", ParseLongFrame},
    {"dribble", ActionKind::kFault, 1, 1, "GAP", ParseDribble},
    {"command-reply", ActionKind::kFault, 1, 1, "BYTE", ParseCommandReply},
    {"command-silent", ActionKind::kFault, 0, 1, "[COMMANDS]", ParseCommandSilent},
    {"hangup", ActionKind::kHangup, 0, 1, "[DELAY]", ParseHangup},
    {"end", ActionKind::kEnd, 0, 0, "", ParseNothing},
};

const Verb *FindVerb(const std::string &name) {
  for (const Verb &verb : kVerbs) {
    if (name == verb.name) return &verb;
  }
  return nullptr;
}

Args Tokenize(const std::string &text) {
  const std::string code = text.substr(0, text.find('#'));
  std::istringstream words(code);
  Args tokens;
  std::string token;
  while (words >> token) tokens.push_back(token);
  return tokens;
}

std::string Join(Args::const_iterator begin, Args::const_iterator end) {
  std::string text;
  for (auto it = begin; it != end; ++it) {
    if (!text.empty()) text += ' ';
    text += *it;
  }
  return text;
}

bool ParseVerb(Args::const_iterator begin, Args::const_iterator end, Action *action,
               std::string *error) {
  if (begin == end) {
    *error = "nothing to do after the time";
    return false;
  }
  const Verb *verb = FindVerb(*begin);
  if (verb == nullptr) {
    *error = "unknown verb '" + *begin + "'";
    return false;
  }
  const Args args(begin + 1, end);
  if (args.size() < verb->min_args || args.size() > verb->max_args) {
    *error = std::string("usage: ") + verb->name + (*verb->usage ? " " : "") + verb->usage;
    return false;
  }
  action->kind = verb->kind;
  action->label = Join(begin, end);
  return verb->parse(args, action, error);
}

// "at TIME VERB ..." or "at poll N VERB ...".
bool ParseEvent(const Args &tokens, Event *event, std::string *error) {
  auto verb = tokens.begin() + 1;
  if (verb == tokens.end()) {
    *error = "'at' needs a time or 'poll N'";
    return false;
  }
  if (*verb == "poll") {
    long poll = 0;
    if (++verb == tokens.end() || !ParseInteger(*verb, 1, 1'000'000'000'000L, &poll)) {
      *error = "'at poll' needs a poll number of 1 or more";
      return false;
    }
    event->at_poll = true;
    event->poll = static_cast<std::uint64_t>(poll);
  } else if (!ParseDuration(*verb, &event->time)) {
    *error = "'" + *verb + "' is not a time such as 1.5s or 250ms";
    return false;
  }
  return ParseVerb(verb + 1, tokens.end(), &event->action, error);
}

bool ParseClock(const Args &tokens, Scenario *scenario, std::string *error) {
  if (tokens.size() == 2 && tokens[1] == "first-poll") {
    scenario->clock_from_first_poll = true;
    return true;
  }
  if (tokens.size() == 2 && tokens[1] == "start") {
    scenario->clock_from_first_poll = false;
    return true;
  }
  *error = "usage: clock start | clock first-poll";
  return false;
}

bool ParseLine(const Args &tokens, int number, Scenario *scenario, std::string *error) {
  if (tokens[0] == "clock") return ParseClock(tokens, scenario, error);
  if (tokens[0] != "at") {
    *error = "a line starts with 'at' or 'clock', not '" + tokens[0] + "'";
    return false;
  }
  Event event;
  event.line = number;
  if (!ParseEvent(tokens, &event, error)) return false;
  scenario->events.push_back(std::move(event));
  return true;
}

}  // namespace

bool IsCommandFault(FaultKind kind) {
  return kind == FaultKind::kCommandReply || kind == FaultKind::kCommandSilent;
}

bool ParseScenario(std::istream &in, Scenario *out, std::vector<std::string> *errors) {
  Scenario scenario;
  bool good = true;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    const Args tokens = Tokenize(text);
    if (tokens.empty()) continue;
    std::string error;
    if (!ParseLine(tokens, number, &scenario, &error)) {
      good = false;
      if (errors != nullptr) errors->push_back(std::to_string(number) + ": " + error);
    }
  }
  if (good) *out = std::move(scenario);
  return good;
}

const char *ScenarioFormatHelp() {
  return R"(Scenario format
  One event per line; '#' starts a comment; blank lines are ignored.

    at TIME VERB [ARGS]      due TIME after the scenario clock starts
    at poll N VERB [ARGS]    due when the N-th poll (1 = the first) arrives,
                             before it is answered
    clock start              the scenario clock starts with the run (default)
    clock first-poll         the scenario clock starts with the first poll

  TIME is a number with a unit: 1.5s, 250ms, 0s. Events may come in any order
  and both styles may be mixed; events due together happen in text order.
  ZONE, FIRST and LAST are zone numbers from -32768 to 32512. A BYTE or STATE
  is 0..255, 0xHH, or one letter standing for its character code (A = 0x41).

  The host reads message bytes m0..m5 as signed bytes and a number from a low
  byte L and a high byte H as s(L) + s(H) * 255; zone numbers are encoded so
  that they decode right: zone 260 is L=05 H=01, zone 200 is L=c9 (-55) H=01.

Messages (queued; each poll is answered with the oldest one until the host ACKs
it, and with EOT when none waits):
  element-state ZONE ELEMENT STATE
                m0='0' (30) m1=STATE m2=00 m3/m4=ZONE m5=00
  element-event ZONE ELEMENT [STATE]
                m0='1' (31) m1=STATE (default 0) m2=00 m3/m4=ZONE m5=00
                The host takes the element number from m3, the zone's low byte,
                so ELEMENT must be that byte's signed value: ZONE = ELEMENT +
                255 * H for some H in -128..127 (zone 12 element 12, zone 260
                element 5, zone 200 element -55).
  zone-alarm ZONE [KIND]
                m0='3' (33) m1=KIND: 1 (default) or 7, m2=00 m3/m4=ZONE m5=00
  alarm-range FIRST LAST [KIND]
                m0='3' (33) m1=KIND: 4 (default) or 9, m2/m3=FIRST m4/m5=LAST
                (FIRST <= LAST)
  zone-fault ZONE
                m0='7' (37) m1=01 m2=00 m3/m4=ZONE m5=00
  fault-range FIRST LAST
                m0='7' (37) m1=03 m2/m3=FIRST m4/m5=LAST (FIRST <= LAST)
  command-rejected CODE TYPE
                m0='<' (3c) m1=00 m2=CODE m3=TYPE m4=00 m5=00
  zone-report ZONE
                m0='=' (3d) m1=00 m2=00 m3/m4=ZONE m5=00
  status TYPE [STATE]
                m0=TYPE, one of 2 4 5 6 8 9 : ; (the types that carry no
                zone), as the character or its code (5, 53 or 0x35),
                m1=STATE (default 0), m2..m5=00
  raw HEX [HEX ...]
                m0..m5 as given, 1 to 6 hex bytes (with or without 0x),
                missing ones 00; framed like every message

Faults (each waits for the next poll or command; faults queue up in order):
  silent [POLLS]          the next POLLS polls (default 1) get no answer
  garbage LENGTH [FIRST]  the next poll is answered with LENGTH (1..64) bytes of
                          noise; the first is FIRST, by default a byte that is
                          not STX, EOT or ACK. The waiting message stays queued.
  short-frame [LENGTH]    the next reply frame is cut to LENGTH (1..8, default 5)
                          bytes
  long-frame [LENGTH]     the next reply frame is LENGTH (21..255, default 24)
                          bytes, so the host's 20-byte read leaves the rest on
                          the line
  dribble GAP             the next reply frame goes out with GAP of silence
                          between its bytes (make it longer than the host's
                          read timeout to cut the reply)
  command-reply BYTE      the next command is answered with BYTE instead of ACK
  command-silent [N]      the next N commands (default 1) get no answer
  A short, long or dribbled frame carries the waiting message (or a status
  message '2' when none waits); the host's ACK after it retires the message as
  it would a whole frame.

Run:
  hangup [DELAY]          close the line now; the host sees a hang-up. With a
                          DELAY the panel comes back on a new line (a new pty,
                          re-pointing --link; or the device reopened); without
                          one the run ends.
  end                     end the run

Example:
  clock first-poll
  at 1s zone-alarm 12
  at poll 3 silent 2
  at 2.5s alarm-range 20 24
  at 4s dribble 300ms
  at 4s zone-fault 7
  at 10s end
)";
}

}  // namespace panelsim
