// Identifiers, the clocks and pausing.
#pragma once

#include <array>
#include <chrono>
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
  // Pauses the calling thread (Sleep); the helper's polling loops wait through here so that a
  // simulated clock can stand in for the real one.
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

}  // namespace velmora::computer_use::platform
