#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "errno_text.h"
#include "platform/platform.h"
#include "serial_line.h"
#include "serial_port_posix.h"
#include "unique_fd.h"

namespace zemhost {
namespace {

using toolbox::ErrnoText;
using Fd = toolbox::UniqueFd;

std::size_t CountEntries(const char *directory) {
  DIR *dir = ::opendir(directory);
  if (dir == nullptr) return 0;
  std::size_t count = 0;
  while (const dirent *entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
  }
  ::closedir(dir);
  return count;
}

// The driver reads the low byte of each framing word of its host records; so
// does the set-up of the line it is relayed to.
toolbox::LineSetup SetupOf(const vuzov::LineSettings &line) {
  return toolbox::LineSetup{line.baud, line.data_bits & 0xFFu,
                            toolbox::Parity(line.parity & 0xFFu),
                            toolbox::StopBits(line.stop_bits & 0xFFu)};
}

// Writes all of it to a non-blocking descriptor; false when the far end is gone.
bool WriteAll(int fd, const std::uint8_t *bytes, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t sent = ::write(fd, bytes + done, count - done);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
    } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd entry{fd, POLLOUT, 0};
      if (::poll(&entry, 1, 200) == 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

// ---- Console ---------------------------------------------------------------

struct Console::Impl {
  Fd signals;
  bool keys = false;
  bool output_is_pipe = false;  // watched for its reader going away
  int stop_signal = 0;
  termios saved{};
};

Console::Console(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Console> Console::Open(std::string *error) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  // A hang-up stops the run too, unless zemhost was started to outlive one
  // (nohup): a signal blocked here would reach the descriptor even ignored.
  struct sigaction hangup {};
  if (::sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN) {
    sigaddset(&stop, SIGHUP);
  }
  // Every thread started from here on inherits the mask, so the signals wait
  // for the main loop's descriptor instead of interrupting a driver call.
  if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) {
    *error = "cannot block the stop signals";
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->signals = Fd(::signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!impl->signals) {
    *error = ErrnoText("signalfd", errno);
    return nullptr;
  }
  // A reader of standard output that goes away must not kill the run unclean:
  // the write fails instead, and the run ends by its own shutdown.
  ::signal(SIGPIPE, SIG_IGN);
  struct stat output {};
  impl->output_is_pipe = ::fstat(STDOUT_FILENO, &output) == 0 && S_ISFIFO(output.st_mode);
  return std::unique_ptr<Console>(new Console(std::move(impl)));
}

Console::~Console() {
  StopKeys();
  // The stop signals stay blocked: one that arrived last would otherwise end
  // the process with its default action after a clean shutdown.
}

bool Console::StartKeys() {
  if (impl_->keys) return true;
  if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &impl_->saved) != 0) return false;
  termios raw = impl_->saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays: Ctrl-C is a stop
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return false;
  impl_->keys = true;
  return true;
}

void Console::StopKeys() {
  if (!impl_->keys) return;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &impl_->saved);
  impl_->keys = false;
}

Console::Event Console::Wait(std::chrono::milliseconds timeout, int *key) {
  // A pipe's writing end reports POLLERR once its reader has gone, with no
  // write needed to find out: a quiet run learns of it at once.
  pollfd entries[3] = {{impl_->signals.get(), POLLIN, 0},
                       {impl_->output_is_pipe ? STDOUT_FILENO : -1, 0, 0},
                       {impl_->keys ? STDIN_FILENO : -1, POLLIN, 0}};
  const int ready = ::poll(entries, 3, static_cast<int>(timeout.count()));
  if (ready <= 0) return Event::kTimeout;
  if (entries[0].revents & POLLIN) {
    signalfd_siginfo info{};
    // One read a request: a second signal queued behind the first is a
    // second request.
    if (::read(impl_->signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      impl_->stop_signal = static_cast<int>(info.ssi_signo);
      return Event::kStop;
    }
  }
  if (entries[1].revents & (POLLERR | POLLHUP)) {
    impl_->output_is_pipe = false;  // said once; the pipe stays in error
    return Event::kOutputClosed;
  }
  if (impl_->keys && (entries[2].revents & (POLLIN | POLLHUP))) {
    unsigned char byte = 0;
    if (::read(STDIN_FILENO, &byte, 1) == 1) {
      *key = byte;
      return Event::kKey;
    }
    StopKeys();  // the terminal went away: no more keys
  }
  return Event::kTimeout;
}

int Console::StopSignal() const { return impl_->stop_signal; }

// ---- Terminal and process --------------------------------------------------

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void TerminalSize(int *rows, int *cols) {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
    *rows = size.ws_row;
    *cols = size.ws_col;
  } else {
    *rows = 24;
    *cols = 80;
  }
}

void PrepareTerminalOutput() {}

void EndProcessAtOnce(int status) { ::_exit(status); }

void EndForClosedOutput() {
  ::signal(SIGPIPE, SIG_DFL);
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
  ::raise(SIGPIPE);
  ::_exit(128 + SIGPIPE);  // only if the signal could not end the process
}

std::string ProgramPath() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return std::string();
  return std::string(path, static_cast<std::size_t>(length));
}

std::size_t CountOpenHandles() {
  const std::size_t entries = CountEntries("/proc/self/fd");
  return entries > 0 ? entries - 1 : 0;  // less the one that reads the folder
}

std::size_t CountThreads() { return CountEntries("/proc/self/task"); }

std::string LineSettingsProblem(const vuzov::LineSettings &line) {
  return toolbox::LineSetupProblem(SetupOf(line));
}

std::string LineHeldElsewhere(const std::string &port_name) {
  if (port_name == "NUL") return std::string();  // the null device is anyone's
  const std::string path = vuzov::DevicePathFor(port_name.c_str());
  const Fd probe(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!probe) return errno == EBUSY ? LineHeldText(path) : std::string();
  if (!vuzov::ClaimLine(probe.get())) return errno == EWOULDBLOCK ? LineHeldText(path) : std::string();
  vuzov::ReleaseLine(probe.get());
  return std::string();
}

// ---- LineRelay -------------------------------------------------------------

struct LineRelay::Impl {
  ~Impl() {
    if (device) vuzov::ReleaseLine(device.get());
  }

  Fd device;
  Fd master;
  Fd slave_hold;  // keeps the pty up while the driver closes and reopens its side
  Fd wake;
  std::string slave_name;
  RelayTrace trace;
  std::thread thread;

  void Run();
};

LineRelay::LineRelay(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<LineRelay> LineRelay::Open(const std::string &port_name,
                                           const vuzov::LineSettings &line, RelayTrace trace,
                                           std::string *error) {
  auto impl = std::make_unique<Impl>();
  const std::string path = vuzov::DevicePathFor(port_name.c_str());
  impl->device = Fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!impl->device) {
    const int saved = errno;
    *error = saved == EBUSY ? LineHeldText(path) : ErrnoText("cannot open " + path, saved);
    return nullptr;
  }
  // Claimed before anything touches the line: a line that another driver or
  // relay holds is theirs, settings and replies alike.
  if (!vuzov::ClaimLine(impl->device.get())) {
    const int saved = errno;
    *error = saved == EWOULDBLOCK ? LineHeldText(path) : ErrnoText("cannot lock " + path, saved);
    impl->device.reset();
    return nullptr;
  }
  std::string problem;
  if (!toolbox::SetUpLine(impl->device.get(), SetupOf(line), &problem)) {
    *error = path + ": " + problem;
    return nullptr;
  }
  impl->master = Fd(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  char name[128];
  if (!impl->master || ::grantpt(impl->master.get()) != 0 ||
      ::unlockpt(impl->master.get()) != 0 ||
      ::ptsname_r(impl->master.get(), name, sizeof name) != 0) {
    *error = ErrnoText("cannot make the relay's pty", errno);
    return nullptr;
  }
  impl->slave_hold = Fd(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!impl->slave_hold) {
    *error = ErrnoText(std::string("cannot open ") + name, errno);
    return nullptr;
  }
  // The driver's side as the device is, until the driver sets it up itself.
  if (!toolbox::SetUpLine(impl->slave_hold.get(), SetupOf(line), &problem)) {
    *error = std::string(name) + ": " + problem;
    return nullptr;
  }
  impl->slave_name = std::string(name).compare(0, 5, "/dev/") == 0 ? name + 5 : name;
  impl->wake = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!impl->wake) {
    *error = ErrnoText("eventfd", errno);
    return nullptr;
  }
  impl->trace = std::move(trace);
  Impl *raw = impl.get();
  impl->thread = std::thread([raw] { raw->Run(); });
  return std::unique_ptr<LineRelay>(new LineRelay(std::move(impl)));
}

LineRelay::~LineRelay() {
  const std::uint64_t one = 1;
  if (::write(impl_->wake.get(), &one, sizeof one) < 0) {
    // The thread also ends on its own once both sides are gone.
  }
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::string LineRelay::PortName() const { return impl_->slave_name; }

void LineRelay::Impl::Run() {
  // The panel's bytes come paced at the line's rate; a pause of this long
  // ends one burst in the trace.
  constexpr int kBurstGapMs = 20;
  std::vector<std::uint8_t> from_panel;
  bool device_up = true;
  std::uint8_t buffer[512];
  for (;;) {
    pollfd entries[3] = {{wake.get(), POLLIN, 0},
                         {master.get(), POLLIN, 0},
                         {device_up ? device.get() : -1, POLLIN, 0}};
    const int ready = ::poll(entries, 3, from_panel.empty() ? 1000 : kBurstGapMs);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) {
      trace(false, from_panel);
      from_panel.clear();
      continue;
    }
    if (entries[0].revents != 0) return;
    if (entries[1].revents & POLLIN) {
      const ssize_t got = ::read(master.get(), buffer, sizeof buffer);
      if (got > 0) {
        trace(false, from_panel);
        from_panel.clear();
        const std::vector<std::uint8_t> bytes(buffer, buffer + got);
        trace(true, bytes);
        if (device_up) WriteAll(device.get(), buffer, static_cast<std::size_t>(got));
      }
    }
    if (device_up && (entries[2].revents & POLLIN)) {
      const ssize_t got = ::read(device.get(), buffer, sizeof buffer);
      if (got > 0) {
        from_panel.insert(from_panel.end(), buffer, buffer + got);
        WriteAll(master.get(), buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        device_up = false;
      }
    } else if (device_up && (entries[2].revents & (POLLHUP | POLLERR | POLLNVAL))) {
      device_up = false;  // unplugged: the driver's reads time out from now on
    }
  }
}

}  // namespace zemhost
