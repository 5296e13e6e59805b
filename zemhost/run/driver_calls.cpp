#include "run/driver_calls.h"

#include <algorithm>
#include <cstring>

namespace zemhost {

std::uint32_t GetZemInfo(ZemMainFn zem_main, vuzov::DriverInfo *info) {
  *info = vuzov::DriverInfo{};
  vuzov::Request request{};
  request.command = vuzov::kGetZemInfo;
  request.params = info;
  return zem_main(&request);
}

std::uint32_t CheckAddress(ZemMainFn zem_main, const std::string &address, int *panel) {
  vuzov::AddressBlock block{};
  block.address = address.c_str();
  block.panel = -1;
  vuzov::Request request{};
  request.command = vuzov::kSingleAddressParser;
  request.params = &block;
  const std::uint32_t result = zem_main(&request);
  const std::int32_t parsed = block.panel;
  if (result == vuzov::kOk) *panel = parsed;
  return result;
}

HostInstance::HostInstance(int number, std::uint32_t state_size, std::uint16_t flags,
                           DriverReports &reports)
    : number_(number), reports_(reports) {
  const std::size_t size = std::max<std::size_t>(state_size, sizeof(vuzov::InstanceState));
  storage_ = std::make_unique<std::uint8_t[]>(size);  // value-initialised: all zero
  State()->port_block.flags = flags;
}

vuzov::InstanceState *HostInstance::State() {
  return reinterpret_cast<vuzov::InstanceState *>(storage_.get());
}

// The host library writes the client's id into the first byte of the slot.
std::uint8_t HostInstance::ClientId() {
  std::uint8_t client = 0;
  std::memcpy(&client, &State()->client_id, 1);
  return client;
}

std::uint32_t HostInstance::Call(ZemMainFn zem_main, std::uint32_t command, void *params) {
  vuzov::Request request{};
  request.state = State();
  request.command = command;
  request.instance = number_;
  request.params = params;
  const DriverReports::Call call(reports_, number_);
  return zem_main(&request);
}

std::uint32_t HostInstance::ColdStart(ZemMainFn zem_main, const std::string &port,
                                      std::uint32_t timeout, const vuzov::LineSettings &line) {
  vuzov::StartParams params{};
  std::strncpy(params.port_name, port.c_str(), sizeof params.port_name - 1);
  params.enable = 1;
  params.timeout = timeout;
  params.line = line;
  return Call(zem_main, vuzov::kColdStart, &params);
}

std::uint32_t HostInstance::Read(ZemMainFn zem_main, const std::string &address, int panel,
                                 std::int32_t *value) {
  std::int32_t result_word = 0;
  vuzov::PointBlock block{};
  block.address = address.c_str();
  block.panel = panel;
  block.result = &result_word;
  const std::uint32_t result = Call(zem_main, vuzov::kSingleRead, &block);
  *value = result_word;
  return result;
}

std::uint32_t HostInstance::Write(ZemMainFn zem_main, const std::string &address, int panel,
                                  bool *acknowledged) {
  vuzov::WriteStatus status{};
  vuzov::PointBlock block{};
  block.address = address.c_str();
  block.panel = panel;
  block.result = &status;
  const std::uint32_t result = Call(zem_main, vuzov::kSingleWrite, &block);
  const std::uint16_t word = status.acknowledged;
  *acknowledged = word == 1;
  return result;
}

std::uint32_t HostInstance::CloseCom(ZemMainFn zem_main) {
  return Call(zem_main, vuzov::kCloseCom, nullptr);
}

std::uint32_t HostInstance::ReOpenCom(ZemMainFn zem_main) {
  return Call(zem_main, vuzov::kReOpenCom, nullptr);
}

std::uint32_t HostInstance::EndZem(ZemMainFn zem_main) {
  return Call(zem_main, vuzov::kEndZem, nullptr);
}

}  // namespace zemhost
