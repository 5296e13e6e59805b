#include "serial_line.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "errno_text.h"

namespace toolbox {
namespace {

struct Rate {
  unsigned baud;
  speed_t speed;
};

// Every rate up to 57600 is one the driver's own layer takes too (its host
// records carry the rate in 16 bits); the two above it serve panelsim's
// devices.
constexpr Rate kRates[] = {
    {50, B50},       {75, B75},       {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},     {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

constexpr tcflag_t kCharacterSizes[] = {CS5, CS6, CS7, CS8};
constexpr unsigned kFewestDataBits = 5;
constexpr unsigned kMostDataBits = 8;

constexpr tcflag_t kParityFlags[] = {
    0,                           // none
    PARENB | PARODD,             // odd
    PARENB,                      // even
    PARENB | PARODD | CMSPAR,    // mark
    PARENB | CMSPAR,             // space
};

// What the line's framing is made of in c_cflag: set from the set-up alone.
constexpr tcflag_t kFramingBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
// No byte is translated, stripped, ignored or taken as flow control on the way
// in; parity is checked (with parity none it has nothing to check).
constexpr tcflag_t kInputOff = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                               IXOFF | IXANY | IGNPAR | IUCLC | IMAXBEL;
constexpr tcflag_t kLocalOff = ECHO | ECHONL | ICANON | ISIG | IEXTEN;

const Rate *FindRate(unsigned baud) {
  for (const Rate &rate : kRates) {
    if (rate.baud == baud) return &rate;
  }
  return nullptr;
}

std::string RateList() {
  const std::vector<unsigned> &rates = LineRates();
  std::string text;
  for (std::size_t i = 0; i < rates.size(); ++i) {
    if (i > 0) text += i + 1 == rates.size() ? " or " : ", ";
    text += std::to_string(rates[i]);
  }
  return text;
}

unsigned Code(Parity parity) { return static_cast<unsigned>(parity); }
unsigned Code(StopBits stop_bits) { return static_cast<unsigned>(stop_bits); }

tcflag_t FramingFlags(const LineSetup &setup) {
  tcflag_t flags =
      kCharacterSizes[setup.data_bits - kFewestDataBits] | kParityFlags[Code(setup.parity)];
  // With five data bits the second stop bit is one and a half bits long.
  if (setup.stop_bits != StopBits::kOne) flags |= CSTOPB;
  return flags;
}

void MakeRaw(const LineSetup &setup, speed_t speed, termios *state) {
  state->c_iflag = (state->c_iflag & ~kInputOff) | INPCK;
  state->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  state->c_lflag &= ~kLocalOff;
  state->c_cflag = (state->c_cflag & ~kFramingBits) | CLOCAL | CREAD | FramingFlags(setup);
  state->c_cc[VMIN] = 0;
  state->c_cc[VTIME] = 0;
  cfsetispeed(state, speed);
  cfsetospeed(state, speed);
}

// A pty has no wire to frame bytes on: it keeps eight data bits without
// parity whatever it is asked, and is none the worse for it.
bool IsPtySlave(int fd) {
  char name[64];
  return ttyname_r(fd, name, sizeof name) == 0 && std::strncmp(name, "/dev/pts/", 9) == 0;
}

// tcsetattr succeeds when the device took any part of the request; a device
// that cannot do a rate or framing quietly keeps another, and says so only in
// the state read back.
bool TookIt(int fd, const termios &asked, const termios &now) {
  constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  const bool framing = (now.c_cflag & kFraming) == (asked.c_cflag & kFraming) || IsPtySlave(fd);
  return framing && cfgetispeed(&now) == cfgetispeed(&asked) &&
         cfgetospeed(&now) == cfgetospeed(&asked);
}

}  // namespace

const std::vector<unsigned> &LineRates() {
  static const std::vector<unsigned> rates = [] {
    std::vector<unsigned> list;
    for (const Rate &rate : kRates) list.push_back(rate.baud);
    return list;
  }();
  return rates;
}

bool IsLineRate(unsigned baud) { return FindRate(baud) != nullptr; }

std::string LineSetupProblem(const LineSetup &setup) {
  if (!IsLineRate(setup.baud)) {
    return "a serial line cannot run at " + std::to_string(setup.baud) + " baud (it takes " +
           RateList() + ")";
  }
  if (setup.data_bits < kFewestDataBits || setup.data_bits > kMostDataBits) {
    return "a serial line carries 5 to 8 data bits, not " + std::to_string(setup.data_bits);
  }
  if (Code(setup.parity) > Code(Parity::kSpace)) {
    return "parity code " + std::to_string(Code(setup.parity)) +
           " is none of 0 none, 1 odd, 2 even, 3 mark, 4 space";
  }
  if (Code(setup.stop_bits) > Code(StopBits::kTwo)) {
    return "stop-bits code " + std::to_string(Code(setup.stop_bits)) +
           " is none of 0 one, 1 one and a half, 2 two";
  }
  return std::string();
}

bool MakeLineState(const LineSetup &setup, termios *state) {
  if (!LineSetupProblem(setup).empty()) return false;
  MakeRaw(setup, FindRate(setup.baud)->speed, state);
  return true;
}

bool SetUpLine(int fd, const LineSetup &setup, std::string *error) {
  *error = LineSetupProblem(setup);
  if (!error->empty()) return false;
  termios state{};
  if (tcgetattr(fd, &state) != 0) {
    *error = ErrnoText("cannot read the line settings", errno);
    return false;
  }
  MakeLineState(setup, &state);
  termios now{};
  if (tcsetattr(fd, TCSANOW, &state) != 0 || tcgetattr(fd, &now) != 0) {
    *error = ErrnoText("cannot set the line settings", errno);
    return false;
  }
  if (!TookIt(fd, state, now)) {
    *error = "the device does not take " + std::to_string(setup.baud) + " baud with " +
             std::to_string(setup.data_bits) + " data bits, parity code " +
             std::to_string(Code(setup.parity)) + " and stop-bits code " +
             std::to_string(Code(setup.stop_bits));
    return false;
  }
  return true;
}

}  // namespace toolbox
