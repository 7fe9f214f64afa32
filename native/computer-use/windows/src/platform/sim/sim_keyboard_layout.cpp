#include "platform/sim/sim_keyboard_layout.h"

#include <charconv>
#include <string>

namespace velmora::computer_use::platform::sim {
namespace {

// The keys of the US layout that type symbols, with the character unshifted and shifted.
struct SymbolKey {
  std::uint32_t virtualKey;
  char16_t plain;
  char16_t shifted;
};

constexpr SymbolKey kSymbolKeys[] = {
    {0xC0, u'`', u'~'}, {0xBD, u'-', u'_'},  {0xBB, u'=', u'+'}, {0xDB, u'[', u'{'},
    {0xDD, u']', u'}'}, {0xDC, u'\\', u'|'}, {0xBA, u';', u':'}, {0xDE, u'\'', u'"'},
    {0xBC, u',', u'<'}, {0xBE, u'.', u'>'},  {0xBF, u'/', u'?'},
};

// The characters Shift gives on the digit keys 0 to 9.
constexpr std::u16string_view kShiftedDigits = u")!@#$%^&*(";

struct NamedKey {
  std::string_view name;
  std::uint32_t virtualKey;
};

constexpr NamedKey kNamedKeys[] = {
    {"Escape", 0x1B},       {"Enter", kVkReturn},  {"Tab", kVkTab},     {"Space", kVkSpace},
    {"Backspace", kVkBack}, {"Delete", kVkDelete}, {"Shift", kVkShift}, {"Control", kVkControl},
    {"Alt", kVkMenu},       {"Win", kVkLeftWin},   {"ArrowLeft", 0x25}, {"ArrowRight", 0x27},
    {"ArrowUp", 0x26},      {"ArrowDown", 0x28},   {"Home", 0x24},      {"End", 0x23},
};

std::optional<std::uint32_t> InKeyRange(std::uint32_t value) {
  if (value < 1 || value > 254) return std::nullopt;
  return value;
}

}  // namespace

std::optional<KeyStroke> KeyForCharacter(char32_t character) {
  if (character >= U'a' && character <= U'z') {
    return KeyStroke{static_cast<std::uint32_t>(character - U'a' + U'A'), false};
  }
  if (character >= U'A' && character <= U'Z') {
    return KeyStroke{static_cast<std::uint32_t>(character), true};
  }
  if (character >= U'0' && character <= U'9') {
    return KeyStroke{static_cast<std::uint32_t>(character), false};
  }
  if (character == U' ') return KeyStroke{kVkSpace, false};
  for (std::size_t digit = 0; digit < kShiftedDigits.size(); ++digit) {
    if (kShiftedDigits[digit] == character) {
      return KeyStroke{static_cast<std::uint32_t>(U'0' + digit), true};
    }
  }
  for (const SymbolKey& key : kSymbolKeys) {
    if (key.plain == character) return KeyStroke{key.virtualKey, false};
    if (key.shifted == character) return KeyStroke{key.virtualKey, true};
  }
  return std::nullopt;
}

std::optional<char16_t> CharacterForKey(std::uint32_t virtualKey, bool shift) {
  if (virtualKey >= 'A' && virtualKey <= 'Z') {
    return static_cast<char16_t>(shift ? virtualKey : virtualKey - 'A' + 'a');
  }
  if (virtualKey >= '0' && virtualKey <= '9') {
    return shift ? kShiftedDigits[virtualKey - '0'] : static_cast<char16_t>(virtualKey);
  }
  if (virtualKey == kVkSpace) return u' ';
  for (const SymbolKey& key : kSymbolKeys) {
    if (key.virtualKey == virtualKey) return shift ? key.shifted : key.plain;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> ParseKeyName(std::string_view name) {
  for (const NamedKey& key : kNamedKeys) {
    if (key.name == name) return key.virtualKey;
  }
  if (name.size() == 1 &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= '0' && name[0] <= '9'))) {
    return static_cast<std::uint32_t>(name[0]);
  }
  std::uint32_t value = 0;
  int base = 10;
  if (name.size() > 2 && name[0] == '0' && (name[1] == 'x' || name[1] == 'X')) {
    name.remove_prefix(2);
    base = 16;
  }
  if (name.empty()) return std::nullopt;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), value, base);
  if (error != std::errc() || end != name.data() + name.size()) return std::nullopt;
  return InKeyRange(value);
}

}  // namespace velmora::computer_use::platform::sim
