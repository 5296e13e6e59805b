// The live screen: the gates the panel has reported, with their last change
// time, a status line per instance and the latest log lines, drawn with ANSI
// sequences in place of the previous frame.
#ifndef VUZOV_ZEMHOST_LIVE_SCREEN_H
#define VUZOV_ZEMHOST_LIVE_SCREEN_H

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "events/event.h"
#include "events/hub.h"
#include "outputs/text_out.h"

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

// The live screen as a sink: it takes the driver's banner and the simulated
// label from the run's first events, draws the hub's table from the main
// loop when something changed (at most ten frames a second, and none while
// the terminal has not taken the last one), and at the run's end draws the
// last frame, gives the screen back and prints the summary below it.
class LiveScreen final : public EventSink {
 public:
  LiveScreen(const Hub &hub, TextOut &out) : hub_(hub), out_(out) {}
  void Take(const Event &event) override;
  void Tick() override;

 private:
  void Draw();  // caller holds mutex_

  const Hub &hub_;
  TextOut &out_;
  std::atomic<bool> changed_{true};
  std::mutex mutex_;
  ScreenHeader header_;
  bool began_ = false;
  double last_draw_ = -1;
};

}  // namespace zemhost

#endif
