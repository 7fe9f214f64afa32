#include "platform/sim/sim_desktop.h"

#include <algorithm>

namespace velmora::computer_use::platform::sim {

SimDesktop::SimDesktop() = default;
SimDesktop::~SimDesktop() = default;

std::uint32_t SimDesktop::SessionId() const {
  std::lock_guard lock(mutex_);
  return sessionId_;
}

void SimDesktop::SetSessionId(std::uint32_t sessionId) {
  std::lock_guard lock(mutex_);
  sessionId_ = sessionId;
}

void SimDesktop::LockSession() {
  std::lock_guard lock(mutex_);
  sessionFlags_ = 0;
  inputDesktop_ = u"Winlogon";
  FireWinEventLocked(kEventSystemDesktopSwitch, kNullWindow);
  NotifySessionChangeLocked(kWtsSessionLock, sessionId_);
}

void SimDesktop::UnlockSession() {
  std::lock_guard lock(mutex_);
  sessionFlags_ = 1;
  inputDesktop_ = u"Default";
  FireWinEventLocked(kEventSystemDesktopSwitch, kNullWindow);
  NotifySessionChangeLocked(kWtsSessionUnlock, sessionId_);
}

void SimDesktop::Reconnect() {
  std::lock_guard lock(mutex_);
  connectTime_ += 10'000'000;
}

void SimDesktop::SetSessionState(std::int32_t connectState) {
  std::lock_guard lock(mutex_);
  connectState_ = connectState;
}

void SimDesktop::SetSessionFlags(std::int32_t flags) {
  std::lock_guard lock(mutex_);
  sessionFlags_ = flags;
}

void SimDesktop::SetSessionInfoShape(std::size_t bufferBytes, std::uint32_t level) {
  std::lock_guard lock(mutex_);
  infoBytes_ = bufferBytes;
  infoLevel_ = level;
}

void SimDesktop::SwitchInputDesktop(std::u16string name) {
  std::lock_guard lock(mutex_);
  inputDesktop_ = std::move(name);
  FireWinEventLocked(kEventSystemDesktopSwitch, kNullWindow);
}

void SimDesktop::SendSessionChange(std::uint32_t code, std::uint32_t sessionId) {
  std::lock_guard lock(mutex_);
  NotifySessionChangeLocked(code, sessionId);
}

void SimDesktop::SetSessionQueryFails(bool fails) {
  std::lock_guard lock(mutex_);
  sessionQueryFails_ = fails;
}

void SimDesktop::SetInputDesktopQueryFails(bool fails) {
  std::lock_guard lock(mutex_);
  inputDesktopQueryFails_ = fails;
}

void SimDesktop::SetProcessSessionIdFails(bool fails) {
  std::lock_guard lock(mutex_);
  processSessionIdFails_ = fails;
}

void SimDesktop::SetProcessSession(ProcessId processId, std::uint32_t sessionId) {
  std::lock_guard lock(mutex_);
  processSessions_[processId] = sessionId;
}

void SimDesktop::FailSetup(SetupFailure step, bool fails) {
  std::lock_guard lock(mutex_);
  failures_[step] = fails;
}

bool SimDesktop::TakeFailure(SetupFailure step) {
  const auto it = failures_.find(step);
  return it != failures_.end() && it->second;
}

WindowHandle SimDesktop::ShowForegroundWindow(ProcessId owner) {
  std::lock_guard lock(mutex_);
  const WindowHandle handle = NewHandleLocked();
  Window window;
  window.className = u"VelmoraDemoWindow";
  window.owner = owner;
  window.title = u"Velmora Demo";
  windows_[handle] = std::move(window);
  zOrder_.insert(zOrder_.begin(), handle);
  foreground_ = handle;
  return handle;
}

void SimDesktop::ClearForeground() {
  std::lock_guard lock(mutex_);
  foreground_ = kNullWindow;
}

void SimDesktop::SetDenyForegroundGrant(bool deny) {
  std::lock_guard lock(mutex_);
  denyForegroundGrant_ = deny;
}

std::optional<ProcessId> SimDesktop::LastForegroundGrant() const {
  std::lock_guard lock(mutex_);
  return lastGrant_;
}

void SimDesktop::NotifySessionChangeLocked(std::uint32_t code, std::uint32_t sessionId) {
  for (WindowHandle window : sessionRegistrations_) {
    const auto it = windows_.find(window);
    if (it == windows_.end()) continue;
    PostLocked(it->second.thread, WindowMessage{window, kWmWtsSessionChange, code,
                                                static_cast<std::intptr_t>(sessionId)});
  }
}

std::optional<std::uint32_t> SimDesktop::ProcessIdToSessionId(ProcessId processId) {
  std::lock_guard lock(mutex_);
  if (processSessionIdFails_) return std::nullopt;
  const auto it = processSessions_.find(processId);
  return it == processSessions_.end() ? sessionId_ : it->second;
}

std::optional<RawSessionInfo> SimDesktop::QuerySessionInfo(std::uint32_t sessionId) {
  std::lock_guard lock(mutex_);
  if (sessionQueryFails_) return std::nullopt;
  RawSessionInfo info;
  info.bufferBytes = infoBytes_;
  info.level = infoLevel_;
  info.sessionId = sessionId;
  info.sessionState = sessionId == sessionId_ ? connectState_ : 4;  // WTSDisconnected
  info.sessionFlags = sessionFlags_;
  info.logonTime = logonTime_;
  info.connectTime = connectTime_;
  info.disconnectTime = disconnectTime_;
  return info;
}

std::optional<std::u16string> SimDesktop::InputDesktopName() {
  std::lock_guard lock(mutex_);
  // The secure desktop cannot be opened from the user's session.
  if (inputDesktopQueryFails_ || inputDesktop_ == u"Winlogon") return std::nullopt;
  // Read into a buffer sized for the terminating null, as the system fills it.
  return inputDesktop_ + u'\0';
}

bool SimDesktop::RegisterSessionNotification(WindowHandle window) {
  std::lock_guard lock(mutex_);
  if (TakeFailure(SetupFailure::kSessionNotification) || windows_.count(window) == 0) return false;
  sessionRegistrations_.push_back(window);
  return true;
}

void SimDesktop::UnregisterSessionNotification(WindowHandle window) {
  std::lock_guard lock(mutex_);
  std::erase(sessionRegistrations_, window);
}

WindowHandle SimDesktop::ForegroundWindow() {
  std::lock_guard lock(mutex_);
  return foreground_;
}

WindowHandle SimDesktop::RootWindow(WindowHandle window) {
  std::lock_guard lock(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end()) return kNullWindow;
  while (it->second.parent != kNullWindow) {
    const auto parent = windows_.find(it->second.parent);
    if (parent == windows_.end()) break;
    window = parent->first;
    it = parent;
  }
  return window;
}

bool SimDesktop::IsWindow(WindowHandle window) {
  std::lock_guard lock(mutex_);
  return windows_.count(window) != 0;
}

int SimDesktop::WindowTextLength(WindowHandle window) {
  std::lock_guard lock(mutex_);
  const auto it = windows_.find(window);
  return it == windows_.end() ? 0 : static_cast<int>(it->second.title.size());
}

int SimDesktop::WindowText(WindowHandle window, char16_t* buffer, int capacity) {
  std::lock_guard lock(mutex_);
  const auto it = windows_.find(window);
  if (it == windows_.end() || capacity <= 0) return 0;
  // Cut to the buffer and terminated, as the system copies it.
  const std::size_t copied =
      std::min(it->second.title.size(), static_cast<std::size_t>(capacity - 1));
  std::copy_n(it->second.title.begin(), copied, buffer);
  buffer[copied] = u'\0';
  return static_cast<int>(copied);
}

void SimDesktop::AddProcess(ProcessId processId, SimProcess process) {
  std::lock_guard lock(mutex_);
  processSessions_[processId] = process.sessionId;
  processes_[processId] = std::move(process);
}

void SimDesktop::RemoveProcess(ProcessId processId) {
  std::lock_guard lock(mutex_);
  processes_.erase(processId);
  processSessions_.erase(processId);
}

WindowHandle SimDesktop::AddWindow(ProcessId owner, std::u16string title, WindowHandle parent) {
  std::lock_guard lock(mutex_);
  const WindowHandle handle = NewHandleLocked();
  Window window;
  window.className = u"SimWindow";
  window.owner = owner;
  window.title = std::move(title);
  window.parent = parent;
  windows_[handle] = std::move(window);
  if (parent == kNullWindow) zOrder_.insert(zOrder_.begin(), handle);
  return handle;
}

WindowHandle SimDesktop::AddOwnedWindow(ProcessId owner, std::u16string title,
                                        WindowHandle ownerWindow) {
  const WindowHandle handle = AddWindow(owner, std::move(title));
  std::lock_guard lock(mutex_);
  windows_.at(handle).ownerWindow = ownerWindow;
  return handle;
}

void SimDesktop::SetWindowVisible(WindowHandle window, bool visible) {
  std::lock_guard lock(mutex_);
  windows_.at(window).visible = visible;
}

void SimDesktop::SetWindowMinimized(WindowHandle window, bool minimized) {
  std::lock_guard lock(mutex_);
  windows_.at(window).minimized = minimized;
}

void SimDesktop::BringToTop(WindowHandle window) {
  std::lock_guard lock(mutex_);
  std::erase(zOrder_, window);
  zOrder_.insert(zOrder_.begin(), window);
}

std::vector<WindowHandle> SimDesktop::EnumerateTopLevelWindows() {
  std::lock_guard lock(mutex_);
  return zOrder_;
}

bool SimDesktop::IsWindowVisible(WindowHandle window) {
  std::lock_guard lock(mutex_);
  const auto it = windows_.find(window);
  return it != windows_.end() && it->second.visible;
}

bool SimDesktop::IsIconic(WindowHandle window) {
  std::lock_guard lock(mutex_);
  const auto it = windows_.find(window);
  return it != windows_.end() && it->second.minimized;
}

WindowHandle SimDesktop::OwnerWindow(WindowHandle window) {
  std::lock_guard lock(mutex_);
  const auto it = windows_.find(window);
  return it == windows_.end() ? kNullWindow : it->second.ownerWindow;
}

void SimDesktop::SetWindowTitle(WindowHandle window, std::u16string title) {
  std::lock_guard lock(mutex_);
  const auto it = windows_.find(window);
  if (it != windows_.end()) it->second.title = std::move(title);
}

void SimDesktop::SetWindowRect(WindowHandle window, Rect rect) {
  std::lock_guard lock(mutex_);
  windows_.at(window).rect = rect;
}

void SimDesktop::SetWindowFrameBounds(WindowHandle window, std::optional<Rect> bounds) {
  std::lock_guard lock(mutex_);
  Window& entry = windows_.at(window);
  entry.frameBoundsSet = true;
  entry.frameBounds = bounds;
}

void SimDesktop::SetWindowRectFails(WindowHandle window, bool fails) {
  std::lock_guard lock(mutex_);
  windows_.at(window).rectFails = fails;
}

std::optional<Rect> SimDesktop::ExtendedFrameBounds(WindowHandle window) {
  std::lock_guard lock(mutex_);
  const auto it = windows_.find(window);
  if (it == windows_.end()) return std::nullopt;
  return it->second.frameBoundsSet ? it->second.frameBounds : it->second.rect;
}

std::optional<Rect> SimDesktop::WindowRect(WindowHandle window) {
  std::lock_guard lock(mutex_);
  const auto it = windows_.find(window);
  if (it == windows_.end() || it->second.rectFails) return std::nullopt;
  return it->second.rect;
}

void SimDesktop::RemoveWindow(WindowHandle window) {
  std::lock_guard lock(mutex_);
  RemoveWindowLocked(window);
}

void SimDesktop::RemoveWindowLocked(WindowHandle window) {
  if (windows_.count(window) == 0) return;
  std::vector<WindowHandle> children;
  for (const auto& [handle, entry] : windows_) {
    if (entry.parent == window) children.push_back(handle);
  }
  for (const WindowHandle child : children) RemoveWindowLocked(child);
  windows_.erase(window);
  std::erase(zOrder_, window);
  if (foreground_ == window) foreground_ = kNullWindow;
  FireWinEventLocked(kEventObjectDestroy, window);
}

WindowHandle SimDesktop::WindowFromPoint(std::int32_t x, std::int32_t y) {
  std::lock_guard lock(mutex_);
  const auto hit = [x, y](const Window& window) {
    return window.visible && !window.minimized && x >= window.rect.left && x < window.rect.right &&
           y >= window.rect.top && y < window.rect.bottom;
  };
  WindowHandle found = kNullWindow;
  for (const WindowHandle top : zOrder_) {
    if (hit(windows_.at(top))) {
      found = top;
      break;
    }
  }
  // Down to the deepest child under the point.
  for (bool descended = found != kNullWindow; descended;) {
    descended = false;
    for (const auto& [handle, entry] : windows_) {
      if (entry.parent == found && hit(entry)) {
        found = handle;
        descended = true;
        break;
      }
    }
  }
  return found;
}

void SimDesktop::SetForegroundWindow(WindowHandle window) {
  std::lock_guard lock(mutex_);
  foreground_ = window;
}

std::optional<std::u16string> SimDesktop::QueryImagePath(ProcessId processId) {
  std::lock_guard lock(mutex_);
  const auto it = processes_.find(processId);
  if (it == processes_.end() || !it->second.queryable) return std::nullopt;
  return it->second.imagePath;
}

std::optional<std::uint32_t> SimDesktop::QueryIntegrityLevel(ProcessId processId) {
  std::lock_guard lock(mutex_);
  const auto it = processes_.find(processId);
  if (it == processes_.end() || !it->second.queryable) return std::nullopt;
  return it->second.integrityLevel;
}

std::size_t SimDesktop::AddMonitor(SimMonitor monitor) {
  std::lock_guard lock(mutex_);
  monitors_.push_back(std::move(monitor));
  return monitors_.size() - 1;
}

void SimDesktop::UpdateMonitor(std::size_t index, SimMonitor monitor) {
  std::lock_guard lock(mutex_);
  monitors_.at(index) = std::move(monitor);
}

SimMonitor SimDesktop::Monitor(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return monitors_.at(index);
}

void SimDesktop::RemoveMonitor(std::size_t index) {
  std::lock_guard lock(mutex_);
  monitors_.erase(monitors_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::optional<MonitorDescription> SimDesktop::MonitorNearestRect(const Rect& rect) {
  std::lock_guard lock(mutex_);
  // The monitor with the largest overlap, else the one whose centre is nearest.
  const SimMonitor* best = nullptr;
  std::int64_t bestScore = 0;
  for (const SimMonitor& monitor : monitors_) {
    const std::int64_t width = std::int64_t{std::min(rect.right, monitor.rect.right)} -
                               std::max(rect.left, monitor.rect.left);
    const std::int64_t height = std::int64_t{std::min(rect.bottom, monitor.rect.bottom)} -
                                std::max(rect.top, monitor.rect.top);
    std::int64_t score = width > 0 && height > 0 ? width * height : 0;
    if (score == 0) {
      const std::int64_t dx = (std::int64_t{rect.left} + rect.right) -
                              (std::int64_t{monitor.rect.left} + monitor.rect.right);
      const std::int64_t dy = (std::int64_t{rect.top} + rect.bottom) -
                              (std::int64_t{monitor.rect.top} + monitor.rect.bottom);
      score = -(dx * dx + dy * dy) / 4 - 1;
    }
    if (best == nullptr || score > bestScore) {
      best = &monitor;
      bestScore = score;
    }
  }
  if (best == nullptr) return std::nullopt;
  MonitorDescription description;
  description.rect = best->rect;
  if (!best->infoFails) description.deviceName = best->deviceName;
  if (!best->dpiFails) description.dpi = best->dpi;
  return description;
}

std::vector<MonitorDescription> SimDesktop::EnumerateMonitors() {
  std::lock_guard lock(mutex_);
  std::vector<MonitorDescription> descriptions;
  for (const SimMonitor& monitor : monitors_) {
    MonitorDescription description;
    description.rect = monitor.rect;
    if (!monitor.infoFails) description.deviceName = monitor.deviceName;
    if (!monitor.dpiFails) description.dpi = monitor.dpi;
    descriptions.push_back(std::move(description));
  }
  return descriptions;
}

ProcessId SimDesktop::WindowProcessId(WindowHandle window) {
  std::lock_guard lock(mutex_);
  const auto it = windows_.find(window);
  return it == windows_.end() ? 0 : it->second.owner;
}

bool SimDesktop::AllowSetForegroundWindow(ProcessId processId) {
  std::lock_guard lock(mutex_);
  if (denyForegroundGrant_) return false;
  lastGrant_ = processId;
  return true;
}

std::size_t SimDesktop::HiddenWindowCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      windows_.begin(), windows_.end(), [](const auto& entry) { return entry.second.handler; }));
}

std::size_t SimDesktop::TimerCount() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

std::size_t SimDesktop::WinEventHookCount() const {
  std::lock_guard lock(mutex_);
  return hooks_.size();
}

std::size_t SimDesktop::SessionRegistrationCount() const {
  std::lock_guard lock(mutex_);
  return sessionRegistrations_.size();
}

std::size_t SimDesktop::ApartmentCount() const {
  std::lock_guard lock(mutex_);
  return apartments_;
}

}  // namespace velmora::computer_use::platform::sim
