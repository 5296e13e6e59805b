// The words a tool reports a failed system call in.
#ifndef VUZOV_TOOLBOX_ERRNO_TEXT_H
#define VUZOV_TOOLBOX_ERRNO_TEXT_H

#include <string>

namespace toolbox {

// "cannot open /dev/ttyUSB0: Permission denied": what failed and the system's
// reason. Take errno into a variable right after the failed call: any call
// made before this one may change it.
std::string ErrnoText(const std::string &what, int saved_errno);

}  // namespace toolbox

#endif
