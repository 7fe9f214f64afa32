// The only injector of input: turns one action into input events sent one at a time, asks the
// action's continuation before every event, marks every event as the helper's own, and keeps the
// keys and buttons it pressed and has not released, so that an interrupted action can be undone.
// On the background path it acts through UI Automation patterns and control messages instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "protocol/json.h"

namespace velmora::computer_use {

// Physical pixels of the virtual screen.
struct PhysicalPoint {
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend bool operator==(const PhysicalPoint&, const PhysicalPoint&) = default;
};

// Asked before every injected event; false stops the action between two events.
using Continuation = std::function<bool()>;

// The key names of the "key" action: the table, else one UTF-16 unit through the layout.
std::optional<std::uint32_t> KeyNameToVirtualKey(platform::InputApi& input,
                                                 std::u16string_view name);
// "meta", "win", "super", "control", "ctrl", "alt", "option", "shift", ignoring letter case.
std::optional<std::uint32_t> ModifierToVirtualKey(std::u16string_view name);

class InputController {
 public:
  InputController(platform::InputApi& input, platform::DisplayApi& displays,
                  platform::WindowApi& windows, platform::MessageLoopApi& loops)
      : input_(input), displays_(displays), windows_(windows), loops_(loops) {}
  InputController(const InputController&) = delete;
  InputController& operator=(const InputController&) = delete;

  // Runs the action: on the foreground path with injected input, otherwise through the
  // background variants. False when it could not be done or was stopped; what was delivered
  // stays delivered, and what it holds stays recorded.
  bool Act(const Json& action, platform::UiaElement* element, std::optional<PhysicalPoint> point,
           bool foreground, Continuation continuation);
  // Releases every held key and button in one batch; from any thread.
  void ReleaseHeldInput();
  // No input from now on, for good; then releases what is held.
  void StopInput();
  bool IsStopped() const { return stopped_; }
  std::set<std::uint32_t> HeldKeys() const;
  std::set<std::uint32_t> HeldButtons() const;

  // The background variants, on the element itself, asking the continuation right before the
  // change.
  bool BackgroundClick(platform::UiaElement& element);
  bool BackgroundType(platform::UiaElement& element, std::u16string_view text);
  bool BackgroundScroll(platform::UiaElement& element, std::u16string_view direction,
                        std::u16string_view amount);

 private:
  bool Continue();
  bool ForegroundAct(std::u16string_view kind, const Json& action, platform::UiaElement* element,
                     std::optional<PhysicalPoint> point);
  bool InForegroundProcess(platform::UiaElement& element);
  bool Click(platform::UiaElement* element, int count, std::optional<PhysicalPoint> point);
  bool PressKeyChord(std::u16string_view key, const std::vector<std::u16string>& modifiers);
  bool TypeText(platform::UiaElement& element, std::u16string_view text);
  bool WheelScroll(std::u16string_view direction, std::u16string_view amount);
  bool SendInputs(const std::vector<platform::InputEvent>& events);
  // Under the mutex.
  bool SendOneInput(const platform::InputEvent& event);

  platform::InputApi& input_;
  platform::DisplayApi& displays_;
  platform::WindowApi& windows_;
  platform::MessageLoopApi& loops_;
  std::atomic<bool> stopped_{false};
  mutable std::mutex mutex_;  // every SendInput call and every change of the held sets
  Continuation continuation_;
  std::set<std::uint32_t> heldKeys_;     // virtual keys, or UTF-16 units with bit 16 set
  std::set<std::uint32_t> heldButtons_;  // the mouse "up" flags owed
};

}  // namespace velmora::computer_use
