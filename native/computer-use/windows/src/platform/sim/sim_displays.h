// The simulated monitors of the virtual screen, as tests add, change and remove them.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/displays.h"
#include "platform/sim/sim_world.h"

namespace velmora::computer_use::platform::sim {

class SimDisplays final : public DisplayApi {
 public:
  explicit SimDisplays(SimWorld& world) : world_(world) {}

  // Displays, in enumeration order; answers the new monitor's position.
  std::size_t AddMonitor(SimMonitor monitor);
  void UpdateMonitor(std::size_t index, SimMonitor monitor);
  SimMonitor Monitor(std::size_t index) const;
  void RemoveMonitor(std::size_t index);

  // --- DisplayApi
  std::vector<MonitorDescription> EnumerateMonitors() override;
  std::optional<MonitorDescription> MonitorNearestRect(const Rect& rect) override;
  VirtualScreen VirtualScreenMetrics() override;
  void SetVirtualScreen(VirtualScreen screen);

 private:
  SimWorld& world_;
};

}  // namespace velmora::computer_use::platform::sim
