#include "platform/sim/sim_displays.h"

#include <algorithm>

namespace velmora::computer_use::platform::sim {
namespace {

// What the enumeration reports of a monitor whose queries may fail.
MonitorDescription Describe(const SimMonitor& monitor) {
  MonitorDescription description;
  description.rect = monitor.rect;
  if (!monitor.infoFails) description.deviceName = monitor.deviceName;
  if (!monitor.dpiFails) description.dpi = monitor.dpi;
  return description;
}

}  // namespace

std::size_t SimDisplays::AddMonitor(SimMonitor monitor) {
  std::lock_guard lock(world_.mutex);
  world_.monitors.push_back(std::move(monitor));
  return world_.monitors.size() - 1;
}

void SimDisplays::UpdateMonitor(std::size_t index, SimMonitor monitor) {
  std::lock_guard lock(world_.mutex);
  world_.monitors.at(index) = std::move(monitor);
}

SimMonitor SimDisplays::Monitor(std::size_t index) const {
  std::lock_guard lock(world_.mutex);
  return world_.monitors.at(index);
}

void SimDisplays::RemoveMonitor(std::size_t index) {
  std::lock_guard lock(world_.mutex);
  world_.monitors.erase(world_.monitors.begin() + static_cast<std::ptrdiff_t>(index));
}

std::optional<MonitorDescription> SimDisplays::MonitorNearestRect(const Rect& rect) {
  std::lock_guard lock(world_.mutex);
  // The monitor with the largest overlap, else the one whose centre is nearest.
  const SimMonitor* best = nullptr;
  std::int64_t bestScore = 0;
  for (const SimMonitor& monitor : world_.monitors) {
    const std::int64_t width = std::int64_t{std::min(rect.right, monitor.rect.right)} -
                               std::max(rect.left, monitor.rect.left);
    const std::int64_t height = std::int64_t{std::min(rect.bottom, monitor.rect.bottom)} -
                                std::max(rect.top, monitor.rect.top);
    std::int64_t score = width > 0 && height > 0 ? width * height : 0;
    if (score == 0) {
      const std::int64_t dx = (std::int64_t{rect.left} + rect.right) -
                              (std::int64_t{monitor.rect.left} + monitor.rect.right);
      const std::int64_t dy = (std::int64_t{rect.top} + rect.bottom) -
                              (std::int64_t{monitor.rect.top} + monitor.rect.bottom);
      score = -(dx * dx + dy * dy) / 4 - 1;
    }
    if (best == nullptr || score > bestScore) {
      best = &monitor;
      bestScore = score;
    }
  }
  if (best == nullptr) return std::nullopt;
  return Describe(*best);
}

std::vector<MonitorDescription> SimDisplays::EnumerateMonitors() {
  std::lock_guard lock(world_.mutex);
  std::vector<MonitorDescription> descriptions;
  for (const SimMonitor& monitor : world_.monitors) descriptions.push_back(Describe(monitor));
  return descriptions;
}

VirtualScreen SimDisplays::VirtualScreenMetrics() {
  std::lock_guard lock(world_.mutex);
  return world_.virtualScreen;
}

void SimDisplays::SetVirtualScreen(VirtualScreen screen) {
  std::lock_guard lock(world_.mutex);
  world_.virtualScreen = screen;
}

}  // namespace velmora::computer_use::platform::sim
