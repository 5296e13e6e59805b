// zemhost's exit statuses, as --help documents them, and the "carry on or end
// with this status" value the run's steps return.
#ifndef VUZOV_ZEMHOST_EXIT_STATUS_H
#define VUZOV_ZEMHOST_EXIT_STATUS_H

#include <optional>

namespace zemhost {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitModule = 3;
inline constexpr int kExitPort = 4;
// An output cannot start: the MQTT gateway (no broker, a refused login) or
// the Modbus TCP server (its port).
inline constexpr int kExitGateway = 5;
inline constexpr int kExitBroker = kExitGateway;
// Polling ran, but no poll of some instance was ever answered.
inline constexpr int kExitNoAnswer = 6;
// Standard output could not be written (a full disk, an I/O error); the run
// ends by its clean shutdown. A pipe whose reader went away is no error: the
// run ends as tools killed by SIGPIPE do.
inline constexpr int kExitOutput = kExitFailure;

// Empty: the step went well and the run goes on.
using Exit = std::optional<int>;

}  // namespace zemhost

#endif
