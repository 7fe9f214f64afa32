// Watches the parent process: heartbeats while it lives, a callback when it ends.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/process.h"

namespace velmora::computer_use {

inline constexpr std::chrono::milliseconds kHeartbeatInterval{1000};

class ParentWatchdog {
 public:
  explicit ParentWatchdog(platform::ProcessApi& processes) : processes_(processes) {}
  ParentWatchdog(const ParentWatchdog&) = delete;
  ParentWatchdog& operator=(const ParentWatchdog&) = delete;
  ~ParentWatchdog() { Stop(); }

  // False when the parent cannot be opened or the stop event cannot be made; throws
  // std::system_error when the thread cannot be created. A second start replaces the first.
  bool Start(platform::ProcessId parentPid, std::function<void()> onHeartbeat,
             std::function<void()> onParentExit);
  // Idempotent.
  void Stop();

 private:
  void Watch();

  platform::ProcessApi& processes_;
  std::atomic<bool> running_{false};
  std::unique_ptr<platform::ManualResetEvent> stopEvent_;
  std::unique_ptr<platform::ProcessHandle> parentProcess_;
  std::thread thread_;
  std::function<void()> onHeartbeat_;
  std::function<void()> onParentExit_;
};

}  // namespace velmora::computer_use
