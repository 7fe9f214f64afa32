// Observation of windows: identities, the access gate and the records the observer hands out.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "protocol/json.h"

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
// 1970-01-01 in the system clock's 100-nanosecond units since 1601.
inline constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

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

// --- Elements

inline constexpr std::size_t kMaxWalkNodes = 1000;
inline constexpr std::size_t kMaxWalkDepth = 64;
inline constexpr std::uint64_t kMaxWalkVisits = 4096;
inline constexpr std::chrono::seconds kWalkTimeLimit{2};
inline constexpr std::size_t kMaxApplicationWindows = 128;

struct WalkStatus {
  std::uint64_t visited = 0;
  bool truncated = false;
  bool stop = false;
  std::chrono::steady_clock::time_point deadline;
};

using ElementRef = std::shared_ptr<platform::UiaElement>;
using ElementTable = std::unordered_map<std::string, ElementRef>;

std::u16string RoleForControlType(std::optional<std::int32_t> controlType);
ElementNode DescribeElement(platform::Platform& platform, platform::UiaClient& client,
                            platform::UiaElement& element, const std::string& id);
// Depth-first pre-order, bounded by the limits above; appends to `nodes` and `elements`.
void WalkElements(platform::Platform& platform, platform::UiaClient& client,
                  const ElementRef& element, platform::UiaTreeWalker& walker, std::size_t depth,
                  WalkStatus& status, std::vector<ElementNode>& nodes, ElementTable& elements,
                  const std::string& parentId);
Json NodeToJson(const ElementNode& node);
// The bytes the state hash covers.
std::string BuildStateText(const Observation& record, const std::vector<ElementNode>& nodes);

// The observer: owns the process's UI Automation client and the current observation.
class UiaObserver {
 public:
  // Creates the UI Automation client; throws PlatformError when it cannot.
  explicit UiaObserver(platform::Platform& platform);
  UiaObserver(const UiaObserver&) = delete;
  UiaObserver& operator=(const UiaObserver&) = delete;

  Observation ObserveWindow(platform::WindowHandle window, bool skipElements);
  Observation ObserveForeground();
  bool IsObservationCurrent(const std::string& observationId, const std::string& stateHash);
  platform::WindowHandle GetObservedWindow();
  bool ElementsSkipped();

  std::vector<Observation> FindApplicationWindows(const std::string& appIdentity,
                                                  const std::string& windowIdentity,
                                                  bool activationOnly);
  Observation ObserveApplication(const std::string& appIdentity, const std::string& windowIdentity,
                                 bool activationOnly);
  // The live element, only while the observation is current and the element unchanged.
  ElementRef ResolveTarget(const std::string& elementId, const std::string& observationId,
                           const std::string& stateHash);

  std::optional<ElementNode> DescribeFocusedElement();
  std::optional<ElementNode> DescribeElementAtPoint(std::int32_t x, std::int32_t y);

 private:
  bool IsObservationCurrentLocked(const std::string& observationId, const std::string& stateHash);

  platform::Platform& platform_;
  std::unique_ptr<platform::UiaClient> client_;

  std::mutex mutex_;
  ElementTable elements_;
  std::unordered_map<std::string, ElementNode> nodes_;
  std::string currentObservationId_;
  std::string currentStateHash_;
  platform::WindowHandle currentWindow_ = platform::kNullWindow;
  bool foregroundBound_ = true;
  bool elementsSkipped_ = false;
  std::string currentAppIdentity_;
  std::string currentWindowIdentity_;
  std::uint32_t currentTopologyGeneration_ = 0;
};

}  // namespace velmora::computer_use
