#include "driver_host.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "qarpro.h"

namespace vuzov_bench {
namespace {

using namespace vuzov;

constexpr char kShutDownLine[] = "ZODODA> ShutDown !";
constexpr auto kThreadEndTimeout = std::chrono::seconds(10);

struct LogState {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t shutdowns = 0;
  std::string last_complaint;
};

LogState &Log() {
  static LogState state;
  return state;
}

// Lines every start, reopen and stop logs; anything else is worth showing.
bool IsRoutine(const char *line) {
  static const char *const kRoutine[] = {
      "ZODODA> OpenCom() exited OK", "ZODODA> ColdStart() port",   "ZODODA> Start Unsoliceted",
      "ZODODA> CloseCom() exited 0", "ReOpenCom() exited 0",       "ZODODA> GetZemInfo()",
  };
  for (const char *prefix : kRoutine) {
    if (std::strncmp(line, prefix, std::strlen(prefix)) == 0) return true;
  }
  return false;
}

void OnLogLine(void *, std::int32_t, const char *line) {
  LogState &log = Log();
  std::lock_guard<std::mutex> lock(log.mutex);
  if (std::strcmp(line, kShutDownLine) == 0) {
    ++log.shutdowns;
    log.changed.notify_all();
  } else if (!IsRoutine(line)) {
    log.last_complaint = line;
  }
}

void CopyName(char (&field)[12], const std::string &name) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, name.data(), std::min(name.size(), sizeof field - 1));
}

}  // namespace

void HostLog::Install() { QarHostSetLogSink(&OnLogLine, nullptr); }

std::uint64_t HostLog::ShutDowns() {
  std::lock_guard<std::mutex> lock(Log().mutex);
  return Log().shutdowns;
}

bool HostLog::WaitForShutDowns(std::uint64_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(Log().mutex);
  return Log().changed.wait_for(lock, timeout, [count] { return Log().shutdowns >= count; });
}

std::string HostLog::LastComplaint() {
  std::lock_guard<std::mutex> lock(Log().mutex);
  return Log().last_complaint;
}

void LoadExchangeGates() {
  for (const char *name : {"CP1MS", "CP1ST", "CP1Z3"}) QarHostAddGate(name);
}

Instance::Instance(vuzov_loader::ZemMainFn zem_main, int number)
    : zem_main_(zem_main), number_(number) {}

Instance::~Instance() {
  ClosePort();
  EndThread();
}

std::uint32_t Instance::Call(std::uint32_t command, void *params) {
  Request request{};
  request.state = &state_;
  request.command = command;
  request.instance = number_;
  request.params = params;
  return zem_main_(&request);
}

std::uint32_t Instance::Start(const std::string &port_name, std::uint32_t timeout_units) {
  StartParams params{};
  CopyName(params.port_name, port_name);
  params.enable = 1;
  params.timeout = timeout_units;
  params.line = LineSettings{9600, 8, 0, 0};
  const std::uint32_t result = Call(kColdStart, &params);
  if (result == kOk) thread_started_ = true;
  return result;
}

std::uint32_t Instance::Read() {
  PointBlock point{};
  point.address = "CP1Z3";
  point.panel = 1;
  point.result = &result_word_;
  return Call(kSingleRead, &point);
}

std::uint32_t Instance::Write(char command) {
  char address[] = {'C', 'P', '1', command, '!', '\0'};
  PointBlock point{};
  point.address = address;
  point.panel = 1;
  point.result = write_status_;
  return Call(kSingleWrite, &point);
}

bool Instance::Acknowledged() const {
  std::uint16_t word = 0;
  std::memcpy(&word, write_status_ + offsetof(WriteStatus, acknowledged), sizeof word);
  return word == 1;
}

std::uint32_t Instance::ClosePort() { return Call(kCloseCom, nullptr); }

std::uint32_t Instance::ReopenPort() { return Call(kReOpenCom, nullptr); }

void Instance::EndThread() {
  if (!thread_started_) return;
  std::uint32_t slot = 0;
  std::memcpy(&slot, reinterpret_cast<const unsigned char *>(&state_) +
                         offsetof(InstanceState, client_id),
              sizeof slot);
  const auto client = static_cast<std::uint8_t>(slot & 0xFF);
  const std::uint64_t before = HostLog::ShutDowns();
  const unsigned char message[24] = {};
  if (QarHostPostMsg(client, message) != 0) return;
  if (!HostLog::WaitForShutDowns(before + 1, kThreadEndTimeout)) {
    // The thread still holds the state, which is about to go: stop here.
    std::fprintf(stderr, "bench: instance %d's thread did not end\n", number_);
    std::_Exit(3);
  }
}

Instances MakeInstances(vuzov_loader::ZemMainFn zem_main, int count) {
  Instances instances;
  for (int i = 1; i <= count; ++i) instances.push_back(std::make_unique<Instance>(zem_main, i));
  return instances;
}

}  // namespace vuzov_bench
