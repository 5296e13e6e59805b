// Builds without libmodbus (Windows): the server says it is not here.
#include "outputs/modbus/modbus_server.h"

namespace zemhost {

std::unique_ptr<ModbusServer> ModbusServer::Start(const ModbusOptions &,
                                                  const std::vector<ServedInstance> &,
                                                  ServerNotice, std::string *error) {
  *error = "this build of zemhost has no Modbus TCP server (it is in the Linux build)";
  return nullptr;
}

}  // namespace zemhost
