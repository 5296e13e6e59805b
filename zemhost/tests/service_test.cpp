// zemhost under a service manager, as systemd runs it (Type=notify, a
// watchdog, the journal on standard error): the test plays the manager's part
// with a datagram socket of its own named by NOTIFY_SOCKET, and zemhost plays a
// simulated panel on a pty.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "zemhost_run.h"

namespace {

using namespace zemhost_test;
using Clock = std::chrono::steady_clock;

// One notification as the manager hears it: its text, the sending process
// (the kernel's word, as systemd checks NotifyAccess=main) and when it came.
struct Heard {
  std::string text;
  pid_t sender = 0;
  Clock::time_point at;

  bool Says(const std::string &assignment) const {
    return ("\n" + text + "\n").find("\n" + assignment + "\n") != std::string::npos;
  }
};

// The manager's end of the notify socket: a path in the test's folder, or an
// abstract name (NOTIFY_SOCKET "@name").
class NotifySocket {
 public:
  explicit NotifySocket(bool abstract) : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    static int made = 0;
    const std::string name = "zemhost_notify_" + std::to_string(getpid()) + "_" +
                             std::to_string(++made);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socklen_t length = sizeof(sa_family_t);
    if (abstract) {
      address_ = "@" + name;
      std::memcpy(address.sun_path + 1, name.data(), name.size());
      length += static_cast<socklen_t>(1 + name.size());
    } else {
      address_ = path_ = ::testing::TempDir() + name;
      if (path_.size() >= sizeof address.sun_path) return;
      unlink(path_.c_str());
      std::memcpy(address.sun_path, path_.data(), path_.size());
      length += static_cast<socklen_t>(path_.size() + 1);
    }
    const int on = 1;
    bound_ = fd_ && setsockopt(fd_.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0 &&
             bind(fd_.get(), reinterpret_cast<const sockaddr *>(&address), length) == 0;
  }
  ~NotifySocket() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  NotifySocket(const NotifySocket &) = delete;
  NotifySocket &operator=(const NotifySocket &) = delete;

  bool bound() const { return bound_; }
  std::string Setting() const { return "NOTIFY_SOCKET=" + address_; }

  // The next notification, or none within `timeout`.
  std::optional<Heard> Next(std::chrono::milliseconds timeout) {
    pollfd readable{fd_.get(), POLLIN, 0};
    if (poll(&readable, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char text[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec part{text, sizeof text};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(fd_.get(), &message, 0);
    if (got < 0) return std::nullopt;
    Heard heard{std::string(text, static_cast<std::size_t>(got)), 0, Clock::now()};
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_CREDENTIALS) continue;
      ucred credentials{};
      std::memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
      heard.sender = credentials.pid;
    }
    return heard;
  }

 private:
  panelsim::UniqueFd fd_;
  std::string address_;
  std::string path_;
  bool bound_ = false;
};

std::vector<Clock::time_point> Pings(const std::vector<Heard> &heard) {
  std::vector<Clock::time_point> times;
  for (const Heard &each : heard) {
    if (each.Says("WATCHDOG=1")) times.push_back(each.at);
  }
  return times;
}

double Seconds(Clock::duration length) { return std::chrono::duration<double>(length).count(); }

// Where the pings paused longest: the index of the ping after the pause.
std::size_t LongestPause(const std::vector<Clock::time_point> &pings) {
  std::size_t after = 0;
  for (std::size_t i = 1; i < pings.size(); ++i) {
    if (after == 0 || pings[i] - pings[i - 1] > pings[after] - pings[after - 1]) after = i;
  }
  return after;
}

constexpr double kHeldPause = 2.5;  // seconds without a ping that only a held loop explains

// The pings paused for the held poll and have come back twice since.
bool PingsCameBack(const std::vector<Heard> &heard) {
  const auto pings = Pings(heard);
  const std::size_t after = LongestPause(pings);
  return after > 0 && Seconds(pings[after] - pings[after - 1]) >= kHeldPause &&
         pings.size() >= after + 2;
}

std::string Texts(const std::vector<Heard> &heard) {
  std::string all;
  for (const Heard &each : heard) all += "[" + each.text + "] ";
  return all;
}

// The whole notify protocol in one run: READY=1 with the link's STATUS= once
// the instance has started, WATCHDOG=1 every half second (WATCHDOG_USEC is a
// second) while the panel answers, no ping while one poll is held past its
// bound (a panel that dribbles its reply inside the read timeout), the link
// down in STATUS= meanwhile, pings again once that poll is done, and
// STOPPING=1 at SIGTERM; every datagram from zemhost's own process, as
// NotifyAccess=main wants.
TEST(ZemhostService, TellsTheManagerReadyAliveAndStopping) {
  NotifySocket manager(/*abstract=*/false);
  ASSERT_TRUE(manager.bound()) << std::strerror(errno);
  Launch launch;
  launch.environment = {manager.Setting(), "WATCHDOG_USEC=1000000"};
  Program run({"--simulate", kScenarios + "/held.scn", "--timeout", "100", "--interval", "100ms",
               "--lines"},
              launch);
  ASSERT_TRUE(run.started());
  const pid_t zemhost = run.pid();
  std::vector<Heard> heard;
  const auto listen_until = [&](const std::function<bool()> &done, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done() && Clock::now() < deadline) {
      if (auto next = manager.Next(100ms)) heard.push_back(*next);
      run.ReadWaiting();
    }
    return done();
  };
  ASSERT_TRUE(listen_until([&] { return PingsCameBack(heard); }, 40s))
      << Texts(heard) << run.out() << run.err();
  run.Signal(SIGTERM);
  const auto stopping = [&] { return !heard.empty() && heard.back().Says("STOPPING=1"); };
  EXPECT_TRUE(listen_until(stopping, 20s)) << Texts(heard);
  EXPECT_EQ(run.Wait(20s), 0) << run.err() << run.out();

  ASSERT_FALSE(heard.empty());
  EXPECT_TRUE(heard.front().Says("READY=1")) << heard.front().text;
  EXPECT_NE(heard.front().text.find("STATUS=instance 1 link "), std::string::npos)
      << heard.front().text;
  for (const Heard &each : heard) {
    EXPECT_EQ(each.sender, zemhost) << each.text;
    EXPECT_FALSE(each.Says("READY=1") && &each != &heard.front()) << "READY=1 twice";
  }
  const bool answering = std::any_of(heard.begin(), heard.end(), [](const Heard &each) {
    return each.text.find("STATUS=instance 1 link up, ") != std::string::npos;
  });
  EXPECT_TRUE(answering) << Texts(heard);
  // The held poll outlasts the link's five seconds of silence.
  const bool down = std::any_of(heard.begin(), heard.end(), [](const Heard &each) {
    return each.text.find("STATUS=instance 1 link down (no answered poll for 5s), ") !=
           std::string::npos;
  });
  EXPECT_TRUE(down) << Texts(heard);

  const auto pings = Pings(heard);
  const std::size_t after = LongestPause(pings);
  ASSERT_GT(after, 3u) << "too few pings before the held poll: " << Texts(heard);
  // While the panel answered, a ping came about every half second.
  for (std::size_t i = 1; i < after; ++i) {
    EXPECT_LT(Seconds(pings[i] - pings[i - 1]), 1.5) << "ping " << i;
  }
  EXPECT_GE(Seconds(pings[after] - pings[after - 1]), kHeldPause);
  EXPECT_NE(run.out().find("instance 1: the poller has not come round its loop for"),
            std::string::npos)
      << run.out();
  EXPECT_NE(run.out().find("instance 1: the poller keeps its pace again"), std::string::npos)
      << run.out();
  EXPECT_TRUE(stopping()) << "STOPPING=1 is not the last word";
}

// Standard error that JOURNAL_STREAM names is the journal: every event is one
// line there, led by its level and without the run's seconds (the journal
// stamps its own), and standard output stays empty; a JOURNAL_STREAM that
// names another file leaves the run's lines on standard output. The manager
// here listens on an abstract name, with no watchdog.
TEST(ZemhostService, OnTheJournalEachLineCarriesItsLevel) {
  NotifySocket manager(/*abstract=*/true);
  ASSERT_TRUE(manager.bound()) << std::strerror(errno);
  Launch launch;
  launch.error_is_journal = true;
  launch.environment = {manager.Setting(), "WATCHDOG_USEC="};
  Program run(Fast({"--simulate", kScenarios + "/quick.scn", "--polls", "14", "--trace",
                    "--selfcheck"}),
              launch);
  ASSERT_TRUE(run.started());
  EXPECT_EQ(run.Wait(), 0) << run.err();
  EXPECT_EQ(run.out(), "");
  for (const std::string &line : Lines(run.err())) {
    EXPECT_TRUE(line.size() > 3 && line[0] == '<' && line[1] >= '3' && line[1] <= '7' &&
                line[2] == '>')
        << line;
  }
  for (const char *expected :
       {"\n<4>SIMULATED PANEL: instance 1 plays ", "\n<5>CP1Z3 = 1\n", "\n<7>trace 1 [05]\n",
        "\n<6>driver \"FIREPANEL FP11x \" (VUZOV - Firepanel FP11x), module ",
        "\n<6>zemhost: told the service manager the run is ready\n",
        "\n<6>zemhost: selfcheck: no descriptor or thread left behind\n"}) {
    EXPECT_NE(("\n" + run.err()).find(expected), std::string::npos) << expected << run.err();
  }
  std::vector<Heard> heard;
  while (auto next = manager.Next(0ms)) heard.push_back(*next);
  ASSERT_GE(heard.size(), 2u) << Texts(heard);
  EXPECT_TRUE(heard.front().Says("READY=1")) << Texts(heard);
  EXPECT_TRUE(heard.back().Says("STOPPING=1")) << Texts(heard);
  EXPECT_TRUE(Pings(heard).empty()) << "a ping with no watchdog asked for: " << Texts(heard);

  struct stat other {};
  ASSERT_EQ(stat("/dev/null", &other), 0);
  Launch elsewhere;
  elsewhere.environment = {"JOURNAL_STREAM=" + std::to_string(other.st_dev) + ":" +
                           std::to_string(other.st_ino)};
  Program lines(Fast({"--simulate", kScenarios + "/quick.scn", "--polls", "6"}), elsewhere);
  EXPECT_EQ(lines.Wait(), 0) << lines.err();
  EXPECT_NE(lines.out().find(" CP1Z3 = 1\n"), std::string::npos) << lines.out();
  EXPECT_EQ(lines.err().find('<'), std::string::npos) << lines.err();
}

}  // namespace
