// An "act" request's context filled from an observation, as a parent fills it.
#pragma once

#include <string>

#include "protocol/json.h"

namespace velmora::computer_use::testing {

inline Json ActContext(const Json& observation, const std::string& target, int sequence,
                       const std::string& leaseId) {
  return Json{{"leaseId", leaseId},
              {"sequence", sequence},
              {"deadline", observation["capturedAt"].get<double>() + 60'000},
              {"observationId", observation["id"]},
              {"expectedStateHash", observation["stateHash"]},
              {"targetIdentity", target},
              {"interaction", observation["interaction"]}};
}

}  // namespace velmora::computer_use::testing
