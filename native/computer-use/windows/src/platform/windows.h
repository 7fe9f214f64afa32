// Top-level windows and the foreground.
#pragma once

#include "platform/types.h"

namespace velmora::computer_use::platform {

class WindowApi {
 public:
  virtual ~WindowApi() = default;

  virtual WindowHandle ForegroundWindow() = 0;
  virtual WindowHandle RootWindow(WindowHandle window) = 0;
  // 0 when the window does not exist.
  virtual ProcessId WindowProcessId(WindowHandle window) = 0;
  virtual bool AllowSetForegroundWindow(ProcessId processId) = 0;
};

}  // namespace velmora::computer_use::platform
