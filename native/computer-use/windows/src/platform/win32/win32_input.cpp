// Input injection and the keyboard layout.
#include <array>
#include <vector>

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {
namespace {

INPUT ToInput(const InputEvent& event) {
  INPUT input{};
  if (event.kind == InputEvent::Kind::kKeyboard) {
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = event.virtualKey;
    input.ki.wScan = event.scanCode;
    input.ki.dwFlags = event.flags;
    input.ki.time = 0;
    input.ki.dwExtraInfo = static_cast<ULONG_PTR>(event.extraInfo);
  } else {
    input.type = INPUT_MOUSE;
    input.mi.dx = event.dx;
    input.mi.dy = event.dy;
    // The wheel's delta is signed; the field carries its bits.
    input.mi.mouseData = static_cast<DWORD>(event.mouseData);
    input.mi.dwFlags = event.flags;
    input.mi.time = 0;
    input.mi.dwExtraInfo = static_cast<ULONG_PTR>(event.extraInfo);
  }
  return input;
}

}  // namespace

std::uint32_t Win32InputApi::SendInput(const std::vector<InputEvent>& events) {
  std::vector<INPUT> inputs;
  inputs.reserve(events.size());
  for (const InputEvent& event : events) inputs.push_back(ToInput(event));
  // One call, so that no other input can come between the events.
  return ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

std::int16_t Win32InputApi::VkKeyScan(char16_t character) {
  return static_cast<std::int16_t>(VkKeyScanW(static_cast<WCHAR>(character)));
}

bool Win32InputApi::IsKeyDown(std::uint32_t virtualKey) {
  return (static_cast<std::uint16_t>(GetAsyncKeyState(static_cast<int>(virtualKey))) & 0x8000) != 0;
}

bool Win32InputApi::IsKeyToggled(std::uint32_t virtualKey) {
  return (GetKeyState(static_cast<int>(virtualKey)) & 1) != 0;
}

KeyboardLayout Win32InputApi::KeyboardLayoutOf(std::uint32_t threadId) {
  return reinterpret_cast<KeyboardLayout>(GetKeyboardLayout(threadId));
}

std::u16string Win32InputApi::TranslateKey(std::uint32_t virtualKey, std::uint32_t scanCode,
                                           const KeyState& keyState, KeyboardLayout layout) {
  // Bit 2: the system's keyboard state, dead keys included, stays as it was (Windows 10 1607).
  constexpr UINT kKeepKeyboardState = 0x4;
  std::array<wchar_t, 8> buffer{};
  const int length = ToUnicodeEx(virtualKey, scanCode, keyState.data(), buffer.data(),
                                 static_cast<int>(buffer.size()), kKeepKeyboardState,
                                 reinterpret_cast<HKL>(layout));
  if (length <= 0) return {};
  return std::u16string(buffer.begin(), buffer.begin() + length);
}

}  // namespace velmora::computer_use::platform::win32
