// UI Automation through IUIAutomation.
#include "platform/win32/win32_api.h"
// Needs <windows.h> and <objbase.h> first.
#include <uiautomation.h>
#include <wrl/client.h>

#include <limits>

namespace velmora::computer_use::platform::win32 {
namespace {

using Microsoft::WRL::ComPtr;

// The documented identifiers, defined here so that no import library has to carry them.
constexpr CLSID kClsidCuiAutomation8{
    0xe22ad333, 0xb25f, 0x460c, {0x83, 0xd0, 0x05, 0x81, 0x10, 0x73, 0x95, 0xc9}};
constexpr IID kIidUiAutomation{
    0x30cbe57d, 0xd9d0, 0x452a, {0xab, 0x13, 0x7a, 0xc5, 0xac, 0x48, 0x25, 0xee}};
constexpr IID kIidUiAutomation2{
    0x34723aff, 0x0c9d, 0x49d0, {0x98, 0x96, 0x7a, 0xb5, 0x2d, 0xf8, 0xcd, 0x8a}};
constexpr IID kIidUiAutomationValuePattern{
    0xa94cd8b1, 0x0844, 0x4cd6, {0x9d, 0x2d, 0x64, 0x05, 0x37, 0xab, 0x39, 0xe9}};
constexpr IID kIidUiAutomationInvokePattern{
    0xfb377fbe, 0x8ea6, 0x46d5, {0x9c, 0x73, 0x64, 0x99, 0x64, 0x2d, 0x30, 0x59}};
constexpr IID kIidUiAutomationTogglePattern{
    0x94cf8058, 0x9b8d, 0x4ab9, {0x8b, 0xfd, 0x4c, 0xd0, 0xa3, 0x3c, 0x8c, 0x70}};
constexpr IID kIidUiAutomationSelectionItemPattern{
    0xa8efa66a, 0x0fda, 0x421a, {0x91, 0x94, 0x38, 0x02, 0x1f, 0x35, 0x78, 0xea}};
constexpr IID kIidUiAutomationExpandCollapsePattern{
    0x619be086, 0x1f4e, 0x4ee4, {0xba, 0xfa, 0x21, 0x01, 0x28, 0x73, 0x87, 0x30}};
constexpr IID kIidUiAutomationScrollPattern{
    0x88f4d42a, 0xe881, 0x459d, {0xa7, 0x7c, 0x73, 0xbb, 0xbb, 0x7e, 0x02, 0xdc}};

// A BSTR this backend allocated, freed on every path.
using UniqueBstr = ScopedHandle<NullHandleTraits<BSTR, &SysFreeString>>;

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

// The element's pattern through the interface `iid`; null when it is absent or the call fails.
template <typename Pattern>
ComPtr<Pattern> CurrentPattern(IUIAutomationElement* element, std::int32_t patternId,
                               const IID& iid) {
  ComPtr<Pattern> pattern;
  if (FAILED(element->GetCurrentPatternAs(patternId, iid, &pattern))) return nullptr;
  return pattern;
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

  std::optional<std::int32_t> CurrentProcessId() override {
    int processId = 0;
    if (FAILED(element_->get_CurrentProcessId(&processId))) return std::nullopt;
    return static_cast<std::int32_t>(processId);
  }

  std::optional<WindowHandle> CurrentNativeWindowHandle() override {
    UIA_HWND window = nullptr;
    if (FAILED(element_->get_CurrentNativeWindowHandle(&window))) return std::nullopt;
    return FromHwnd(static_cast<HWND>(window));
  }

  bool SetFocus() override { return SUCCEEDED(element_->SetFocus()); }

  bool Invoke() override {
    const auto pattern = CurrentPattern<IUIAutomationInvokePattern>(
        element_.Get(), kUiaInvokePatternId, kIidUiAutomationInvokePattern);
    return pattern && SUCCEEDED(pattern->Invoke());
  }

  bool Toggle() override {
    const auto pattern = CurrentPattern<IUIAutomationTogglePattern>(
        element_.Get(), kUiaTogglePatternId, kIidUiAutomationTogglePattern);
    return pattern && SUCCEEDED(pattern->Toggle());
  }

  bool Select() override {
    const auto pattern = CurrentPattern<IUIAutomationSelectionItemPattern>(
        element_.Get(), kUiaSelectionItemPatternId, kIidUiAutomationSelectionItemPattern);
    return pattern && SUCCEEDED(pattern->Select());
  }

  bool Expand() override {
    const auto pattern = ExpandCollapsePattern();
    return pattern && SUCCEEDED(pattern->Expand());
  }

  bool Collapse() override {
    const auto pattern = ExpandCollapsePattern();
    return pattern && SUCCEEDED(pattern->Collapse());
  }

  std::optional<std::int32_t> ExpandCollapseState() override {
    const auto pattern = ExpandCollapsePattern();
    if (!pattern) return std::nullopt;
    enum ExpandCollapseState state = ExpandCollapseState_LeafNode;
    if (FAILED(pattern->get_CurrentExpandCollapseState(&state))) return std::nullopt;
    return static_cast<std::int32_t>(state);
  }

  bool SetValue(std::u16string_view value) override {
    if (value.size() > std::numeric_limits<UINT>::max()) return false;
    const auto pattern = CurrentPattern<IUIAutomationValuePattern>(
        element_.Get(), kUiaValuePatternId, kIidUiAutomationValuePattern);
    if (!pattern) return false;
    const UniqueBstr text(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(value.data()),
                                            static_cast<UINT>(value.size())));
    return text.Valid() && SUCCEEDED(pattern->SetValue(text.Get()));
  }

  bool Scroll(std::int32_t horizontalAmount, std::int32_t verticalAmount) override {
    const auto pattern = CurrentPattern<IUIAutomationScrollPattern>(
        element_.Get(), kUiaScrollPatternId, kIidUiAutomationScrollPattern);
    return pattern && SUCCEEDED(pattern->Scroll(static_cast<enum ScrollAmount>(horizontalAmount),
                                                static_cast<enum ScrollAmount>(verticalAmount)));
  }

 private:
  ComPtr<IUIAutomationExpandCollapsePattern> ExpandCollapsePattern() {
    return CurrentPattern<IUIAutomationExpandCollapsePattern>(
        element_.Get(), kUiaExpandCollapsePatternId, kIidUiAutomationExpandCollapsePattern);
  }

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

  std::optional<bool> AutoSetFocus() override {
    const ComPtr<IUIAutomation2> automation = Automation2();
    if (!automation) return std::nullopt;
    BOOL value = FALSE;
    const HRESULT result = automation->get_AutoSetFocus(&value);
    return FromBool(result, value);
  }

  bool SetAutoSetFocus(bool value) override {
    const ComPtr<IUIAutomation2> automation = Automation2();
    return automation && SUCCEEDED(automation->put_AutoSetFocus(value ? TRUE : FALSE));
  }

 private:
  // The client's IUIAutomation2; null where the system has only IUIAutomation.
  ComPtr<IUIAutomation2> Automation2() {
    ComPtr<IUIAutomation2> automation;
    if (FAILED(automation_->QueryInterface(kIidUiAutomation2, &automation))) return nullptr;
    return automation;
  }

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
