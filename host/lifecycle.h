// Bringing an instance up and down and managing its serial port.
#ifndef VUZOV_HOST_LIFECYCLE_H
#define VUZOV_HOST_LIFECYCLE_H

#include <cstdint>

#include "host_interface.h"

namespace vuzov {

std::uint32_t ColdStart(Request *request);        // command 1
std::uint32_t WarmStart(Request *request);        // command 2
std::uint32_t EndZem(Request *request);           // command 11
std::uint32_t CloseCom(Request *request);         // command 12
std::uint32_t ReOpenCom(Request *request);        // command 13
std::uint32_t ChangeZemParams(Request *request);  // command 15

// Opens and configures the port the block names: the new handle, or 0.
PortWord OpenCom(const PortBlock &block);

// Body of an instance's own thread: waits on the host message client until the
// host posts to it, then removes the client.
void UnsolicitedThread(InstanceState *state);

}  // namespace vuzov

#endif
