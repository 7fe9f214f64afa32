// UI Automation through IUIAutomation.
#include "platform/win32/win32_api.h"
// Needs <windows.h> and <objbase.h> first.
#include <uiautomation.h>
#include <wrl/client.h>

namespace velmora::computer_use::platform::win32 {
namespace {

using Microsoft::WRL::ComPtr;

// The documented identifiers, defined here so that no import library has to carry them.
constexpr CLSID kClsidCuiAutomation8{
    0xe22ad333, 0xb25f, 0x460c, {0x83, 0xd0, 0x05, 0x81, 0x10, 0x73, 0x95, 0xc9}};
constexpr IID kIidUiAutomation{
    0x30cbe57d, 0xd9d0, 0x452a, {0xab, 0x13, 0x7a, 0xc5, 0xac, 0x48, 0x25, 0xee}};
constexpr IID kIidUiAutomationValuePattern{
    0xa94cd8b1, 0x0844, 0x4cd6, {0x9d, 0x2d, 0x64, 0x05, 0x37, 0xab, 0x39, 0xe9}};

// A VARIANT cleared on every path.
class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  ~ScopedVariant() { VariantClear(&value_); }
  VARIANT* Out() { return &value_; }
  const VARIANT& Get() const { return value_; }

 private:
  VARIANT value_;
};

std::optional<bool> FromBool(HRESULT result, BOOL value) {
  if (FAILED(result)) return std::nullopt;
  return value != FALSE;
}

class Win32UiaElement final : public UiaElement {
 public:
  explicit Win32UiaElement(ComPtr<IUIAutomationElement> element) : element_(std::move(element)) {}

  IUIAutomationElement* Get() const { return element_.Get(); }

  std::optional<std::int32_t> CurrentControlType() override {
    CONTROLTYPEID type = 0;
    if (FAILED(element_->get_CurrentControlType(&type))) return std::nullopt;
    return static_cast<std::int32_t>(type);
  }

  std::optional<std::u16string> CurrentStringProperty(std::int32_t propertyId) override {
    ScopedVariant value;
    const HRESULT result = element_->GetCurrentPropertyValue(propertyId, value.Out());
    if (FAILED(result) || value.Get().vt != VT_BSTR || value.Get().bstrVal == nullptr) {
      return std::nullopt;
    }
    const BSTR text = value.Get().bstrVal;
    return FromWide(std::wstring_view(text, SysStringLen(text)));
  }

  std::optional<bool> CurrentIsEnabled() override {
    BOOL value = FALSE;
    const HRESULT result = element_->get_CurrentIsEnabled(&value);
    return FromBool(result, value);
  }

  std::optional<bool> CurrentHasKeyboardFocus() override {
    BOOL value = FALSE;
    const HRESULT result = element_->get_CurrentHasKeyboardFocus(&value);
    return FromBool(result, value);
  }

  std::optional<bool> CurrentIsPassword() override {
    BOOL value = FALSE;
    const HRESULT result = element_->get_CurrentIsPassword(&value);
    return FromBool(result, value);
  }

  std::optional<Rect> CurrentBoundingRectangle() override {
    RECT rect{};
    if (FAILED(element_->get_CurrentBoundingRectangle(&rect))) return std::nullopt;
    return Rect{rect.left, rect.top, rect.right, rect.bottom};
  }

  bool HasPattern(std::int32_t patternId) override {
    ComPtr<IUnknown> pattern;
    return SUCCEEDED(element_->GetCurrentPattern(patternId, &pattern)) && pattern.Get() != nullptr;
  }

  std::optional<bool> ValueIsReadOnly() override {
    ComPtr<IUIAutomationValuePattern> pattern;
    if (FAILED(element_->GetCurrentPatternAs(kUiaValuePatternId, kIidUiAutomationValuePattern,
                                             &pattern)) ||
        !pattern) {
      return std::nullopt;
    }
    BOOL value = FALSE;
    const HRESULT result = pattern->get_CurrentIsReadOnly(&value);
    return FromBool(result, value);
  }

 private:
  ComPtr<IUIAutomationElement> element_;
};

std::unique_ptr<UiaElement> Wrap(HRESULT result, ComPtr<IUIAutomationElement> element) {
  if (FAILED(result) || !element) return nullptr;
  return std::make_unique<Win32UiaElement>(std::move(element));
}

// The COM element behind an element of this backend; null for any other.
IUIAutomationElement* Unwrap(UiaElement& element) {
  auto* own = dynamic_cast<Win32UiaElement*>(&element);
  return own == nullptr ? nullptr : own->Get();
}

class Win32UiaTreeWalker final : public UiaTreeWalker {
 public:
  explicit Win32UiaTreeWalker(ComPtr<IUIAutomationTreeWalker> walker)
      : walker_(std::move(walker)) {}

  std::unique_ptr<UiaElement> GetParentElement(UiaElement& element) override {
    IUIAutomationElement* from = Unwrap(element);
    if (from == nullptr) return nullptr;
    ComPtr<IUIAutomationElement> parent;
    const HRESULT result = walker_->GetParentElement(from, &parent);
    return Wrap(result, std::move(parent));
  }

  std::unique_ptr<UiaElement> GetFirstChildElement(UiaElement& element) override {
    IUIAutomationElement* from = Unwrap(element);
    if (from == nullptr) return nullptr;
    ComPtr<IUIAutomationElement> child;
    const HRESULT result = walker_->GetFirstChildElement(from, &child);
    return Wrap(result, std::move(child));
  }

  std::unique_ptr<UiaElement> GetNextSiblingElement(UiaElement& element) override {
    IUIAutomationElement* from = Unwrap(element);
    if (from == nullptr) return nullptr;
    ComPtr<IUIAutomationElement> sibling;
    const HRESULT result = walker_->GetNextSiblingElement(from, &sibling);
    return Wrap(result, std::move(sibling));
  }

 private:
  ComPtr<IUIAutomationTreeWalker> walker_;
};

// A call that succeeds without an object still answers null, with a failing result.
HResult ResultOfNull(HRESULT result) {
  return static_cast<HResult>(FAILED(result) ? result : E_POINTER);
}

class Win32UiaClient final : public UiaClient {
 public:
  explicit Win32UiaClient(ComPtr<IUIAutomation> automation) : automation_(std::move(automation)) {}

  std::unique_ptr<UiaElement> ElementFromHandle(WindowHandle window, HResult& result) override {
    ComPtr<IUIAutomationElement> element;
    const HRESULT called = automation_->ElementFromHandle(ToHwnd(window), &element);
    if (FAILED(called) || !element) {
      result = ResultOfNull(called);
      return nullptr;
    }
    result = static_cast<HResult>(called);
    return std::make_unique<Win32UiaElement>(std::move(element));
  }

  std::unique_ptr<UiaTreeWalker> ControlViewWalker(HResult& result) override {
    ComPtr<IUIAutomationTreeWalker> walker;
    const HRESULT called = automation_->get_ControlViewWalker(&walker);
    if (FAILED(called) || !walker) {
      result = ResultOfNull(called);
      return nullptr;
    }
    result = static_cast<HResult>(called);
    return std::make_unique<Win32UiaTreeWalker>(std::move(walker));
  }

  std::unique_ptr<UiaElement> GetFocusedElement() override {
    ComPtr<IUIAutomationElement> element;
    const HRESULT result = automation_->GetFocusedElement(&element);
    return Wrap(result, std::move(element));
  }

  std::unique_ptr<UiaElement> ElementFromPoint(std::int32_t x, std::int32_t y) override {
    ComPtr<IUIAutomationElement> element;
    const HRESULT result = automation_->ElementFromPoint(POINT{x, y}, &element);
    return Wrap(result, std::move(element));
  }

  std::optional<bool> CompareElements(UiaElement& left, UiaElement& right) override {
    IUIAutomationElement* first = Unwrap(left);
    IUIAutomationElement* second = Unwrap(right);
    if (first == nullptr || second == nullptr) return std::nullopt;
    BOOL same = FALSE;
    const HRESULT result = automation_->CompareElements(first, second, &same);
    return FromBool(result, same);
  }

 private:
  ComPtr<IUIAutomation> automation_;
};

}  // namespace

std::unique_ptr<UiaClient> Win32AutomationApi::CreateClient(HResult& result) {
  ComPtr<IUIAutomation> automation;
  const HRESULT created = CoCreateInstance(kClsidCuiAutomation8, nullptr, CLSCTX_INPROC_SERVER,
                                           kIidUiAutomation, &automation);
  if (FAILED(created) || !automation) {
    result = ResultOfNull(created);
    return nullptr;
  }
  result = static_cast<HResult>(created);
  return std::make_unique<Win32UiaClient>(std::move(automation));
}

}  // namespace velmora::computer_use::platform::win32
