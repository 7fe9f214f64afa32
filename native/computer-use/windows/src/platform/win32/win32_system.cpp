// The COM library's identifiers and the system clocks.
#include <algorithm>
#include <cstring>

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {
namespace {

constexpr int kGuidStringCapacity = 40;

}  // namespace

std::optional<Guid> Win32SystemApi::CreateGuid() {
  GUID created{};
  if (FAILED(CoCreateGuid(&created))) return std::nullopt;
  Guid bytes{};
  static_assert(sizeof created == std::tuple_size_v<Guid>);
  std::memcpy(bytes.data(), &created, bytes.size());
  return bytes;
}

std::u16string Win32SystemApi::GuidToString(const Guid& guid) {
  GUID value{};
  std::memcpy(&value, guid.data(), sizeof value);
  wchar_t buffer[kGuidStringCapacity] = {};
  const int written = StringFromGUID2(value, buffer, kGuidStringCapacity);
  if (written <= 0) return {};
  return FromWide(std::wstring_view(buffer, static_cast<std::size_t>(written - 1)));
}

std::uint64_t Win32SystemApi::TickCount64() {
  return GetTickCount64();
}

void Win32SystemApi::Sleep(std::chrono::milliseconds duration) {
  ::Sleep(static_cast<DWORD>(
      std::clamp<std::chrono::milliseconds::rep>(duration.count(), 0, INFINITE - 1)));
}

std::uint64_t Win32SystemApi::SystemTimeAsFileTime() {
  FILETIME time{};
  GetSystemTimePreciseAsFileTime(&time);
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace velmora::computer_use::platform::win32
