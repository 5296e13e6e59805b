// The names a soak's hosts open their panels by: symbolic links in a directory
// the run owns, short enough for a host's port name (11 characters), such as
// /tmp/vs3k/1.
//
// A run holds an exclusive lock on its directory for as long as it lives, and
// the kernel drops the lock when the process dies, however it dies. A run that
// is killed cannot remove its links, and a link it leaves names a pty whose
// number the next pty made anywhere may take; so every run first sweeps the
// directories whose owner has gone, and no later run (or anyone else) can open
// a dead run's link.
#ifndef VUZOV_SOAK_LINKS_H
#define VUZOV_SOAK_LINKS_H

#include <string>
#include <vector>

#include "line.h"

namespace vuzov_soak {

// The most instances one directory names: one character each, 1-9 then a-g.
inline constexpr int kMostLinks = 16;

class LinkDirectory {
 public:
  LinkDirectory() = default;
  // Removes the links left in it, then the directory, then gives up the lock.
  ~LinkDirectory();
  LinkDirectory(LinkDirectory &&other) noexcept = default;
  LinkDirectory &operator=(LinkDirectory &&other) noexcept;
  LinkDirectory(const LinkDirectory &) = delete;
  LinkDirectory &operator=(const LinkDirectory &) = delete;

  // Makes a fresh directory "vs" plus two characters under `parent` and holds
  // it. `parent` must be short enough: "/tmp" leaves the links 11 characters.
  static bool Make(const std::string &parent, LinkDirectory *out, std::string *error);

  bool is_held() const { return static_cast<bool>(lock_); }
  const std::string &path() const { return path_; }
  // Where instance `number` (1 to kMostLinks) finds its panel.
  std::string LinkFor(int number) const;

 private:
  void Release();

  std::string path_;
  panelsim::UniqueFd lock_;  // the directory itself, opened and locked
};

// Under `parent`, removes the links of every run directory whose owner has
// died, and the directories. Directories of live runs, of other users, and
// anything not made by a run are left alone. Returns what it removed, as
// "<directory> (<n> links)".
std::vector<std::string> SweepDeadRuns(const std::string &parent);

}  // namespace vuzov_soak

#endif
