#include "run/driver_reports.h"

#include <algorithm>
#include <string>

#include "qarpro.h"

namespace zemhost {

DriverReports::DriverReports(Hub &hub) : hub_(hub) {
  QarHostSetLogSink(&OnLogLine, this);
  QarHostSetGateSink(&OnGateStore, this);
}

// Once the setters return, no call of the sinks is running.
DriverReports::~DriverReports() {
  QarHostSetGateSink(nullptr, nullptr);
  QarHostSetLogSink(nullptr, nullptr);
}

void DriverReports::NoteClient(std::uint8_t client, int instance) {
  const std::lock_guard<std::mutex> lock(mutex_);
  clients_[client] = instance;
}

DriverReports::Call::Call(DriverReports &reports, int instance) : reports_(reports) {
  const std::lock_guard<std::mutex> lock(reports_.mutex_);
  reports_.calls_.emplace_back(std::this_thread::get_id(), instance);
}

DriverReports::Call::~Call() {
  const std::lock_guard<std::mutex> lock(reports_.mutex_);
  auto &calls = reports_.calls_;
  const auto here = std::find_if(calls.rbegin(), calls.rend(), [](const auto &call) {
    return call.first == std::this_thread::get_id();
  });
  if (here != calls.rend()) calls.erase(std::next(here).base());
}

int DriverReports::InstanceOfClient(std::uint8_t client) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = clients_.find(client);
  return found == clients_.end() ? 0 : found->second;
}

int DriverReports::InstanceCallingHere() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto here = std::find_if(calls_.rbegin(), calls_.rend(), [](const auto &call) {
    return call.first == std::this_thread::get_id();
  });
  return here == calls_.rend() ? 0 : here->second;
}

void DriverReports::OnLogLine(void *user, std::int32_t level, const char *line) {
  auto &reports = *static_cast<DriverReports *>(user);
  reports.hub_.Report(reports.InstanceCallingHere(), LogLine{level, line != nullptr ? line : ""});
}

void DriverReports::OnGateStore(void *user, std::uint8_t client, std::uint32_t, const char *name,
                                double value) {
  auto &reports = *static_cast<DriverReports *>(user);
  GateStored stored;
  stored.name = name != nullptr ? name : "";
  stored.value = value;
  reports.hub_.Report(reports.InstanceOfClient(client), std::move(stored));
}

}  // namespace zemhost
