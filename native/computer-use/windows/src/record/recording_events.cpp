#include "record/recording_events.h"

#include <algorithm>
#include <array>
#include <utility>

#include "observe/window_identity.h"

namespace velmora::computer_use {
namespace {

using platform::kVkBack;
using platform::kVkCapital;
using platform::kVkControl;
using platform::kVkDelete;
using platform::kVkDown;
using platform::kVkEnd;
using platform::kVkEscape;
using platform::kVkHome;
using platform::kVkLeft;
using platform::kVkReturn;
using platform::kVkRight;
using platform::kVkShift;
using platform::kVkSpace;
using platform::kVkTab;
using platform::kVkUp;

constexpr std::pair<std::uint32_t, std::u16string_view> kKeyNames[] = {
    {kVkBack, u"Backspace"}, {kVkTab, u"Tab"},          {kVkReturn, u"Enter"},
    {kVkEscape, u"Escape"},  {kVkSpace, u"Space"},      {kVkLeft, u"ArrowLeft"},
    {kVkUp, u"ArrowUp"},     {kVkRight, u"ArrowRight"}, {kVkDown, u"ArrowDown"},
    {kVkDelete, u"Delete"},  {kVkHome, u"Home"},        {kVkEnd, u"End"},
};

constexpr std::pair<ModifierBits, std::string_view> kModifierNames[] = {
    {kModifierMeta, "Meta"},
    {kModifierControl, "Control"},
    {kModifierAlt, "Alt"},
    {kModifierShift, "Shift"},
};

Json TargetObject(const ElementNode& element, bool withheld) {
  Json target = Json::object();
  SetString(target, "kind", "accessibility");
  SetString(target, "role", std::u16string_view(element.role));
  const bool secure = element.sensitive || withheld;
  if (!secure) SetString(target, "name", std::u16string_view(element.name));
  SetString(target, "automationId", std::u16string_view(element.automationId));
  if (secure) SetBool(target, "secure", true);
  Json bounds = Json::object();
  SetNumber(bounds, "x", element.x);
  SetNumber(bounds, "y", element.y);
  SetNumber(bounds, "width", element.width);
  SetNumber(bounds, "height", element.height);
  SetString(bounds, "displayId", std::u16string_view(element.displayId));
  SetNumber(bounds, "scaleFactor", element.scaleFactor);
  target["bounds"] = std::move(bounds);
  return target;
}

}  // namespace

std::u16string KeyName(std::uint32_t virtualKey) {
  for (const auto& [code, name] : kKeyNames) {
    if (code == virtualKey) return std::u16string(name);
  }
  // Only digits and letters have the character's code: F1 (0x70) is no "p", nor Left Shift
  // (0xA0) a space.
  const bool digit = virtualKey >= '0' && virtualKey <= '9';
  const bool letter = virtualKey >= 'A' && virtualKey <= 'Z';
  if (!digit && !letter) return {};
  return std::u16string(1, static_cast<char16_t>(virtualKey));
}

bool KeyMayMoveFocus(std::uint32_t virtualKey) {
  const auto in = [virtualKey](std::uint32_t low, std::uint32_t high) {
    return virtualKey >= low && virtualKey <= high;
  };
  const bool typesCharacter = in('0', '9') || in('A', 'Z') || in(0x60, 0x6F) ||  // numpad
                              in(0xBA, 0xC0) || in(0xDB, 0xDF) || virtualKey == 0xE2;
  const bool shiftOrControl =
      in(kVkShift, kVkControl) || in(0xA0, 0xA3) || virtualKey == kVkCapital;
  return !typesCharacter && !shiftOrControl;
}

std::optional<Json> RecordingEventBuilder::Build(const CapturedInput& input,
                                                 const std::function<bool()>& focusUnchanged) {
  try {
    switch (input.kind) {
      case CapturedKind::kSessionStarted:
        return BaseEvent("session.started", input);
      case CapturedKind::kKey:
        return KeyEvent(input, focusUnchanged);
      case CapturedKind::kMouse:
        return MouseEvent(input);
      case CapturedKind::kWindowEvent:
        return WindowEvent(input);
    }
  } catch (...) {
    // A window or element gone before it could be described: that one event is lost.
  }
  return std::nullopt;
}

std::optional<Json> RecordingEventBuilder::BaseEvent(std::string_view kind,
                                                     const CapturedInput& input) {
  const Observation window = DescribeWindow(platform_, input.window);
  if (window.windowTitle == kRecordingControllerTitle) return std::nullopt;
  Json event = Json::object();
  SetString(event, "kind", kind);
  // Whole milliseconds, the remainder dropped.
  const std::uint64_t milliseconds = (input.fileTime - kUnixEpochAsFileTime) / 10000;
  SetNumber(event, "timestamp", static_cast<double>(milliseconds));
  Json app = Json::object();
  SetString(app, "name", std::u16string_view(window.appName));
  SetString(app, "executableIdentity", window.appIdentity);
  event["app"] = std::move(app);
  Json described = Json::object();
  SetString(described, "title", std::u16string_view(window.windowTitle));
  SetString(described, "windowIdentity", window.windowIdentity);
  event["window"] = std::move(described);
  return event;
}

std::optional<Json> RecordingEventBuilder::KeyEvent(const CapturedInput& input,
                                                    const std::function<bool()>& focusUnchanged) {
  const bool shortcut = (input.modifiers & (kModifierMeta | kModifierControl | kModifierAlt)) != 0;
  const std::optional<ElementNode> focused = observer_.DescribeFocusedElement();
  // Asked only now: a key that may have moved the focus before the description was taken has
  // already been counted.
  const bool uncertain = focusUnchanged && !focusUnchanged();
  const bool secure = uncertain || (focused && focused->sensitive);

  std::u16string text;
  if (!shortcut && !secure) {
    platform::KeyState state{};
    if ((input.modifiers & kModifierShift) != 0) state[kVkShift] = 0x80;
    if ((input.modifiers & kModifierCapsLock) != 0) state[kVkCapital] = 0x01;
    text = platform_.input.TranslateKey(input.virtualKey, input.scanCode, state, input.layout);
    // Windows gives Escape, Enter, Tab and Backspace control characters: those keys are named,
    // not typed.
    if (std::any_of(text.begin(), text.end(), [](char16_t c) { return c < 0x20 || c == 0x7F; })) {
      text.clear();
    }
  }
  const char* kind = secure ? "secure_input_occurred" : shortcut ? "keyboard.key" : "keyboard.text";
  std::optional<Json> event = BaseEvent(kind, input);
  if (!event) return std::nullopt;
  if (!text.empty()) SetString(*event, "text", std::u16string_view(text));
  std::u16string key = KeyName(input.virtualKey);
  // A one-character name would spell out what went into a secret field.
  if (secure && (key.size() == 1 || key == u"Space")) key.clear();
  if (!key.empty()) SetString(*event, "key", std::u16string_view(key));
  Json modifiers = Json::array();
  for (const auto& [bit, name] : kModifierNames) {
    if ((input.modifiers & bit) != 0) modifiers.push_back(std::string(name));
  }
  if (!modifiers.empty()) (*event)["modifiers"] = std::move(modifiers);
  if (focused) (*event)["target"] = TargetObject(*focused, uncertain);
  return event;
}

std::optional<Json> RecordingEventBuilder::MouseEvent(const CapturedInput& input) {
  const bool wheel = input.message == platform::kWmMouseWheel;
  std::optional<Json> event = BaseEvent(wheel ? "mouse.scroll" : "mouse.click", input);
  if (!event) return std::nullopt;
  if (!wheel) {
    const char* button = input.message == platform::kWmRButtonDown   ? "right"
                         : input.message == platform::kWmMButtonDown ? "middle"
                                                                     : "left";
    SetString(*event, "button", button);
  }
  Json position = Json::object();
  SetNumber(position, "x", input.x);
  SetNumber(position, "y", input.y);
  (*event)["position"] = std::move(position);
  if (wheel) {
    Json delta = Json::object();
    SetNumber(delta, "x", 0);
    SetNumber(delta, "y", input.wheelDelta);
    (*event)["delta"] = std::move(delta);
  }
  if (const std::optional<ElementNode> element =
          observer_.DescribeElementAtPoint(input.x, input.y)) {
    (*event)["target"] = TargetObject(*element, false);
  }
  return event;
}

std::optional<Json> RecordingEventBuilder::WindowEvent(const CapturedInput& input) {
  const char* kind = nullptr;
  switch (input.message) {
    case platform::kEventSystemForeground:
      kind = "app.activated";
      break;
    case platform::kEventObjectFocus:
      kind = "window.changed";
      break;
    case platform::kEventObjectNameChange:
      if (input.objectId != platform::kObjIdWindow) return std::nullopt;
      kind = "window.changed";
      break;
    case platform::kEventObjectSelection:
    case platform::kEventObjectSelectionAdd:
    case platform::kEventObjectSelectionRemove:
    case platform::kEventObjectSelectionWithin:
      kind = "selection.changed";
      break;
    default:
      return std::nullopt;
  }
  std::optional<Json> event = BaseEvent(kind, input);
  if (event && input.message >= platform::kEventObjectSelection &&
      input.message <= platform::kEventObjectSelectionWithin) {
    // What was selected is never read.
    (*event)["selection"] = Json{{"redacted", true}};
  }
  return event;
}

}  // namespace velmora::computer_use
