// UI Automation: the client object, elements with their current properties and patterns, and
// the control-view tree walker. Every call is one platform call answering the way it does:
// none for a failed call (or an empty result), an HRESULT where the caller reports it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace velmora::computer_use::platform {

using HResult = std::int32_t;

// UI Automation identifiers, with the values the platform gives them.
inline constexpr std::int32_t kUiaNamePropertyId = 30005;
inline constexpr std::int32_t kUiaAutomationIdPropertyId = 30011;
inline constexpr std::int32_t kUiaInvokePatternId = 10000;
inline constexpr std::int32_t kUiaValuePatternId = 10002;
inline constexpr std::int32_t kUiaScrollPatternId = 10004;
inline constexpr std::int32_t kUiaExpandCollapsePatternId = 10005;
inline constexpr std::int32_t kUiaSelectionItemPatternId = 10010;
inline constexpr std::int32_t kUiaTogglePatternId = 10015;
inline constexpr std::int32_t kUiaButtonControlTypeId = 50000;
inline constexpr std::int32_t kUiaCheckBoxControlTypeId = 50002;
inline constexpr std::int32_t kUiaComboBoxControlTypeId = 50003;
inline constexpr std::int32_t kUiaEditControlTypeId = 50004;
inline constexpr std::int32_t kUiaHyperlinkControlTypeId = 50005;
inline constexpr std::int32_t kUiaListControlTypeId = 50008;
inline constexpr std::int32_t kUiaListItemControlTypeId = 50007;
inline constexpr std::int32_t kUiaMenuItemControlTypeId = 50011;
inline constexpr std::int32_t kUiaRadioButtonControlTypeId = 50013;
inline constexpr std::int32_t kUiaTabItemControlTypeId = 50019;
inline constexpr std::int32_t kUiaTextControlTypeId = 50020;
inline constexpr std::int32_t kUiaWindowControlTypeId = 50032;
inline constexpr std::int32_t kUiaTitleBarControlTypeId = 50037;

// One counted reference to a live element; released on destruction.
class UiaElement {
 public:
  virtual ~UiaElement() = default;

  virtual std::optional<std::int32_t> CurrentControlType() = 0;
  // GetCurrentPropertyValue: the string when the call succeeds with a non-null VT_BSTR.
  virtual std::optional<std::u16string> CurrentStringProperty(std::int32_t propertyId) = 0;
  virtual std::optional<bool> CurrentIsEnabled() = 0;
  virtual std::optional<bool> CurrentHasKeyboardFocus() = 0;
  virtual std::optional<bool> CurrentIsPassword() = 0;
  virtual std::optional<Rect> CurrentBoundingRectangle() = 0;
  // GetCurrentPattern succeeded with an object.
  virtual bool HasPattern(std::int32_t patternId) = 0;
  // The Value pattern's CurrentIsReadOnly; none when the pattern or the read fails.
  virtual std::optional<bool> ValueIsReadOnly() = 0;
  virtual std::optional<std::int32_t> CurrentProcessId() = 0;
  // None when the read fails; null for an element that has no window of its own.
  virtual std::optional<WindowHandle> CurrentNativeWindowHandle() = 0;
  virtual bool SetFocus() = 0;

  // A pattern's method: GetCurrentPattern, then the call. False when the pattern is absent or
  // either call fails.
  virtual bool Invoke() = 0;
  virtual bool Toggle() = 0;
  virtual bool Select() = 0;
  virtual bool Expand() = 0;
  virtual bool Collapse() = 0;
  // CurrentExpandCollapseState (0 collapsed, 1 expanded, 2 partially expanded, 3 leaf); none
  // when the pattern or the read fails.
  virtual std::optional<std::int32_t> ExpandCollapseState() = 0;
  // SetValue with a copy of the text (a failed allocation is a failure).
  virtual bool SetValue(std::u16string_view value) = 0;
  // Scroll with ScrollAmount values (0 large decrement, 1 small decrement, 2 none, 3 large
  // increment, 4 small increment).
  virtual bool Scroll(std::int32_t horizontalAmount, std::int32_t verticalAmount) = 0;
};

class UiaTreeWalker {
 public:
  virtual ~UiaTreeWalker() = default;
  // Null for a failed call or no such element.
  virtual std::unique_ptr<UiaElement> GetParentElement(UiaElement& element) = 0;
  virtual std::unique_ptr<UiaElement> GetFirstChildElement(UiaElement& element) = 0;
  virtual std::unique_ptr<UiaElement> GetNextSiblingElement(UiaElement& element) = 0;
};

// The process's one IUIAutomation object.
class UiaClient {
 public:
  virtual ~UiaClient() = default;
  // Null with the failing HRESULT in `result`.
  virtual std::unique_ptr<UiaElement> ElementFromHandle(WindowHandle window, HResult& result) = 0;
  virtual std::unique_ptr<UiaTreeWalker> ControlViewWalker(HResult& result) = 0;
  virtual std::unique_ptr<UiaElement> GetFocusedElement() = 0;
  virtual std::unique_ptr<UiaElement> ElementFromPoint(std::int32_t x, std::int32_t y) = 0;
  // None when the comparison fails.
  virtual std::optional<bool> CompareElements(UiaElement& left, UiaElement& right) = 0;
  // IUIAutomation2's AutoSetFocus; none when the interface or the read fails.
  virtual std::optional<bool> AutoSetFocus() = 0;
  virtual bool SetAutoSetFocus(bool value) = 0;
};

class AutomationApi {
 public:
  virtual ~AutomationApi() = default;
  // CoCreateInstance of CUIAutomation8 for IUIAutomation; null with the HRESULT on failure.
  virtual std::unique_ptr<UiaClient> CreateClient(HResult& result) = 0;
};

}  // namespace velmora::computer_use::platform
