// The service manager on Linux: systemd's notify protocol through libsystemd's
// sd_notify, which knows every form the socket's address takes (a path, an
// abstract name written with '@', a VSOCK address) and passes the sender's
// credentials as systemd checks them.
#include <systemd/sd-daemon.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/service_manager.h"

namespace zemhost {

bool ServiceManagerListens() {
  const char *socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && socket[0] != '\0';
}

bool NotifyServiceManager(const std::string &assignments, std::string *error) {
  const int sent = sd_notify(0, assignments.c_str());
  if (sent >= 0) return true;
  *error = std::string("cannot notify the service manager: ") + std::strerror(-sent);
  return false;
}

std::optional<std::chrono::microseconds> ServiceWatchdogTimeout() {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::nullopt;
  return std::chrono::microseconds(usec);
}

// "DEVICE:INODE" in decimal, as sd-daemon(3) describes JOURNAL_STREAM.
bool StandardErrorIsJournal() {
  const char *stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
  char rest = 0;
  if (std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &rest) != 2) return false;
  struct stat error_stream {};
  if (::fstat(STDERR_FILENO, &error_stream) != 0) return false;
  return static_cast<std::uintmax_t>(error_stream.st_dev) == device &&
         static_cast<std::uintmax_t>(error_stream.st_ino) == inode;
}

}  // namespace zemhost
