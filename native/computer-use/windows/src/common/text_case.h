// Case folding of UTF-16 text one unit at a time, the same on every platform and in every
// locale: the simple mappings of the Basic Latin, Latin-1, Greek and Cyrillic letters, where
// names and paths differ in case in practice.
#pragma once

#include <string_view>

namespace velmora::computer_use {

constexpr char16_t ToUpperUnit(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

constexpr char16_t ToLowerUnit(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  if (c == 0x178) return 0xFF;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
  return c;
}

constexpr bool EqualsIgnoringCase(std::u16string_view left, std::u16string_view right) {
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (ToUpperUnit(left[i]) != ToUpperUnit(right[i])) return false;
  }
  return true;
}

// Whether `text` contains `part`, both lowered unit by unit; an empty part is contained.
constexpr bool ContainsIgnoringCase(std::u16string_view text, std::u16string_view part) {
  if (part.size() > text.size()) return false;
  for (std::size_t start = 0; start + part.size() <= text.size(); ++start) {
    std::size_t i = 0;
    while (i < part.size() && ToLowerUnit(text[start + i]) == ToLowerUnit(part[i])) ++i;
    if (i == part.size()) return true;
  }
  return false;
}

}  // namespace velmora::computer_use
