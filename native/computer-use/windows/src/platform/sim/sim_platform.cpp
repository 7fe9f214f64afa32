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

bool ApplyScene(SimPlatform& platform, std::string_view scene, ProcessId parentProcessId) {
  SimDesktop& desktop = platform.Desktop();
  if (scene == "automation_unavailable") {
    platform.Automation().FailCreateClient(static_cast<HResult>(0x80040154));  // not registered
    return true;
  }
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

}  // namespace velmora::computer_use::platform::sim
