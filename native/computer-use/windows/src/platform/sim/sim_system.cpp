#include "platform/sim/sim_system.h"

namespace velmora::computer_use::platform::sim {

std::optional<Guid> SimSystem::CreateGuid() {
  if (guidFails_) return std::nullopt;
  const std::uint64_t serial = nextGuid_++;
  Guid guid{};
  // Version 4 layout bits, a fixed prefix and the serial in the last eight bytes.
  guid[0] = 0x5E;
  guid[1] = 0xC0;
  guid[7] = 0x40;
  guid[8] = 0x80;
  for (int i = 0; i < 8; ++i) guid[8 + i] |= static_cast<std::uint8_t>(serial >> (56 - 8 * i));
  return guid;
}

std::uint64_t SimSystem::SystemTimeAsFileTime() {
  if (!realClock_) return fileTime_;
  // 100-nanosecond units since 1601: the offset of 1970 plus the time since then.
  constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochAsFileTime +
         static_cast<std::uint64_t>(
             std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100);
}

std::u16string SimSystem::GuidToString(const Guid& guid) {
  // The GUID structure's fields: a little-endian 32-bit, two 16-bit values, then eight bytes.
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::u16string text = u"{";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back(u'-');
    const std::uint8_t byte = guid[kOrder[i]];
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0x0F]);
  }
  text.push_back(u'}');
  return text;
}

}  // namespace velmora::computer_use::platform::sim
