// The tools' set-up of a serial line on POSIX: zemhost's trace relay, the
// panel simulator's line and the benchmark's bare line. Raw 8-bit bytes both
// ways, no flow control, reads that never block, and the rate and framing
// asked for: the same terminal state the driver's own serial layer sets on its
// port. A rate or framing the line cannot take is refused with the reason,
// never replaced by another.
#ifndef VUZOV_TOOLBOX_SERIAL_LINE_H
#define VUZOV_TOOLBOX_SERIAL_LINE_H

#include <termios.h>

#include <string>
#include <vector>

namespace toolbox {

// The codes are the host records' (0 none ... 4 space; 0 one, 1 one and a
// half, 2 two), so a tool can take a code from them as it is.
enum class Parity : unsigned { kNone = 0, kOdd = 1, kEven = 2, kMark = 3, kSpace = 4 };
enum class StopBits : unsigned { kOne = 0, kOneAndAHalf = 1, kTwo = 2 };

struct LineSetup {
  unsigned baud = 9600;
  unsigned data_bits = 8;
  Parity parity = Parity::kNone;
  StopBits stop_bits = StopBits::kOne;
};

// The rates a line can be set to, lowest first.
const std::vector<unsigned> &LineRates();
bool IsLineRate(unsigned baud);

// Why no line can take the set-up, e.g. "a serial line cannot run at 12345
// baud (it takes 50, 75, ... or 230400)"; empty when a line can.
std::string LineSetupProblem(const LineSetup &setup);

// The terminal state SetUpLine asks for, made on top of what the line reported
// in *state; false, leaving it alone, when the set-up has a problem.
bool MakeLineState(const LineSetup &setup, termios *state);

// Sets up the open terminal `fd`. False with *error when the set-up has a
// problem (above), the terminal's state cannot be read or written, or the
// device did not take the rate or framing as asked.
bool SetUpLine(int fd, const LineSetup &setup, std::string *error);

}  // namespace toolbox

#endif
