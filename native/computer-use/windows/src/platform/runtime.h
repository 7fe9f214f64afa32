// Process set-up: DPI awareness, the main thread's apartment and console control events.
#pragma once

#include <cstdint>

namespace velmora::computer_use::platform {

// Console control events, with the values Windows gives them.
enum class ConsoleEvent : std::uint32_t {
  kCtrlC = 0,
  kCtrlBreak = 1,
  kClose = 2,
  kLogoff = 5,
  kShutdown = 6,
};

// Answers whether the event was handled; false lets the default handling end the process.
using ConsoleControlRoutine = bool (*)(ConsoleEvent event);

class RuntimeApi {
 public:
  virtual ~RuntimeApi() = default;

  virtual void SetPerMonitorDpiAwareV2() = 0;
  // COM and the Windows Runtime in the multithreaded apartment for the calling thread.
  virtual bool InitializeProcessApartment() = 0;
  virtual bool AddConsoleControlHandler(ConsoleControlRoutine routine) = 0;
  virtual void RemoveConsoleControlHandler(ConsoleControlRoutine routine) = 0;
};

}  // namespace velmora::computer_use::platform
