// What a service manager (systemd) gives a program it runs, and what the
// program tells it back: the notify socket (READY=1, STATUS=, STOPPING=1 and
// the watchdog's WATCHDOG=1), the watchdog's timeout, and the journal on
// standard error. One implementation file per platform, chosen in CMake: the
// Linux one on libsystemd; Windows has no such manager, and there nothing is
// ever listening.
#ifndef VUZOV_ZEMHOST_SERVICE_MANAGER_H
#define VUZOV_ZEMHOST_SERVICE_MANAGER_H

#include <chrono>
#include <optional>
#include <string>

namespace zemhost {

// A service manager asked to be told how the run goes (NOTIFY_SOCKET is set).
bool ServiceManagerListens();

// Sends one notification, newline-separated "KEY=value" assignments in one
// datagram ("READY=1\nSTATUS=..."). False with *error when it could not be
// sent; true without sending when no one listens.
bool NotifyServiceManager(const std::string &assignments, std::string *error);

// How long the service manager waits for a WATCHDOG=1 before it ends the
// run (WATCHDOG_USEC, when WATCHDOG_PID is unset or names this process).
std::optional<std::chrono::microseconds> ServiceWatchdogTimeout();

// Standard error is the journal's stream (JOURNAL_STREAM names its device and
// inode): a line that starts with "<N>" is logged at syslog level N.
bool StandardErrorIsJournal();

}  // namespace zemhost

#endif
