// The record methods: at most one recording at a time, held in shared ownership so that the
// threads that stop it (Escape, a failed write, the duration's end) keep it alive for the call;
// its duration timer; and the sink that writes its events to the parent.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "act/input_controller.h"
#include "observe/uia_observer.h"
#include "platform/platform.h"
#include "protocol/frame_protocol.h"
#include "protocol/json.h"
#include "record/recording_controller.h"
#include "safety/interaction_monitor.h"
#include "safety/session_monitor.h"
#include "service/request_outcome.h"

namespace velmora::computer_use {

inline constexpr int kMinRecordingSeconds = 1;
inline constexpr int kMaxRecordingSeconds = 1800;
// "maxDurationSeconds" truncated toward zero and clamped to 1..1800.
int ClampRecordingDuration(double seconds);

class RecordHandler {
 public:
  // `emergencyStop(emitEvent)` is the service's stop of everything.
  RecordHandler(platform::Platform& platform, UiaObserver& observer, InputController& input,
                InteractionMonitor& interactions, DesktopSessionMonitor& session,
                FrameWriter& writer, std::function<void(bool emitEvent)> emergencyStop)
      : platform_(platform),
        observer_(observer),
        input_(input),
        interactions_(interactions),
        session_(session),
        writer_(writer),
        emergencyStop_(std::move(emergencyStop)) {}
  RecordHandler(const RecordHandler&) = delete;
  RecordHandler& operator=(const RecordHandler&) = delete;
  ~RecordHandler() { Stop(); }

  // Fails with "input_monitoring_unavailable" when the hooks cannot be installed.
  RequestOutcome Start(const Json& payload);
  // Fail with "recording_not_active" unless a recording runs.
  RequestOutcome Pause();
  RequestOutcome Resume();
  // Ends the recording and its timer, if any; the service then holds none.
  void Stop();
  // The current recording, kept alive for the caller.
  std::shared_ptr<RecordingController> Current();

 private:
  void WriteEvent(Json event);
  void StopTimer();

  platform::Platform& platform_;
  UiaObserver& observer_;
  InputController& input_;
  InteractionMonitor& interactions_;
  DesktopSessionMonitor& session_;
  FrameWriter& writer_;
  std::function<void(bool)> emergencyStop_;

  std::mutex recordingMutex_;  // guards only the reference
  std::shared_ptr<RecordingController> current_;

  std::mutex timerMutex_;
  std::condition_variable timerChanged_;
  bool timerStop_ = false;
  std::thread timer_;
};

}  // namespace velmora::computer_use
