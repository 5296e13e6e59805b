// panelsim: plays an FP11x fire-alarm panel on a serial line, for the VUZOV
// driver on commissioning day and for the team's end-to-end tests.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "scenario.h"
#include "simulator.h"
#include "vuzov_version.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitLineFailure = 1;
constexpr int kExitUsage = 2;

void PrintUsage() {
  std::printf(
      R"(usage: panelsim [OPTIONS] [SCENARIO]

Plays an FP11x fire-alarm panel on a serial line for the VUZOV driver. It
creates a pty (or opens a serial device for a null-modem cable), answers the
host's polls and commands as the panel does, and plays SCENARIO: a file, or -
for standard input. Without a scenario the panel has nothing to report.

The link: the host polls with ENQ (05). The panel answers EOT (04) when it has
nothing to report, else the oldest queued message in a frame; the host ACKs
(06) a frame, which retires the message, and a message not ACKed by the next
poll is sent again. An ACK that arrived before the frame began to go out
answers something else and retires nothing. The host's commands are five bytes:
  A = 02 02 00 01 01   R = 02 02 00 00 00   S = 02 02 00 02 02
and the panel answers each with ACK. Other STX frames, frames whose bytes do
not all arrive within the command timeout, and stray bytes are traced and
ignored. The panel handles one exchange at a time: what the host sends while a
reply is going out waits until the reply is done. Every byte sent is paced at
the baud rate (10 bits a byte, 11 with a parity or a second stop bit). A pty
hands over the host's bytes at once, so there the panel answers only after each
of them would have crossed a wire, as a panel on a real line does.

A reply frame of N bytes (--frame-length) is
  b0 STX (02), b1 address, b2 N, b3..b8 the message m0..m5,
  then zero padding, ETX (03) and an XOR of b1..ETX as the last byte;
  N = 10 ends with ETX alone, N = 9 has no trailer.

Options:
  --device PATH          use a serial device instead of creating a pty
  --link PATH            keep the symbolic link PATH pointing at the line; as
                         a device's name, it goes before the line at a hangup
                         and at exit, and comes back (by rename) once the new
                         line is up (only a symbolic link is replaced)
  --baud N               line rate (default 9600); a device takes 300..230400
  --framing F            8N1 (default), 8E1, 8O1 or 8N2
  --frame-length N       bytes in a reply frame, 9 to 20 (default 12)
  --address N            the panel address in b1, 0 to 255 (default 1)
  --command-timeout MS   how long the four bytes after a command's STX may take
                         (default 50 ms plus four byte times)
  --trace                hex trace of every frame seen (<) and sent (>), with
                         seconds since the start, on standard error
  --check                read the scenario, report its errors, and exit
  --help                 this text
  --version              print panelsim's version and exit

Output: the line's path on standard output when it opens, and again when it
comes back after a hangup; notes (and the trace) on standard error, and a
summary when the run ends. The run ends with the scenario's end, a hangup
without return, a line failure, or SIGINT / SIGTERM / SIGHUP.
Exit status: 0 when the run ended normally, 1 when the line failed or could
not be opened, 2 for bad arguments or a bad scenario (each bad line is reported
as LINE: message, and the panel does not start).

)");
  std::fputs(panelsim::ScenarioFormatHelp(), stdout);
}

struct CommandLine {
  panelsim::Options options;
  std::string scenario_path;
  bool trace = false;
  bool check = false;
  bool help = false;
  bool version = false;
};

bool ParseUnsigned(const char *text, unsigned long max, unsigned long *out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char *end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

bool ParseOption(const std::string &name, const char *value, CommandLine *line,
                 std::string *error) {
  unsigned long number = 0;
  panelsim::Options &options = line->options;
  if (name == "--device" || name == "--link") {
    if (value == nullptr || *value == '\0') {
      *error = name + " needs a path";
      return false;
    }
    (name == "--device" ? options.device : options.link) = value;
  } else if (name == "--baud") {
    if (!ParseUnsigned(value, 4'000'000, &number) || number == 0) {
      *error = "--baud needs a rate from 1 to 4000000";
      return false;
    }
    options.baud = static_cast<unsigned>(number);
  } else if (name == "--framing") {
    if (value == nullptr || !panelsim::ParseFraming(value, &options.framing)) {
      *error = "--framing is 8N1, 8E1, 8O1 or 8N2";
      return false;
    }
  } else if (name == "--frame-length") {
    if (!ParseUnsigned(value, panelsim::kMaxFrameLength, &number) ||
        number < panelsim::kMinFrameLength) {
      *error = "--frame-length is 9 to 20";
      return false;
    }
    options.frame_length = static_cast<unsigned>(number);
  } else if (name == "--address") {
    if (!ParseUnsigned(value, 255, &number)) {
      *error = "--address is 0 to 255";
      return false;
    }
    options.address = static_cast<std::uint8_t>(number);
  } else if (name == "--command-timeout") {
    if (!ParseUnsigned(value, 60'000, &number) || number == 0) {
      *error = "--command-timeout is 1 to 60000 milliseconds";
      return false;
    }
    options.command_timeout = std::chrono::milliseconds(number);
  } else {
    *error = "unknown option " + name + " (see --help)";
    return false;
  }
  return true;
}

bool ParseCommandLine(int argc, char **argv, CommandLine *line, std::string *error) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help") {
      line->help = true;
    } else if (argument == "--version") {
      line->version = true;
    } else if (argument == "--trace") {
      line->trace = true;
    } else if (argument == "--check") {
      line->check = true;
    } else if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
      const char *value = i + 1 < argc ? argv[++i] : nullptr;
      if (!ParseOption(argument, value, line, error)) return false;
    } else if (line->scenario_path.empty()) {
      line->scenario_path = argument;
    } else {
      *error = "only one scenario, please (see --help)";
      return false;
    }
  }
  return true;
}

// Prints every bad line as "LINE: message" and returns false when there was one.
bool LoadScenario(const std::string &path, panelsim::Scenario *scenario) {
  std::vector<std::string> errors;
  bool parsed = true;
  if (path.empty()) {
    return true;
  } else if (path == "-") {
    parsed = panelsim::ParseScenario(std::cin, scenario, &errors);
  } else {
    std::error_code failure;
    // A directory opens as a stream that reads nothing: an empty scenario.
    if (std::filesystem::is_directory(path, failure)) {
      std::fprintf(stderr, "panelsim: cannot read %s: it is a directory, not a file\n",
                   path.c_str());
      return false;
    }
    std::ifstream file(path);
    if (!file) {
      const int reason = errno;
      std::fprintf(stderr, "panelsim: cannot read %s: %s\n", path.c_str(), std::strerror(reason));
      return false;
    }
    parsed = panelsim::ParseScenario(file, scenario, &errors);
  }
  for (const std::string &error : errors) std::fprintf(stderr, "%s\n", error.c_str());
  return parsed;
}

void PrintEvent(const panelsim::TraceEvent &event, bool trace) {
  using Kind = panelsim::TraceEvent::Kind;
  if (event.kind == Kind::kLineOpened) {
    std::printf("%s\n", event.note.c_str());
    std::fflush(stdout);
  }
  if (trace || event.kind == Kind::kNote || event.kind == Kind::kLineOpened) {
    std::fprintf(stderr, "%s\n", panelsim::FormatTrace(event).c_str());
  }
}

void PrintSummary(const panelsim::Stats &stats) {
  std::fprintf(stderr,
               "panelsim: %llu polls, %llu messages sent (%llu resent), %llu retired, %zu "
               "waiting; commands A %llu, R %llu, S %llu\n",
               static_cast<unsigned long long>(stats.polls),
               static_cast<unsigned long long>(stats.messages_sent),
               static_cast<unsigned long long>(stats.resends),
               static_cast<unsigned long long>(stats.messages_retired), stats.pending,
               static_cast<unsigned long long>(stats.commands_a),
               static_cast<unsigned long long>(stats.commands_r),
               static_cast<unsigned long long>(stats.commands_s));
  if (!stats.error.empty()) std::fprintf(stderr, "panelsim: %s\n", stats.error.c_str());
}

// Runs until the scenario ends the run or a signal asks to stop.
int RunSimulator(panelsim::Scenario scenario, const CommandLine &line) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  // Blocked before the simulator's thread starts, so only sigtimedwait sees them.
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // A reader of standard output that goes away must not end the run unclean.
  signal(SIGPIPE, SIG_IGN);

  panelsim::Simulator simulator(std::move(scenario), line.options);
  const bool trace = line.trace;
  simulator.SetTrace([trace](const panelsim::TraceEvent &event) { PrintEvent(event, trace); });
  std::string error;
  if (!simulator.Start(&error)) {
    std::fprintf(stderr, "panelsim: %s\n", error.c_str());
    return kExitLineFailure;
  }
  const timespec tick{0, 200'000'000};
  while (!simulator.WaitForEnd(std::chrono::nanoseconds::zero())) {
    siginfo_t info{};
    if (sigtimedwait(&stop_signals, &info, &tick) > 0) break;
  }
  simulator.Stop();
  const panelsim::Stats stats = simulator.GetStats();
  PrintSummary(stats);
  return stats.error.empty() ? kExitOk : kExitLineFailure;
}

int Main(int argc, char **argv) {
  CommandLine line;
  std::string error;
  if (!ParseCommandLine(argc, argv, &line, &error)) {
    std::fprintf(stderr, "panelsim: %s\n", error.c_str());
    return kExitUsage;
  }
  if (line.help) {
    PrintUsage();
    return kExitOk;
  }
  if (line.version) {
    std::printf("panelsim (VUZOV) %s\n", VUZOV_VERSION);
    return kExitOk;
  }
  panelsim::Scenario scenario;
  if (!LoadScenario(line.scenario_path, &scenario)) return kExitUsage;
  if (line.check) {
    const std::size_t events = scenario.events.size();
    std::printf("%s: %zu %s\n", line.scenario_path.empty() ? "(none)" : line.scenario_path.c_str(),
                events, events == 1 ? "event" : "events");
    return kExitOk;
  }
  return RunSimulator(std::move(scenario), line);
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception &failure) {
    std::fprintf(stderr, "panelsim: %s\n", failure.what());
  } catch (...) {
    std::fprintf(stderr, "panelsim: unexpected failure\n");
  }
  return kExitLineFailure;
}
