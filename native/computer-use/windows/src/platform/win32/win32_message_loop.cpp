// Message loops, hidden windows, timers, win-event hooks and low-level input hooks.
#include <array>
#include <atomic>
#include <cstddef>
#include <map>
#include <utility>

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {
namespace {

// Out-of-context win events are delivered on the installing thread, inside its message loop,
// without a context pointer: each thread keeps its own hooks' callbacks.
thread_local std::map<HWINEVENTHOOK, WinEventCallback> threadWinEventCallbacks;

void CALLBACK WinEventTrampoline(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object,
                                 LONG child, DWORD /*thread*/, DWORD /*time*/) {
  const auto it = threadWinEventCallbacks.find(hook);
  if (it != threadWinEventCallbacks.end()) it->second(event, FromHwnd(window), object, child);
}

// Low-level hook procedures get no context either, and several components hold hooks at once,
// each on its own thread: every slot of a kind has a procedure of its own, and a hook claims a
// free slot for its lifetime.
template <typename Callback>
struct InputHookSlot {
  std::atomic<bool> claimed{false};
  std::atomic<Callback> callback{nullptr};
  std::atomic<HHOOK> hook{nullptr};
};

struct KeyboardHooks {
  using Callback = KeyboardHookCallback;
  static constexpr int kType = WH_KEYBOARD_LL;
  static void Deliver(Callback callback, WPARAM wParam, LPARAM lParam) {
    const auto* data = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
    callback(KeyboardHookEvent{static_cast<std::uint32_t>(wParam), data->vkCode, data->flags,
                               static_cast<std::uintptr_t>(data->dwExtraInfo), data->scanCode});
  }
  static inline std::array<InputHookSlot<Callback>, kInputHookSlotsPerKind> slots;
};

struct MouseHooks {
  using Callback = MouseHookCallback;
  static constexpr int kType = WH_MOUSE_LL;
  static void Deliver(Callback callback, WPARAM wParam, LPARAM lParam) {
    const auto* data = reinterpret_cast<const MSLLHOOKSTRUCT*>(lParam);
    callback(MouseHookEvent{static_cast<std::uint32_t>(wParam), data->pt.x, data->pt.y, data->flags,
                            static_cast<std::uintptr_t>(data->dwExtraInfo), data->mouseData});
  }
  static inline std::array<InputHookSlot<Callback>, kInputHookSlotsPerKind> slots;
};

template <typename Hooks, std::size_t Slot>
LRESULT CALLBACK InputHookProcedure(int code, WPARAM wParam, LPARAM lParam) {
  const typename Hooks::Callback callback = Hooks::slots[Slot].callback.load();
  if (code == HC_ACTION && callback != nullptr) Hooks::Deliver(callback, wParam, lParam);
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

template <typename Hooks, std::size_t... Slots>
constexpr std::array<HOOKPROC, sizeof...(Slots)> InputHookProcedures(
    std::index_sequence<Slots...>) {
  return {&InputHookProcedure<Hooks, Slots>...};
}

template <typename Hooks>
InputHookId InstallInputHook(typename Hooks::Callback callback) {
  static constexpr std::array<HOOKPROC, kInputHookSlotsPerKind> procedures =
      InputHookProcedures<Hooks>(std::make_index_sequence<kInputHookSlotsPerKind>());
  for (std::size_t index = 0; index < Hooks::slots.size(); ++index) {
    InputHookSlot<typename Hooks::Callback>& slot = Hooks::slots[index];
    bool expected = false;
    if (!slot.claimed.compare_exchange_strong(expected, true)) continue;
    // The callback is in place before the hook can call it.
    slot.callback = callback;
    const HHOOK hook =
        SetWindowsHookExW(Hooks::kType, procedures[index], GetModuleHandleW(nullptr), 0);
    if (hook == nullptr) {
      slot.callback = nullptr;
      slot.claimed = false;
      return 0;
    }
    slot.hook = hook;
    return reinterpret_cast<InputHookId>(hook);
  }
  return 0;
}

// Frees the slot that holds the hook, if this kind has one; called after the hook is removed.
template <typename Hooks>
bool ReleaseInputHookSlot(HHOOK hook) {
  for (InputHookSlot<typename Hooks::Callback>& slot : Hooks::slots) {
    HHOOK expected = hook;
    if (slot.hook.compare_exchange_strong(expected, nullptr)) {
      slot.callback = nullptr;
      slot.claimed = false;
      return true;
    }
  }
  return false;
}

LRESULT CALLBACK HiddenWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* handler = reinterpret_cast<WindowMessageHandler*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (handler != nullptr) {
    const std::optional<std::intptr_t> result =
        handler->HandleWindowMessage(WindowMessage{FromHwnd(window), message, wParam, lParam});
    if (result.has_value()) return *result;
  } else if (message == WM_CLOSE) {
    // No owner yet: the thread's clean-up destroys the window, not the default handling.
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

bool Win32MessageLoopApi::InitializeThreadApartment() {
  return SUCCEEDED(RoInitialize(RO_INIT_MULTITHREADED));
}

void Win32MessageLoopApi::UninitializeThreadApartment() {
  RoUninitialize();
}

void Win32MessageLoopApi::EnsureMessageQueue() {
  MSG message{};
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
}

std::uint32_t Win32MessageLoopApi::CurrentThreadId() {
  return GetCurrentThreadId();
}

ClassRegistration Win32MessageLoopApi::RegisterWindowClass(std::u16string_view className) {
  const std::wstring name = ToWide(className);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &HiddenWindowProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = name.c_str();
  if (RegisterClassExW(&windowClass) != 0) return ClassRegistration::kRegistered;
  return GetLastError() == ERROR_CLASS_ALREADY_EXISTS ? ClassRegistration::kAlreadyExists
                                                      : ClassRegistration::kFailed;
}

WindowHandle Win32MessageLoopApi::CreateHiddenWindow(std::u16string_view className,
                                                     WindowMessageHandler* handler) {
  const std::wstring name = ToWide(className);
  return FromHwnd(CreateWindowExW(0, name.c_str(), L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), handler));
}

void Win32MessageLoopApi::DestroyWindow(WindowHandle window) {
  ::DestroyWindow(ToHwnd(window));
}

WinEventHookId Win32MessageLoopApi::SetWinEventHook(std::uint32_t eventMin, std::uint32_t eventMax,
                                                    WinEventCallback callback,
                                                    bool skipOwnProcess) {
  const DWORD flags = WINEVENT_OUTOFCONTEXT | (skipOwnProcess ? WINEVENT_SKIPOWNPROCESS : 0);
  const HWINEVENTHOOK hook =
      ::SetWinEventHook(eventMin, eventMax, nullptr, &WinEventTrampoline, 0, 0, flags);
  if (hook == nullptr) return 0;
  threadWinEventCallbacks[hook] = callback;
  return reinterpret_cast<WinEventHookId>(hook);
}

void Win32MessageLoopApi::UnhookWinEvent(WinEventHookId hook) {
  const auto handle = reinterpret_cast<HWINEVENTHOOK>(hook);
  ::UnhookWinEvent(handle);
  threadWinEventCallbacks.erase(handle);
}

bool Win32MessageLoopApi::SetTimer(WindowHandle window, std::uintptr_t timerId,
                                   std::uint32_t intervalMs) {
  return ::SetTimer(ToHwnd(window), timerId, intervalMs, nullptr) != 0;
}

void Win32MessageLoopApi::KillTimer(WindowHandle window, std::uintptr_t timerId) {
  ::KillTimer(ToHwnd(window), timerId);
}

ThreadTimerId Win32MessageLoopApi::SetThreadTimer(std::uint32_t intervalMs) {
  return ::SetTimer(nullptr, 0, intervalMs, nullptr);
}

void Win32MessageLoopApi::KillThreadTimer(ThreadTimerId timer) {
  ::KillTimer(nullptr, timer);
}

InputHookId Win32MessageLoopApi::SetKeyboardHook(KeyboardHookCallback callback) {
  return InstallInputHook<KeyboardHooks>(callback);
}

InputHookId Win32MessageLoopApi::SetMouseHook(MouseHookCallback callback) {
  return InstallInputHook<MouseHooks>(callback);
}

void Win32MessageLoopApi::UnhookInput(InputHookId hook) {
  const auto handle = reinterpret_cast<HHOOK>(hook);
  if (handle == nullptr) return;
  UnhookWindowsHookEx(handle);
  if (!ReleaseInputHookSlot<KeyboardHooks>(handle)) ReleaseInputHookSlot<MouseHooks>(handle);
}

int Win32MessageLoopApi::GetMessage(WindowMessage& message) {
  MSG msg{};
  const BOOL result = GetMessageW(&msg, nullptr, 0, 0);
  message = WindowMessage{FromHwnd(msg.hwnd), msg.message, msg.wParam, msg.lParam};
  return result;
}

void Win32MessageLoopApi::DispatchMessage(const WindowMessage& message) {
  MSG msg{};
  msg.hwnd = ToHwnd(message.window);
  msg.message = message.message;
  msg.wParam = message.wParam;
  msg.lParam = message.lParam;
  msg.time = GetMessageTime();
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

bool Win32MessageLoopApi::PostMessage(WindowHandle window, std::uint32_t message,
                                      std::uintptr_t wParam, std::intptr_t lParam) {
  return PostMessageW(ToHwnd(window), message, wParam, lParam) != FALSE;
}

bool Win32MessageLoopApi::PostThreadMessage(std::uint32_t threadId, std::uint32_t message,
                                            std::uintptr_t wParam, std::intptr_t lParam) {
  return PostThreadMessageW(threadId, message, wParam, lParam) != FALSE;
}

void Win32MessageLoopApi::PostQuitMessage(int exitCode) {
  ::PostQuitMessage(exitCode);
}

}  // namespace velmora::computer_use::platform::win32
