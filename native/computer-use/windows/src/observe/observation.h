// The records an observation hands out: the observed window and its element nodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

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

}  // namespace velmora::computer_use
