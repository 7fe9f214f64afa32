#include <algorithm>

#include "platform/sim/sim_desktop.h"

namespace velmora::computer_use::platform::sim {

WindowHandle SimDesktop::NewHandleLocked() {
  nextHandle_ += 4;
  return static_cast<WindowHandle>(nextHandle_);
}

void SimDesktop::PostLocked(std::thread::id thread, const WindowMessage& message) {
  queues_[thread].posted.push_back(message);
  wake_.notify_all();
}

void SimDesktop::FireWinEventLocked(std::uint32_t event, WindowHandle window) {
  for (const auto& [id, hook] : hooks_) {
    if (event >= hook.eventMin && event <= hook.eventMax) {
      queues_[hook.thread].events.push_back(PendingEvent{id, event, window});
    }
  }
  wake_.notify_all();
}

bool SimDesktop::InitializeThreadApartment() {
  std::lock_guard lock(mutex_);
  if (TakeFailure(SetupFailure::kApartment)) return false;
  ++apartments_;
  return true;
}

void SimDesktop::UninitializeThreadApartment() {
  std::lock_guard lock(mutex_);
  if (apartments_ > 0) --apartments_;
}

ClassRegistration SimDesktop::RegisterWindowClass(std::u16string_view className) {
  std::lock_guard lock(mutex_);
  if (TakeFailure(SetupFailure::kWindowClass)) return ClassRegistration::kFailed;
  if (std::find(classes_.begin(), classes_.end(), className) != classes_.end()) {
    return ClassRegistration::kAlreadyExists;
  }
  classes_.emplace_back(className);
  return ClassRegistration::kRegistered;
}

WindowHandle SimDesktop::CreateHiddenWindow(std::u16string_view className,
                                            WindowMessageHandler* handler) {
  WindowHandle handle;
  {
    std::lock_guard lock(mutex_);
    if (TakeFailure(SetupFailure::kWindow) ||
        std::find(classes_.begin(), classes_.end(), className) == classes_.end()) {
      return kNullWindow;
    }
    handle = NewHandleLocked();
    Window window;
    window.className = std::u16string(className);
    window.thread = std::this_thread::get_id();
    window.handler = handler;
    window.visible = false;
    windows_[handle] = std::move(window);
  }
  // Creation sends the first message synchronously, as the system does.
  handler->HandleWindowMessage(WindowMessage{handle, kWmNcCreate, 0, 0});
  return handle;
}

void SimDesktop::DestroyWindow(WindowHandle window) {
  std::lock_guard lock(mutex_);
  const auto it = windows_.find(window);
  if (it == windows_.end()) return;
  std::erase_if(timers_, [window](const Timer& timer) { return timer.window == window; });
  std::erase(sessionRegistrations_, window);
  auto queue = queues_.find(it->second.thread);
  if (queue != queues_.end()) {
    std::erase_if(queue->second.posted,
                  [window](const WindowMessage& message) { return message.window == window; });
  }
  if (foreground_ == window) foreground_ = kNullWindow;
  windows_.erase(it);
}

WinEventHookId SimDesktop::SetWinEventHook(std::uint32_t eventMin, std::uint32_t eventMax,
                                           WinEventCallback callback) {
  std::lock_guard lock(mutex_);
  if (TakeFailure(SetupFailure::kWinEventHook)) return 0;
  const WinEventHookId id = nextHook_++;
  hooks_[id] = Hook{eventMin, eventMax, callback, std::this_thread::get_id()};
  return id;
}

void SimDesktop::UnhookWinEvent(WinEventHookId hook) {
  std::lock_guard lock(mutex_);
  const auto it = hooks_.find(hook);
  if (it == hooks_.end()) return;
  auto queue = queues_.find(it->second.thread);
  if (queue != queues_.end()) {
    std::erase_if(queue->second.events,
                  [hook](const PendingEvent& event) { return event.hook == hook; });
  }
  hooks_.erase(it);
}

bool SimDesktop::SetTimer(WindowHandle window, std::uintptr_t timerId, std::uint32_t intervalMs) {
  std::lock_guard lock(mutex_);
  if (TakeFailure(SetupFailure::kTimer) || windows_.count(window) == 0) return false;
  std::erase_if(timers_, [&](const Timer& t) { return t.window == window && t.id == timerId; });
  const std::chrono::milliseconds interval(intervalMs);
  timers_.push_back(Timer{window, timerId, interval, Clock::now() + interval});
  wake_.notify_all();
  return true;
}

void SimDesktop::KillTimer(WindowHandle window, std::uintptr_t timerId) {
  std::lock_guard lock(mutex_);
  std::erase_if(timers_, [&](const Timer& t) { return t.window == window && t.id == timerId; });
}

int SimDesktop::GetMessage(WindowMessage& message) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  for (;;) {
    Queue& queue = queues_[self];
    // Out-of-context win events are delivered while the thread waits for messages.
    if (!queue.events.empty()) {
      const PendingEvent event = queue.events.front();
      queue.events.pop_front();
      const auto hook = hooks_.find(event.hook);
      if (hook == hooks_.end()) continue;
      const WinEventCallback callback = hook->second.callback;
      lock.unlock();
      callback(event.event, event.window);
      lock.lock();
      continue;
    }
    if (!queue.posted.empty()) {
      message = queue.posted.front();
      queue.posted.pop_front();
      return 1;
    }
    if (queue.quit) {
      // The thread's queue ends with its loop; nothing stale reaches a later thread.
      queues_.erase(self);
      message = WindowMessage{kNullWindow, kWmQuit, 0, 0};
      return 0;
    }
    // Timer messages come only when nothing else is waiting, as on Windows.
    std::optional<Clock::time_point> nextDue;
    const Clock::time_point now = Clock::now();
    for (Timer& timer : timers_) {
      const auto window = windows_.find(timer.window);
      if (window == windows_.end() || window->second.thread != self) continue;
      if (timer.due <= now) {
        timer.due = now + timer.interval;
        message = WindowMessage{timer.window, kWmTimer, timer.id, 0};
        return 1;
      }
      if (!nextDue || timer.due < *nextDue) nextDue = timer.due;
    }
    if (nextDue) {
      wake_.wait_until(lock, *nextDue);
    } else {
      wake_.wait(lock);
    }
  }
}

void SimDesktop::DispatchMessage(const WindowMessage& message) {
  WindowMessageHandler* handler = nullptr;
  {
    std::lock_guard lock(mutex_);
    const auto it = windows_.find(message.window);
    if (it == windows_.end()) return;
    handler = it->second.handler;
  }
  // Default handling of the simulated windows does nothing.
  if (handler != nullptr) handler->HandleWindowMessage(message);
  std::lock_guard lock(mutex_);
  ++dispatched_[message.message];
  wake_.notify_all();
}

std::size_t SimDesktop::DispatchedCount(std::uint32_t message) const {
  std::lock_guard lock(mutex_);
  const auto it = dispatched_.find(message);
  return it == dispatched_.end() ? 0 : it->second;
}

bool SimDesktop::PostMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) {
  std::lock_guard lock(mutex_);
  const auto it = windows_.find(window);
  if (it == windows_.end()) return false;
  PostLocked(it->second.thread, WindowMessage{window, message, wParam, lParam});
  return true;
}

void SimDesktop::PostQuitMessage(int /*exitCode*/) {
  std::lock_guard lock(mutex_);
  queues_[std::this_thread::get_id()].quit = true;
  wake_.notify_all();
}

bool SimDesktop::PostQuitToWindowThread(std::u16string_view className) {
  std::lock_guard lock(mutex_);
  for (const auto& [handle, window] : windows_) {
    if (window.handler != nullptr && window.className == className) {
      queues_[window.thread].quit = true;
      wake_.notify_all();
      return true;
    }
  }
  return false;
}

WindowHandle SimDesktop::FindWindowByClass(std::u16string_view className) const {
  std::lock_guard lock(mutex_);
  for (const auto& [handle, window] : windows_) {
    if (window.className == className) return handle;
  }
  return kNullWindow;
}

}  // namespace velmora::computer_use::platform::sim
