// The simulated panel as its own process: the panelsim program on a fresh pty,
// started with posix_spawn and ended with SIGTERM when its owner goes.
#ifndef VUZOV_BENCH_PANEL_PROCESS_H
#define VUZOV_BENCH_PANEL_PROCESS_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace vuzov_bench {

// A private folder under /tmp for scenarios and logs; removed with its files.
class WorkDir {
 public:
  WorkDir();
  ~WorkDir();
  WorkDir(const WorkDir &) = delete;
  WorkDir &operator=(const WorkDir &) = delete;
  bool ok() const { return !path_.empty(); }
  // A new file name inside the folder, removed with it.
  std::string NewFile(const std::string &stem);

 private:
  std::string path_;
  std::vector<std::string> files_;
};

struct PanelConfig {
  std::string program;        // the panelsim executable
  unsigned frame_length = 12;  // of every reply frame
  // Messages queued at the start: each poll gets a frame until they are all
  // acknowledged, and EOT after that. 0: every poll gets EOT.
  unsigned messages = 0;
  std::string link;  // when set, --link: a symbolic link kept pointing at the pty
};

class PanelProcess {
 public:
  // Starts panelsim and waits for the pty it prints; null, with *error set, when
  // it does not come up.
  static std::unique_ptr<PanelProcess> Spawn(const PanelConfig &config, WorkDir *dir,
                                             std::string *error);
  ~PanelProcess();  // SIGTERM, then reaps the process
  PanelProcess(const PanelProcess &) = delete;
  PanelProcess &operator=(const PanelProcess &) = delete;

  const std::string &SlavePath() const { return slave_path_; }  // /dev/pts/N
  // The name a host gives the driver for this line: "pts/N".
  std::string HostPortName() const;
  // CPU time the process's threads have run so far, in microseconds.
  double CpuMicros() const;

 private:
  PanelProcess() = default;
  pid_t pid_ = -1;
  toolbox::UniqueFd output_;  // the read end of the program's standard output
  std::string slave_path_;
};

}  // namespace vuzov_bench

#endif
