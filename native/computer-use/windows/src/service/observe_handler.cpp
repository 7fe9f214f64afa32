#include "service/observe_handler.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/platform_error.h"
#include "protocol/error_codes.h"

namespace velmora::computer_use {
namespace {

constexpr std::int32_t kGuidFailure = static_cast<std::int32_t>(0x80004005);  // E_FAIL

std::uint64_t NowMilliseconds(platform::SystemApi& system) {
  return (system.SystemTimeAsFileTime() - kUnixEpochAsFileTime) / 10000;
}

struct ObserveRequest {
  bool application = false;
  bool listOnly = false;
  bool activationOnly = false;
  bool allowVisual = false;
  std::u16string scope;
  std::string appIdentity;
  std::string windowIdentity;
};

ObserveRequest ReadObserveRequest(const Json& payload) {
  ObserveRequest request;
  request.scope = GetString(payload, "scope", u"");
  if (request.scope != u"foreground" && request.scope != u"application") {
    FailWith(ErrorCode::kInvalidObservationScope);
  }
  request.application = request.scope == u"application";
  request.listOnly = GetString(payload, "purpose", u"") == u"list_windows";
  request.activationOnly = GetBool(payload, "activationOnly", false);
  request.allowVisual = GetBool(payload, "allowVisual", false);
  request.windowIdentity = ToUtf8(GetString(payload, "windowIdentity", u""));
  if (request.activationOnly && (!request.application || request.listOnly || request.allowVisual)) {
    FailWith(ErrorCode::kInvalidRequest);
  }
  if (request.listOnly && !request.activationOnly &&
      (!request.application || request.allowVisual || !request.windowIdentity.empty())) {
    FailWith(ErrorCode::kInvalidRequest);
  }
  if (request.application) {
    request.appIdentity = ToUtf8(GetString(payload, "appIdentity", u""));
    if (request.appIdentity.empty()) FailWith(ErrorCode::kInvalidRequest);
  }
  return request;
}

Json IdentityObject(std::string_view appIdentity, std::string_view windowIdentity) {
  Json identity = Json::object();
  SetString(identity, "appIdentity", appIdentity);
  SetString(identity, "windowIdentity", windowIdentity);
  return identity;
}

Json BoundsObject(const platform::Rect& bounds) {
  Json object = Json::object();
  SetNumber(object, "x", bounds.left);
  SetNumber(object, "y", bounds.top);
  SetNumber(object, "width", static_cast<double>(bounds.right) - bounds.left);
  SetNumber(object, "height", static_cast<double>(bounds.bottom) - bounds.top);
  return object;
}

}  // namespace

Json ObserveHandler::WindowListEntry(const Observation& window) {
  Json entry = IdentityObject(window.appIdentity, window.windowIdentity);
  SetString(entry, "windowTitle", std::u16string_view(window.windowTitle));
  const platform::WindowHandle foreground = windows_.ForegroundWindow();
  const bool isForeground =
      foreground != platform::kNullWindow && windows_.RootWindow(foreground) == window.window;
  SetBool(entry, "isForeground", isForeground);
  return entry;
}

RequestOutcome ObserveHandler::WindowSelection(const std::string& appIdentity,
                                               const Json& windowList,
                                               const std::string& selectionText) {
  const std::optional<platform::Guid> guid = system_.CreateGuid();
  if (!guid) throw PlatformError{kGuidFailure};
  RequestOutcome outcome;
  Json& result = outcome.result;
  SetString(result, "state", "window_selection_required");
  SetString(result, "id", std::u16string_view(system_.GuidToString(*guid)));
  SetString(result, "stateHash", selectionText);
  SetNumber(result, "capturedAt", static_cast<double>(NowMilliseconds(system_)));
  result["foreground"] = IdentityObject(appIdentity, "");
  SetString(result, "scope", "application");
  result["windows"] = windowList;
  SetBool(result, "windowSelectionRequired", true);
  result["targets"] = Json::array();
  return outcome;
}

RequestOutcome ObserveHandler::Observe(const Json& payload, const std::string& requestIdUtf8) {
  const ObserveRequest request = ReadObserveRequest(payload);

  Json windowList = Json::array();
  Observation observation;
  if (request.application) {
    std::vector<Observation> list = observer_.FindApplicationWindows(
        request.appIdentity, request.windowIdentity, request.activationOnly);
    if (!request.activationOnly && !request.windowIdentity.empty()) {
      // The targeted window first, then the application's other windows.
      for (Observation& other : observer_.FindApplicationWindows(request.appIdentity, "", false)) {
        if (list.size() >= kMaxApplicationWindows) break;
        const bool listed = std::any_of(list.begin(), list.end(), [&](const Observation& window) {
          return window.windowIdentity == other.windowIdentity;
        });
        if (!listed) list.push_back(std::move(other));
      }
    }
    std::string selectionText;
    for (const Observation& window : list) {
      windowList.push_back(WindowListEntry(window));
      selectionText += window.windowIdentity + "\n";
    }
    if (request.listOnly || (request.windowIdentity.empty() && list.size() > 1)) {
      return WindowSelection(request.appIdentity, windowList, selectionText);
    }
    observation = observer_.ObserveApplication(request.appIdentity, request.windowIdentity,
                                               request.activationOnly);
  } else {
    observation = observer_.ObserveForeground();
  }

  const InteractionRecord interaction = interactions_.GetInteractionRecord(observation.window);
  lastObservedWindow_ = observation.window;
  std::optional<CaptureResult> capture;
  if (request.allowVisual) {
    capture = capture_.CaptureWindow(observation.window, true);
    // The picture must show the window as it was walked.
    if (!observer_.IsObservationCurrent(observation.observationId, observation.stateHash)) {
      FailWith(ErrorCode::kStaleObservation);
    }
  }

  RequestOutcome outcome;
  Json& result = outcome.result;
  SetString(result, "scope", std::u16string_view(request.scope));
  if (request.application) result["windows"] = std::move(windowList);
  SetString(result, "id", observation.observationId);
  SetString(result, "stateHash", observation.stateHash);
  SetNumber(result, "capturedAt", static_cast<double>(observation.capturedAt));
  Json foreground = IdentityObject(observation.appIdentity, observation.windowIdentity);
  SetString(foreground, "appName", std::u16string_view(observation.appName));
  SetString(foreground, "windowTitle", std::u16string_view(observation.windowTitle));
  result["foreground"] = std::move(foreground);
  Json record = Json::object();
  SetString(record, "id", interaction.id);
  SetNumber(record, "generation", static_cast<double>(interaction.generation));
  SetString(record, "epoch", interaction.epoch);
  result["interaction"] = std::move(record);
  SetNumber(result, "topologyGeneration", observation.topologyGeneration);

  const std::optional<platform::Rect> bounds = GetWindowBounds(windows_, observation.window);
  if (!bounds) FailWith(ErrorCode::kTargetUnavailable);
  result["windowBounds"] = BoundsObject(*bounds);

  Json targets = Json::array();
  for (const ElementNode& node : observation.targets) targets.push_back(NodeToJson(node));
  if (capture) {
    for (Json& node : capture->ocrNodes) targets.push_back(std::move(node));
  }
  result["targets"] = std::move(targets);
  SetBool(result, "targetsTruncated", observation.targetsTruncated);

  if (capture) {
    std::string binaryRequestId = "image:" + requestIdUtf8;
    Json screenshot = Json::object();
    SetString(screenshot, "binaryRequestId", binaryRequestId);
    SetString(screenshot, "mediaType", std::u16string_view(capture->mediaType));
    SetNumber(screenshot, "width", capture->width);
    SetNumber(screenshot, "height", capture->height);
    result["screenshot"] = std::move(screenshot);
    outcome.attachment = BinaryAttachment{std::move(binaryRequestId), std::move(capture->bytes)};
  }
  return outcome;
}

}  // namespace velmora::computer_use
