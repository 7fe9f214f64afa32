#include "service/helper_service.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/platform_error.h"

namespace velmora::computer_use {
namespace {

constexpr std::int32_t kGuidFailure = static_cast<std::int32_t>(0x80004005);  // E_FAIL

}  // namespace

int ClampRecordingDuration(double seconds) {
  // Compared as a double first, so that values beyond the 32-bit range clamp as well.
  if (!(seconds >= kMinRecordingSeconds)) return kMinRecordingSeconds;
  if (seconds > kMaxRecordingSeconds) return kMaxRecordingSeconds;
  return std::max(static_cast<int>(std::trunc(seconds)), kMinRecordingSeconds);
}

HelperService::HelperService(platform::Platform& platform, FrameWriter& writer)
    : platform_(platform),
      writer_(writer),
      observer_(platform),
      capture_(platform),
      interactionMonitor_(platform, [this] { EmergencyStop(true); }),
      sessionMonitor_(
          platform, [this] { StopForUnsafeSession(); },
          [&platform] { return CaptureSessionSnapshot(platform); }, {}) {}

HelperService::~HelperService() {
  sessionMonitor_.Stop();
  StopAll(false);
}

bool HelperService::ServeRequest(const RequestEnvelope& envelope, const Json& frame) {
  std::string_view errorCode;
  try {
    const Json payload = HasObject(frame, "payload") ? frame.at("payload") : Json::object();
    RequestOutcome outcome = HandleRequest(envelope.method, payload, envelope.requestIdUtf8);
    writer_.WriteJson(BuildResponse(envelope.requestId, true, outcome.result, {}));
    if (outcome.attachment) writer_.WriteBinary(outcome.attachment->id, outcome.attachment->bytes);
    return outcome.shutdown;
  } catch (const JsonTypeError&) {
    // A value of the wrong type carries no code of its own.
    StopAll(false);
    errorCode = kGenericFailureCode;
  } catch (const std::exception& failure) {
    OnRequestFailed(envelope.method, failure.what());
    errorCode = MapErrorCode(failure.what());
  } catch (...) {
    StopAll(false);
    errorCode = kGenericFailureCode;
  }
  writer_.WriteJson(BuildResponse(envelope.requestId, false, Json::object(), errorCode));
  return false;
}

RequestOutcome HelperService::HandleRequest(std::u16string_view method, const Json& payload,
                                            const std::string& requestIdUtf8) {
  RequestOutcome outcome;
  if (method == u"capabilities") {
    outcome.result = Capabilities();
    return outcome;
  }
  if (method == u"permissions") {
    outcome.result = Permissions();
    return outcome;
  }
  if (method == u"permission.request") {
    // Nothing here needs a prompt: every kind the parent knows is granted.
    const std::u16string kind = GetString(payload, "kind", u"");
    const bool known = kind == u"accessibility" || kind == u"input_monitoring" ||
                       kind == u"post_event" || kind == u"screen_capture";
    SetString(outcome.result, "result", known ? "granted" : "unavailable");
    return outcome;
  }
  if (method == u"record.start") {
    EnsureDesktopUsable();
    const int seconds = ClampRecordingDuration(GetNumber(payload, "maxDurationSeconds", 1800));
    (void)seconds;
    // The recording controller is not part of this build yet.
    FailWith(ErrorCode::kInputMonitoringUnavailable);
  }
  if (method == u"record.pause") FailWith(ErrorCode::kRecordingNotActive);
  if (method == u"record.resume") {
    EnsureDesktopUsable();
    FailWith(ErrorCode::kRecordingNotActive);
  }
  if (method == u"record.stop") {
    StopRecording();
    outcome.result = MakeStateResult("stopped");
    return outcome;
  }
  if (method == u"observe") {
    EnsureDesktopUsable();
    outcome = Observe(payload, requestIdUtf8);
    // An observation made while the desktop became unsafe is not answered.
    EnsureDesktopUsable();
    return outcome;
  }
  if (method == u"act") {
    EnsureDesktopUsable();
    // The action layer is not part of this build yet.
    FailWith(ErrorCode::kCapabilityUnavailable);
  }
  if (method == u"neutralize") {
    const std::u16string reason = GetString(payload, "reason", u"");
    const bool finished =
        reason == u"computer_use_action_finished" || reason == u"computer_use_wait_finished";
    StopAll(finished);
    outcome.result = MakeStateResult("neutral");
    return outcome;
  }
  if (method == u"shutdown") {
    StopAll(false);
    outcome.result = MakeStateResult("stopped");
    outcome.shutdown = true;
    return outcome;
  }
  FailWith(ErrorCode::kInvalidRequest);
}

namespace {

Json WindowListEntry(platform::Platform& platform, const Observation& window) {
  Json entry = Json::object();
  SetString(entry, "appIdentity", window.appIdentity);
  SetString(entry, "windowIdentity", window.windowIdentity);
  SetString(entry, "windowTitle", std::u16string_view(window.windowTitle));
  const platform::WindowHandle foreground = platform.windows.ForegroundWindow();
  const bool isForeground = foreground != platform::kNullWindow &&
                            platform.windows.RootWindow(foreground) == window.window;
  SetBool(entry, "isForeground", isForeground);
  return entry;
}

std::uint64_t NowMilliseconds(platform::SystemApi& system) {
  return (system.SystemTimeAsFileTime() - kUnixEpochAsFileTime) / 10000;
}

Json MakePermission(std::string_view kind, std::string_view status, bool required) {
  Json record = Json::object();
  SetString(record, "kind", kind);
  SetString(record, "status", status);
  SetBool(record, "required", required);
  return record;
}

}  // namespace

RequestOutcome HelperService::Observe(const Json& payload, const std::string& requestIdUtf8) {
  const std::u16string scope = GetString(payload, "scope", u"");
  if (scope != u"foreground" && scope != u"application") FailWith(ErrorCode::kInvalidObservationScope);
  const bool application = scope == u"application";
  const bool listOnly = GetString(payload, "purpose", u"") == u"list_windows";
  const bool activationOnly = GetBool(payload, "activationOnly", false);
  const bool allowVisual = GetBool(payload, "allowVisual", false);
  const std::string windowIdentity = ToUtf8(GetString(payload, "windowIdentity", u""));
  if (activationOnly && (!application || listOnly || allowVisual)) FailWith(ErrorCode::kInvalidRequest);
  if (listOnly && !activationOnly && (!application || allowVisual || !windowIdentity.empty())) {
    FailWith(ErrorCode::kInvalidRequest);
  }

  RequestOutcome outcome;
  Json windowList = Json::array();
  Observation observation;
  if (application) {
    const std::string appIdentity = ToUtf8(GetString(payload, "appIdentity", u""));
    if (appIdentity.empty()) FailWith(ErrorCode::kInvalidRequest);
    std::vector<Observation> list =
        observer_.FindApplicationWindows(appIdentity, windowIdentity, activationOnly);
    if (!activationOnly && !windowIdentity.empty()) {
      // The targeted window first, then the application's other windows.
      for (Observation& other : observer_.FindApplicationWindows(appIdentity, "", false)) {
        if (list.size() >= kMaxApplicationWindows) break;
        const bool listed = std::any_of(list.begin(), list.end(), [&](const Observation& window) {
          return window.windowIdentity == other.windowIdentity;
        });
        if (!listed) list.push_back(std::move(other));
      }
    }
    std::string selectionText;
    for (const Observation& window : list) {
      windowList.push_back(WindowListEntry(platform_, window));
      selectionText += window.windowIdentity + "\n";
    }
    if (listOnly || (windowIdentity.empty() && list.size() > 1)) {
      const std::optional<platform::Guid> guid = platform_.system.CreateGuid();
      if (!guid) throw PlatformError{kGuidFailure};
      Json& result = outcome.result;
      SetString(result, "state", "window_selection_required");
      SetString(result, "id", std::u16string_view(platform_.system.GuidToString(*guid)));
      SetString(result, "stateHash", selectionText);
      SetNumber(result, "capturedAt", static_cast<double>(NowMilliseconds(platform_.system)));
      Json foreground = Json::object();
      SetString(foreground, "appIdentity", appIdentity);
      SetString(foreground, "windowIdentity", "");
      result["foreground"] = std::move(foreground);
      SetString(result, "scope", "application");
      result["windows"] = std::move(windowList);
      SetBool(result, "windowSelectionRequired", true);
      result["targets"] = Json::array();
      return outcome;
    }
    observation = observer_.ObserveApplication(appIdentity, windowIdentity, activationOnly);
  } else {
    observation = observer_.ObserveForeground();
  }

  const InteractionRecord interaction =
      interactionMonitor_.GetInteractionRecord(observation.window);
  lastObservedWindow_ = observation.window;
  std::optional<CaptureResult> capture;
  if (allowVisual) {
    capture = capture_.CaptureWindow(observation.window, true);
    // The picture must show the window as it was walked.
    if (!observer_.IsObservationCurrent(observation.observationId, observation.stateHash)) {
      FailWith(ErrorCode::kStaleObservation);
    }
  }

  Json& result = outcome.result;
  SetString(result, "scope", std::u16string_view(scope));
  if (application) result["windows"] = std::move(windowList);
  SetString(result, "id", observation.observationId);
  SetString(result, "stateHash", observation.stateHash);
  SetNumber(result, "capturedAt", static_cast<double>(observation.capturedAt));
  Json foreground = Json::object();
  SetString(foreground, "appIdentity", observation.appIdentity);
  SetString(foreground, "windowIdentity", observation.windowIdentity);
  SetString(foreground, "appName", std::u16string_view(observation.appName));
  SetString(foreground, "windowTitle", std::u16string_view(observation.windowTitle));
  result["foreground"] = std::move(foreground);
  Json record = Json::object();
  SetString(record, "id", interaction.id);
  SetNumber(record, "generation", static_cast<double>(interaction.generation));
  SetString(record, "epoch", interaction.epoch);
  result["interaction"] = std::move(record);
  SetNumber(result, "topologyGeneration", observation.topologyGeneration);

  const std::optional<platform::Rect> bounds =
      GetWindowBounds(platform_.windows, observation.window);
  if (!bounds) FailWith(ErrorCode::kTargetUnavailable);
  Json windowBounds = Json::object();
  SetNumber(windowBounds, "x", bounds->left);
  SetNumber(windowBounds, "y", bounds->top);
  SetNumber(windowBounds, "width", static_cast<double>(bounds->right) - bounds->left);
  SetNumber(windowBounds, "height", static_cast<double>(bounds->bottom) - bounds->top);
  result["windowBounds"] = std::move(windowBounds);

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

Json HelperService::Capabilities() {
  Json result = Json::object();
  SetString(result, "platform", "windows");
  for (const char* feature : {"globalRecording", "semanticObservation", "semanticAction",
                              "interactionMonitoring", "localOcr"}) {
    SetBool(result, feature, true);
  }
  SetBool(result, "visualCapture", platform_.capture.IsCaptureSupported());
  const std::int32_t access = CheckForegroundWindowAccess(platform_);
  Json limitations = Json::array();
  if (access == kWindowAccessIntegrityTooHigh) {
    limitations.push_back("uipi_blocked");
  } else if (access != kWindowAccessAllowed) {
    limitations.push_back("secure_desktop_unavailable");
  }
  result["limitations"] = std::move(limitations);
  return result;
}

Json HelperService::Permissions() {
  Json records = Json::array();
  records.push_back(MakePermission("accessibility", "granted", true));
  records.push_back(MakePermission("input_monitoring", "granted", true));
  records.push_back(MakePermission("post_event", "granted", true));
  records.push_back(MakePermission(
      "screen_capture", platform_.capture.IsCaptureSupported() ? "granted" : "unavailable", false));
  Json result = Json::object();
  result["permissions"] = std::move(records);
  return result;
}

void HelperService::StopAll(bool keepInteractionMonitor) {
  // Interaction monitor (unless kept), recording, then held synthetic input: each component
  // takes only its own lock. The input controller joins the service when it is built.
  if (!keepInteractionMonitor) interactionMonitor_.Stop();
  StopRecording();
}

void HelperService::EmergencyStop(bool emitEvent) {
  // Held input and the recording are released here once those components exist.
  StopRecording();
  if (emitEvent) WriteEmergencyStopEvent();
}

void HelperService::StopRecording() {}

void HelperService::OnRequestFailed(std::u16string_view method, std::string_view message) {
  bool keep = false;
  if (method == u"observe" && sessionMonitor_.IsSessionSafe() &&
      IsRequestFailureKeepCode(message)) {
    keep = true;
  }
  StopAll(keep);
}

void HelperService::EnsureDesktopUsable() {
  if (!sessionMonitor_.Start() || !sessionMonitor_.IsSessionSafe()) {
    FailWith(ErrorCode::kSecureDesktopUnavailable);
  }
}

void HelperService::StopForUnsafeSession() {
  // Input stops for good and a recording pauses once those components exist; the parent is
  // always told.
  WriteEmergencyStopEvent();
}

void HelperService::WriteEmergencyStopEvent() {
  try {
    Json event = Json::object();
    SetString(event, "type", "emergency_stop");
    writer_.WriteJson(BuildEvent(std::move(event)));
  } catch (...) {
    // Nothing to retry: the parent has gone or the pipe is broken.
  }
}

}  // namespace velmora::computer_use
