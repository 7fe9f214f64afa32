// The simulated top-level windows and their children, the z-order and the foreground, as
// tests and the scenes drive them: a window opens, moves, comes to the front, closes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim_world.h"
#include "platform/windows.h"

namespace velmora::computer_use::platform::sim {

class SimWindows final : public WindowApi {
 public:
  explicit SimWindows(SimWorld& world) : world_(world) {}

  // A window of `owner`: top-level, or a child of `parent`.
  WindowHandle AddWindow(ProcessId owner, std::u16string title, WindowHandle parent = kNullWindow);
  // An owned top-level window, such as a dialog.
  WindowHandle AddOwnedWindow(ProcessId owner, std::u16string title, WindowHandle ownerWindow);
  void SetWindowVisible(WindowHandle window, bool visible);
  void SetWindowMinimized(WindowHandle window, bool minimized);
  void BringToTop(WindowHandle window);
  void SetWindowTitle(WindowHandle window, std::u16string title);
  // Where the window is on the virtual screen, for hit testing.
  void SetWindowRect(WindowHandle window, Rect rect);
  // What the compositor reports as the frame bounds, when it differs from the rectangle;
  // none makes the query fail.
  void SetWindowFrameBounds(WindowHandle window, std::optional<Rect> bounds);
  void SetWindowRectFails(WindowHandle window, bool fails);
  // Destroys the window and its children, raising the destroy event for each.
  void RemoveWindow(WindowHandle window);
  // Whether SetForegroundWindow is refused, as without the foreground grant.
  void SetRefuseForeground(bool refuse);

  // A top-level window of `owner` in the foreground (null for none).
  WindowHandle ShowForegroundWindow(ProcessId owner);
  void ClearForeground();
  void SetDenyForegroundGrant(bool deny);
  std::optional<ProcessId> LastForegroundGrant() const;

  // Any window of the class, hidden ones included; null for none.
  WindowHandle FindWindowByClass(std::u16string_view className) const;
  // The visible top-level window with exactly this title; null for none.
  WindowHandle FindTopLevelWindow(std::u16string_view title) const;
  // Restores the window if minimized, brings it to the top and into the foreground.
  void Activate(WindowHandle window);

  // A classic control: a child window of `parent` with its class, style bits and control id.
  WindowHandle AddControl(ProcessId owner, WindowHandle parent, std::u16string className,
                          std::u16string title, std::uint32_t style, std::int32_t controlId);
  using Procedure = std::function<std::intptr_t(std::uint32_t message, std::uintptr_t wParam,
                                                std::intptr_t lParam)>;
  void SetWindowProcedure(WindowHandle window, Procedure procedure);
  // Sends a message and waits for the window's answer, as SendMessage does; none when the
  // window does not exist. Runs the procedure without the desktop's lock.
  std::optional<std::intptr_t> SendWindowMessage(WindowHandle window, std::uint32_t message,
                                                 std::uintptr_t wParam, std::intptr_t lParam);
  void SetWindowEnabled(WindowHandle window, bool enabled);
  void SetWindowHung(WindowHandle window, bool hung);
  void SetWindowStyle(WindowHandle window, std::uint32_t style);

  // --- WindowApi
  WindowHandle ForegroundWindow() override;
  WindowHandle RootWindow(WindowHandle window) override;
  WindowHandle WindowFromPoint(std::int32_t x, std::int32_t y) override;
  ProcessId WindowProcessId(WindowHandle window) override;
  bool AllowSetForegroundWindow(ProcessId processId) override;
  bool IsWindow(WindowHandle window) override;
  std::vector<WindowHandle> EnumerateTopLevelWindows() override;
  bool IsWindowVisible(WindowHandle window) override;
  bool IsIconic(WindowHandle window) override;
  std::optional<Rect> ExtendedFrameBounds(WindowHandle window) override;
  std::optional<Rect> WindowRect(WindowHandle window) override;
  WindowHandle OwnerWindow(WindowHandle window) override;
  int WindowTextLength(WindowHandle window) override;
  int WindowText(WindowHandle window, char16_t* buffer, int capacity) override;
  // Makes the window the foreground window unless refused; the z-order stays.
  bool SetForegroundWindow(WindowHandle window) override;
  WindowHandle FocusedWindow(std::uint32_t threadId) override;
  // SW_RESTORE restores a minimized window at once; other commands change nothing.
  bool ShowWindowAsync(WindowHandle window, std::int32_t command) override;
  std::optional<std::u16string> ClassName(WindowHandle window) override;
  std::intptr_t WindowStyle(WindowHandle window) override;
  WindowHandle ParentWindow(WindowHandle window) override;
  WindowHandle RootOwnerWindow(WindowHandle window) override;
  bool IsWindowEnabled(WindowHandle window) override;
  std::uint32_t WindowThreadId(WindowHandle window) override;
  std::int32_t DialogControlId(WindowHandle window) override;
  std::optional<std::intptr_t> SendMessageTimeout(WindowHandle window, std::uint32_t message,
                                                  std::uintptr_t wParam, std::intptr_t lParam,
                                                  std::uint32_t flags,
                                                  std::uint32_t timeoutMs) override;

 private:
  void RemoveWindowLocked(WindowHandle window);

  SimWorld& world_;
};

}  // namespace velmora::computer_use::platform::sim
