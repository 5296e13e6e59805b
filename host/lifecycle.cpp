// Instance lifecycle: start, purge, end, and the commands that close, reopen and
// reconfigure an instance's serial port; and the instance's waiting thread.
#include "lifecycle.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <map>
#include <mutex>

#include "dispatch.h"
#include "instance_thread.h"
#include "serial_port.h"

namespace vuzov {
namespace {

constexpr std::uint32_t kKeepTimeout = 0xFFFFFFFFu;
constexpr std::size_t kMessageSize = 24;

// A host port name, always terminated even when the host filled all 12 bytes.
struct PortName {
  char text[sizeof(PortBlock::name) + 1];
};

PortName NameOf(const char (&field)[12]) {
  PortName name{};
  std::memcpy(name.text, field, sizeof field);
  name.text[sizeof field] = '\0';
  return name;
}

// "NULLDEV" and "NUL" tell the port commands that the instance has no line.
bool MeansNoCommunications(const PortName &name) {
  return std::strcmp(name.text, "NULLDEV") == 0 || std::strcmp(name.text, "NUL") == 0;
}

// The log prints a port as the 32-bit number it is to the host: a descriptor, or
// the value of a Win32 handle. Only the overload for this platform's word is used.
[[maybe_unused]] unsigned HandleForLog(std::uint32_t descriptor) { return descriptor; }
[[maybe_unused]] unsigned HandleForLog(void *handle) {
  return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle));
}

// The client-id slot, addressed as bytes: the record is packed.
unsigned char *ClientIdSlot(InstanceState *state) {
  return reinterpret_cast<unsigned char *>(state) + offsetof(InstanceState, client_id);
}

std::uint8_t ClientIdOf(InstanceState *state) {
  return ClientIdSlot(state)[0];  // the host's id is the slot's first byte
}

// The ports this module opened and still holds, with the instance holding each.
// The host's state block is not cleared before its first start, so its port word
// may hold anything; only ports found here are ever closed on the module's own
// initiative.
class HeldPorts {
 public:
  void Add(PortWord port, const InstanceState *owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    owners_[port] = owner;
  }
  void Remove(PortWord port) {
    std::lock_guard<std::mutex> lock(mutex_);
    owners_.erase(port);
  }
  bool HeldBy(PortWord port, const InstanceState *owner) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = owners_.find(port);
    return found != owners_.end() && found->second == owner;
  }

 private:
  mutable std::mutex mutex_;
  std::map<PortWord, const InstanceState *> owners_;
};

HeldPorts &Held() {
  static HeldPorts held;
  return held;
}

// The states whose waiting thread is running. A second start of such an instance
// keeps its client and thread: a second thread would wait on the new client id
// in the same state, and one of the two would be left waiting on a client that
// no longer exists.
class WaitingThreads {
 public:
  void Add(const InstanceState *state) {
    std::lock_guard<std::mutex> lock(mutex_);
    states_[state] += 1;
  }
  void Remove(const InstanceState *state) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--states_[state] == 0) states_.erase(state);
  }
  bool Has(const InstanceState *state) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_.count(state) != 0;
  }

 private:
  mutable std::mutex mutex_;
  std::map<const InstanceState *, int> states_;
};

WaitingThreads &Waiting() {
  static WaitingThreads waiting;
  return waiting;
}

// Threads whose wait has ended and that are on their way out of the module. A
// host may unload the module as soon as it sees the last "ShutDown !" line;
// the unload then waits for those threads to leave the module's code first.
std::atomic<int> g_leaving_threads{0};

struct UnloadGuard {
  ~UnloadGuard() {
    for (int i = 0; i < 2000 && g_leaving_threads.load() > 0; ++i) PauseMilliseconds(1);
    // The last thread has a few instructions of its own to run after its count.
    PauseMilliseconds(5);
  }
} g_unload_guard;

// Closes the port in the state's word if this module opened it for this state.
void CloseIfHeld(InstanceState *state, PortWord port) {
  if (port == PortWord{} || !Held().HeldBy(port, state)) return;
  if (ClosePort(port) == kOk) Held().Remove(port);
}

// Puts a newly opened port in the state, closing the one it replaces.
void InstallPort(InstanceState *state, PortWord port) {
  const PortWord replaced = state->port;
  if (replaced != port) CloseIfHeld(state, replaced);
  Held().Add(port, state);
  state->port = port;
}

// Opens the port the state's own block names and puts it in the state, with the
// state's read timeout. The state's port word is left alone when the open fails.
bool ReopenFromBlock(InstanceState *state) {
  const PortWord port = OpenCom(state->port_block);
  if (port == PortWord{}) return false;
  InstallPort(state, port);
  SetReadTimeout(port, state->timeout);
  return true;
}

// Opens a port and remembers that this state holds it.
PortWord OpenComFor(InstanceState *state, const PortBlock &block) {
  const PortWord port = OpenCom(block);
  if (port != PortWord{}) Held().Add(port, state);
  return port;
}

// The port counts its read timeout in 32-bit milliseconds: beyond this many
// units (49.7 days) the wait wraps around.
constexpr std::uint32_t kLongestTimeout = 0xFFFFFFFFu / 10;

// A start timeout of 0 would let every read wait for ever, and one beyond
// kLongestTimeout (-1 or INT_MAX from a host) for weeks: one silent panel would
// hold the host's thread. Such a start gets the port's opening default.
std::uint32_t UsableStartTimeout(std::uint32_t timeout) {
  return timeout == 0 || timeout > kLongestTimeout ? kOpeningReadTimeout : timeout;
}

// 0 and 0xFFFFFFFF ask to keep the current timeout; so does any other value
// the port cannot wait for.
bool ChangesTimeout(std::uint32_t timeout) {
  return timeout != 0 && timeout != kKeepTimeout && timeout <= kLongestTimeout;
}

}  // namespace

PortWord OpenCom(const PortBlock &block) {
  const PortName name = NameOf(block.name);
  const LineSettings line = block.line;
  PortWord port{};
  if (OpenPort(name.text, line, block.flags, &port) != kPortOpened) {
    err(kLogNotice, "ZODODA> OpenCom() exited with error");
    return PortWord{};
  }
  err(kLogInfo, "ZODODA> OpenCom() exited OK, file handle %u", HandleForLog(port));
  return port;
}

std::uint32_t ColdStart(Request *request) {
  EndedFlag.store(0);
  if (request == nullptr || request->params == nullptr || request->state == nullptr) {
    return kFailed;
  }
  const StartParams params = *static_cast<const StartParams *>(request->params);
  if (params.enable == 0) return kOk;
  InstanceState *state = request->state;

  // A second start on a port this module holds for the state must not lose it.
  CloseIfHeld(state, state->port);
  const std::uint32_t timeout = UsableStartTimeout(params.timeout);
  state->timeout = timeout;
  state->port = PortWord{};

  PortBlock block{};
  std::memcpy(block.name, params.port_name, sizeof block.name);
  block.line = params.line;
  block.flags = 0;
  const PortName name = NameOf(block.name);
  const PortWord port = OpenComFor(state, block);
  if (port == PortWord{}) {
    // Sic, as every log text here: hosts match the driver's lines verbatim, so
    // their spelling and punctuation ("}" for ")", "Canot", "Unsoliced") stay.
    err(kLogInfo, "ZODODA> ColdStart() unable to open %s(tmout %d} port", name.text,
        static_cast<int>(params.timeout));
    return kNotPossible;
  }
  err(kLogInfo, "ZODODA> ColdStart() port %s opened, file handle %u", name.text,
      HandleForLog(port));
  state->port = port;
  SetReadTimeout(port, timeout);
  std::memcpy(state->port_block.name, block.name, sizeof block.name);
  state->port_block.line = block.line;

  if (Waiting().Has(state)) return kOk;  // its client and thread are still there

  char client_name[32];
  (void)std::snprintf(client_name, sizeof client_name, "VUZOV No_%02d",
                      static_cast<int>(request->instance));
  if (QarMkClient(client_name, 1, 0, ClientIdSlot(state)) != 0) return kNotPossible;

  Waiting().Add(state);
  if (!StartInstanceThread(state)) {
    Waiting().Remove(state);
    err(kLogNotice, "ZODODA> Canot open Unsoliced thread !!!");  // sic: matched verbatim
    return kFailed;
  }
  return kOk;
}

void UnsolicitedThread(InstanceState *state) {
  err(kLogNotice, "ZODODA> Start Unsoliceted Thread");  // sic: matched verbatim
  PauseMilliseconds(1000);
  unsigned char message[kMessageSize];
  // The host library paces this loop: each call blocks until a message comes.
  while (QarWaitMsg(ClientIdOf(state), message, 1) != 0) {
  }
  g_leaving_threads.fetch_add(1);
  QarRmClient(ClientIdOf(state));
  Waiting().Remove(state);
  err(kLogNotice, "ZODODA> ShutDown !");
  g_leaving_threads.fetch_sub(1);
}

std::uint32_t WarmStart(Request *request) {
  if (request == nullptr || request->state == nullptr) return kFailed;
  const PortWord port = request->state->port;
  if (port != PortWord{}) PurgePort(port);
  err(kLogInfo, "ZODODA> WarmStart() exited, 0");
  return kOk;
}

std::uint32_t CloseCom(Request *request) {
  if (request == nullptr || request->state == nullptr) return kFailed;
  InstanceState *state = request->state;
  const PortWord port = state->port;
  if (port != PortWord{}) {
    if (ClosePort(port) != kOk) {
      err(kLogInfo, "ZODODA> CloseCom() exited 2");
      return kFailed;
    }
    Held().Remove(port);
    state->port = PortWord{};
  }
  err(kLogInfo, "ZODODA> CloseCom() exited 0");
  return kOk;
}

std::uint32_t EndZem(Request *request) {
  if (request == nullptr || request->state == nullptr) return kFailed;
  EndedFlag.store(1);
  const std::uint32_t result = CloseCom(request);
  err(kLogInfo, "ZODODA> EndZem() exited, %d", static_cast<int>(result));
  return result;
}

std::uint32_t ReOpenCom(Request *request) {
  if (request == nullptr || request->state == nullptr) return kFailed;
  InstanceState *state = request->state;
  if (!MeansNoCommunications(NameOf(state->port_block.name))) {
    if (!ReopenFromBlock(state)) {
      err(kLogNotice, "ZODODA> ReOpenCom() exited 2");
      return kFailed;
    }
  } else {
    err(kLogInfo, "ZODODA> ReOpenCom() NULLDEV => no communications");
  }
  err(kLogInfo, "ReOpenCom() exited 0");  // sic, without the prefix: matched verbatim
  return kOk;
}

std::uint32_t ChangeZemParams(Request *request) {
  if (request == nullptr || request->params == nullptr || request->state == nullptr) {
    return kFailed;
  }
  const ChangeParams params = *static_cast<const ChangeParams *>(request->params);
  InstanceState *state = request->state;
  if (ChangesTimeout(params.timeout)) state->timeout = params.timeout;

  const PortName new_name = NameOf(params.port_name);
  const PortName old_name = NameOf(state->port_block.name);
  if (std::strcmp(new_name.text, old_name.text) != 0 && state->port != PortWord{}) {
    CloseCom(request);
  }
  std::memcpy(state->port_block.name, params.port_name, sizeof params.port_name);
  if (static_cast<std::int16_t>(params.line.baud) != 0) state->port_block.line = params.line;

  if (!MeansNoCommunications(new_name)) {
    if (!ReopenFromBlock(state)) {
      err(kLogInfo, "ZODODA> ChangeZemParams() exited 2");
      return kFailed;
    }
  } else {
    err(kLogInfo, "ZODODA> ChangeZemParams() NULLDEV => no communications");
  }
  return kOk;
}

}  // namespace vuzov
