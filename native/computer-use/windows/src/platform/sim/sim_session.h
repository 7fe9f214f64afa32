// The simulated session and its input desktop, as tests and the scenes drive them: the
// session locks, input moves to another desktop, a query fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/session.h"
#include "platform/sim/sim_world.h"

namespace velmora::computer_use::platform::sim {

// Session-change codes, with the values Windows gives them.
inline constexpr std::uint32_t kWtsConsoleConnect = 1;
inline constexpr std::uint32_t kWtsSessionLock = 7;
inline constexpr std::uint32_t kWtsSessionUnlock = 8;
inline constexpr std::uint32_t kWtsSessionCreate = 10;

class SimSessions final : public SessionApi {
 public:
  explicit SimSessions(SimWorld& world) : world_(world) {}

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
  // Windows registered for session notifications, for clean-up checks.
  std::size_t SessionRegistrationCount() const;

  // --- SessionApi
  std::optional<std::uint32_t> ProcessIdToSessionId(ProcessId processId) override;
  std::optional<RawSessionInfo> QuerySessionInfo(std::uint32_t sessionId) override;
  std::optional<std::u16string> InputDesktopName() override;
  bool RegisterSessionNotification(WindowHandle window) override;
  void UnregisterSessionNotification(WindowHandle window) override;

 private:
  // The secure desktop takes input while the session is locked.
  void SetLocked(bool locked);
  void NotifySessionChangeLocked(std::uint32_t code, std::uint32_t sessionId);

  SimWorld& world_;
};

}  // namespace velmora::computer_use::platform::sim
