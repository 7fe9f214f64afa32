// Simulated UI Automation: per window a tree of elements with control types, names, automation
// ids, flags, bounds and patterns. Element identity survives property changes; any property
// read or tree call can be made to fail; every seam call is counted.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/automation.h"

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
};

using SimElementId = std::uint64_t;

class SimAutomation final : public AutomationApi {
 public:
  SimAutomation();
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
  void SetFocusedElement(SimElementId id);  // 0: none

  void FailCreateClient(HResult result);
  void FailElementFromHandle(HResult result);
  void FailControlViewWalker(HResult result);
  void FailCompareElements(bool fails);

  // Seam calls made through clients, elements and walkers so far.
  std::uint64_t CallCount() const { return calls_; }

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

  void Count() { ++calls_; }
  void RemoveLocked(SimElementId id);
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
  std::atomic<std::uint64_t> calls_{0};
};

}  // namespace velmora::computer_use::platform::sim
