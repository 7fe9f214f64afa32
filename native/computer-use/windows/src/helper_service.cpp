#include "helper_service.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace velmora::computer_use {
namespace {

[[noreturn]] void Fail(const char* code) {
  throw std::runtime_error(code);
}

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
                                            const std::string& /*requestIdUtf8*/) {
  RequestOutcome outcome;
  if (method == u"capabilities" || method == u"permissions" || method == u"permission.request") {
    // The platform reports arrive with the capture and permission work.
    Fail("capability_unavailable");
  }
  if (method == u"record.start") {
    EnsureDesktopUsable();
    const int seconds = ClampRecordingDuration(GetNumber(payload, "maxDurationSeconds", 1800));
    (void)seconds;
    // The recording controller is not part of this build yet.
    Fail("input_monitoring_unavailable");
  }
  if (method == u"record.pause") Fail("recording_not_active");
  if (method == u"record.resume") {
    EnsureDesktopUsable();
    Fail("recording_not_active");
  }
  if (method == u"record.stop") {
    StopRecording();
    outcome.result = MakeStateResult("stopped");
    return outcome;
  }
  if (method == u"observe" || method == u"act") {
    EnsureDesktopUsable();
    // The observer and the action layer are not part of this build yet.
    Fail("capability_unavailable");
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
  Fail("invalid_request");
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
    Fail("secure_desktop_unavailable");
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
