// Identifiers and the wall clock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace velmora::computer_use::platform {

using Guid = std::array<std::uint8_t, 16>;  // in the platform's GUID byte layout

class SystemApi {
 public:
  virtual ~SystemApi() = default;
  // CoCreateGuid; none when it fails.
  virtual std::optional<Guid> CreateGuid() = 0;
  // StringFromGUID2 into a 40-character buffer: 38 characters, braces, upper case.
  virtual std::u16string GuidToString(const Guid& guid) = 0;
  // The system time in 100-nanosecond units since 1601-01-01 UTC, as precise as available.
  virtual std::uint64_t SystemTimeAsFileTime() = 0;
  // Milliseconds since the system started (GetTickCount64).
  virtual std::uint64_t TickCount64() = 0;
};

}  // namespace velmora::computer_use::platform
