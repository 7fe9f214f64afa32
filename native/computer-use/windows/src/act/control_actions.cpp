#include "act/control_actions.h"

#include <string>

#include "act/input_controller.h"

namespace velmora::computer_use {
namespace {

using platform::UiaElement;

constexpr std::int32_t kMaxControlId = 65535;
constexpr std::int32_t kExpandCollapseCollapsed = 0;
constexpr std::int32_t kExpandCollapseExpanded = 1;
constexpr std::int32_t kScrollLargeDecrement = 0;
constexpr std::int32_t kScrollSmallDecrement = 1;
constexpr std::int32_t kScrollNoAmount = 2;
constexpr std::int32_t kScrollLargeIncrement = 3;
constexpr std::int32_t kScrollSmallIncrement = 4;

bool IsButtonClass(std::u16string_view name) {
  constexpr std::u16string_view kButton = u"button";
  if (name.size() != kButton.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i] >= u'A' && name[i] <= u'Z' ? name[i] - u'A' + u'a' : name[i];
    if (c != kButton[i]) return false;
  }
  return true;
}

bool Succeeded(Attempt attempt) {
  return attempt == Attempt::kSucceeded;
}

}  // namespace

PushButton FindPushButton(platform::WindowApi& windows, platform::MessageLoopApi& loops,
                          UiaElement& element) {
  PushButton found;
  const std::optional<platform::WindowHandle> native = element.CurrentNativeWindowHandle();
  if (!native) {
    found.decided = true;
    return found;
  }
  if (*native == platform::kNullWindow) return found;
  const std::optional<std::u16string> className = windows.ClassName(*native);
  if (!className) {
    found.decided = true;
    return found;
  }
  if (!IsButtonClass(*className)) return found;

  found.decided = true;
  found.button = *native;
  found.parent = windows.ParentWindow(*native);
  const std::intptr_t style = windows.WindowStyle(*native);
  const std::intptr_t buttonType = style & 0xF;
  const std::optional<std::int32_t> processId = element.CurrentProcessId();
  found.processId = processId.value_or(0) > 0 ? static_cast<platform::ProcessId>(*processId) : 0;
  found.controlId = windows.DialogControlId(*native);
  const std::uint32_t buttonThread = windows.WindowThreadId(*native);
  const std::uint32_t parentThread = windows.WindowThreadId(found.parent);
  found.eligible =
      element.CurrentControlType() == platform::kUiaButtonControlTypeId &&
      windows.IsWindow(*native) && found.parent != platform::kNullWindow &&
      windows.IsWindow(found.parent) && (style & platform::kWsChild) != 0 &&
      (buttonType == platform::kBsPushButton || buttonType == platform::kBsDefPushButton) &&
      windows.IsWindowEnabled(*native) && windows.IsWindowEnabled(found.parent) &&
      windows.IsWindowVisible(*native) && element.CurrentIsEnabled() == true &&
      found.processId >= 1 && windows.WindowProcessId(*native) == found.processId &&
      windows.WindowProcessId(found.parent) == found.processId && buttonThread != 0 &&
      parentThread != 0 && parentThread != loops.CurrentThreadId() &&
      found.controlId <= kMaxControlId;
  return found;
}

Attempt ClickPushButton(platform::WindowApi& windows, platform::MessageLoopApi& loops,
                        UiaElement& element, const std::function<bool()>& proceed) {
  const PushButton first = FindPushButton(windows, loops, element);
  if (!first.decided) return Attempt::kNotApplied;
  if (!first.eligible || !proceed()) return Attempt::kFailed;
  // The button must still be the same one, in the same dialog and process, when it is clicked.
  if (FindPushButton(windows, loops, element) != first || !proceed()) return Attempt::kFailed;
  const auto wParam =
      static_cast<std::uintptr_t>(first.controlId & 0xFFFF) | (platform::kBnClicked << 16);
  const std::optional<std::intptr_t> answer = windows.SendMessageTimeout(
      first.parent, platform::kWmCommand, wParam, static_cast<std::intptr_t>(first.button),
      kCommandSendFlags, kCommandSendTimeoutMs);
  return answer ? Attempt::kSucceeded : Attempt::kFailed;
}

Attempt TryPattern(UiaElement& element, std::int32_t patternId,
                   const std::function<bool()>& proceed) {
  if (!element.HasPattern(patternId)) return Attempt::kNotApplied;
  if (!proceed()) return Attempt::kFailed;
  switch (patternId) {
    case platform::kUiaInvokePatternId:
      return element.Invoke() ? Attempt::kSucceeded : Attempt::kFailed;
    case platform::kUiaTogglePatternId:
      return element.Toggle() ? Attempt::kSucceeded : Attempt::kFailed;
    case platform::kUiaSelectionItemPatternId:
      return element.Select() ? Attempt::kSucceeded : Attempt::kFailed;
    default:
      return Attempt::kFailed;
  }
}

bool CanActInBackground(platform::WindowApi& windows, platform::MessageLoopApi& loops,
                        const Json& action, UiaElement* element) {
  if (element == nullptr) return false;
  const std::u16string kind = GetString(action, "kind", u"");
  if (kind == u"click") {
    const PushButton button = FindPushButton(windows, loops, *element);
    if (button.decided) return button.eligible;
    return element->HasPattern(platform::kUiaInvokePatternId) ||
           element->HasPattern(platform::kUiaTogglePatternId) ||
           element->HasPattern(platform::kUiaSelectionItemPatternId) ||
           element->HasPattern(platform::kUiaExpandCollapsePatternId);
  }
  if (kind == u"type") {
    // Typing never goes into a password field, in the background either.
    return element->HasPattern(platform::kUiaValuePatternId) &&
           element->ValueIsReadOnly() == false && element->CurrentIsPassword() == false;
  }
  if (kind == u"scroll") return element->HasPattern(platform::kUiaScrollPatternId);
  return false;
}

bool InputController::BackgroundClick(UiaElement& element) {
  const auto proceed = [this] { return Continue(); };
  const Attempt pushButton = ClickPushButton(windows_, loops_, element, proceed);
  if (pushButton != Attempt::kNotApplied) return Succeeded(pushButton);
  for (const std::int32_t pattern : {platform::kUiaInvokePatternId, platform::kUiaTogglePatternId,
                                     platform::kUiaSelectionItemPatternId}) {
    const Attempt attempt = TryPattern(element, pattern, proceed);
    if (attempt != Attempt::kNotApplied) return Succeeded(attempt);
  }
  if (!element.HasPattern(platform::kUiaExpandCollapsePatternId)) return false;
  const std::optional<std::int32_t> state = element.ExpandCollapseState();
  if (!Continue() || !state) return false;
  if (*state == kExpandCollapseCollapsed) return element.Expand();
  if (*state == kExpandCollapseExpanded) return element.Collapse();
  return false;  // partially expanded, or a leaf
}

bool InputController::BackgroundType(UiaElement& element, std::u16string_view text) {
  if (!element.HasPattern(platform::kUiaValuePatternId) || !Continue()) return false;
  // The field's whole value is replaced; no key is pressed.
  return element.SetValue(text);
}

bool InputController::BackgroundScroll(UiaElement& element, std::u16string_view direction,
                                       std::u16string_view amount) {
  if (!element.HasPattern(platform::kUiaScrollPatternId)) return false;
  const bool page = amount == u"page";
  const std::int32_t vertical = direction == u"up"
                                    ? (page ? kScrollLargeDecrement : kScrollSmallDecrement)
                                    : (page ? kScrollLargeIncrement : kScrollSmallIncrement);
  if (!Continue()) return false;
  return element.Scroll(kScrollNoAmount, vertical);
}

}  // namespace velmora::computer_use
