// zemhost as a Modbus TCP server, as a BMS integrator meets it: zemhost runs
// as a user runs it against a simulated panel (or panelsim on a pty), the
// server listens on a loopback port of the system's choosing, and the clients
// are Debian's own: mbpoll and pymodbus (modbus_client.py), beside a libmodbus
// client and raw sockets for what no well-behaved client sends.
#include <gtest/gtest.h>
#include <modbus.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exit_status.h"
#include "line.h"
#include "zemhost_run.h"

namespace {

using namespace zemhost_test;
using Clock = std::chrono::steady_clock;

std::string ReadText(const std::string &path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

int Count(const std::string &text, const std::string &part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Short read timeouts and poll intervals, unless a config file sets them.
std::vector<std::string> Quick(std::vector<std::string> arguments) {
  if (std::find(arguments.begin(), arguments.end(), "--config") != arguments.end()) return arguments;
  return Fast(std::move(arguments));
}

// zemhost with its standard output in a file, so nothing it prints waits for
// the test to read it.
class Zemhost {
 public:
  Zemhost(const std::string &name, std::vector<std::string> arguments)
      : path_(WriteFile(name + ".out", "")),
        file_(open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC)),
        program_(Quick(std::move(arguments)), file_.get()) {}

  bool started() const { return program_.started(); }
  std::string Out() const { return ReadText(path_); }
  const std::string &Err() const { return program_.err(); }
  pid_t Pid() const { return program_.pid(); }

  bool WaitFor(const std::string &text, std::chrono::milliseconds timeout = 20s) const {
    const auto deadline = Clock::now() + timeout;
    while (Out().find(text) == std::string::npos) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  // The port the server says it serves on; 0 when the run ends or the
  // deadline passes without its saying so.
  int Port() const {
    const std::regex serving("serving Modbus TCP on (127\\.0\\.0\\.1)?:([0-9]+)");
    const auto deadline = Clock::now() + 20s;
    for (;;) {
      const std::string out = Out();
      std::smatch match;
      if (std::regex_search(out, match, serving)) return std::stoi(match[2]);
      if (out.find(" exchanges, ") != std::string::npos || Clock::now() >= deadline) return 0;
      std::this_thread::sleep_for(20ms);
    }
  }

  // Why a run went wrong: it is stopped, and what it said on both outputs.
  std::string Said() {
    const int status = Stop();
    return "exit " + std::to_string(status) + "\n" + Out() + "\nstandard error:\n" + Err();
  }

  int Stop() {
    program_.Signal(SIGTERM);
    return program_.Wait(30s);
  }
  int Wait() { return program_.Wait(30s); }

 private:
  std::string path_;
  panelsim::UniqueFd file_;
  Program program_;
};

// A tool run to its end: its exit status and what it printed (both streams).
struct ToolRun {
  int status = -1;
  std::string text;
};

ToolRun RunTool(const std::vector<std::string> &argv) {
  const std::string path = WriteFile("tool.out", "");
  const panelsim::UniqueFd out(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  vuzov_test::ChildProcess tool(argv, vuzov_test::ChildStreams{-1, out.get(), out.get()});
  int status = 0;
  ToolRun run;
  if (tool.Wait(60s, &status) && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  run.text = ReadText(path);
  return run;
}

// pymodbus: one line an answer ("ok 1 5 0", "exception 01").
std::vector<std::string> Pymodbus(int port, const std::vector<std::string> &requests) {
  std::vector<std::string> argv = {"/usr/bin/python3", MODBUS_CLIENT_SCRIPT, std::to_string(port)};
  argv.insert(argv.end(), requests.begin(), requests.end());
  const ToolRun run = RunTool(argv);
  EXPECT_EQ(run.status, 0) << run.text;
  return Lines(run.text);
}

// mbpoll once, with protocol addresses (-0): its values by address. A value
// to write goes after the host, as mbpoll takes it.
std::map<int, long> Mbpoll(int port, const std::vector<std::string> &arguments, ToolRun *run,
                           const std::string &write = std::string()) {
  std::vector<std::string> argv = {MBPOLL_PROGRAM, "-m", "tcp", "-p", std::to_string(port), "-0", "-1",
                                   "-o", "5"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  argv.push_back("127.0.0.1");
  if (!write.empty()) argv.push_back(write);
  *run = RunTool(argv);
  std::map<int, long> values;
  const std::regex value_line(R"(^\[(\d+)\]:\s+(-?(0x)?[0-9A-Fa-f]+))");
  for (const std::string &line : Lines(run->text)) {
    std::smatch match;
    if (std::regex_search(line, match, value_line)) {
      values[std::stoi(match[1])] = std::stol(match[2], nullptr, 0);
    }
  }
  return values;
}

// A libmodbus client on one connection.
class Client {
 public:
  explicit Client(int port) : context_(modbus_new_tcp("127.0.0.1", port)) {
    modbus_set_response_timeout(context_, 5, 0);
    connected_ = modbus_connect(context_) == 0;
  }
  ~Client() {
    modbus_close(context_);
    modbus_free(context_);
  }
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  bool connected() const { return connected_; }
  // Empty when the read failed.
  std::vector<std::uint16_t> Inputs(int first, int count) {
    std::vector<std::uint16_t> values(static_cast<std::size_t>(count));
    if (modbus_read_input_registers(context_, first, count, values.data()) != count) return {};
    return values;
  }

 private:
  modbus_t *context_;
  bool connected_ = false;
};

// Reads until `done` holds for the registers read; false when the deadline passes first.
bool WaitForRegisters(Client &client, int first, int count,
                      const std::function<bool(const std::vector<std::uint16_t> &)> &done,
                      std::chrono::milliseconds timeout = 20s) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    const std::vector<std::uint16_t> values = client.Inputs(first, count);
    if (!values.empty() && done(values)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

panelsim::UniqueFd Connect(int port, bool blocking = true) {
  panelsim::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const int rc = connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address);
  if (rc != 0 && !(errno == EINPROGRESS && !blocking)) fd.reset();
  return fd;
}

void Send(const panelsim::UniqueFd &fd, const std::vector<std::uint8_t> &bytes) {
  ASSERT_EQ(send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

// What the server sends before the deadline; `closed` when it closed the connection.
std::vector<std::uint8_t> Receive(const panelsim::UniqueFd &fd, std::size_t want,
                                  std::chrono::milliseconds timeout, bool *closed) {
  std::vector<std::uint8_t> got;
  *closed = false;
  const auto deadline = Clock::now() + timeout;
  while (got.size() < want) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd entry{fd.get(), POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    std::uint8_t buffer[512];
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n <= 0) {
      *closed = true;
      break;
    }
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

// A read of input registers as a client puts it on the wire.
std::vector<std::uint8_t> ReadInputsRequest(std::uint16_t transaction, std::uint8_t unit,
                                            std::uint16_t first, std::uint16_t count) {
  return {static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction), 0, 0,
          0, 6, unit, 0x04, static_cast<std::uint8_t>(first >> 8), static_cast<std::uint8_t>(first),
          static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)};
}

// ---- Reading a panel -------------------------------------------------------

// Alarms, a fault, a report, a range, an element and a zone beyond the map,
// read as bits, zone words and the panel block by mbpoll and pymodbus; the
// unit ids; a write refused without --modbus-commands, with nothing sent.
TEST(ModbusServer, IndependentClientsReadWhatThePanelReported) {
  const std::string scenario = WriteFile("reading.scn",
                                         "clock first-poll\n"
                                         "at poll 2 zone-alarm 3\n"
                                         "at poll 4 alarm-range 20 22\n"
                                         "at poll 6 zone-fault 7\n"
                                         "at poll 8 zone-alarm 2000\n"
                                         "at poll 10 zone-report 5\n"
                                         "at poll 12 element-state 260 5 3\n");
  Zemhost zemhost("reading", {"--simulate", scenario, "--lines", "--modbus", "127.0.0.1:0",
                              "--modbus-zones", "300", "--selfcheck"});
  ASSERT_TRUE(zemhost.started());
  const int port = zemhost.Port();
  ASSERT_NE(port, 0) << zemhost.Said();
  ASSERT_TRUE(zemhost.WaitFor("CP1Z260E5 = 3")) << zemhost.Out();

  ToolRun run;
  const auto bits = Mbpoll(port, {"-a", "1", "-t", "1", "-r", "0", "-c", "25"}, &run);
  ASSERT_EQ(bits.size(), 25u) << run.text;
  for (int zone = 0; zone < 25; ++zone) {
    const bool set = zone == 3 || zone == 5 || zone == 7 || (zone >= 20 && zone <= 22);
    EXPECT_EQ(bits.at(zone), set ? 1 : 0) << "zone " << zone;
  }
  // Zone words: the value, which message type set it, never reported.
  const auto words = Mbpoll(port, {"-a", "255", "-t", "3:hex", "-r", "1003", "-c", "5"}, &run);
  ASSERT_EQ(words.size(), 5u) << run.text;
  EXPECT_EQ(words.at(1003), 0x3801) << "set by type '3'";
  EXPECT_EQ(words.at(1004), 0x0200) << "not reported since the start";
  EXPECT_EQ(words.at(1005), 0xD801) << "set by type '='";
  EXPECT_EQ(words.at(1007), 0x7801) << "set by type '7', a fault";
  const auto exchanges = Mbpoll(port, {"-a", "1", "-t", "3:int", "-B", "-r", "2"}, &run);
  ASSERT_EQ(exchanges.size(), 1u) << run.text;
  EXPECT_GE(exchanges.at(2), 12) << "a 32-bit count, high word first";

  const std::vector<std::string> answers = Pymodbus(
      port, {"inputs:1:0:22", "inputs:255:0:1", "inputs:2:0:1", "bits:1:301:1", "inputs:1:1301:1",
             "holding:1:0:4", "write:1:0:2", "writes:1:0:3"});
  ASSERT_EQ(answers.size(), 8u);
  std::istringstream block(answers[0]);
  std::string ok;
  std::vector<long> panel;
  block >> ok;
  for (long value = 0; block >> value;) panel.push_back(value);
  ASSERT_EQ(ok, "ok") << answers[0];
  ASSERT_EQ(panel.size(), 22u);
  EXPECT_EQ(panel[0], 1) << "map version";
  EXPECT_EQ(panel[1] & 0x7, 0x5) << "link up, gateway running";
  EXPECT_EQ(panel[1] & 0x8, 0) << "commands refused";
  EXPECT_LT(panel[6], 65535) << "seconds since an answer";
  EXPECT_EQ(panel[7], 0x30) << "the last message was type '0'";
  EXPECT_EQ(panel[8], 3);
  EXPECT_EQ(panel[9], 6) << "zones in alarm";
  EXPECT_GE((panel[10] << 16) | panel[11], 1) << "zone 2000 counted";
  EXPECT_EQ(panel[12], 300);
  EXPECT_EQ(panel[13], 1000);
  EXPECT_EQ(panel[14], 1) << "panel";
  EXPECT_GE((panel[15] << 16) | panel[16], 8) << "zone and element reports";
  EXPECT_EQ(panel[17], 2) << "the last report is an element's";
  EXPECT_EQ(panel[18], 0x30);
  EXPECT_EQ(panel[19], 260);
  EXPECT_EQ(panel[20], 5);
  EXPECT_EQ(panel[21], 3);
  EXPECT_EQ(answers[1], "ok 1") << "unit 255 is the one instance";
  EXPECT_EQ(answers[2], "exception 0b") << "no instance 2";
  EXPECT_EQ(answers[3], "exception 02") << "zone 301 is beyond the map";
  EXPECT_EQ(answers[4], "exception 02");
  for (int i : {5, 6, 7}) EXPECT_EQ(answers[i], "exception 01") << "without --modbus-commands";
  Mbpoll(port, {"-a", "1", "-t", "4", "-r", "0"}, &run, "2");
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.text.find("Illegal function"), std::string::npos) << run.text;
  // The exchanges go on: a heartbeat.
  Client client(port);
  EXPECT_TRUE(WaitForRegisters(client, 2, 2, [&](const std::vector<std::uint16_t> &count) {
    return ((long{count[0]} << 16) | count[1]) > exchanges.at(2);
  }));

  // Unit 0 is a broadcast: no answer, so the next answer is the next request's.
  const panelsim::UniqueFd raw = Connect(port);
  ASSERT_TRUE(raw);
  Send(raw, ReadInputsRequest(7, 0, 0, 1));
  Send(raw, ReadInputsRequest(8, 1, 0, 1));
  bool closed = false;
  const auto reply = Receive(raw, 11, 10s, &closed);
  ASSERT_EQ(reply.size(), 11u);
  EXPECT_EQ(reply[1], 8) << "answered the broadcast";

  EXPECT_EQ(zemhost.Stop(), 0) << zemhost.Err();
  const std::string out = zemhost.Out();
  EXPECT_EQ(Count(out, "instance 1 command "), 0) << "a refused write reached the panel\n" << out;
  EXPECT_EQ(Count(out, "gate CP1Z2000 is outside the Modbus map (zones 1 to 300 of panel 1"), 1)
      << out;
  EXPECT_NE(zemhost.Err().find("selfcheck: no descriptor or thread left behind"), std::string::npos)
      << zemhost.Err();
}

// ---- Commands ----------------------------------------------------------------

// With --modbus-commands a written command takes the run's command schedule,
// and the result register tells the panel's answer to that command, not to
// another: a --send command's answer leaves it alone. The panel refuses the
// first command, ignores the second and acknowledges the rest.
TEST(ModbusServer, ACommandWrittenReachesThePanelAndItsOwnResultReadsBack) {
  // The --send command goes before the first poll; the faults wait for the
  // server's commands, which come after zone 3.
  const std::string scenario = WriteFile("commands.scn",
                                         "clock first-poll\n"
                                         "at poll 3 command-reply 0x15\n"
                                         "at poll 3 command-silent 3\n"
                                         "at poll 4 zone-alarm 3\n");
  Zemhost zemhost("commands", {"--simulate", scenario, "--lines", "--for", "120s", "--send",
                               "CP1A!", "--modbus", "127.0.0.1:0", "--modbus-commands"});
  ASSERT_TRUE(zemhost.started());
  const int port = zemhost.Port();
  ASSERT_NE(port, 0) << zemhost.Said();
  ASSERT_TRUE(zemhost.WaitFor("instance 1 command CP1A! acknowledged")) << zemhost.Out();
  ASSERT_TRUE(zemhost.WaitFor("CP1Z3 = 1")) << zemhost.Out();
  Client client(port);
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(Pymodbus(port, {"holding:1:0:4", "inputs:1:1:1"}),
            (std::vector<std::string>{"ok 0 0 0 0", "ok 13"}))
      << "the --send command's result is not the server's; link up, running, commands taken";

  // One command at a time: its answer, then the next.
  struct Step {
    std::string write;
    std::string line;    // what zemhost prints for it
    std::string result;  // the holding registers: command, sequence, result, which
  };
  const std::vector<Step> steps = {
      {"write:1:0:2", "command CP1S! not acknowledged", "ok 0 1 3 2"},
      {"write:1:0:1", "command CP1A! not acknowledged (result 2)", "ok 0 2 4 1"},
      {"writes:1:0:3", "command CP1R! acknowledged", "ok 0 3 2 3"},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.write);
    ASSERT_EQ(Pymodbus(port, {step.write}), std::vector<std::string>{"ok"});
    ASSERT_TRUE(zemhost.WaitFor(step.line)) << zemhost.Out();
    std::vector<std::string> holding;
    const auto deadline = Clock::now() + 10s;
    do {
      holding = Pymodbus(port, {"holding:1:0:4"});
    } while (holding != std::vector<std::string>{step.result} && Clock::now() < deadline);
    EXPECT_EQ(holding, std::vector<std::string>{step.result}) << zemhost.Out();
  }
  // Refused writes send nothing.
  EXPECT_EQ(Pymodbus(port, {"write:1:0:7", "write:1:0:0", "write:1:2:1", "writes:1:0:1,2",
                            "write:2:0:1", "holding:1:0:5"}),
            (std::vector<std::string>{"exception 03", "exception 03", "exception 02",
                                      "exception 02", "exception 0b", "exception 02"}));
  ToolRun run;
  Mbpoll(port, {"-a", "1", "-t", "4", "-r", "0"}, &run, "1");
  EXPECT_EQ(run.status, 0) << run.text;
  const auto deadline = Clock::now() + 20s;
  while (Count(zemhost.Out(), "command CP1A! acknowledged") < 2 && Clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(zemhost.Stop(), 0) << zemhost.Err();
  EXPECT_EQ(Count(zemhost.Out(), "instance 1 command "), 5) << zemhost.Out();
}

// ---- Bad input -----------------------------------------------------------

// The descriptors a process has open.
std::size_t OpenDescriptors(pid_t pid) {
  DIR *folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (folder == nullptr) return 0;
  std::size_t count = 0;
  while (const dirent *entry = readdir(folder)) count += entry->d_name[0] != '.' ? 1 : 0;
  closedir(folder);
  return count;
}

// A client that reads the panel block every few milliseconds on one
// connection, as a BMS polls, counting what it got and what failed.
class WellBehavedClient {
 public:
  explicit WellBehavedClient(int port)
      : thread_([this, port] {
          Client client(port);
          while (!stop_) {
            const std::vector<std::uint16_t> block = client.Inputs(0, 22);
            (block.size() == 22 && block[0] == 1 ? reads_ : failures_) += 1;
            std::this_thread::sleep_for(5ms);
          }
        }) {}
  ~WellBehavedClient() {
    stop_ = true;
    thread_.join();
  }
  WellBehavedClient(const WellBehavedClient &) = delete;
  WellBehavedClient &operator=(const WellBehavedClient &) = delete;

  int reads() const { return reads_; }
  int failures() const { return failures_; }
  // Waits for `more` reads after those done so far; false if they do not come.
  bool Served(int more, std::chrono::milliseconds timeout = 20s) const {
    const int target = reads_ + more;
    const auto deadline = Clock::now() + timeout;
    while (reads_ < target && failures_ == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    return reads_ >= target;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> reads_{0};
  std::atomic<int> failures_{0};
  std::thread thread_;
};

// The most descriptors zemhost had open while it lives.
class DescriptorWatch {
 public:
  explicit DescriptorWatch(pid_t pid)
      : thread_([this, pid] {
          while (!stop_) {
            most_ = std::max(most_.load(), OpenDescriptors(pid));
            std::this_thread::sleep_for(1ms);
          }
        }) {}
  ~DescriptorWatch() { Finish(); }
  DescriptorWatch(const DescriptorWatch &) = delete;
  DescriptorWatch &operator=(const DescriptorWatch &) = delete;

  std::size_t Finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return most_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> most_{0};
  std::thread thread_;
};

// Whether the server closes the connection within the timeout.
bool ClosedByServer(const panelsim::UniqueFd &fd, std::chrono::milliseconds timeout = 15s) {
  bool closed = false;
  Receive(fd, 1 << 20, timeout, &closed);
  return closed;
}

// Room for a thousand sockets of the test's own.
bool RaiseDescriptorLimit(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  if (limit.rlim_max < wanted) return false;
  limit.rlim_cur = wanted;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Junk, a request cut in half, length fields that lie, a client that says
// nothing and a thousand connections at once, while a well-behaved client
// reads all along and the panel's alarms keep coming: that client is served
// throughout, the descriptors never pass the cap, and no alarm is missing
// from the other outputs or the map.
TEST(ModbusServer, BadInputHoldsUpNoWellBehavedClientAndLosesNothing) {
  constexpr int kZones = 100;
  constexpr int kConnections = 1000;
  constexpr int kCap = 8;
  ASSERT_TRUE(RaiseDescriptorLimit(kConnections + 200)) << "too few descriptors for the test";
  std::string text = "clock first-poll\n";
  for (int zone = 1; zone <= kZones; ++zone) {
    text += "at poll " + std::to_string(2 * zone) + " zone-alarm " + std::to_string(zone) + "\n";
  }
  Zemhost zemhost("bad_input", {"--simulate", WriteFile("bad_input.scn", text), "--lines",
                                "--modbus", "127.0.0.1:0", "--modbus-timeout", "300ms",
                                "--modbus-idle", "2s", "--modbus-max-clients",
                                std::to_string(kCap)});
  ASSERT_TRUE(zemhost.started());
  const int port = zemhost.Port();
  ASSERT_NE(port, 0) << zemhost.Said();
  WellBehavedClient good(port);
  ASSERT_TRUE(good.Served(10));
  const std::size_t descriptors = OpenDescriptors(zemhost.Pid());
  {
    SCOPED_TRACE("junk");
    const panelsim::UniqueFd junk = Connect(port);
    Send(junk, std::vector<std::uint8_t>(64, 0xA5));
    EXPECT_TRUE(ClosedByServer(junk));
    EXPECT_TRUE(good.Served(10));
  }
  {
    SCOPED_TRACE("a request cut in half, then silence");
    const panelsim::UniqueFd half = Connect(port);
    const std::vector<std::uint8_t> request = ReadInputsRequest(1, 1, 0, 1);
    Send(half, std::vector<std::uint8_t>(request.begin(), request.begin() + 5));
    EXPECT_TRUE(ClosedByServer(half));
    EXPECT_TRUE(good.Served(10));
  }
  {
    SCOPED_TRACE("a length field longer than any request");
    const panelsim::UniqueFd liar = Connect(port);
    Send(liar, {0, 1, 0, 0, 0x0B, 0xB8, 1, 4, 0, 0, 0, 1});
    EXPECT_TRUE(ClosedByServer(liar));
  }
  {
    SCOPED_TRACE("a length field that says more than comes");
    const panelsim::UniqueFd liar = Connect(port);
    Send(liar, {0, 1, 0, 0, 0, 200, 1, 4, 0, 0, 0, 1});
    EXPECT_TRUE(ClosedByServer(liar));
    EXPECT_TRUE(good.Served(10));
  }
  {
    SCOPED_TRACE("a length field that says less than the request holds");
    const panelsim::UniqueFd liar = Connect(port);
    Send(liar, {0, 9, 0, 0, 0, 2, 1, 4});
    bool closed = false;
    EXPECT_EQ(Receive(liar, 9, 10s, &closed),
              (std::vector<std::uint8_t>{0, 9, 0, 0, 0, 3, 1, 0x84, 0x03}));
    Send(liar, ReadInputsRequest(10, 1, 0, 1));
    const auto reply = Receive(liar, 11, 10s, &closed);
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{0, 10, 0, 0, 0, 5, 1, 4, 2, 0, 1}))
        << "the stream goes on after the refused request";
  }
  {
    SCOPED_TRACE("a client that says nothing");
    const panelsim::UniqueFd quiet = Connect(port);
    ASSERT_TRUE(quiet);
    EXPECT_TRUE(ClosedByServer(quiet));
    EXPECT_TRUE(good.Served(10));
  }
  {
    SCOPED_TRACE("a thousand connections at once");
    DescriptorWatch watch(zemhost.Pid());
    std::vector<panelsim::UniqueFd> flood;
    for (int i = 0; i < kConnections; ++i) {
      flood.push_back(Connect(port, /*blocking=*/false));
      ASSERT_TRUE(flood.back()) << i;
    }
    EXPECT_TRUE(good.Served(10));
    // Each is closed: at once beyond the cap, the rest when idle.
    int closed = 0;
    const auto deadline = Clock::now() + 60s;
    std::vector<pollfd> open;
    for (const auto &fd : flood) open.push_back(pollfd{fd.get(), POLLIN, 0});
    while (!open.empty() && Clock::now() < deadline) {
      if (poll(open.data(), open.size(), 100) <= 0) continue;
      for (auto it = open.begin(); it != open.end();) {
        char byte = 0;
        const ssize_t got = it->revents != 0 ? recv(it->fd, &byte, 1, MSG_DONTWAIT) : 1;
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
          ++closed;
          it = open.erase(it);
        } else {
          ++it;
        }
      }
    }
    EXPECT_EQ(closed, kConnections);
    // The good client's slot, the rest of the cap, and one being refused.
    EXPECT_LE(watch.Finish(), descriptors + kCap) << "the cap of " << kCap << " was passed";
    EXPECT_TRUE(good.Served(10));
  }
  EXPECT_EQ(good.failures(), 0);

  ASSERT_TRUE(zemhost.WaitFor("CP1Z" + std::to_string(kZones) + " = 1", 60s)) << zemhost.Out();
  const std::vector<std::string> bits = Pymodbus(port, {"bits:1:1:" + std::to_string(kZones)});
  std::string all_set = "ok";
  for (int zone = 1; zone <= kZones; ++zone) all_set += " 1";
  EXPECT_EQ(bits, std::vector<std::string>{all_set});
  EXPECT_EQ(zemhost.Stop(), 0) << zemhost.Err();
  const std::string out = zemhost.Out();
  for (int zone = 1; zone <= kZones; ++zone) {
    EXPECT_EQ(Count(out, " CP1Z" + std::to_string(zone) + " = 1\n"), 1) << zone;
  }

  EXPECT_NE(out.find("modbus: refused 127.0.0.1:"), std::string::npos) << out;
  EXPECT_NE(out.find("modbus: dropped 127.0.0.1:"), std::string::npos) << out;
}

// ---- The panel link -----------------------------------------------------------

// panelsim as a program of its own on a pty, so that the test can stop it
// (SIGSTOP: a panel gone silent) and let it go on.
class PanelProgram {
 public:
  explicit PanelProgram(const std::string &scenario) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    out_.reset(ends[0]);
    const panelsim::UniqueFd write_end(ends[1]);
    process_ = std::make_unique<vuzov_test::ChildProcess>(
        std::vector<std::string>{PANELSIM_PROGRAM, scenario},
        vuzov_test::ChildStreams{-1, write_end.get(), -1});
  }
  ~PanelProgram() {
    if (process_) process_->Signal(SIGCONT);
  }

  // The pty the panel says it opened, as the driver names it ("pts/3").
  std::string Port() {
    bool closed = false;
    std::string text;
    const auto deadline = Clock::now() + 10s;
    while (text.find('\n') == std::string::npos && Clock::now() < deadline && !closed) {
      const auto got = Receive(out_, 1, 100ms, &closed);
      text.append(got.begin(), got.end());
    }
    const std::string line = text.substr(0, text.find('\n'));
    return line.rfind("/dev/", 0) == 0 ? line.substr(5) : std::string();
  }
  void Signal(int number) const { process_->Signal(number); }

 private:
  panelsim::UniqueFd out_;
  std::unique_ptr<vuzov_test::ChildProcess> process_;
};

TEST(ModbusServer, TheLinkBitsFollowAPanelThatGoesSilentAndComesBack) {
  constexpr std::uint16_t kUp = 1 << 0;
  constexpr std::uint16_t kLost = 1 << 1;
  constexpr std::uint16_t kZoneLinkLost = 1 << 8;
  PanelProgram panel(WriteFile("link.scn", "clock first-poll\nat poll 2 zone-alarm 3\n"));
  const std::string line = panel.Port();
  ASSERT_FALSE(line.empty());
  Zemhost zemhost("link", {"--port", line, "--lines", "--modbus", "127.0.0.1:0"});
  ASSERT_TRUE(zemhost.started());
  const int port = zemhost.Port();
  ASSERT_NE(port, 0) << zemhost.Said();
  Client client(port);
  ASSERT_TRUE(client.connected());
  // Registers 1 (status) and 1003 (zone 3's word), read at once each time.
  std::uint16_t status = 0;
  std::uint16_t zone = 0;
  const auto read_both = [&](const std::function<bool()> &done) {
    return WaitForRegisters(client, 1, 1, [&](const std::vector<std::uint16_t> &values) {
      status = values[0];
      const std::vector<std::uint16_t> word = client.Inputs(1003, 1);
      if (word.empty()) return false;
      zone = word[0];
      return done();
    });
  };
  ASSERT_TRUE(read_both([&] { return (status & kUp) != 0 && zone == 0x3801; }))
      << "status " << status << ", zone " << zone << "\n" << zemhost.Out();
  panel.Signal(SIGSTOP);
  EXPECT_TRUE(read_both([&] { return (status & (kUp | kLost)) == kLost && zone == (0x3801 | kZoneLinkLost); }))
      << "status " << status << ", zone " << zone << "\n" << zemhost.Out();
  panel.Signal(SIGCONT);
  EXPECT_TRUE(read_both([&] { return (status & (kUp | kLost)) == kUp && zone == 0x3801; }))
      << "status " << status << ", zone " << zone << "\n" << zemhost.Out();
  EXPECT_EQ(zemhost.Stop(), 0) << zemhost.Err();
}

// ---- Starting ----------------------------------------------------------------

// A port another program holds is exit 5 with the reason; bad settings are
// exit 2; --modbus-allow closes a client from elsewhere as it connects and
// lets one from its networks in, also through an IPv6 socket; the map printed
// is the one the docs describe.
TEST(ModbusServer, StartsOnlyWhereItCanListenAndLetsInOnlyWhomItMay) {
  const panelsim::UniqueFd holder(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder.get(), 1), 0);
  ASSERT_EQ(getsockname(holder.get(), reinterpret_cast<sockaddr *>(&address), &size), 0);
  const std::string held = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  struct Misuse {
    std::vector<std::string> arguments;
    int status;
    std::string message;
  };
  const std::vector<Misuse> misuses = {
      {{"--modbus", held, "--polls", "1"}, zemhost::kExitGateway,
       "zemhost: cannot serve Modbus TCP on " + held +
           ": Address already in use (another program listens there)"},
      {{"--modbus", "1502"}, zemhost::kExitUsage, "modbus '1502' is [ADDRESS]:PORT"},
      {{"--modbus", "localhost:1502"}, zemhost::kExitUsage, "modbus 'localhost:1502' is"},
      {{"--modbus", "::1:1502"}, zemhost::kExitUsage, "modbus '::1:1502' is"},
      {{"--modbus", ":1502", "--modbus-zones", "64536"}, zemhost::kExitUsage,
       "modbus-zones is a count of zones from 1 to 64535"},
      {{"--modbus", ":1502", "--modbus-allow", "10.0.0.0/33"}, zemhost::kExitUsage,
       "modbus-allow '10.0.0.0/33' is not ADDR[/BITS]"},
      {{"--modbus-commands"}, zemhost::kExitUsage, "the modbus-* settings need --modbus"},
  };
  for (const Misuse &misuse : misuses) {
    SCOPED_TRACE(misuse.arguments.back());
    Program run(Fast(misuse.arguments));
    EXPECT_EQ(run.Wait(), misuse.status) << run.err();
    EXPECT_NE(run.err().find(misuse.message), std::string::npos) << run.err();
  }
  {
    Zemhost elsewhere("elsewhere", {"--lines", "--modbus", "127.0.0.1:0", "--modbus-allow",
                                    "10.0.0.0/8", "--modbus-allow", "::1"});
    const int port = elsewhere.Port();
    ASSERT_NE(port, 0) << elsewhere.Said();
    const panelsim::UniqueFd refused = Connect(port);
    Send(refused, ReadInputsRequest(1, 1, 0, 1));
    EXPECT_TRUE(ClosedByServer(refused));
    EXPECT_TRUE(elsewhere.WaitFor("not an address --modbus-allow lets in")) << elsewhere.Out();
    EXPECT_EQ(elsewhere.Stop(), 0) << elsewhere.Err();
  }
  {
    // Every address, from a config file: the client comes as ::ffff:127.0.0.1.
    const std::string config = WriteFile(
        "allowed.conf", "modbus = :0\nmodbus-allow = 127.0.0.0/8\ninterval = 20ms\n[instance]\nsimulate = " +
                            kScenarios + "/quick.scn\ntimeout = 5\n");
    Zemhost allowed("allowed", {"--lines", "--config", config});
    const int port = allowed.Port();
    ASSERT_NE(port, 0) << allowed.Said();
    EXPECT_EQ(Pymodbus(port, {"inputs:1:0:1"}), std::vector<std::string>{"ok 1"});
    EXPECT_EQ(allowed.Stop(), 0) << allowed.Err();
  }
  // Every row of the map is in the docs' table, and only those.
  ToolRun map = RunTool({ZEMHOST_PROGRAM, "--modbus-map"});
  ASSERT_EQ(map.status, 0) << map.text;
  const std::string docs = ReadText(MODBUS_DOCS);
  const std::vector<std::string> rows = Lines(map.text);
  ASSERT_GT(rows.size(), 20u);
  EXPECT_EQ(rows[0], "address,table,name,meaning,unit");
  for (std::size_t i = 1; i < rows.size(); ++i) {
    std::istringstream fields(rows[i]);
    std::string where, table, name;
    std::getline(fields, where, ',');
    std::getline(fields, table, ',');
    std::getline(fields, name, ',');
    EXPECT_NE(docs.find("| " + where + " | " + table + " | `" + name + "` |"), std::string::npos)
        << rows[i];
  }
  EXPECT_EQ(Count(docs, " register | `") + Count(docs, " input | `"), static_cast<int>(rows.size() - 1))
      << "rows in the docs that --modbus-map does not print";
}

}  // namespace
