// Windows: the foreground, the window tree, states, bounds, titles, classes and sent messages.
#include <string_view>
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

std::optional<std::u16string> Win32WindowApi::ClassName(WindowHandle window) {
  wchar_t name[256];
  const int length = GetClassNameW(ToHwnd(window), name, 256);
  if (length == 0) return std::nullopt;
  return FromWide(std::wstring_view(name, static_cast<std::size_t>(length)));
}

std::intptr_t Win32WindowApi::WindowStyle(WindowHandle window) {
  return GetWindowLongPtrW(ToHwnd(window), GWL_STYLE);
}

WindowHandle Win32WindowApi::ParentWindow(WindowHandle window) {
  return FromHwnd(GetParent(ToHwnd(window)));
}

WindowHandle Win32WindowApi::RootOwnerWindow(WindowHandle window) {
  return FromHwnd(GetAncestor(ToHwnd(window), GA_ROOTOWNER));
}

bool Win32WindowApi::IsWindowEnabled(WindowHandle window) {
  return ::IsWindowEnabled(ToHwnd(window)) != FALSE;
}

std::uint32_t Win32WindowApi::WindowThreadId(WindowHandle window) {
  return GetWindowThreadProcessId(ToHwnd(window), nullptr);
}

WindowHandle Win32WindowApi::FocusedWindow(std::uint32_t threadId) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  if (threadId == 0 || !GetGUIThreadInfo(threadId, &info)) return kNullWindow;
  return FromHwnd(info.hwndFocus);
}

std::int32_t Win32WindowApi::DialogControlId(WindowHandle window) {
  return GetDlgCtrlID(ToHwnd(window));
}

std::optional<std::intptr_t> Win32WindowApi::SendMessageTimeout(
    WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
    std::uint32_t flags, std::uint32_t timeoutMs) {
  DWORD_PTR result = 0;
  if (SendMessageTimeoutW(ToHwnd(window), message, static_cast<WPARAM>(wParam),
                          static_cast<LPARAM>(lParam), flags, timeoutMs, &result) == 0) {
    return std::nullopt;
  }
  return static_cast<std::intptr_t>(result);
}

bool Win32WindowApi::SetForegroundWindow(WindowHandle window) {
  return ::SetForegroundWindow(ToHwnd(window)) != FALSE;
}

bool Win32WindowApi::ShowWindowAsync(WindowHandle window, std::int32_t command) {
  return ::ShowWindowAsync(ToHwnd(window), command) != FALSE;
}

}  // namespace velmora::computer_use::platform::win32
