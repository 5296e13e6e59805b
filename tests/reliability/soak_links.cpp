#include "soak_links.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace vuzov_soak {
namespace {

constexpr char kPrefix[] = "vs";
constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr std::size_t kLetters = sizeof kAlphabet - 1;
// Made only while the run holds the directory's lock: a directory without it
// is either not a run's or one still being made.
constexpr char kMarker[] = ".vuzov-soak";
constexpr char kInstanceNames[] = "123456789abcdefg";

bool IsRunDirectoryName(const char *name) {
  const auto letter = [](char c) { return c != '\0' && std::strchr(kAlphabet, c) != nullptr; };
  return std::strncmp(name, kPrefix, 2) == 0 && letter(name[2]) && letter(name[3]) &&
         name[4] == '\0';
}

std::string Failure(const std::string &what, int saved_errno) {
  return what + ": " + std::strerror(saved_errno);
}

panelsim::UniqueFd OpenDirectory(const std::string &path) {
  return panelsim::UniqueFd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool TryLock(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; }

// Removes the symbolic links and the marker in a directory held locked, then
// the directory; anything else in it keeps the directory. The links counted.
int EmptyAndRemove(int directory_fd, const std::string &path) {
  panelsim::UniqueFd listing_fd(dup(directory_fd));
  DIR *listing = listing_fd ? fdopendir(listing_fd.get()) : nullptr;
  if (listing == nullptr) return 0;
  listing_fd.release();  // the listing owns it now
  int links = 0;
  while (const dirent *entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info {};
    if (fstatat(directory_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const bool link = S_ISLNK(info.st_mode);
    if (!link && !(name == kMarker && S_ISREG(info.st_mode))) continue;
    if (unlinkat(directory_fd, name.c_str(), 0) == 0 && link) ++links;
  }
  closedir(listing);
  rmdir(path.c_str());
  return links;
}

}  // namespace

LinkDirectory::~LinkDirectory() { Release(); }

LinkDirectory &LinkDirectory::operator=(LinkDirectory &&other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::move(other.path_);
    lock_ = std::move(other.lock_);
  }
  return *this;
}

void LinkDirectory::Release() {
  if (!lock_) return;
  EmptyAndRemove(lock_.get(), path_);
  lock_.reset();  // the lock goes last: until the directory is gone it is ours
  path_.clear();
}

bool LinkDirectory::Make(const std::string &parent, LinkDirectory *out, std::string *error) {
  // Start anywhere among the names and try each once, so that runs started
  // together do not queue up on the same ones.
  const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::size_t start = static_cast<std::size_t>(ticks) ^ static_cast<std::size_t>(getpid());
  for (std::size_t n = 0; n < kLetters * kLetters; ++n) {
    const std::size_t pick = (start + n) % (kLetters * kLetters);
    const std::string path = parent + "/" + kPrefix + kAlphabet[pick / kLetters] +
                             kAlphabet[pick % kLetters];
    if (mkdir(path.c_str(), 0755) != 0) {
      if (errno == EEXIST) continue;
      *error = Failure("cannot make " + path, errno);
      return false;
    }
    panelsim::UniqueFd directory = OpenDirectory(path);
    // A sweeper holds it for the moment: it is not ours to mark; make another.
    if (!directory || !TryLock(directory.get())) {
      rmdir(path.c_str());
      continue;
    }
    const int marker =
        openat(directory.get(), kMarker, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (marker < 0) {
      *error = Failure("cannot mark " + path, errno);
      rmdir(path.c_str());
      return false;
    }
    close(marker);
    LinkDirectory made;
    made.path_ = path;
    made.lock_ = std::move(directory);
    *out = std::move(made);
    return true;
  }
  *error = "every name for a link directory under " + parent + " is taken";
  return false;
}

std::string LinkDirectory::LinkFor(int number) const {
  if (number < 1 || number > kMostLinks) return std::string();
  return path_ + "/" + kInstanceNames[number - 1];
}

std::vector<std::string> SweepDeadRuns(const std::string &parent) {
  std::vector<std::string> swept;
  DIR *listing = opendir(parent.c_str());
  if (listing == nullptr) return swept;
  while (const dirent *entry = readdir(listing)) {
    if (!IsRunDirectoryName(entry->d_name)) continue;
    const std::string path = parent + "/" + entry->d_name;
    panelsim::UniqueFd directory = OpenDirectory(path);
    struct stat info {};
    if (!directory || fstat(directory.get(), &info) != 0 || info.st_uid != geteuid()) continue;
    struct stat marker {};
    if (fstatat(directory.get(), kMarker, &marker, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(marker.st_mode)) {
      continue;  // not a run's, or one being made
    }
    if (!TryLock(directory.get())) continue;  // its run is alive
    const int links = EmptyAndRemove(directory.get(), path);
    swept.push_back(path + " (" + std::to_string(links) + (links == 1 ? " link)" : " links)"));
  }
  closedir(listing);
  return swept;
}

}  // namespace vuzov_soak
