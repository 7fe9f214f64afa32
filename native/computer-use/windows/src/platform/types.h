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

inline constexpr std::uint32_t kWmKeyDown = 0x0100;
inline constexpr std::uint32_t kWmKeyUp = 0x0101;
inline constexpr std::uint32_t kWmSysKeyDown = 0x0104;
inline constexpr std::uint32_t kWmSysKeyUp = 0x0105;
inline constexpr std::uint32_t kWmMouseMove = 0x0200;
inline constexpr std::uint32_t kWmLButtonDown = 0x0201;
inline constexpr std::uint32_t kWmLButtonUp = 0x0202;
inline constexpr std::uint32_t kWmRButtonDown = 0x0204;
inline constexpr std::uint32_t kWmRButtonUp = 0x0205;
inline constexpr std::uint32_t kWmMButtonDown = 0x0207;
inline constexpr std::uint32_t kWmMButtonUp = 0x0208;
inline constexpr std::uint32_t kWmMouseWheel = 0x020A;
inline constexpr std::uint32_t kWmXButtonDown = 0x020B;
inline constexpr std::uint32_t kWmMouseHWheel = 0x020E;

// Virtual keys the helper names.
inline constexpr std::uint32_t kVkBack = 0x08;
inline constexpr std::uint32_t kVkTab = 0x09;
inline constexpr std::uint32_t kVkReturn = 0x0D;
inline constexpr std::uint32_t kVkShift = 0x10;
inline constexpr std::uint32_t kVkControl = 0x11;
inline constexpr std::uint32_t kVkMenu = 0x12;
inline constexpr std::uint32_t kVkCapital = 0x14;
inline constexpr std::uint32_t kVkEscape = 0x1B;
inline constexpr std::uint32_t kVkSpace = 0x20;
inline constexpr std::uint32_t kVkEnd = 0x23;
inline constexpr std::uint32_t kVkHome = 0x24;
inline constexpr std::uint32_t kVkLeft = 0x25;
inline constexpr std::uint32_t kVkUp = 0x26;
inline constexpr std::uint32_t kVkRight = 0x27;
inline constexpr std::uint32_t kVkDown = 0x28;
inline constexpr std::uint32_t kVkDelete = 0x2E;
inline constexpr std::uint32_t kVkLeftWin = 0x5B;
inline constexpr std::uint32_t kVkRightWin = 0x5C;

inline constexpr std::int32_t kSwRestore = 9;

// Classic controls: the command message, the button notification and style bits.
inline constexpr std::uint32_t kWmCommand = 0x0111;
inline constexpr std::uint32_t kBnClicked = 0;
inline constexpr std::uint32_t kWsChild = 0x40000000;
inline constexpr std::uint32_t kBsPushButton = 0x0;
inline constexpr std::uint32_t kBsDefPushButton = 0x1;
inline constexpr std::uint32_t kBsAutoCheckBox = 0x3;

// Flags of low-level keyboard and mouse hook events.
inline constexpr std::uint32_t kLlkhfInjected = 0x10;
inline constexpr std::uint32_t kLlkhfLowerIlInjected = 0x02;
inline constexpr std::uint32_t kLlmhfInjected = 0x01;
inline constexpr std::uint32_t kLlmhfLowerIlInjected = 0x02;

// Win-event numbers and object identifiers.
inline constexpr std::uint32_t kEventSystemDesktopSwitch = 0x0020;
inline constexpr std::uint32_t kEventSystemForeground = 0x0003;
inline constexpr std::uint32_t kEventObjectDestroy = 0x8001;
inline constexpr std::uint32_t kEventObjectFocus = 0x8005;
inline constexpr std::uint32_t kEventObjectSelection = 0x8006;
inline constexpr std::uint32_t kEventObjectSelectionAdd = 0x8007;
inline constexpr std::uint32_t kEventObjectSelectionRemove = 0x8008;
inline constexpr std::uint32_t kEventObjectSelectionWithin = 0x8009;
inline constexpr std::uint32_t kEventObjectNameChange = 0x800C;
inline constexpr std::int32_t kObjIdWindow = 0;
inline constexpr std::int32_t kChildIdSelf = 0;

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
