#include "act/input_controller.h"

#include <array>
#include <utility>

#include "act/control_actions.h"
#include "common/own_input.h"
#include "common/text_case.h"

namespace velmora::computer_use {
namespace {

using platform::InputEvent;
using platform::UiaElement;

constexpr std::uint32_t kUnicodeHeldBit = 0x10000;
constexpr std::uint32_t kAbsoluteMove =
    platform::kMouseEventMove | platform::kMouseEventVirtualDesk | platform::kMouseEventAbsolute;
constexpr std::int32_t kNotchesSmall = 240;
constexpr std::int32_t kNotchesPage = 720;
constexpr int kReleaseTries = 3;

struct NamedKey {
  std::u16string_view name;
  std::uint32_t virtualKey;
};

constexpr std::array<NamedKey, 13> kKeyNames = {{
    {u"Enter", 0x0D},
    {u"Return", 0x0D},
    {u"Tab", 0x09},
    {u"Space", 0x20},
    {u"Backspace", 0x08},
    {u"Escape", 0x1B},
    {u"ArrowLeft", 0x25},
    {u"ArrowRight", 0x27},
    {u"ArrowDown", 0x28},
    {u"ArrowUp", 0x26},
    {u"Delete", 0x2E},
    {u"Home", 0x24},
    {u"End", 0x23},
}};

constexpr std::array<NamedKey, 8> kModifierNames = {{
    {u"meta", platform::kVkLeftWin},
    {u"win", platform::kVkLeftWin},
    {u"super", platform::kVkLeftWin},
    {u"control", platform::kVkControl},
    {u"ctrl", platform::kVkControl},
    {u"alt", platform::kVkMenu},
    {u"option", platform::kVkMenu},
    {u"shift", platform::kVkShift},
}};

InputEvent KeyEvent(std::uint32_t virtualKey, bool down) {
  InputEvent event;
  event.virtualKey = static_cast<std::uint16_t>(virtualKey);
  event.flags = down ? 0 : platform::kKeyEventKeyUp;
  event.extraInfo = kOwnInputMarker;
  return event;
}

InputEvent UnicodeEvent(char16_t unit, bool down) {
  InputEvent event;
  event.scanCode = unit;
  event.flags = platform::kKeyEventUnicode | (down ? 0 : platform::kKeyEventKeyUp);
  event.extraInfo = kOwnInputMarker;
  return event;
}

InputEvent MouseEvent(std::uint32_t flags, std::int32_t dx = 0, std::int32_t dy = 0,
                      std::int32_t mouseData = 0) {
  InputEvent event;
  event.kind = InputEvent::Kind::kMouse;
  event.dx = dx;
  event.dy = dy;
  event.mouseData = mouseData;
  event.flags = flags;
  event.extraInfo = kOwnInputMarker;
  return event;
}

// The held code of a keyboard event: its virtual key, or its unit with bit 16 for Unicode.
std::uint32_t HeldCode(const InputEvent& event) {
  return (event.flags & platform::kKeyEventUnicode) != 0 ? (event.scanCode | kUnicodeHeldBit)
                                                         : event.virtualKey;
}

}  // namespace

std::optional<std::uint32_t> KeyNameToVirtualKey(platform::InputApi& input,
                                                 std::u16string_view name) {
  for (const NamedKey& key : kKeyNames) {
    if (key.name == name) return key.virtualKey;
  }
  if (name.size() != 1) return std::nullopt;
  const std::int16_t scan = input.VkKeyScan(name[0]);
  if (scan == -1) return std::nullopt;
  // The shift state is dropped: the modifiers say which are pressed.
  return static_cast<std::uint32_t>(scan) & 0xFF;
}

std::optional<std::uint32_t> ModifierToVirtualKey(std::u16string_view name) {
  for (const NamedKey& modifier : kModifierNames) {
    if (EqualsIgnoringCase(modifier.name, name)) return modifier.virtualKey;
  }
  return std::nullopt;
}

bool InputController::Act(const Json& action, UiaElement* element,
                          std::optional<PhysicalPoint> point, bool foreground,
                          Continuation continuation) {
  // Both latch checks: a stop between the caller's check and the event still counts.
  continuation_ = [this, caller = std::move(continuation)] {
    return !stopped_ && caller && caller() && !stopped_;
  };
  if (!Continue()) return false;
  const std::u16string kind = GetString(action, "kind", u"");
  if (foreground) return ForegroundAct(kind, action, element, point);

  if (!CanActInBackground(windows_, loops_, action, element) || !Continue()) return false;
  if (kind == u"click") return BackgroundClick(*element);
  if (kind == u"type") return BackgroundType(*element, GetString(action, "text", u""));
  if (kind == u"scroll") {
    return BackgroundScroll(*element, GetString(action, "direction", u"down"),
                            GetString(action, "amount", u"small"));
  }
  return false;
}

bool InputController::Continue() {
  return continuation_ && continuation_();
}

bool InputController::InForegroundProcess(UiaElement& element) {
  const std::optional<std::int32_t> process = element.CurrentProcessId();
  const platform::ProcessId foreground = windows_.WindowProcessId(windows_.ForegroundWindow());
  return process && *process > 0 && static_cast<platform::ProcessId>(*process) == foreground;
}

bool InputController::ForegroundAct(std::u16string_view kind, const Json& action,
                                    UiaElement* element, std::optional<PhysicalPoint> point) {
  if (kind == u"focus") {
    if (element != nullptr) {
      return InForegroundProcess(*element) && Continue() && element->SetFocus();
    }
    return point && Click(nullptr, 1, point);
  }
  if (kind == u"click" || kind == u"double_click") {
    if (element != nullptr && !InForegroundProcess(*element)) return false;
    return Click(element, kind == u"click" ? 1 : 2, point);
  }
  if (kind == u"type") {
    // Typing never goes into a password field and never happens without an element.
    if (element == nullptr || element->CurrentIsPassword() != false ||
        !InForegroundProcess(*element)) {
      return false;
    }
    return TypeText(*element, GetString(action, "text", u""));
  }
  if (kind == u"key") {
    if (element != nullptr &&
        (!InForegroundProcess(*element) || !Continue() || !element->SetFocus())) {
      return false;
    }
    return PressKeyChord(GetString(action, "key", u""), GetStringArray(action, "modifiers"));
  }
  if (kind == u"scroll") {
    return WheelScroll(GetString(action, "direction", u"down"),
                       GetString(action, "amount", u"small"));
  }
  return false;
}

bool InputController::Click(UiaElement* element, int count, std::optional<PhysicalPoint> point) {
  if (element != nullptr && count == 1) {
    const Attempt invoked =
        TryPattern(*element, platform::kUiaInvokePatternId, [this] { return Continue(); });
    if (invoked == Attempt::kSucceeded) return true;
    if (!Continue()) return false;
  }
  if (!point) {
    if (element == nullptr) return false;
    const std::optional<platform::Rect> bounds = element->CurrentBoundingRectangle();
    if (!bounds || bounds->right <= bounds->left || bounds->bottom <= bounds->top) return false;
    point = PhysicalPoint{bounds->left + (bounds->right - bounds->left) / 2,
                          bounds->top + (bounds->bottom - bounds->top) / 2};
  }
  const platform::VirtualScreen screen = displays_.VirtualScreenMetrics();
  if (screen.width < 2 || screen.height < 2) return false;
  // 0 to 65535 over the virtual screen, in 64-bit integers truncating toward zero.
  const auto nx = static_cast<std::int32_t>((std::int64_t{point->x} - screen.x) * 65535 /
                                            (std::int64_t{screen.width} - 1));
  const auto ny = static_cast<std::int32_t>((std::int64_t{point->y} - screen.y) * 65535 /
                                            (std::int64_t{screen.height} - 1));
  std::vector<InputEvent> events{MouseEvent(kAbsoluteMove, nx, ny)};
  for (int click = 0; click < count; ++click) {
    events.push_back(MouseEvent(platform::kMouseEventLeftDown));
    events.push_back(MouseEvent(platform::kMouseEventLeftUp));
  }
  return SendInputs(events);
}

bool InputController::PressKeyChord(std::u16string_view key,
                                    const std::vector<std::u16string>& modifiers) {
  const std::optional<std::uint32_t> virtualKey = KeyNameToVirtualKey(input_, key);
  if (!virtualKey) return false;
  std::vector<std::uint32_t> held;
  for (const std::u16string& name : modifiers) {
    const std::optional<std::uint32_t> modifier = ModifierToVirtualKey(name);
    if (!modifier) return false;
    held.push_back(*modifier);
  }
  std::vector<InputEvent> events;
  events.reserve(2 * held.size() + 2);
  for (const std::uint32_t modifier : held) events.push_back(KeyEvent(modifier, true));
  events.push_back(KeyEvent(*virtualKey, true));
  events.push_back(KeyEvent(*virtualKey, false));
  for (auto it = held.rbegin(); it != held.rend(); ++it) events.push_back(KeyEvent(*it, false));
  return SendInputs(events);
}

bool InputController::TypeText(UiaElement& element, std::u16string_view text) {
  if (!Continue() || !element.SetFocus()) return false;
  std::vector<InputEvent> events;
  events.reserve(text.size() * 2);
  for (const char16_t unit : text) {
    events.push_back(UnicodeEvent(unit, true));
    events.push_back(UnicodeEvent(unit, false));
  }
  return SendInputs(events);
}

bool InputController::WheelScroll(std::u16string_view direction, std::u16string_view amount) {
  const std::int32_t notches = amount == u"page" ? kNotchesPage : kNotchesSmall;
  return SendInputs(
      {MouseEvent(platform::kMouseEventWheel, 0, 0, direction == u"up" ? notches : -notches)});
}

bool InputController::SendInputs(const std::vector<InputEvent>& events) {
  for (const InputEvent& event : events) {
    if (!Continue()) return false;
    std::lock_guard lock(mutex_);
    if (stopped_ || !SendOneInput(event)) return false;
  }
  return true;
}

bool InputController::SendOneInput(const InputEvent& event) {
  const bool keyboard = event.kind == InputEvent::Kind::kKeyboard;
  const bool keyUp = keyboard && (event.flags & platform::kKeyEventKeyUp) != 0;
  if (keyboard && !keyUp) heldKeys_.insert(HeldCode(event));
  if (!keyboard) {
    if ((event.flags & platform::kMouseEventLeftDown) != 0) {
      heldButtons_.insert(platform::kMouseEventLeftUp);
    }
    if ((event.flags & platform::kMouseEventRightDown) != 0) {
      heldButtons_.insert(platform::kMouseEventRightUp);
    }
    if ((event.flags & platform::kMouseEventMiddleDown) != 0) {
      heldButtons_.insert(platform::kMouseEventMiddleUp);
    }
  }
  // Recorded before the call: a press the system took but did not confirm is still released.
  if (input_.SendInput({event}) != 1) return false;
  if (keyUp) heldKeys_.erase(HeldCode(event));
  if (!keyboard) {
    for (const std::uint32_t up : {platform::kMouseEventMiddleUp, platform::kMouseEventRightUp,
                                   platform::kMouseEventLeftUp}) {
      if ((event.flags & up) != 0) heldButtons_.erase(up);
    }
  }
  return true;
}

void InputController::ReleaseHeldInput() {
  std::lock_guard lock(mutex_);
  std::vector<InputEvent> batch;
  for (const std::uint32_t code : heldKeys_) {
    batch.push_back((code & kUnicodeHeldBit) != 0
                        ? UnicodeEvent(static_cast<char16_t>(code & 0xFFFF), false)
                        : KeyEvent(code, false));
  }
  for (const std::uint32_t flag : heldButtons_) batch.push_back(MouseEvent(flag));
  if (!batch.empty()) {
    // Neither the continuation nor the stop latch holds back a release.
    for (int attempt = 0; attempt < kReleaseTries; ++attempt) {
      if (input_.SendInput(batch) >= batch.size()) break;
    }
  }
  heldKeys_.clear();
  heldButtons_.clear();
}

void InputController::StopInput() {
  stopped_ = true;
  ReleaseHeldInput();
}

std::set<std::uint32_t> InputController::HeldKeys() const {
  std::lock_guard lock(mutex_);
  return heldKeys_;
}

std::set<std::uint32_t> InputController::HeldButtons() const {
  std::lock_guard lock(mutex_);
  return heldButtons_;
}

}  // namespace velmora::computer_use
