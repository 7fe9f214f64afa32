// Sessions and the input desktop through the Remote Desktop Services and window station calls.
#include <vector>

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {

std::optional<std::uint32_t> Win32SessionApi::ProcessIdToSessionId(ProcessId processId) {
  DWORD sessionId = 0;
  if (!::ProcessIdToSessionId(processId, &sessionId)) return std::nullopt;
  return sessionId;
}

std::optional<RawSessionInfo> Win32SessionApi::QuerySessionInfo(std::uint32_t sessionId) {
  WtsMemory buffer;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSSessionInfoEx,
                                   buffer.Put(), &bytes) ||
      buffer.Get() == nullptr) {
    return std::nullopt;
  }
  RawSessionInfo info;
  info.bufferBytes = bytes;
  if (bytes < sizeof(WTSINFOEXW)) return info;  // too short to read: the caller rejects it
  const auto* ex = reinterpret_cast<const WTSINFOEXW*>(buffer.Get());
  info.level = ex->Level;
  if (ex->Level != 1) return info;
  const WTSINFOEX_LEVEL1_W& level1 = ex->Data.WTSInfoExLevel1;
  info.sessionId = level1.SessionId;
  info.sessionState = static_cast<std::int32_t>(level1.SessionState);
  info.sessionFlags = level1.SessionFlags;
  info.logonTime = level1.LogonTime.QuadPart;
  info.connectTime = level1.ConnectTime.QuadPart;
  info.disconnectTime = level1.DisconnectTime.QuadPart;
  return info;
}

std::optional<std::u16string> Win32SessionApi::InputDesktopName() {
  const UniqueDesktop desktop(OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS));
  if (!desktop.Valid()) return std::nullopt;
  DWORD needed = 0;
  GetUserObjectInformationW(desktop.Get(), UOI_NAME, nullptr, 0, &needed);
  if (needed == 0) return std::nullopt;
  std::vector<wchar_t> name((needed + sizeof(wchar_t) - 1) / sizeof(wchar_t));
  if (!GetUserObjectInformationW(desktop.Get(), UOI_NAME, name.data(),
                                 static_cast<DWORD>(name.size() * sizeof(wchar_t)), &needed)) {
    return std::nullopt;
  }
  return FromWide(std::wstring_view(name.data(), name.size()));
}

bool Win32SessionApi::RegisterSessionNotification(WindowHandle window) {
  return WTSRegisterSessionNotification(ToHwnd(window), NOTIFY_FOR_THIS_SESSION) != FALSE;
}

void Win32SessionApi::UnregisterSessionNotification(WindowHandle window) {
  WTSUnRegisterSessionNotification(ToHwnd(window));
}

}  // namespace velmora::computer_use::platform::win32
