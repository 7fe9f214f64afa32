// The simulated desktop: one session, its input desktop, top-level windows, the foreground,
// and per-thread message queues with hidden windows, timers and win-event hooks. Tests drive it
// as the world would: the session locks, the input desktop switches, a query fails.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/displays.h"
#include "platform/message_loop.h"
#include "platform/process_info.h"
#include "platform/session.h"
#include "platform/windows.h"

namespace velmora::computer_use::platform::sim {

// Session-change codes, with the values Windows gives them.
inline constexpr std::uint32_t kWtsConsoleConnect = 1;
inline constexpr std::uint32_t kWtsSessionLock = 7;
inline constexpr std::uint32_t kWtsSessionUnlock = 8;
inline constexpr std::uint32_t kWtsSessionCreate = 10;

// Set-up steps of a message-loop thread that a test can make fail.
enum class SetupFailure {
  kApartment,
  kWindowClass,
  kWindow,
  kSessionNotification,
  kWinEventHook,
  kTimer,
  kKeyboardHook,
  kMouseHook,
};

// A simulated process that owns windows.
struct SimProcess {
  std::u16string imagePath;
  std::optional<std::uint32_t> integrityLevel = 0x2000;  // none: cannot be read
  std::uint32_t sessionId = 1;
  bool queryable = true;  // false: cannot be opened for a query
};

struct SimMonitor {
  Rect rect;
  std::u16string deviceName;
  EffectiveDpi dpi;
  bool infoFails = false;
  bool dpiFails = false;
};

class SimDesktop final : public SessionApi,
                         public WindowApi,
                         public MessageLoopApi,
                         public ProcessInfoApi,
                         public DisplayApi {
 public:
  SimDesktop();
  ~SimDesktop() override;
  SimDesktop(const SimDesktop&) = delete;
  SimDesktop& operator=(const SimDesktop&) = delete;

  // --- The world, as tests and the demo scene drive it.
  std::uint32_t SessionId() const;
  void SetSessionId(std::uint32_t sessionId);
  // Locking switches input to the secure desktop; both notify the registered windows.
  void LockSession();
  void UnlockSession();
  // A new connect time, as after a reconnection (no notification).
  void Reconnect();
  void SetSessionState(std::int32_t connectState);
  void SetSessionFlags(std::int32_t flags);
  void SetSessionInfoShape(std::size_t bufferBytes, std::uint32_t level);
  // Changes the input desktop and raises the desktop-switch event.
  void SwitchInputDesktop(std::u16string name);
  void SendSessionChange(std::uint32_t code, std::uint32_t sessionId);
  void SetSessionQueryFails(bool fails);
  void SetInputDesktopQueryFails(bool fails);
  void SetProcessSessionIdFails(bool fails);
  void SetProcessSession(ProcessId processId, std::uint32_t sessionId);
  void FailSetup(SetupFailure step, bool fails = true);

  // Processes behind windows. A process not added has no image path or integrity level.
  void AddProcess(ProcessId processId, SimProcess process);
  void RemoveProcess(ProcessId processId);
  // A window of `owner`: top-level, or a child of `parent`.
  WindowHandle AddWindow(ProcessId owner, std::u16string title, WindowHandle parent = kNullWindow);
  // An owned top-level window, such as a dialog.
  WindowHandle AddOwnedWindow(ProcessId owner, std::u16string title, WindowHandle ownerWindow);
  void SetWindowVisible(WindowHandle window, bool visible);
  void SetWindowMinimized(WindowHandle window, bool minimized);
  void BringToTop(WindowHandle window);
  void SetWindowTitle(WindowHandle window, std::u16string title);
  // Where the window is on the virtual screen, for hit testing.
  void SetWindowRect(WindowHandle window, Rect rect);
  // What the compositor reports as the frame bounds, when it differs from the rectangle;
  // none makes the query fail.
  void SetWindowFrameBounds(WindowHandle window, std::optional<Rect> bounds);
  void SetWindowRectFails(WindowHandle window, bool fails);
  // Destroys the window and its children, raising the destroy event for each.
  void RemoveWindow(WindowHandle window);
  void SetForegroundWindow(WindowHandle window);

  // Displays, in enumeration order; answers the new monitor's position.
  std::size_t AddMonitor(SimMonitor monitor);
  void UpdateMonitor(std::size_t index, SimMonitor monitor);
  SimMonitor Monitor(std::size_t index) const;
  void RemoveMonitor(std::size_t index);

  // A top-level window of `owner` in the foreground (null for none).
  WindowHandle ShowForegroundWindow(ProcessId owner);
  void ClearForeground();
  void SetDenyForegroundGrant(bool deny);
  std::optional<ProcessId> LastForegroundGrant() const;

  // Ends the message loop of the thread owning the first hidden window of the class, as if
  // someone else had posted it a quit message.
  bool PostQuitToWindowThread(std::u16string_view className);
  WindowHandle FindWindowByClass(std::u16string_view className) const;

  // Input as the system hands it to the low-level hooks: each installed hook of the kind, the
  // newest first, is called on its own thread, and this waits until it has returned (or gives
  // up after the system's hook time-out). The helper's own injected input arrives here as well.
  void DeliverKeyboardEvent(const KeyboardHookEvent& event);
  void DeliverMouseEvent(const MouseHookEvent& event);
  std::size_t InputHookCount() const;
  // Raises a win event to the hooks that cover it.
  void RaiseWinEvent(std::uint32_t event, WindowHandle window, std::int32_t objectId,
                     std::int32_t childId);

  // Messages of a number dispatched to hidden windows so far, to know a notification was seen.
  std::size_t DispatchedCount(std::uint32_t message) const;

  // Live resources, for clean-up checks.
  std::size_t HiddenWindowCount() const;
  std::size_t TimerCount() const;
  std::size_t WinEventHookCount() const;
  std::size_t SessionRegistrationCount() const;
  std::size_t ApartmentCount() const;

  // --- SessionApi
  std::optional<std::uint32_t> ProcessIdToSessionId(ProcessId processId) override;
  std::optional<RawSessionInfo> QuerySessionInfo(std::uint32_t sessionId) override;
  std::optional<std::u16string> InputDesktopName() override;
  bool RegisterSessionNotification(WindowHandle window) override;
  void UnregisterSessionNotification(WindowHandle window) override;

  // --- WindowApi
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

  // --- ProcessInfoApi
  std::optional<std::u16string> QueryImagePath(ProcessId processId) override;
  std::optional<std::uint32_t> QueryIntegrityLevel(ProcessId processId) override;

  // --- DisplayApi
  std::vector<MonitorDescription> EnumerateMonitors() override;
  std::optional<MonitorDescription> MonitorNearestRect(const Rect& rect) override;

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
                                 WinEventCallback callback) override;
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
  using Clock = std::chrono::steady_clock;

  struct Window {
    std::u16string className;
    std::thread::id thread;
    WindowMessageHandler* handler = nullptr;  // null for plain top-level windows
    ProcessId owner = 0;
    std::u16string title;
    WindowHandle parent = kNullWindow;
    WindowHandle ownerWindow = kNullWindow;
    bool visible = true;
    bool minimized = false;
    Rect rect;
    bool frameBoundsSet = false;
    std::optional<Rect> frameBounds;
    bool rectFails = false;
  };
  struct Timer {
    std::thread::id thread;
    WindowHandle window;  // null for a thread timer
    std::uintptr_t id;
    std::chrono::milliseconds interval;
    Clock::time_point due;
  };
  struct Hook {
    std::uint32_t eventMin;
    std::uint32_t eventMax;
    WinEventCallback callback;
    std::thread::id thread;
  };
  struct PendingEvent {
    WinEventHookId hook;
    std::uint32_t event;
    WindowHandle window;
    std::int32_t objectId;
    std::int32_t childId;
  };
  struct InputHook {
    KeyboardHookCallback keyboard = nullptr;
    MouseHookCallback mouse = nullptr;
    std::thread::id thread;
  };
  struct PendingInput {
    std::uint64_t serial;
    InputHookId hook;
    KeyboardHookEvent keyboard;
    MouseHookEvent mouse;
  };
  struct Queue {
    std::deque<WindowMessage> posted;
    std::deque<PendingEvent> events;
    std::deque<PendingInput> inputs;
    bool quit = false;
  };

  bool TakeFailure(SetupFailure step);
  void NotifySessionChangeLocked(std::uint32_t code, std::uint32_t sessionId);
  void PostLocked(std::thread::id thread, const WindowMessage& message);
  void FireWinEventLocked(std::uint32_t event, WindowHandle window,
                          std::int32_t objectId = kObjIdWindow,
                          std::int32_t childId = kChildIdSelf);
  void DeliverInput(bool keyboard, const KeyboardHookEvent& key, const MouseHookEvent& mouse);
  InputHookId AddInputHook(SetupFailure step, InputHook hook);
  void RemoveWindowLocked(WindowHandle window);
  WindowHandle NewHandleLocked();

  mutable std::mutex mutex_;
  std::condition_variable wake_;

  // Session.
  std::uint32_t sessionId_ = 1;
  std::int32_t connectState_ = 0;  // WTSActive
  std::int32_t sessionFlags_ = 1;  // unlocked
  std::size_t infoBytes_ = 232 + 32;
  std::uint32_t infoLevel_ = 1;
  std::int64_t logonTime_ = 133'000'000'000'000'000;
  std::int64_t connectTime_ = 133'000'000'100'000'000;
  std::int64_t disconnectTime_ = 0;
  std::u16string inputDesktop_ = u"Default";
  bool sessionQueryFails_ = false;
  bool inputDesktopQueryFails_ = false;
  bool processSessionIdFails_ = false;
  std::map<ProcessId, std::uint32_t> processSessions_;
  std::vector<WindowHandle> sessionRegistrations_;
  std::map<SetupFailure, bool> failures_;
  std::size_t apartments_ = 0;

  // Windows, queues, hooks and timers.
  std::uintptr_t nextHandle_ = 0x10000;
  std::vector<std::u16string> classes_;
  std::map<WindowHandle, Window> windows_;
  std::vector<Timer> timers_;
  std::map<WinEventHookId, Hook> hooks_;
  WinEventHookId nextHook_ = 1;
  std::map<std::thread::id, Queue> queues_;
  std::map<std::thread::id, std::uint32_t> threadIds_;
  std::uint32_t nextThreadId_ = 0x100;
  std::uintptr_t nextThreadTimer_ = 0x7FEE;
  std::map<InputHookId, InputHook> inputHooks_;
  InputHookId nextInputHook_ = 1;
  std::uint64_t nextInputSerial_ = 1;
  std::vector<std::uint64_t> finishedInputs_;
  WindowHandle foreground_ = kNullWindow;
  bool denyForegroundGrant_ = false;
  std::optional<ProcessId> lastGrant_;
  std::map<std::uint32_t, std::size_t> dispatched_;
  std::map<ProcessId, SimProcess> processes_;
  std::vector<SimMonitor> monitors_;
  std::vector<WindowHandle> zOrder_;  // top-level windows, top first
};

}  // namespace velmora::computer_use::platform::sim
