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

void SimDesktop::FireWinEventLocked(std::uint32_t event, WindowHandle window, std::int32_t objectId,
                                    std::int32_t childId) {
  for (const auto& [id, hook] : hooks_) {
    if (event >= hook.eventMin && event <= hook.eventMax) {
      queues_[hook.thread].events.push_back(PendingEvent{id, event, window, objectId, childId});
    }
  }
  wake_.notify_all();
}

void SimDesktop::RaiseWinEvent(std::uint32_t event, WindowHandle window, std::int32_t objectId,
                               std::int32_t childId) {
  std::lock_guard lock(mutex_);
  FireWinEventLocked(event, window, objectId, childId);
}

void SimDesktop::DeliverKeyboardEvent(const KeyboardHookEvent& event) {
  DeliverInput(true, event, MouseHookEvent{});
}

void SimDesktop::DeliverMouseEvent(const MouseHookEvent& event) {
  DeliverInput(false, KeyboardHookEvent{}, event);
}

void SimDesktop::DeliverInput(bool keyboard, const KeyboardHookEvent& key,
                              const MouseHookEvent& mouse) {
  // The system waits this long for a low-level hook before it skips it.
  constexpr std::chrono::milliseconds kHookTimeout{2000};
  std::unique_lock lock(mutex_);
  std::vector<InputHookId> chain;
  for (const auto& [id, hook] : inputHooks_) {
    if ((hook.keyboard != nullptr) == keyboard) chain.insert(chain.begin(), id);
  }
  for (const InputHookId id : chain) {
    const auto hook = inputHooks_.find(id);
    if (hook == inputHooks_.end()) continue;
    const std::uint64_t serial = nextInputSerial_++;
    Queue& queue = queues_[hook->second.thread];
    queue.inputs.push_back(PendingInput{serial, id, key, mouse});
    wake_.notify_all();
    const auto finished = [this, serial] {
      return std::find(finishedInputs_.begin(), finishedInputs_.end(), serial) !=
             finishedInputs_.end();
    };
    if (!wake_.wait_for(lock, kHookTimeout, finished)) {
      for (auto& [thread, each] : queues_) {
        std::erase_if(each.inputs, [serial](const PendingInput& p) { return p.serial == serial; });
      }
      continue;
    }
    std::erase(finishedInputs_, serial);
  }
}

std::size_t SimDesktop::InputHookCount() const {
  std::lock_guard lock(mutex_);
  return inputHooks_.size();
}

void SimDesktop::EnsureMessageQueue() {
  std::lock_guard lock(mutex_);
  // A new thread's queue starts empty, even where an ended thread had the same identity.
  queues_[std::this_thread::get_id()] = Queue{};
}

std::uint32_t SimDesktop::CurrentThreadId() {
  std::lock_guard lock(mutex_);
  const auto [it, added] = threadIds_.try_emplace(std::this_thread::get_id(), nextThreadId_);
  if (added) nextThreadId_ += 4;
  return it->second;
}

bool SimDesktop::PostThreadMessage(std::uint32_t threadId, std::uint32_t message,
                                   std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard lock(mutex_);
  for (const auto& [thread, id] : threadIds_) {
    if (id != threadId) continue;
    const auto queue = queues_.find(thread);
    if (queue == queues_.end()) return false;
    PostLocked(thread, WindowMessage{kNullWindow, message, wParam, lParam});
    return true;
  }
  return false;
}

ThreadTimerId SimDesktop::SetThreadTimer(std::uint32_t intervalMs) {
  std::lock_guard lock(mutex_);
  if (TakeFailure(SetupFailure::kTimer)) return 0;
  const ThreadTimerId id = nextThreadTimer_++;
  const std::chrono::milliseconds interval(intervalMs);
  timers_.push_back(
      Timer{std::this_thread::get_id(), kNullWindow, id, interval, Clock::now() + interval});
  wake_.notify_all();
  return id;
}

void SimDesktop::KillThreadTimer(ThreadTimerId timer) {
  std::lock_guard lock(mutex_);
  std::erase_if(timers_, [&](const Timer& t) { return t.window == kNullWindow && t.id == timer; });
}

InputHookId SimDesktop::AddInputHook(SetupFailure step, InputHook hook) {
  std::lock_guard lock(mutex_);
  if (TakeFailure(step)) return 0;
  const InputHookId id = nextInputHook_++;
  hook.thread = std::this_thread::get_id();
  inputHooks_[id] = hook;
  return id;
}

InputHookId SimDesktop::SetKeyboardHook(KeyboardHookCallback callback) {
  return AddInputHook(SetupFailure::kKeyboardHook, InputHook{callback, nullptr, {}});
}

InputHookId SimDesktop::SetMouseHook(MouseHookCallback callback) {
  return AddInputHook(SetupFailure::kMouseHook, InputHook{nullptr, callback, {}});
}

void SimDesktop::UnhookInput(InputHookId hook) {
  std::lock_guard lock(mutex_);
  const auto it = inputHooks_.find(hook);
  if (it == inputHooks_.end()) return;
  auto queue = queues_.find(it->second.thread);
  if (queue != queues_.end()) {
    // A removed hook is skipped at once, not waited for.
    std::erase_if(queue->second.inputs, [this, hook](const PendingInput& input) {
      if (input.hook != hook) return false;
      finishedInputs_.push_back(input.serial);
      return true;
    });
  }
  inputHooks_.erase(it);
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
  timers_.push_back(
      Timer{windows_.at(window).thread, window, timerId, interval, Clock::now() + interval});
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
      callback(event.event, event.window, event.objectId, event.childId);
      lock.lock();
      continue;
    }
    // So are low-level hook calls; the sender waits for each to return.
    if (!queue.inputs.empty()) {
      const PendingInput input = queue.inputs.front();
      queue.inputs.pop_front();
      const auto hook = inputHooks_.find(input.hook);
      if (hook != inputHooks_.end()) {
        const InputHook callbacks = hook->second;
        lock.unlock();
        if (callbacks.keyboard != nullptr) callbacks.keyboard(input.keyboard);
        if (callbacks.mouse != nullptr) callbacks.mouse(input.mouse);
        lock.lock();
      }
      finishedInputs_.push_back(input.serial);
      wake_.notify_all();
      continue;
    }
    if (!queue.posted.empty()) {
      message = queue.posted.front();
      queue.posted.pop_front();
      if (message.message == kWmQuit) {
        queues_.erase(self);
        return 0;
      }
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
      if (timer.thread != self) continue;
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
    if (it != windows_.end()) handler = it->second.handler;
  }
  // Messages without a window (thread timers) and the default handling do nothing.
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
