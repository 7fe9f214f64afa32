#include "platform/sim/sim_session.h"

namespace velmora::computer_use::platform::sim {

std::uint32_t SimSessions::SessionId() const {
  std::lock_guard lock(world_.mutex);
  return world_.sessionId;
}

void SimSessions::SetSessionId(std::uint32_t sessionId) {
  std::lock_guard lock(world_.mutex);
  world_.sessionId = sessionId;
}

void SimSessions::LockSession() {
  SetLocked(true);
}

void SimSessions::UnlockSession() {
  SetLocked(false);
}

void SimSessions::SetLocked(bool locked) {
  std::lock_guard lock(world_.mutex);
  world_.sessionFlags = locked ? 0 : 1;
  world_.inputDesktop = locked ? u"Winlogon" : u"Default";
  world_.FireWinEventLocked(kEventSystemDesktopSwitch, kNullWindow);
  NotifySessionChangeLocked(locked ? kWtsSessionLock : kWtsSessionUnlock, world_.sessionId);
}

void SimSessions::Reconnect() {
  std::lock_guard lock(world_.mutex);
  world_.connectTime += 10'000'000;
}

void SimSessions::SetSessionState(std::int32_t connectState) {
  std::lock_guard lock(world_.mutex);
  world_.connectState = connectState;
}

void SimSessions::SetSessionFlags(std::int32_t flags) {
  std::lock_guard lock(world_.mutex);
  world_.sessionFlags = flags;
}

void SimSessions::SetSessionInfoShape(std::size_t bufferBytes, std::uint32_t level) {
  std::lock_guard lock(world_.mutex);
  world_.infoBytes = bufferBytes;
  world_.infoLevel = level;
}

void SimSessions::SwitchInputDesktop(std::u16string name) {
  std::lock_guard lock(world_.mutex);
  world_.inputDesktop = std::move(name);
  world_.FireWinEventLocked(kEventSystemDesktopSwitch, kNullWindow);
}

void SimSessions::SendSessionChange(std::uint32_t code, std::uint32_t sessionId) {
  std::lock_guard lock(world_.mutex);
  NotifySessionChangeLocked(code, sessionId);
}

void SimSessions::SetSessionQueryFails(bool fails) {
  std::lock_guard lock(world_.mutex);
  world_.sessionQueryFails = fails;
}

void SimSessions::SetInputDesktopQueryFails(bool fails) {
  std::lock_guard lock(world_.mutex);
  world_.inputDesktopQueryFails = fails;
}

void SimSessions::SetProcessSessionIdFails(bool fails) {
  std::lock_guard lock(world_.mutex);
  world_.processSessionIdFails = fails;
}

void SimSessions::SetProcessSession(ProcessId processId, std::uint32_t sessionId) {
  std::lock_guard lock(world_.mutex);
  world_.processSessions[processId] = sessionId;
}

std::size_t SimSessions::SessionRegistrationCount() const {
  std::lock_guard lock(world_.mutex);
  return world_.sessionRegistrations.size();
}

void SimSessions::NotifySessionChangeLocked(std::uint32_t code, std::uint32_t sessionId) {
  for (WindowHandle window : world_.sessionRegistrations) {
    const auto it = world_.windows.find(window);
    if (it == world_.windows.end()) continue;
    world_.PostLocked(it->second.thread, WindowMessage{window, kWmWtsSessionChange, code,
                                                       static_cast<std::intptr_t>(sessionId)});
  }
}

std::optional<std::uint32_t> SimSessions::ProcessIdToSessionId(ProcessId processId) {
  std::lock_guard lock(world_.mutex);
  if (world_.processSessionIdFails) return std::nullopt;
  const auto it = world_.processSessions.find(processId);
  return it == world_.processSessions.end() ? world_.sessionId : it->second;
}

std::optional<RawSessionInfo> SimSessions::QuerySessionInfo(std::uint32_t sessionId) {
  std::lock_guard lock(world_.mutex);
  if (world_.sessionQueryFails) return std::nullopt;
  RawSessionInfo info;
  info.bufferBytes = world_.infoBytes;
  info.level = world_.infoLevel;
  info.sessionId = sessionId;
  info.sessionState = sessionId == world_.sessionId ? world_.connectState : 4;  // WTSDisconnected
  info.sessionFlags = world_.sessionFlags;
  info.logonTime = world_.logonTime;
  info.connectTime = world_.connectTime;
  info.disconnectTime = world_.disconnectTime;
  return info;
}

std::optional<std::u16string> SimSessions::InputDesktopName() {
  std::lock_guard lock(world_.mutex);
  // The secure desktop cannot be opened from the user's session.
  if (world_.inputDesktopQueryFails || world_.inputDesktop == u"Winlogon") return std::nullopt;
  // Read into a buffer sized for the terminating null, as the system fills it.
  return world_.inputDesktop + u'\0';
}

bool SimSessions::RegisterSessionNotification(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  if (world_.SetupFailsLocked(SetupFailure::kSessionNotification) ||
      world_.windows.count(window) == 0) {
    return false;
  }
  world_.sessionRegistrations.push_back(window);
  return true;
}

void SimSessions::UnregisterSessionNotification(WindowHandle window) {
  std::lock_guard lock(world_.mutex);
  std::erase(world_.sessionRegistrations, window);
}

}  // namespace velmora::computer_use::platform::sim
