// The gateway on libmosquitto: one BrokerLink per instance, and the run's
// events sent to the link of the instance they belong to.
#include <mosquitto.h>

#include <memory>
#include <utility>

#include "outputs/mqtt/broker_link.h"
#include "outputs/mqtt/mqtt_gateway.h"
#include "outputs/mqtt/start_check.h"

namespace zemhost {
namespace {

// libmosquitto's process-wide set-up, for as long as a gateway lives.
class Library {
 public:
  Library() { mosquitto_lib_init(); }
  ~Library() { mosquitto_lib_cleanup(); }
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;
};

class MosquittoGateway final : public MqttGateway {
 public:
  explicit MosquittoGateway(const MqttOptions &options) : options_(options) {}
  ~MosquittoGateway() override { Stop(); }

  bool Open(const std::vector<GatewayInstance> &instances, const GatewayNotice &notice,
            std::string *error) {
    if (!ParseBrokerUrl(options_.url, &broker_, error)) return false;
    if (!options_.password_file.empty() &&
        !ReadPasswordFile(options_.password_file, &password_, error)) {
      return false;
    }
    std::vector<int> numbers;
    for (const GatewayInstance &instance : instances) numbers.push_back(instance.number);
    StartFindings found;
    if (!CheckBrokerAtStart(options_, broker_, password_, numbers, notice, &found, error)) {
      return false;
    }
    for (const GatewayInstance &instance : instances) {
      links_.push_back(std::make_unique<BrokerLink>(options_, broker_, password_, instance,
                                                    found.protocol, notice));
      links_.back()->Inherit(found.retained_zones[instance.number]);
      if (!links_.back()->Open(error)) return false;
    }
    return true;
  }

  void Stop() override {
    for (auto &link : links_) link->Stop();
  }

  void Take(const Event &event) override {
    BrokerLink *link = For(event.instance);
    std::visit(Overloaded{
                   [&](const GateStored &gate) {
                     if (link != nullptr) link->Gate(gate);
                   },
                   [&](const LogLine &line) {
                     if (link != nullptr) return link->Log(line.level, line.text);
                     // A line of the driver's own threads belongs to no one instance.
                     for (auto &each : links_) each->Log(line.level, line.text);
                   },
                   [&](const PollDone &poll) {
                     if (link != nullptr) link->Exchange(poll.result);
                   },
                   [&](const LinkChanged &change) {
                     if (link != nullptr) link->Link(change);
                   },
                   [&](const ZonesCleared &cleared) {
                     if (link != nullptr) link->ZonesCleared(cleared.why);
                   },
                   [&](const CommandDone &command) {
                     if (link != nullptr) {
                       link->CommandDone(command.point, command.result, command.acknowledged);
                     }
                   },
                   [](const auto &) {},
               },
               event.body);
  }

  void Tick() override {
    for (auto &link : links_) link->Tick();
  }

  std::vector<RemoteCommand> TakeCommands() override {
    std::vector<RemoteCommand> commands;
    for (auto &link : links_) link->TakeCommands(&commands);
    return commands;
  }

 private:
  // The instance's link; with a single instance, also what comes from
  // outside any instance's call.
  BrokerLink *For(int instance) {
    for (auto &link : links_) {
      if (link->instance() == instance) return link.get();
    }
    return links_.size() == 1 && instance == 0 ? links_.front().get() : nullptr;
  }

  const MqttOptions options_;
  BrokerAddress broker_;
  std::string password_;
  Library library_;
  std::vector<std::unique_ptr<BrokerLink>> links_;
};

}  // namespace

std::unique_ptr<MqttGateway> MqttGateway::Start(const MqttOptions &options,
                                                const std::vector<GatewayInstance> &instances,
                                                const GatewayNotice &notice, std::string *error) {
  auto gateway = std::make_unique<MosquittoGateway>(options);
  if (!gateway->Open(instances, notice, error)) return nullptr;
  return gateway;
}

}  // namespace zemhost
