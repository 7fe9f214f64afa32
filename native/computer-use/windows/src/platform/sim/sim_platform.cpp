#include "platform/sim/sim_platform.h"

namespace velmora::computer_use::platform::sim {

SimPlatform::SimPlatform(InputStream& input, OutputStream& output,
                         std::function<void(int)> onUserSignal)
#ifdef _WIN32
    : platform_{input,    output,  runtime_, processes_,  desktop_, desktop_, desktop_,
                desktop_, crypto_, desktop_, automation_, system_,  capture_} {
  (void)onUserSignal;  // the Windows build has no user signals
  RegisterOwnProcess();
}
#else
    : runtime_(std::move(onUserSignal)), platform_{input,    output,   runtime_,    processes_,
                                                   desktop_, desktop_, desktop_,    desktop_,
                                                   crypto_,  desktop_, automation_, system_,
                                                   capture_} {
  RegisterOwnProcess();
}
#endif

void SimPlatform::RegisterOwnProcess() {
  // The helper itself, at medium integrity in the simulated session.
  SimProcess self;
  self.imagePath = processes_.OwnModuleFileName().value_or(u"computer-use-helper");
  self.sessionId = desktop_.SessionId();
  desktop_.AddProcess(processes_.CurrentProcessId(), std::move(self));
}

}  // namespace velmora::computer_use::platform::sim
