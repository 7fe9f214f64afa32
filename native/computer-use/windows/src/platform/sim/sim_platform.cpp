#include "platform/sim/sim_platform.h"

namespace velmora::computer_use::platform::sim {

SimPlatform::SimPlatform(InputStream& input, OutputStream& output,
                         std::function<void(int)> onUserSignal)
#ifdef _WIN32
    : platform_(Assemble(input, output)) {
  (void)onUserSignal;  // the Windows build has no user signals
#else
    : runtime_(std::move(onUserSignal)), platform_(Assemble(input, output)) {
#endif
  RegisterOwnProcess();
  // As the system tells the win-event hooks of every focus change.
  automation_.OnFocusChanged([this](WindowHandle window) {
    constexpr std::int32_t kObjIdClient = -4;
    desktop_.MessageLoops().RaiseWinEvent(kEventObjectFocus, window, kObjIdClient, kChildIdSelf);
  });
}

Platform SimPlatform::Assemble(InputStream& input, OutputStream& output) {
  return Platform{input,
                  output,
                  runtime_,
                  processes_,
                  desktop_.Sessions(),
                  desktop_.Windows(),
                  desktop_.MessageLoops(),
                  desktop_.ProcessInfo(),
                  crypto_,
                  desktop_.Displays(),
                  automation_,
                  system_,
                  capture_,
                  input_};
}

void SimPlatform::RegisterOwnProcess() {
  // The helper itself, at medium integrity in the simulated session.
  SimProcess self;
  self.imagePath = processes_.OwnModuleFileName().value_or(u"computer-use-helper");
  self.sessionId = desktop_.Sessions().SessionId();
  desktop_.ProcessInfo().AddOwnProcess(processes_.CurrentProcessId(), std::move(self));
}

}  // namespace velmora::computer_use::platform::sim
