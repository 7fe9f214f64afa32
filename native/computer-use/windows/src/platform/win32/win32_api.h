// The Win32 backend's classes, for the process entry and for tests that compose them with
// simulated parts.
#pragma once

// First: it includes <windows.h> as the whole backend does.
#include "platform/win32/win32_handles.h"
// The seam names its operations after the calls they wrap; the backend calls the wide
// functions by their own names.
#undef GetMessage
#undef DispatchMessage
#undef PostMessage
#undef PostThreadMessage
#undef SendMessageTimeout
#undef VkKeyScan
// These need <windows.h> first.
#include <bcrypt.h>
#include <dwmapi.h>
#include <objbase.h>
#include <roapi.h>
#include <shellscalingapi.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace velmora::computer_use::platform::win32 {

inline std::wstring ToWide(std::u16string_view text) {
  return {text.begin(), text.end()};
}
inline std::u16string FromWide(std::wstring_view text) {
  return {text.begin(), text.end()};
}

inline HWND ToHwnd(WindowHandle window) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}
inline WindowHandle FromHwnd(HWND window) {
  return static_cast<WindowHandle>(reinterpret_cast<std::uintptr_t>(window));
}

// ReadFile on a pipe; a broken pipe is the end of input.
class HandleInputStream final : public InputStream {
 public:
  explicit HandleInputStream(HANDLE handle) : handle_(handle) {}
  IoResult Read(std::uint8_t* buffer, std::size_t count) override;

 private:
  HANDLE handle_;
};

class HandleOutputStream final : public OutputStream {
 public:
  explicit HandleOutputStream(HANDLE handle) : handle_(handle) {}
  IoResult Write(const std::uint8_t* buffer, std::size_t count) override;

 private:
  HANDLE handle_;
};

class Win32ProcessApi final : public ProcessApi {
 public:
  ProcessId CurrentProcessId() override;
  std::unique_ptr<ProcessHandle> OpenProcess(ProcessId processId) override;
  std::unique_ptr<ManualResetEvent> CreateManualResetEvent() override;
  WaitOutcome WaitForEither(ManualResetEvent& event, ProcessHandle& process,
                            std::chrono::milliseconds timeout) override;
  bool IsStillRunning(ProcessHandle& process) override;
  std::optional<std::vector<ProcessEntry>> SnapshotProcesses() override;
  std::optional<std::u16string> OwnModuleFileName() override;
  std::optional<std::u16string> ProcessImagePath(ProcessHandle& process) override;
  [[noreturn]] void ExitProcessNow(int exitCode) override;
};

class Win32Runtime final : public RuntimeApi {
 public:
  void SetPerMonitorDpiAwareV2() override;
  bool InitializeProcessApartment() override;
  bool AddConsoleControlHandler(ConsoleControlRoutine routine) override;
  void RemoveConsoleControlHandler(ConsoleControlRoutine routine) override;
};

class Win32SessionApi final : public SessionApi {
 public:
  std::optional<std::uint32_t> ProcessIdToSessionId(ProcessId processId) override;
  std::optional<RawSessionInfo> QuerySessionInfo(std::uint32_t sessionId) override;
  std::optional<std::u16string> InputDesktopName() override;
  bool RegisterSessionNotification(WindowHandle window) override;
  void UnregisterSessionNotification(WindowHandle window) override;
};

class Win32WindowApi final : public WindowApi {
 public:
  WindowHandle ForegroundWindow() override;
  WindowHandle RootWindow(WindowHandle window) override;
  WindowHandle WindowFromPoint(std::int32_t x, std::int32_t y) override;
  ProcessId WindowProcessId(WindowHandle window) override;
  bool AllowSetForegroundWindow(ProcessId processId) override;
  bool IsWindow(WindowHandle window) override;
  std::vector<WindowHandle> EnumerateTopLevelWindows() override;
  bool IsWindowVisible(WindowHandle window) override;
  bool IsIconic(WindowHandle window) override;
  std::optional<Rect> ExtendedFrameBounds(WindowHandle window) override;
  std::optional<Rect> WindowRect(WindowHandle window) override;
  WindowHandle OwnerWindow(WindowHandle window) override;
  int WindowTextLength(WindowHandle window) override;
  int WindowText(WindowHandle window, char16_t* buffer, int capacity) override;
  bool SetForegroundWindow(WindowHandle window) override;
  bool ShowWindowAsync(WindowHandle window, std::int32_t command) override;
  std::optional<std::u16string> ClassName(WindowHandle window) override;
  std::intptr_t WindowStyle(WindowHandle window) override;
  WindowHandle ParentWindow(WindowHandle window) override;
  WindowHandle RootOwnerWindow(WindowHandle window) override;
  bool IsWindowEnabled(WindowHandle window) override;
  std::uint32_t WindowThreadId(WindowHandle window) override;
  WindowHandle FocusedWindow(std::uint32_t threadId) override;
  std::int32_t DialogControlId(WindowHandle window) override;
  std::optional<std::intptr_t> SendMessageTimeout(WindowHandle window, std::uint32_t message,
                                                  std::uintptr_t wParam, std::intptr_t lParam,
                                                  std::uint32_t flags,
                                                  std::uint32_t timeoutMs) override;
};

class Win32ProcessInfoApi final : public ProcessInfoApi {
 public:
  std::optional<std::u16string> QueryImagePath(ProcessId processId) override;
  std::optional<std::uint32_t> QueryIntegrityLevel(ProcessId processId) override;
};

// SHA-256 through BCrypt.
class Win32CryptoApi final : public CryptoApi {
 public:
  Sha256Digest Sha256(std::string_view data) override;
};

class Win32DisplayApi final : public DisplayApi {
 public:
  std::vector<MonitorDescription> EnumerateMonitors() override;
  std::optional<MonitorDescription> MonitorNearestRect(const Rect& rect) override;
  VirtualScreen VirtualScreenMetrics() override;
};

// SendInput and VkKeyScanW of the calling thread's keyboard layout.
class Win32InputApi final : public InputApi {
 public:
  std::uint32_t SendInput(const std::vector<InputEvent>& events) override;
  std::int16_t VkKeyScan(char16_t character) override;
  bool IsKeyDown(std::uint32_t virtualKey) override;
  bool IsKeyToggled(std::uint32_t virtualKey) override;
  KeyboardLayout KeyboardLayoutOf(std::uint32_t threadId) override;
  std::u16string TranslateKey(std::uint32_t virtualKey, std::uint32_t scanCode,
                              const KeyState& keyState, KeyboardLayout layout) override;
};

// UI Automation through the CUIAutomation8 object of the process's apartment.
class Win32AutomationApi final : public AutomationApi {
 public:
  std::unique_ptr<UiaClient> CreateClient(HResult& result) override;
};

class Win32SystemApi final : public SystemApi {
 public:
  std::optional<Guid> CreateGuid() override;
  std::u16string GuidToString(const Guid& guid) override;
  std::uint64_t SystemTimeAsFileTime() override;
  std::uint64_t TickCount64() override;
  void Sleep(std::chrono::milliseconds duration) override;
};

// Up to kInputHookSlotsPerKind low-level hooks of each kind at once, on any threads.
inline constexpr std::size_t kInputHookSlotsPerKind = 8;

class Win32MessageLoopApi final : public MessageLoopApi {
 public:
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
};

}  // namespace velmora::computer_use::platform::win32
