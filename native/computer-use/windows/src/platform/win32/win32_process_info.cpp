// Other processes' image paths and integrity levels.
#include <vector>

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {
namespace {

constexpr DWORD kPathBufferCharacters = 32768;

}  // namespace

std::optional<std::u16string> Win32ProcessInfoApi::QueryImagePath(ProcessId processId) {
  const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process.Valid()) return std::nullopt;
  std::vector<wchar_t> buffer(kPathBufferCharacters);
  DWORD length = kPathBufferCharacters;
  if (!QueryFullProcessImageNameW(process.Get(), 0, buffer.data(), &length)) return std::nullopt;
  return FromWide(std::wstring_view(buffer.data(), length));
}

std::optional<std::uint32_t> Win32ProcessInfoApi::QueryIntegrityLevel(ProcessId processId) {
  UniqueHandle token;
  {
    const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process.Valid()) return std::nullopt;
    if (!OpenProcessToken(process.Get(), TOKEN_QUERY, token.Put())) return std::nullopt;
  }
  DWORD size = 0;
  GetTokenInformation(token.Get(), TokenIntegrityLevel, nullptr, 0, &size);
  if (size == 0) return std::nullopt;
  // DWORD-aligned storage for the label and the SID behind it.
  std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
  if (!GetTokenInformation(token.Get(), TokenIntegrityLevel, buffer.data(), size, &size)) {
    return std::nullopt;
  }
  const auto* label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data());
  const PUCHAR count = GetSidSubAuthorityCount(label->Label.Sid);
  if (count == nullptr || *count == 0) return std::nullopt;
  const PDWORD level = GetSidSubAuthority(label->Label.Sid, static_cast<DWORD>(*count - 1));
  if (level == nullptr) return std::nullopt;
  return static_cast<std::uint32_t>(*level);
}

}  // namespace velmora::computer_use::platform::win32
