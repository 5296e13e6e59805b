// The platform's way of running an instance's own thread, and of pausing it.
#ifndef VUZOV_HOST_INSTANCE_THREAD_H
#define VUZOV_HOST_INSTANCE_THREAD_H

#include <cstdint>

#include "host_interface.h"

namespace vuzov {

// The stack the instance's thread asks for.
inline constexpr unsigned kInstanceThreadStack = 32768;

// Starts UnsolicitedThread(state) on a thread of its own, detached: no handle is
// kept and nobody joins it. False when the platform could not start it.
bool StartInstanceThread(InstanceState *state);

void PauseMilliseconds(std::uint32_t milliseconds);

}  // namespace vuzov

#endif
