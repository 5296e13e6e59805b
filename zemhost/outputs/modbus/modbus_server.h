// zemhost as a building-management gateway: a Modbus TCP server that shows
// every instance as a unit (unit id = instance number) laid out by the
// register map (register_map.h), and takes panel commands when allowed. It is
// one more sink of the run's events: Take only updates the unit's registers
// under the unit's lock; the server's own thread answers the clients from
// them and never calls into the driver or waits for a poll. Commands go out
// through the run's command schedule, as the keys' and the broker's do.
#ifndef VUZOV_ZEMHOST_MODBUS_SERVER_H
#define VUZOV_ZEMHOST_MODBUS_SERVER_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/modbus_options.h"
#include "events/event.h"

namespace zemhost {

// An instance the server shows: its number (the unit id) and its panel
// number until the run shows the one its first point names.
struct ServedInstance {
  int number = 0;
  int panel = 1;
};

// zemhost's own word about the server ("modbus: serving ..."); said from the
// run's main loop (Tick).
using ServerNotice = std::function<void(const std::string &text)>;

class ModbusServer : public EventSink, public CommandSource {
 public:
  // Listens and starts the server's thread; clients are served from then on.
  // Null with *error when it cannot listen (the port is in use, no right to
  // a port below 1024) or this build has no server.
  static std::unique_ptr<ModbusServer> Start(const ModbusOptions &options,
                                             const std::vector<ServedInstance> &instances,
                                             ServerNotice notice, std::string *error);
  // Closes every connection and the listening socket and joins the server's
  // thread. Remove the server from the hub first.
  virtual void Stop() = 0;

 protected:
  ModbusServer() = default;
};

}  // namespace zemhost

#endif
