#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_user_server.h"

namespace velmora::computer_use::platform::sim {

namespace {

// The Linux helper: standard streams on descriptors 0 and 1, the real clock, the scene named by
// VELMORA_SIM_SCENE, SIGUSR1/SIGUSR2 locking and unlocking the simulated session, and the
// simulated user's channel at VELMORA_SIM_USER when that is set.
class SimSystemPlatform final : public SystemPlatform {
 public:
  SimSystemPlatform()
      : input_(STDIN_FILENO),
        output_(STDOUT_FILENO),
        platform_(input_, output_, [this](int signal) {
          if (signal == SIGUSR1) platform_.Sessions().LockSession();
          if (signal == SIGUSR2) platform_.Sessions().UnlockSession();
        }) {
    const char* scene = std::getenv("VELMORA_SIM_SCENE");
    if (!ApplyScene(platform_, scene != nullptr ? scene : "default",
                    static_cast<ProcessId>(getppid()))) {
      ApplyScene(platform_, "default", static_cast<ProcessId>(getppid()));
    }
    platform_.System().UseRealClock();
    // Before the first frame is read, so that a parent can play the user from the start. A
    // channel that cannot be made leaves the helper without it; the parent's connect fails.
    const char* userChannel = std::getenv("VELMORA_SIM_USER");
    if (userChannel != nullptr && *userChannel != '\0') {
      userServer_.Start(userChannel,
                        [this](std::string_view line) { return platform_.User().Execute(line); });
    }
  }

  Platform& Get() override { return platform_.Get(); }

 private:
  FdInputStream input_;
  FdOutputStream output_;
  SimPlatform platform_;
  // Stopped first: its commands use the platform.
  SimUserServer userServer_;
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
