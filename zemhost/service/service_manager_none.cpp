// Windows has no service manager of this kind: no one listens, and standard
// error is never the journal.
#include "service/service_manager.h"

namespace zemhost {

bool ServiceManagerListens() { return false; }

bool NotifyServiceManager(const std::string &, std::string *) { return true; }

std::optional<std::chrono::microseconds> ServiceWatchdogTimeout() { return std::nullopt; }

bool StandardErrorIsJournal() { return false; }

}  // namespace zemhost
