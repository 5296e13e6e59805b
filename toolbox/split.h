// Cutting a text a tool was given into its pieces: a list on the command line
// ("decode,exchange"), a banner of several lines.
#ifndef VUZOV_TOOLBOX_SPLIT_H
#define VUZOV_TOOLBOX_SPLIT_H

#include <string>
#include <string_view>
#include <vector>

namespace toolbox {

// The pieces of `text` between the separators, in order, the empty ones left
// out: "a,,b," is {"a", "b"}.
std::vector<std::string> SplitNonEmpty(std::string_view text, char separator);

}  // namespace toolbox

#endif
