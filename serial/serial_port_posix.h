// Internals of the POSIX serial layer that its tests look at, and the claim on
// a line that zemhost's trace relay makes exactly as the driver does.
#ifndef VUZOV_SERIAL_SERIAL_PORT_POSIX_H
#define VUZOV_SERIAL_SERIAL_PORT_POSIX_H

#include <termios.h>

#include <string>

#include "host_interface.h"

namespace vuzov {

// Host port names to device paths: "NUL" is the null device, "/..." is a path,
// "COMn" is the n-th serial port (/dev/ttyS(n-1)), anything else lives in /dev.
std::string DevicePathFor(const char *name);

// Turns the line settings into the termios state the layer asks for, on top of
// what the port reported. False for settings the line cannot take.
bool BuildLineState(const LineSettings &line, termios *tio);

// Makes an open line this process's alone: an exclusive lock, which every
// other claimant fails to get (root too), then TIOCEXCL, which keeps other
// users from even opening it. False, with errno set, when another open of the
// line holds the lock; nothing is changed then.
bool ClaimLine(int fd);
// Gives up TIOCEXCL before the close, so that the next open works for any
// user; the lock goes with the close.
void ReleaseLine(int fd);

}  // namespace vuzov

#endif
