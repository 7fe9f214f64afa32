// The emergency stop as a parent reads it from the real helper.
#pragma once

#include <chrono>
#include <cstddef>

#include "helper_client.h"

namespace velmora::computer_use::testing {

inline bool IsEmergencyStop(const client::ClientFrame& frame) {
  return frame.json.value("type", "") == "event" && frame.json.contains("event") &&
         frame.json["event"].value("type", "") == "emergency_stop";
}

inline bool EmergencyStopArrives(client::HelperClient& client) {
  return client.WaitFor(IsEmergencyStop, std::chrono::seconds(5)).has_value();
}

inline std::size_t EmergencyStopCount(const client::HelperClient& client) {
  std::size_t stops = 0;
  for (const client::ClientFrame& frame : client.Frames()) stops += IsEmergencyStop(frame);
  return stops;
}

}  // namespace velmora::computer_use::testing
