// The server on libmodbus: a unit's registers per instance, fed by the run's
// events; the network side (tcp_service) answers clients from them; commands
// written by a client wait here for the run's loop, each with a ticket that
// its result comes back with.
#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

#include "outputs/modbus/modbus_server.h"
#include "outputs/modbus/register_map.h"
#include "outputs/modbus/server_notes.h"
#include "outputs/modbus/tcp_service.h"
#include "outputs/modbus/unit_state.h"

namespace zemhost {
namespace {

using modbus::Clock;
using modbus::NoteKind;

std::string UnitsText(const std::vector<ServedInstance> &instances) {
  if (instances.size() == 1) return "unit 1 (and 255) is instance 1";
  return "units 1 to " + std::to_string(instances.size()) + " are instances 1 to " +
         std::to_string(instances.size());
}

class LibmodbusServer final : public ModbusServer {
 public:
  LibmodbusServer(const ModbusOptions &options, const std::vector<ServedInstance> &instances,
                  ServerNotice notice)
      : options_(options), notice_(std::move(notice)) {
    for (const ServedInstance &instance : instances) {
      units_.push_back(std::make_unique<modbus::UnitState>(instance.number, instance.panel,
                                                           options.zones, options.commands));
    }
  }
  ~LibmodbusServer() override { Stop(); }

  bool Open(const std::vector<ServedInstance> &instances, std::string *error) {
    modbus::ServiceSettings settings;
    if (!ParseListenAddress(options_.listen, &settings.listen, error)) return false;
    for (const std::string &text : options_.allow) {
      AddressRule rule;
      if (!ParseAddressRule(text, &rule, error)) return false;
      settings.allow.push_back(rule);
    }
    settings.tables.instances = static_cast<int>(units_.size());
    settings.tables.discrete_inputs = modbus::DiscreteInputCount(options_.zones);
    settings.tables.input_registers = modbus::InputRegisterCount(options_.zones);
    settings.tables.holding_registers = options_.commands ? modbus::kHoldingSize : 0;
    settings.tables.commands = options_.commands;
    settings.max_clients = options_.max_clients;
    settings.request_timeout = options_.request_timeout;
    settings.idle_timeout = options_.idle_timeout;
    service_ = std::make_unique<modbus::TcpService>(
        std::move(settings), units_,
        [this](int instance, std::uint16_t code) { Written(instance, code); }, notes_);
    if (!service_->Open(error)) return false;
    notes_.Note(NoteKind::kOnce, "serving Modbus TCP on " + service_->Where() + ": " +
                                     UnitsText(instances) + "; commands " +
                                     (options_.commands ? "taken" : "refused"));
    service_->Start();
    return true;
  }

  void Stop() override {
    if (service_) service_->Stop();
  }

  void Take(const Event &event) override {
    modbus::UnitState *unit = For(event.instance);
    if (unit == nullptr) return;
    std::visit(Overloaded{
                   [&](const GateStored &gate) {
                     const std::string outside = unit->Gate(gate.name, gate.value);
                     if (!outside.empty()) notes_.Note(NoteKind::kOnce, outside);
                   },
                   [&](const PollDone &poll) { unit->Exchanged(poll.result == 0, Clock::now()); },
                   [&](const CommandDone &command) {
                     unit->Exchanged(command.result == 0, Clock::now());
                     unit->CommandDone(command.ticket, command.result, command.acknowledged);
                   },
                   [&](const LinkChanged &change) { unit->LinkIs(change.state); },
                   [&](const InstanceShown &shown) { unit->Shown(shown.panel); },
                   [](const auto &) {},
               },
               event.body);
  }

  void Tick() override { notes_.SayDue(notice_, Clock::now()); }

  std::vector<RemoteCommand> TakeCommands() override {
    const std::lock_guard<std::mutex> lock(commands_mutex_);
    std::vector<RemoteCommand> taken;
    taken.swap(commands_);
    return taken;
  }

 private:
  modbus::UnitState *For(int instance) {
    if (instance < 1 || instance > static_cast<int>(units_.size())) return nullptr;
    return units_[static_cast<std::size_t>(instance - 1)].get();
  }

  // On the server's thread. The unit knows the ticket before the command can
  // go out, so its result cannot come back unrecognised.
  void Written(int instance, std::uint16_t code) {
    std::uint32_t ticket = 0;
    {
      const std::lock_guard<std::mutex> lock(commands_mutex_);
      ticket = ++last_ticket_ == 0 ? ++last_ticket_ : last_ticket_;
    }
    For(instance)->CommandTaken(code, ticket);
    const std::lock_guard<std::mutex> lock(commands_mutex_);
    commands_.push_back(RemoteCommand{instance, modbus::CommandLetter(code), ticket});
  }

  const ModbusOptions options_;
  const ServerNotice notice_;
  std::vector<std::unique_ptr<modbus::UnitState>> units_;
  modbus::ServerNotes notes_;
  std::unique_ptr<modbus::TcpService> service_;

  std::mutex commands_mutex_;
  std::vector<RemoteCommand> commands_;
  std::uint32_t last_ticket_ = 0;
};

}  // namespace

std::unique_ptr<ModbusServer> ModbusServer::Start(const ModbusOptions &options,
                                                  const std::vector<ServedInstance> &instances,
                                                  ServerNotice notice, std::string *error) {
  auto server = std::make_unique<LibmodbusServer>(options, instances, std::move(notice));
  if (!server->Open(instances, error)) return nullptr;
  return server;
}

}  // namespace zemhost
