#include "observe/uia_observer.h"

#include <stdexcept>

#include "common/platform_error.h"
#include "protocol/json.h"
#include "safety/session_monitor.h"

namespace velmora::computer_use {
namespace {

constexpr std::uint32_t kFnvOffset = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;

std::uint32_t Mix(std::uint32_t hash, std::uint32_t value) {
  return (hash ^ value) * kFnvPrime;
}

bool HasUnpairedSurrogate(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return true;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

std::u16string WindowTitle(platform::WindowApi& windows, platform::WindowHandle window) {
  const int length = windows.WindowTextLength(window);
  if (length < 1) return {};
  std::u16string buffer(static_cast<std::size_t>(length) + 1, u'\0');
  const int copied = windows.WindowText(window, buffer.data(), length + 1);
  buffer.resize(static_cast<std::size_t>(std::max(copied, 0)));
  return buffer;
}

}  // namespace

std::string ToUtf8Strict(std::u16string_view text) {
  if (text.empty() || HasUnpairedSurrogate(text)) return {};
  return ToUtf8(text);
}

std::string Sha256Hex(platform::CryptoApi& crypto, std::string_view bytes) {
  const platform::Sha256Digest digest = crypto.Sha256(bytes);
  if (digest.status == platform::HashStatus::kUnavailable) {
    throw std::runtime_error("sha256_unavailable");
  }
  if (digest.status != platform::HashStatus::kOk) throw std::runtime_error("sha256_failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(64);
  for (std::uint8_t byte : digest.bytes) {
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 0x0F]);
  }
  return hex;
}

std::uint32_t DisplayTopologyHash(platform::DisplayApi& displays) {
  std::uint32_t hash = kFnvOffset;
  for (const platform::MonitorDescription& monitor : displays.EnumerateMonitors()) {
    for (std::int32_t edge :
         {monitor.rect.left, monitor.rect.top, monitor.rect.right, monitor.rect.bottom}) {
      hash = Mix(hash, static_cast<std::uint32_t>(edge));
    }
    if (monitor.deviceName) {
      for (char16_t unit : *monitor.deviceName) {
        if (unit == u'\0') break;
        hash = Mix(hash, unit);
      }
    }
    const platform::EffectiveDpi dpi = monitor.dpi.value_or(platform::EffectiveDpi{});
    hash = Mix(hash, dpi.x);
    hash = Mix(hash, dpi.y);
  }
  return hash;
}

std::u16string GetProcessImagePath(platform::Platform& platform, platform::ProcessId processId) {
  return platform.processInfo.QueryImagePath(processId).value_or(std::u16string());
}

std::uint32_t GetProcessIntegrityLevel(platform::Platform& platform,
                                       platform::ProcessId processId) {
  return platform.processInfo.QueryIntegrityLevel(processId).value_or(0);
}

std::string_view WindowAccessErrorCode(std::int32_t access) {
  switch (access) {
    case kWindowAccessAllowed:
      return "";
    case kWindowAccessIntegrityTooHigh:
      return "uipi_blocked";
    default:
      return "secure_desktop_unavailable";
  }
}

std::int32_t CheckWindowAccess(platform::Platform& platform, platform::WindowHandle window) {
  const SessionSnapshot snapshot = CaptureSessionSnapshot(platform);
  if (!snapshot.lockStateKnown || !snapshot.active || !snapshot.unlocked) {
    return kWindowAccessSessionLocked;
  }
  if (snapshot.sessionId == 0 || !snapshot.inputDesktopIsDefault) {
    return kWindowAccessNotDefaultDesktop;
  }
  if (window == platform::kNullWindow || !platform.windows.IsWindow(window)) {
    return kWindowAccessUnavailable;
  }
  const platform::ProcessId processId = platform.windows.WindowProcessId(window);
  const std::optional<std::uint32_t> session = platform.sessions.ProcessIdToSessionId(processId);
  if (!session || *session != snapshot.sessionId) return kWindowAccessUnavailable;
  const std::uint32_t target = GetProcessIntegrityLevel(platform, processId);
  const std::uint32_t own =
      GetProcessIntegrityLevel(platform, platform.processes.CurrentProcessId());
  if (target == 0 || own == 0) return kWindowAccessUnavailable;
  return own < target ? kWindowAccessIntegrityTooHigh : kWindowAccessAllowed;
}

std::int32_t CheckForegroundWindowAccess(platform::Platform& platform) {
  return CheckWindowAccess(platform, platform.windows.ForegroundWindow());
}

Observation DescribeWindow(platform::Platform& platform, platform::WindowHandle window) {
  const platform::WindowHandle root = platform.windows.RootWindow(window);
  const std::int32_t access = CheckWindowAccess(platform, root);
  if (access != kWindowAccessAllowed) {
    throw std::runtime_error(std::string(WindowAccessErrorCode(access)));
  }
  const platform::ProcessId processId = platform.windows.WindowProcessId(root);
  const std::u16string path = GetProcessImagePath(platform, processId);
  if (path.empty()) throw std::runtime_error("target_unavailable");

  Observation observation;
  observation.appIdentity =
      std::string(kAppIdentityPrefix) + Sha256Hex(platform.crypto, ToUtf8Strict(path));
  observation.windowIdentity = "hwnd:" + std::to_string(static_cast<std::uintptr_t>(root)) +
                               ":pid:" + std::to_string(processId);
  const std::size_t separator = path.find_last_of(u"\\/");
  observation.appName = separator == std::u16string::npos ? path : path.substr(separator + 1);
  observation.windowTitle = WindowTitle(platform.windows, root);
  observation.window = root;
  observation.topologyGeneration = DisplayTopologyHash(platform.displays);
  return observation;
}

}  // namespace velmora::computer_use

// --- Elements and observations

namespace velmora::computer_use {
namespace {

using platform::UiaElement;

struct TitleBarControl {
  std::u16string_view automationId;
  std::u16string_view controlKind;
  std::u16string_view fallbackName;
};

constexpr TitleBarControl kTitleBarControls[] = {
    {u"Close", u"window_close", u"Close window"},
    {u"Minimize", u"window_minimize", u"Minimize window"},
    {u"Maximize", u"window_zoom", u"Zoom window"},
    {u"Restore", u"window_zoom", u"Zoom window"},
};

void ApplyTitleBar(ElementNode& node) {
  for (const TitleBarControl& control : kTitleBarControls) {
    if (node.automationId == control.automationId) {
      node.controlKind = control.controlKind;
      if (node.name.empty()) node.name = control.fallbackName;
      return;
    }
  }
  node.controlKind = u"window_control";
}

// Buttons under a title bar (up to three ancestors up, stopping at the window).
void DescribeTitleBarButton(platform::UiaClient& client, UiaElement& element, ElementNode& node) {
  platform::HResult result = 0;
  const std::unique_ptr<platform::UiaTreeWalker> walker = client.ControlViewWalker(result);
  if (!walker) return;
  std::unique_ptr<UiaElement> ancestor = walker->GetParentElement(element);
  for (int level = 0; level < 3 && ancestor; ++level) {
    const std::optional<std::int32_t> type = ancestor->CurrentControlType();
    if (!type || *type == platform::kUiaWindowControlTypeId) return;
    if (*type == platform::kUiaTitleBarControlTypeId) {
      ApplyTitleBar(node);
      return;
    }
    ancestor = walker->GetParentElement(*ancestor);
  }
}

void AppendNumber(std::string& text, std::int64_t value) {
  text += std::to_string(value);
}

bool SameLook(const ElementNode& a, const ElementNode& b) {
  return a.role == b.role && a.name == b.name && a.automationId == b.automationId &&
         a.controlKind == b.controlKind && a.enabled == b.enabled && a.x == b.x && a.y == b.y &&
         a.width == b.width && a.height == b.height && a.actions == b.actions;
}

}  // namespace

std::u16string RoleForControlType(std::optional<std::int32_t> controlType) {
  if (!controlType) return u"control";
  switch (*controlType) {
    case platform::kUiaButtonControlTypeId:
      return u"button";
    case platform::kUiaCheckBoxControlTypeId:
      return u"checkbox";
    case platform::kUiaComboBoxControlTypeId:
      return u"combobox";
    case platform::kUiaEditControlTypeId:
      return u"textbox";
    case platform::kUiaHyperlinkControlTypeId:
      return u"link";
    case platform::kUiaListItemControlTypeId:
      return u"listitem";
    case platform::kUiaMenuItemControlTypeId:
      return u"menuitem";
    case platform::kUiaRadioButtonControlTypeId:
      return u"radio";
    case platform::kUiaTabItemControlTypeId:
      return u"tab";
    case platform::kUiaTextControlTypeId:
      return u"text";
    case platform::kUiaWindowControlTypeId:
      return u"window";
    default:
      return u"control";
  }
}

ElementNode DescribeElement(platform::Platform& platform, platform::UiaClient& client,
                            UiaElement& element, const std::string& id) {
  ElementNode node;
  node.id = id;
  const std::optional<std::int32_t> controlType = element.CurrentControlType();
  node.role = RoleForControlType(controlType);
  node.name = element.CurrentStringProperty(platform::kUiaNamePropertyId).value_or(u"");
  node.automationId =
      element.CurrentStringProperty(platform::kUiaAutomationIdPropertyId).value_or(u"");
  if (controlType == platform::kUiaButtonControlTypeId) {
    DescribeTitleBarButton(client, element, node);
  }
  if (const std::optional<bool> enabled = element.CurrentIsEnabled()) node.enabled = *enabled;
  if (const std::optional<bool> focused = element.CurrentHasKeyboardFocus()) {
    node.focused = *focused;
  }
  if (const std::optional<bool> password = element.CurrentIsPassword()) node.sensitive = *password;

  // The first clickable pattern found decides; the order matters only for the calls made.
  if (element.HasPattern(platform::kUiaInvokePatternId) ||
      element.HasPattern(platform::kUiaTogglePatternId) ||
      element.HasPattern(platform::kUiaSelectionItemPatternId) ||
      element.HasPattern(platform::kUiaExpandCollapsePatternId)) {
    node.actions.emplace_back(u"click");
  }
  if (!node.sensitive && element.HasPattern(platform::kUiaValuePatternId) &&
      element.ValueIsReadOnly() == false) {
    node.actions.emplace_back(u"type");
  }
  if (element.HasPattern(platform::kUiaScrollPatternId)) {
    node.actions.emplace_back(u"scroll_up_page");
    node.actions.emplace_back(u"scroll_down_page");
  }

  if (const std::optional<platform::Rect> bounds = element.CurrentBoundingRectangle()) {
    node.x = bounds->left;
    node.y = bounds->top;
    node.width = bounds->right - bounds->left;
    node.height = bounds->bottom - bounds->top;
    const std::optional<platform::MonitorDescription> monitor =
        platform.displays.MonitorNearestRect(*bounds);
    if (monitor) {
      node.displayId = monitor->deviceName.value_or(u"");
      if (monitor->dpi) node.scaleFactor = monitor->dpi->x / 96.0;
    }
  }
  if (node.sensitive) node.name.clear();
  return node;
}

void WalkElements(platform::Platform& platform, platform::UiaClient& client,
                  const ElementRef& element, platform::UiaTreeWalker& walker, std::size_t depth,
                  WalkStatus& status, std::vector<ElementNode>& nodes, ElementTable& elements,
                  const std::string& parentId) {
  if (!element) return;
  if (depth > kMaxWalkDepth) {
    status.truncated = true;
    return;
  }
  if (nodes.size() >= kMaxWalkNodes || status.visited >= kMaxWalkVisits ||
      std::chrono::steady_clock::now() >= status.deadline) {
    status.truncated = true;
    status.stop = true;
    return;
  }
  ++status.visited;
  const std::string id = "uia:" + std::to_string(nodes.size());
  ElementNode node = DescribeElement(platform, client, *element, id);
  node.parentId = parentId;
  nodes.push_back(std::move(node));
  elements[id] = element;

  ElementRef child(walker.GetFirstChildElement(*element));
  while (child && !status.stop) {
    WalkElements(platform, client, child, walker, depth + 1, status, nodes, elements, id);
    child = ElementRef(walker.GetNextSiblingElement(*child));
  }
}

Json NodeToJson(const ElementNode& node) {
  Json json = Json::object();
  SetString(json, "id", node.id);
  SetString(json, "parentId", node.parentId);
  SetString(json, "role", node.role);
  if (node.sensitive) {
    SetBool(json, "sensitive", true);
  } else {
    SetString(json, "name", node.name);
  }
  SetString(json, "automationId", node.automationId);
  SetString(json, "controlKind", node.controlKind);
  Json actions = Json::array();
  for (const std::u16string& action : node.actions) actions.push_back(ToUtf8(action));
  json["actions"] = std::move(actions);
  SetBool(json, "enabled", node.enabled);
  SetBool(json, "focused", node.focused);
  Json bounds = Json::object();
  SetNumber(bounds, "x", node.x);
  SetNumber(bounds, "y", node.y);
  SetNumber(bounds, "width", node.width);
  SetNumber(bounds, "height", node.height);
  SetString(bounds, "displayId", node.displayId);
  SetNumber(bounds, "scaleFactor", node.scaleFactor);
  json["bounds"] = std::move(bounds);
  return json;
}

std::string BuildStateText(const Observation& record, const std::vector<ElementNode>& nodes) {
  std::string text;
  text += record.appIdentity;
  text.push_back('\0');
  text += record.windowIdentity;
  text.push_back('\0');
  AppendNumber(text, record.topologyGeneration);
  text.push_back('\n');
  for (const ElementNode& node : nodes) {
    text += node.id;
    text.push_back('\0');
    for (const std::u16string* field :
         {&node.role, &node.name, &node.automationId, &node.controlKind}) {
      text += ToUtf8Strict(*field);
      text.push_back('\0');
    }
    AppendNumber(text, node.x);
    text.push_back(',');
    AppendNumber(text, node.y);
    text.push_back(',');
    AppendNumber(text, node.width);
    text.push_back(',');
    AppendNumber(text, node.height);
    text.push_back('\n');
    for (const std::u16string& action : node.actions) {
      text += ToUtf8Strict(action);
      text.push_back(',');
    }
    text.push_back('\n');
  }
  return text;
}

UiaObserver::UiaObserver(platform::Platform& platform) : platform_(platform) {
  platform::HResult result = 0;
  client_ = platform_.automation.CreateClient(result);
  if (!client_) throw PlatformError{result};
}

Observation UiaObserver::ObserveWindow(platform::WindowHandle window, bool skipElements) {
  const std::int32_t access = CheckWindowAccess(platform_, window);
  if (access != kWindowAccessAllowed) {
    throw std::runtime_error(std::string(WindowAccessErrorCode(access)));
  }
  ElementTable elements;
  std::vector<ElementNode> nodes;
  WalkStatus status;
  if (!skipElements) {
    platform::HResult result = 0;
    ElementRef root(client_->ElementFromHandle(window, result));
    if (!root) throw PlatformError{result};
    const std::unique_ptr<platform::UiaTreeWalker> walker = client_->ControlViewWalker(result);
    if (!walker) throw PlatformError{result};
    status.deadline = std::chrono::steady_clock::now() + kWalkTimeLimit;
    WalkElements(platform_, *client_, root, *walker, 0, status, nodes, elements, "");
  }
  Observation record = DescribeWindow(platform_, window);
  const std::string stateText = BuildStateText(record, nodes);
  const std::optional<platform::Guid> guid = platform_.system.CreateGuid();
  if (!guid) throw std::runtime_error("identifier_failed");
  record.observationId = ToUtf8(platform_.system.GuidToString(*guid));
  record.stateHash = Sha256Hex(platform_.crypto, stateText);
  record.capturedAt = (platform_.system.SystemTimeAsFileTime() - kUnixEpochAsFileTime) / 10000;
  record.targets = std::move(nodes);
  record.targetsTruncated = status.truncated;

  std::lock_guard lock(mutex_);
  elements_ = std::move(elements);
  nodes_.clear();
  for (const ElementNode& node : record.targets) nodes_[node.id] = node;
  currentObservationId_ = record.observationId;
  elementsSkipped_ = skipElements;
  currentStateHash_ = record.stateHash;
  currentWindow_ = record.window;
  currentAppIdentity_ = record.appIdentity;
  currentWindowIdentity_ = record.windowIdentity;
  currentTopologyGeneration_ = record.topologyGeneration;
  return record;
}

Observation UiaObserver::ObserveForeground() {
  Observation record =
      ObserveWindow(platform_.windows.RootWindow(platform_.windows.ForegroundWindow()), false);
  std::lock_guard lock(mutex_);
  foregroundBound_ = true;
  return record;
}

bool UiaObserver::IsObservationCurrent(const std::string& observationId,
                                       const std::string& stateHash) {
  std::lock_guard lock(mutex_);
  return IsObservationCurrentLocked(observationId, stateHash);
}

bool UiaObserver::IsObservationCurrentLocked(const std::string& observationId,
                                             const std::string& stateHash) {
  try {
    if (observationId != currentObservationId_ || stateHash != currentStateHash_) return false;
    if (currentWindow_ == platform::kNullWindow || !platform_.windows.IsWindow(currentWindow_)) {
      return false;
    }
    if (foregroundBound_ &&
        currentWindow_ != platform_.windows.RootWindow(platform_.windows.ForegroundWindow())) {
      return false;
    }
    if (DisplayTopologyHash(platform_.displays) != currentTopologyGeneration_) return false;
    if (CheckWindowAccess(platform_, currentWindow_) != kWindowAccessAllowed) return false;
    const Observation described = DescribeWindow(platform_, currentWindow_);
    return described.appIdentity == currentAppIdentity_ &&
           described.windowIdentity == currentWindowIdentity_;
  } catch (...) {
    return false;
  }
}

platform::WindowHandle UiaObserver::GetObservedWindow() {
  std::lock_guard lock(mutex_);
  return currentWindow_;
}

bool UiaObserver::ElementsSkipped() {
  std::lock_guard lock(mutex_);
  return elementsSkipped_;
}

std::vector<Observation> UiaObserver::FindApplicationWindows(const std::string& appIdentity,
                                                             const std::string& windowIdentity,
                                                             bool activationOnly) {
  platform::WindowApi& windows = platform_.windows;
  std::vector<Observation> found;
  std::string firstError;
  bool tooMany = false;
  for (const platform::WindowHandle window : windows.EnumerateTopLevelWindows()) {
    if (!windows.IsWindowVisible(window) || windows.RootWindow(window) != window) continue;
    if (activationOnly) {
      if (windows.OwnerWindow(window) != platform::kNullWindow && windowIdentity.empty()) continue;
    } else if (windows.IsIconic(window)) {
      continue;
    }
    const platform::ProcessId processId = windows.WindowProcessId(window);
    std::string identity;
    try {
      const std::u16string path = GetProcessImagePath(platform_, processId);
      if (path.empty()) continue;
      identity = std::string(kAppIdentityPrefix) + Sha256Hex(platform_.crypto, ToUtf8Strict(path));
    } catch (...) {
      continue;
    }
    if (identity != appIdentity) continue;
    const std::string id = "hwnd:" + std::to_string(static_cast<std::uintptr_t>(window)) +
                           ":pid:" + std::to_string(processId);
    if (!windowIdentity.empty() && id != windowIdentity) continue;
    Observation record;
    try {
      record = DescribeWindow(platform_, window);
    } catch (const std::runtime_error& failure) {
      if (firstError.empty()) firstError = failure.what();
      continue;
    }
    if (record.appIdentity == appIdentity && record.windowIdentity == id) {
      found.push_back(std::move(record));
    }
    if (found.size() > kMaxApplicationWindows) {
      tooMany = true;
      break;
    }
  }
  if (tooMany) throw std::runtime_error("target_ambiguous");
  if (found.empty()) {
    if (!firstError.empty()) throw std::runtime_error(firstError);
    throw std::runtime_error(windowIdentity.empty() ? "app_not_found" : "target_not_found");
  }
  return found;
}

Observation UiaObserver::ObserveApplication(const std::string& appIdentity,
                                            const std::string& windowIdentity,
                                            bool activationOnly) {
  const std::vector<Observation> windows =
      FindApplicationWindows(appIdentity, windowIdentity, activationOnly);
  if (windows.empty()) throw std::runtime_error("target_not_found");
  if (windows.size() > 1) throw std::runtime_error("target_ambiguous");
  Observation record = ObserveWindow(windows.front().window, activationOnly);
  std::lock_guard lock(mutex_);
  foregroundBound_ = false;
  return record;
}

ElementRef UiaObserver::ResolveTarget(const std::string& elementId,
                                      const std::string& observationId,
                                      const std::string& stateHash) {
  ElementRef element;
  ElementNode recorded;
  platform::WindowHandle window = platform::kNullWindow;
  {
    std::lock_guard lock(mutex_);
    if (!IsObservationCurrentLocked(observationId, stateHash)) return nullptr;
    const auto live = elements_.find(elementId);
    const auto node = nodes_.find(elementId);
    if (live == elements_.end() || node == nodes_.end()) return nullptr;
    element = live->second;
    recorded = node->second;
    window = currentWindow_;
  }
  try {
    const ElementNode fresh = DescribeElement(platform_, *client_, *element, elementId);
    if (!SameLook(fresh, recorded)) return nullptr;
    platform::HResult result = 0;
    const std::unique_ptr<platform::UiaElement> root = client_->ElementFromHandle(window, result);
    if (!root) return nullptr;
    const std::unique_ptr<platform::UiaTreeWalker> walker = client_->ControlViewWalker(result);
    if (!walker) return nullptr;
    // The element itself and up to 64 ancestors must lead to the observed window.
    std::unique_ptr<platform::UiaElement> parent;
    platform::UiaElement* current = element.get();
    for (std::size_t step = 0; step <= kMaxWalkDepth; ++step) {
      if (current == nullptr) return nullptr;
      if (client_->CompareElements(*current, *root) == true) return element;
      parent = walker->GetParentElement(*current);
      current = parent.get();
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

std::optional<ElementNode> UiaObserver::DescribeFocusedElement() {
  const std::unique_ptr<platform::UiaElement> element = client_->GetFocusedElement();
  if (!element) return std::nullopt;
  return DescribeElement(platform_, *client_, *element, "focused");
}

std::optional<ElementNode> UiaObserver::DescribeElementAtPoint(std::int32_t x, std::int32_t y) {
  const std::unique_ptr<platform::UiaElement> element = client_->ElementFromPoint(x, y);
  if (!element) return std::nullopt;
  return DescribeElement(platform_, *client_, *element, "pointed");
}

}  // namespace velmora::computer_use
