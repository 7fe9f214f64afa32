// A recording of the user's keys, clicks, wheel turns and window changes. Two threads: the hook
// thread, whose hook procedures only take what the moment gives and return at once (and which
// watches for Escape held two seconds), and the event thread, which builds the events in the
// order the input came and hands them to the sink. The hand-over between them is bounded: when
// the events cannot be delivered fast enough the recording ends instead of slowing the input.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "common/message_loop_thread.h"
#include "observe/uia_observer.h"
#include "platform/platform.h"
#include "protocol/json.h"
#include "record/recording_events.h"

namespace velmora::computer_use {

inline constexpr std::size_t kMaxPendingInputs = 1024;
inline constexpr std::uint32_t kRecordingTimerMs = 100;

class RecordingController {
 public:
  using EventSink = std::function<void(Json event)>;
  using Callback = std::function<void()>;

  // `onEmergencyStop`: the user held Escape two seconds. `onUndeliverable`: events came faster
  // than they could be delivered, and some were dropped.
  RecordingController(platform::Platform& platform, UiaObserver& observer, EventSink onEvent,
                      Callback onEmergencyStop, Callback onUndeliverable);
  RecordingController(const RecordingController&) = delete;
  RecordingController& operator=(const RecordingController&) = delete;
  // Stops; the threads must have been joined by a Stop on another thread.
  ~RecordingController();

  // True once the hook thread runs with every hook installed. One recording hooks at a time.
  bool Start();
  // From any thread, any number of times; joins the threads unless called on one of them.
  void Stop();
  void Pause() { paused_ = true; }
  void Resume() {
    if (active_) paused_ = false;
  }
  bool IsActive() const { return active_; }
  bool IsPaused() const { return paused_; }

 private:
  static void OnKeyboard(const platform::KeyboardHookEvent& event);
  static void OnMouse(const platform::MouseHookEvent& event);
  static void OnWinEvent(std::uint32_t event, platform::WindowHandle window, std::int32_t objectId,
                         std::int32_t childId);
  void RunHooks(MessageLoopThread& thread);
  void RunEvents();
  // Between two messages of the hook thread; false ends its loop.
  bool AfterMessage();
  void Capture(CapturedInput input, bool mayMoveFocus);
  CapturedInput Now(CapturedKind kind, platform::WindowHandle window);
  bool FocusUnchanged(const CapturedInput& input);

  platform::Platform& platform_;
  RecordingEventBuilder builder_;
  EventSink onEvent_;
  Callback onEmergencyStop_;
  Callback onUndeliverable_;
  std::atomic<bool> active_{false};
  std::atomic<bool> paused_{false};
  std::atomic<bool> undeliverable_{false};
  std::atomic<std::uint64_t> focusEpoch_{0};

  std::mutex escapeMutex_;
  std::uint64_t escapeDownTick_ = 0;
  bool escapeHeld_ = false;

  std::mutex queueMutex_;
  std::condition_variable queueChanged_;
  std::deque<CapturedInput> queue_;
  bool stopping_ = false;

  std::mutex threadsMutex_;  // one start or stop at a time, from outside the two threads
  MessageLoopThread hookThread_;
  std::thread eventThread_;
  std::atomic<std::thread::id> eventThreadId_{};
};

}  // namespace velmora::computer_use
