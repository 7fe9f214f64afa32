// One request served by the service in a test, and the recording events it has written.
#pragma once

#include <string>
#include <vector>

#include "protocol/envelopes.h"
#include "protocol/json.h"
#include "service/helper_service.h"
#include "support/test_support.h"

namespace velmora::computer_use::testing {

// The last response's result, or the response itself when it is an error reply.
inline Json ResultOf(const std::vector<Json>& frames) {
  for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
    if ((*it)["type"] == "response") return it->value("ok", false) ? (*it)["result"] : *it;
  }
  return Json();
}

// The request's result, or its error reply.
inline Json Serve(HelperService& service, const CapturedOutput& output, const std::string& method,
                  const Json& payload = Json::object()) {
  const Json frame{
      {"type", "request"}, {"requestId", "r"}, {"method", method}, {"payload", payload}};
  service.ServeRequest(CheckRequestEnvelope(frame), frame);
  return ResultOf(output.JsonFrames());
}

// The recording's events written so far, in order.
inline std::vector<Json> RecordingEvents(const CapturedOutput& output) {
  std::vector<Json> events;
  for (const Json& frame : output.JsonFrames()) {
    if (frame["type"] == "event" && frame["event"].contains("kind")) {
      events.push_back(frame["event"]);
    }
  }
  return events;
}

}  // namespace velmora::computer_use::testing
