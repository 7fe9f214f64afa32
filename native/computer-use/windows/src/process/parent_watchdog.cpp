#include "process/parent_watchdog.h"

namespace velmora::computer_use {

bool ParentWatchdog::Start(platform::ProcessId parentPid, std::function<void()> onHeartbeat,
                           std::function<void()> onParentExit) {
  Stop();
  std::unique_ptr<platform::ProcessHandle> parent = processes_.OpenProcess(parentPid);
  if (!parent) return false;
  std::unique_ptr<platform::ManualResetEvent> stopEvent = processes_.CreateManualResetEvent();
  if (!stopEvent) return false;  // `parent` closes itself
  parentProcess_ = std::move(parent);
  stopEvent_ = std::move(stopEvent);
  running_ = true;
  onHeartbeat_ = std::move(onHeartbeat);
  onParentExit_ = std::move(onParentExit);
  try {
    thread_ = std::thread([this] { Watch(); });
  } catch (...) {
    running_ = false;
    parentProcess_.reset();
    stopEvent_.reset();
    throw;
  }
  return true;
}

void ParentWatchdog::Stop() {
  if (running_.exchange(false) && stopEvent_) stopEvent_->Set();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  if (thread_.joinable()) return;  // called on the watch thread: it still uses the handles
  parentProcess_.reset();
  stopEvent_.reset();
}

void ParentWatchdog::Watch() {
  for (;;) {
    switch (processes_.WaitForEither(*stopEvent_, *parentProcess_, kHeartbeatInterval)) {
      case platform::WaitOutcome::kEventSignalled:
        return;
      case platform::WaitOutcome::kProcessSignalled:
      case platform::WaitOutcome::kFailed:
        running_ = false;
        if (onParentExit_) onParentExit_();
        return;
      case platform::WaitOutcome::kTimedOut:
        if (onHeartbeat_) onHeartbeat_();
        if (!running_) return;
        break;
    }
  }
}

}  // namespace velmora::computer_use
