// The host's side of each command: it fills the records the driver reads and
// calls the module's entry point, as a SCADA host does.
#ifndef VUZOV_ZEMHOST_DRIVER_CALLS_H
#define VUZOV_ZEMHOST_DRIVER_CALLS_H

#include <cstdint>
#include <memory>
#include <string>

#include "host_interface.h"
#include "module_loader.h"
#include "run/driver_reports.h"

namespace zemhost {

using vuzov_loader::ZemMainFn;

// Command 14: the driver's name, banner, state size and line defaults.
std::uint32_t GetZemInfo(ZemMainFn zem_main, vuzov::DriverInfo *info);
// Command 3: 0 and the panel number when the driver accepts the address.
std::uint32_t CheckAddress(ZemMainFn zem_main, const std::string &address, int *panel);

// One instance's state block, owned by the host for the instance's whole life.
class HostInstance {
 public:
  // The block is `state_size` bytes (at least the records' own size), zeroed,
  // with the DTR/RTS flags word the driver uses when it reopens the port.
  // What the driver logs inside this instance's calls is reported as its.
  HostInstance(int number, std::uint32_t state_size, std::uint16_t flags,
               DriverReports &reports);

  int number() const { return number_; }
  // The host message client ColdStart made for the instance.
  std::uint8_t ClientId();

  std::uint32_t ColdStart(ZemMainFn zem_main, const std::string &port, std::uint32_t timeout,
                          const vuzov::LineSettings &line);
  // Command 5 on one point; *value gets the point's result word.
  std::uint32_t Read(ZemMainFn zem_main, const std::string &address, int panel,
                     std::int32_t *value);
  // Command 7 on a command point; *acknowledged is the driver's answer.
  std::uint32_t Write(ZemMainFn zem_main, const std::string &address, int panel,
                      bool *acknowledged);
  std::uint32_t CloseCom(ZemMainFn zem_main);
  std::uint32_t ReOpenCom(ZemMainFn zem_main);
  std::uint32_t EndZem(ZemMainFn zem_main);

 private:
  std::uint32_t Call(ZemMainFn zem_main, std::uint32_t command, void *params);
  vuzov::InstanceState *State();

  int number_;
  DriverReports &reports_;
  std::unique_ptr<std::uint8_t[]> storage_;
};

}  // namespace zemhost

#endif
