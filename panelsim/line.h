// The panel's end of the serial line: a pseudo-terminal whose slave side the
// host opens, or a real serial device for a null-modem cable.
#ifndef PANELSIM_LINE_H
#define PANELSIM_LINE_H

#include <string>

#include "unique_fd.h"

namespace panelsim {

// The tools' one owner of a file descriptor.
using toolbox::UniqueFd;

// Character framing on the wire; it sets how long a byte takes.
enum class Framing { k8N1, k8E1, k8O1, k8N2 };
unsigned BitsPerByte(Framing framing);
// "8N1", "8E1", "8O1" or "8N2".
bool ParseFraming(const std::string &text, Framing *out);
const char *FramingName(Framing framing);

struct LineSettings {
  std::string device;  // empty: create a pty
  unsigned baud = 9600;
  Framing framing = Framing::k8N1;
};

// One open line. The pty keeps a slave descriptor of its own, so the line stays
// up while the host closes and reopens its side.
class Line {
 public:
  Line() = default;
  // Creates the pty or opens and configures the device (raw, 8 data bits, no
  // flow control, non-blocking). A rate or framing the line cannot take is
  // refused, on a pty as on a device. A failed open closes what it opened.
  static bool Open(const LineSettings &settings, Line *out, std::string *error);

  int fd() const { return port_.get(); }
  bool is_open() const { return static_cast<bool>(port_); }
  // The pty slave the host opens, or the device.
  const std::string &path() const { return path_; }
  // Hangs up: the host's side of a pty sees end of line.
  void Close();

 private:
  UniqueFd port_;        // pty master or the device
  UniqueFd slave_hold_;  // pty only
  std::string path_;
};

// A symbolic link to the current line, so the host can be pointed at a fixed
// name. It never replaces anything but a symbolic link, and on destruction it
// removes the link if the link still points where it was last set.
class LinkOwner {
 public:
  LinkOwner() = default;
  ~LinkOwner() { Remove(); }
  LinkOwner(const LinkOwner &) = delete;
  LinkOwner &operator=(const LinkOwner &) = delete;

  // Points `link` at `target`, replacing the old link in one step.
  bool Point(const std::string &link, const std::string &target, std::string *error);
  void Remove();

 private:
  std::string link_;
  std::string target_;
};

}  // namespace panelsim

#endif
