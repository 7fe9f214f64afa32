#include "platform/sim/sim_automation.h"

#include <algorithm>

namespace velmora::computer_use::platform::sim {

constexpr HResult kElementNotAvailable = static_cast<HResult>(0x80040201);

class SimUiaElement final : public UiaElement {
 public:
  SimUiaElement(SimAutomation& automation, SimElementId id) : automation_(automation), id_(id) {}
  SimElementId Id() const { return id_; }

  std::optional<std::int32_t> CurrentControlType() override {
    return Read<std::int32_t>(UiaCall::kControlType,
                              [](const SimElement& e) { return e.controlType; });
  }
  std::optional<std::u16string> CurrentStringProperty(std::int32_t propertyId) override {
    if (propertyId == kUiaNamePropertyId) {
      return Read<std::u16string>(UiaCall::kName, [](const SimElement& e) { return e.name; });
    }
    if (propertyId == kUiaAutomationIdPropertyId) {
      return Read<std::u16string>(UiaCall::kAutomationId,
                                  [](const SimElement& e) { return e.automationId; });
    }
    automation_.Count();
    return std::nullopt;
  }
  std::optional<bool> CurrentIsEnabled() override {
    return Read<bool>(UiaCall::kIsEnabled, [](const SimElement& e) { return e.enabled; });
  }
  std::optional<bool> CurrentHasKeyboardFocus() override {
    return Read<bool>(UiaCall::kHasKeyboardFocus, [](const SimElement& e) { return e.focused; });
  }
  std::optional<bool> CurrentIsPassword() override {
    return Read<bool>(UiaCall::kIsPassword, [](const SimElement& e) { return e.password; });
  }
  std::optional<Rect> CurrentBoundingRectangle() override {
    return Read<Rect>(UiaCall::kBoundingRectangle, [](const SimElement& e) { return e.bounds; });
  }
  bool HasPattern(std::int32_t patternId) override {
    return Read<bool>(UiaCall::kPatterns,
                      [patternId](const SimElement& e) { return e.patterns.count(patternId) != 0; })
        .value_or(false);
  }
  std::optional<std::int32_t> CurrentProcessId() override {
    automation_.Count();
    WindowHandle window = kNullWindow;
    {
      std::lock_guard lock(automation_.mutex_);
      const auto it = automation_.nodes_.find(id_);
      if (it == automation_.nodes_.end() || it->second.element.failing.count(UiaCall::kProcessId)) {
        return std::nullopt;
      }
      const auto root = automation_.nodes_.find(automation_.RootOfLocked(id_));
      if (root != automation_.nodes_.end()) window = root->second.window;
    }
    return static_cast<std::int32_t>(automation_.windows_.WindowProcessId(window));
  }
  std::optional<WindowHandle> CurrentNativeWindowHandle() override {
    return Read<WindowHandle>(UiaCall::kNativeWindowHandle,
                              [](const SimElement& e) { return e.nativeWindow; });
  }
  bool SetFocus() override {
    if (!Read<bool>(UiaCall::kSetFocus, [](const SimElement&) { return true; })) return false;
    automation_.SetFocusedElement(id_);
    return true;
  }
  bool Invoke() override {
    return Call([this] { return automation_.Invoke(id_); });
  }
  bool Toggle() override {
    return Call([this] { return automation_.Toggle(id_); });
  }
  bool Select() override {
    return Call([this] { return automation_.Select(id_); });
  }
  bool Expand() override {
    return Call([this] { return automation_.Expand(id_); });
  }
  bool Collapse() override {
    return Call([this] { return automation_.Collapse(id_); });
  }
  std::optional<std::int32_t> ExpandCollapseState() override {
    return Read<std::optional<std::int32_t>>(
               UiaCall::kPatternMethods,
               [](const SimElement& e) {
                 return e.patterns.count(kUiaExpandCollapsePatternId) != 0
                            ? std::optional<std::int32_t>(e.expanded ? 1 : 0)
                            : std::nullopt;
               })
        .value_or(std::nullopt);
  }
  bool SetValue(std::u16string_view value) override {
    return Call([this, value] { return automation_.SetValue(id_, std::u16string(value)); });
  }
  bool Scroll(std::int32_t /*horizontalAmount*/, std::int32_t verticalAmount) override {
    // A large step is a page of a quarter of the range, a small one a tenth.
    static constexpr double kSteps[] = {-25, -10, 0, 25, 10};
    if (verticalAmount < 0 || verticalAmount > 4) return false;
    return Call([this, verticalAmount] {
      return automation_.ScrollVertically(id_, kSteps[verticalAmount]);
    });
  }
  std::optional<bool> ValueIsReadOnly() override {
    const std::optional<std::optional<bool>> value =
        Read<std::optional<bool>>(UiaCall::kValueIsReadOnly, [](const SimElement& e) {
          return e.patterns.count(kUiaValuePatternId) != 0 ? std::optional<bool>(e.valueReadOnly)
                                                           : std::nullopt;
        });
    return value.value_or(std::nullopt);
  }

 private:
  // A pattern's method, unless a test made the element's pattern calls fail.
  template <typename Method>
  bool Call(Method method) {
    if (!Read<bool>(UiaCall::kPatternMethods, [](const SimElement&) { return true; })) return false;
    return method();
  }

  template <typename T, typename Getter>
  std::optional<T> Read(UiaCall call, Getter getter) {
    automation_.Count();
    std::lock_guard lock(automation_.mutex_);
    const auto it = automation_.nodes_.find(id_);
    if (it == automation_.nodes_.end() || it->second.element.failing.count(call) != 0) {
      return std::nullopt;
    }
    return getter(it->second.element);
  }

  SimAutomation& automation_;
  SimElementId id_;
};

class SimUiaWalker final : public UiaTreeWalker {
 public:
  explicit SimUiaWalker(SimAutomation& automation) : automation_(automation) {}

  std::unique_ptr<UiaElement> GetParentElement(UiaElement& element) override {
    return Move(
        element, UiaCall::kParent,
        [](const SimAutomation::Node& node, const std::map<SimElementId, SimAutomation::Node>&) {
          // A window's element has the desktop above it, which the walk never reaches.
          return node.window != kNullWindow ? SimElementId{0} : node.parent;
        });
  }
  std::unique_ptr<UiaElement> GetFirstChildElement(UiaElement& element) override {
    return Move(element, UiaCall::kFirstChild, [](const SimAutomation::Node& node, const auto&) {
      return node.children.empty() ? SimElementId{0} : node.children.front();
    });
  }
  std::unique_ptr<UiaElement> GetNextSiblingElement(UiaElement& element) override {
    const SimElementId self = static_cast<SimUiaElement&>(element).Id();
    return Move(
        element, UiaCall::kNextSibling, [self](const SimAutomation::Node& node, const auto& nodes) {
          const auto parent = nodes.find(node.parent);
          if (node.window != kNullWindow || parent == nodes.end()) return SimElementId{0};
          const auto& siblings = parent->second.children;
          const auto it = std::find(siblings.begin(), siblings.end(), self);
          return it == siblings.end() || it + 1 == siblings.end() ? SimElementId{0} : *(it + 1);
        });
  }

 private:
  template <typename Step>
  std::unique_ptr<UiaElement> Move(UiaElement& element, UiaCall call, Step step) {
    automation_.Count();
    std::lock_guard lock(automation_.mutex_);
    const auto it = automation_.nodes_.find(static_cast<SimUiaElement&>(element).Id());
    if (it == automation_.nodes_.end() || it->second.element.failing.count(call) != 0) {
      return nullptr;
    }
    const SimElementId next = step(it->second, automation_.nodes_);
    if (next == 0) return nullptr;
    return std::make_unique<SimUiaElement>(automation_, next);
  }

  SimAutomation& automation_;
};

class SimUiaClient final : public UiaClient {
 public:
  explicit SimUiaClient(SimAutomation& automation) : automation_(automation) {}

  std::unique_ptr<UiaElement> ElementFromHandle(WindowHandle window, HResult& result) override {
    automation_.Count();
    std::lock_guard lock(automation_.mutex_);
    result = automation_.elementFromHandleFailure_;
    if (result != 0) return nullptr;
    const auto it = automation_.windowRoots_.find(window);
    if (it == automation_.windowRoots_.end()) {
      result = kElementNotAvailable;
      return nullptr;
    }
    return std::make_unique<SimUiaElement>(automation_, it->second);
  }
  std::unique_ptr<UiaTreeWalker> ControlViewWalker(HResult& result) override {
    automation_.Count();
    std::lock_guard lock(automation_.mutex_);
    result = automation_.walkerFailure_;
    if (result != 0) return nullptr;
    return std::make_unique<SimUiaWalker>(automation_);
  }
  std::unique_ptr<UiaElement> GetFocusedElement() override {
    automation_.Count();
    std::lock_guard lock(automation_.mutex_);
    if (automation_.focused_ == 0 || automation_.nodes_.count(automation_.focused_) == 0) {
      return nullptr;
    }
    return std::make_unique<SimUiaElement>(automation_, automation_.focused_);
  }
  std::unique_ptr<UiaElement> ElementFromPoint(std::int32_t x, std::int32_t y) override {
    automation_.Count();
    std::lock_guard lock(automation_.mutex_);
    SimElementId hit = 0;
    for (const auto& [window, root] : automation_.windowRoots_) {
      if (const SimElementId found = automation_.HitTestLocked(root, x, y)) hit = found;
    }
    if (hit == 0) return nullptr;
    return std::make_unique<SimUiaElement>(automation_, hit);
  }
  std::optional<bool> AutoSetFocus() override {
    automation_.Count();
    std::lock_guard lock(automation_.mutex_);
    if (automation_.autoSetFocusFails_) return std::nullopt;
    return automation_.autoSetFocus_;
  }
  bool SetAutoSetFocus(bool value) override {
    automation_.Count();
    std::lock_guard lock(automation_.mutex_);
    if (automation_.autoSetFocusFails_) return false;
    automation_.autoSetFocus_ = value;
    return true;
  }
  std::optional<bool> CompareElements(UiaElement& left, UiaElement& right) override {
    automation_.Count();
    std::lock_guard lock(automation_.mutex_);
    if (automation_.compareFails_) return std::nullopt;
    return static_cast<SimUiaElement&>(left).Id() == static_cast<SimUiaElement&>(right).Id();
  }

 private:
  SimAutomation& automation_;
};

SimAutomation::SimAutomation(WindowApi& windows) : windows_(windows) {}
SimAutomation::~SimAutomation() = default;

SimElementId SimAutomation::SetWindowElement(WindowHandle window, SimElement element) {
  std::lock_guard lock(mutex_);
  if (const auto old = windowRoots_.find(window); old != windowRoots_.end()) {
    RemoveLocked(old->second);
  }
  const SimElementId id = nextId_++;
  nodes_[id] = Node{std::move(element), 0, {}, window};
  windowRoots_[window] = id;
  return id;
}

SimElementId SimAutomation::AddChild(SimElementId parent, SimElement element) {
  std::lock_guard lock(mutex_);
  const SimElementId id = nextId_++;
  nodes_[id] = Node{std::move(element), parent, {}, kNullWindow};
  nodes_.at(parent).children.push_back(id);
  return id;
}

SimElement SimAutomation::Get(SimElementId id) const {
  std::lock_guard lock(mutex_);
  return nodes_.at(id).element;
}

void SimAutomation::Update(SimElementId id, SimElement element) {
  std::lock_guard lock(mutex_);
  nodes_.at(id).element = std::move(element);
}

void SimAutomation::Remove(SimElementId id) {
  std::lock_guard lock(mutex_);
  RemoveLocked(id);
}

void SimAutomation::RemoveLocked(SimElementId id) {
  const auto it = nodes_.find(id);
  if (it == nodes_.end()) return;
  for (SimElementId child : std::vector<SimElementId>(it->second.children)) RemoveLocked(child);
  if (const auto parent = nodes_.find(it->second.parent); parent != nodes_.end()) {
    std::erase(parent->second.children, id);
  }
  if (it->second.window != kNullWindow) windowRoots_.erase(it->second.window);
  if (focused_ == id) focused_ = 0;
  nodes_.erase(id);
}

void SimAutomation::Count() {
  ++calls_;
  std::unique_lock lock(holdMutex_);
  released_.wait(lock, [this] { return !hold_; });
}

void SimAutomation::HoldCalls(bool hold) {
  {
    std::lock_guard lock(holdMutex_);
    hold_ = hold;
  }
  released_.notify_all();
}

void SimAutomation::OnFocusChanged(std::function<void(WindowHandle window)> listener) {
  std::lock_guard lock(mutex_);
  focusListener_ = std::move(listener);
}

bool SimAutomation::FocusNext(WindowHandle window) {
  std::vector<SimElementId> order;
  {
    std::lock_guard lock(mutex_);
    const auto root = windowRoots_.find(window);
    if (root == windowRoots_.end()) return false;
    std::vector<SimElementId> pending{root->second};
    while (!pending.empty()) {
      const SimElementId id = pending.back();
      pending.pop_back();
      const Node& node = nodes_.at(id);
      // What a user can tab to: an enabled element that does something.
      if (node.element.enabled && !node.element.patterns.empty()) order.push_back(id);
      pending.insert(pending.end(), node.children.rbegin(), node.children.rend());
    }
  }
  if (order.empty()) return false;
  const auto current = std::find(order.begin(), order.end(), FocusedElementIn(window));
  SetFocusedElement(current == order.end() || current + 1 == order.end() ? order.front()
                                                                         : *(current + 1));
  return true;
}

void SimAutomation::SetFocusedElement(SimElementId id) {
  std::function<void(WindowHandle)> listener;
  WindowHandle window = kNullWindow;
  {
    std::lock_guard lock(mutex_);
    SetFocusedElementLocked(id);
    listener = focusListener_;
    const auto root = nodes_.find(RootOfLocked(id));
    if (root != nodes_.end()) window = root->second.window;
  }
  if (listener && window != kNullWindow) listener(window);
}

void SimAutomation::SetFocusedElementLocked(SimElementId id) {
  focused_ = id;
  if (nodes_.count(id) == 0) return;
  // One focused element per window: the one the window gives the focus back to when it
  // comes to the foreground again.
  std::vector<SimElementId> pending{RootOfLocked(id)};
  while (!pending.empty()) {
    Node& node = nodes_.at(pending.back());
    pending.pop_back();
    node.element.focused = false;
    pending.insert(pending.end(), node.children.begin(), node.children.end());
  }
  nodes_.at(id).element.focused = true;
}

SimElementId SimAutomation::RootOfLocked(SimElementId id) const {
  for (auto it = nodes_.find(id); it != nodes_.end(); it = nodes_.find(it->second.parent)) {
    if (it->second.parent == 0) return it->first;
  }
  return 0;
}

namespace {

// The first element of the tree in walk order for which `match` holds; 0 for none.
template <typename Nodes, typename Match>
SimElementId FindInTree(const Nodes& nodes, SimElementId root, Match match) {
  const auto it = nodes.find(root);
  if (it == nodes.end()) return 0;
  if (match(it->second.element)) return root;
  for (const SimElementId child : it->second.children) {
    if (const SimElementId found = FindInTree(nodes, child, match)) return found;
  }
  return 0;
}

}  // namespace

SimElementId SimAutomation::FocusedElementIn(WindowHandle window) const {
  std::lock_guard lock(mutex_);
  const auto root = windowRoots_.find(window);
  if (root == windowRoots_.end()) return 0;
  return FindInTree(nodes_, root->second, [](const SimElement& e) { return e.focused; });
}

SimElementId SimAutomation::FindByName(WindowHandle window, std::u16string_view name) const {
  std::lock_guard lock(mutex_);
  const auto root = windowRoots_.find(window);
  if (root == windowRoots_.end()) return 0;
  return FindInTree(nodes_, root->second, [name](const SimElement& e) { return e.name == name; });
}

SimElementId SimAutomation::ElementAt(WindowHandle window, std::int32_t x, std::int32_t y) const {
  std::lock_guard lock(mutex_);
  const auto root = windowRoots_.find(window);
  return root == windowRoots_.end() ? 0 : HitTestLocked(root->second, x, y);
}

WindowHandle SimAutomation::WindowOf(SimElementId id) const {
  std::lock_guard lock(mutex_);
  const auto root = nodes_.find(RootOfLocked(id));
  return root == nodes_.end() ? kNullWindow : root->second.window;
}

SimElementId SimAutomation::NearestWithPattern(SimElementId id, std::int32_t patternId) const {
  std::lock_guard lock(mutex_);
  for (auto it = nodes_.find(id); it != nodes_.end(); it = nodes_.find(it->second.parent)) {
    if (it->second.element.patterns.count(patternId) != 0) return it->first;
  }
  return 0;
}

SimElementId SimAutomation::WindowElement(WindowHandle window) const {
  std::lock_guard lock(mutex_);
  const auto root = windowRoots_.find(window);
  return root == windowRoots_.end() ? 0 : root->second;
}

void SimAutomation::SetName(SimElementId id, std::u16string name) {
  std::lock_guard lock(mutex_);
  if (const auto it = nodes_.find(id); it != nodes_.end()) {
    it->second.element.name = std::move(name);
  }
}

bool SimAutomation::HasPatternLocked(SimElementId id, std::int32_t patternId) const {
  const auto it = nodes_.find(id);
  return it != nodes_.end() && it->second.element.patterns.count(patternId) != 0;
}

bool SimAutomation::Change(SimElementId id, std::int32_t patternId,
                           const std::function<std::function<void()>(SimElement&)>& change) {
  std::function<void()> reaction;
  {
    std::lock_guard lock(mutex_);
    if (!HasPatternLocked(id, patternId)) return false;
    reaction = change(nodes_.at(id).element);
  }
  if (reaction) reaction();
  return true;
}

bool SimAutomation::Invoke(SimElementId id) {
  return Change(id, kUiaInvokePatternId,
                [](SimElement& element) { return element.reactions.onInvoke; });
}

bool SimAutomation::Toggle(SimElementId id) {
  return Change(id, kUiaTogglePatternId, [](SimElement& element) {
    element.toggled = !element.toggled;
    return std::function<void()>();
  });
}

bool SimAutomation::Select(SimElementId id) {
  return Change(id, kUiaSelectionItemPatternId, [](SimElement& element) {
    element.selected = true;
    return std::function<void()>();
  });
}

namespace {

std::function<void()> SetExpanded(SimElement& element, bool expanded) {
  if (element.expanded == expanded || !element.reactions.onExpandCollapse) {
    element.expanded = expanded;
    return nullptr;
  }
  element.expanded = expanded;
  return [reaction = element.reactions.onExpandCollapse, expanded] { reaction(expanded); };
}

}  // namespace

bool SimAutomation::Expand(SimElementId id) {
  return Change(id, kUiaExpandCollapsePatternId,
                [](SimElement& element) { return SetExpanded(element, true); });
}

bool SimAutomation::Collapse(SimElementId id) {
  return Change(id, kUiaExpandCollapsePatternId,
                [](SimElement& element) { return SetExpanded(element, false); });
}

bool SimAutomation::SetValue(SimElementId id, std::u16string value) {
  bool refused = false;
  const bool found = Change(id, kUiaValuePatternId, [&](SimElement& element) {
    refused = element.valueReadOnly;
    if (!refused) element.value = std::move(value);
    return std::function<void()>();
  });
  return found && !refused;
}

bool SimAutomation::ScrollVertically(SimElementId id, double percent) {
  return Change(id, kUiaScrollPatternId, [percent](SimElement& element) {
    element.verticalScrollPercent = std::clamp(element.verticalScrollPercent + percent, 0.0, 100.0);
    return std::function<void()>();
  });
}

std::optional<std::u16string> SimAutomation::Value(SimElementId id) const {
  std::lock_guard lock(mutex_);
  if (!HasPatternLocked(id, kUiaValuePatternId)) return std::nullopt;
  const SimElement& element = nodes_.at(id).element;
  if (element.password) return std::nullopt;
  return element.value;
}

bool SimAutomation::Activate(SimElementId id) {
  bool expanded = false;
  {
    std::lock_guard lock(mutex_);
    const auto it = nodes_.find(id);
    if (it == nodes_.end()) return false;
    expanded = it->second.element.expanded;
  }
  return Invoke(id) || Toggle(id) || (expanded ? Collapse(id) : Expand(id)) || Select(id);
}

bool SimAutomation::TypeCharacter(SimElementId id, char16_t character) {
  bool refused = false;
  const bool found = Change(id, kUiaValuePatternId, [&](SimElement& element) {
    refused = element.valueReadOnly;
    if (!refused) element.value.push_back(character);
    return std::function<void()>();
  });
  return found && !refused;
}

bool SimAutomation::EraseCharacter(SimElementId id) {
  bool refused = false;
  const bool found = Change(id, kUiaValuePatternId, [&](SimElement& element) {
    refused = element.valueReadOnly || element.value.empty();
    if (!refused) element.value.pop_back();
    return std::function<void()>();
  });
  return found && !refused;
}

void SimAutomation::FailCreateClient(HResult result) {
  std::lock_guard lock(mutex_);
  createClientFailure_ = result;
}

void SimAutomation::FailElementFromHandle(HResult result) {
  std::lock_guard lock(mutex_);
  elementFromHandleFailure_ = result;
}

void SimAutomation::FailControlViewWalker(HResult result) {
  std::lock_guard lock(mutex_);
  walkerFailure_ = result;
}

bool SimAutomation::AutoSetFocusValue() const {
  std::lock_guard lock(mutex_);
  return autoSetFocus_;
}

void SimAutomation::FailAutoSetFocus(bool fails) {
  std::lock_guard lock(mutex_);
  autoSetFocusFails_ = fails;
}

void SimAutomation::FailCompareElements(bool fails) {
  std::lock_guard lock(mutex_);
  compareFails_ = fails;
}

SimElementId SimAutomation::HitTestLocked(SimElementId id, std::int32_t x, std::int32_t y) const {
  const Node& node = nodes_.at(id);
  const Rect& r = node.element.bounds;
  if (x < r.left || x >= r.right || y < r.top || y >= r.bottom) return 0;
  SimElementId hit = id;
  for (SimElementId child : node.children) {
    if (const SimElementId found = HitTestLocked(child, x, y)) hit = found;
  }
  return hit;
}

std::unique_ptr<UiaClient> SimAutomation::CreateClient(HResult& result) {
  std::lock_guard lock(mutex_);
  result = createClientFailure_;
  if (result != 0) return nullptr;
  return std::make_unique<SimUiaClient>(*this);
}

}  // namespace velmora::computer_use::platform::sim
