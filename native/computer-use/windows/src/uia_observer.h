// Observation of windows: identities, the access gate and the records the observer hands out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace velmora::computer_use {

// One UI element as sent in an observation's targets.
struct ElementNode {
  std::string id;
  std::u16string role;
  std::u16string name;
  std::u16string automationId;
  std::u16string controlKind;
  std::vector<std::u16string> actions;
  bool enabled = true;
  bool focused = false;
  bool sensitive = false;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::u16string displayId;
  double scaleFactor = 1.0;
  std::string parentId;
};

// One observed window. DescribeWindow fills the identity half; the observation fills the rest.
struct Observation {
  std::string observationId;
  std::string stateHash;
  std::uint64_t capturedAt = 0;
  std::string appIdentity;
  std::string windowIdentity;
  std::u16string appName;
  std::u16string windowTitle;
  platform::WindowHandle window = platform::kNullWindow;
  std::uint32_t topologyGeneration = 0;
  std::vector<ElementNode> targets;
  bool targetsTruncated = false;
};

// Why a window may not be observed or acted on.
enum WindowAccess : std::int32_t {
  kWindowAccessAllowed = 0,
  kWindowAccessSessionLocked = 1,
  kWindowAccessNotDefaultDesktop = 2,
  kWindowAccessIntegrityTooHigh = 4,
  kWindowAccessUnavailable = 5,
};

inline constexpr std::string_view kAppIdentityPrefix = "exe_path_sha256:";

// Fails with the access error code, or "target_unavailable" when the image path is unreadable.
Observation DescribeWindow(platform::Platform& platform, platform::WindowHandle window);
std::int32_t CheckWindowAccess(platform::Platform& platform, platform::WindowHandle window);
std::int32_t CheckForegroundWindowAccess(platform::Platform& platform);
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

}  // namespace velmora::computer_use
