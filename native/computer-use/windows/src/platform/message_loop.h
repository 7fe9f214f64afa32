// Per-thread message loops: hidden windows, timers, win-event hooks, posted messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/types.h"

namespace velmora::computer_use::platform {

// Receives the messages of a hidden window on the thread that created it. Answering none
// asks for the default handling of the message.
class WindowMessageHandler {
 public:
  virtual std::optional<std::intptr_t> HandleWindowMessage(const WindowMessage& message) = 0;

 protected:
  ~WindowMessageHandler() = default;
};

// Called on the thread that installed the hook, from inside its message loop.
using WinEventCallback = void (*)(std::uint32_t event, WindowHandle window, std::int32_t objectId,
                                  std::int32_t childId);

// One event seen by a low-level keyboard hook (KBDLLHOOKSTRUCT and its message).
struct KeyboardHookEvent {
  std::uint32_t message = 0;
  std::uint32_t virtualKey = 0;
  std::uint32_t flags = 0;
  std::uintptr_t extraInfo = 0;
  std::uint32_t scanCode = 0;
};

// One event seen by a low-level mouse hook (MSLLHOOKSTRUCT and its message).
struct MouseHookEvent {
  std::uint32_t message = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t flags = 0;
  std::uintptr_t extraInfo = 0;
  // The wheel delta in the high word for the wheel messages.
  std::uint32_t mouseData = 0;
};

// Called on the installing thread while it waits for messages; the backend passes every event
// on to the next hook afterwards.
using KeyboardHookCallback = void (*)(const KeyboardHookEvent& event);
using MouseHookCallback = void (*)(const MouseHookEvent& event);

enum class ClassRegistration { kRegistered, kAlreadyExists, kFailed };

using WinEventHookId = std::uintptr_t;  // 0: none
using InputHookId = std::uintptr_t;     // 0: none
using ThreadTimerId = std::uintptr_t;   // 0: none

class MessageLoopApi {
 public:
  virtual ~MessageLoopApi() = default;

  // The thread's Windows Runtime apartment (multithreaded).
  virtual bool InitializeThreadApartment() = 0;
  virtual void UninitializeThreadApartment() = 0;
  // Gives the calling thread its message queue, so that messages can be posted to it.
  virtual void EnsureMessageQueue() = 0;
  virtual std::uint32_t CurrentThreadId() = 0;

  virtual ClassRegistration RegisterWindowClass(std::u16string_view className) = 0;
  // A hidden pop-up window of the class whose messages go to `handler`; null on failure.
  virtual WindowHandle CreateHiddenWindow(std::u16string_view className,
                                          WindowMessageHandler* handler) = 0;
  virtual void DestroyWindow(WindowHandle window) = 0;

  // Out of context; with `skipOwnProcess`, events of this process's windows are not delivered
  // (WINEVENT_SKIPOWNPROCESS).
  virtual WinEventHookId SetWinEventHook(std::uint32_t eventMin, std::uint32_t eventMax,
                                         WinEventCallback callback, bool skipOwnProcess) = 0;
  virtual void UnhookWinEvent(WinEventHookId hook) = 0;

  virtual bool SetTimer(WindowHandle window, std::uintptr_t timerId, std::uint32_t intervalMs) = 0;
  virtual void KillTimer(WindowHandle window, std::uintptr_t timerId) = 0;
  // A timer of the calling thread with no window; its messages carry no window.
  virtual ThreadTimerId SetThreadTimer(std::uint32_t intervalMs) = 0;
  virtual void KillThreadTimer(ThreadTimerId timer) = 0;

  // Low-level hooks of the whole desktop, called on the installing thread.
  virtual InputHookId SetKeyboardHook(KeyboardHookCallback callback) = 0;
  virtual InputHookId SetMouseHook(MouseHookCallback callback) = 0;
  virtual void UnhookInput(InputHookId hook) = 0;

  // Blocks for the next message of the calling thread: above 0 for a message, 0 for the quit
  // message, below 0 on failure.
  virtual int GetMessage(WindowMessage& message) = 0;
  // Translates and dispatches a message to its window's handler.
  virtual void DispatchMessage(const WindowMessage& message) = 0;
  virtual bool PostMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) = 0;
  virtual bool PostThreadMessage(std::uint32_t threadId, std::uint32_t message,
                                 std::uintptr_t wParam, std::intptr_t lParam) = 0;
  virtual void PostQuitMessage(int exitCode) = 0;
};

}  // namespace velmora::computer_use::platform
