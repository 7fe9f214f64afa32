#include "observe/uia_observer.h"

#include <exception>
#include <stdexcept>

#include "common/platform_error.h"

namespace velmora::computer_use {
namespace {

bool SameLook(const ElementNode& a, const ElementNode& b) {
  return a.role == b.role && a.name == b.name && a.automationId == b.automationId &&
         a.controlKind == b.controlKind && a.enabled == b.enabled && a.x == b.x && a.y == b.y &&
         a.width == b.width && a.height == b.height && a.actions == b.actions;
}

}  // namespace

UiaObserver::UiaObserver(platform::Platform& platform) : platform_(platform) {
  platform::HResult result = 0;
  client_ = platform_.automation.CreateClient(result);
  if (!client_) throw PlatformError{result};
}

Observation UiaObserver::ObserveWindow(platform::WindowHandle window, bool skipElements) {
  const std::int32_t access = CheckWindowAccess(platform_, window);
  if (access != kWindowAccessAllowed) {
    FailWith(WindowAccessError(access));
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
  if (!guid) FailWith(ErrorCode::kIdentifierFailed);
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
  std::exception_ptr firstError;
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
      identity = AppIdentityForPath(platform_.crypto, path);
    } catch (...) {
      continue;
    }
    if (identity != appIdentity) continue;
    const std::string id = WindowIdentityOf(window, processId);
    if (!windowIdentity.empty() && id != windowIdentity) continue;
    Observation record;
    try {
      record = DescribeWindow(platform_, window);
    } catch (const std::runtime_error&) {
      if (!firstError) firstError = std::current_exception();
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
  if (tooMany) FailWith(ErrorCode::kTargetAmbiguous);
  if (found.empty()) {
    if (firstError) std::rethrow_exception(firstError);
    FailWith(windowIdentity.empty() ? ErrorCode::kAppNotFound : ErrorCode::kTargetNotFound);
  }
  return found;
}

Observation UiaObserver::ObserveApplication(const std::string& appIdentity,
                                            const std::string& windowIdentity,
                                            bool activationOnly) {
  const std::vector<Observation> windows =
      FindApplicationWindows(appIdentity, windowIdentity, activationOnly);
  if (windows.empty()) FailWith(ErrorCode::kTargetNotFound);
  if (windows.size() > 1) FailWith(ErrorCode::kTargetAmbiguous);
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

bool UiaObserver::RunWithoutAutoFocus(const std::function<bool()>& action) {
  if (!automationAvailable_ || !client_ || !action) return false;
  const std::optional<bool> previous = client_->AutoSetFocus();
  if (!previous || !client_->SetAutoSetFocus(false)) {
    automationAvailable_ = false;
    return false;
  }
  bool result = false;
  try {
    result = action();
  } catch (...) {
    if (!client_->SetAutoSetFocus(*previous)) automationAvailable_ = false;
    throw;
  }
  if (!client_->SetAutoSetFocus(*previous)) automationAvailable_ = false;
  return result && automationAvailable_;
}

}  // namespace velmora::computer_use
