// Input injection and the keyboard layout: the only way the helper makes keys and the mouse move.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::computer_use::platform {

// Flags of keyboard events (KEYEVENTF_*) and mouse events (MOUSEEVENTF_*), with the values
// Windows gives them.
inline constexpr std::uint32_t kKeyEventKeyUp = 0x0002;
inline constexpr std::uint32_t kKeyEventUnicode = 0x0004;
inline constexpr std::uint32_t kMouseEventMove = 0x0001;
inline constexpr std::uint32_t kMouseEventLeftDown = 0x0002;
inline constexpr std::uint32_t kMouseEventLeftUp = 0x0004;
inline constexpr std::uint32_t kMouseEventRightDown = 0x0008;
inline constexpr std::uint32_t kMouseEventRightUp = 0x0010;
inline constexpr std::uint32_t kMouseEventMiddleDown = 0x0020;
inline constexpr std::uint32_t kMouseEventMiddleUp = 0x0040;
inline constexpr std::uint32_t kMouseEventWheel = 0x0800;
inline constexpr std::uint32_t kMouseEventVirtualDesk = 0x4000;
inline constexpr std::uint32_t kMouseEventAbsolute = 0x8000;
// The virtual key the hooks see for a Unicode key event.
inline constexpr std::uint32_t kVkPacket = 0xE7;

using KeyboardLayout = std::uintptr_t;           // an HKL
using KeyState = std::array<std::uint8_t, 256>;  // GetKeyboardState's layout

// One INPUT record: a keyboard event (virtual key, scan code, flags) or a mouse event
// (coordinates, wheel data, flags), with its extra information; the time is always 0.
struct InputEvent {
  enum class Kind : std::uint8_t { kKeyboard, kMouse };
  Kind kind = Kind::kKeyboard;
  std::uint16_t virtualKey = 0;
  std::uint16_t scanCode = 0;
  std::int32_t dx = 0;
  std::int32_t dy = 0;
  std::int32_t mouseData = 0;
  std::uint32_t flags = 0;
  std::uintptr_t extraInfo = 0;
  friend bool operator==(const InputEvent&, const InputEvent&) = default;
};

class InputApi {
 public:
  virtual ~InputApi() = default;
  // SendInput with all the events in one call; answers how many the system accepted.
  virtual std::uint32_t SendInput(const std::vector<InputEvent>& events) = 0;
  // VkKeyScanW of the current layout: the virtual key in the low byte, the shift state in the
  // high byte; -1 when no key types the character.
  virtual std::int16_t VkKeyScan(char16_t character) = 0;
  // GetAsyncKeyState's high bit: the key is down now.
  virtual bool IsKeyDown(std::uint32_t virtualKey) = 0;
  // GetKeyState's low bit: a toggle key such as Caps Lock is on.
  virtual bool IsKeyToggled(std::uint32_t virtualKey) = 0;
  // GetKeyboardLayout of a thread (0: the calling one).
  virtual KeyboardLayout KeyboardLayoutOf(std::uint32_t threadId) = 0;
  // ToUnicodeEx of the key in this key state and layout, leaving the system's keyboard state as
  // it is (so that a dead key the user is composing elsewhere stays pending): the text the key
  // gives, empty for none or a dead key.
  virtual std::u16string TranslateKey(std::uint32_t virtualKey, std::uint32_t scanCode,
                                      const KeyState& keyState, KeyboardLayout layout) = 0;
};

}  // namespace velmora::computer_use::platform
