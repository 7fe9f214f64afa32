#include "safety/session_monitor.h"

#include "common/scope_exit.h"

namespace velmora::computer_use {
namespace {

using platform::WindowHandle;

// Read by the desktop-switch callback, which the platform calls without a context argument.
thread_local DesktopSessionMonitor* currentSessionMonitor = nullptr;

char16_t FoldAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c;
}

}  // namespace

bool IsDefaultDesktopName(std::u16string_view name) {
  name = name.substr(0, name.find(u'\0'));
  constexpr std::u16string_view kDefault = u"Default";
  if (name.size() != kDefault.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (FoldAscii(name[i]) != FoldAscii(kDefault[i])) return false;
  }
  return true;
}

bool IsInputDesktopDefault(platform::SessionApi& sessions) {
  const std::optional<std::u16string> name = sessions.InputDesktopName();
  return name.has_value() && IsDefaultDesktopName(*name);
}

SessionSnapshot CaptureSessionSnapshot(platform::Platform& platform) {
  SessionSnapshot snapshot;
  const std::optional<std::uint32_t> sessionId =
      platform.sessions.ProcessIdToSessionId(platform.processes.CurrentProcessId());
  if (!sessionId.has_value() || *sessionId == 0) return snapshot;
  const std::optional<platform::RawSessionInfo> info =
      platform.sessions.QuerySessionInfo(*sessionId);
  if (!info.has_value()) return snapshot;
  if (info->bufferBytes >= kMinimumSessionInfoBytes && info->level == 1 &&
      info->sessionId == *sessionId) {
    snapshot.sessionId = *sessionId;
    snapshot.lockStateKnown = info->sessionFlags == 0 || info->sessionFlags == 1;
    snapshot.active = info->sessionState == 0;
    snapshot.unlocked = info->sessionFlags == 1;
    snapshot.logonTime = info->logonTime;
    snapshot.connectTime = info->connectTime;
    snapshot.disconnectTime = info->disconnectTime;
  }
  snapshot.inputDesktopIsDefault = IsInputDesktopDefault(platform.sessions);
  return snapshot;
}

DesktopSessionMonitor::DesktopSessionMonitor(
    platform::Platform& platform, UnsafeCallback onUnsafe, SnapshotProvider snapshotProvider,
    SessionNotificationRegistrar registerSessionNotification)
    : platform_(platform),
      onUnsafe_(std::move(onUnsafe)),
      snapshotProvider_(std::move(snapshotProvider)),
      registerSessionNotification_(std::move(registerSessionNotification)),
      thread_(platform.messageLoops) {
  if (!registerSessionNotification_) {
    registerSessionNotification_ = [&sessions = platform_.sessions](WindowHandle window) {
      return sessions.RegisterSessionNotification(window);
    };
  }
}

DesktopSessionMonitor::~DesktopSessionMonitor() {
  Stop();
}

bool DesktopSessionMonitor::Start() {
  if (stopping_) return false;
  {
    // One thread for the monitor's life: a stopped monitor is never watched again.
    std::lock_guard lock(startMutex_);
    if (!threadLaunched_) {
      threadLaunched_ = true;
      thread_.Start([this](MessageLoopThread&) { Run(); });
    }
  }
  const bool safe = IsSessionSafe();
  if (!safe) Trigger();
  return safe;
}

void DesktopSessionMonitor::Stop() {
  stopping_ = true;
  thread_.Stop();
}

SessionSnapshot DesktopSessionMonitor::TakeSnapshot() {
  if (!snapshotProvider_) return {};
  try {
    return snapshotProvider_();
  } catch (...) {
    return {};
  }
}

bool DesktopSessionMonitor::IsSessionSafe() {
  if (stopping_ || !started_) return false;
  const SessionSnapshot now = TakeSnapshot();
  const SessionSnapshot& base = baseline_->snapshot;
  if (now.IsGood() && now.sessionId == base.sessionId && now.logonTime == base.logonTime &&
      now.connectTime == base.connectTime && now.disconnectTime == base.disconnectTime) {
    return !baseline_->unsafe;
  }
  baseline_->unsafe = true;
  return false;
}

bool DesktopSessionMonitor::IsArmed() const {
  return !stopping_ && started_ && !baseline_->unsafe;
}

void DesktopSessionMonitor::LatchUnsafe() {
  if (baseline_) baseline_->unsafe = true;
}

void DesktopSessionMonitor::Trigger() {
  if (stopping_ || triggered_.exchange(true)) return;
  try {
    if (onUnsafe_) onUnsafe_();
  } catch (...) {
    // The stop has done what it could; the latch holds either way.
  }
}

void DesktopSessionMonitor::Run() {
  platform::MessageLoopApi& loops = platform_.messageLoops;
  // Each guard undoes one acquisition; they unwind in reverse order of acquisition.
  const bool apartment = loops.InitializeThreadApartment();
  ScopeExit apartmentGuard([&] {
    if (apartment) loops.UninitializeThreadApartment();
  });
  const platform::ClassRegistration registration =
      loops.RegisterWindowClass(kSessionMonitorClassName);
  const bool classReady = registration != platform::ClassRegistration::kFailed;

  WindowHandle window = platform::kNullWindow;
  if (apartment && classReady) window = loops.CreateHiddenWindow(kSessionMonitorClassName, this);
  ScopeExit windowGuard([&] {
    if (window != platform::kNullWindow) loops.DestroyWindow(window);
  });
  bool registered = false;
  if (window != platform::kNullWindow) {
    try {
      registered = registerSessionNotification_(window);
    } catch (...) {
      registered = false;
    }
  }
  ScopeExit registrationGuard([&] {
    if (registered) platform_.sessions.UnregisterSessionNotification(window);
  });

  currentSessionMonitor = this;
  ScopeExit slotGuard([] { currentSessionMonitor = nullptr; });

  platform::WinEventHookId hook = 0;
  if (registered) {
    hook = loops.SetWinEventHook(platform::kEventSystemDesktopSwitch,
                                 platform::kEventSystemDesktopSwitch, &OnDesktopSwitch, false);
  }
  ScopeExit hookGuard([&] {
    if (hook != 0) loops.UnhookWinEvent(hook);
  });
  bool timer = false;
  if (hook != 0) timer = loops.SetTimer(window, kSessionMonitorTimerId, kSessionMonitorIntervalMs);
  ScopeExit timerGuard([&] {
    started_ = false;
    if (timer) loops.KillTimer(window, kSessionMonitorTimerId);
  });
  if (timer) {
    const SessionSnapshot snapshot = TakeSnapshot();
    baselineSessionId_ = snapshot.sessionId;
    baseline_ = std::make_unique<SessionBaseline>(snapshot);
    started_ = true;
  }

  // Ready either way: a monitor that could not start answers "unsafe" to every question.
  thread_.ReportReady(true);

  if (started_ && !stopping_) {
    if (!IsSessionSafe()) Trigger();
    thread_.RunLoop();
    if (!thread_.QuitRequested() && !stopping_ && started_) {
      // Nobody asked the loop to end: the desktop can no longer be watched.
      LatchUnsafe();
      Trigger();
    }
  }
}

std::optional<std::intptr_t> DesktopSessionMonitor::HandleWindowMessage(
    const platform::WindowMessage& message) {
  switch (message.message) {
    case platform::kWmWtsSessionChange: {
      const auto sessionId = static_cast<std::uint32_t>(message.lParam);
      const std::uintptr_t code = message.wParam;
      if (sessionId == baselineSessionId_ && code >= 1 && code <= 9 && started_) {
        LatchUnsafe();
        Trigger();
      }
      return std::nullopt;
    }
    case platform::kWmTimer:
      if (!IsSessionSafe()) Trigger();
      return std::nullopt;
    case platform::kWmClose:
      platform_.messageLoops.PostQuitMessage(0);
      return 0;
    default:
      return std::nullopt;
  }
}

void DesktopSessionMonitor::OnDesktopSwitch(std::uint32_t /*event*/,
                                            platform::WindowHandle /*window*/,
                                            std::int32_t /*objectId*/, std::int32_t /*childId*/) {
  DesktopSessionMonitor* monitor = currentSessionMonitor;
  if (monitor != nullptr && monitor->started_) {
    monitor->LatchUnsafe();
    monitor->Trigger();
  }
}

}  // namespace velmora::computer_use
