// The live screen: the gates the panel has reported, with their last change
// time, a status line per instance and the latest log lines, drawn with ANSI
// sequences in place of the previous frame.
#ifndef VUZOV_ZEMHOST_LIVE_SCREEN_H
#define VUZOV_ZEMHOST_LIVE_SCREEN_H

#include <string>
#include <vector>

#include "events/events.h"

namespace zemhost {

struct ScreenHeader {
  std::vector<std::string> banner;  // the driver's banner lines, in UTF-8
  std::string driver_name;
  std::string simulated;  // the label of a run with a simulated panel; empty otherwise
};

// One frame for a terminal of rows x cols, starting at the top-left corner.
std::string RenderScreen(const ScreenHeader &header, const Snapshot &snapshot, int rows, int cols);

// Before the first frame and after the last: clear the screen and hide the
// cursor; show it again below the last frame.
std::string ScreenBegin();
std::string ScreenEnd();

}  // namespace zemhost

#endif
