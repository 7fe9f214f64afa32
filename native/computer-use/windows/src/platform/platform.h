// The whole seam: every platform call the components make goes through one of these.
#pragma once

#include <memory>

#include "platform/automation.h"
#include "platform/capture.h"
#include "platform/crypto.h"
#include "platform/displays.h"
#include "platform/input.h"
#include "platform/message_loop.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "platform/runtime.h"
#include "platform/session.h"
#include "platform/streams.h"
#include "platform/system.h"
#include "platform/windows.h"

namespace velmora::computer_use::platform {

// Non-owning view of one backend; the backend outlives every component that holds it.
struct Platform {
  InputStream& standardInput;
  OutputStream& standardOutput;
  RuntimeApi& runtime;
  ProcessApi& processes;
  SessionApi& sessions;
  WindowApi& windows;
  MessageLoopApi& messageLoops;
  ProcessInfoApi& processInfo;
  CryptoApi& crypto;
  DisplayApi& displays;
  AutomationApi& automation;
  SystemApi& system;
  CaptureApi& capture;
  InputApi& input;
};

// The backend of this build for the real process: the system on Windows, the simulated
// desktop with its demo scene elsewhere.
class SystemPlatform {
 public:
  virtual ~SystemPlatform() = default;
  virtual Platform& Get() = 0;
};

std::unique_ptr<SystemPlatform> CreateSystemPlatform();

}  // namespace velmora::computer_use::platform
