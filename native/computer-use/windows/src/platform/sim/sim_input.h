// The route of keyboard and mouse input on the simulated desktop, as the system takes it: every
// event goes to the low-level hooks first (the newest first, each waited for and skipped after
// the system's time-out), then to the application: keys to the foreground window's focused
// element, clicks and the wheel to the element under the pointer. Applications react alike to
// the user's input and to injected input, marked or not; only the hooks can tell them apart.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/displays.h"
#include "platform/input.h"
#include "platform/sim/sim_automation.h"
#include "platform/sim/sim_message_loop.h"
#include "platform/sim/sim_windows.h"

namespace velmora::computer_use::platform::sim {

// Also the helper's injection: SendInput events take the same route, flagged as injected.
class SimInput final : public InputApi {
 public:
  SimInput(SimMessageLoops& loops, SimWindows& windows, SimAutomation& automation,
           DisplayApi& displays)
      : loops_(loops), windows_(windows), automation_(automation), displays_(displays) {}

  // --- InputApi
  std::uint32_t SendInput(const std::vector<InputEvent>& events) override;
  std::int16_t VkKeyScan(char16_t character) override;
  bool IsKeyDown(std::uint32_t virtualKey) override;
  bool IsKeyToggled(std::uint32_t virtualKey) override;
  KeyboardLayout KeyboardLayoutOf(std::uint32_t threadId) override;
  std::u16string TranslateKey(std::uint32_t virtualKey, std::uint32_t scanCode,
                              const KeyState& keyState, KeyboardLayout layout) override;

  // Every event SendInput accepted, in order; and how many more it accepts (none: no limit).
  std::vector<InputEvent> SentEvents() const;
  void ClearSentEvents();
  void LimitAcceptedEvents(std::optional<std::size_t> remaining);
  // Called on the injecting thread after each accepted event has been delivered, so that a test
  // can play the user between two events of an action.
  void OnInjected(std::function<void(const InputEvent& event)> observer);
  // Where the pointer is, in physical screen pixels.
  std::int32_t CursorX() const;
  std::int32_t CursorY() const;

  // `flags` and `extraInfo` as the hooks see them (0 and 0 for the user's own keyboard).
  void SendKey(std::uint32_t virtualKey, bool down, std::uint32_t flags = 0,
               std::uintptr_t extraInfo = 0);
  // A mouse message at a point; `wheelDelta` for the wheel (120 = one notch away from the user).
  void SendMouse(std::uint32_t message, std::int32_t x, std::int32_t y, std::uint32_t flags = 0,
                 std::uintptr_t extraInfo = 0, std::int32_t wheelDelta = 0);
  // Brings the window to the foreground with the keyboard focus it had last.
  void ActivateWindow(WindowHandle window);

 private:
  void ReactToKey(std::uint32_t virtualKey, bool shift, bool shortcut);
  void Inject(const InputEvent& event);
  void ReactToMouse(std::uint32_t message, std::int32_t x, std::int32_t y, std::int32_t wheelDelta);

  SimMessageLoops& loops_;
  SimWindows& windows_;
  SimAutomation& automation_;
  DisplayApi& displays_;
  mutable std::mutex keysMutex_;  // also guards the pointer, the log and the limit
  std::set<std::uint32_t> keysDown_;
  bool capsLock_ = false;
  std::int32_t cursorX_ = 0;
  std::int32_t cursorY_ = 0;
  std::vector<InputEvent> sent_;
  std::optional<std::size_t> acceptLimit_;
  std::function<void(const InputEvent&)> injected_;
};

}  // namespace velmora::computer_use::platform::sim
