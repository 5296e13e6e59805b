// The module's one export. Everything a host asks of the driver comes through here.
#include "dispatch.h"

#if defined(_WIN32)
#  define VUZOV_EXPORT __declspec(dllexport)
#else
#  define VUZOV_EXPORT __attribute__((visibility("default")))
#endif

extern "C" VUZOV_EXPORT std::uint32_t ZemMain(vuzov::Request *request) {
  // An exception must never unwind into a host built with another compiler.
  try {
    return vuzov::DispatchRequest(request);
  } catch (...) {
    return vuzov::kFailed;
  }
}
