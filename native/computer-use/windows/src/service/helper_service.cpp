#include "service/helper_service.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "service/capabilities_handler.h"

namespace velmora::computer_use {

HelperService::HelperService(platform::Platform& platform, FrameWriter& writer)
    : platform_(platform),
      writer_(writer),
      observer_(platform),
      input_(platform.input, platform.displays, platform.windows, platform.messageLoops),
      capture_(platform),
      interactionMonitor_(platform,
                          [this] {
                            input_.ReleaseHeldInput();
                            EmergencyStop(true);
                          }),
      sessionMonitor_(
          platform, [this] { StopForUnsafeSession(); },
          [&platform] { return CaptureSessionSnapshot(platform); }, {}),
      observe_(platform.windows, platform.system, observer_, capture_, interactionMonitor_),
      act_(platform, observer_, interactionMonitor_, sessionMonitor_, input_, observe_),
      record_(platform, observer_, input_, interactionMonitor_, sessionMonitor_, writer,
              [this](bool emitEvent) { EmergencyStop(emitEvent); }) {}

HelperService::~HelperService() {
  sessionMonitor_.Stop();
  StopAll(false);
}

bool HelperService::ServeRequest(const RequestEnvelope& envelope, const Json& frame) {
  std::string_view errorCode;
  try {
    const Json payload = HasObject(frame, "payload") ? frame.at("payload") : Json::object();
    RequestOutcome outcome = HandleRequest(envelope.method, payload, envelope.requestIdUtf8);
    // A response must not announce a binary frame that cannot follow it: one reply, the error.
    if (outcome.attachment) {
      CheckBinaryFrame(outcome.attachment->id, outcome.attachment->bytes.size());
    }
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

// Compared exactly, in this order.
const HelperService::Method* HelperService::FindMethod(std::u16string_view word) {
  static constexpr Method kMethods[] = {
      {u"capabilities", DesktopGuard::kNone, &HelperService::Capabilities},
      {u"permissions", DesktopGuard::kNone, &HelperService::Permissions},
      {u"permission.request", DesktopGuard::kNone, &HelperService::RequestPermission},
      {u"record.start", DesktopGuard::kBeforeAndAfter, &HelperService::StartRecording},
      {u"record.pause", DesktopGuard::kNone, &HelperService::PauseRecording},
      {u"record.resume", DesktopGuard::kBefore, &HelperService::ResumeRecording},
      {u"record.stop", DesktopGuard::kNone, &HelperService::StopRecordingRequest},
      {u"observe", DesktopGuard::kBeforeAndAfter, &HelperService::Observe},
      {u"act", DesktopGuard::kBeforeAndAfter, &HelperService::Act},
      {u"neutralize", DesktopGuard::kNone, &HelperService::Neutralize},
      {u"shutdown", DesktopGuard::kNone, &HelperService::Shutdown},
  };
  for (const Method& method : kMethods) {
    if (method.word == word) return &method;
  }
  return nullptr;
}

RequestOutcome HelperService::HandleRequest(std::u16string_view method, const Json& payload,
                                            const std::string& requestIdUtf8) {
  const Method* entry = FindMethod(method);
  if (entry == nullptr) FailWith(ErrorCode::kInvalidRequest);
  if (entry->guard != DesktopGuard::kNone) EnsureDesktopUsable();
  RequestOutcome outcome = (this->*entry->handle)(payload, requestIdUtf8);
  if (entry->guard == DesktopGuard::kBeforeAndAfter) EnsureDesktopUsable();
  return outcome;
}

RequestOutcome HelperService::Capabilities(const Json& /*payload*/, const std::string&) {
  return ResultOutcome(computer_use::Capabilities(platform_));
}

RequestOutcome HelperService::Permissions(const Json& /*payload*/, const std::string&) {
  return ResultOutcome(computer_use::Permissions(platform_.capture));
}

RequestOutcome HelperService::RequestPermission(const Json& payload, const std::string&) {
  return ResultOutcome(computer_use::RequestPermission(payload));
}

RequestOutcome HelperService::StartRecording(const Json& payload, const std::string&) {
  return record_.Start(payload);
}

RequestOutcome HelperService::PauseRecording(const Json& /*payload*/, const std::string&) {
  return record_.Pause();
}

RequestOutcome HelperService::ResumeRecording(const Json& /*payload*/, const std::string&) {
  return record_.Resume();
}

RequestOutcome HelperService::StopRecordingRequest(const Json& /*payload*/, const std::string&) {
  StopRecording();
  return ResultOutcome(MakeStateResult("stopped"));
}

RequestOutcome HelperService::Observe(const Json& payload, const std::string& requestIdUtf8) {
  return observe_.Observe(payload, requestIdUtf8);
}

RequestOutcome HelperService::Act(const Json& payload, const std::string&) {
  return ResultOutcome(act_.Act(payload));
}

RequestOutcome HelperService::Neutralize(const Json& payload, const std::string&) {
  const std::u16string reason = GetString(payload, "reason", u"");
  const bool finished =
      reason == u"computer_use_action_finished" || reason == u"computer_use_wait_finished";
  StopAll(finished);
  return ResultOutcome(MakeStateResult("neutral"));
}

RequestOutcome HelperService::Shutdown(const Json& /*payload*/, const std::string&) {
  StopAll(false);
  RequestOutcome outcome = ResultOutcome(MakeStateResult("stopped"));
  outcome.shutdown = true;
  return outcome;
}

void HelperService::StopAll(bool keepInteractionMonitor) {
  // Interaction monitor (unless kept), recording, then held synthetic input: each component
  // takes only its own lock.
  if (!keepInteractionMonitor) interactionMonitor_.Stop();
  StopRecording();
  input_.ReleaseHeldInput();
}

void HelperService::EmergencyStop(bool emitEvent) {
  // Input may be injected again afterwards; the stopped recording stays the current one until
  // the next record method.
  input_.ReleaseHeldInput();
  if (const std::shared_ptr<RecordingController> recording = record_.Current()) recording->Stop();
  if (emitEvent) WriteEmergencyStopEvent();
}

void HelperService::StopRecording() {
  record_.Stop();
}

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
  // Input stops for good and a recording pauses, its hooks still watching for Escape; it cannot
  // resume, since the desktop stays unsafe. The parent is always told.
  input_.StopInput();
  if (const std::shared_ptr<RecordingController> recording = record_.Current()) recording->Pause();
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
