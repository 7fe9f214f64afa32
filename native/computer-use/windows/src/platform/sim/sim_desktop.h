// The simulated desktop: one session, its input desktop, top-level windows, the foreground,
// per-thread message loops, processes and monitors, as one world with a part for each area of
// the seam. Tests drive each part as the world would: the session locks, the input desktop
// switches, a window closes, a query fails.
#pragma once

#include "platform/sim/sim_displays.h"
#include "platform/sim/sim_message_loop.h"
#include "platform/sim/sim_process_info.h"
#include "platform/sim/sim_session.h"
#include "platform/sim/sim_windows.h"
#include "platform/sim/sim_world.h"

namespace velmora::computer_use::platform::sim {

class SimDesktop {
 public:
  SimDesktop() = default;
  SimDesktop(const SimDesktop&) = delete;
  SimDesktop& operator=(const SimDesktop&) = delete;

  SimSessions& Sessions() { return sessions_; }
  SimWindows& Windows() { return windows_; }
  SimMessageLoops& MessageLoops() { return messageLoops_; }
  SimProcessInfo& ProcessInfo() { return processInfo_; }
  SimDisplays& Displays() { return displays_; }

 private:
  // The world first: the parts hold references to it.
  SimWorld world_;
  SimSessions sessions_{world_};
  SimWindows windows_{world_};
  SimMessageLoops messageLoops_{world_};
  SimProcessInfo processInfo_{world_};
  SimDisplays displays_{world_};
};

}  // namespace velmora::computer_use::platform::sim
