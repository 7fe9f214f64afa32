// The route of keyboard and mouse input on the simulated desktop, as the system takes it: every
// event goes to the low-level hooks first (the newest first, each waited for and skipped after
// the system's time-out), then to the application: keys to the foreground window's focused
// element, clicks and the wheel to the element under the pointer. Applications react alike to
// the user's input and to injected input, marked or not; only the hooks can tell them apart.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>

#include "platform/sim/sim_automation.h"
#include "platform/sim/sim_message_loop.h"
#include "platform/sim/sim_windows.h"

namespace velmora::computer_use::platform::sim {

class SimInput {
 public:
  SimInput(SimMessageLoops& loops, SimWindows& windows, SimAutomation& automation)
      : loops_(loops), windows_(windows), automation_(automation) {}

  // `flags` and `extraInfo` as the hooks see them (0 and 0 for the user's own keyboard).
  void SendKey(std::uint32_t virtualKey, bool down, std::uint32_t flags = 0,
               std::uintptr_t extraInfo = 0);
  // A mouse message at a point; `wheelDelta` for the wheel (120 = one notch away from the user).
  void SendMouse(std::uint32_t message, std::int32_t x, std::int32_t y, std::uint32_t flags = 0,
                 std::uintptr_t extraInfo = 0, std::int32_t wheelDelta = 0);
  // Brings the window to the foreground with the keyboard focus it had last.
  void ActivateWindow(WindowHandle window);
  bool IsKeyDown(std::uint32_t virtualKey) const;

 private:
  void ReactToKey(std::uint32_t virtualKey, bool shift, bool shortcut);
  void ReactToMouse(std::uint32_t message, std::int32_t x, std::int32_t y, std::int32_t wheelDelta);

  SimMessageLoops& loops_;
  SimWindows& windows_;
  SimAutomation& automation_;
  mutable std::mutex keysMutex_;
  std::set<std::uint32_t> keysDown_;
};

}  // namespace velmora::computer_use::platform::sim
