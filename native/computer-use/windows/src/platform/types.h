// Plain value types shared by the seam and the components.
#pragma once

#include <cstdint>

namespace velmora::computer_use::platform {

using ProcessId = std::uint32_t;

// An opaque window handle: HWND on Windows, an id of the simulated desktop elsewhere.
enum class WindowHandle : std::uintptr_t {};
inline constexpr WindowHandle kNullWindow{};

// Window message numbers, with the values Windows gives them.
inline constexpr std::uint32_t kWmNcCreate = 0x0081;
inline constexpr std::uint32_t kWmClose = 0x0010;
inline constexpr std::uint32_t kWmTimer = 0x0113;
inline constexpr std::uint32_t kWmQuit = 0x0012;
inline constexpr std::uint32_t kWmWtsSessionChange = 0x02B1;

// Win-event numbers.
inline constexpr std::uint32_t kEventSystemDesktopSwitch = 0x0020;

// A rectangle in physical virtual-screen pixels, as the platform reports it.
struct Rect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

struct WindowMessage {
  WindowHandle window = kNullWindow;
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

}  // namespace velmora::computer_use::platform
