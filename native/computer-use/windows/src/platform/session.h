// Sessions and the input desktop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/types.h"

namespace velmora::computer_use::platform {

// The fields of a session query (level 1 of the extended session information) as the system
// returns them, before any check.
struct RawSessionInfo {
  std::size_t bufferBytes = 0;
  std::uint32_t level = 0;
  std::uint32_t sessionId = 0;
  std::int32_t sessionState = -1;
  std::int32_t sessionFlags = -1;
  std::int64_t logonTime = 0;
  std::int64_t connectTime = 0;
  std::int64_t disconnectTime = 0;
};

class SessionApi {
 public:
  virtual ~SessionApi() = default;

  virtual std::optional<std::uint32_t> ProcessIdToSessionId(ProcessId processId) = 0;
  virtual std::optional<RawSessionInfo> QuerySessionInfo(std::uint32_t sessionId) = 0;
  // The name of the desktop that receives input, as read (it may hold a terminating null);
  // none when the desktop cannot be opened or read.
  virtual std::optional<std::u16string> InputDesktopName() = 0;
  // Session-change notifications for this session to the window.
  virtual bool RegisterSessionNotification(WindowHandle window) = 0;
  virtual void UnregisterSessionNotification(WindowHandle window) = 0;
};

}  // namespace velmora::computer_use::platform
