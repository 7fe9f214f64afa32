// The displays of the virtual screen.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace velmora::computer_use::platform {

struct EffectiveDpi {
  std::uint32_t x = 96;
  std::uint32_t y = 96;
};

// One monitor as the enumeration reports it: the rectangle it passes, then what the monitor
// information and DPI queries answer (none when they fail).
struct MonitorDescription {
  Rect rect;
  std::optional<std::u16string> deviceName;
  std::optional<EffectiveDpi> dpi;
};

// The virtual screen: its origin and size (SM_XVIRTUALSCREEN, SM_YVIRTUALSCREEN,
// SM_CXVIRTUALSCREEN, SM_CYVIRTUALSCREEN).
struct VirtualScreen {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

class DisplayApi {
 public:
  virtual ~DisplayApi() = default;
  // Every monitor of the virtual screen, in the platform's order.
  virtual std::vector<MonitorDescription> EnumerateMonitors() = 0;
  // MonitorFromRect with MONITOR_DEFAULTTONEAREST, then its information and DPI; none when
  // there is no monitor.
  virtual std::optional<MonitorDescription> MonitorNearestRect(const Rect& rect) = 0;
  virtual VirtualScreen VirtualScreenMetrics() = 0;
};

}  // namespace velmora::computer_use::platform
