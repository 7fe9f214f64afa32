#include "platform/sim/sim_input.h"

#include "platform/sim/sim_keyboard_layout.h"

namespace velmora::computer_use::platform::sim {
namespace {

constexpr std::uint32_t kLlkhfAltDown = 0x20;
constexpr std::uint32_t kLlkhfUp = 0x80;
constexpr std::uint32_t kVkLeftShift = 0xA0;
constexpr std::uint32_t kVkRightShift = 0xA1;
// One notch of the wheel scrolls a tenth of a list.
constexpr double kScrollPercentPerNotch = 10.0;

}  // namespace

bool SimInput::IsKeyDown(std::uint32_t virtualKey) const {
  std::lock_guard lock(keysMutex_);
  return keysDown_.count(virtualKey) != 0;
}

void SimInput::SendKey(std::uint32_t virtualKey, bool down, std::uint32_t flags,
                       std::uintptr_t extraInfo) {
  bool alt = false;
  bool shift = false;
  bool shortcut = false;
  {
    std::lock_guard lock(keysMutex_);
    if (down) {
      keysDown_.insert(virtualKey);
    } else {
      keysDown_.erase(virtualKey);
    }
    alt = keysDown_.count(kVkMenu) != 0;
    shift = keysDown_.count(kVkShift) != 0 || keysDown_.count(kVkLeftShift) != 0 ||
            keysDown_.count(kVkRightShift) != 0;
    shortcut = alt || keysDown_.count(kVkControl) != 0;
  }
  // With Alt held the system reports the keys as system keys.
  std::uint32_t message = down ? kWmKeyDown : kWmKeyUp;
  if (alt && virtualKey != kVkMenu) message = down ? kWmSysKeyDown : kWmSysKeyUp;
  if (alt && virtualKey == kVkMenu && down) message = kWmSysKeyDown;
  if (alt) flags |= kLlkhfAltDown;
  if (!down) flags |= kLlkhfUp;
  loops_.DeliverKeyboardEvent(KeyboardHookEvent{message, virtualKey, flags, extraInfo});
  if (down) ReactToKey(virtualKey, shift, shortcut);
}

void SimInput::ReactToKey(std::uint32_t virtualKey, bool shift, bool shortcut) {
  const WindowHandle foreground = windows_.ForegroundWindow();
  if (foreground == kNullWindow || shortcut) return;
  const SimElementId focused = automation_.FocusedElementIn(windows_.RootWindow(foreground));
  if (focused == 0) return;
  if (virtualKey == kVkBack) {
    automation_.EraseCharacter(focused);
  } else if (virtualKey == kVkReturn) {
    automation_.Activate(focused);
  } else if (const std::optional<char16_t> character = CharacterForKey(virtualKey, shift)) {
    // Space types into a field and presses anything else.
    if (!automation_.TypeCharacter(focused, *character) && virtualKey == kVkSpace) {
      automation_.Activate(focused);
    }
  }
}

void SimInput::SendMouse(std::uint32_t message, std::int32_t x, std::int32_t y, std::uint32_t flags,
                         std::uintptr_t extraInfo, std::int32_t wheelDelta) {
  loops_.DeliverMouseEvent(MouseHookEvent{message, x, y, flags, extraInfo});
  ReactToMouse(message, x, y, wheelDelta);
}

void SimInput::ActivateWindow(WindowHandle window) {
  windows_.Activate(window);
  if (const SimElementId focused = automation_.FocusedElementIn(window)) {
    automation_.SetFocusedElement(focused);
  }
}

void SimInput::ReactToMouse(std::uint32_t message, std::int32_t x, std::int32_t y,
                            std::int32_t wheelDelta) {
  const WindowHandle hit = windows_.WindowFromPoint(x, y);
  if (hit == kNullWindow) return;
  const WindowHandle window = windows_.RootWindow(hit);
  const SimElementId element = automation_.ElementAt(window, x, y);
  switch (message) {
    case kWmLButtonDown:
    case kWmRButtonDown:
    case kWmMButtonDown:
      // A press brings its window forward; the left button also takes the focus there.
      if (windows_.ForegroundWindow() != window) ActivateWindow(window);
      if (message == kWmLButtonDown && element != 0) automation_.SetFocusedElement(element);
      break;
    case kWmLButtonUp:
      if (element != 0) automation_.Activate(element);
      break;
    case kWmMouseWheel:
      if (const SimElementId list = automation_.NearestWithPattern(element, kUiaScrollPatternId)) {
        automation_.ScrollVertically(list, -kScrollPercentPerNotch * wheelDelta / 120.0);
      }
      break;
    default:
      break;
  }
}

}  // namespace velmora::computer_use::platform::sim
