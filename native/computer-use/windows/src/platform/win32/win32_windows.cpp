#include <vector>

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {
namespace {

constexpr DWORD kPathBufferCharacters = 32768;

Rect FromRect(const RECT& rect) {
  return Rect{rect.left, rect.top, rect.right, rect.bottom};
}

// The monitor's information and effective DPI, each where its query succeeds; `rect` as given,
// or the monitor's own rectangle when `useMonitorRect` and the information query succeeds.
MonitorDescription DescribeMonitor(HMONITOR monitor, const Rect& rect, bool useMonitorRect) {
  MonitorDescription description;
  description.rect = rect;
  MONITORINFOEXW info{};
  info.cbSize = sizeof info;
  if (GetMonitorInfoW(monitor, &info)) {
    description.deviceName = FromWide(info.szDevice);
    if (useMonitorRect) description.rect = FromRect(info.rcMonitor);
  }
  UINT dpiX = 0;
  UINT dpiY = 0;
  if (SUCCEEDED(GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &dpiX, &dpiY))) {
    description.dpi = EffectiveDpi{dpiX, dpiY};
  }
  return description;
}

BOOL CALLBACK CollectMonitor(HMONITOR monitor, HDC, LPRECT rect, LPARAM context) {
  auto* monitors = reinterpret_cast<std::vector<MonitorDescription>*>(context);
  monitors->push_back(DescribeMonitor(monitor, FromRect(*rect), false));
  return TRUE;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
  reinterpret_cast<std::vector<WindowHandle>*>(context)->push_back(FromHwnd(window));
  return TRUE;
}

}  // namespace

bool Win32WindowApi::IsWindow(WindowHandle window) {
  return ::IsWindow(ToHwnd(window)) != FALSE;
}

std::vector<WindowHandle> Win32WindowApi::EnumerateTopLevelWindows() {
  std::vector<WindowHandle> windows;
  EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

bool Win32WindowApi::IsWindowVisible(WindowHandle window) {
  return ::IsWindowVisible(ToHwnd(window)) != FALSE;
}

bool Win32WindowApi::IsIconic(WindowHandle window) {
  return ::IsIconic(ToHwnd(window)) != FALSE;
}

std::optional<Rect> Win32WindowApi::ExtendedFrameBounds(WindowHandle window) {
  RECT rect{};
  if (FAILED(
          DwmGetWindowAttribute(ToHwnd(window), DWMWA_EXTENDED_FRAME_BOUNDS, &rect, sizeof rect))) {
    return std::nullopt;
  }
  return Rect{rect.left, rect.top, rect.right, rect.bottom};
}

std::optional<Rect> Win32WindowApi::WindowRect(WindowHandle window) {
  RECT rect{};
  if (!GetWindowRect(ToHwnd(window), &rect)) return std::nullopt;
  return Rect{rect.left, rect.top, rect.right, rect.bottom};
}

WindowHandle Win32WindowApi::OwnerWindow(WindowHandle window) {
  return FromHwnd(GetWindow(ToHwnd(window), GW_OWNER));
}

int Win32WindowApi::WindowTextLength(WindowHandle window) {
  return GetWindowTextLengthW(ToHwnd(window));
}

int Win32WindowApi::WindowText(WindowHandle window, char16_t* buffer, int capacity) {
  return GetWindowTextW(ToHwnd(window), reinterpret_cast<wchar_t*>(buffer), capacity);
}

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

Sha256Digest Win32CryptoApi::Sha256(std::string_view data) {
  Sha256Digest digest;
  BcryptAlgorithm algorithm;
  DWORD objectLength = 0;
  ULONG copied = 0;
  if (!BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(algorithm.Put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !BCRYPT_SUCCESS(BCryptGetProperty(algorithm.Get(), BCRYPT_OBJECT_LENGTH,
                                        reinterpret_cast<PUCHAR>(&objectLength),
                                        sizeof objectLength, &copied, 0))) {
    digest.status = HashStatus::kUnavailable;
    return digest;
  }
  std::vector<UCHAR> object(objectLength, 0);
  BcryptHash hash;
  digest.status = HashStatus::kFailed;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.Get(), hash.Put(), object.data(), objectLength,
                                       nullptr, 0, 0)) ||
      !BCRYPT_SUCCESS(BCryptHashData(hash.Get(),
                                     reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                                     static_cast<ULONG>(data.size()), 0)) ||
      !BCRYPT_SUCCESS(BCryptFinishHash(hash.Get(), digest.bytes.data(),
                                       static_cast<ULONG>(digest.bytes.size()), 0))) {
    return digest;
  }
  digest.status = HashStatus::kOk;
  return digest;
}

std::vector<MonitorDescription> Win32DisplayApi::EnumerateMonitors() {
  std::vector<MonitorDescription> monitors;
  EnumDisplayMonitors(nullptr, nullptr, &CollectMonitor, reinterpret_cast<LPARAM>(&monitors));
  return monitors;
}

std::optional<MonitorDescription> Win32DisplayApi::MonitorNearestRect(const Rect& rect) {
  const RECT area{rect.left, rect.top, rect.right, rect.bottom};
  const HMONITOR monitor = MonitorFromRect(&area, MONITOR_DEFAULTTONEAREST);
  if (monitor == nullptr) return std::nullopt;
  // The rectangle is the monitor's own; empty when its information cannot be read.
  return DescribeMonitor(monitor, Rect{}, true);
}

}  // namespace velmora::computer_use::platform::win32
