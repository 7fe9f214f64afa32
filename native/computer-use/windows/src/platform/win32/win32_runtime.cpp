#include <atomic>

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {
namespace {

// The console calls back without a context; the one registered routine lives here.
std::atomic<ConsoleControlRoutine> consoleRoutine{nullptr};

BOOL WINAPI ConsoleTrampoline(DWORD controlType) {
  const ConsoleControlRoutine routine = consoleRoutine;
  if (routine == nullptr) return FALSE;
  return routine(static_cast<ConsoleEvent>(controlType)) ? TRUE : FALSE;
}

}  // namespace

void Win32Runtime::SetPerMonitorDpiAwareV2() {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

bool Win32Runtime::InitializeProcessApartment() {
  // COM and the Windows Runtime share the apartment; S_FALSE means it was already entered.
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return false;
  return SUCCEEDED(RoInitialize(RO_INIT_MULTITHREADED));
}

bool Win32Runtime::AddConsoleControlHandler(ConsoleControlRoutine routine) {
  consoleRoutine = routine;
  return SetConsoleCtrlHandler(&ConsoleTrampoline, TRUE) != FALSE;
}

void Win32Runtime::RemoveConsoleControlHandler(ConsoleControlRoutine routine) {
  SetConsoleCtrlHandler(&ConsoleTrampoline, FALSE);
  ConsoleControlRoutine expected = routine;
  consoleRoutine.compare_exchange_strong(expected, nullptr);
}

}  // namespace velmora::computer_use::platform::win32
