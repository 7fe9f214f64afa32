// An "act" request's context filled from an observation, as a parent fills it.
#pragma once

#include <string>

#include "protocol/json.h"

namespace velmora::computer_use::testing {

// With no target named, the observed window is the target, as for a wait.
inline Json ActContext(const Json& observation, const std::string& target, int sequence) {
  const Json& window = observation["foreground"];
  return Json{{"leaseId", "lease"},
              {"sequence", sequence},
              {"deadline", observation["capturedAt"].get<double>() + 60'000},
              {"observationId", observation["id"]},
              {"expectedStateHash", observation["stateHash"]},
              {"targetIdentity", target.empty() ? window["appIdentity"].get<std::string>() + ":" +
                                                      window["windowIdentity"].get<std::string>()
                                                : target},
              {"interaction", observation["interaction"]}};
}

}  // namespace velmora::computer_use::testing
