// What a request handler gives back: the result, a binary frame to follow it, and whether the
// session ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/json.h"

namespace velmora::computer_use {

// A binary frame sent right after a response.
struct BinaryAttachment {
  std::string id;
  std::vector<std::uint8_t> bytes;
};

struct RequestOutcome {
  Json result = Json::object();
  std::optional<BinaryAttachment> attachment;
  bool shutdown = false;
};

inline RequestOutcome ResultOutcome(Json result) {
  RequestOutcome outcome;
  outcome.result = std::move(result);
  return outcome;
}

}  // namespace velmora::computer_use
