// Internals of the POSIX serial layer that its tests look at.
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

}  // namespace vuzov

#endif
