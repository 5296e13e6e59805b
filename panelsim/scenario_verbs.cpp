// The verbs of a scenario line: what each one queues, arms or does, and the
// table that names them with their arguments.
#include <cstring>

#include "scenario_parse.h"

namespace panelsim {
namespace {

constexpr unsigned kMostGarbage = 64;
constexpr unsigned kMostRepeats = 100000;
constexpr unsigned kDefaultShortFrame = 5;
constexpr unsigned kDefaultLongFrame = 24;
constexpr unsigned kLongestFrame = 255;  // b2 carries the length
constexpr long kLongestGapSeconds = 60;

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
  const std::optional<Duration> value = ParseDurationWord(token);
  if (!value || *value <= Duration::zero() || *value > std::chrono::seconds(kLongestGapSeconds)) {
    *error = std::string(what) + " must be a duration above 0 and up to " +
             std::to_string(kLongestGapSeconds) + "s such as 250ms or 1.5s, not '" + token + "'";
    return false;
  }
  *out = *value;
  return true;
}

// An argument the verb lets its line leave out: then *out keeps its default.
bool OptionalByte(const Args &args, std::size_t at, const char *what, std::uint8_t *out,
                  std::string *error) {
  return args.size() <= at || ParseByteArgument(args[at], what, out, error);
}

// ---- Message verbs ----------------------------------------------------------

using ElementMessage = bool (*)(int zone, int element, std::uint8_t state, Message *out,
                                std::string *error);
using ZoneMessage = bool (*)(int zone, Message *out, std::string *error);

// ZONE ELEMENT [STATE]; the verb's table entry says whether STATE is needed.
template <ElementMessage Make>
bool ParseElement(const Args &args, Action *action, std::string *error) {
  int zone = 0;
  int element = 0;
  std::uint8_t state = 0;
  return ParseZone(args[0], &zone, error) && ParseZone(args[1], &element, error) &&
         OptionalByte(args, 2, "state", &state, error) &&
         Make(zone, element, state, &action->message, error);
}

template <ZoneMessage Make>
bool ParseOneZone(const Args &args, Action *action, std::string *error) {
  int zone = 0;
  return ParseZone(args[0], &zone, error) && Make(zone, &action->message, error);
}

bool ParseZoneAlarm(const Args &args, Action *action, std::string *error) {
  int zone = 0;
  std::uint8_t kind = kAlarmSingle;
  return ParseZone(args[0], &zone, error) && OptionalByte(args, 1, "kind", &kind, error) &&
         ZoneAlarmMessage(zone, kind, &action->message, error);
}

bool ParseAlarmRange(const Args &args, Action *action, std::string *error) {
  int first = 0;
  int last = 0;
  std::uint8_t kind = kAlarmRange;
  return ParseZone(args[0], &first, error) && ParseZone(args[1], &last, error) &&
         OptionalByte(args, 2, "kind", &kind, error) &&
         AlarmRangeMessage(first, last, kind, &action->message, error);
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
  return ParseStatusType(args[0], &type, error) && OptionalByte(args, 1, "state", &state, error) &&
         StatusMessage(type, state, &action->message, error);
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

// The count a fault takes: how many polls or commands it spoils, how long its
// frame is or how much noise it sends; and its count when a line leaves it out.
struct FaultCount {
  FaultKind kind;
  const char *what;
  unsigned min;
  unsigned max;
  unsigned fallback;
};

constexpr FaultCount kFaultCounts[] = {
    {FaultKind::kSilent, "the poll count", 1, kMostRepeats, 1},
    {FaultKind::kCommandSilent, "the command count", 1, kMostRepeats, 1},
    {FaultKind::kShortFrame, "a short frame's length", 1, kMinFrameLength - 1, kDefaultShortFrame},
    {FaultKind::kLongFrame, "a long frame's length", kMaxFrameLength + 1, kLongestFrame,
     kDefaultLongFrame},
    {FaultKind::kGarbage, "the garbage length", 1, kMostGarbage, 1},
};

// Arms the fault Kind with the count its line gives, or its default.
template <FaultKind Kind>
bool ParseCounted(const Args &args, Action *action, std::string *error) {
  action->fault.kind = Kind;
  for (const FaultCount &count : kFaultCounts) {
    if (count.kind != Kind) continue;
    action->fault.count = count.fallback;
    return args.empty() ||
           ParseCount(args[0], count.what, count.min, count.max, &action->fault.count, error);
  }
  return false;
}

bool FaultByte(const std::string &token, const char *what, Fault *fault, std::string *error) {
  std::uint8_t byte = 0;
  if (!ParseByteArgument(token, what, &byte, error)) return false;
  fault->byte = byte;
  return true;
}

bool ParseGarbage(const Args &args, Action *action, std::string *error) {
  return ParseCounted<FaultKind::kGarbage>(args, action, error) &&
         (args.size() < 2 || FaultByte(args[1], "the first byte", &action->fault, error));
}

bool ParseCommandReply(const Args &args, Action *action, std::string *error) {
  action->fault.kind = FaultKind::kCommandReply;
  return FaultByte(args[0], "the answer", &action->fault, error);
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
    {"element-state", ActionKind::kMessage, 3, 3, "ZONE ELEMENT STATE",
     ParseElement<ElementStateMessage>},
    {"element-event", ActionKind::kMessage, 2, 3, "ZONE ELEMENT [STATE]",
     ParseElement<ElementEventMessage>},
    {"zone-alarm", ActionKind::kMessage, 1, 2, "ZONE [KIND]", ParseZoneAlarm},
    {"alarm-range", ActionKind::kMessage, 2, 3, "FIRST LAST [KIND]", ParseAlarmRange},
    {"zone-fault", ActionKind::kMessage, 1, 1, "ZONE", ParseOneZone<ZoneFaultMessage>},
    {"fault-range", ActionKind::kMessage, 2, 2, "FIRST LAST", ParseFaultRange},
    {"command-rejected", ActionKind::kMessage, 2, 2, "CODE TYPE", ParseCommandRejected},
    {"zone-report", ActionKind::kMessage, 1, 1, "ZONE", ParseOneZone<ZoneReportMessage>},
    {"status", ActionKind::kMessage, 1, 2, "TYPE [STATE]", ParseStatus},
    {"raw", ActionKind::kMessage, 1, kMessageLength, "HEX [HEX ...] (1 to 6 bytes)", ParseRaw},
    {"silent", ActionKind::kFault, 0, 1, "[POLLS]", ParseCounted<FaultKind::kSilent>},
    {"garbage", ActionKind::kFault, 1, 2, "LENGTH [FIRST]", ParseGarbage},
    {"short-frame", ActionKind::kFault, 0, 1, "[LENGTH]",
     ParseCounted<FaultKind::kShortFrame>},
    {"long-frame", ActionKind::kFault, 0, 1, "[LENGTH]",
     ParseCounted<FaultKind::kLongFrame>},
    {"dribble", ActionKind::kFault, 1, 1, "GAP", ParseDribble},
    {"command-reply", ActionKind::kFault, 1, 1, "BYTE", ParseCommandReply},
    {"command-silent", ActionKind::kFault, 0, 1, "[COMMANDS]",
     ParseCounted<FaultKind::kCommandSilent>},
    {"hangup", ActionKind::kHangup, 0, 1, "[DELAY]", ParseHangup},
    {"end", ActionKind::kEnd, 0, 0, "", ParseNothing},
};

const Verb *FindVerb(const std::string &name) {
  for (const Verb &verb : kVerbs) {
    if (name == verb.name) return &verb;
  }
  return nullptr;
}

std::string Join(Args::const_iterator begin, Args::const_iterator end) {
  std::string text;
  for (auto it = begin; it != end; ++it) {
    if (!text.empty()) text += ' ';
    text += *it;
  }
  return text;
}

}  // namespace

bool ParseAction(Args::const_iterator begin, Args::const_iterator end, Action *action,
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

}  // namespace panelsim
