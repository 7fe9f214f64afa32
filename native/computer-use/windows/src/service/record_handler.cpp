#include "service/record_handler.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "protocol/envelopes.h"
#include "protocol/error_codes.h"

namespace velmora::computer_use {

int ClampRecordingDuration(double seconds) {
  // Compared as a double first, so that values beyond the 32-bit range clamp as well.
  if (!(seconds >= kMinRecordingSeconds)) return kMinRecordingSeconds;
  if (seconds > kMaxRecordingSeconds) return kMaxRecordingSeconds;
  return std::max(static_cast<int>(std::trunc(seconds)), kMinRecordingSeconds);
}

RequestOutcome RecordHandler::Start(const Json& payload) {
  const int seconds = ClampRecordingDuration(
      GetNumber(payload, "maxDurationSeconds", static_cast<double>(kMaxRecordingSeconds)));
  interactions_.Stop();
  Stop();
  auto recording = std::make_shared<RecordingController>(
      platform_, observer_, [this](Json event) { WriteEvent(std::move(event)); },
      [this] { emergencyStop_(true); }, [this] { emergencyStop_(false); });
  {
    std::lock_guard lock(recordingMutex_);
    current_ = recording;
  }
  if (!recording->Start()) {
    std::lock_guard lock(recordingMutex_);
    current_.reset();
    FailWith(ErrorCode::kInputMonitoringUnavailable);
  }
  {
    std::lock_guard lock(timerMutex_);
    timerStop_ = false;
  }
  // The duration counts from the start, not from whenever the timer thread first runs.
  const std::uint64_t end =
      platform_.system.TickCount64() + static_cast<std::uint64_t>(seconds) * 1000;
  timer_ = std::thread([this, recording, end] {
    platform::SystemApi& clock = platform_.system;
    std::unique_lock lock(timerMutex_);
    while (!timerStop_) {
      if (clock.TickCount64() >= end) {
        lock.unlock();
        // The recording ends quietly; it stays the current one until the next record method.
        input_.ReleaseHeldInput();
        recording->Stop();
        return;
      }
      timerChanged_.wait_for(lock, std::chrono::milliseconds(kRecordingTimerMs));
    }
  });
  return ResultOutcome(MakeStateResult("recording"));
}

RequestOutcome RecordHandler::Pause() {
  const std::shared_ptr<RecordingController> recording = Current();
  if (!recording || !recording->IsActive()) FailWith(ErrorCode::kRecordingNotActive);
  recording->Pause();
  return ResultOutcome(MakeStateResult("paused"));
}

RequestOutcome RecordHandler::Resume() {
  const std::shared_ptr<RecordingController> recording = Current();
  if (!recording || !recording->IsActive()) FailWith(ErrorCode::kRecordingNotActive);
  recording->Resume();
  return ResultOutcome(MakeStateResult("recording"));
}

void RecordHandler::StopTimer() {
  {
    std::lock_guard lock(timerMutex_);
    timerStop_ = true;
  }
  timerChanged_.notify_all();
  if (timer_.joinable() && timer_.get_id() != std::this_thread::get_id()) timer_.join();
}

void RecordHandler::Stop() {
  StopTimer();
  std::shared_ptr<RecordingController> recording;
  {
    std::lock_guard lock(recordingMutex_);
    recording.swap(current_);
  }
  // Joined here, so that the last reference never goes on one of the recording's own threads.
  if (recording) recording->Stop();
}

std::shared_ptr<RecordingController> RecordHandler::Current() {
  std::lock_guard lock(recordingMutex_);
  return current_;
}

void RecordHandler::WriteEvent(Json event) {
  try {
    // Nothing is told while the desktop is not the user's own.
    if (!session_.IsSessionSafe()) return;
    writer_.WriteJson(BuildEvent(std::move(event)));
  } catch (...) {
    // An event that cannot be written ends the recording, without another write.
    emergencyStop_(false);
  }
}

}  // namespace velmora::computer_use
