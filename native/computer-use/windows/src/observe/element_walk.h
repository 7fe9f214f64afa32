// The bounded walk of a window's UI Automation control view into element nodes, and the text
// that an observation's state hash covers.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "observe/observation.h"
#include "platform/platform.h"
#include "protocol/json.h"

namespace velmora::computer_use {

inline constexpr std::size_t kMaxWalkNodes = 1000;
inline constexpr std::size_t kMaxWalkDepth = 64;
inline constexpr std::uint64_t kMaxWalkVisits = 4096;
inline constexpr std::chrono::seconds kWalkTimeLimit{2};

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

}  // namespace velmora::computer_use
