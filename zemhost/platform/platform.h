// What zemhost needs from the operating system: stop requests and keys for the
// main loop, the terminal, its own file, counts of its descriptors and threads, and a
// relay that puts zemhost between the driver and a serial device. One
// implementation file per platform, chosen in CMake.
#ifndef VUZOV_ZEMHOST_PLATFORM_H
#define VUZOV_ZEMHOST_PLATFORM_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host_interface.h"

namespace zemhost {

// Ctrl-C, SIGTERM and SIGHUP (or the console's close and the user's logoff)
// ask the run to stop; the live screen's keys arrive here too, and so does
// the news that the reader of standard output has gone. Open it before any
// thread starts: on POSIX it blocks the stop signals in every thread and reads
// them from a descriptor, so no work happens in a signal handler.
class Console {
 public:
  enum class Event { kTimeout, kStop, kKey, kOutputClosed };

  static std::unique_ptr<Console> Open(std::string *error);
  ~Console();  // gives the terminal back as it was
  Console(const Console &) = delete;
  Console &operator=(const Console &) = delete;

  // Reads single keys from a terminal on standard input, without echo; false
  // when standard input is no terminal.
  bool StartKeys();
  void StopKeys();
  // Waits up to `timeout` for a stop request, a key or the end of the pipe
  // on standard output.
  Event Wait(std::chrono::milliseconds timeout, int *key);
  // The signal number of the latest stop request (Windows: 2 for Ctrl-C and
  // Ctrl-Break, 1 for the console's close, logoff and shutdown).
  int StopSignal() const;

  struct Impl;

 private:
  explicit Console(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

bool StdoutIsTerminal();
// Rows and columns of the terminal on standard output (24 x 80 when unknown).
void TerminalSize(int *rows, int *cols);
// Makes the terminal take UTF-8 and ANSI sequences (Windows consoles need it).
void PrepareTerminalOutput();

// Ends the process now, without unloading anything or running destructors:
// for when driver code may still be running on another thread.
[[noreturn]] void EndProcessAtOnce(int status);
// Ends the process as command-line tools end when the reader of their output
// has gone: by SIGPIPE's default action on POSIX (a shell sees 141), with
// status 0 on Windows.
[[noreturn]] void EndForClosedOutput();

// The running program's own file, whatever argv[0] said (it is a bare name when
// the program was found on the PATH); empty when the system cannot tell.
std::string ProgramPath();

// The process's open descriptors (handles on Windows) and threads.
std::size_t CountOpenHandles();
std::size_t CountThreads();

// Why the tools and the driver cannot set a line up with these settings here
// ("a serial line cannot run at 12345 baud ..."); empty when they can. On
// Windows always empty: the COM port itself decides.
std::string LineSettingsProblem(const vuzov::LineSettings &line);

// Why the driver could not open a port, when another program holds the line
// ("/dev/ttyUSB0 is held by another program ..."); empty otherwise.
std::string LineHeldElsewhere(const std::string &port_name);
inline std::string LineHeldText(const std::string &device) {
  return device + " is held by another program (a host, a driver or another zemhost)";
}

// Bytes seen on a relayed line: from_driver for what the driver sent.
using RelayTrace = std::function<void(bool from_driver, const std::vector<std::uint8_t> &bytes)>;

// Opens the serial device the port name stands for with the instance's line
// settings, makes a pty, and copies bytes both ways on a thread of its own,
// reporting each burst. The driver opens the pty's slave (PortName()).
class LineRelay {
 public:
  // Claims the device as the driver does, so no other program shares it.
  // Null with *error when the device is held, or it or the pty cannot be opened.
  static std::unique_ptr<LineRelay> Open(const std::string &port_name,
                                         const vuzov::LineSettings &line, RelayTrace trace,
                                         std::string *error);
  ~LineRelay();  // stops the thread and closes the device and the pty
  LineRelay(const LineRelay &) = delete;
  LineRelay &operator=(const LineRelay &) = delete;

  // The name the driver opens, e.g. "pts/7".
  std::string PortName() const;

  struct Impl;

 private:
  explicit LineRelay(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace zemhost

#endif
