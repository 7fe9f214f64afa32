// Identities of windows and applications, and the access gate every observation and action
// passes: the session, the input desktop, the window's session and its integrity level.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "observe/observation.h"
#include "platform/platform.h"
#include "protocol/error_codes.h"

namespace velmora::computer_use {

// Why a window may not be observed or acted on.
enum WindowAccess : std::int32_t {
  kWindowAccessAllowed = 0,
  kWindowAccessSessionLocked = 1,
  kWindowAccessNotDefaultDesktop = 2,
  kWindowAccessIntegrityTooHigh = 4,
  kWindowAccessUnavailable = 5,
};

inline constexpr std::string_view kAppIdentityPrefix = "exe_path_sha256:";
// 1970-01-01 in the system clock's 100-nanosecond units since 1601.
inline constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

// Fails with the access error code, or "target_unavailable" when the image path is unreadable.
Observation DescribeWindow(platform::Platform& platform, platform::WindowHandle window);
std::int32_t CheckWindowAccess(platform::Platform& platform, platform::WindowHandle window);
std::int32_t CheckForegroundWindowAccess(platform::Platform& platform);
// The code of a refused access: "uipi_blocked" or "secure_desktop_unavailable".
ErrorCode WindowAccessError(std::int32_t access);
// The same as a word; empty for an allowed access.
std::string_view WindowAccessErrorCode(std::int32_t access);

// Empty when the process cannot be opened or queried.
std::u16string GetProcessImagePath(platform::Platform& platform, platform::ProcessId processId);
// 0 when it cannot be read.
std::uint32_t GetProcessIntegrityLevel(platform::Platform& platform, platform::ProcessId processId);
// Strict: an unpaired surrogate gives the empty string.
std::string ToUtf8Strict(std::u16string_view text);
// 64 lowercase hexadecimal digits; fails with "sha256_unavailable" or "sha256_failed".
std::string Sha256Hex(platform::CryptoApi& crypto, std::string_view bytes);
// Changes whenever the set, placement, device names or DPI of the displays change.
std::uint32_t DisplayTopologyHash(platform::DisplayApi& displays);
// "exe_path_sha256:" and the hash of the UTF-8 image path.
std::string AppIdentityForPath(platform::CryptoApi& crypto, std::u16string_view imagePath);
std::string WindowIdentityOf(platform::WindowHandle window, platform::ProcessId processId);

}  // namespace velmora::computer_use
