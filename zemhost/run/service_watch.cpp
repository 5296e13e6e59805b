#include "run/service_watch.h"

#include "events/event_text.h"
#include "service/service_manager.h"

namespace zemhost {
namespace {

// The driver makes up to three attempts an exchange, each waiting up to one
// read timeout for the panel (docs/link-protocol.md).
constexpr int kDriverAttempts = 3;
constexpr Millis kReadTimeoutUnit{10};
constexpr Millis kPaceAllowance{1000};
// STATUS= changes with every poll's count; the manager hears it this often.
constexpr Millis kStatusEvery{1000};

// "instance 1 link down (3 failed exchanges in a row), 812 exchanges, 3 failed"
std::string InstanceLink(const InstanceStatus &status) {
  std::string text = "instance " + std::to_string(status.number) + " link " +
                     LinkStateName(status.link);
  if (status.link == LinkState::kDown && !status.link_why.empty()) {
    text += " (" + Shown(status.link_why) + ")";
  }
  return text + ", " + std::to_string(status.exchanges) + " exchanges, " +
         std::to_string(status.failures) + " failed";
}

std::string SecondsText(Millis length) {
  return Seconds(std::chrono::duration<double>(length).count()) + " s";
}

}  // namespace

Millis PaceBound(const InstanceConfig &instance, Millis interval) {
  return kDriverAttempts * static_cast<int>(instance.timeout) * kReadTimeoutUnit + interval +
         kPaceAllowance;
}

std::string LinkStatus(const std::vector<InstanceStatus> &instances) {
  std::string text;
  for (const InstanceStatus &status : instances) {
    text += (text.empty() ? "" : "; ") + InstanceLink(status);
  }
  return text;
}

ServiceWatch::ServiceWatch(const RunConfig &config, Hub &hub)
    : config_(config),
      hub_(hub),
      listening_(ServiceManagerListens()),
      watchdog_(listening_ ? ServiceWatchdogTimeout() : std::nullopt) {}

void ServiceWatch::Ready(const Instances &instances) {
  if (!listening_ || ready_) return;
  ready_ = true;
  const TimePoint now = SteadyClock::now();
  status_ = StatusLine();
  last_status_ = now;
  std::string assignments = "READY=1\nSTATUS=" + status_;
  if (watchdog_ && EveryPollerKeepsPace(instances, now)) {
    assignments += "\nWATCHDOG=1";
    last_ping_ = now;
  }
  Send(assignments);
  const std::string watchdog =
      watchdog_ ? "; the watchdog hears from it every " +
                      SecondsText(std::chrono::duration_cast<Millis>(*watchdog_ / 2)) +
                      " while every poller keeps its pace"
                : std::string();
  hub_.Report(0, Notice{"told the service manager the run is ready" + watchdog, Severity::kInfo});
}

void ServiceWatch::Tick(const Instances &instances) {
  if (!ready_ || stopping_) return;
  const TimePoint now = SteadyClock::now();
  if (watchdog_ && now - last_ping_ >= *watchdog_ / 2 && EveryPollerKeepsPace(instances, now)) {
    Send("WATCHDOG=1");
    last_ping_ = now;
  }
  if (now - last_status_ < kStatusEvery) return;
  std::string status = StatusLine();
  if (status == status_) return;
  status_ = std::move(status);
  last_status_ = now;
  Send("STATUS=" + status_);
}

void ServiceWatch::Stopping() {
  if (!listening_ || stopping_) return;
  stopping_ = true;
  Send("STOPPING=1\nSTATUS=shutting the driver down; " + StatusLine());
}

void ServiceWatch::Send(const std::string &assignments) {
  std::string error;
  if (NotifyServiceManager(assignments, &error) || failure_said_) return;
  failure_said_ = true;
  hub_.Report(0, Notice{error, Severity::kWarning});
}

bool ServiceWatch::EveryPollerKeepsPace(const Instances &instances, TimePoint now) {
  bool all = true;
  for (const auto &instance : instances) {
    if (!instance->poller) continue;
    const Millis bound = PaceBound(instance->config, config_.interval);
    const bool keeps = instance->poller->KeepsPace(now, bound);
    all = all && keeps;
    const std::string name = "instance " + std::to_string(instance->number);
    if (!keeps && behind_.insert(instance->number).second) {
      hub_.Report(instance->number,
                  Notice{name + ": the poller has not come round its loop for " +
                             SecondsText(instance->poller->SinceProgress(now)) + ", past its " +
                             SecondsText(bound) + ": the watchdog hears nothing until it does",
                         Severity::kWarning});
    } else if (keeps && behind_.erase(instance->number) > 0) {
      hub_.Report(instance->number,
                  Notice{name + ": the poller keeps its pace again", Severity::kNotice});
    }
  }
  return all;
}

std::string ServiceWatch::StatusLine() const { return LinkStatus(hub_.Take().instances); }

}  // namespace zemhost
