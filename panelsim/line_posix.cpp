#include "line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

#include "errno_text.h"
#include "serial_line.h"

namespace panelsim {
namespace {

using toolbox::ErrnoText;

toolbox::LineSetup SetupOf(const LineSettings &settings) {
  toolbox::LineSetup setup;
  setup.baud = settings.baud;
  if (settings.framing == Framing::k8E1) setup.parity = toolbox::Parity::kEven;
  if (settings.framing == Framing::k8O1) setup.parity = toolbox::Parity::kOdd;
  if (settings.framing == Framing::k8N2) setup.stop_bits = toolbox::StopBits::kTwo;
  return setup;
}

bool SetNonBlocking(int fd, std::string *error) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    *error = ErrnoText("cannot make the line non-blocking", errno);
    return false;
  }
  return true;
}

bool OpenPty(const LineSettings &settings, UniqueFd *master_out, UniqueFd *slave_out,
             std::string *path_out, std::string *error) {
  UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master) {
    *error = ErrnoText("cannot create a pty", errno);
    return false;
  }
  char name[128];
  if (grantpt(master.get()) != 0 || unlockpt(master.get()) != 0 ||
      ptsname_r(master.get(), name, sizeof name) != 0) {
    *error = ErrnoText("cannot unlock the pty", errno);
    return false;
  }
  UniqueFd slave(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave) {
    *error = ErrnoText(std::string("cannot open ") + name, errno);
    return false;
  }
  if (!toolbox::SetUpLine(slave.get(), SetupOf(settings), error) ||
      !SetNonBlocking(master.get(), error)) {
    return false;
  }
  *master_out = std::move(master);
  *slave_out = std::move(slave);
  *path_out = name;
  return true;
}

bool OpenDevice(const LineSettings &settings, UniqueFd *out, std::string *error) {
  UniqueFd device(open(settings.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!device) {
    *error = ErrnoText("cannot open " + settings.device, errno);
    return false;
  }
  if (!isatty(device.get())) {
    *error = settings.device + " is not a serial device";
    return false;
  }
  if (!toolbox::SetUpLine(device.get(), SetupOf(settings), error)) return false;
  tcflush(device.get(), TCIOFLUSH);
  *out = std::move(device);
  return true;
}

}  // namespace

unsigned BitsPerByte(Framing framing) { return framing == Framing::k8N1 ? 10 : 11; }

bool ParseFraming(const std::string &text, Framing *out) {
  for (Framing framing : {Framing::k8N1, Framing::k8E1, Framing::k8O1, Framing::k8N2}) {
    if (text == FramingName(framing)) {
      *out = framing;
      return true;
    }
  }
  return false;
}

const char *FramingName(Framing framing) {
  switch (framing) {
    case Framing::k8E1:
      return "8E1";
    case Framing::k8O1:
      return "8O1";
    case Framing::k8N2:
      return "8N2";
    case Framing::k8N1:
      break;
  }
  return "8N1";
}

bool Line::Open(const LineSettings &settings, Line *out, std::string *error) {
  Line line;
  if (settings.device.empty()) {
    if (!OpenPty(settings, &line.port_, &line.slave_hold_, &line.path_, error)) return false;
  } else {
    if (!OpenDevice(settings, &line.port_, error)) return false;
    line.path_ = settings.device;
  }
  *out = std::move(line);
  return true;
}

void Line::Close() {
  port_.reset();
  slave_hold_.reset();
}

bool LinkOwner::Point(const std::string &link, const std::string &target, std::string *error) {
  struct stat existing {};
  if (lstat(link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    *error = "refusing to replace " + link + ": it is not a symbolic link";
    return false;
  }
  static std::atomic<unsigned> serial{0};
  const std::string temporary = link + ".panelsim-" + std::to_string(getpid()) + "-" +
                                std::to_string(serial.fetch_add(1));
  if (symlink(target.c_str(), temporary.c_str()) != 0) {
    *error = ErrnoText("cannot create the link " + temporary, errno);
    return false;
  }
  if (rename(temporary.c_str(), link.c_str()) != 0) {
    const int saved = errno;
    unlink(temporary.c_str());
    *error = ErrnoText("cannot point " + link + " at " + target, saved);
    return false;
  }
  link_ = link;
  target_ = target;
  return true;
}

void LinkOwner::Remove() {
  if (link_.empty()) return;
  char current[512];
  const ssize_t length = readlink(link_.c_str(), current, sizeof current - 1);
  if (length >= 0 && target_ == std::string(current, static_cast<std::size_t>(length))) {
    unlink(link_.c_str());
  }
  link_.clear();
  target_.clear();
}

}  // namespace panelsim
