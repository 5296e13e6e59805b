// Trimming a line of a file a user wrote (a config value, a gate list line).
#ifndef VUZOV_TOOLBOX_TRIM_H
#define VUZOV_TOOLBOX_TRIM_H

#include <string>
#include <string_view>

namespace toolbox {

// The text without the blanks around it: spaces, tabs, and the CR a file saved
// on Windows leaves at each line's end.
std::string Trim(std::string_view text);

}  // namespace toolbox

#endif
