// Monitors, their device names and effective DPI.
#include <vector>

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {
namespace {

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

}  // namespace

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

VirtualScreen Win32DisplayApi::VirtualScreenMetrics() {
  return VirtualScreen{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                       GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

}  // namespace velmora::computer_use::platform::win32
