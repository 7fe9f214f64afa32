// Input injection and the keyboard layout.
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

}  // namespace velmora::computer_use::platform::win32
