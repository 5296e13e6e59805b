#include "errno_text.h"

#include <cstring>

namespace toolbox {

std::string ErrnoText(const std::string &what, int saved_errno) {
  return what + ": " + std::strerror(saved_errno);
}

}  // namespace toolbox
