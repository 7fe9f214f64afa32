#include "platform/sim/sim_input.h"

#include <utility>

#include "platform/sim/sim_keyboard_layout.h"

namespace velmora::computer_use::platform::sim {
namespace {

constexpr std::uint32_t kLlkhfAltDown = 0x20;
constexpr std::uint32_t kLlkhfUp = 0x80;
constexpr std::uint32_t kVkLeftShift = 0xA0;
constexpr std::uint32_t kVkRightShift = 0xA1;
// The simulated desktop's one layout, as GetKeyboardLayout gives US English.
constexpr KeyboardLayout kUsLayout = 0x04090409;

// The simulated layout needs no scan codes: the virtual key stands in for one.
std::uint32_t ScanCodeOf(std::uint32_t virtualKey) {
  return virtualKey & 0xFF;
}

// One notch of the wheel scrolls a tenth of a list.
constexpr double kScrollPercentPerNotch = 10.0;

}  // namespace

bool SimInput::IsKeyDown(std::uint32_t virtualKey) {
  std::lock_guard lock(keysMutex_);
  return keysDown_.count(virtualKey) != 0;
}

bool SimInput::IsKeyToggled(std::uint32_t virtualKey) {
  std::lock_guard lock(keysMutex_);
  return virtualKey == kVkCapital && capsLock_;
}

KeyboardLayout SimInput::KeyboardLayoutOf(std::uint32_t /*threadId*/) {
  return kUsLayout;
}

std::u16string SimInput::TranslateKey(std::uint32_t virtualKey, std::uint32_t /*scanCode*/,
                                      const KeyState& keyState, KeyboardLayout layout) {
  if (layout != kUsLayout || virtualKey >= keyState.size()) return {};
  const bool letter = virtualKey >= 'A' && virtualKey <= 'Z';
  const bool shift = (keyState[kVkShift] & 0x80) != 0;
  const bool caps = (keyState[kVkCapital] & 0x01) != 0;
  const std::optional<char16_t> character = CharacterForKey(virtualKey, shift != (letter && caps));
  return character ? std::u16string(1, *character) : std::u16string();
}

void SimInput::SendKey(std::uint32_t virtualKey, bool down, std::uint32_t flags,
                       std::uintptr_t extraInfo) {
  bool alt = false;
  bool shift = false;
  bool shortcut = false;
  {
    std::lock_guard lock(keysMutex_);
    if (down) {
      if (virtualKey == kVkCapital && keysDown_.count(virtualKey) == 0) capsLock_ = !capsLock_;
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
  loops_.DeliverKeyboardEvent(
      KeyboardHookEvent{message, virtualKey, flags, extraInfo, ScanCodeOf(virtualKey)});
  if (down) ReactToKey(virtualKey, shift, shortcut);
}

void SimInput::ReactToKey(std::uint32_t virtualKey, bool shift, bool shortcut) {
  const WindowHandle foreground = windows_.ForegroundWindow();
  if (foreground == kNullWindow || shortcut) return;
  const SimElementId focused = automation_.FocusedElementIn(windows_.RootWindow(foreground));
  if (focused == 0) return;
  if (virtualKey == kVkTab) {
    automation_.FocusNext(windows_.RootWindow(foreground));
  } else if (virtualKey == kVkBack) {
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
  {
    std::lock_guard lock(keysMutex_);
    cursorX_ = x;
    cursorY_ = y;
  }
  const std::uint32_t mouseData =
      message == kWmMouseWheel ? static_cast<std::uint32_t>(wheelDelta) << 16 : 0;
  loops_.DeliverMouseEvent(MouseHookEvent{message, x, y, flags, extraInfo, mouseData});
  ReactToMouse(message, x, y, wheelDelta);
}

std::uint32_t SimInput::SendInput(const std::vector<InputEvent>& events) {
  std::uint32_t accepted = 0;
  for (const InputEvent& event : events) {
    {
      std::lock_guard lock(keysMutex_);
      if (acceptLimit_) {
        if (*acceptLimit_ == 0) break;
        --*acceptLimit_;
      }
      sent_.push_back(event);
    }
    Inject(event);
    ++accepted;
    std::function<void(const InputEvent&)> observer;
    {
      std::lock_guard lock(keysMutex_);
      observer = injected_;
    }
    if (observer) observer(event);
  }
  return accepted;
}

void SimInput::Inject(const InputEvent& event) {
  if (event.kind == InputEvent::Kind::kKeyboard) {
    const bool down = (event.flags & kKeyEventKeyUp) == 0;
    if ((event.flags & kKeyEventUnicode) == 0) {
      SendKey(event.virtualKey, down, kLlkhfInjected, event.extraInfo);
      return;
    }
    // A Unicode event reaches the hooks as the packet key and types its unit as it is.
    loops_.DeliverKeyboardEvent(KeyboardHookEvent{down ? kWmKeyDown : kWmKeyUp, kVkPacket,
                                                  kLlkhfInjected | (down ? 0u : kLlkhfUp),
                                                  event.extraInfo});
    const WindowHandle foreground = windows_.ForegroundWindow();
    if (!down || foreground == kNullWindow) return;
    if (const SimElementId focused =
            automation_.FocusedElementIn(windows_.RootWindow(foreground))) {
      automation_.TypeCharacter(focused, static_cast<char16_t>(event.scanCode));
    }
    return;
  }
  std::int32_t x = 0;
  std::int32_t y = 0;
  {
    std::lock_guard lock(keysMutex_);
    if ((event.flags & kMouseEventMove) != 0 && (event.flags & kMouseEventAbsolute) != 0) {
      // Normalised 0 to 65535 over the virtual screen, back to pixels.
      const VirtualScreen screen = displays_.VirtualScreenMetrics();
      cursorX_ = screen.x + static_cast<std::int32_t>(
                                (std::int64_t{event.dx} * (screen.width - 1) + 32767) / 65535);
      cursorY_ = screen.y + static_cast<std::int32_t>(
                                (std::int64_t{event.dy} * (screen.height - 1) + 32767) / 65535);
    }
    x = cursorX_;
    y = cursorY_;
  }
  constexpr std::pair<std::uint32_t, std::uint32_t> kMessages[] = {
      {kMouseEventMove, kWmMouseMove},     {kMouseEventLeftDown, kWmLButtonDown},
      {kMouseEventLeftUp, kWmLButtonUp},   {kMouseEventRightDown, kWmRButtonDown},
      {kMouseEventRightUp, kWmRButtonUp},  {kMouseEventMiddleDown, kWmMButtonDown},
      {kMouseEventMiddleUp, kWmMButtonUp}, {kMouseEventWheel, kWmMouseWheel}};
  for (const auto& [flag, message] : kMessages) {
    if ((event.flags & flag) != 0) {
      SendMouse(message, x, y, kLlmhfInjected, event.extraInfo, event.mouseData);
    }
  }
}

std::int16_t SimInput::VkKeyScan(char16_t character) {
  const std::optional<KeyStroke> stroke = KeyForCharacter(character);
  if (!stroke) return -1;
  return static_cast<std::int16_t>(stroke->virtualKey | (stroke->shift ? 0x100u : 0u));
}

std::vector<InputEvent> SimInput::SentEvents() const {
  std::lock_guard lock(keysMutex_);
  return sent_;
}

void SimInput::ClearSentEvents() {
  std::lock_guard lock(keysMutex_);
  sent_.clear();
}

void SimInput::LimitAcceptedEvents(std::optional<std::size_t> remaining) {
  std::lock_guard lock(keysMutex_);
  acceptLimit_ = remaining;
}

void SimInput::OnInjected(std::function<void(const InputEvent& event)> observer) {
  std::lock_guard lock(keysMutex_);
  injected_ = std::move(observer);
}

std::int32_t SimInput::CursorX() const {
  std::lock_guard lock(keysMutex_);
  return cursorX_;
}

std::int32_t SimInput::CursorY() const {
  std::lock_guard lock(keysMutex_);
  return cursorY_;
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
