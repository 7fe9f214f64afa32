#include "observe/window_identity.h"

#include <algorithm>

#include "protocol/json.h"
#include "safety/session_monitor.h"

namespace velmora::computer_use {
namespace {

constexpr std::uint32_t kFnvOffset = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;

std::uint32_t Mix(std::uint32_t hash, std::uint32_t value) {
  return (hash ^ value) * kFnvPrime;
}

bool HasUnpairedSurrogate(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return true;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

std::u16string WindowTitle(platform::WindowApi& windows, platform::WindowHandle window) {
  const int length = windows.WindowTextLength(window);
  if (length < 1) return {};
  std::u16string buffer(static_cast<std::size_t>(length) + 1, u'\0');
  const int copied = windows.WindowText(window, buffer.data(), length + 1);
  buffer.resize(static_cast<std::size_t>(std::max(copied, 0)));
  return buffer;
}

}  // namespace

std::string ToUtf8Strict(std::u16string_view text) {
  if (text.empty() || HasUnpairedSurrogate(text)) return {};
  return ToUtf8(text);
}

std::string Sha256Hex(platform::CryptoApi& crypto, std::string_view bytes) {
  const platform::Sha256Digest digest = crypto.Sha256(bytes);
  if (digest.status == platform::HashStatus::kUnavailable) {
    FailWith(ErrorCode::kSha256Unavailable);
  }
  if (digest.status != platform::HashStatus::kOk) FailWith(ErrorCode::kSha256Failed);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(64);
  for (std::uint8_t byte : digest.bytes) {
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 0x0F]);
  }
  return hex;
}

std::uint32_t DisplayTopologyHash(platform::DisplayApi& displays) {
  std::uint32_t hash = kFnvOffset;
  for (const platform::MonitorDescription& monitor : displays.EnumerateMonitors()) {
    for (std::int32_t edge :
         {monitor.rect.left, monitor.rect.top, monitor.rect.right, monitor.rect.bottom}) {
      hash = Mix(hash, static_cast<std::uint32_t>(edge));
    }
    if (monitor.deviceName) {
      for (char16_t unit : *monitor.deviceName) {
        if (unit == u'\0') break;
        hash = Mix(hash, unit);
      }
    }
    const platform::EffectiveDpi dpi = monitor.dpi.value_or(platform::EffectiveDpi{});
    hash = Mix(hash, dpi.x);
    hash = Mix(hash, dpi.y);
  }
  return hash;
}

std::u16string GetProcessImagePath(platform::Platform& platform, platform::ProcessId processId) {
  return platform.processInfo.QueryImagePath(processId).value_or(std::u16string());
}

std::uint32_t GetProcessIntegrityLevel(platform::Platform& platform,
                                       platform::ProcessId processId) {
  return platform.processInfo.QueryIntegrityLevel(processId).value_or(0);
}

std::string_view WindowAccessErrorCode(std::int32_t access) {
  return access == kWindowAccessAllowed ? std::string_view() : ErrorWord(WindowAccessError(access));
}

ErrorCode WindowAccessError(std::int32_t access) {
  return access == kWindowAccessIntegrityTooHigh ? ErrorCode::kUipiBlocked
                                                 : ErrorCode::kSecureDesktopUnavailable;
}

std::string AppIdentityForPath(platform::CryptoApi& crypto, std::u16string_view imagePath) {
  return std::string(kAppIdentityPrefix) + Sha256Hex(crypto, ToUtf8Strict(imagePath));
}

std::string WindowIdentityOf(platform::WindowHandle window, platform::ProcessId processId) {
  return "hwnd:" + std::to_string(static_cast<std::uintptr_t>(window)) +
         ":pid:" + std::to_string(processId);
}

std::int32_t CheckWindowAccess(platform::Platform& platform, platform::WindowHandle window) {
  const SessionSnapshot snapshot = CaptureSessionSnapshot(platform);
  if (!snapshot.lockStateKnown || !snapshot.active || !snapshot.unlocked) {
    return kWindowAccessSessionLocked;
  }
  if (snapshot.sessionId == 0 || !snapshot.inputDesktopIsDefault) {
    return kWindowAccessNotDefaultDesktop;
  }
  if (window == platform::kNullWindow || !platform.windows.IsWindow(window)) {
    return kWindowAccessUnavailable;
  }
  const platform::ProcessId processId = platform.windows.WindowProcessId(window);
  const std::optional<std::uint32_t> session = platform.sessions.ProcessIdToSessionId(processId);
  if (!session || *session != snapshot.sessionId) return kWindowAccessUnavailable;
  const std::uint32_t target = GetProcessIntegrityLevel(platform, processId);
  const std::uint32_t own =
      GetProcessIntegrityLevel(platform, platform.processes.CurrentProcessId());
  if (target == 0 || own == 0) return kWindowAccessUnavailable;
  return own < target ? kWindowAccessIntegrityTooHigh : kWindowAccessAllowed;
}

std::int32_t CheckForegroundWindowAccess(platform::Platform& platform) {
  return CheckWindowAccess(platform, platform.windows.ForegroundWindow());
}

Observation DescribeWindow(platform::Platform& platform, platform::WindowHandle window) {
  const platform::WindowHandle root = platform.windows.RootWindow(window);
  const std::int32_t access = CheckWindowAccess(platform, root);
  if (access != kWindowAccessAllowed) {
    FailWith(WindowAccessError(access));
  }
  const platform::ProcessId processId = platform.windows.WindowProcessId(root);
  const std::u16string path = GetProcessImagePath(platform, processId);
  if (path.empty()) FailWith(ErrorCode::kTargetUnavailable);

  Observation observation;
  observation.appIdentity = AppIdentityForPath(platform.crypto, path);
  observation.windowIdentity = WindowIdentityOf(root, processId);
  const std::size_t separator = path.find_last_of(u"\\/");
  observation.appName = separator == std::u16string::npos ? path : path.substr(separator + 1);
  observation.windowTitle = WindowTitle(platform.windows, root);
  observation.window = root;
  observation.topologyGeneration = DisplayTopologyHash(platform.displays);
  return observation;
}

}  // namespace velmora::computer_use
