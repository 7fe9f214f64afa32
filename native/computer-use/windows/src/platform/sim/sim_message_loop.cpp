#include "platform/sim/sim_message_loop.h"

#include <algorithm>

namespace velmora::computer_use::platform::sim {
namespace {
using Clock = SimWorld::Clock;
}  // namespace

void SimMessageLoops::FailSetup(SetupFailure step, bool fails) {
  std::lock_guard lock(world_.mutex);
  world_.failures[step] = fails;
}

void SimMessageLoops::RaiseWinEvent(std::uint32_t event, WindowHandle window, std::int32_t objectId,
                                    std::int32_t childId) {
  std::lock_guard lock(world_.mutex);
  world_.FireWinEventLocked(event, window, objectId, childId);
}

void SimMessageLoops::DeliverKeyboardEvent(const KeyboardHookEvent& event) {
  DeliverInput(true, event, MouseHookEvent{});
}

void SimMessageLoops::DeliverMouseEvent(const MouseHookEvent& event) {
  DeliverInput(false, KeyboardHookEvent{}, event);
}

void SimMessageLoops::DeliverInput(bool keyboard, const KeyboardHookEvent& key,
                                   const MouseHookEvent& mouse) {
  // The system waits this long for a low-level hook before it skips it.
  constexpr std::chrono::milliseconds kHookTimeout{2000};
  std::unique_lock lock(world_.mutex);
  std::vector<InputHookId> chain;
  for (const auto& [id, hook] : world_.inputHooks) {
    if ((hook.keyboard != nullptr) == keyboard) chain.insert(chain.begin(), id);
  }
  for (const InputHookId id : chain) {
    const auto hook = world_.inputHooks.find(id);
    if (hook == world_.inputHooks.end()) continue;
    const std::uint64_t serial = world_.nextInputSerial++;
    SimWorld::ThreadQueue& queue = world_.queues[hook->second.thread];
    queue.inputs.push_back(SimWorld::PendingInput{serial, id, key, mouse});
    world_.wake.notify_all();
    const auto finished = [this, serial] {
      return std::find(world_.finishedInputs.begin(), world_.finishedInputs.end(), serial) !=
             world_.finishedInputs.end();
    };
    if (!world_.wake.wait_for(lock, kHookTimeout, finished)) {
      for (auto& [thread, each] : world_.queues) {
        std::erase_if(each.inputs,
                      [serial](const SimWorld::PendingInput& p) { return p.serial == serial; });
      }
      continue;
    }
    std::erase(world_.finishedInputs, serial);
  }
}

bool SimMessageLoops::WaitForWinEvents(std::chrono::milliseconds timeout) {
  std::unique_lock lock(world_.mutex);
  return world_.wake.wait_for(lock, timeout, [this] {
    if (world_.winEventsInFlight != 0) return false;
    for (const auto& [thread, queue] : world_.queues) {
      if (!queue.events.empty()) return false;
    }
    return true;
  });
}

std::size_t SimMessageLoops::InputHookCount() const {
  std::lock_guard lock(world_.mutex);
  return world_.inputHooks.size();
}

void SimMessageLoops::EnsureMessageQueue() {
  std::lock_guard lock(world_.mutex);
  // A new thread's queue starts empty, even where an ended thread had the same identity.
  world_.queues[std::this_thread::get_id()] = SimWorld::ThreadQueue{};
}

std::uint32_t SimMessageLoops::CurrentThreadId() {
  std::lock_guard lock(world_.mutex);
  const auto [it, added] =
      world_.threadIds.try_emplace(std::this_thread::get_id(), world_.nextThreadId);
  if (added) world_.nextThreadId += 4;
  return it->second;
}

bool SimMessageLoops::PostThreadMessage(std::uint32_t threadId, std::uint32_t message,
                                        std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard lock(world_.mutex);
  for (const auto& [thread, id] : world_.threadIds) {
    if (id != threadId) continue;
    const auto queue = world_.queues.find(thread);
    if (queue == world_.queues.end()) return false;
    world_.PostLocked(thread, WindowMessage{kNullWindow, message, wParam, lParam});
    return true;
  }
  return false;
}

ThreadTimerId SimMessageLoops::SetThreadTimer(std::uint32_t intervalMs) {
  std::lock_guard lock(world_.mutex);
  if (world_.SetupFailsLocked(SetupFailure::kTimer)) return 0;
  const ThreadTimerId id = world_.nextThreadTimer++;
  const std::chrono::milliseconds interval(intervalMs);
  world_.timers.push_back(SimWorld::Timer{std::this_thread::get_id(), kNullWindow, id, interval,
                                          Clock::now() + interval});
  world_.wake.notify_all();
  return id;
}

void SimMessageLoops::KillThreadTimer(ThreadTimerId timer) {
  std::lock_guard lock(world_.mutex);
  std::erase_if(world_.timers,
                [&](const SimWorld::Timer& t) { return t.window == kNullWindow && t.id == timer; });
}

InputHookId SimMessageLoops::AddInputHook(SetupFailure step, SimWorld::InputHook hook) {
  std::lock_guard lock(world_.mutex);
  if (world_.SetupFailsLocked(step)) return 0;
  const InputHookId id = world_.nextInputHook++;
  hook.thread = std::this_thread::get_id();
  world_.inputHooks[id] = hook;
  return id;
}

InputHookId SimMessageLoops::SetKeyboardHook(KeyboardHookCallback callback) {
  return AddInputHook(SetupFailure::kKeyboardHook, SimWorld::InputHook{callback, nullptr, {}});
}

InputHookId SimMessageLoops::SetMouseHook(MouseHookCallback callback) {
  return AddInputHook(SetupFailure::kMouseHook, SimWorld::InputHook{nullptr, callback, {}});
}

void SimMessageLoops::UnhookInput(InputHookId hook) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.inputHooks.find(hook);
  if (it == world_.inputHooks.end()) return;
  auto queue = world_.queues.find(it->second.thread);
  if (queue != world_.queues.end()) {
    // A removed hook is skipped at once, not waited for.
    std::erase_if(queue->second.inputs, [this, hook](const SimWorld::PendingInput& input) {
      if (input.hook != hook) return false;
      world_.finishedInputs.push_back(input.serial);
      return true;
    });
  }
  world_.inputHooks.erase(it);
  world_.wake.notify_all();
}

bool SimMessageLoops::InitializeThreadApartment() {
  std::lock_guard lock(world_.mutex);
  if (world_.SetupFailsLocked(SetupFailure::kApartment)) return false;
  ++world_.apartments;
  return true;
}

void SimMessageLoops::UninitializeThreadApartment() {
  std::lock_guard lock(world_.mutex);
  if (world_.apartments > 0) --world_.apartments;
}

ClassRegistration SimMessageLoops::RegisterWindowClass(std::u16string_view className) {
  std::lock_guard lock(world_.mutex);
  if (world_.SetupFailsLocked(SetupFailure::kWindowClass)) return ClassRegistration::kFailed;
  if (std::find(world_.classes.begin(), world_.classes.end(), className) != world_.classes.end()) {
    return ClassRegistration::kAlreadyExists;
  }
  world_.classes.emplace_back(className);
  return ClassRegistration::kRegistered;
}

WindowHandle SimMessageLoops::CreateHiddenWindow(std::u16string_view className,
                                                 WindowMessageHandler* handler) {
  WindowHandle handle;
  {
    std::lock_guard lock(world_.mutex);
    if (world_.SetupFailsLocked(SetupFailure::kWindow) ||
        std::find(world_.classes.begin(), world_.classes.end(), className) ==
            world_.classes.end()) {
      return kNullWindow;
    }
    handle = world_.NewHandleLocked();
    SimWorld::Window window;
    window.className = std::u16string(className);
    window.thread = std::this_thread::get_id();
    window.handler = handler;
    window.visible = false;
    world_.windows[handle] = std::move(window);
  }
  // Creation sends the first message synchronously, as the system does.
  handler->HandleWindowMessage(WindowMessage{handle, kWmNcCreate, 0, 0});
  return handle;
}

void SimMessageLoops::DestroyWindow(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  if (it == world_.windows.end()) return;
  std::erase_if(world_.timers,
                [window](const SimWorld::Timer& timer) { return timer.window == window; });
  std::erase(world_.sessionRegistrations, window);
  auto queue = world_.queues.find(it->second.thread);
  if (queue != world_.queues.end()) {
    std::erase_if(queue->second.posted,
                  [window](const WindowMessage& message) { return message.window == window; });
  }
  if (world_.foreground == window) world_.foreground = kNullWindow;
  world_.windows.erase(it);
}

WinEventHookId SimMessageLoops::SetWinEventHook(std::uint32_t eventMin, std::uint32_t eventMax,
                                                WinEventCallback callback, bool skipOwnProcess) {
  std::lock_guard lock(world_.mutex);
  if (world_.SetupFailsLocked(SetupFailure::kWinEventHook)) return 0;
  const WinEventHookId id = world_.nextWinEventHook++;
  world_.winEventHooks[id] = SimWorld::WinEventHook{eventMin, eventMax, callback,
                                                    std::this_thread::get_id(), skipOwnProcess};
  return id;
}

void SimMessageLoops::UnhookWinEvent(WinEventHookId hook) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.winEventHooks.find(hook);
  if (it == world_.winEventHooks.end()) return;
  auto queue = world_.queues.find(it->second.thread);
  if (queue != world_.queues.end()) {
    std::erase_if(queue->second.events,
                  [hook](const SimWorld::PendingWinEvent& event) { return event.hook == hook; });
  }
  world_.winEventHooks.erase(it);
}

bool SimMessageLoops::SetTimer(WindowHandle window, std::uintptr_t timerId,
                               std::uint32_t intervalMs) {
  std::lock_guard lock(world_.mutex);
  if (world_.SetupFailsLocked(SetupFailure::kTimer) || world_.windows.count(window) == 0) {
    return false;
  }
  std::erase_if(world_.timers,
                [&](const SimWorld::Timer& t) { return t.window == window && t.id == timerId; });
  const std::chrono::milliseconds interval(intervalMs);
  world_.timers.push_back(SimWorld::Timer{world_.windows.at(window).thread, window, timerId,
                                          interval, Clock::now() + interval});
  world_.wake.notify_all();
  return true;
}

void SimMessageLoops::KillTimer(WindowHandle window, std::uintptr_t timerId) {
  std::lock_guard lock(world_.mutex);
  std::erase_if(world_.timers,
                [&](const SimWorld::Timer& t) { return t.window == window && t.id == timerId; });
}

int SimMessageLoops::GetMessage(WindowMessage& message) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock lock(world_.mutex);
  for (;;) {
    SimWorld::ThreadQueue& queue = world_.queues[self];
    // Out-of-context win events are delivered while the thread waits for messages.
    if (!queue.events.empty()) {
      const SimWorld::PendingWinEvent event = queue.events.front();
      queue.events.pop_front();
      const auto hook = world_.winEventHooks.find(event.hook);
      if (hook == world_.winEventHooks.end()) continue;
      const WinEventCallback callback = hook->second.callback;
      ++world_.winEventsInFlight;
      lock.unlock();
      callback(event.event, event.window, event.objectId, event.childId);
      lock.lock();
      --world_.winEventsInFlight;
      world_.wake.notify_all();
      continue;
    }
    // So are low-level hook calls; the sender waits for each to return.
    if (!queue.inputs.empty()) {
      const SimWorld::PendingInput input = queue.inputs.front();
      queue.inputs.pop_front();
      const auto hook = world_.inputHooks.find(input.hook);
      if (hook != world_.inputHooks.end()) {
        const SimWorld::InputHook callbacks = hook->second;
        lock.unlock();
        if (callbacks.keyboard != nullptr) callbacks.keyboard(input.keyboard);
        if (callbacks.mouse != nullptr) callbacks.mouse(input.mouse);
        lock.lock();
      }
      world_.finishedInputs.push_back(input.serial);
      world_.wake.notify_all();
      continue;
    }
    if (!queue.posted.empty()) {
      message = queue.posted.front();
      queue.posted.pop_front();
      if (message.message == kWmQuit) {
        world_.queues.erase(self);
        return 0;
      }
      return 1;
    }
    if (queue.quit) {
      // The thread's queue ends with its loop; nothing stale reaches a later thread.
      world_.queues.erase(self);
      message = WindowMessage{kNullWindow, kWmQuit, 0, 0};
      return 0;
    }
    // Timer messages come only when nothing else is waiting, as on Windows.
    std::optional<Clock::time_point> nextDue;
    const Clock::time_point now = Clock::now();
    for (SimWorld::Timer& timer : world_.timers) {
      if (timer.thread != self) continue;
      if (timer.due <= now) {
        timer.due = now + timer.interval;
        message = WindowMessage{timer.window, kWmTimer, timer.id, 0};
        return 1;
      }
      if (!nextDue || timer.due < *nextDue) nextDue = timer.due;
    }
    if (nextDue) {
      world_.wake.wait_until(lock, *nextDue);
    } else {
      world_.wake.wait(lock);
    }
  }
}

void SimMessageLoops::DispatchMessage(const WindowMessage& message) {
  WindowMessageHandler* handler = nullptr;
  {
    std::lock_guard lock(world_.mutex);
    const auto it = world_.windows.find(message.window);
    if (it != world_.windows.end()) handler = it->second.handler;
  }
  // Messages without a window (thread timers) and the default handling do nothing.
  if (handler != nullptr) handler->HandleWindowMessage(message);
  std::lock_guard lock(world_.mutex);
  ++world_.dispatched[message.message];
  world_.wake.notify_all();
}

std::size_t SimMessageLoops::DispatchedCount(std::uint32_t message) const {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.dispatched.find(message);
  return it == world_.dispatched.end() ? 0 : it->second;
}

bool SimMessageLoops::PostMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                  std::intptr_t lParam) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.windows.find(window);
  if (it == world_.windows.end()) return false;
  world_.PostLocked(it->second.thread, WindowMessage{window, message, wParam, lParam});
  return true;
}

void SimMessageLoops::PostQuitMessage(int /*exitCode*/) {
  std::lock_guard lock(world_.mutex);
  world_.queues[std::this_thread::get_id()].quit = true;
  world_.wake.notify_all();
}

bool SimMessageLoops::PostQuitToWindowThread(std::u16string_view className) {
  std::lock_guard lock(world_.mutex);
  for (const auto& [handle, window] : world_.windows) {
    if (window.handler != nullptr && window.className == className) {
      world_.queues[window.thread].quit = true;
      world_.wake.notify_all();
      return true;
    }
  }
  return false;
}

std::size_t SimMessageLoops::HiddenWindowCount() const {
  std::lock_guard lock(world_.mutex);
  return static_cast<std::size_t>(
      std::count_if(world_.windows.begin(), world_.windows.end(),
                    [](const auto& entry) { return entry.second.handler; }));
}

std::size_t SimMessageLoops::TimerCount() const {
  std::lock_guard lock(world_.mutex);
  return world_.timers.size();
}

std::size_t SimMessageLoops::WinEventHookCount() const {
  std::lock_guard lock(world_.mutex);
  return world_.winEventHooks.size();
}

std::size_t SimMessageLoops::ApartmentCount() const {
  std::lock_guard lock(world_.mutex);
  return world_.apartments;
}

}  // namespace velmora::computer_use::platform::sim
