// The module's side of its entry point: the table of command handlers behind
// ZemMain, the module-wide ended state, and the driver information GetZemInfo
// hands out. None of it crosses the boundary; the records do (contract/).
#ifndef VUZOV_HOST_DISPATCH_H
#define VUZOV_HOST_DISPATCH_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "host_interface.h"

namespace vuzov {

using Handler = std::uint32_t (*)(Request *);

// Slot i serves command code i + 1; an empty slot is nullptr.
extern const Handler CommandTable[kCommandCount];

// Set by EndZem, cleared by ColdStart; while set, ZemMain answers 0 to everything.
// Shared by every instance the host runs through this loaded module.
extern std::atomic<std::uint32_t> EndedFlag;

// The dispatcher behind the exported entry point.
std::uint32_t DispatchRequest(Request *request);

std::uint32_t GetZemInfo(Request *request);  // command 14

// The strings GetZemInfo hands out.
extern const char kDriverName[];
extern const char kDriverBanner[];
inline constexpr std::size_t kDriverBannerLength = 223;

}  // namespace vuzov

#endif
