#include <windows.h>
#include <tlhelp32.h>

#include <atomic>

#include "platform/platform.h"

namespace zemhost {
namespace {

// Set by the console's control handler, once a request; the main loop waits
// on it.
std::atomic<HANDLE> g_stop_event{nullptr};
std::atomic<int> g_stop_signal{0};
// Set when the run is over and its console gone.
std::atomic<bool> g_run_over{false};

// How long a console close or a logoff may hold the process for its shutdown;
// the system ends it soon after anyway.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI OnConsoleControl(DWORD type) {
  const bool closing = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT ||
                       type == CTRL_SHUTDOWN_EVENT;
  g_stop_signal.store(closing ? 1 : 2);
  const HANDLE event = g_stop_event.load();
  if (event != nullptr) SetEvent(event);
  // The process ends when this returns from a close: hold it while the run
  // shuts the driver down.
  for (DWORD waited = 0; closing && !g_run_over.load() && waited < kCloseGraceMs; waited += 50) {
    Sleep(50);
  }
  return TRUE;
}

// Owns one handle. Move-only.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { Reset(); }
  Handle(Handle &&other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Handle &operator=(Handle &&other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void Reset() {
    if (*this) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace

// ---- Console ---------------------------------------------------------------

struct Console::Impl {
  Handle stop;
  bool keys = false;
  DWORD saved_mode = 0;
};

Console::Console(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Console> Console::Open(std::string *error) {
  auto impl = std::make_unique<Impl>();
  // Auto-reset: each request is seen once, so a second one can be told apart.
  impl->stop = Handle(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!impl->stop) {
    *error = "cannot create the stop event";
    return nullptr;
  }
  g_stop_event.store(impl->stop.get());
  if (!SetConsoleCtrlHandler(&OnConsoleControl, TRUE)) {
    g_stop_event.store(nullptr);
    *error = "cannot install the console control handler";
    return nullptr;
  }
  return std::unique_ptr<Console>(new Console(std::move(impl)));
}

Console::~Console() {
  StopKeys();
  SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
  g_stop_event.store(nullptr);
  g_run_over.store(true);
}

int Console::StopSignal() const { return g_stop_signal.load(); }

bool Console::StartKeys() {
  if (impl_->keys) return true;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &impl_->saved_mode)) {
    return false;
  }
  const DWORD raw = impl_->saved_mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
  if (!SetConsoleMode(input, raw)) return false;
  impl_->keys = true;
  return true;
}

void Console::StopKeys() {
  if (!impl_->keys) return;
  SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), impl_->saved_mode);
  impl_->keys = false;
}

Console::Event Console::Wait(std::chrono::milliseconds timeout, int *key) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE waits[2] = {impl_->stop.get(), input};
  const DWORD count = impl_->keys ? 2 : 1;
  const DWORD ready = WaitForMultipleObjects(count, waits, FALSE, static_cast<DWORD>(timeout.count()));
  if (ready == WAIT_OBJECT_0) return Event::kStop;
  if (count == 2 && ready == WAIT_OBJECT_0 + 1) {
    INPUT_RECORD record{};
    DWORD read = 0;
    if (ReadConsoleInputW(input, &record, 1, &read) && read == 1 && record.EventType == KEY_EVENT &&
        record.Event.KeyEvent.bKeyDown && record.Event.KeyEvent.uChar.UnicodeChar != 0) {
      *key = static_cast<int>(record.Event.KeyEvent.uChar.UnicodeChar);
      return Event::kKey;
    }
  }
  return Event::kTimeout;
}

// ---- Terminal and process --------------------------------------------------

bool StdoutIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void TerminalSize(int *rows, int *cols) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    *cols = info.srWindow.Right - info.srWindow.Left + 1;
  } else {
    *rows = 24;
    *cols = 80;
  }
}

void PrepareTerminalOutput() {
  SetConsoleOutputCP(CP_UTF8);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(output, &mode)) {
    SetConsoleMode(output, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */);
  }
}

void EndProcessAtOnce(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));  // not reached
}

// Windows has no SIGPIPE: a closed pipe is a quiet, successful end.
void EndForClosedOutput() { ExitProcess(0); }

// The driver's own serial layer sets the line up, and a COM port may well
// take a rate that has no name on POSIX: the port is the judge.
std::string LineSettingsProblem(const vuzov::LineSettings &) { return std::string(); }

std::string LineHeldElsewhere(const std::string &port_name) {
  if (port_name == "NUL") return std::string();
  // A COM port opens for one program at a time; the others are refused so.
  const std::string path = "\\\\.\\" + port_name;
  const Handle probe(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  if (probe || GetLastError() != ERROR_ACCESS_DENIED) return std::string();
  return LineHeldText(port_name);
}

std::string ProgramPath() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  // A full buffer means the path was cut short.
  if (length == 0 || length >= sizeof path) return std::string();
  return std::string(path, length);
}

std::size_t CountOpenHandles() {
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? count : 0;
}

std::size_t CountThreads() {
  Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  const DWORD self = GetCurrentProcessId();
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  std::size_t count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  return count;
}

// ---- LineRelay -------------------------------------------------------------

// Windows has no pty to put between the driver and a COM port.
struct LineRelay::Impl {};

LineRelay::LineRelay(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LineRelay::~LineRelay() = default;

std::unique_ptr<LineRelay> LineRelay::Open(const std::string &, const vuzov::LineSettings &,
                                           RelayTrace, std::string *error) {
  *error = "--trace on a real port needs the Linux build (it relays the line through a pty)";
  return nullptr;
}

std::string LineRelay::PortName() const { return std::string(); }

}  // namespace zemhost
