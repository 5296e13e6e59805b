// ptylink: a serial line between two COM ports of a Wine prefix, for the Windows
// tests. It makes two ptys, points the links DIR/comA and DIR/comB at their slaves
// (the prefix maps COMn to DIR/comn), relays bytes between them, and runs the
// test program with VUZOV_TEST_PORT=COMA and VUZOV_TEST_PEER=COMB.
//
// Either side may close and reopen its port at any time; the pty stays. The panel
// side hangs up the line by creating the file named in VUZOV_TEST_HANGUP: the
// driver's pty is then replaced by a fresh one, so the driver's open handle sees
// the line go and its next open finds a new line.
//
// usage: ptylink DIR A B -- PROGRAM [ARGS...]
// Built for the machine that runs Wine, not for Windows.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Pty {
  int master = -1;
  std::string link;
};

bool OpenPty(Pty *pty) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return false;
  char name[128];
  if (::ptsname_r(master, name, sizeof name) != 0) return false;
  termios tio{};
  if (::tcgetattr(master, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(master, TCSANOW, &tio);
  }
  // Re-point the link in one step, so an opener never sees it missing.
  const std::string temporary = pty->link + ".new";
  ::unlink(temporary.c_str());
  if (::symlink(name, temporary.c_str()) != 0 || ::rename(temporary.c_str(), pty->link.c_str()) != 0) {
    ::close(master);
    return false;
  }
  if (pty->master >= 0) ::close(pty->master);
  pty->master = master;
  return true;
}

// Moves what one side wrote to the other. False when the source has hung up.
bool Relay(const Pty &from, const Pty &to) {
  char buffer[512];
  for (;;) {
    const ssize_t got = ::read(from.master, buffer, sizeof buffer);
    if (got < 0 && errno == EAGAIN) return true;
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    ssize_t done = 0;
    while (done < got) {
      const ssize_t sent = ::write(to.master, buffer + done, static_cast<size_t>(got - done));
      if (sent > 0) {
        done += sent;
      } else if (sent < 0 && errno == EAGAIN) {
        pollfd pfd{to.master, POLLOUT, 0};
        ::poll(&pfd, 1, 100);
      } else {
        break;  // the other side is closed: its bytes have nowhere to go
      }
    }
  }
}

volatile sig_atomic_t g_child_done = 0;
void OnChild(int) { g_child_done = 1; }

// A pty whose slave is closed reports a hang-up on every poll until the slave is
// opened again; such a side is left out of the poll and looked at again later.
bool SlaveClosed(int master) {
  pollfd pfd{master, POLLIN, 0};
  return ::poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLHUP) && !(pfd.revents & POLLIN);
}

// The Windows name of a file of this machine, as Wine maps the root to Z:.
std::string WineName(const std::string &path) {
  std::string name = "Z:" + path;
  for (char &c : name) {
    if (c == '/') c = '\\';
  }
  return name;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 6 || std::strcmp(argv[4], "--") != 0) {
    std::fprintf(stderr, "usage: ptylink DIR A B -- PROGRAM [ARGS...]\n");
    return 2;
  }
  const std::string dir = argv[1];
  Pty driver;
  Pty peer;
  driver.link = dir + "/com" + argv[2];
  peer.link = dir + "/com" + argv[3];
  const std::string hangup_file = driver.link + ".hangup";
  ::unlink(hangup_file.c_str());
  if (!OpenPty(&driver) || !OpenPty(&peer)) {
    std::fprintf(stderr, "ptylink: cannot make the ptys: %s\n", std::strerror(errno));
    return 2;
  }
  ::signal(SIGCHLD, OnChild);
  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("VUZOV_TEST_PORT", (std::string("COM") + argv[2]).c_str(), 1);
    ::setenv("VUZOV_TEST_PEER", (std::string("COM") + argv[3]).c_str(), 1);
    ::setenv("VUZOV_TEST_HANGUP", WineName(hangup_file).c_str(), 1);
    ::execvp(argv[5], argv + 5);
    std::perror("ptylink: exec");
    ::_exit(127);
  }
  while (!g_child_done) {
    struct stat info;
    if (::stat(hangup_file.c_str(), &info) == 0) {
      ::unlink(hangup_file.c_str());
      OpenPty(&driver);
    }
    pollfd fds[2];
    nfds_t count = 0;
    const bool driver_open = !SlaveClosed(driver.master);
    const bool peer_open = !SlaveClosed(peer.master);
    if (driver_open) fds[count++] = pollfd{driver.master, POLLIN, 0};
    if (peer_open) fds[count++] = pollfd{peer.master, POLLIN, 0};
    if (::poll(fds, count, 20) <= 0) continue;
    for (nfds_t i = 0; i < count; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      const bool from_driver = fds[i].fd == driver.master;
      Relay(from_driver ? driver : peer, from_driver ? peer : driver);
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::unlink(driver.link.c_str());
  ::unlink(peer.link.c_str());
  ::close(driver.master);
  ::close(peer.master);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
