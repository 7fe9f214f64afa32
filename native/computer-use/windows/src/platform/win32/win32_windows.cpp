// Windows: the foreground, the window tree, states, bounds and titles.
#include <vector>

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {
namespace {

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
  reinterpret_cast<std::vector<WindowHandle>*>(context)->push_back(FromHwnd(window));
  return TRUE;
}

}  // namespace

WindowHandle Win32WindowApi::ForegroundWindow() {
  return FromHwnd(GetForegroundWindow());
}

WindowHandle Win32WindowApi::RootWindow(WindowHandle window) {
  return FromHwnd(GetAncestor(ToHwnd(window), GA_ROOT));
}

WindowHandle Win32WindowApi::WindowFromPoint(std::int32_t x, std::int32_t y) {
  return FromHwnd(::WindowFromPoint(POINT{x, y}));
}

ProcessId Win32WindowApi::WindowProcessId(WindowHandle window) {
  DWORD processId = 0;
  if (GetWindowThreadProcessId(ToHwnd(window), &processId) == 0) return 0;
  return processId;
}

bool Win32WindowApi::AllowSetForegroundWindow(ProcessId processId) {
  return ::AllowSetForegroundWindow(processId) != FALSE;
}

bool Win32WindowApi::IsWindow(WindowHandle window) {
  return ::IsWindow(ToHwnd(window)) != FALSE;
}

std::vector<WindowHandle> Win32WindowApi::EnumerateTopLevelWindows() {
  std::vector<WindowHandle> windows;
  EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

bool Win32WindowApi::IsWindowVisible(WindowHandle window) {
  return ::IsWindowVisible(ToHwnd(window)) != FALSE;
}

bool Win32WindowApi::IsIconic(WindowHandle window) {
  return ::IsIconic(ToHwnd(window)) != FALSE;
}

std::optional<Rect> Win32WindowApi::ExtendedFrameBounds(WindowHandle window) {
  RECT rect{};
  if (FAILED(
          DwmGetWindowAttribute(ToHwnd(window), DWMWA_EXTENDED_FRAME_BOUNDS, &rect, sizeof rect))) {
    return std::nullopt;
  }
  return Rect{rect.left, rect.top, rect.right, rect.bottom};
}

std::optional<Rect> Win32WindowApi::WindowRect(WindowHandle window) {
  RECT rect{};
  if (!GetWindowRect(ToHwnd(window), &rect)) return std::nullopt;
  return Rect{rect.left, rect.top, rect.right, rect.bottom};
}

WindowHandle Win32WindowApi::OwnerWindow(WindowHandle window) {
  return FromHwnd(GetWindow(ToHwnd(window), GW_OWNER));
}

int Win32WindowApi::WindowTextLength(WindowHandle window) {
  return GetWindowTextLengthW(ToHwnd(window));
}

int Win32WindowApi::WindowText(WindowHandle window, char16_t* buffer, int capacity) {
  return GetWindowTextW(ToHwnd(window), reinterpret_cast<wchar_t*>(buffer), capacity);
}

}  // namespace velmora::computer_use::platform::win32
