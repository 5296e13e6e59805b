// The gateway on libmosquitto: one BrokerLink per instance, and the run's
// events sent to the link of the instance they belong to.
#include <mosquitto.h>

#include <memory>
#include <utility>

#include "outputs/mqtt/broker_link.h"
#include "outputs/mqtt/mqtt_gateway.h"

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

  bool Open(const std::vector<int> &instances, const GatewayNotice &notice, std::string *error) {
    BrokerAddress broker;
    if (!ParseBrokerUrl(options_.url, &broker, error)) return false;
    std::string password;
    if (!options_.password_file.empty() &&
        !ReadPasswordFile(options_.password_file, &password, error)) {
      return false;
    }
    for (int instance : instances) {
      links_.push_back(std::make_unique<BrokerLink>(options_, broker, password, instance, notice));
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
                     if (link != nullptr) link->Gate(gate.name, gate.value);
                   },
                   [&](const LogLine &line) {
                     if (link != nullptr) return link->Log(line.level, line.text);
                     // A line of the driver's own threads belongs to no one instance.
                     for (auto &each : links_) each->Log(line.level, line.text);
                   },
                   [&](const PollDone &poll) {
                     if (link != nullptr) link->Exchange(poll.result);
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
  Library library_;
  std::vector<std::unique_ptr<BrokerLink>> links_;
};

}  // namespace

std::unique_ptr<MqttGateway> MqttGateway::Start(const MqttOptions &options,
                                                const std::vector<int> &instances,
                                                const GatewayNotice &notice, std::string *error) {
  auto gateway = std::make_unique<MosquittoGateway>(options);
  if (!gateway->Open(instances, notice, error)) return nullptr;
  return gateway;
}

}  // namespace zemhost
