#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/sim/sim_platform.h"

namespace velmora::computer_use::platform::sim {

namespace {

// The Linux helper: standard streams on descriptors 0 and 1, the scene named by
// VELMORA_SIM_SCENE, and SIGUSR1/SIGUSR2 locking and unlocking the simulated session.
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
