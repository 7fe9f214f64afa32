// The simulated desktop assembled into one platform, with real processes and given streams.
#pragma once

#include <functional>
#include <string_view>

#include "platform/platform.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_process.h"

namespace velmora::computer_use::platform::sim {

class SimPlatform {
 public:
  SimPlatform(InputStream& input, OutputStream& output,
              std::function<void(int signal)> onUserSignal = {});
  SimPlatform(const SimPlatform&) = delete;
  SimPlatform& operator=(const SimPlatform&) = delete;

  Platform& Get() { return platform_; }
  SimDesktop& Desktop() { return desktop_; }

 private:
  SimDesktop desktop_;
  PosixProcessApi processes_;
  PosixRuntime runtime_;
  Platform platform_;
};

// The built-in scenes of the Linux helper: "default" (an unlocked session whose foreground
// window belongs to the helper's parent), "locked", "secure_desktop", "foreign_foreground",
// "query_fails" and "deny_foreground_grant". False for an unknown name.
bool ApplyScene(SimDesktop& desktop, std::string_view scene, ProcessId parentProcessId);

}  // namespace velmora::computer_use::platform::sim
