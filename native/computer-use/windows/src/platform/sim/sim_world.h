// The state of the simulated desktop that its parts share: one lock and one wake-up for every
// part, the session, windows, per-thread queues, hooks, timers, processes and monitors. The
// parts (sessions, windows, message loops, process information, displays) each hold a
// reference to it and take `mutex` around every access.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/displays.h"
#include "platform/message_loop.h"
#include "platform/types.h"

namespace velmora::computer_use::platform::sim {

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

struct SimWorld {
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
    // A classic control's style bits and control id.
    std::uint32_t style = 0;
    std::int32_t controlId = 0;
    bool enabled = true;
    // A hung window answers no sent message.
    bool hung = false;
    // The application's answer to messages sent to the window; none: the default handling.
    std::function<std::intptr_t(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)>
        procedure;
  };
  struct Timer {
    std::thread::id thread;
    WindowHandle window;  // null for a thread timer
    std::uintptr_t id;
    std::chrono::milliseconds interval;
    Clock::time_point due;
  };
  struct WinEventHook {
    std::uint32_t eventMin;
    std::uint32_t eventMax;
    WinEventCallback callback;
    std::thread::id thread;
    bool skipOwnProcess = false;
  };
  struct PendingWinEvent {
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
  struct ThreadQueue {
    std::deque<WindowMessage> posted;
    std::deque<PendingWinEvent> events;
    std::deque<PendingInput> inputs;
    bool quit = false;
  };

  SimWorld() = default;
  SimWorld(const SimWorld&) = delete;
  SimWorld& operator=(const SimWorld&) = delete;

  // The helpers below expect `mutex` to be held.
  WindowHandle NewHandleLocked();
  void PostLocked(std::thread::id thread, const WindowMessage& message);
  // Queues the event to every win-event hook whose range covers it.
  void FireWinEventLocked(std::uint32_t event, WindowHandle window,
                          std::int32_t objectId = kObjIdWindow,
                          std::int32_t childId = kChildIdSelf);
  // Whether a test has made this set-up step fail (it stays failing until cleared).
  bool SetupFailsLocked(SetupFailure step) const;

  mutable std::mutex mutex;
  std::condition_variable wake;

  // Session.
  std::uint32_t sessionId = 1;
  std::int32_t connectState = 0;  // WTSActive
  std::int32_t sessionFlags = 1;  // unlocked
  std::size_t infoBytes = 232 + 32;
  std::uint32_t infoLevel = 1;
  std::int64_t logonTime = 133'000'000'000'000'000;
  std::int64_t connectTime = 133'000'000'100'000'000;
  std::int64_t disconnectTime = 0;
  std::u16string inputDesktop = u"Default";
  bool sessionQueryFails = false;
  bool inputDesktopQueryFails = false;
  bool processSessionIdFails = false;
  std::map<ProcessId, std::uint32_t> processSessions;
  std::vector<WindowHandle> sessionRegistrations;

  // Message-loop threads: set-up failures, apartments, classes, queues, hooks and timers.
  std::map<SetupFailure, bool> failures;
  std::size_t apartments = 0;
  std::vector<std::u16string> classes;
  std::map<std::thread::id, ThreadQueue> queues;
  std::map<std::thread::id, std::uint32_t> threadIds;
  std::uint32_t nextThreadId = 0x100;
  std::vector<Timer> timers;
  std::uintptr_t nextThreadTimer = 0x7FEE;
  std::map<WinEventHookId, WinEventHook> winEventHooks;
  std::size_t winEventsInFlight = 0;  // callbacks running outside the lock
  WinEventHookId nextWinEventHook = 1;
  std::map<InputHookId, InputHook> inputHooks;
  InputHookId nextInputHook = 1;
  std::uint64_t nextInputSerial = 1;
  std::vector<std::uint64_t> finishedInputs;
  std::map<std::uint32_t, std::size_t> dispatched;

  // Windows, top-level and hidden, and the foreground.
  std::uintptr_t nextHandle = 0x10000;
  std::map<WindowHandle, Window> windows;
  std::vector<WindowHandle> zOrder;  // top-level windows, top first
  WindowHandle foreground = kNullWindow;
  bool denyForegroundGrant = false;
  bool refuseForeground = false;
  std::optional<ProcessId> lastGrant;

  std::map<ProcessId, SimProcess> processes;
  // The helper's own process, whose windows' events hooks may skip.
  ProcessId ownProcess = 0;
  std::vector<SimMonitor> monitors;
  VirtualScreen virtualScreen{0, 0, 2560, 1440};
};

}  // namespace velmora::computer_use::platform::sim
