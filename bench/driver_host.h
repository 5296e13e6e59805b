// The host side of the benchmark: the driver module loaded as a host loads it,
// the host library stand-in's log, and instances driven through ZemMain.
#ifndef VUZOV_BENCH_DRIVER_HOST_H
#define VUZOV_BENCH_DRIVER_HOST_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host_interface.h"
#include "module_loader.h"

namespace vuzov_bench {

// The host's log while the benchmark runs: lines are counted, not printed, and
// the last line that is not part of a normal start or stop is kept.
class HostLog {
 public:
  static void Install();
  static std::uint64_t ShutDowns();
  // Waits until at least `count` instance threads have logged their shutdown.
  static bool WaitForShutDowns(std::uint64_t count, std::chrono::milliseconds timeout);
  static std::string LastComplaint();
};

// Gates the host has for the zone alarms the simulated panels report.
void LoadExchangeGates();

// One instance of the driver, with the state block the host owns for it. Not
// movable: the instance's thread holds the state's address. The destructor
// closes the port, posts to the instance's client and keeps the state until the
// thread has logged that it ended.
class Instance {
 public:
  Instance(vuzov_loader::ZemMainFn zem_main, int number);
  ~Instance();
  Instance(const Instance &) = delete;
  Instance &operator=(const Instance &) = delete;

  // ColdStart on the port with the read timeout in 10 ms units, at 9600 8N1.
  std::uint32_t Start(const std::string &port_name, std::uint32_t timeout_units);
  std::uint32_t Read();               // SingleRead of "CP1Z3"
  std::uint32_t Write(char command);  // SingleWrite of "CP1<command>!"
  std::uint32_t ClosePort();          // CloseCom
  std::uint32_t ReopenPort();         // ReOpenCom
  std::int32_t ResultWord() const { return result_word_; }
  bool Acknowledged() const;

 private:
  std::uint32_t Call(std::uint32_t command, void *params);
  void EndThread();

  vuzov_loader::ZemMainFn zem_main_;
  int number_;
  vuzov::InstanceState state_{};
  bool thread_started_ = false;
  std::int32_t result_word_ = 0;
  unsigned char write_status_[sizeof(vuzov::WriteStatus)] = {};
};

using Instances = std::vector<std::unique_ptr<Instance>>;
Instances MakeInstances(vuzov_loader::ZemMainFn zem_main, int count);

}  // namespace vuzov_bench

#endif
