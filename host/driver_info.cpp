// GetZemInfo: the driver's identity, the size of its state and its line defaults.
#include "dispatch.h"

namespace vuzov {

// The words of DriverInfo whose meaning is the host's: it expects these
// values, and the module has always written them.
constexpr std::uint32_t kHostWord0 = 810;
constexpr std::uint32_t kHostWord16 = 4;
constexpr std::uint32_t kHostWord28 = 3;

// One trailing blank, as hosts display it.
const char kDriverName[] = "FIREPANEL FP11x ";

// Code page 437 box: backspace and line feed, then three 73-column lines.
#define VUZOV_RULE_71                                                             \
  "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
  "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
  "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
  "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
const char kDriverBanner[] =
    "\x08\n"
    "\xC9" VUZOV_RULE_71 "\xBB\n"
    "\xBA" "                   " "VUZOV - Firepanel FP11x" "                             " "\xBA\n"
    "\xC8" VUZOV_RULE_71 "\xBC";
#undef VUZOV_RULE_71

static_assert(sizeof(kDriverBanner) == kDriverBannerLength + 1);

std::uint32_t GetZemInfo(Request *request) {
  if (request == nullptr || request->params == nullptr) return kFailed;
  auto *info = static_cast<DriverInfo *>(request->params);
  info->host_word0 = kHostWord0;
  info->name = kDriverName;
  info->banner = kDriverBanner;
  info->state_size = sizeof(InstanceState);
  info->host_word16 = kHostWord16;
  info->line = LineSettings{9600, 8, 0, 0};
  info->host_word28 = kHostWord28;
  err(kLogInfo, "ZODODA> GetZemInfo() exited");
  return kOk;
}

}  // namespace vuzov
