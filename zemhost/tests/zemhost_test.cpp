// zemhost as a user runs it: the program is started with its flags, against a
// simulated panel on a pty, and its output, exit status and clean shutdown are
// checked from outside.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zemhost_run.h"
#include "line.h"
#include "scenario.h"
#include "simulator.h"

using namespace std::chrono_literals;

namespace {

using namespace zemhost_test;

// The events of a line output that a test follows: zone and element gates
// and the panel's refusal, without their times.
std::vector<std::string> ZoneEvents(const std::string &out) {
  std::vector<std::string> events;
  for (const std::string &line : Lines(out)) {
    const auto space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string rest = line.substr(space + 1);
    if (rest.compare(0, 4, "CP1Z") == 0 || rest.compare(0, 4, "CP2Z") == 0 ||
        rest.find("rejected") != std::string::npos) {
      events.push_back(rest);
    }
  }
  return events;
}

const std::vector<std::string> kQuickEvents = {
    "CP1Z3 = 1",     "CP1Z12 = 1", "CP1Z20 = 1",
    "CP1Z21 = 1",    "CP1Z22 = 1", "CP1Z260E5 = 3",
    "log 0 ZODODA> Command 53 rejected - type 33", "CP1Z5 = 1"};

// A strict reader of one JSON text: true when the whole line is one valid
// object. Its top-level members land in *members, strings unescaped (UTF-8)
// and other values as written.
class JsonReader {
 public:
  explicit JsonReader(const std::string &text) : text_(text) {}

  bool ReadObject(std::map<std::string, std::string> *members) {
    Skip();
    if (!Object(members)) return false;
    Skip();
    return at_ == text_.size();
  }

 private:
  void Skip() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) ++at_;
  }
  bool Eat(char c) {
    Skip();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Object(std::map<std::string, std::string> *members) {
    if (!Eat('{')) return false;
    if (Eat('}')) return true;
    do {
      std::string key;
      std::string value;
      Skip();
      if (!String(&key) || !Eat(':') || !Value(&value)) return false;
      if (members != nullptr) (*members)[key] = value;
    } while (Eat(','));
    return Eat('}');
  }
  bool Array() {
    if (!Eat('[')) return false;
    if (Eat(']')) return true;
    do {
      std::string ignored;
      if (!Value(&ignored)) return false;
    } while (Eat(','));
    return Eat(']');
  }
  bool Value(std::string *out) {
    Skip();
    if (at_ >= text_.size()) return false;
    const std::size_t start = at_;
    const char c = text_[at_];
    bool ok = false;
    if (c == '"') {
      return String(out);
    } else if (c == '{') {
      ok = Object(nullptr);
    } else if (c == '[') {
      ok = Array();
    } else if (text_.compare(at_, 4, "true") == 0 || text_.compare(at_, 4, "null") == 0) {
      at_ += 4;
      ok = true;
    } else if (text_.compare(at_, 5, "false") == 0) {
      at_ += 5;
      ok = true;
    } else {
      ok = Number();
    }
    *out = text_.substr(start, at_ - start);
    return ok;
  }
  bool Number() {
    const std::size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    const std::size_t digits = at_;
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
    if (at_ == digits) return false;
    if (text_[digits] == '0' && at_ - digits > 1) return false;
    if (at_ < text_.size() && text_[at_] == '.') {
      const std::size_t fraction = ++at_;
      while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
      if (at_ == fraction) return false;
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      const std::size_t exponent = at_;
      while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
      if (at_ == exponent) return false;
    }
    return at_ > start;
  }
  bool String(std::string *out) {
    if (at_ >= text_.size() || text_[at_] != '"') return false;
    ++at_;
    out->clear();
    while (at_ < text_.size()) {
      const unsigned char c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;  // control characters must be escaped
      if (c != '\\') {
        *out += static_cast<char>(c);
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char escape = text_[at_++];
      static const std::string simple = "\"\\/bfnrt";
      static const std::string meant = "\"\\/\b\f\n\r\t";
      const auto which = simple.find(escape);
      if (which != std::string::npos) {
        *out += meant[which];
      } else if (escape == 'u' && at_ + 4 <= text_.size()) {
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
          const char h = text_[at_++];
          if (!std::isxdigit(static_cast<unsigned char>(h))) return false;
          code = code * 16 + static_cast<unsigned>(std::stoi(std::string(1, h), nullptr, 16));
        }
        if (code >= 0x80) return false;  // zemhost writes other characters as UTF-8
        *out += static_cast<char>(code);
      } else {
        return false;
      }
    }
    return false;
  }

  const std::string &text_;
  std::size_t at_ = 0;
};

TEST(ZemhostOutput, LinesShowTheBannerAndTheScenarioInOrder) {
  Program run(Fast({"--simulate", kScenarios + "/quick.scn", "--discover", "--polls", "16"}));
  ASSERT_TRUE(run.started());
  EXPECT_EQ(run.Wait(), 0) << run.err();
  // The code page 437 banner arrives as UTF-8 box drawing, the name untouched.
  EXPECT_NE(run.out().find("╔═══"), std::string::npos) << run.out();
  EXPECT_NE(run.out().find("║                   VUZOV - Firepanel FP11x                             ║"),
            std::string::npos);
  EXPECT_NE(run.out().find("driver      \"FIREPANEL FP11x \""), std::string::npos);
  // The header names the module file the system loaded: the one beside zemhost.
  const std::string program = ZEMHOST_PROGRAM;
  const std::string module = program.substr(0, program.rfind('/')) + "/libvuzov.so";
  EXPECT_NE(run.out().find("module      " + module + "\n"), std::string::npos) << run.out();
  EXPECT_EQ(run.out().find('\b'), std::string::npos) << "the banner's backspace reached the output";
  EXPECT_EQ(ZoneEvents(run.out()), kQuickEvents) << run.out();
  // The message type and state gates change as the messages come.
  EXPECT_NE(run.out().find(" CP1MS = 51\n"), std::string::npos);
  EXPECT_NE(run.out().find(" CP1MS = 60\n"), std::string::npos);
  EXPECT_NE(run.out().find("zemhost: 16 exchanges, 0 failed"), std::string::npos) << run.out();
  EXPECT_NE(run.out().find(" instance 1 link up: poll answered\n"), std::string::npos);
  EXPECT_NE(run.out().find("log 32 ZODODA> ShutDown !"), std::string::npos);
  EXPECT_NE(run.out().find("log 0 ZODODA> EndZem() exited, 0"), std::string::npos);
}

TEST(ZemhostOutput, JsonHasOneValidObjectPerEventInOrder) {
  Program run(
      Fast({"--simulate", kScenarios + "/quick.scn", "--discover", "--polls", "16", "--json"}));
  ASSERT_TRUE(run.started());
  ASSERT_EQ(run.Wait(), 0) << run.err();
  std::vector<std::string> events;
  int exchanges = 0;
  bool saw_driver = false;
  bool saw_end = false;
  for (const std::string &line : Lines(run.out())) {
    std::map<std::string, std::string> members;
    ASSERT_TRUE(JsonReader(line).ReadObject(&members)) << "not one JSON object: " << line;
    const std::string &event = members["event"];
    if (event == "driver") {
      saw_driver = true;
      EXPECT_EQ(members["name"], "FIREPANEL FP11x ");
      EXPECT_EQ(members["banner"].substr(0, 2), "\b\n");  // escaped, and read back whole
      EXPECT_NE(members["banner"].find("╚═"), std::string::npos);
      EXPECT_EQ(members["state_size"], "552");
    } else if (event == "gate" && members["name"].compare(0, 3, "CP1") == 0 &&
               members["name"][3] == 'Z') {
      events.push_back(members["name"] + " = " + members["value"]);
      // What set it: the type and state gates of the same poll.
      const std::string &name = members["name"];
      const char *type = name.find('E') != std::string::npos ? "0" : name == "CP1Z5" ? "=" : "3";
      EXPECT_EQ(members["message_type"], type) << line;
      EXPECT_EQ(members["meaning"], "unmapped") << line;
    } else if (event == "log" && members["text"].find("rejected") != std::string::npos) {
      events.push_back("log " + members["level"] + " " + members["text"]);
    } else if (event == "exchange") {
      ++exchanges;
      EXPECT_EQ(members["result"], "0") << line;
      EXPECT_EQ(members["point"], "CP1Z1");
    } else if (event == "end") {
      saw_end = true;
      EXPECT_EQ(members["exchanges"], "16");
    }
  }
  EXPECT_TRUE(saw_driver);
  EXPECT_TRUE(saw_end);
  EXPECT_EQ(exchanges, 16);
  EXPECT_EQ(events, kQuickEvents);
}

// A reader that stops reading (a paused pager) holds up the output alone: the
// polls go on at their pace, and every line arrives once it reads again.
TEST(ZemhostOutput, AReaderThatStopsReadingHoldsUpNoPoll) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  panelsim::UniqueFd reader(ends[0]);
  panelsim::UniqueFd writer(ends[1]);
  // The smallest pipe there is: the trace fills it within the first polls.
  ASSERT_GE(fcntl(writer.get(), F_SETPIPE_SZ, 4096), 0);
  Program run(Fast({"--simulate", kScenarios + "/quick.scn", "--json", "--trace", "--polls", "200"}),
              writer.get());
  ASSERT_TRUE(run.started());
  writer.reset();
  std::this_thread::sleep_for(4s);
  std::string out;
  char buffer[4096];
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  for (ssize_t got = 1; got > 0 && std::chrono::steady_clock::now() < deadline;) {
    pollfd readable{reader.get(), POLLIN, 0};
    if (poll(&readable, 1, 1000) <= 0) continue;
    got = read(reader.get(), buffer, sizeof buffer);
    if (got > 0) out.append(buffer, static_cast<std::size_t>(got));
  }
  ASSERT_EQ(run.Wait(), 0) << run.err();
  std::vector<double> polled_at;
  for (const std::string &line : Lines(out)) {
    std::map<std::string, std::string> members;
    ASSERT_TRUE(JsonReader(line).ReadObject(&members)) << line;
    if (members["event"] == "exchange") polled_at.push_back(std::stod(members["t"]));
  }
  ASSERT_EQ(polled_at.size(), 200u);
  double longest_pause = 0;
  for (std::size_t i = 1; i < polled_at.size(); ++i) {
    longest_pause = std::max(longest_pause, polled_at[i] - polled_at[i - 1]);
  }
  // Polls come every 20 ms; the reader stopped for 4 s.
  EXPECT_LT(longest_pause, 2.0) << "a poll waited for the reader";
  EXPECT_EQ(out.find("were dropped"), std::string::npos);
}

TEST(ZemhostOutput, TraceShowsEveryFrameBothWays) {
  Program run(Fast({"--simulate", kScenarios + "/quick.scn", "--polls", "4", "--trace"}));
  ASSERT_TRUE(run.started());
  ASSERT_EQ(run.Wait(), 0) << run.err();
  const std::string &out = run.out();
  EXPECT_NE(out.find(" trace 1 [05]\n"), std::string::npos) << out;  // the poll
  EXPECT_NE(out.find(" trace 1 <04>\n"), std::string::npos);         // nothing to report
  EXPECT_NE(out.find(" trace 1 <02 01 0C 33 01 00 03 00 00"), std::string::npos);  // zone 3
  EXPECT_NE(out.find(" trace 1 [06]\n"), std::string::npos);  // the driver's ACK
  // The driver's ACK follows the framed reply it acknowledges.
  const auto frame = out.find("<02 01 0C 33");
  ASSERT_NE(frame, std::string::npos);
  EXPECT_NE(out.find("[06]", frame), std::string::npos);
}

TEST(ZemhostOutput, TraceRelaysARealPortThroughAPty) {
  // The "device" is a panel on a pty that zemhost opens as a serial port.
  panelsim::Scenario scenario;
  std::vector<std::string> errors;
  std::ifstream file(kScenarios + "/quick.scn");
  ASSERT_TRUE(panelsim::ParseScenario(file, &scenario, &errors));
  panelsim::Simulator panel(scenario, panelsim::Options{});
  std::string error;
  ASSERT_TRUE(panel.Start(&error)) << error;
  const std::string device = panel.SlavePath();
  Program run(Fast({"--port", device.substr(5), "--trace", "--discover", "--polls", "6"}));
  ASSERT_TRUE(run.started());
  ASSERT_EQ(run.Wait(), 0) << run.err() << run.out();
  const std::string &out = run.out();
  EXPECT_NE(out.find("(relayed through pts/"), std::string::npos) << out;
  EXPECT_NE(out.find(" trace 1 [05]\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" trace 1 <04>\n"), std::string::npos);
  EXPECT_NE(out.find(" trace 1 <02 01 0C 33 01 00 03 00"), std::string::npos);
  EXPECT_NE(out.find(" CP1Z3 = 1\n"), std::string::npos);
  // Every byte the trace shows the driver sending reached the panel, and
  // nothing else did. A busy machine may make the driver poll again after a
  // late answer, so the count of polls is the trace's, not a fixed one.
  std::size_t enqs = 0;
  std::size_t acks = 0;
  for (const std::string &line : Lines(out)) {
    const auto frame = line.find(" trace 1 [");
    if (frame == std::string::npos) continue;
    std::istringstream hex(line.substr(frame + 10));
    unsigned byte = 0;
    while (hex >> std::hex >> byte) {
      enqs += byte == panelsim::kEnq ? 1 : 0;
      acks += byte == panelsim::kAck ? 1 : 0;
    }
  }
  EXPECT_GE(enqs, 6u);
  EXPECT_GE(acks, 2u);
  // The panel reads what the relay wrote in its own time: wait for it.
  const auto seen_all = [&](const panelsim::Stats &stats) {
    return stats.polls + stats.polls_merged >= enqs && stats.acks >= acks;
  };
  EXPECT_TRUE(panel.WaitUntil(seen_all, 10s));
  const panelsim::Stats stats = panel.GetStats();
  EXPECT_EQ(stats.polls + stats.polls_merged, enqs);
  EXPECT_EQ(stats.acks, acks);
  EXPECT_EQ(stats.unexpected_bytes, 0u);
}

TEST(ZemhostRun, SeveralInstancesFromAConfigFile) {
  const std::string config = WriteFile("two.conf",
                                       "# two panels, each on its own line\n"
                                       "interval = 20ms\n"
                                       "polls = 16\n"
                                       "discover = yes\n"
                                       "[instance]\n"
                                       "simulate = " + kScenarios + "/quick.scn\n"
                                       "timeout = 5\n"
                                       "point = CP1Z1\n"
                                       "[instance]\n"
                                       "simulate = " + kScenarios + "/quick.scn\n"
                                       "timeout = 5\n"
                                       "point = CP2Z1   # panel 2 names its gates CP2...\n"
                                       "dtr = on\n");
  Program run({"--config", config, "--selfcheck"});
  ASSERT_TRUE(run.started());
  ASSERT_EQ(run.Wait(), 0) << run.err();
  const std::string &out = run.out();
  EXPECT_NE(out.find("instance 2  pts/"), std::string::npos) << out;
  EXPECT_NE(out.find("flags 0x0001"), std::string::npos);
  EXPECT_NE(out.find(" CP1Z22 = 1\n"), std::string::npos);
  EXPECT_NE(out.find(" CP2Z22 = 1\n"), std::string::npos);
  EXPECT_NE(out.find(" CP2Z260E5 = 3\n"), std::string::npos);
  // Each instance has its own host message client and waiting thread.
  std::size_t shutdowns = 0;
  for (auto at = out.find("ShutDown !"); at != std::string::npos; at = out.find("ShutDown !", at + 1)) {
    ++shutdowns;
  }
  EXPECT_EQ(shutdowns, 2u);
  EXPECT_NE(out.find("zemhost: 32 exchanges, 0 failed"), std::string::npos);
  unlink(config.c_str());
}

// What each instance's JSON says of its link: "link up: poll answered" and
// "exchange 0", in order, with their times.
struct LinkStep {
  std::string what;
  double t = 0;
};

std::map<std::string, std::vector<LinkStep>> LinkSteps(const std::string &json_out) {
  std::map<std::string, std::vector<LinkStep>> steps;
  for (const std::string &line : Lines(json_out)) {
    std::map<std::string, std::string> members;
    if (!JsonReader(line).ReadObject(&members)) continue;
    if (members["event"] == "link") {
      steps[members["instance"]].push_back(
          {"link " + members["state"] + ": " + members["why"], std::stod(members["t"])});
    } else if (members["event"] == "exchange") {
      steps[members["instance"]].push_back(
          {"exchange " + members["result"], std::stod(members["t"])});
    }
  }
  return steps;
}

// The panel's link as every output states it. Instance 1's panel stops
// answering while a poll waits out three long read timeouts: the link goes
// down by the clock, before that poll returns, and up with the next answer.
// Instance 2's panel is gone (its line hung up): down after its own count of
// failed exchanges, which wins over the run's, and down it stays.
TEST(ZemhostLink, GoesDownByCountOrSilenceAndUpWithTheNextAnswer) {
  const std::string hung = WriteFile("hung.scn", "clock first-poll\nat poll 3 silent 3\n");
  const std::string gone = WriteFile("gone.scn", "clock first-poll\nat poll 3 hangup\n");
  const std::string config = WriteFile("link.conf",
                                       "interval = 100ms\n"
                                       "for = 6s\n"
                                       "link-silence = 2s\n"
                                       "link-failures = 4\n"
                                       "[instance]\n"
                                       "simulate = " + hung + "\n"
                                       "timeout = 150\n"
                                       "[instance]\n"
                                       "simulate = " + gone + "\n"
                                       "timeout = 50\n"
                                       "link-failures = 2\n");
  Program run({"--config", config, "--json"});
  ASSERT_TRUE(run.started());
  ASSERT_EQ(run.Wait(), 0) << run.err();
  auto steps = LinkSteps(run.out());

  // Instance 1: answered twice; the third poll hangs 4.5 s.
  const std::vector<LinkStep> &hung_steps = steps["1"];
  std::vector<std::string> order;
  for (const LinkStep &step : hung_steps) {
    if (order.empty() || order.back() != step.what) order.push_back(step.what);
  }
  const std::vector<std::string> expected = {
      "exchange 0", "link up: poll answered", "exchange 0", "link down: no answered poll for 2s",
      "exchange 2", "exchange 0", "link up: poll answered", "exchange 0"};
  ASSERT_EQ(order, expected) << run.out();
  const auto at = [&](const std::string &what, int nth = 0) {
    for (const LinkStep &step : hung_steps) {
      if (step.what == what && nth-- == 0) return step.t;
    }
    return -1.0;
  };
  EXPECT_GE(at("link down: no answered poll for 2s") - at("exchange 0", 1), 2.0);
  EXPECT_LT(at("link down: no answered poll for 2s"), at("exchange 2"))
      << "the silence rule waited for the hung poll to return";

  // Instance 2: after the hang-up every exchange fails, at once.
  const std::vector<LinkStep> &gone_steps = steps["2"];
  std::vector<std::string> links;
  std::size_t down_at = 0;
  for (std::size_t i = 0; i < gone_steps.size(); ++i) {
    if (gone_steps[i].what.rfind("link ", 0) != 0) continue;
    links.push_back(gone_steps[i].what);
    down_at = i;
  }
  EXPECT_EQ(links, (std::vector<std::string>{"link up: poll answered",
                                             "link down: 2 failed exchanges in a row"}))
      << run.out();
  ASSERT_GE(down_at, 3u);
  EXPECT_NE(gone_steps[down_at - 1].what, "exchange 0");
  EXPECT_NE(gone_steps[down_at - 2].what, "exchange 0");
  EXPECT_EQ(gone_steps[down_at - 3].what.rfind("exchange 0", 0) == 0 ||
                gone_steps[down_at - 3].what.rfind("link up", 0) == 0,
            true)
      << "down after exactly two failed exchanges";
  for (const std::string &file : {hung, gone, config}) unlink(file.c_str());
}

// A simulated panel that hangs up is gone as a device that went away is: the
// driver's reopen of its name must fail, not open the next pty someone on this
// machine makes, whose panel would answer for it. The test makes ptys after
// the hangup, as another program would, and none of them may hear a poll.
TEST(ZemhostLink, AGonePanelsLineIsNeverReopenedAsAStrangersPty) {
  const std::string gone = WriteFile("gone_reopen.scn", "clock first-poll\nat poll 3 hangup\n");
  Program run({"--simulate", gone, "--lines", "--interval", "20ms", "--timeout", "5",
               "--reopen-after", "1", "--for", "4s"});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.WaitForOutput("link down", 10s)) << run.out() << run.err();
  // What the kernel hands out next: the lowest free pty number, which the
  // panel's would be if its line had been given back.
  std::vector<panelsim::UniqueFd> strangers;
  for (int i = 0; i < 4; ++i) {
    panelsim::UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(master) << std::strerror(errno);
    ASSERT_EQ(grantpt(master.get()), 0);
    ASSERT_EQ(unlockpt(master.get()), 0);
    strangers.push_back(std::move(master));
  }
  // The run polls every 20 ms and reopens after each failed poll.
  std::string heard;
  const auto until = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < until) {
    for (const panelsim::UniqueFd &master : strangers) {
      char bytes[64];
      const ssize_t got = read(master.get(), bytes, sizeof bytes);
      if (got > 0) heard.append(bytes, static_cast<std::size_t>(got));
    }
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(heard, "") << "another program's pty heard the driver\n" << run.out();
  EXPECT_EQ(run.Wait(), 0) << run.err();
  EXPECT_EQ(run.out().find("link up: poll answered", run.out().find("link down")), std::string::npos)
      << "a gone panel answered again\n" << run.out();
  unlink(gone.c_str());
}

TEST(ZemhostCommands, SendReportsTheAcknowledgement) {
  Program acked({"--simulate", kScenarios + "/quick.scn", "--send", "CP1S!", "--timeout", "5"});
  ASSERT_TRUE(acked.started());
  EXPECT_EQ(acked.Wait(), 0) << acked.err();
  EXPECT_NE(acked.out().find(" instance 1 command CP1S! acknowledged\n"), std::string::npos)
      << acked.out();
  // A send-only run polls nothing.
  EXPECT_NE(acked.out().find("zemhost: 1 exchange, 0 failed; 1 command, 1 acknowledged"),
            std::string::npos);

  Program refused({"--simulate", kScenarios + "/nak.scn", "--send", "CP1R!", "--timeout", "5"});
  ASSERT_TRUE(refused.started());
  EXPECT_EQ(refused.Wait(), 1);
  EXPECT_NE(refused.out().find(" instance 1 command CP1R! not acknowledged\n"), std::string::npos)
      << refused.out();

  Program json(Fast({"--simulate", kScenarios + "/quick.scn", "--json", "--polls", "3", "--send",
                     "CP1A!"}));
  ASSERT_TRUE(json.started());
  EXPECT_EQ(json.Wait(), 0) << json.err();
  EXPECT_NE(json.out().find("\"event\":\"command\""), std::string::npos) << json.out();
  EXPECT_NE(json.out().find("\"point\":\"CP1A!\",\"result\":0,\"acknowledged\":true}"),
            std::string::npos)
      << json.out();
}

struct BadInput {
  std::vector<std::string> arguments;
  int status;
  std::string message;  // on standard error
  std::string driver_line = std::string();  // the driver's own word, on standard output
};

TEST(ZemhostErrors, EachBadInputExitsNonZeroWithItsMessage) {
  const std::string bad_config = WriteFile("bad.conf",
                                           "interval = 20ms\n"
                                           "[instance]\n"
                                           "colour = red\n");
  const std::string misplaced = WriteFile("misplaced.conf", "port = ttyS0\n[instance]\nport = ttyS0\n");
  const std::string bad_parity = WriteFile("parity.conf", "[instance]\nport = ttyS0\nparity = maybe\n");
  const std::string bad_meaning =
      WriteFile("meaning.conf", "[message-types]\n= = report\n7 = smoke\n[instance]\nport = ttyS0\n");
  const std::string late_key =
      WriteFile("late.conf", "[instance]\nport = ttyS0\n[message-types]\n3/1 = alarm\ntimeout = 5\n");
  const std::vector<BadInput> cases = {
      {{"--bogus", "1"}, 2, "zemhost: unknown option --bogus"},
      {{"stray"}, 2, "unexpected argument 'stray'"},
      {{"--baud", "fast"}, 2, "--baud: baud is a rate from 1 to 65535"},
      {{"--for"}, 2, "--for needs a value"},
      {{"--interval", "soon"}, 2, "interval is a duration"},
      {{"--link-failures", "0"}, 2, "link-failures is a count of failed exchanges in a row"},
      {{"--link-silence", "150ms"}, 2,
       "link-silence 150ms is not longer than the interval between polls (200ms)"},
      // Of two problems, the first on the command line is the one reported.
      {{"--baud", "fast", "--bogus", "1"}, 2, "--baud: baud is a rate"},
      {{"--bogus", "1", "--baud", "fast"}, 2, "unknown option --bogus"},
      {{"--discover", "yes"}, 2, "unexpected argument 'yes'"},  // a switch takes no value
      {{"--json=1"}, 2, "unknown option --json=1"},
      {{"--config", bad_config}, 2, bad_config + ":3: unknown key 'colour'"},
      {{"--config", misplaced}, 2, misplaced + ":1: 'port' belongs in an [instance] section"},
      {{"--config", bad_parity}, 2, bad_parity + ":3: parity is none, odd, even, mark or space"},
      {{"--config", bad_meaning}, 2,
       bad_meaning + ":3: 'smoke' is not a meaning: alarm, fault, report or other"},
      {{"--config", late_key}, 2, late_key + ":5: 'timeout' is not a message type"},
      {{"--reset-message", "3/on"}, 2, "reset-message is TYPE[/STATE]: '3/on': the state after /"},
      {{"--config", "/nonexistent/zemhost.conf"}, 2, "cannot read config file /nonexistent/zemhost.conf"},
      {{"--port", "ttyS0", "--simulate", "demo"}, 2, "a port or a simulated panel, not both"},
      {{"--port", "ttyUSB0123456"}, 2, "longer than 11 characters"},
      // A rate no line here can be set to is refused, never replaced.
      {{"--port", "ttyS0", "--baud", "12345"}, 2,
       "zemhost: instance 1 (flags): a serial line cannot run at 12345 baud (it takes 50, "},
      {{"--send", "CP1Z1"}, 2, "'CP1Z1' is not a panel command"},
      {{"--simulate", kScenarios + "/bad.scn"}, 2, kScenarios + "/bad.scn:2:"},
      {{"--gates", "/nonexistent/gates.txt"}, 2, "cannot read the gate list /nonexistent/gates.txt"},
      {{"--point", "CP9Z1"}, 2, "the driver rejects the point address 'CP9Z1'",
       "log 0 ZODODA> Parse() Illegal character 2 in 'CP9Z1'"},
      {{"--send", "cp1S!"}, 2, "the driver rejects the point address 'cp1S!'",
       "log 0 ZODODA> Parse() Illegal character 0 in 'cp1S!'"},  // upper case only
      {{"--module", "/nonexistent/libvuzov.so"}, 3, "cannot load the driver module /nonexistent/libvuzov.so"},
      // A bare name is the file in the working directory, never a copy found
      // on a search path (the tests run where no module lies).
      {{"--module", "libvuzov.so"}, 3, "cannot load the driver module ./libvuzov.so"},
      {{"--port", "ttyZEM404"}, 4, "the port ttyZEM404 did not open",
       "log 0 ZODODA> ColdStart() unable to open ttyZEM404(tmout 10} port"},
  };
  for (const BadInput &input : cases) {
    std::string shown;
    for (const std::string &argument : input.arguments) shown += argument + " ";
    SCOPED_TRACE(shown);
    Program run(input.arguments);
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.Wait(), input.status) << run.err() << run.out();
    EXPECT_NE(run.err().find(input.message), std::string::npos) << run.err();
    if (!input.driver_line.empty()) {
      EXPECT_NE(run.out().find(input.driver_line), std::string::npos) << run.out();
    }
  }
  unlink(bad_config.c_str());
  unlink(misplaced.c_str());
  unlink(bad_parity.c_str());
  unlink(bad_meaning.c_str());
  unlink(late_key.c_str());
}

// Stop signals (Ctrl-C, SIGTERM, a hang-up) in the middle of polling, each
// delivered twice at once as `timeout` and a closing terminal deliver theirs:
// one stop, and the run ends by its own shutdown, exit 0, with nothing left
// behind (zemhost counts its own descriptors and threads before it exits, and
// the process is gone afterwards). Then `timeout` itself stops a run with a
// hang-up, which it sends to zemhost and again to its process group.
TEST(ZemhostShutdown, StopSignalMidPollLeavesNothingBehind) {
  // zemhost rightly keeps running through a hang-up it was started to ignore
  // (nohup), so this test's own disposition must not reach it.
  struct sigaction hangup {};
  sigaction(SIGHUP, nullptr, &hangup);
  const bool hangup_ignored = hangup.sa_handler == SIG_IGN;
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(number));
    if (hangup_ignored) signal(SIGHUP, SIG_DFL);
    Program run(Fast({"--simulate", kScenarios + "/quick.scn", "--discover", "--selfcheck"}));
    if (hangup_ignored) signal(SIGHUP, SIG_IGN);
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.WaitForOutput(" CP1Z12 = 1\n", 10s)) << run.out() << run.err();
    const pid_t pid = run.pid();
    run.Signal(number);
    run.Signal(number);
    ASSERT_EQ(run.Wait(10s), 0) << run.err() << run.out();
    EXPECT_NE(run.err().find("selfcheck: no descriptor or thread left behind"), std::string::npos)
        << run.err();
    const std::string &out = run.out();
    const auto stop = out.find("zemhost: stop requested");
    ASSERT_NE(stop, std::string::npos) << out;
    // The order of a host's shutdown: the waiting thread ends, then the ports
    // close and the driver ends.
    const auto shutdown = out.find("ZODODA> ShutDown !", stop);
    const auto end = out.find("ZODODA> EndZem() exited, 0", stop);
    EXPECT_NE(shutdown, std::string::npos);
    EXPECT_NE(end, std::string::npos);
    EXPECT_LT(shutdown, end);
    EXPECT_NE(kill(pid, 0), 0) << "the process is still there";
  }
  signal(SIGHUP, SIG_DFL);
  Launch under_timeout;
  under_timeout.wrapper = {"/usr/bin/timeout", "--preserve-status", "--signal=HUP", "2"};
  Program timed(Fast({"--simulate", kScenarios + "/quick.scn", "--selfcheck", "--lines"}),
                under_timeout);
  if (hangup_ignored) signal(SIGHUP, SIG_IGN);
  ASSERT_TRUE(timed.started());
  EXPECT_EQ(timed.Wait(20s), 0) << timed.err() << timed.out();
  EXPECT_EQ(timed.err().find("stopped at once"), std::string::npos) << timed.err();
  EXPECT_NE(timed.err().find("selfcheck: no descriptor or thread left behind"), std::string::npos)
      << timed.err();
  EXPECT_NE(timed.out().find("ZODODA> EndZem() exited, 0"), std::string::npos) << timed.out();
}

// The live screen on a terminal: a key sends a command, q ends the run, and
// the terminal gets its cursor back.
TEST(ZemhostScreen, KeysSendCommandsAndQuit) {
  Program run(Fast({"--simulate", kScenarios + "/quick.scn", "--discover"}), /*on_terminal=*/true);
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.WaitForOutput("CP1Z3", 10s)) << run.out() << run.err();
  EXPECT_NE(run.out().find("\x1b[H"), std::string::npos);
  EXPECT_NE(run.out().find("exchanges"), std::string::npos);
  EXPECT_TRUE(run.WaitForOutput("#1 link up since ", 10s)) << run.out();
  run.Type("s");
  EXPECT_TRUE(run.WaitForOutput("command CP1S! acknowledged", 10s)) << run.out();
  run.Type("q");
  EXPECT_EQ(run.Wait(10s), 0) << run.err();
  EXPECT_NE(run.out().find("\x1b[?25h"), std::string::npos) << "the cursor stays hidden";
  EXPECT_NE(run.out().find("zemhost: "), std::string::npos);
}

}  // namespace
