// Top-level windows and the foreground.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace velmora::computer_use::platform {

class WindowApi {
 public:
  virtual ~WindowApi() = default;

  virtual WindowHandle ForegroundWindow() = 0;
  virtual WindowHandle RootWindow(WindowHandle window) = 0;
  // The deepest visible window at a point of the virtual screen; null for none.
  virtual WindowHandle WindowFromPoint(std::int32_t x, std::int32_t y) = 0;
  // 0 when the window does not exist.
  virtual ProcessId WindowProcessId(WindowHandle window) = 0;
  virtual bool AllowSetForegroundWindow(ProcessId processId) = 0;
  virtual bool IsWindow(WindowHandle window) = 0;
  // Top-level windows in z-order, top first (EnumWindows).
  virtual std::vector<WindowHandle> EnumerateTopLevelWindows() = 0;
  virtual bool IsWindowVisible(WindowHandle window) = 0;
  virtual bool IsIconic(WindowHandle window) = 0;
  // DwmGetWindowAttribute with DWMWA_EXTENDED_FRAME_BOUNDS; none when the call fails.
  virtual std::optional<Rect> ExtendedFrameBounds(WindowHandle window) = 0;
  // GetWindowRect; none when the call fails.
  virtual std::optional<Rect> WindowRect(WindowHandle window) = 0;
  // GetWindow with GW_OWNER; null for none.
  virtual WindowHandle OwnerWindow(WindowHandle window) = 0;
  // The title's length in UTF-16 units; 0 for none.
  virtual int WindowTextLength(WindowHandle window) = 0;
  // Fills at most `capacity` units including the terminator; answers the units copied.
  virtual int WindowText(WindowHandle window, char16_t* buffer, int capacity) = 0;
  // SetForegroundWindow; false when the system refuses.
  virtual bool SetForegroundWindow(WindowHandle window) = 0;
  // ShowWindowAsync; the window changes later, on its own thread.
  virtual bool ShowWindowAsync(WindowHandle window, std::int32_t command) = 0;
  // GetClassNameW into 256 units; none when it fails.
  virtual std::optional<std::u16string> ClassName(WindowHandle window) = 0;
  // GetWindowLongPtrW with GWL_STYLE.
  virtual std::intptr_t WindowStyle(WindowHandle window) = 0;
  // GetParent; null for none.
  virtual WindowHandle ParentWindow(WindowHandle window) = 0;
  // GetAncestor with GA_ROOTOWNER; null for none.
  virtual WindowHandle RootOwnerWindow(WindowHandle window) = 0;
  virtual bool IsWindowEnabled(WindowHandle window) = 0;
  // The thread of GetWindowThreadProcessId; 0 when the window does not exist.
  virtual std::uint32_t WindowThreadId(WindowHandle window) = 0;
  // The window with the keyboard focus in that thread's input queue (GetGUIThreadInfo's
  // hwndFocus); null when none or unknown.
  virtual WindowHandle FocusedWindow(std::uint32_t threadId) = 0;
  // GetDlgCtrlID; 0 for none.
  virtual std::int32_t DialogControlId(WindowHandle window) = 0;
  // SendMessageTimeoutW; none when it answers 0 (failed, timed out or the window is hung).
  virtual std::optional<std::intptr_t> SendMessageTimeout(WindowHandle window,
                                                          std::uint32_t message,
                                                          std::uintptr_t wParam,
                                                          std::intptr_t lParam, std::uint32_t flags,
                                                          std::uint32_t timeoutMs) = 0;
};

}  // namespace velmora::computer_use::platform
