// Decides whether the desktop is the user's own unlocked, active session on the ordinary
// desktop, and latches unsafe the first time it is not.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "common/message_loop_thread.h"
#include "platform/platform.h"

namespace velmora::computer_use {

struct SessionSnapshot {
  std::uint32_t sessionId = 0;
  bool lockStateKnown = false;
  bool active = false;
  bool unlocked = false;
  bool inputDesktopIsDefault = false;
  std::int64_t logonTime = 0;
  std::int64_t connectTime = 0;
  std::int64_t disconnectTime = 0;

  // A session that was read, is the active one, unlocked, with input on "Default".
  bool IsGood() const {
    return sessionId != 0 && lockStateKnown && active && unlocked && inputDesktopIsDefault;
  }
};

// The extended session information needs at least this many bytes to hold every field read.
inline constexpr std::size_t kMinimumSessionInfoBytes = 232;

SessionSnapshot CaptureSessionSnapshot(platform::Platform& platform);
bool IsInputDesktopDefault(platform::SessionApi& sessions);
// The name up to its first null, compared with "Default" ignoring ASCII letter case.
bool IsDefaultDesktopName(std::u16string_view name);

struct SessionBaseline {
  explicit SessionBaseline(const SessionSnapshot& taken)
      : snapshot(taken), unsafe(!taken.IsGood()) {}

  SessionSnapshot snapshot;
  std::atomic<bool> unsafe;
};

inline constexpr std::u16string_view kSessionMonitorClassName =
    u"Velmora Computer Use Session Monitor";
inline constexpr std::uintptr_t kSessionMonitorTimerId = 1;
inline constexpr std::uint32_t kSessionMonitorIntervalMs = 100;

class DesktopSessionMonitor final : private platform::WindowMessageHandler {
 public:
  using UnsafeCallback = std::function<void()>;
  using SnapshotProvider = std::function<SessionSnapshot()>;
  using SessionNotificationRegistrar = std::function<bool(platform::WindowHandle)>;

  // An empty registrar means the platform's registration for this session.
  DesktopSessionMonitor(platform::Platform& platform, UnsafeCallback onUnsafe,
                        SnapshotProvider snapshotProvider,
                        SessionNotificationRegistrar registerSessionNotification);
  DesktopSessionMonitor(const DesktopSessionMonitor&) = delete;
  DesktopSessionMonitor& operator=(const DesktopSessionMonitor&) = delete;
  // Must not run on the monitor's own thread.
  ~DesktopSessionMonitor();

  // Starts the thread on first use and answers whether the desktop is safe; an unsafe answer
  // triggers the unsafe callback first. False at once, without triggering, after Stop.
  bool Start();
  void Stop();
  bool IsSessionSafe();
  bool IsArmed() const;

 private:
  std::optional<std::intptr_t> HandleWindowMessage(const platform::WindowMessage& message) override;
  static void OnDesktopSwitch(std::uint32_t event, platform::WindowHandle window,
                              std::int32_t objectId, std::int32_t childId);

  void Run();
  void LatchUnsafe();
  void Trigger();
  SessionSnapshot TakeSnapshot();

  platform::Platform& platform_;
  UnsafeCallback onUnsafe_;
  SnapshotProvider snapshotProvider_;
  SessionNotificationRegistrar registerSessionNotification_;
  std::unique_ptr<SessionBaseline> baseline_;
  std::uint32_t baselineSessionId_ = 0;
  std::atomic<bool> started_{false};
  std::atomic<bool> triggered_{false};
  std::atomic<bool> stopping_{false};
  std::mutex startMutex_;
  bool threadLaunched_ = false;  // guarded by startMutex_
  MessageLoopThread thread_;
};

}  // namespace velmora::computer_use
