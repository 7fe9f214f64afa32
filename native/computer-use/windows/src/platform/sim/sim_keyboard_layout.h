// The US keyboard layout of the simulated desktop: which key (and whether Shift) types a
// character, which character a key gives, and the key names the simulated user may use.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/types.h"

namespace velmora::computer_use::platform::sim {

struct KeyStroke {
  std::uint32_t virtualKey = 0;
  bool shift = false;
};

// The key that types the character on a US layout; none for a character it has no key for.
std::optional<KeyStroke> KeyForCharacter(char32_t character);
// The character the key gives with Shift held or not; none for a key that types nothing.
std::optional<char16_t> CharacterForKey(std::uint32_t virtualKey, bool shift);
// A key name of the simulated user ("Escape", "A", "0x41", "65"); none when unknown or out of
// range (1 to 254).
std::optional<std::uint32_t> ParseKeyName(std::string_view name);

}  // namespace velmora::computer_use::platform::sim
