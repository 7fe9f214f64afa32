// The one service object: owns the components, dispatches requests and answers each once.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "observe/uia_observer.h"
#include "observe/window_capture.h"
#include "platform/platform.h"
#include "protocol/envelopes.h"
#include "protocol/frame_protocol.h"
#include "protocol/json.h"
#include "safety/interaction_monitor.h"
#include "safety/session_monitor.h"

namespace velmora::computer_use {

// A binary frame sent right after a response.
struct BinaryAttachment {
  std::string id;
  std::vector<std::uint8_t> bytes;
};

struct RequestOutcome {
  Json result = Json::object();
  std::optional<BinaryAttachment> attachment;
  bool shutdown = false;
};

inline constexpr int kMinRecordingSeconds = 1;
inline constexpr int kMaxRecordingSeconds = 1800;

// "maxDurationSeconds" truncated toward zero and clamped to 1..1800.
int ClampRecordingDuration(double seconds);

class HelperService {
 public:
  // Creates the UI Automation client first; throws PlatformError when it cannot.
  HelperService(platform::Platform& platform, FrameWriter& writer);
  HelperService(const HelperService&) = delete;
  HelperService& operator=(const HelperService&) = delete;
  ~HelperService();

  // Answers one request that passed the envelope checks with exactly one response (two when
  // the attachment cannot be sent). Answers whether it asked for shutdown. Failures while
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

  // The "observe" method: an observation (with a screenshot when allowed) or a window list.
  RequestOutcome Observe(const Json& payload, const std::string& requestIdUtf8);
  Json Capabilities();
  Json Permissions();
  // The window of the last completed observation, for the actions.
  platform::WindowHandle LastObservedWindow() const { return lastObservedWindow_; }

  UiaObserver& Observer() { return observer_; }
  InteractionMonitor& Interactions() { return interactionMonitor_; }
  DesktopSessionMonitor& SessionMonitor() { return sessionMonitor_; }

 private:
  void StopRecording();
  void StopForUnsafeSession();
  void WriteEmergencyStopEvent();

  platform::Platform& platform_;
  FrameWriter& writer_;
  // Built in this order and destroyed in reverse.
  UiaObserver observer_;
  WindowCapture capture_;
  InteractionMonitor interactionMonitor_;
  DesktopSessionMonitor sessionMonitor_;
  std::atomic<platform::WindowHandle> lastObservedWindow_{platform::kNullWindow};
};

}  // namespace velmora::computer_use
