#include "platform/sim/sim_windows.h"

#include <algorithm>

namespace velmora::computer_use::platform::sim {

WindowHandle SimWindows::ShowForegroundWindow(ProcessId owner) {
  std::lock_guard lock(world_.mutex);
  const WindowHandle handle = world_.NewHandleLocked();
  SimWorld::Window window;
  window.className = u"VelmoraDemoWindow";
  window.owner = owner;
  window.title = u"Velmora Demo";
  world_.windows[handle] = std::move(window);
  world_.zOrder.insert(world_.zOrder.begin(), handle);
  world_.foreground = handle;
  return handle;
}

void SimWindows::ClearForeground() {
  std::lock_guard lock(world_.mutex);
  world_.foreground = kNullWindow;
}

void SimWindows::SetDenyForegroundGrant(bool deny) {
  std::lock_guard lock(world_.mutex);
  world_.denyForegroundGrant = deny;
}

std::optional<ProcessId> SimWindows::LastForegroundGrant() const {
  std::lock_guard lock(world_.mutex);
  return world_.lastGrant;
}

WindowHandle SimWindows::ForegroundWindow() {
  std::lock_guard lock(world_.mutex);
  return world_.foreground;
}

WindowHandle SimWindows::RootWindow(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  auto it = world_.windows.find(window);
  if (it == world_.windows.end()) return kNullWindow;
  while (it->second.parent != kNullWindow) {
    const auto parent = world_.windows.find(it->second.parent);
    if (parent == world_.windows.end()) break;
    window = parent->first;
    it = parent;
  }
  return window;
}

bool SimWindows::IsWindow(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  return world_.windows.count(window) != 0;
}

int SimWindows::WindowTextLength(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  return it == world_.windows.end() ? 0 : static_cast<int>(it->second.title.size());
}

int SimWindows::WindowText(WindowHandle window, char16_t* buffer, int capacity) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  if (it == world_.windows.end() || capacity <= 0) return 0;
  // Cut to the buffer and terminated, as the system copies it.
  const std::size_t copied =
      std::min(it->second.title.size(), static_cast<std::size_t>(capacity - 1));
  std::copy_n(it->second.title.begin(), copied, buffer);
  buffer[copied] = u'\0';
  return static_cast<int>(copied);
}

WindowHandle SimWindows::AddWindow(ProcessId owner, std::u16string title, WindowHandle parent) {
  std::lock_guard lock(world_.mutex);
  const WindowHandle handle = world_.NewHandleLocked();
  SimWorld::Window window;
  window.className = u"SimWindow";
  window.owner = owner;
  window.title = std::move(title);
  window.parent = parent;
  world_.windows[handle] = std::move(window);
  if (parent == kNullWindow) world_.zOrder.insert(world_.zOrder.begin(), handle);
  return handle;
}

WindowHandle SimWindows::AddOwnedWindow(ProcessId owner, std::u16string title,
                                        WindowHandle ownerWindow) {
  const WindowHandle handle = AddWindow(owner, std::move(title));
  std::lock_guard lock(world_.mutex);
  world_.windows.at(handle).ownerWindow = ownerWindow;
  return handle;
}

void SimWindows::SetWindowVisible(WindowHandle window, bool visible) {
  std::lock_guard lock(world_.mutex);
  world_.windows.at(window).visible = visible;
}

void SimWindows::SetWindowMinimized(WindowHandle window, bool minimized) {
  std::lock_guard lock(world_.mutex);
  world_.windows.at(window).minimized = minimized;
}

void SimWindows::BringToTop(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  std::erase(world_.zOrder, window);
  world_.zOrder.insert(world_.zOrder.begin(), window);
}

std::vector<WindowHandle> SimWindows::EnumerateTopLevelWindows() {
  std::lock_guard lock(world_.mutex);
  return world_.zOrder;
}

bool SimWindows::IsWindowVisible(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  return it != world_.windows.end() && it->second.visible;
}

bool SimWindows::IsIconic(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  return it != world_.windows.end() && it->second.minimized;
}

WindowHandle SimWindows::OwnerWindow(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  return it == world_.windows.end() ? kNullWindow : it->second.ownerWindow;
}

void SimWindows::SetWindowTitle(WindowHandle window, std::u16string title) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  if (it == world_.windows.end()) return;
  it->second.title = std::move(title);
  world_.FireWinEventLocked(kEventObjectNameChange, window, kObjIdWindow, kChildIdSelf);
}

void SimWindows::SetWindowRect(WindowHandle window, Rect rect) {
  std::lock_guard lock(world_.mutex);
  world_.windows.at(window).rect = rect;
}

void SimWindows::SetWindowFrameBounds(WindowHandle window, std::optional<Rect> bounds) {
  std::lock_guard lock(world_.mutex);
  SimWorld::Window& entry = world_.windows.at(window);
  entry.frameBoundsSet = true;
  entry.frameBounds = bounds;
}

void SimWindows::SetWindowRectFails(WindowHandle window, bool fails) {
  std::lock_guard lock(world_.mutex);
  world_.windows.at(window).rectFails = fails;
}

std::optional<Rect> SimWindows::ExtendedFrameBounds(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  if (it == world_.windows.end()) return std::nullopt;
  return it->second.frameBoundsSet ? it->second.frameBounds : it->second.rect;
}

std::optional<Rect> SimWindows::WindowRect(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  if (it == world_.windows.end() || it->second.rectFails) return std::nullopt;
  return it->second.rect;
}

void SimWindows::RemoveWindow(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  RemoveWindowLocked(window);
}

void SimWindows::RemoveWindowLocked(WindowHandle window) {
  if (world_.windows.count(window) == 0) return;
  std::vector<WindowHandle> children;
  for (const auto& [handle, entry] : world_.windows) {
    if (entry.parent == window) children.push_back(handle);
  }
  for (const WindowHandle child : children) RemoveWindowLocked(child);
  world_.windows.erase(window);
  std::erase(world_.zOrder, window);
  if (world_.foreground == window) world_.foreground = kNullWindow;
  world_.FireWinEventLocked(kEventObjectDestroy, window);
}

WindowHandle SimWindows::WindowFromPoint(std::int32_t x, std::int32_t y) {
  std::lock_guard lock(world_.mutex);
  const auto hit = [x, y](const SimWorld::Window& window) {
    return window.visible && !window.minimized && x >= window.rect.left && x < window.rect.right &&
           y >= window.rect.top && y < window.rect.bottom;
  };
  WindowHandle found = kNullWindow;
  for (const WindowHandle top : world_.zOrder) {
    if (hit(world_.windows.at(top))) {
      found = top;
      break;
    }
  }
  // Down to the deepest child under the point.
  for (bool descended = found != kNullWindow; descended;) {
    descended = false;
    for (const auto& [handle, entry] : world_.windows) {
      if (entry.parent == found && hit(entry)) {
        found = handle;
        descended = true;
        break;
      }
    }
  }
  return found;
}

WindowHandle SimWindows::FocusedWindow(std::uint32_t threadId) {
  // Elements are not windows here: the foreground window holds the focus of its thread.
  const WindowHandle foreground = ForegroundWindow();
  return foreground != kNullWindow && WindowThreadId(foreground) == threadId ? foreground
                                                                             : kNullWindow;
}

bool SimWindows::SetForegroundWindow(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  if (world_.refuseForeground) return false;
  if (world_.foreground != window) world_.FireWinEventLocked(kEventSystemForeground, window);
  world_.foreground = window;
  return true;
}

void SimWindows::SetRefuseForeground(bool refuse) {
  std::lock_guard lock(world_.mutex);
  world_.refuseForeground = refuse;
}

bool SimWindows::ShowWindowAsync(WindowHandle window, std::int32_t command) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  if (it == world_.windows.end()) return false;
  if (command == kSwRestore) it->second.minimized = false;
  return true;
}

ProcessId SimWindows::WindowProcessId(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  return it == world_.windows.end() ? 0 : it->second.owner;
}

bool SimWindows::AllowSetForegroundWindow(ProcessId processId) {
  std::lock_guard lock(world_.mutex);
  if (world_.denyForegroundGrant) return false;
  world_.lastGrant = processId;
  return true;
}

WindowHandle SimWindows::FindWindowByClass(std::u16string_view className) const {
  std::lock_guard lock(world_.mutex);
  for (const auto& [handle, window] : world_.windows) {
    if (window.className == className) return handle;
  }
  return kNullWindow;
}

WindowHandle SimWindows::FindTopLevelWindow(std::u16string_view title) const {
  std::lock_guard lock(world_.mutex);
  for (const WindowHandle window : world_.zOrder) {
    const SimWorld::Window& entry = world_.windows.at(window);
    if (entry.visible && entry.title == title) return window;
  }
  return kNullWindow;
}

void SimWindows::Activate(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  if (it == world_.windows.end()) return;
  it->second.minimized = false;
  std::erase(world_.zOrder, window);
  world_.zOrder.insert(world_.zOrder.begin(), window);
  if (world_.foreground != window) world_.FireWinEventLocked(kEventSystemForeground, window);
  world_.foreground = window;
}

WindowHandle SimWindows::AddControl(ProcessId owner, WindowHandle parent, std::u16string className,
                                    std::u16string title, std::uint32_t style,
                                    std::int32_t controlId) {
  const WindowHandle handle = AddWindow(owner, std::move(title), parent);
  std::lock_guard lock(world_.mutex);
  SimWorld::Window& entry = world_.windows.at(handle);
  entry.className = std::move(className);
  entry.style = style;
  entry.controlId = controlId;
  return handle;
}

void SimWindows::SetWindowProcedure(WindowHandle window, Procedure procedure) {
  std::lock_guard lock(world_.mutex);
  world_.windows.at(window).procedure = std::move(procedure);
}

std::optional<std::intptr_t> SimWindows::SendWindowMessage(WindowHandle window,
                                                           std::uint32_t message,
                                                           std::uintptr_t wParam,
                                                           std::intptr_t lParam) {
  Procedure procedure;
  {
    std::lock_guard lock(world_.mutex);
    const auto it = world_.windows.find(window);
    if (it == world_.windows.end()) return std::nullopt;
    procedure = it->second.procedure;
  }
  return procedure ? procedure(message, wParam, lParam) : 0;
}

namespace {

// The application windows of a process share one thread: an id that no thread of the helper has.
constexpr std::uint32_t kApplicationThreadBase = 0x40000000;

}  // namespace

std::optional<std::u16string> SimWindows::ClassName(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  if (it == world_.windows.end()) return std::nullopt;
  return it->second.className;
}

std::intptr_t SimWindows::WindowStyle(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  return it == world_.windows.end() ? 0 : static_cast<std::intptr_t>(it->second.style);
}

WindowHandle SimWindows::ParentWindow(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  return it == world_.windows.end() ? kNullWindow : it->second.parent;
}

WindowHandle SimWindows::RootOwnerWindow(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  auto it = world_.windows.find(window);
  if (it == world_.windows.end()) return kNullWindow;
  // Up the parents, then along the owners.
  for (std::size_t step = 0; step < world_.windows.size(); ++step) {
    const WindowHandle next =
        it->second.parent != kNullWindow ? it->second.parent : it->second.ownerWindow;
    const auto up = world_.windows.find(next);
    if (up == world_.windows.end()) break;
    window = next;
    it = up;
  }
  return window;
}

bool SimWindows::IsWindowEnabled(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  return it != world_.windows.end() && it->second.enabled;
}

std::uint32_t SimWindows::WindowThreadId(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  if (it == world_.windows.end()) return 0;
  if (it->second.handler != nullptr) {
    // A hidden window belongs to the helper's thread that made it.
    const auto thread = world_.threadIds.find(it->second.thread);
    return thread == world_.threadIds.end() ? 0 : thread->second;
  }
  return kApplicationThreadBase + it->second.owner;
}

std::int32_t SimWindows::DialogControlId(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  return it == world_.windows.end() ? 0 : it->second.controlId;
}

std::optional<std::intptr_t> SimWindows::SendMessageTimeout(
    WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
    std::uint32_t /*flags*/, std::uint32_t /*timeoutMs*/) {
  {
    std::lock_guard lock(world_.mutex);
    const auto it = world_.windows.find(window);
    if (it == world_.windows.end() || it->second.hung) return std::nullopt;
  }
  const std::optional<std::intptr_t> result = SendWindowMessage(window, message, wParam, lParam);
  // The call answers 0 for a failure; a window procedure's own 0 is a success.
  if (!result) return std::nullopt;
  return *result;
}

void SimWindows::SetWindowEnabled(WindowHandle window, bool enabled) {
  std::lock_guard lock(world_.mutex);
  world_.windows.at(window).enabled = enabled;
}

void SimWindows::SetWindowHung(WindowHandle window, bool hung) {
  std::lock_guard lock(world_.mutex);
  world_.windows.at(window).hung = hung;
}

void SimWindows::SetWindowStyle(WindowHandle window, std::uint32_t style) {
  std::lock_guard lock(world_.mutex);
  world_.windows.at(window).style = style;
}

}  // namespace velmora::computer_use::platform::sim
