// The simulated desktop assembled into one platform, with the host's real processes and
// runtime (POSIX here, Win32 in the Windows build) and the given streams.
#pragma once

#include <functional>
#include <string_view>

#include "platform/platform.h"
#include "platform/sim/sim_automation.h"
#include "platform/sim/sim_capture.h"
#include "platform/sim/sim_crypto.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_input.h"
#include "platform/sim/sim_system.h"
#include "platform/sim/sim_user.h"
#ifdef _WIN32
#include "platform/win32/win32_api.h"
#else
#include "platform/sim/sim_process.h"
#endif

namespace velmora::computer_use::platform::sim {

class SimPlatform {
 public:
  SimPlatform(InputStream& input, OutputStream& output,
              std::function<void(int signal)> onUserSignal = {});
  SimPlatform(const SimPlatform&) = delete;
  SimPlatform& operator=(const SimPlatform&) = delete;

  Platform& Get() { return platform_; }
  // The simulated desktop's parts, as tests and the scenes drive them.
  SimSessions& Sessions() { return desktop_.Sessions(); }
  SimWindows& Windows() { return desktop_.Windows(); }
  SimMessageLoops& MessageLoops() { return desktop_.MessageLoops(); }
  SimProcessInfo& ProcessInfo() { return desktop_.ProcessInfo(); }
  SimDisplays& Displays() { return desktop_.Displays(); }
  SimCrypto& Crypto() { return crypto_; }
  SimAutomation& Automation() { return automation_; }
  SimSystem& System() { return system_; }
  SimCapture& Capture() { return capture_; }
  // Keyboard and mouse input through the hooks to the applications.
  SimInput& Input() { return input_; }
  // The commands of the simulated user's channel.
  SimUser& User() { return user_; }

 private:
  // Every member but the platform itself is built by then.
  Platform Assemble(InputStream& input, OutputStream& output);
  void RegisterOwnProcess();

  SimDesktop desktop_;
  SimCrypto crypto_;
  SimAutomation automation_{desktop_.Windows()};
  SimSystem system_;
  SimCapture capture_{desktop_.Windows()};
  SimInput input_{desktop_.MessageLoops(), desktop_.Windows(), automation_, desktop_.Displays()};
  SimUser user_{input_, desktop_.Windows(), desktop_.Sessions(), automation_,
                desktop_.MessageLoops()};
#ifdef _WIN32
  win32::Win32ProcessApi processes_;
  win32::Win32Runtime runtime_;
#else
  PosixProcessApi processes_;
  PosixRuntime runtime_;
#endif
  Platform platform_;
};

// The built-in scenes of the Linux helper. Every scene but "automation_unavailable" (no UI
// Automation client) holds the applications Notes (three windows), Report (1,000 elements, a
// noisy picture, 150 lines of text), Frozen (no frame), Resizing (a frame larger than the
// window) and Empty (a window of no size). "default": an unlocked session whose foreground
// window belongs to the helper's parent; "locked", "secure_desktop", "query_fails",
// "deny_foreground_grant", "foreground_moves" (the foreground goes while the screenshot is
// taken) and "no_capture" change that; "foreign_foreground" and "elevated_foreground" put
// another program's window in front instead. False for an unknown name.
bool ApplyScene(SimPlatform& platform, std::string_view scene, ProcessId parentProcessId);

}  // namespace velmora::computer_use::platform::sim
