// The simulated message loops of the helper's threads: hidden windows, timers, win-event
// hooks and low-level input hooks, with the input the system hands to those hooks and the
// set-up steps a test can make fail.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "platform/message_loop.h"
#include "platform/sim/sim_world.h"

namespace velmora::computer_use::platform::sim {

class SimMessageLoops final : public MessageLoopApi {
 public:
  explicit SimMessageLoops(SimWorld& world) : world_(world) {}

  void FailSetup(SetupFailure step, bool fails = true);

  // Ends the message loop of the thread owning the first hidden window of the class, as if
  // someone else had posted it a quit message.
  bool PostQuitToWindowThread(std::u16string_view className);

  // Input as the system hands it to the low-level hooks: each installed hook of the kind, the
  // newest first, is called on its own thread, and this waits until it has returned (or gives
  // up after the system's hook time-out). The helper's own injected input arrives here as well.
  void DeliverKeyboardEvent(const KeyboardHookEvent& event);
  void DeliverMouseEvent(const MouseHookEvent& event);
  std::size_t InputHookCount() const;
  // Waits until every win event raised so far has been handled by its hook; false when the
  // time-out passed first.
  bool WaitForWinEvents(std::chrono::milliseconds timeout);
  // Raises a win event to the hooks that cover it.
  void RaiseWinEvent(std::uint32_t event, WindowHandle window, std::int32_t objectId,
                     std::int32_t childId);

  // Messages of a number dispatched to hidden windows so far, to know a notification was seen.
  std::size_t DispatchedCount(std::uint32_t message) const;

  // Live resources, for clean-up checks.
  std::size_t HiddenWindowCount() const;
  std::size_t TimerCount() const;
  std::size_t WinEventHookCount() const;
  std::size_t ApartmentCount() const;

  // --- MessageLoopApi
  bool InitializeThreadApartment() override;
  void UninitializeThreadApartment() override;
  void EnsureMessageQueue() override;
  std::uint32_t CurrentThreadId() override;
  ClassRegistration RegisterWindowClass(std::u16string_view className) override;
  WindowHandle CreateHiddenWindow(std::u16string_view className,
                                  WindowMessageHandler* handler) override;
  void DestroyWindow(WindowHandle window) override;
  WinEventHookId SetWinEventHook(std::uint32_t eventMin, std::uint32_t eventMax,
                                 WinEventCallback callback, bool skipOwnProcess) override;
  void UnhookWinEvent(WinEventHookId hook) override;
  bool SetTimer(WindowHandle window, std::uintptr_t timerId, std::uint32_t intervalMs) override;
  void KillTimer(WindowHandle window, std::uintptr_t timerId) override;
  ThreadTimerId SetThreadTimer(std::uint32_t intervalMs) override;
  void KillThreadTimer(ThreadTimerId timer) override;
  InputHookId SetKeyboardHook(KeyboardHookCallback callback) override;
  InputHookId SetMouseHook(MouseHookCallback callback) override;
  void UnhookInput(InputHookId hook) override;
  int GetMessage(WindowMessage& message) override;
  void DispatchMessage(const WindowMessage& message) override;
  bool PostMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                   std::intptr_t lParam) override;
  bool PostThreadMessage(std::uint32_t threadId, std::uint32_t message, std::uintptr_t wParam,
                         std::intptr_t lParam) override;
  void PostQuitMessage(int exitCode) override;

 private:
  void DeliverInput(bool keyboard, const KeyboardHookEvent& key, const MouseHookEvent& mouse);
  InputHookId AddInputHook(SetupFailure step, SimWorld::InputHook hook);

  SimWorld& world_;
};

}  // namespace velmora::computer_use::platform::sim
