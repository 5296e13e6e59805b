#include <windows.h>
#include <process.h>

#include "instance_thread.h"
#include "lifecycle.h"

namespace vuzov {
namespace {

void __cdecl RunInstance(void *state) { UnsolicitedThread(static_cast<InstanceState *>(state)); }

}  // namespace

bool StartInstanceThread(InstanceState *state) {
  // _beginthread closes the thread's handle itself when the thread ends.
  return _beginthread(&RunInstance, kInstanceThreadStack, state) != static_cast<uintptr_t>(-1);
}

void PauseMilliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace vuzov
