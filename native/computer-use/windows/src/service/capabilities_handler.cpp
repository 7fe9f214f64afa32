#include "service/capabilities_handler.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "observe/window_identity.h"

namespace velmora::computer_use {
namespace {

Json MakePermission(std::string_view kind, std::string_view status, bool required) {
  Json record = Json::object();
  SetString(record, "kind", kind);
  SetString(record, "status", status);
  SetBool(record, "required", required);
  return record;
}

}  // namespace

Json Capabilities(platform::Platform& platform) {
  Json result = Json::object();
  SetString(result, "platform", "windows");
  for (const char* feature : {"globalRecording", "semanticObservation", "semanticAction",
                              "interactionMonitoring", "localOcr"}) {
    SetBool(result, feature, true);
  }
  SetBool(result, "visualCapture", platform.capture.IsCaptureSupported());
  const std::int32_t access = CheckForegroundWindowAccess(platform);
  Json limitations = Json::array();
  if (access != kWindowAccessAllowed) limitations.push_back(ErrorWord(WindowAccessError(access)));
  result["limitations"] = std::move(limitations);
  return result;
}

Json Permissions(platform::CaptureApi& capture) {
  Json records = Json::array();
  records.push_back(MakePermission("accessibility", "granted", true));
  records.push_back(MakePermission("input_monitoring", "granted", true));
  records.push_back(MakePermission("post_event", "granted", true));
  records.push_back(MakePermission(
      "screen_capture", capture.IsCaptureSupported() ? "granted" : "unavailable", false));
  Json result = Json::object();
  result["permissions"] = std::move(records);
  return result;
}

Json RequestPermission(const Json& payload) {
  const std::u16string kind = GetString(payload, "kind", u"");
  const bool known = kind == u"accessibility" || kind == u"input_monitoring" ||
                     kind == u"post_event" || kind == u"screen_capture";
  Json result = Json::object();
  SetString(result, "result", known ? "granted" : "unavailable");
  return result;
}

}  // namespace velmora::computer_use
