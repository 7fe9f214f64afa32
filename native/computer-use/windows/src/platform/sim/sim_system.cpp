#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/sim/sim_platform.h"

namespace velmora::computer_use::platform::sim {

SimPlatform::SimPlatform(InputStream& input, OutputStream& output,
                         std::function<void(int)> onUserSignal)
    : runtime_(std::move(onUserSignal)), platform_{input,    output,   runtime_, processes_,
                                                   desktop_, desktop_, desktop_} {}

bool ApplyScene(SimDesktop& desktop, std::string_view scene, ProcessId parentProcessId) {
  if (scene == "foreign_foreground") {
    desktop.ShowForegroundWindow(1);
    return true;
  }
  desktop.ShowForegroundWindow(parentProcessId);
  if (scene == "default") return true;
  if (scene == "locked") {
    desktop.SetSessionFlags(0);
    desktop.SwitchInputDesktop(u"Winlogon");
  } else if (scene == "secure_desktop") {
    desktop.SwitchInputDesktop(u"Screen-saver");
  } else if (scene == "query_fails") {
    desktop.SetSessionQueryFails(true);
  } else if (scene == "deny_foreground_grant") {
    desktop.SetDenyForegroundGrant(true);
  } else {
    return false;
  }
  return true;
}

namespace {

// The Linux helper: standard streams on descriptors 0 and 1, the scene named by
// VELMORA_SIM_SCENE, and SIGUSR1/SIGUSR2 locking and unlocking the simulated session.
class SimSystemPlatform final : public SystemPlatform {
 public:
  SimSystemPlatform()
      : input_(STDIN_FILENO),
        output_(STDOUT_FILENO),
        platform_(input_, output_, [this](int signal) {
          if (signal == SIGUSR1) platform_.Desktop().LockSession();
          if (signal == SIGUSR2) platform_.Desktop().UnlockSession();
        }) {
    const char* scene = std::getenv("VELMORA_SIM_SCENE");
    if (!ApplyScene(platform_.Desktop(), scene != nullptr ? scene : "default",
                    static_cast<ProcessId>(getppid()))) {
      ApplyScene(platform_.Desktop(), "default", static_cast<ProcessId>(getppid()));
    }
  }

  Platform& Get() override { return platform_.Get(); }

 private:
  FdInputStream input_;
  FdOutputStream output_;
  SimPlatform platform_;
};

}  // namespace

std::unique_ptr<SystemPlatform> CreateSystemPlatform() {
  // A parent that goes away must show up as a failed write, not end the helper.
  signal(SIGPIPE, SIG_IGN);
  return std::make_unique<SimSystemPlatform>();
}

}  // namespace velmora::computer_use::platform::sim

namespace velmora::computer_use::platform {

std::unique_ptr<SystemPlatform> CreateSystemPlatform() {
  return sim::CreateSystemPlatform();
}

}  // namespace velmora::computer_use::platform
