// The one service object: owns the components, dispatches requests through its method table and
// answers each once.
#pragma once

#include <string>
#include <string_view>

#include "act/input_controller.h"
#include "observe/uia_observer.h"
#include "observe/window_capture.h"
#include "platform/platform.h"
#include "protocol/envelopes.h"
#include "protocol/frame_protocol.h"
#include "protocol/json.h"
#include "safety/interaction_monitor.h"
#include "safety/session_monitor.h"
#include "service/act_handler.h"
#include "service/observe_handler.h"
#include "service/record_handler.h"
#include "service/request_outcome.h"

namespace velmora::computer_use {

// When a method checks that the desktop is the user's own: before its work, and again after it
// so that work done while the desktop became unsafe is not answered.
enum class DesktopGuard { kNone, kBefore, kBeforeAndAfter };

class HelperService {
 public:
  // Creates the UI Automation client first; throws PlatformError when it cannot.
  HelperService(platform::Platform& platform, FrameWriter& writer);
  HelperService(const HelperService&) = delete;
  HelperService& operator=(const HelperService&) = delete;
  ~HelperService();

  // Answers one request that passed the envelope checks with exactly one response, followed by
  // its binary frame when it has one. Answers whether it asked for shutdown. Failures while
  // writing an error reply escape and end the session.
  bool ServeRequest(const RequestEnvelope& envelope, const Json& frame);

  RequestOutcome HandleRequest(std::u16string_view method, const Json& payload,
                               const std::string& requestIdUtf8);
  // Safe on several threads at once; each step takes only its own component's lock.
  void StopAll(bool keepInteractionMonitor);
  void OnRequestFailed(std::u16string_view method, std::string_view message);
  // Throws "secure_desktop_unavailable" unless the session monitor finds the desktop safe.
  void EnsureDesktopUsable();
  // Releases held input, stops any recording and, when asked, tells the parent.
  void EmergencyStop(bool emitEvent);

  // The window of the last completed observation, for the actions.
  platform::WindowHandle LastObservedWindow() const { return observe_.LastObservedWindow(); }

  UiaObserver& Observer() { return observer_; }
  InteractionMonitor& Interactions() { return interactionMonitor_; }
  DesktopSessionMonitor& SessionMonitor() { return sessionMonitor_; }
  InputController& Input() { return input_; }
  std::shared_ptr<RecordingController> CurrentRecording() { return record_.Current(); }

 private:
  using Handler = RequestOutcome (HelperService::*)(const Json& payload,
                                                    const std::string& requestIdUtf8);
  struct Method {
    std::u16string_view word;
    DesktopGuard guard;
    Handler handle;
  };
  static const Method* FindMethod(std::u16string_view word);

  RequestOutcome Capabilities(const Json& payload, const std::string& requestIdUtf8);
  RequestOutcome Permissions(const Json& payload, const std::string& requestIdUtf8);
  RequestOutcome RequestPermission(const Json& payload, const std::string& requestIdUtf8);
  RequestOutcome StartRecording(const Json& payload, const std::string& requestIdUtf8);
  RequestOutcome PauseRecording(const Json& payload, const std::string& requestIdUtf8);
  RequestOutcome ResumeRecording(const Json& payload, const std::string& requestIdUtf8);
  RequestOutcome StopRecordingRequest(const Json& payload, const std::string& requestIdUtf8);
  RequestOutcome Observe(const Json& payload, const std::string& requestIdUtf8);
  RequestOutcome Act(const Json& payload, const std::string& requestIdUtf8);
  RequestOutcome Neutralize(const Json& payload, const std::string& requestIdUtf8);
  RequestOutcome Shutdown(const Json& payload, const std::string& requestIdUtf8);

  void StopRecording();
  void StopForUnsafeSession();
  void WriteEmergencyStopEvent();

  platform::Platform& platform_;
  FrameWriter& writer_;
  // Built in this order and destroyed in reverse.
  UiaObserver observer_;
  InputController input_;
  WindowCapture capture_;
  InteractionMonitor interactionMonitor_;
  DesktopSessionMonitor sessionMonitor_;
  ObserveHandler observe_;
  ActHandler act_;
  RecordHandler record_;
};

}  // namespace velmora::computer_use
