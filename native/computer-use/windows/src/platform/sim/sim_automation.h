// Simulated UI Automation: per window a tree of elements with control types, names, automation
// ids, flags, bounds and patterns. Element identity survives property changes; any property
// read or tree call can be made to fail; every seam call is counted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation.h"
#include "platform/windows.h"

namespace velmora::computer_use::platform::sim {

// What a test can make fail, per element.
enum class UiaCall {
  kControlType,
  kName,
  kAutomationId,
  kIsEnabled,
  kHasKeyboardFocus,
  kIsPassword,
  kBoundingRectangle,
  kPatterns,
  kValueIsReadOnly,
  kParent,
  kFirstChild,
  kNextSibling,
  kProcessId,
  kNativeWindowHandle,
  kSetFocus,
  kPatternMethods,
};

using SimElementId = std::uint64_t;

// How an application answers what is done to one of its elements, through a pattern or by
// input; runs without the automation's lock, so it may change other elements.
struct SimReactions {
  std::function<void()> onInvoke;
  std::function<void(bool expanded)> onExpandCollapse;
};

struct SimElement {
  std::int32_t controlType = 50033;  // Pane
  std::u16string name;
  std::u16string automationId;
  bool enabled = true;
  bool focused = false;
  bool password = false;
  Rect bounds;
  std::set<std::int32_t> patterns;
  bool valueReadOnly = false;
  std::set<UiaCall> failing;
  // The state behind the patterns.
  std::u16string value;
  bool toggled = false;
  bool selected = false;
  bool expanded = false;
  double verticalScrollPercent = 0;
  // The element's own window, for a classic control.
  WindowHandle nativeWindow = kNullWindow;
  SimReactions reactions;
};

class SimAutomation final : public AutomationApi {
 public:
  // The windows give an element's process: the process of the window its tree belongs to.
  explicit SimAutomation(WindowApi& windows);
  ~SimAutomation() override;
  SimAutomation(const SimAutomation&) = delete;
  SimAutomation& operator=(const SimAutomation&) = delete;

  // The element of a window (replacing any earlier tree of it) and its descendants.
  SimElementId SetWindowElement(WindowHandle window, SimElement element);
  SimElementId AddChild(SimElementId parent, SimElement element);
  SimElement Get(SimElementId id) const;
  void Update(SimElementId id, SimElement element);
  // The element and its subtree go away; references to them fail from now on.
  void Remove(SimElementId id);
  // Moves the keyboard focus: the element's flag, and the element the client reports.
  void SetFocusedElement(SimElementId id);  // 0: none
  // The element with the focus flag in the window's tree; 0 for none.
  SimElementId FocusedElementIn(WindowHandle window) const;
  // The first element of the window's tree, in walk order, with exactly this name; 0 for none.
  SimElementId FindByName(WindowHandle window, std::u16string_view name) const;
  // The deepest element of the window's tree under the point; 0 for none.
  SimElementId ElementAt(WindowHandle window, std::int32_t x, std::int32_t y) const;
  WindowHandle WindowOf(SimElementId id) const;
  // The element of the window itself; 0 for none.
  SimElementId WindowElement(WindowHandle window) const;
  // The element or its nearest ancestor that offers the pattern; 0 for none.
  SimElementId NearestWithPattern(SimElementId id, std::int32_t patternId) const;
  void SetName(SimElementId id, std::u16string name);

  // The patterns, acting on the scene as an application does. False when the element is gone,
  // lacks the pattern or refuses (a read-only value).
  bool Invoke(SimElementId id);
  bool Toggle(SimElementId id);
  bool Select(SimElementId id);
  bool Expand(SimElementId id);
  bool Collapse(SimElementId id);
  bool SetValue(SimElementId id, std::u16string value);
  // Scrolls by a percentage of the range, kept within 0 to 100.
  bool ScrollVertically(SimElementId id, double percent);
  // None for a password field, whose value never leaves it, and for no Value pattern.
  std::optional<std::u16string> Value(SimElementId id) const;
  // What a click or the Enter key does: invokes, toggles, expands or collapses, selects.
  bool Activate(SimElementId id);
  // Appends a typed character to an editable value, or removes the last one for Backspace.
  bool TypeCharacter(SimElementId id, char16_t character);
  bool EraseCharacter(SimElementId id);

  void FailCreateClient(HResult result);
  void FailElementFromHandle(HResult result);
  void FailControlViewWalker(HResult result);
  void FailCompareElements(bool fails);
  // IUIAutomation2's AutoSetFocus: its value, and whether reading or setting it fails.
  bool AutoSetFocusValue() const;
  void FailAutoSetFocus(bool fails);

  // Seam calls made through clients, elements and walkers so far.
  std::uint64_t CallCount() const { return calls_; }
  // While held, every call through a client, an element or a walker blocks, as the calls into a
  // hung application do.
  void HoldCalls(bool hold);
  // Told the window of each element that takes the keyboard focus, after the change.
  void OnFocusChanged(std::function<void(WindowHandle window)> listener);
  // Moves the focus to the next focusable element of the window's tree, as Tab does; false when
  // there is none.
  bool FocusNext(WindowHandle window);

  std::unique_ptr<UiaClient> CreateClient(HResult& result) override;

 private:
  friend class SimUiaClient;
  friend class SimUiaElement;
  friend class SimUiaWalker;

  struct Node {
    SimElement element;
    SimElementId parent = 0;
    std::vector<SimElementId> children;
    WindowHandle window = kNullWindow;  // set on a window's root element
  };

  void Count();
  void RemoveLocked(SimElementId id);
  bool HasPatternLocked(SimElementId id, std::int32_t patternId) const;
  SimElementId RootOfLocked(SimElementId id) const;
  void SetFocusedElementLocked(SimElementId id);
  // Changes the element under the lock, then runs what the change asks for without it.
  bool Change(SimElementId id, std::int32_t patternId,
              const std::function<std::function<void()>(SimElement&)>& change);
  // Deepest last-drawn element containing the point, across every tree.
  SimElementId HitTestLocked(SimElementId id, std::int32_t x, std::int32_t y) const;

  mutable std::mutex mutex_;
  std::map<SimElementId, Node> nodes_;
  std::map<WindowHandle, SimElementId> windowRoots_;
  SimElementId nextId_ = 1;
  SimElementId focused_ = 0;
  HResult createClientFailure_ = 0;
  HResult elementFromHandleFailure_ = 0;
  HResult walkerFailure_ = 0;
  bool compareFails_ = false;
  bool autoSetFocus_ = true;
  bool autoSetFocusFails_ = false;
  WindowApi& windows_;
  std::atomic<std::uint64_t> calls_{0};
  std::mutex holdMutex_;
  std::condition_variable released_;
  bool hold_ = false;
  std::function<void(WindowHandle)> focusListener_;
};

}  // namespace velmora::computer_use::platform::sim
